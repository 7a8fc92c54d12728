// Serial ports on Linux: the ttyUSB, ttyACM and ttyS device nodes that
// answer a termios query, named also by their stable /dev/serial/by-id link
// and described from sysfs (USB vendor:product, serial number, manufacturer,
// product). The kernel's console is marked so no pattern takes it.
#include "PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf))
        return std::string();
    return buf;
}

std::vector<std::string> DirEntries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    return names;
}

// First line of a sysfs attribute, trimmed; empty when absent.
std::string ReadAttribute(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return std::string();
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : line.substr(start);
}

// ttyUSB<n>, ttyACM<n>, ttyS<n>.
bool IsSerialName(const std::string& name, bool& isS)
{
    static const char* const kPrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};
    for (const char* prefix : kPrefixes) {
        size_t n = std::strlen(prefix);
        if (name.size() > n && name.compare(0, n, prefix) == 0 &&
            std::all_of(name.begin() + static_cast<long>(n), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            isS = std::strcmp(prefix, "ttyS") == 0;
            return true;
        }
    }
    return false;
}

// false when the node is not a serial port that is really there. note
// says why a port that exists could not be asked.
bool ProbeDevice(const std::string& path, bool isS, std::string& note)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A port someone else holds, or one this user may not open, is
        // still worth naming; for the ttyS placeholders it is not known
        // whether there is a UART behind them at all.
        if (isS || (errno != EACCES && errno != EBUSY && errno != EPERM))
            return false;
        note = errno == EBUSY ? "busy" : "no permission";
        return true;
    }
    struct termios tio;
    bool ok = ::tcgetattr(fd, &tio) == 0;
#if defined(__linux__) && defined(TIOCGSERIAL)
    if (ok && isS) {
        // Most ttyS nodes are placeholders without a UART behind them.
        struct serial_struct ss;
        std::memset(&ss, 0, sizeof ss);
        if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN)
            ok = false;
    }
#endif
    ::close(fd);
    return ok;
}

