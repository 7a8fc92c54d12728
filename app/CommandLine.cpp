#include "app/CommandLine.h"

std::string FirstCommandLineArgument(const char* commandLine)
{
    // The C runtime's rules: the program name ends at the first white space
    // outside quotes (quotes are not special inside it); an argument then
    // runs to white space outside quotes; 2n backslashes before a quote give
    // n backslashes and a quote toggles; 2n+1 give n and a literal quote.
    const char* p = commandLine ? commandLine : "";
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
        if (*p == '"')
            quoted = !quoted;
        ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;

    std::string arg;
    quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
        if (*p == '\\') {
            size_t slashes = 0;
            while (*p == '\\') {
                ++slashes;
                ++p;
            }
            if (*p == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2) {
                    arg += '"';
                    ++p;
                }
            } else {
                arg.append(slashes, '\\');
            }
            continue;
        }
        if (*p == '"') {
            // Two quotes in a row inside a quoted part stand for one quote.
            if (quoted && p[1] == '"') {
                arg += '"';
                p += 2;
                continue;
            }
            quoted = !quoted;
            ++p;
            continue;
        }
        arg += *p++;
    }
    return arg;
}
