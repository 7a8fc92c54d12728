// Which serial ports there are, and what a --port argument names. One
// implementation file per platform: PortList_posix.cpp (device nodes and
// sysfs), PortList_win32.cpp (the registry's SERIALCOMM map).
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string path;         // what --port takes: /dev/ttyUSB0, COM3
    std::string byId;         // stable name (/dev/serial/by-id/...), if any
    std::string usbId;        // USB vendor:product, "0403:6001", if USB
    std::string description;  // manufacturer and product, or the driver
    std::string note;         // "system console", or why the port could not be queried
    std::string usbSerial;    // the USB adapter's serial number, if known
    bool console = false;     // the kernel's console: never taken by a pattern
};

// Where the POSIX enumeration looks; tests point them at a scratch tree.
struct PortListRoots {
    std::string dev = "/dev";
    std::string sysfs = "/sys";
    std::string proc = "/proc";  // consoles, when sysfs does not name them
};

// The serial devices present, in natural order (ttyUSB2 before ttyUSB10).
std::vector<SerialPortInfo> ListSerialPorts(const PortListRoots& roots = PortListRoots());

// What is known of one port (a device path, a by-id link, a COM name):
// its stable name, USB ids, serial number and description. Cheap enough
// for once per box; empty fields where nothing is known. Never opens the
// port, so it may be asked while the port is in use.
SerialPortInfo DescribePort(const std::string& port, const PortListRoots& roots = PortListRoots());

// True when a --port argument is a wildcard pattern (*, ? or [).
bool IsPortPattern(const std::string& arg);

// The ports a --port argument names: the matches of a pattern (glob(3) on
// POSIX, the listed COM ports on Windows), in natural order, or the
// argument itself. Matches that are no serial line (files, consoles, the
// program's own terminal) are left out, and so is the system console, which
// a pattern such as /dev/ttyS* would otherwise take from under the kernel.
// Named on its own, any port is taken as given.
std::vector<std::string> ExpandPortArgument(const std::string& arg, const PortListRoots& roots = PortListRoots());

// Whether a port is there at all, asked without opening it (an open would
// raise the lines of whatever is plugged in): the path exists, or for COM1
// and its kind, the registry lists it.
bool PortIsPresent(const std::string& port);

// What a pre-flight check asks of a port that is not open.
struct PortFacts {
    bool pseudoTerminal = false;  // a pty: no adapter, no by-id name, no latency timer
    int latencyMs = -1;           // the USB adapter's latency timer; -1 where it has none
    std::string latencyPath;      // where it is set (sysfs)
};
PortFacts PortFactsOf(const std::string& port);

// One name per device, so a by-id link and its target, or "com3" and
// "COM3", are seen to be the same port.
std::string PortIdentity(const std::string& port);

// Portable helpers.
// Natural order: the digit runs compare as numbers.
bool PortNameLess(const std::string& a, const std::string& b);
// * and ? wildcards, ASCII case-insensitive when foldCase.
bool WildcardMatch(const char* pattern, const char* text, bool foldCase);
