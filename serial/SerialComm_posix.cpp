// CSerialComm on POSIX: termios raw 8N1, a watcher thread that sleeps in
// poll() on the port and a wake pipe, and blocking writes with a bounded
// wait so a wedged device cannot hold the caller forever. The port is held
// alone (TIOCEXCL and an advisory lock) and left as it was found: Close
// puts back the termios and the flags Open changed.
#include "SerialComm.h"

#include "PortClaim_posix.h"
#include "PortLock_posix.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Longest a single write may make no progress before it is given up.
constexpr int kWriteStallMs = 5000;

speed_t SpeedFor(uint32_t baud, bool& ok)
{
    ok = true;
    switch (baud) {
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
    default: ok = false; return B0;
    }
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool SetNonBlockCloexec(int fd)
{
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return false;
    int fdfl = ::fcntl(fd, F_GETFD);
    return fdfl >= 0 && ::fcntl(fd, F_SETFD, fdfl | FD_CLOEXEC) >= 0;
}

}  // namespace

struct CSerialComm::Platform {
    // Guards the descriptors against a Close from another thread (the
    // watchdog's) while the worker is inside Write: Close waits until no
    // call is using the port before it closes the descriptors.
    std::mutex lock;
    std::condition_variable idle;
    int users = 0;
    // True while one Close puts the port back outside the lock: no call may
    // use the port then, and another Close (or an Open) waits for it.
    bool closing = false;
    // True from the watcher's start until it has been joined. A second
    // Close (worker and watchdog may both close) must not close the
    // descriptors while the first is still joining a watcher that uses them.
    bool watcherActive = false;

    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    PortClaim claim;  // written by Open before fd is published
    std::thread watcher;

    // The port's descriptor for one Write or Read, or -1 when it is not open.
    int Acquire()
    {
        std::lock_guard<std::mutex> g(lock);
        if (fd < 0 || closing)
            return -1;
        ++users;
        return fd;
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(lock);
        if (--users == 0)
            idle.notify_all();
    }
};

namespace {

// Holds the port's descriptor in use for the length of one call. A template
// so it can take the class's private state type from inside the members.
template <class Platform>
class PortUse {
public:
    explicit PortUse(Platform& p) : m_P(p), m_Fd(p.Acquire()) {}
    ~PortUse()
    {
        if (m_Fd >= 0)
            m_P.Release();
    }
    int Fd() const { return m_Fd; }

private:
    Platform& m_P;
    int m_Fd;
};

}  // namespace

CSerialComm::CSerialComm() : m_Platform(new Platform) {}

CSerialComm::~CSerialComm() { Close(); }

bool CSerialComm::WatcherRunning() const
{
    std::lock_guard<std::mutex> g(m_Platform->lock);
    return m_Platform->watcher.joinable();
}

void CSerialComm::ReportWatcherError(const std::string& text)
{
    if (m_NoticeSink) {
        m_NoticeSink(text);
        return;
    }
    // No message box on POSIX: stderr is the only place to say it.
    std::fprintf(stderr, "%s\n", text.c_str());
}

int CSerialComm::Open(const char* portName, uint32_t baud, uint16_t portNumber)
{
    Close();
    m_OpenError.clear();
    m_PortNumber = portNumber;
    if (!portName || !*portName) {
        m_OpenError = "no port named";
        return 0;
    }
    m_PortName = portName;

    bool speedOk = false;
    speed_t speed = SpeedFor(baud, speedOk);
    if (!speedOk) {
        m_OpenError = std::to_string(baud) + " baud is not supported";
        errno = EINVAL;
        return 0;
    }

    // Each failure says why in m_OpenError, with errno set to match.
    auto fail = [this](const std::string& why, int err) {
        m_OpenError = why;
        errno = err;
        return 0;
    };
    int fd = ::open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        // EBUSY: another user holds the line in exclusive mode.
        return fail(err == EBUSY ? InUseText(FindPortHolder(portName, -1)) : std::strerror(err), err);
    }
    if (!::isatty(fd)) {
        ::close(fd);
        return fail("not a serial device", ENOTTY);
    }
    // Another program on the same line would steal the box's requests.
    // Root passes TIOCEXCL, so a line already exclusive is in use too when
    // someone still holds it (a pty keeps the flag after its user left).
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        if (pid_t holder = FindPortHolder(portName, fd)) {
            ::close(fd);
            return fail(InUseText(holder), EBUSY);
        }
    }
