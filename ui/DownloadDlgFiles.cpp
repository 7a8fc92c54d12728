// The main window's file choice: the probe, Find, dropped files and the
// drop kept while a transfer runs. Paths are UTF-8 and go to Windows wide.
#include "ui/DownloadDlg.h"

#include "framework/WideText.h"
#include "protocol/Messages.h"
#include "ui/FileRules.h"
#include "ui/Settings.h"

#include <commdlg.h>
#include <shellapi.h>

namespace {

bool RealOpenFileDialog(HWND owner, std::string& path)
{
    wchar_t file[MAX_PATH] = {};
    std::wstring initial = Widen(path);
    initial.copy(file, MAX_PATH - 1);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    // Modal to the main window: while Find is open no transfer can start,
    // so the file it picks never replaces the one being served.
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = L"WZB File   (*.WZB)\0*.wzb\0All Files   (*.*)\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = nullptr;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!::GetOpenFileNameW(&ofn))
        return false;
    path = Narrow(file);
    return true;
}

int RealMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return ::MessageBoxW(owner, Widen(text).c_str(), Widen(caption).c_str(), type);
}

// The default caption of the program's message boxes: the program file's
// name without its extension.
std::string ProgramTitle()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::string name = Narrow(path);
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

}  // namespace

bool (*CDownloadDlg::s_pfnOpenFileDialog)(HWND, std::string&) = RealOpenFileDialog;
int (*CDownloadDlg::s_pfnMessageBox)(HWND, const char*, const char*, UINT) = RealMessageBox;

bool CDownloadDlg::ProbeFile(const std::string& path, std::string* fullPath)
{
    if (path.empty())
        return false;
    std::wstring wide = Widen(path);
    // Reading and writing stay shared: a file the command-line tool, a
    // second window or an editor has open is still ours to read.
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(h);
    if (fullPath) {
        wchar_t full[MAX_PATH] = {};
        DWORD n = ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
        *fullPath = (n > 0 && n < MAX_PATH) ? Narrow(full) : path;
    }
    return true;
}

int32_t CDownloadDlg::FileSizeFromStatus(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    long long size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return ClampFileSize(size);
}

void CDownloadDlg::OnFind()
{
    std::string path = settings::ReadPath();
    if (s_pfnOpenFileDialog(m_hWnd, path)) {
        m_SelectedPath = path;
        settings::WritePath(m_SelectedPath);
        ProbeFile(m_SelectedPath, nullptr);
        m_FileSize = FileSizeFromStatus(m_SelectedPath);
        m_bFileSelected = 1;
    }
    m_FileNameText = m_SelectedPath;
    UpdateData(false);
}

void CDownloadDlg::OnDropFiles(HDROP drop)
{
    wchar_t path[MAX_PATH] = {};
    ::DragQueryFileW(drop, 0, path, MAX_PATH);
    ::DragFinish(drop);
    // The file being served must not change under a running transfer: the
    // drop is kept and taken when the transfer has ended by itself.
    if (m_bActive) {
        m_DeferredDrop = Narrow(path);
        return;
    }
    AcceptDroppedPath(Narrow(path));
}

void CDownloadDlg::TakeDeferredDrop()
{
    if (m_DeferredDrop.empty())
        return;
    std::string path;
    path.swap(m_DeferredDrop);
    AcceptDroppedPath(path);
}

void CDownloadDlg::AcceptDroppedPath(const std::string& path)
{
    if (!IsSupportedDropName(path)) {
        SetPendingMessage(msg::kNotSupported);
        ShowMessage(3);
        return;
    }
    settings::WritePath(path);
    m_SelectedPath = path;
    if (!ProbeFile(m_SelectedPath, nullptr))
        s_pfnMessageBox(m_hWnd, "Error111", ProgramTitle().c_str(), MB_OK);
    m_FileSize = FileSizeFromStatus(m_SelectedPath);
    m_bFileSelected = 1;
    m_FileNameText = m_SelectedPath;
    UpdateData(false);
}