// Vendor:product and description from the device's sysfs entry: the USB
// device is the first directory above the tty's device with an idVendor.
// Without one, the driver is all there is to say: the first one on the way
// up that is not the serial core's own (newer kernels put "port" and "ctrl"
// devices of a serial-base bus between a UART and its tty).
// false when sysfs has no device for the name.
bool DescribeFromSysfs(const std::string& sysfs, const std::string& name, SerialPortInfo& info)
{
    std::string root = RealPath(sysfs);
    std::string dev = RealPath(sysfs + "/class/tty/" + name + "/device");
    if (root.empty() || dev.empty())
        return false;
    std::string driver;
    for (std::string dir = dev; dir.size() > root.size() && dir.compare(0, root.size(), root) == 0;) {
        std::string vendor = ReadAttribute(dir + "/idVendor");
        std::string product = ReadAttribute(dir + "/idProduct");
        if (!vendor.empty() && !product.empty()) {
            info.usbId = vendor + ":" + product;
            info.usbSerial = ReadAttribute(dir + "/serial");
            std::string maker = ReadAttribute(dir + "/manufacturer");
            std::string model = ReadAttribute(dir + "/product");
            info.description = maker.empty() ? model : (model.empty() ? maker : maker + " " + model);
            return true;
        }
        if (driver.empty()) {
            std::string d = RealPath(dir + "/driver");
            if (!d.empty() && d.find("/bus/serial-base/") == std::string::npos)
                driver = d.substr(d.find_last_of('/') + 1);
        }
        size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            break;
        dir.resize(slash);
    }
    info.description = driver;
    return true;
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The names a port goes by on its way to the device: the argument, each
// link it passes through (a by-id link, then the ttyUSB0 node it points
// at), and where it ends. Bounded, so a loop of links cannot hold it.
std::vector<std::string> NameChain(const std::string& port)
{
    std::vector<std::string> names;
    std::string path = port;
    for (int step = 0; step < 8; ++step) {
        names.push_back(BaseName(path));
        char buf[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            break;
        std::string target(buf, static_cast<size_t>(n));
        size_t slash = path.find_last_of('/');
        if (target[0] != '/' && slash != std::string::npos)
            target = path.substr(0, slash + 1) + target;
        path = target;
    }
    std::string real = RealPath(port);
    if (!real.empty())
        names.push_back(BaseName(real));
    return names;
}

// The kernel's console devices ("ttyS0"; "tty0" is the virtual terminal):
// the active list in sysfs, else the first word of each /proc/consoles line.
std::set<std::string> ConsoleNames(const PortListRoots& roots)
{
    std::set<std::string> names;
    std::string word;
    std::ifstream active(roots.sysfs + "/class/tty/console/active");
    while (active >> word)
        names.insert(word);
    if (names.empty()) {
        std::ifstream consoles(roots.proc + "/consoles");
        std::string line;
        while (std::getline(consoles, line)) {
            std::istringstream fields(line);
            if (fields >> word)
                names.insert(word);
        }
    }
    return names;
}

bool IsConsole(const std::vector<std::string>& chain, const std::set<std::string>& consoles)
{
    return std::any_of(chain.begin(), chain.end(), [&](const std::string& n) { return consoles.count(n) != 0; });
}

void MarkConsole(SerialPortInfo& info)
{
    info.console = true;
    info.note = info.note.empty() ? "system console" : "system console, " + info.note;
}

// The first link in by-id that leads to the same device, or the port itself
// when it already is one.
std::string ByIdName(const std::string& port, const std::string& real, const PortListRoots& roots)
{
    const std::string byIdDir = roots.dev + "/serial/by-id";
    if (port.compare(0, byIdDir.size() + 1, byIdDir + "/") == 0)
        return port;
    if (real.empty())
        return std::string();
    std::vector<std::string> links = DirEntries(byIdDir);
    std::sort(links.begin(), links.end());
    for (const std::string& link : links)
        if (RealPath(byIdDir + "/" + link) == real)
            return byIdDir + "/" + link;
    return std::string();
}

// A pattern match that cannot be a box's line and must not be touched:
// not a character device, the controlling terminal, a virtual console, the
// pty multiplexer, or the terminal this program itself talks to. A match
// that leads nowhere is kept: opening it says what is wrong.
bool NeverAPort(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISCHR(st.st_mode))
        return true;
    std::string real = RealPath(path);
    if (real == "/dev/tty" || real == "/dev/console" || real == "/dev/ptmx")
        return true;
    if (real.size() > 8 && real.compare(0, 8, "/dev/tty") == 0 &&
        std::all_of(real.begin() + 8, real.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return true;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat own;
        if (::fstat(fd, &own) == 0 && S_ISCHR(own.st_mode) && own.st_rdev == st.st_rdev)
            return true;
    }
    return false;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const PortListRoots& roots)
{
    // Stable names, by the device they point at.
    std::map<std::string, std::string> byId;
    const std::string byIdDir = roots.dev + "/serial/by-id";
    std::vector<std::string> links = DirEntries(byIdDir);
    std::sort(links.begin(), links.end());
    for (const std::string& link : links) {
        std::string target = RealPath(byIdDir + "/" + link);
        if (!target.empty() && !byId.count(target))
            byId[target] = byIdDir + "/" + link;
    }

    const std::set<std::string> consoles = ConsoleNames(roots);
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : DirEntries(roots.dev)) {
        bool isS = false;
        if (!IsSerialName(name, isS))
            continue;
        SerialPortInfo info;
        info.path = roots.dev + "/" + name;
        if (!ProbeDevice(info.path, isS, info.note))
            continue;
        auto it = byId.find(RealPath(info.path));
        if (it != byId.end())
            info.byId = it->second;
        DescribeFromSysfs(roots.sysfs, name, info);
        if (IsConsole(NameChain(info.path), consoles))
            MarkConsole(info);
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return PortNameLess(a.path, b.path); });
    return ports;
}

std::vector<std::string> ExpandPortArgument(const std::string& arg, const PortListRoots& roots)
{
    if (!IsPortPattern(arg))
        return {arg};
    const std::set<std::string> consoles = ConsoleNames(roots);
    std::vector<std::string> out;
    glob_t g;
    std::memset(&g, 0, sizeof g);
    if (::glob(arg.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i)
            if (!NeverAPort(g.gl_pathv[i]) && !IsConsole(NameChain(g.gl_pathv[i]), consoles))
                out.push_back(g.gl_pathv[i]);
    }
    ::globfree(&g);
    std::sort(out.begin(), out.end(), PortNameLess);
    return out;
}

std::string PortIdentity(const std::string& port)
{
    std::string real = RealPath(port);
    return real.empty() ? port : real;
}

SerialPortInfo DescribePort(const std::string& port, const PortListRoots& roots)
{
    SerialPortInfo info;
    info.path = port;
    info.byId = ByIdName(port, RealPath(port), roots);
    // sysfs knows the node by its kernel name, which may be any link on the
    // way (in a test tree the final node is a pseudo-terminal).
    const std::vector<std::string> chain = NameChain(port);
    for (const std::string& name : chain)
        if (DescribeFromSysfs(roots.sysfs, name, info))
            break;
    if (IsConsole(chain, ConsoleNames(roots)))
        MarkConsole(info);
    return info;
}

PortFacts PortFactsOf(const std::string& port)
{
    PortFacts f;
    const std::string real = RealPath(port);
    f.pseudoTerminal = real.rfind("/dev/pts/", 0) == 0;
    if (real.empty() || f.pseudoTerminal)
        return f;
    const std::string path = "/sys/class/tty/" + BaseName(real) + "/device/latency_timer";
    const std::string value = ReadAttribute(path);
    if (!value.empty()) {
        f.latencyMs = std::atoi(value.c_str());
        f.latencyPath = path;
    }
    return f;
}
