// Serial ports on Linux: the ttyUSB, ttyACM and ttyS device nodes that
// answer a termios query, named also by their stable /dev/serial/by-id link
// and described from sysfs (USB vendor:product, manufacturer, product).
#include "PortList.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

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
void DescribeFromSysfs(const std::string& sysfs, const std::string& name, SerialPortInfo& info)
{
    std::string root = RealPath(sysfs);
    std::string dev = RealPath(sysfs + "/class/tty/" + name + "/device");
    if (root.empty() || dev.empty())
        return;
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
            return;
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
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return PortNameLess(a.path, b.path); });
    return ports;
}

std::vector<std::string> ExpandPortArgument(const std::string& arg)
{
    if (!IsPortPattern(arg))
        return {arg};
    std::vector<std::string> out;
    glob_t g;
    std::memset(&g, 0, sizeof g);
    if (::glob(arg.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i)
            if (!NeverAPort(g.gl_pathv[i]))
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
    std::string real = RealPath(port);
    if (real.empty())
        return info;
    const std::string byIdDir = roots.dev + "/serial/by-id";
    std::vector<std::string> links = DirEntries(byIdDir);
    std::sort(links.begin(), links.end());
    for (const std::string& link : links) {
        if (RealPath(byIdDir + "/" + link) == real) {
            info.byId = byIdDir + "/" + link;
            break;
        }
    }
    DescribeFromSysfs(roots.sysfs, real.substr(real.find_last_of('/') + 1), info);
    return info;
}
