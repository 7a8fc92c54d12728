#include "app/ZurivavaveApp.h"

#include "app/CommandLine.h"
#include "ui/DownloadDlg.h"

BOOL CZurivavaveApp::InitInstance()
{
    std::string argument = FirstCommandLineArgument(::GetCommandLineA());
    CDownloadDlg dlg(argument, nullptr);
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    // No message loop of our own: the process ends with the dialog.
    return FALSE;
}
