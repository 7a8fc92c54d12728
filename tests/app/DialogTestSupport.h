// The main window's tests under wine: what both test files share. The
// fakes record what the window did instead of showing boxes, opening the
// real Find dialog or ending the process.
#pragma once

#include "framework/Dialog.h"
#include "framework/WideText.h"
#include "res/resource.h"
#include "ui/DownloadDlg.h"
#include "ui/Settings.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string TempDir()
{
    char buf[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, buf);
    return buf;
}

// name is UTF-8 and may name a folder in the temp folder ("dir\\file").
std::string MakeFile(const std::string& name, size_t size)
{
    std::string path = TempDir() + name;
    size_t slash = name.find('\\');
    if (slash != std::string::npos)
        ::CreateDirectoryW(Widen(TempDir() + name.substr(0, slash)).c_str(), nullptr);
    FILE* f = ::_wfopen(Widen(path).c_str(), L"wb");
    for (size_t i = 0; f && i < size; ++i)
        std::fputc(static_cast<int>((i * 13) & 0xFF), f);
    if (f)
        std::fclose(f);
    return path;
}

// A folder and file name no Western code page carries: 펌웨어\새 이미지.wzb.
const char kKoreanFile[] = "\xED\x8E\x8C\xEC\x9B\xA8\xEC\x96\xB4\\\xEC\x83\x88 \xEC\x9D\xB4\xEB\xAF\xB8\xEC\xA7\x80.wzb";

std::string IniValue(const char* key)
{
    wchar_t buf[256] = {};
    ::GetPrivateProfileStringW(Widen(settings::kSection).c_str(), Widen(key).c_str(), L"<none>", buf, 256,
                               Widen(settings::IniPath()).c_str());
    return Narrow(buf);
}

// An HDROP as the shell hands one over, holding one path.
HDROP MakeDrop(const std::string& path)
{
    std::wstring wide = Widen(path);
    size_t bytes = sizeof(DROPFILES) + (wide.size() + 2) * sizeof(wchar_t);
    HGLOBAL mem = ::GlobalAlloc(GHND, bytes);
    auto* df = static_cast<DROPFILES*>(::GlobalLock(mem));
    df->pFiles = sizeof(DROPFILES);
    df->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(df) + sizeof(DROPFILES), wide.c_str(), wide.size() * sizeof(wchar_t));
    ::GlobalUnlock(mem);
    return static_cast<HDROP>(mem);
}

// The real open-file dialog, taken before any test puts its fake in.
[[maybe_unused]] const auto kRealFind = CDownloadDlg::s_pfnOpenFileDialog;

struct Recorded {
    std::vector<std::string> boxes;
    std::string boxCaption;
    int exitCode = -1;
    bool findResult = false;
    std::string findPath;
    std::string findInitial;
} g_rec;

int FakeMessageBox(HWND, const char* text, const char* caption, UINT)
{
    g_rec.boxes.push_back(text);
    g_rec.boxCaption = caption;
    return IDOK;
}
void FakeExit(int code) { g_rec.exitCode = code; }
bool FakeFind(HWND, std::string& path)
{
    g_rec.findInitial = path;
    if (g_rec.findResult)
        path = g_rec.findPath;
    return g_rec.findResult;
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Ini = TempDir() + "zv-dialog-test.ini";
        std::remove(m_Ini.c_str());
        settings::SetIniPathForTesting(m_Ini);
        g_rec = Recorded();
        CDownloadDlg::s_pfnMessageBox = FakeMessageBox;
        CDownloadDlg::s_pfnExitProcess = FakeExit;
        CDownloadDlg::s_pfnOpenFileDialog = FakeFind;
    }
    void TearDown() override
    {
        m_Dlg.reset();
        std::remove(m_Ini.c_str());
        settings::SetIniPathForTesting("");
    }

    CDownloadDlg& Open(const std::string& commandLine = "")
    {
        m_Dlg = std::make_unique<CDownloadDlg>(commandLine);
        EXPECT_TRUE(m_Dlg->Create(IDD_ZURIVAVAVE_DIALOG, nullptr));
        ZvPumpWaitingMessages();
        return *m_Dlg;
    }
    std::string Text(int id)
    {
        wchar_t buf[512] = {};
        ::GetDlgItemTextW(m_Dlg->m_hWnd, id, buf, 512);
        return Narrow(buf);
    }
    bool Enabled(int id) { return ::IsWindowEnabled(::GetDlgItem(m_Dlg->m_hWnd, id)) != FALSE; }
    bool ControlsEnabled(bool on)
    {
        bool all = true;
        for (int id : {IDC_FIND, IDC_FILENAME, IDC_DOWNLOAD, IDC_PORT_SETUP})
            all = all && Enabled(id) == on;
        return all;
    }
    void Drop(const std::string& path) { m_Dlg->OnDropFiles(MakeDrop(path)); }
    // Pumps messages until pred holds or the time is up.
    template <class Pred>
    bool PumpUntil(Pred pred, int seconds)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            ZvPumpWaitingMessages();
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return true;
    }

    std::string m_Ini;
    std::unique_ptr<CDownloadDlg> m_Dlg;
};

}  // namespace
