// Windows: argv and getenv of the C runtime are in the ANSI code page, which
// turns a path outside it into question marks. The command line is taken
// wide (GetCommandLineW, split as the C runtime splits it) and so is the
// environment; both become UTF-8, the text of the rest of the tool.
#include "CommandLine.h"

#include "framework/WideText.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace {

UINT g_SavedOutputCodePage = 0;

void RestoreOutputCodePage()
{
    if (g_SavedOutputCodePage)
        ::SetConsoleOutputCP(g_SavedOutputCodePage);
}

// The tool prints UTF-8: a console shows it as such until the tool ends.
void ConsoleShowsUtf8()
{
    UINT now = ::GetConsoleOutputCP();
    if (now == 0 || now == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8))
        return;
    g_SavedOutputCodePage = now;
    std::atexit(RestoreOutputCodePage);
}

}  // namespace

CUtf8Arguments::CUtf8Arguments(int argc, char** argv)
{
    std::vector<std::string> text;
    int count = 0;
    if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            text.push_back(Narrow(wide[i]));
        ::LocalFree(wide);
    } else {
        // Out of memory this early: the C runtime's own split is all there is.
        for (int i = 0; i < argc && argv && argv[i]; ++i)
            text.push_back(argv[i]);
    }
    Keep(std::move(text));
    ConsoleShowsUtf8();
}

const char* EnvironmentValue(const char* name)
{
    // Read once per name and kept: the map's nodes never move, so every
    // pointer handed out stays good.
    static std::mutex lock;
    static std::map<std::string, std::string> values;
    const wchar_t* wide = ::_wgetenv(Widen(name).c_str());
    if (!wide)
        return nullptr;
    std::lock_guard<std::mutex> hold(lock);
    auto it = values.find(name);
    if (it == values.end())
        it = values.emplace(name, Narrow(wide)).first;
    return it->second.c_str();
}
