#include "BoxFrames.h"

#include "protocol/Frame.h"

#include <cstring>

namespace bench {

std::vector<unsigned char> MakeFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                                     unsigned char len)
{
    std::vector<unsigned char> out(len + 8u);
    EncodeFrame(tag, type, payload, len, out.data());
    return out;
}

std::vector<unsigned char> DataRequest(unsigned char tag, long offset, int n)
{
    unsigned char p[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(offset >> 16),
                          static_cast<unsigned char>(offset >> 8), static_cast<unsigned char>(offset)};
    return MakeFrame(tag, FT_DATA_REQ, p, 4);
}

bool Greet(int master, unsigned char tag)
{
    auto hello = MakeFrame(tag, FT_HELLO, nullptr, 0);
    auto ack = MakeFrame(tag, FT_HELLO_ACK, nullptr, 0);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!WriteAll(master, hello.data(), hello.size(), 1000))
            return false;
        unsigned char got[8];
        if (ReadExact(master, got, sizeof got, 100)) {
            if (std::memcmp(got, ack.data(), 8) == 0)
                return true;
            Drain(master, 50);
        }
    }
    return false;
}

Clock::duration WireTime(long bytes, long baud)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(bytes * 10 * 1000000000LL / baud));
}

}  // namespace bench
