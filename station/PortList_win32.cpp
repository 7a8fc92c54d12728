// Serial ports on Windows: the COM ports the registry's SERIALCOMM device
// map lists (one value per port: device name -> "COMn"). One port is
// described from the device tree under Enum, where USB adapters record the
// COM name they were given next to their ids and serial number. The
// registry is read wide: a device's friendly name may hold any character.
#include "PortList.h"

#include "framework/WideText.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

// A REG_SZ value of an open key; empty when absent or of another type.
std::string StringValue(HKEY key, const char* name)
{
    wchar_t data[512];
    DWORD len = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, Widen(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &len) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::string();
    data[len / sizeof(wchar_t)] = 0;
    return Narrow(data);
}

// A subkey of key by its UTF-8 name; false when it cannot be opened.
bool OpenSubkey(HKEY key, const std::string& name, HKEY& sub)
{
    return ::RegOpenKeyExW(key, Widen(name).c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS;
}

// The subkey names of key, at most limit of them.
std::vector<std::string> SubkeyNames(HKEY key, DWORD limit)
{
    std::vector<std::string> names;
    for (DWORD i = 0; i < limit; ++i) {
        wchar_t name[256];
        DWORD len = 256;
        LONG r = ::RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r == ERROR_SUCCESS)
            names.push_back(Narrow(std::wstring(name, len)));
    }
    return names;
}

// The four hex digits after tag ("VID_") in a device id, lower case.
std::string HexAfter(const std::string& id, const char* tag)
{
    size_t at = id.find(tag);
    if (at == std::string::npos || id.size() < at + 4 + std::string(tag).size())
        return std::string();
    std::string hex = id.substr(at + std::string(tag).size(), 4);
    for (char& c : hex)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

// Driver strings may be indirect ("@oem5.inf,%desc%;USB Serial Port"): the
// text after the last ';' is the one to show.
std::string Readable(const std::string& text)
{
    size_t semi = text.find_last_of(';');
    return semi == std::string::npos ? text : text.substr(semi + 1);
}

// The device instance under Enum\<enumerator> whose Device Parameters give
// it the COM name com. USB devices with a serial number have it as their
// instance name ("USB\VID_0403&PID_6001\A50285BI"); FTDI's own bus names
// the device "VID_0403+PID_6001+A50285BIA", the serial number and a letter
// for the chip's port. Bounded: a station PC's registry holds a few hundred
// devices at most.
bool DescribeFromEnum(const char* enumerator, const std::string& com, SerialPortInfo& info)
{
    const std::string base = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + enumerator;
    HKEY root = nullptr;
    if (!OpenSubkey(HKEY_LOCAL_MACHINE, base, root))
        return false;
    bool found = false;
    for (const std::string& device : SubkeyNames(root, 1024)) {
        HKEY devKey = nullptr;
        if (!OpenSubkey(root, device, devKey))
            continue;
        for (const std::string& instance : SubkeyNames(devKey, 32)) {
            HKEY instKey = nullptr, params = nullptr;
            if (!OpenSubkey(devKey, instance, instKey))
                continue;
            if (OpenSubkey(instKey, "Device Parameters", params)) {
                found = PortIdentity(StringValue(params, "PortName")) == com;
                ::RegCloseKey(params);
            }
            if (found) {
                std::string vid = HexAfter(device, "VID_"), pid = HexAfter(device, "PID_");
                if (!vid.empty() && !pid.empty())
                    info.usbId = vid + ":" + pid;
                size_t plus = device.rfind('+');
                if (std::string(enumerator) == "FTDIBUS" && plus != std::string::npos && device.size() > plus + 2)
                    info.usbSerial = device.substr(plus + 1, device.size() - plus - 2);
                else if (instance.find('&') == std::string::npos)
                    info.usbSerial = instance;  // '&' marks a name Windows made up
                std::string friendly = StringValue(instKey, "FriendlyName");
                info.description = Readable(friendly.empty() ? StringValue(instKey, "DeviceDesc") : friendly);
            }
            ::RegCloseKey(instKey);
            if (found)
                break;
        }
        ::RegCloseKey(devKey);
        if (found)
            break;
    }
    ::RegCloseKey(root);
    return found;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const PortListRoots&)
{
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (!OpenSubkey(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", key))
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLen = 256;
        wchar_t data[256];
        DWORD dataLen = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        LONG r = ::RegEnumValueW(key, index, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                 &dataLen);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataLen / sizeof(wchar_t)] = 0;
        SerialPortInfo info;
        // REG_SZ data may or may not carry its terminating zero; the one
        // put in above ends the string either way.
        info.path = Narrow(data);
        info.description = Narrow(std::wstring(name, nameLen));
        if (!info.path.empty())
            ports.push_back(std::move(info));
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return PortNameLess(a.path, b.path); });
    return ports;
}

std::vector<std::string> ExpandPortArgument(const std::string& arg, const PortListRoots&)
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
    const std::string com = PortIdentity(port);
    if (com.empty())
        return info;
    if (DescribeFromEnum("FTDIBUS", com, info) || DescribeFromEnum("USB", com, info))
        return info;
    // Not a USB adapter: the device map's name for it is all there is.
    for (const SerialPortInfo& p : ListSerialPorts())
        if (PortIdentity(p.path) == com)
            info.description = p.description;
    return info;
}

PortFacts PortFactsOf(const std::string&)
{
    // COM ports are adapters or the machine's own; their latency timer, if
    // any, lives in the driver's own settings.
    return PortFacts();
}
