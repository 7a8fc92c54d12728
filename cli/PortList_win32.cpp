// Serial ports on Windows: the COM ports the registry's SERIALCOMM device
// map lists (one value per port: device name -> "COMn").
#include "PortList.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>

std::vector<SerialPortInfo> ListSerialPorts(const PortListRoots&)
{
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLen = sizeof name;
        BYTE data[256];
        DWORD dataLen = sizeof data - 1;
        DWORD type = 0;
        LONG r = ::RegEnumValueA(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataLen] = 0;
        SerialPortInfo info;
        info.path = reinterpret_cast<const char*>(data);
        // REG_SZ data may or may not carry its terminating zero.
        while (!info.path.empty() && info.path.back() == '\0')
            info.path.pop_back();
        info.description = std::string(name, nameLen);
        if (!info.path.empty())
            ports.push_back(std::move(info));
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return PortNameLess(a.path, b.path); });
    return ports;
}

std::vector<std::string> ExpandPortArgument(const std::string& arg)
{
    if (!IsPortPattern(arg))
        return {arg};
    std::vector<std::string> out;
    for (const SerialPortInfo& port : ListSerialPorts())
        if (WildcardMatch(arg.c_str(), port.path.c_str(), true))
            out.push_back(port.path);
    return out;
}

std::string PortIdentity(const std::string& port)
{
    std::string id = port;
    if (id.compare(0, 4, "\\\\.\\") == 0)
        id.erase(0, 4);
    for (char& c : id)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

SerialPortInfo DescribePort(const std::string& port, const PortListRoots&)
{
    SerialPortInfo info;
    info.path = port;
    for (const SerialPortInfo& p : ListSerialPorts())
        if (PortIdentity(p.path) == PortIdentity(port))
            return p;
    return info;
}
