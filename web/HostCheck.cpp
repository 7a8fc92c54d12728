#include "HostCheck.h"

#include "ListenAddress.h"

#include <cctype>

bool HostAllowed(const std::string& hostHeader, bool loopbackListen, std::string& why)
{
    if (!loopbackListen)
        return true;
    if (hostHeader.empty()) {
        why = "a request needs a Host header";
        return false;
    }
    // Host: name[:port] or [v6]:port.
    std::string name = hostHeader;
    if (name[0] == '[') {
        size_t close = name.find(']');
        name = close == std::string::npos ? "" : name.substr(0, close + 1);
    } else {
        size_t colon = name.rfind(':');
        if (colon != std::string::npos) {
            for (size_t i = colon + 1; i < name.size(); ++i)
                if (!std::isdigit(static_cast<unsigned char>(name[i])))
                    name.clear();
            if (!name.empty())
                name = name.substr(0, colon);
        }
    }
    if (!name.empty() && IsLoopbackName(name))
        return true;
    why = "this station answers on a loopback address only to requests for a loopback host (localhost, "
          "127.0.0.1, [::1]), not to Host: " + hostHeader;
    return false;
}
