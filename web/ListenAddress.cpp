#include "ListenAddress.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Four dotted decimal parts of 0..255; parts holds them.
bool ParseIpv4(const std::string& s, int parts[4])
{
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = i < 3 ? s.find('.', at) : s.size();
        if (dot == std::string::npos)
            return false;
        std::string part = s.substr(at, dot - at);
        if (!AllDigits(part) || part.size() > 3)
            return false;
        parts[i] = std::stoi(part);
        if (parts[i] > 255)
            return false;
        at = dot + 1;
    }
    return true;
}

// Hex digits and colons, with at most one "::" and room for an IPv4 tail:
// enough to refuse what is no IPv6 literal before the socket layer sees it.
bool LooksLikeIpv6(const std::string& s)
{
    if (s.size() < 2 || s.find(':') == std::string::npos)
        return false;
    return std::all_of(s.begin(), s.end(),
                       [](unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }) &&
           s.find(":::") == std::string::npos;
}

}  // namespace

bool IsLoopbackName(const std::string& host)
{
    std::string h = Lower(host);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    if (!h.empty() && h.back() == '.')
        h.pop_back();  // "localhost." is the same name
    if (h == "localhost" || (h.size() > 10 && h.compare(h.size() - 10, 10, ".localhost") == 0))
        return true;
    int parts[4];
    if (ParseIpv4(h, parts))
        return parts[0] == 127;
    return h == "::1" || h == "0:0:0:0:0:0:0:1";
}

bool ParseListenAddress(const std::string& text, ListenAddress& out, std::string& error)
{
    ListenAddress a;
    std::string host, port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "give [IPv6]:PORT, for example [::1]:8080";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!LooksLikeIpv6(host)) {
            error = "not an IPv6 address: " + host;
            return false;
        }
    } else if (text.find(':') != std::string::npos) {
        size_t colon = text.rfind(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            error = "an IPv6 address goes in brackets: [" + host + "]:" + port;
            return false;
        }
    }
    if (!AllDigits(port) || port.size() > 5 || std::stol(port) > 65535) {
        error = "not a port number (0..65535): '" + port + "'";
        return false;
    }
    a.port = static_cast<uint16_t>(std::stol(port));
    if (!host.empty()) {
        int parts[4];
        if (Lower(host) == "localhost")
            host = "127.0.0.1";
        else if (host.find(':') == std::string::npos && !ParseIpv4(host, parts)) {
            error = "not an IP address: '" + host + "' (give one, such as 0.0.0.0 or 192.168.1.20)";
            return false;
        }
        a.host = host;
    }
    a.loopback = IsLoopbackName(a.host);
    out = a;
    return true;
}

std::string UrlOf(const std::string& host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}
