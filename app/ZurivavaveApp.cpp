#include "app/ZurivavaveApp.h"

#include "app/CommandLine.h"
#include "framework/WideText.h"
#include "ui/DownloadDlg.h"

BOOL CZurivavaveApp::InitInstance()
{
    // The wide command line: a path outside the ANSI code page arrives whole.
    std::string argument = FirstCommandLineArgument(Narrow(::GetCommandLineW()).c_str());
    CDownloadDlg dlg(argument, nullptr);
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    // A command-line run ends with the code of how its download ended,
    // also when the window was closed.
    m_nExitCode = dlg.ExitCode();
    // No message loop of our own: the process ends with the dialog.
    return FALSE;
}
