#include "Frame.h"

#include "serial/ByteQueue.h"
#include "serial/SerialLink.h"

#include <cstring>

const unsigned char kFrameMagic[kFrameMagicSize] = {'K', 'u', 'v', 'o'};

unsigned char FrameChecksum(const unsigned char* body)
{
    unsigned sum = 0;
    int n = body[2] + kFrameHeaderSize;
    for (int i = 0; i < n; ++i)
        sum += body[i];
    return static_cast<unsigned char>(sum);
}

int SendFrame(CSerialLink& port, const unsigned char* body)
{
    unsigned char checksum = FrameChecksum(body);
    port.Write(kFrameMagic, kFrameMagicSize);
    port.Write(body, body[2] + kFrameHeaderSize);
    return port.Write(&checksum, 1);
}

int CSerialLink::SendFrame(const unsigned char* body) { return ::SendFrame(*this, body); }

void IParseWait::WaitForBytes(CByteQueue& queue) { queue.WaitForData(20); }

namespace {

// Takes the next byte, waiting for it while wait allows. false when the
// wait was ended (or there is no wait and the queue is empty).
bool NextByte(CByteQueue& queue, IParseWait* wait, unsigned char& byte)
{
    while (!queue.Get(byte)) {
        if (!wait || !wait->KeepWaiting())
            return false;
        wait->WaitForBytes(queue);
    }
    return true;
}

}  // namespace

int ParseFrame(CByteQueue& queue, unsigned char* body, IParseWait* wait)
{
    int n = queue.Count();
    if (n <= 0)
        return kParseNoFrame;

    int m = 0;
    for (int e = 0;;) {
        unsigned char byte;
        if (queue.Get(byte) && byte == kFrameMagic[m])
            ++m;
        if (m == kFrameMagicSize)
            break;
        if (++e >= n) {
            // Part of a magic seen: the rest is on its way, so wait for it
            // instead of losing the frame. Noise keeps being skipped.
            if (m == 0)
                return kParseNoFrame;
            while (m < kFrameMagicSize) {
                if (!NextByte(queue, wait, byte))
                    return kParseNoFrame;
                if (byte == kFrameMagic[m])
                    ++m;
            }
            break;
        }
    }

    // Body: at least tag, type, len, checksum; then len + 4 bytes in all.
    int stored = 0;
    while (stored < 4 || stored < body[2] + 4) {
        unsigned char byte;
        if (!NextByte(queue, wait, byte))
            return kParseNoFrame;
        body[stored++] = byte;
    }

    int k = body[2] + 4;
    unsigned sum = 0;
    for (int i = 0; i < k - 1; ++i)
        sum += body[i];
    return static_cast<unsigned char>(sum) == body[k - 1] ? kParseOk : kParseBadChecksum;
}

int EncodeFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                unsigned char len, unsigned char* out)
{
    std::memcpy(out, kFrameMagic, kFrameMagicSize);
    unsigned char* body = out + kFrameMagicSize;
    body[0] = tag;
    body[1] = type;
    body[2] = len;
    if (len)
        std::memcpy(body + 3, payload, len);
    body[3 + len] = FrameChecksum(body);
    return len + 8;
}
