#include "BoxLine.h"

#include "WireClock.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool MakeRaw(int fd, speed_t speed)
{
    struct termios tio;
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (speed != B0 && (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0))
        return false;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

speed_t SpeedCode(uint32_t speed)
{
    switch (speed) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
#ifdef B230400
    case 230400: return B230400;
#endif
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
    default: return B0;
    }
}

}  // namespace

CBoxLine::~CBoxLine()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
}

bool CBoxLine::OpenPty(std::string& error)
{
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const char* name = ::ptsname(fd);
    if (!name) {
        error = std::string("ptsname: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_SlavePath = name;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    // Open the slave once to make it raw (no echo back to us, no line
    // editing of binary frames) and close it again: from then on the master
    // reports a hang-up exactly while no host holds the slave open.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !MakeRaw(slave, B0)) {
        error = std::string("cannot set up ") + name + ": " + std::strerror(errno);
        if (slave >= 0)
            ::close(slave);
        ::close(fd);
        return false;
    }
    ::close(slave);
    m_Fd = fd;
    m_IsPty = true;
    return true;
}

bool CBoxLine::OpenDevice(const std::string& path, uint32_t speed, std::string& error)
{
    speed_t code = SpeedCode(speed);
    if (code == B0) {
        error = "unsupported line speed " + std::to_string(speed);
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!::isatty(fd) || !MakeRaw(fd, code)) {
        error = path + ": not a configurable serial device";
        ::close(fd);
        return false;
    }
    ::ioctl(fd, TIOCEXCL);
    ::tcflush(fd, TCIOFLUSH);
    m_Fd = fd;
    m_IsPty = false;
    m_SlavePath = path;
    m_HostSeen = true;  // a device has no notion of the far end opening it
    return true;
}

bool CBoxLine::HostAbsent()
{
    if (!m_IsPty)
        return false;
    struct pollfd p = {m_Fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & POLLHUP) != 0;
}

CBoxLine::Clock::duration CBoxLine::ByteTime(int n) const
{
    // 10 bit times per byte: start, 8 data, stop.
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<int64_t>(n) * 10 * 1000000000LL / m_Baud));
}

void CBoxLine::HoldUntil(Clock::time_point t)
{
    // A sleep wakes a little late, and every late wake-up would lengthen the
    // emulated line: sleep to just short of the deadline, then spin to it.
    const auto margin = std::chrono::microseconds(300);
    if (t - Clock::now() > margin + std::chrono::microseconds(100))
        std::this_thread::sleep_until(t - margin);
    while (Clock::now() < t) {
    }
}

bool CBoxLine::WriteAll(const unsigned char* data, int n)
{
    int done = 0;
    int stalls = 0;
    while (done < n) {
        ssize_t w = ::write(m_Fd, data + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            m_BytesOut += static_cast<uint64_t>(w);
            stalls = 0;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++stalls <= 5) {
            struct pollfd p = {m_Fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (m_HostSeen)
            m_HostGone = true;
        return false;
    }
    return true;
}

bool CBoxLine::Send(const unsigned char* data, int n)
{
    if (m_Fd < 0)
        return false;
    if (m_Baud == 0 || n <= 0)
        return WriteAll(data, n);
    // A box answers only what has reached it: it starts sending once the
    // bytes it read have crossed the wire.
    auto t = std::max({Clock::now(), m_TxFree, m_RxFree});
    if (m_WholeFrames) {
        // The host can act on a frame only once its last byte is in, so the
        // frame goes over whole at that moment: one wake-up a frame, where
        // byte by byte a line costs twelve wake-ups a request here and as
        // many in the host, more than many lines on two CPUs keep up with.
        t += ByteTime(n);
        wire::SleepUntil(t);
        if (!WriteAll(data, n))
            return false;
        m_TxFree = t;
        return true;
    }
    // The far end's UART hands on each byte as soon as its stop bit is in,
    // so the bytes go out one at a time, each at the moment it would leave
    // the wire.
    for (int i = 0; i < n; ++i) {
        t += ByteTime(1);
        HoldUntil(t);
        if (!WriteAll(data + i, 1))
            return false;
    }
    m_TxFree = t;
    return true;
}

void CBoxLine::DelayReceived(int ms)
{
    if (m_Baud == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    // On an emulated wire the reply may still be crossing: the delay runs
    // from its last byte.
    m_RxFree = std::max(m_RxFree, Clock::now()) + std::chrono::milliseconds(ms);
}

void CBoxLine::Pump(CByteQueue& queue, int timeoutMs)
{
    if (m_Fd < 0 || timeoutMs < 0)
        return;
    struct pollfd p = {m_Fd, POLLIN, 0};
    int pr = ::poll(&p, 1, timeoutMs);
    if (pr <= 0)
        return;
    if (p.revents & POLLIN) {
        unsigned char buf[4096];
        int room = CByteQueue::kSize - 1 - queue.Count();
        if (room <= 0)
            return;
        ssize_t r = ::read(m_Fd, buf, std::min<size_t>(sizeof buf, static_cast<size_t>(room)));
        if (r > 0) {
            // The bytes left the host when it wrote them, which is when we
            // see them at the earliest; they are in only after their wire
            // time, behind whatever is still crossing. Send() waits for that.
            if (m_Baud != 0)
                m_RxFree = std::max(m_RxFree, Clock::now()) + ByteTime(static_cast<int>(r));
            for (ssize_t i = 0; i < r; ++i)
                queue.Put(buf[i]);
            m_BytesIn += static_cast<uint64_t>(r);
            return;
        }
        if (r < 0 && (errno == EAGAIN || errno == EINTR))
            return;
    } else if (!(p.revents & (POLLHUP | POLLERR))) {
        return;
    }
    // Hang-up: the slave is not open. Before the host came that is normal;
    // afterwards it means the host is gone. Either way poll() would report
    // it again at once, so sleep instead of spinning.
    if (m_HostSeen)
        m_HostGone = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 10)));
}

void CBoxLine::Drain()
{
    if (m_Fd >= 0 && !m_IsPty)
        ::tcdrain(m_Fd);
}
