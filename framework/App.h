// The application object: one global instance derived from CWinApp. The
// program's WinMain calls ZvWinMain, which initialises the common controls,
// runs InitInstance and, only when that returns TRUE, the message loop.
#pragma once

#include "framework/Dialog.h"
#include "framework/Wnd.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up. TRUE: run the message loop afterwards; FALSE: end the process.
    virtual BOOL InitInstance() { return FALSE; }
    // Runs when the process ends normally; its result is the exit code.
    virtual int ExitInstance() { return m_nExitCode; }

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;   // the main window, once there is one
    int m_nExitCode = 0;

    // The single application object, or nullptr.
    static CWinApp* Get();
};

// Body of the program's WinMain.
int ZvWinMain(HINSTANCE instance);
