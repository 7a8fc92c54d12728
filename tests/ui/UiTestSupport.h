// Helpers shared by the Win32 tests of the window layer and the panel.
#pragma once

#include "framework/Dialog.h"

#include <fstream>
#include <iterator>
#include <string>

namespace uitest {

// Lets posted and sent messages run through the framework's pre-translation,
// a few rounds so that messages posted by handlers are handled too.
inline void Pump()
{
    for (int round = 0; round < 5; ++round) {
        ZvPumpWaitingMessages();
        ::Sleep(1);
    }
}

inline std::string TempFile(const char* stem)
{
    char dir[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + stem + std::to_string(::GetCurrentProcessId()) + ".ini";
}

inline bool FileExists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes as they are on disk (not through the profile functions).
inline std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool IsChecked(HWND dlg, int id)
{
    return ::SendMessageW(::GetDlgItem(dlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

inline RECT WindowRect(HWND hWnd)
{
    RECT rc{};
    ::GetWindowRect(hWnd, &rc);
    return rc;
}

}  // namespace uitest
