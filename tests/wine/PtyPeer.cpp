// The far end of the serial line for the Windows serial tests: creates a
// pseudo-terminal pair, prints "PTY <slave path>" on its first line (the
// driver maps that path to COM1 of the wine prefix) and answers requests
// framed like the box's frames ("Kuvo" | tag | type | len | payload | sum):
//
//   kEcho   -> kEchoReply with the same tag and payload
//   kSpeed  -> kSpeedReply, payload = line speed the tty is set to (u32 LE)
//   kBurst  -> payload u32 LE n: n raw bytes of PeerStreamByte(0..n-1)
//   kHangUp -> closes both sides of the pair, as an unplugged adapter would
//   kStall  -> kStallReply, then reads nothing for the given milliseconds
//   kWatchRelease -> kWatchReply, then closes its own slave side and counts
//              the times no one holds the slave open (the host's port is
//              released); kReleases -> kReleasesReply with that count
//
// With --done-before-hello after the lifetime it plays a box instead: once
// the host holds the line, three FT_DONE frames before any hello, then a
// hello every half second; it prints "3 DONE sent before any hello" and
// "HELLO_ACK received" as they happen, for the driver to wait on.
//
// Host-only code, built with the host compiler; nothing of the project is
// linked in so that the frame handling checks the Windows side independently.

#include "PeerProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int g_master = -1;
int g_slave = -1;
// Monotonic milliseconds until which nothing is read.
long long g_stallUntil = 0;
// Counting releases: the slave side has been let go.
bool g_watching = false;
uint32_t g_releases = 0;

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void PutU32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

