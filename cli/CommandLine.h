// The command line and the environment as the tool works with them: UTF-8
// text. One implementation file per platform: CommandLine_posix.cpp (argv
// and getenv as they come), CommandLine_win32.cpp (the wide command line
// and environment, so a path outside the ANSI code page arrives whole, and
// a console told that the text it shows is UTF-8).
#pragma once

#include <string>
#include <vector>

// The arguments of main, argv[0] first, as UTF-8; kept for the whole run.
class CUtf8Arguments {
public:
    CUtf8Arguments(int argc, char** argv);
    CUtf8Arguments(const CUtf8Arguments&) = delete;
    CUtf8Arguments& operator=(const CUtf8Arguments&) = delete;

    int Count() const { return static_cast<int>(m_Text.size()); }
    // argv as main has it: Count() strings and a null pointer.
    char** Values() { return m_Pointers.data(); }

private:
    void Keep(std::vector<std::string> text)
    {
        m_Text = std::move(text);
        for (std::string& s : m_Text)
            m_Pointers.push_back(&s[0]);
        m_Pointers.push_back(nullptr);
    }

    std::vector<std::string> m_Text;
    std::vector<char*> m_Pointers;
};

// An environment variable as UTF-8; nullptr when it is not set. The text
// stays valid for the run.
const char* EnvironmentValue(const char* name);
