#include "TestLink.h"

#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::unique_ptr<CByteQueue> QueueWith(const Bytes& bytes)
{
    auto q = std::make_unique<CByteQueue>();
    for (unsigned char b : bytes)
        q->Put(b);
    return q;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Feeds the queue one byte of a script each time the parser has to wait:
// the same as ParseFrame being called while bytes trickle in.
class TrickleWait : public IParseWait {
public:
    TrickleWait(CByteQueue& q, Bytes script) : m_Queue(q), m_Script(std::move(script)) {}
    bool KeepWaiting() override { return m_Next < m_Script.size(); }
    void WaitForBytes(CByteQueue&) override
    {
        ++m_Waits;
        m_Queue.Put(m_Script[m_Next++]);
    }
    size_t m_Next = 0;
    int m_Waits = 0;

private:
    CByteQueue& m_Queue;
    Bytes m_Script;
};

class NeverWait : public IParseWait {
public:
    bool KeepWaiting() override { return false; }
};

}  // namespace

TEST(Frame, SendFrameWritesMagicBodyAndChecksumInThreeWrites)
{
    TestLink link;
    unsigned char hello[] = {7, FT_HELLO_ACK, 0};
    SendFrame(link, hello);
    EXPECT_EQ(link.Writes(), 3);
    EXPECT_EQ(link.Written(), (Bytes{'K', 'u', 'v', 'o', 0x07, 0x02, 0x00, 0x09}));

    // The checksum is the 8-bit sum of tag, type, len and payload.
    TestLink link2;
    unsigned char data[] = {0xF0, FT_DATA, 3, 0x80, 0x80, 0x01};
    SendFrame(link2, data);
    Bytes w = link2.Written();
    ASSERT_EQ(w.size(), 11u);
    EXPECT_EQ(w.back(), static_cast<unsigned char>(0xF0 + 5 + 3 + 0x80 + 0x80 + 1));
}

TEST(Frame, ParsesFramesAndReportsChecksumsAndNoise)
{
    unsigned char body[kFrameBodyBufferSize];

    // len 0: four body bytes, checksum = tag + type.
    auto q = QueueWith(TestLink::MakeFrame(0x5A, FT_HELLO, {}));
    ASSERT_EQ(ParseFrame(*q, body, nullptr), kParseOk);
    EXPECT_EQ(body[0], 0x5A);
    EXPECT_EQ(body[1], FT_HELLO);
    EXPECT_EQ(body[2], 0);
    EXPECT_EQ(body[3], (0x5A + FT_HELLO) & 0xFF);
    EXPECT_EQ(q->Count(), 0);

    // Noise before the magic and between its bytes is skipped.
    Bytes frame = TestLink::MakeFrame(3, FT_DATA_REQ, {16, 0, 1, 0});
    Bytes noisy = {0x00, 0xFF, 'K', 0x13};
    noisy = Cat(noisy, Bytes{'K', 'u', 0x00, 'v', 'o'});
    noisy = Cat(noisy, Bytes(frame.begin() + 4, frame.end()));
    q = QueueWith(noisy);
    ASSERT_EQ(ParseFrame(*q, body, nullptr), kParseOk);
    EXPECT_EQ(body[1], FT_DATA_REQ);
    EXPECT_EQ(body[3], 16);
    EXPECT_EQ(body[5], 1);

    // Checksum off by one: -2, and the frame is consumed.
    Bytes bad = TestLink::MakeFrame(1, FT_DATA_REQ, {1, 0, 0, 0});
    bad.back() += 1;
    q = QueueWith(Cat(bad, TestLink::MakeFrame(2, FT_HELLO, {})));
    EXPECT_EQ(ParseFrame(*q, body, nullptr), kParseBadChecksum);
    ASSERT_EQ(ParseFrame(*q, body, nullptr), kParseOk);
    EXPECT_EQ(body[0], 2);

    // Pure noise: -1, and the bytes examined are gone.
    q = QueueWith({1, 2, 3, 4, 5});
    EXPECT_EQ(ParseFrame(*q, body, nullptr), kParseNoFrame);
    EXPECT_EQ(q->Count(), 0);
    auto empty = std::make_unique<CByteQueue>();
    EXPECT_EQ(ParseFrame(*empty, body, nullptr), kParseNoFrame);

    // A full 255-byte payload fits the 260-byte buffer.
    Bytes payload(255);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 3);
    q = QueueWith(TestLink::MakeFrame(9, FT_DATA, payload));
    ASSERT_EQ(ParseFrame(*q, body, nullptr), kParseOk);
    EXPECT_EQ(body[2], 255);
    EXPECT_EQ(Bytes(body + 3, body + 258), payload);
}

