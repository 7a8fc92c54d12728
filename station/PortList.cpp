#include "PortList.h"

#include "FileIdentity.h"

#include <cctype>

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

int Fold(char c, bool foldCase)
{
    unsigned char u = static_cast<unsigned char>(c);
    return foldCase ? std::tolower(u) : u;
}

}  // namespace

bool IsPortPattern(const std::string& arg) { return arg.find_first_of("*?[") != std::string::npos; }

bool PortNameLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei]))
                ++ei;
            while (ej < b.size() && IsDigit(b[ej]))
                ++ej;
            // Compare the numbers without converting (no overflow): drop
            // leading zeros, then the longer one is larger.
            size_t zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == '0')
                ++zi;
            while (zj + 1 < ej && b[zj] == '0')
                ++zj;
            if (ei - zi != ej - zj)
                return ei - zi < ej - zj;
            int c = a.compare(zi, ei - zi, b, zj, ej - zj);
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return a.size() - i < b.size() - j;
    return a < b;
}

bool WildcardMatch(const char* pattern, const char* text, bool foldCase)
{
    // Iterative with one backtrack point: linear enough for port names.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*text) {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern && (*pattern == '?' || Fold(*pattern, foldCase) == Fold(*text, foldCase))) {
            ++pattern;
            ++text;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

bool PortIsPresent(const std::string& port)
{
    // COM1 and its kind are no files: the registry's list of ports says.
    if (IsReservedDeviceName(port)) {
        for (const SerialPortInfo& p : ListSerialPorts())
            if (PortIdentity(p.path) == PortIdentity(port))
                return true;
        return false;
    }
    return IdentityOf(port).valid;
}
