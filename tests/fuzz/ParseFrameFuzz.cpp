// Fuzz target: ParseFrame on arbitrary bytes arriving through a CByteQueue
// in pieces. The first input byte sets the size of the pieces (0: as much
// as the queue takes at once); the rest is the stream.
//
// Checked: every result is 0, -1 or -2; every call takes at least one byte
// (so a caller's loop always ends); the frames taken, their bodies, their
// results and where each ends in the stream match an independent reading
// of the same stream (RefFrames.h); a 0 means the checksum is right, a -2
// that it is wrong, and a frame takes exactly len + 4 body bytes.
#include "FuzzCheck.h"
#include "RefFrames.h"

#include "protocol/Frame.h"
#include "serial/ByteQueue.h"

#include <algorithm>
#include <cstring>

namespace {

// Delivers the stream piece by piece: the parser asks for more only when
// the queue is empty.
class Arrivals : public IParseWait {
public:
    Arrivals(CByteQueue& queue, const unsigned char* data, size_t size, size_t piece)
        : m_Queue(queue), m_Data(data), m_Size(size), m_Piece(piece)
    {
    }
    bool KeepWaiting() override { return m_Pos < m_Size; }
    void WaitForBytes(CByteQueue& queue) override
    {
        FUZZ_CHECK(&queue == &m_Queue);
        FUZZ_CHECK(queue.Count() == 0);
        Deliver();
    }
    void Deliver()
    {
        size_t room = CByteQueue::kSize - 1 - static_cast<size_t>(m_Queue.Count());
        size_t n = std::min({m_Piece, m_Size - m_Pos, room});
        for (size_t i = 0; i < n; ++i)
            FUZZ_CHECK(m_Queue.Put(m_Data[m_Pos + i]) == 1);
        m_Pos += n;
    }
    bool Done() const { return m_Pos >= m_Size; }
    // Stream bytes the parser has taken so far.
    size_t Taken() const { return m_Pos - static_cast<size_t>(m_Queue.Count()); }

private:
    CByteQueue& m_Queue;
    const unsigned char* m_Data;
    size_t m_Size;
    size_t m_Piece;
    size_t m_Pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = input[0] == 0 ? size_t(CByteQueue::kSize) : size_t(input[0] % 64) + 1;
    const unsigned char* data = input + 1;
    size_t n = size - 1;

    const std::vector<ref::Frame> expected = ref::Scan(data, n);

    CByteQueue queue;
    Arrivals arrivals(queue, data, n, piece);
    arrivals.Deliver();
    size_t found = 0;
    unsigned char body[kFrameBodyBufferSize];
    for (;;) {
        if (queue.Count() == 0) {
            if (arrivals.Done())
                break;
            arrivals.Deliver();
        }
        size_t before = arrivals.Taken();
        std::memset(body, 0xA5, sizeof body);
        int r = ParseFrame(queue, body, &arrivals);
        size_t after = arrivals.Taken();
        FUZZ_CHECK(r == kParseOk || r == kParseNoFrame || r == kParseBadChecksum);
        FUZZ_CHECK(after > before);
        if (r == kParseNoFrame)
            continue;

        FUZZ_CHECK(found < expected.size());
        const ref::Frame& want = expected[found++];
        size_t k = size_t(body[2]) + 4;
        FUZZ_CHECK(k == want.body.size());
        FUZZ_CHECK(std::memcmp(body, want.body.data(), k) == 0);
        FUZZ_CHECK(after == want.end);
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < k; ++i)
            sum += body[i];
        FUZZ_CHECK((r == kParseOk) == ((sum & 0xFF) == body[k - 1]));
        FUZZ_CHECK((r == kParseOk) == want.checksumOk);
        FUZZ_CHECK(FrameChecksum(body) == static_cast<unsigned char>(sum));
    }
    FUZZ_CHECK(found == expected.size());
    return 0;
}
