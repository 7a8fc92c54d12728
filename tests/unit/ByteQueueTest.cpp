#include "serial/ByteQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

TEST(ByteQueue, EmptyFullAndResetFollowTheOneFreeSlotRule)
{
    auto q = std::make_unique<CByteQueue>();
    unsigned char b = 0xAA;
    EXPECT_EQ(q->Count(), 0);
    EXPECT_EQ(q->Get(b), 0);
    EXPECT_EQ(b, 0xAA) << "Get on an empty queue must leave the out byte alone";

    for (int i = 0; i < 8191; ++i)
        ASSERT_EQ(q->Put(static_cast<unsigned char>(i)), 1) << i;
    EXPECT_EQ(q->Count(), 8191);
    EXPECT_EQ(q->Put(0x55), 0);
    EXPECT_EQ(q->Count(), 8191);

    // The dropped byte must not have overwritten the oldest one.
    ASSERT_EQ(q->Get(b), 1);
    EXPECT_EQ(b, 0);

    q->Reset();
    EXPECT_EQ(q->Count(), 0);
    EXPECT_EQ(q->Get(b), 0);
}

TEST(ByteQueue, KeepsOrderAcrossTheWrap)
{
    auto q = std::make_unique<CByteQueue>();
    unsigned char b;
    // Move both indices close to the end of the storage.
    for (int i = 0; i < 8190; ++i) {
        ASSERT_EQ(q->Put(0), 1);
        ASSERT_EQ(q->Get(b), 1);
    }
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(q->Put(static_cast<unsigned char>(i + 1)), 1);
    EXPECT_EQ(q->Count(), 100);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(q->Get(b), 1);
        EXPECT_EQ(b, i + 1);
    }
    EXPECT_EQ(q->Count(), 0);
}

// One producer and one consumer on their own threads, as the watcher and
// the worker run: every byte arrives once, in order.
TEST(ByteQueue, ProducerAndConsumerThreadsLoseNothing)
{
    auto q = std::make_unique<CByteQueue>();
    const int total = 2000000;
    std::thread producer([&] {
        for (int i = 0; i < total;) {
            if (q->Put(static_cast<unsigned char>(i * 7)))
                ++i;
            if ((i & 1023) == 0)
                q->NotifyData();
        }
        q->NotifyData();
    });
    int got = 0;
    bool inOrder = true;
    while (got < total) {
        unsigned char b;
        if (q->Get(b)) {
            inOrder = inOrder && b == static_cast<unsigned char>(got * 7);
            ++got;
        } else {
            q->WaitForData(5);
        }
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(q->Count(), 0);
}

TEST(ByteQueue, WaitForDataWakesOnNotifyAndTimesOut)
{
    auto q = std::make_unique<CByteQueue>();
    EXPECT_FALSE(q->WaitForData(1));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q->Put(42);
        q->NotifyData();
    });
    // The wake-up, not the long timeout, must end the wait; the bound is
    // far above any scheduling delay.
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(q->WaitForData(20000));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(10));
    producer.join();
    unsigned char b = 0;
    ASSERT_EQ(q->Get(b), 1);
    EXPECT_EQ(b, 42);
}
