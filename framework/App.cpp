#include "framework/App.h"

#include <commctrl.h>

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp()
{
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = nullptr;
}

CWinApp* CWinApp::Get()
{
    return g_app;
}

int ZvWinMain(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    CWinApp* app = CWinApp::Get();
    if (!app)
        return 1;
    app->m_hInstance = instance;
    if (!app->InitInstance())
        return app->ExitInstance();
    app->m_nExitCode = ZvRunMessageLoop();
    return app->ExitInstance();
}