bool WriteAll(const unsigned char* data, size_t size)
{
    while (size) {
        ssize_t n = write(g_master, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd pfd = {g_master, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
               unsigned char len)
{
    std::vector<unsigned char> out = {'K', 'u', 'v', 'o', tag, type, len};
    unsigned sum = tag + type + len;
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(payload[i]);
        sum += payload[i];
    }
    out.push_back(static_cast<unsigned char>(sum));
    return WriteAll(out.data(), out.size());
}

uint32_t LineSpeed()
{
    termios t;
    if (tcgetattr(g_slave, &t) != 0)
        return 0;
    switch (cfgetospeed(&t)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 1;  // set, but to none of the speeds above
    }
}

uint32_t ReadU32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Frame assembly from the byte stream: hunts for the magic, then collects
// tag, type, len, payload and checksum.
class Assembler {
public:
    // Returns true with a complete frame in body (tag, type, len, payload).
    bool Feed(unsigned char byte, std::vector<unsigned char>& body)
    {
        static const unsigned char kMagic[4] = {'K', 'u', 'v', 'o'};
        if (m_Matched < 4) {
            if (byte == kMagic[m_Matched])
                ++m_Matched;
            else
                m_Matched = byte == kMagic[0] ? 1 : 0;
            m_Body.clear();
            return false;
        }
        m_Body.push_back(byte);
        if (m_Body.size() < 4 || m_Body.size() < static_cast<size_t>(m_Body[2]) + 4)
            return false;
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < m_Body.size(); ++i)
            sum += m_Body[i];
        bool good = static_cast<unsigned char>(sum) == m_Body.back();
        m_Matched = 0;
        if (!good) {
            std::fprintf(stderr, "peer: frame with a bad checksum ignored\n");
            return false;
        }
        body.assign(m_Body.begin(), m_Body.end() - 1);
        return true;
    }

private:
    int m_Matched = 0;
    std::vector<unsigned char> m_Body;
};

void Handle(const std::vector<unsigned char>& body)
{
    unsigned char tag = body[0], type = body[1], len = body[2];
    const unsigned char* payload = body.data() + 3;
    switch (type) {
    case kPeerEcho:
        SendFrame(tag, kPeerEchoReply, payload, len);
        break;
    case kPeerSpeed: {
        unsigned char out[4];
        PutU32(out, LineSpeed());
        SendFrame(tag, kPeerSpeedReply, out, 4);
        break;
    }
    case kPeerBurst: {
        if (len < 4)
            break;
        uint32_t n = ReadU32(payload);
        std::vector<unsigned char> data(n);
        for (uint32_t i = 0; i < n; ++i)
            data[i] = PeerStreamByte(i);
        WriteAll(data.data(), data.size());
        break;
    }
    case kPeerStall:
        if (len < 2)
            break;
        SendFrame(tag, kPeerStallReply, nullptr, 0);
        g_stallUntil = NowMs() + (payload[0] | (payload[1] << 8));
        break;
    case kPeerWatchRelease:
        SendFrame(tag, kPeerWatchReply, nullptr, 0);
        if (g_slave >= 0)
            close(g_slave);
        g_slave = -1;
        g_watching = true;
        g_releases = 0;
        break;
    case kPeerReleases: {
        unsigned char out[4];
        PutU32(out, g_releases);
        SendFrame(tag, kPeerReleasesReply, out, 4);
        break;
    }
    case kPeerHangUp:
        close(g_master);
        close(g_slave);
        g_master = g_slave = -1;
        break;
    default:
        std::fprintf(stderr, "peer: unknown request type %u ignored\n", type);
        break;
    }
}

// The box of --done-before-hello (see the top of the file).
[[noreturn]] void DoneBeforeHello()
{
    enum : unsigned char { kHello = 1, kHelloAck = 2, kDone = 6 };
    // Without a slave side of our own, POLLHUP on the master says whether
    // the host holds the line.
    close(g_slave);
    g_slave = -1;
    for (;;) {
        pollfd pfd = {g_master, POLLIN, 0};
        poll(&pfd, 1, 10);
        if (!(pfd.revents & POLLHUP))
            break;
        usleep(10000);
    }
    // The host empties its line once right after opening it; the DONEs come
    // after that, each on its own.
    for (unsigned char i = 0; i < 3; ++i) {
        usleep(200 * 1000);
        SendFrame(static_cast<unsigned char>(0x40 + i), kDone, nullptr, 0);
    }
    std::printf("3 DONE sent before any hello\n");
    std::fflush(stdout);

    static const unsigned char kHelloPayload[] = {'B', 'O', 'X', 1};
    Assembler assembler;
    std::vector<unsigned char> body;
    unsigned char buffer[512];
    unsigned char tag = 0x50;
    bool acked = false;
    long long nextHello = 0;
    for (;;) {
        if (NowMs() >= nextHello) {
            SendFrame(tag++, kHello, kHelloPayload, sizeof kHelloPayload);
            nextHello = NowMs() + 500;
        }
        pollfd pfd = {g_master, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0 || !(pfd.revents & POLLIN)) {
            if (pfd.revents & POLLHUP)
                usleep(10000);
            continue;
        }
        ssize_t n = read(g_master, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            if (assembler.Feed(buffer[i], body) && body[1] == kHelloAck && !acked) {
                acked = true;
                std::printf("HELLO_ACK received\n");
                std::fflush(stdout);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // A peer must never outlive its test, whatever happens to the driver.
    unsigned lifetime = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 120;
    alarm(lifetime);
    signal(SIGPIPE, SIG_IGN);

    g_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (g_master < 0 || grantpt(g_master) != 0 || unlockpt(g_master) != 0) {
        std::perror("peer: pseudo-terminal");
        return 1;
    }
    const char* name = ptsname(g_master);
    std::string path = name ? name : "";
    // Holding the slave open keeps the pair alive while the Windows side
    // closes and reopens its port, and lets the peer see the line settings.
    g_slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (g_slave < 0) {
        std::perror("peer: slave side");
        return 1;
    }
    termios t;
    tcgetattr(g_slave, &t);
    cfmakeraw(&t);
    tcsetattr(g_slave, TCSANOW, &t);

    std::printf("PTY %s\n", path.c_str());
    std::fflush(stdout);
    if (argc > 2 && std::string(argv[2]) == "--done-before-hello")
        DoneBeforeHello();

    Assembler assembler;
    std::vector<unsigned char> body;
    unsigned char buffer[4096];
    bool released = false;
    while (g_master >= 0) {
        // While stalled only a hang-up is looked for.
        long long stall = g_stallUntil - NowMs();
        pollfd pfd = {g_master, static_cast<short>(stall > 0 ? 0 : POLLIN), 0};
        int r = poll(&pfd, 1, stall > 0 ? 1 : 1000);
        if (r < 0 && errno != EINTR)
            break;
        if (g_watching) {
            // POLLHUP: no one holds the slave open, so the host's port is
            // closed for good; counted once per closing.
            bool hup = r > 0 && (pfd.revents & POLLHUP);
            if (hup && !released)
                ++g_releases;
            released = hup;
        }
        if (r <= 0 || stall > 0) {
            if (r > 0 && stall > 0)
                usleep(1000);
            continue;
        }
        ssize_t n = read(g_master, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // EIO while no slave is open would spin: wait for the next open.
            usleep(1000);
            continue;
        }
        for (ssize_t i = 0; i < n && g_master >= 0; ++i)
            if (assembler.Feed(buffer[i], body))
                Handle(body);
    }
    // After a hang-up, stay until the driver ends the test.
    while (true)
        pause();
}