#endif
    // The lock holds against root as well; terminal programs take it too.
    if (!LockPort(fd)) {
        std::string why = InUseText(FindPortHolder(portName, fd));
        ::close(fd);
        return fail(why, EBUSY);
    }
    ::ioctl(fd, TIOCEXCL);

    PortClaim claim;
    claim.baud = baud;
    if (::tcgetattr(fd, &claim.saved) != 0) {
        int err = errno;
        LetGo(fd, claim, false);
        return fail(std::strerror(err), err);
    }
    claim.haveSaved = true;
    struct termios tio = claim.saved;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | HUPCL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        int err = errno;
        LetGo(fd, claim, false);
        return fail(std::strerror(err), err);
    }
    std::string hint;
    TuneLowLatency(fd, portName, claim, hint);
    if (!hint.empty())
        ReportWatcherError(hint);
    // Whatever the line held before this transfer is not for it. Only here:
    // a flush after a write would throw away a reply still on its way out.
    ::tcflush(fd, TCIOFLUSH);

    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        int err = errno;
        LetGo(fd, claim, false);
        return fail(std::strerror(err), err);
    }
    if (!SetNonBlockCloexec(pipefd[0]) || !SetNonBlockCloexec(pipefd[1])) {
        int err = errno;
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        LetGo(fd, claim, false);
        return fail(std::strerror(err), err);
    }

    Platform& p = *m_Platform;
    std::lock_guard<std::mutex> g(p.lock);
    p.fd = fd;
    p.claim = claim;
    p.wakeRead = pipefd[0];
    p.wakeWrite = pipefd[1];
    m_FullReported = false;
    m_LostReason.clear();
    m_Lost.store(false, std::memory_order_release);
    m_Connected.store(1, std::memory_order_release);
    try {
        p.watcher = std::thread([this] { ThreadWatchComm(this); });
        p.watcherActive = true;
    } catch (const std::exception&) {
        m_Connected.store(0, std::memory_order_release);
        CloseFd(p.wakeRead);
        CloseFd(p.wakeWrite);
        LetGo(p.fd, p.claim, false);
        p.fd = -1;
        ReportWatcherError("Error while creating ThreadWatchComm, " + m_PortName);
        m_OpenError = "cannot start the receive thread";
        return 0;
    }
    return 1;
}

void CSerialComm::Close()
{
    Platform& p = *m_Platform;
    m_Connected.store(0, std::memory_order_release);

    std::thread watcher;
    {
        std::unique_lock<std::mutex> g(p.lock);
        if (p.wakeWrite >= 0) {
            // Level-triggered: the byte stays in the pipe, so the watcher and
            // any write waiting for room all see it.
            unsigned char b = 1;
            ssize_t r;
            do {
                r = ::write(p.wakeWrite, &b, 1);
            } while (r < 0 && errno == EINTR);
        }
        watcher = std::move(p.watcher);
    }
    // Joined before the descriptors go, and before the owner resets the
    // queue, so no chunk can land in the queue after that reset.
    if (watcher.joinable()) {
        if (watcher.get_id() == std::this_thread::get_id())
            watcher.detach();
        else
            watcher.join();
        std::lock_guard<std::mutex> g(p.lock);
        p.watcherActive = false;
        p.idle.notify_all();
    }

    std::unique_lock<std::mutex> g(p.lock);
    p.idle.wait(g, [&p] { return p.users == 0 && !p.watcherActive && !p.closing; });
    if (p.fd >= 0) {
        // Putting the port back may wait a little for the last output;
        // not with the lock held, which every call on the port takes.
        p.closing = true;
        const int fd = p.fd;
        const PortClaim claim = p.claim;
        const bool drain = !m_Lost.load(std::memory_order_acquire);
        g.unlock();
        LetGo(fd, claim, drain);
        g.lock();
        p.fd = -1;
        p.closing = false;
        p.idle.notify_all();
    }
    CloseFd(p.wakeRead);
    CloseFd(p.wakeWrite);
}

