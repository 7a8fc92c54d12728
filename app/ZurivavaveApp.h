// The application object: builds the main dialog with the first
// command-line argument, runs it modally and lets the process end with it.
#pragma once

#include "framework/App.h"


class CZurivavaveApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
