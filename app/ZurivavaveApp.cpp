#include "app/ZurivavaveApp.h"

#include "app/CommandLine.h"
#include "framework/WideText.h"
#include "protocol/Messages.h"
#include "ui/DownloadDlg.h"

#include <string>

namespace {

// Why the window could not be made, on stderr: with no window there is no
// other place to say it, and a script that started the program sees it.
void ReportNoWindow(DWORD error)
{
    wchar_t text[256] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 256,
                     nullptr);
    std::string why = Narrow(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
        why.pop_back();
    std::string line = "zurivavave: the window could not be created (error " + std::to_string(error) +
                       (why.empty() ? "" : ": " + why) + "); is there a desktop to show it on?\n";
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (err && err != INVALID_HANDLE_VALUE)
        ::WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

BOOL CZurivavaveApp::InitInstance()
{
    // The wide command line: a path outside the ANSI code page arrives whole.
    std::string argument = FirstCommandLineArgument(Narrow(::GetCommandLineW()).c_str());
    CDownloadDlg dlg(argument, nullptr);
    m_pMainWnd = &dlg;
    INT_PTR result = dlg.DoModal();
    DWORD error = ::GetLastError();
    m_pMainWnd = nullptr;
    if (result == -1) {
        // Nothing was served: a command-line run must not report success.
        ReportNoWindow(error);
        m_nExitCode = kExitFailure;
        return FALSE;
    }
    // A command-line run ends with the code of how its download ended,
    // also when the window was closed.
    m_nExitCode = dlg.ExitCode();
    // No message loop of our own: the process ends with the dialog.
    return FALSE;
}