int CSerialComm::Write(const void* buffer, int count)
{
    if (count < 0 || (count > 0 && !buffer))
        return 0;
    Platform& p = *m_Platform;
    PortUse<Platform> use(p);
    int fd = use.Fd();
    if (fd < 0)
        return 0;
    int wake = p.wakeRead;  // stable while the port is in use

    const unsigned char* data = static_cast<const unsigned char*>(buffer);
    int done = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (done < count) {
        ssize_t w = ::write(fd, data + done, static_cast<size_t>(count - done));
        if (w > 0) {
            done += static_cast<int>(w);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return done == 0 ? 0 : -1;
        // The output buffer is full: wait until it drains, but not forever,
        // and not past a Close.
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - lastProgress)
                          .count();
        if (waited >= kWriteStallMs || !m_Connected.load(std::memory_order_acquire))
            return -1;
        struct pollfd fds[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
        int pr = ::poll(fds, 2, static_cast<int>(kWriteStallMs - waited));
        if (pr < 0 && errno != EINTR)
            return -1;
        if (pr > 0 && (fds[1].revents || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))))
            return -1;
    }
    return done;
}

int CSerialComm::Read(void* buffer, int maxCount)
{
    if (!buffer || maxCount <= 0)
        return 0;
    ssize_t r;
    int err;
    {
        PortUse<Platform> use(*m_Platform);
        int fd = use.Fd();
        if (fd < 0) {
            errno = EBADF;
            return 0;
        }
        do {
            r = ::read(fd, buffer, static_cast<size_t>(maxCount));
        } while (r < 0 && errno == EINTR);
        err = errno;
    }
    // errno tells the watcher why nothing came: EAGAIN (nothing waiting),
    // unchanged after end of file, or the device's error.
    errno = err;
    return r > 0 ? static_cast<int>(r) : 0;
}

int CSerialComm::ThreadWatchComm(CSerialComm* port)
{
    Platform& p = *port->m_Platform;
    int fd, wake;
    {
        // Open() publishes the descriptors before it starts this thread, and
        // Close() closes them only after joining it.
        std::lock_guard<std::mutex> g(p.lock);
        fd = p.fd;
        wake = p.wakeRead;
    }
    if (fd < 0 || wake < 0)
        return 0;
    unsigned char chunk[kWatchChunk];

    auto lose = [port](const std::string& why) {
        port->m_LostReason = why;
        port->m_Lost.store(true, std::memory_order_release);
        port->m_QueueRead.NotifyData();
    };

    while (port->m_Connected.load(std::memory_order_acquire)) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        int pr = ::poll(fds, 2, -1);
        if (pr < 0) {
            if (errno == EINTR)
                continue;
            lose(std::strerror(errno));
            break;
        }
        if (fds[1].revents)
            break;  // Close() wants us gone
        short ev = fds[0].revents;
        if (ev & POLLNVAL) {
            lose("the descriptor was closed");
            break;
        }
        if (!(ev & (POLLIN | POLLHUP | POLLERR)))
            continue;

        // Read even on a hang-up: the last bytes may have come before it.
        errno = 0;
        int n = port->Read(chunk, kWatchChunk);
        int err = errno;
        if (n > 0) {
            if (n < CByteQueue::kSize - port->m_QueueRead.Count()) {
                for (int i = 0; i < n; ++i)
                    port->m_QueueRead.Put(chunk[i]);
                port->m_QueueRead.NotifyData();
            } else if (!port->m_FullReported) {
                // Dropped whole; said once per open so a stalled consumer
                // does not flood stderr.
                port->m_FullReported = true;
                port->ReportWatcherError("m_QueueRead FULL!");
            }
            continue;
        }
        if ((err == EAGAIN || err == EWOULDBLOCK) && !(ev & (POLLHUP | POLLERR)))
            continue;
        // End of file, a hard error (EIO, ENXIO) or a hang-up with nothing
        // left to read: the device is gone. A pty whose master closed keeps
        // reporting POLLHUP, so the watcher leaves rather than spin on it.
        if (err != 0 && err != EAGAIN && err != EWOULDBLOCK)
            lose(std::strerror(err));
        else
            lose(ev & POLLHUP ? "hang-up (the device or its other end went away)" : "end of file");
        break;
    }
    return 0;
}
