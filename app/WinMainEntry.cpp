// The program's entry point and its one application object.
#include "app/ZurivavaveApp.h"

CZurivavaveApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return ZvWinMain(instance);
}