// A frame that reaches the queue one byte at a time, with the parser called
// while the rest is still on its way, must not be lost.
TEST(Frame, FrameArrivingByteByByteIsNotLost)
{
    Bytes frame = TestLink::MakeFrame(0x11, FT_DATA_REQ, {255, 0x01, 0x02, 0x03});
    auto q = std::make_unique<CByteQueue>();
    q->Put(frame[0]);
    TrickleWait wait(*q, Bytes(frame.begin() + 1, frame.end()));
    unsigned char body[kFrameBodyBufferSize];
    ASSERT_EQ(ParseFrame(*q, body, &wait), kParseOk);
    EXPECT_EQ(wait.m_Next, frame.size() - 1);
    EXPECT_EQ(Bytes(body, body + 8), Bytes(frame.begin() + 4, frame.end()));

    // Only part of the magic, then the wait is ended (transfer stopped):
    // -1, without hanging.
    q = std::make_unique<CByteQueue>();
    q->Put('K');
    q->Put('u');
    NeverWait never;
    EXPECT_EQ(ParseFrame(*q, body, &never), kParseNoFrame);

    // A body cut short behind a complete magic, wait ended: -1.
    q = QueueWith(Bytes(frame.begin(), frame.begin() + 6));
    EXPECT_EQ(ParseFrame(*q, body, &never), kParseNoFrame);

    // No magic byte at all: the parser does not wait for anything.
    q = QueueWith({0x00, 0x01});
    TrickleWait idle(*q, frame);
    EXPECT_EQ(ParseFrame(*q, body, &idle), kParseNoFrame);
    EXPECT_EQ(idle.m_Waits, 0);
}

// The same with a real producer thread, as the watcher feeds the worker.
TEST(Frame, FramesTrickledByAnotherThreadAllArrive)
{
    auto q = std::make_unique<CByteQueue>();
    const int frames = 50;
    Bytes stream;
    for (int i = 0; i < frames; ++i)
        stream = Cat(stream, TestLink::MakeFrame(static_cast<unsigned char>(i), FT_TIME_REQ, {}));

    std::atomic<bool> stop{false};
    class StopWait : public IParseWait {
    public:
        explicit StopWait(std::atomic<bool>& s) : m_Stop(s) {}
        bool KeepWaiting() override { return !m_Stop.load(); }
        std::atomic<bool>& m_Stop;
    } wait(stop);

    std::thread producer([&] {
        for (size_t i = 0; i < stream.size(); ++i) {
            while (!q->Put(stream[i])) {
            }
            q->NotifyData();
            if (i % 3 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    unsigned char body[kFrameBodyBufferSize];
    int seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen < frames && std::chrono::steady_clock::now() < deadline) {
        int r = ParseFrame(*q, body, &wait);
        if (r == kParseOk) {
            EXPECT_EQ(body[0], seen);
            ++seen;
        } else {
            ASSERT_EQ(r, kParseNoFrame);
            q->WaitForData(5);
        }
    }
    stop = true;
    producer.join();
    EXPECT_EQ(seen, frames);
}
