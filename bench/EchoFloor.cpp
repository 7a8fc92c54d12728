// zv-bench-echo: the least a host can do per request, as the floor for the
// turnaround benchmark. Reads 12 bytes (one data request) from the serial
// line and answers each with one fixed 263-byte frame in a single write,
// on one thread, blocking, with no parsing and no file access.
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zv-bench-echo TTY\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    struct termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);

    // "Kuvo", tag 1, FT_DATA, len 255, 255 payload bytes, checksum.
    unsigned char reply[263];
    std::memcpy(reply, "Kuvo", 4);
    reply[4] = 1;
    reply[5] = 5;
    reply[6] = 255;
    unsigned sum = 1 + 5 + 255;
    for (int i = 0; i < 255; ++i) {
        reply[7 + i] = static_cast<unsigned char>(i);
        sum += static_cast<unsigned>(i);
    }
    reply[262] = static_cast<unsigned char>(sum);

    unsigned char req[12];
    for (;;) {
        size_t got = 0;
        while (got < sizeof req) {
            ssize_t r = ::read(fd, req + got, sizeof req - got);
            if (r <= 0)
                return 0;  // the line went away
            got += static_cast<size_t>(r);
        }
        if (::write(fd, reply, sizeof reply) != static_cast<ssize_t>(sizeof reply))
            return 0;
    }
}
