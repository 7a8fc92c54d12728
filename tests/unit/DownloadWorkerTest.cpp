#include "TestLink.h"

#include "protocol/DownloadHost.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Records what the worker tells its host, in order.
class TestHost : public CDownloadHost {
public:
    explicit TestHost(TestLink& link) { m_pSerialPort = &link; m_RunFlag = 1; }

    void ShowMessage(int n) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Events.push_back("show(" + std::to_string(n) + "):" + PendingMessage());
    }
    void SetProgress(int p) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Events.push_back("progress:" + std::to_string(p));
        m_Progress.push_back(p);
    }
    void FinishTransfer() override
    {
        SetPendingMessage(msg::kCompleted);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Events.push_back("finish");
        m_RunFlag = 0;
        m_WatchdogCounter = -1;
    }
    void ExitCommandLine(int code) override { m_ExitCode = code; }

    std::mutex m_Lock;
    std::vector<std::string> m_Events;
    std::vector<int> m_Progress;
    int m_ExitCode = -100;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Path = ::testing::TempDir() + "zv_worker_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
        WriteFile(4096);
    }
    void TearDown() override { std::remove(m_Path.c_str()); }

    void WriteFile(size_t size)
    {
        m_Content.resize(size);
        for (size_t i = 0; i < size; ++i)
            m_Content[i] = static_cast<unsigned char>((i * 131 + 7) & 0xFF);
        std::ofstream f(m_Path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(m_Content.data()), static_cast<std::streamsize>(size));
        m_Host.m_SelectedPath = m_Path;
        m_Host.m_FileSize = static_cast<int32_t>(size);
    }

    static Bytes DataReq(int n, long offset)
    {
        return {static_cast<unsigned char>(n), static_cast<unsigned char>(offset >> 16),
                static_cast<unsigned char>(offset >> 8), static_cast<unsigned char>(offset)};
    }

    // Splits what the worker wrote into frames; fails on anything malformed.
    std::vector<Bytes> Replies()
    {
        std::vector<Bytes> out;
        Bytes w = m_Link.Written();
        size_t i = 0;
        while (i < w.size()) {
            EXPECT_GE(w.size() - i, 8u);
            if (w.size() - i < 8)
                break;
            EXPECT_EQ(Bytes(w.begin() + i, w.begin() + i + 4), (Bytes{'K', 'u', 'v', 'o'}));
            size_t len = w[i + 6];
            Bytes body(w.begin() + i + 4, w.begin() + i + 8 + len);
            EXPECT_EQ(FrameChecksum(body.data()), body.back());
            out.push_back(body);
            i += len + 8;
        }
        return out;
    }

    TransferResult Run(const WorkerOptions& options = WorkerOptions()) { return RunDownload(m_Host, options); }

    TestLink m_Link;
    TestHost m_Host{m_Link};
    std::string m_Path;
    Bytes m_Content;
};

LocalTime Fixed2010() { return LocalTime{2010, 4, 23, 13, 5, 9}; }
LocalTime Fixed2038Last() { return LocalTime{2038, 4, 22, 0, 0, 0}; }
LocalTime Fixed2038Over() { return LocalTime{2038, 4, 23, 0, 0, 0}; }
LocalTime FixedJan1900() { return LocalTime{1900, 1, 10, 0, 0, 0}; }

}  // namespace

TEST_F(WorkerTest, ServesHelloBlocksAndTimeThenCompletes)
{
    m_Link.FeedFrame(7, FT_HELLO, {});
    m_Link.FeedFrame(0x5A, FT_DATA_REQ, DataReq(16, 256));
    m_Link.FeedFrame(0x21, FT_DATA_REQ, DataReq(255, 4096 - 255));  // ends exactly at EOF
    m_Link.FeedFrame(0x22, FT_TIME_REQ, {});
    m_Link.FeedFrame(0x23, FT_DONE, {});
    m_Host.m_WatchdogCounter = 2;

    WorkerOptions options;
    options.clock = Fixed2010;
    EXPECT_EQ(Run(options), TransferResult::Completed);

    auto replies = Replies();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0], (Bytes{0x07, 0x02, 0x00, 0x09}));

    EXPECT_EQ(replies[1][0], 0x5A);
    EXPECT_EQ(replies[1][1], FT_DATA);
    ASSERT_EQ(replies[1][2], 16);
    EXPECT_EQ(Bytes(replies[1].begin() + 3, replies[1].end() - 1),
              Bytes(m_Content.begin() + 256, m_Content.begin() + 272));

    ASSERT_EQ(replies[2][2], 255);
    EXPECT_EQ(Bytes(replies[2].begin() + 3, replies[2].end() - 1),
              Bytes(m_Content.end() - 255, m_Content.end()));

    EXPECT_EQ(Bytes(replies[3].begin(), replies[3].end() - 1),
              (Bytes{0x22, FT_TIME, 5, 0xD8, 0x0D, 0x13, 0x05, 0x09}));

    // Progress follows the block start; FT_DONE moves it to 100, the end of
    // the loop shows the pending text and puts the bar back to 0.
    std::vector<std::string> expected = {
        "show(-1):Downloading Processing..", "show(-1):Downloading Processing..", "progress:6",
        "show(-1):Downloading Processing..", "progress:93",
        "show(-1):Downloading Processing..", "progress:100", "finish",
        "show(3):Completely Transfered!", "progress:0"};
    EXPECT_EQ(m_Host.m_Events, expected);
    EXPECT_EQ(m_Host.m_FileSize.load(), 0) << "the worker clears the file size when it ends";
    EXPECT_EQ(m_Host.m_ExitCode, -100) << "no process exit outside command-line mode";
}

TEST_F(WorkerTest, GreetingGatesDataAndTimeButNotTheWatchdog)
{
    WorkerOptions options;
    options.clock = Fixed2010;

    // Before any hello: no answer, but the request still counts for the
    // watchdog and the status line. A DONE before any hello is no end: the
    // transfer goes on to the box that greets next.
    m_Host.m_WatchdogCounter = 3;
    m_Link.FeedFrame(1, FT_DATA_REQ, DataReq(4, 0));
    m_Link.FeedFrame(2, FT_TIME_REQ, {});
    m_Link.FeedFrame(3, FT_DONE, {});
    m_Link.FeedFrame(4, FT_HELLO, {});
    m_Link.FeedFrame(5, FT_DONE, {});
    EXPECT_EQ(Run(options), TransferResult::Completed);
    EXPECT_EQ(m_Link.Written(), TestLink::MakeFrame(4, FT_HELLO_ACK, {}));
    EXPECT_EQ(m_Host.m_Events.front(), "show(-1):Downloading Processing..");

    // A frame of a type outside the table cancels the greeting; a new hello
    // restores it. A request too short to carry an offset gets no answer.
    TestLink link;
    TestHost host(link);
    host.m_SelectedPath = m_Path;
    host.m_FileSize = 4096;
    link.FeedFrame(1, FT_HELLO, {});
    link.FeedFrame(2, 3, {});
    link.FeedFrame(3, FT_DATA_REQ, DataReq(8, 0));
    link.FeedFrame(4, FT_HELLO, {});
    link.FeedFrame(5, FT_DATA_REQ, {8, 0, 0});
    link.FeedFrame(6, FT_DATA, {});  // our own reply type coming back also cancels
    link.FeedFrame(7, FT_DATA_REQ, DataReq(8, 0));
    link.FeedFrame(8, FT_HELLO, {});
    link.FeedFrame(9, FT_DATA_REQ, DataReq(8, 8));
    link.FeedFrame(10, FT_DONE, {});
    host.m_WatchdogCounter = 2;
    EXPECT_EQ(RunDownload(host, options), TransferResult::Completed);
    Bytes w = link.Written();
    // Answers: hello 1, hello 4, hello 8, data 9; nothing for 3, 5, 7.
    std::vector<int> tags;
    for (size_t i = 0; i + 8 <= w.size(); i += w[i + 6] + 8)
        tags.push_back(w[i + 4]);
    EXPECT_EQ(tags, (std::vector<int>{1, 4, 8, 9}));
}

TEST_F(WorkerTest, TimeRepliesOnlyForDatesTheBoxCanTake)
{
    struct Case {
        LocalTime (*clock)();
        bool answered;
    } cases[] = {{Fixed2038Last, true}, {Fixed2038Over, false}, {FixedJan1900, false}};
    for (const Case& c : cases) {
        TestLink link;
        TestHost host(link);
        host.m_SelectedPath = m_Path;
        host.m_FileSize = 4096;
        link.FeedFrame(1, FT_HELLO, {});
        link.FeedFrame(2, FT_TIME_REQ, {});
        link.FeedFrame(3, FT_DONE, {});
        WorkerOptions options;
        options.clock = c.clock;
        RunDownload(host, options);
        Bytes w = link.Written();
        ASSERT_GE(w.size(), 8u);
        if (c.answered) {
            ASSERT_EQ(w.size(), 8u + 13u);
            EXPECT_EQ(w[8 + 7], 0xFF);
            EXPECT_EQ(w[8 + 8], 0xFF);
        } else {
            EXPECT_EQ(w.size(), 8u) << "only the hello is answered";
        }
    }
}

TEST_F(WorkerTest, BlockPastTheEndEndsWithSizeOver)
{
    m_Link.FeedFrame(1, FT_HELLO, {});
    m_Link.FeedFrame(2, FT_DATA_REQ, DataReq(255, 4096 - 254));
    m_Link.FeedFrame(3, FT_DATA_REQ, DataReq(1, 0));  // never reached
    m_Host.m_CommandLineMode = 1;
    EXPECT_EQ(Run(), TransferResult::SizeOver);
    EXPECT_EQ(Replies().size(), 1u);
    // The error exit shows the error and finishes; the normal end-of-loop
    // messages are skipped.
    std::vector<std::string> expected = {"show(-1):Downloading Processing..",
                                         "show(-1):Downloading Processing..",
                                         "show(3):Error : File size is over.", "finish"};
    EXPECT_EQ(m_Host.m_Events, expected);
    EXPECT_EQ(m_Host.m_ExitCode, kExitTransfer);
}

TEST_F(WorkerTest, AnEndTheHostClaimedFirstStands)
{
    // The watchdog has ended the transfer; the worker has not yet seen the
    // run flag drop and still takes a done report and a block error.
    ASSERT_TRUE(m_Host.ClaimEnd());
    m_Host.SetPendingMessage(msg::kExternalError);
    m_Link.FeedFrame(1, FT_HELLO, {});
    m_Link.FeedFrame(2, FT_DONE, {});
    m_Link.FeedFrame(3, FT_DATA_REQ, DataReq(255, 4096 - 254));
    m_Host.m_CommandLineMode = 1;
    EXPECT_EQ(Run(), TransferResult::Stopped);
    EXPECT_EQ(m_Host.m_Events, std::vector<std::string>{}) << "no text, no progress, no second finish";
    EXPECT_EQ(m_Host.PendingMessage(), msg::kExternalError);
    EXPECT_EQ(m_Host.m_ExitCode, kExitTimeout);
    EXPECT_FALSE(m_Host.ClaimEnd());
    m_Host.BeginTransfer();
    EXPECT_TRUE(m_Host.ClaimEnd()) << "the next transfer has an end of its own";
}

TEST_F(WorkerTest, ShortReadAndMissingFileAreReported)
{
    // The file shrank after it was measured (another program truncated it).
    m_Host.m_FileSize = 8192;
    m_Link.FeedFrame(1, FT_HELLO, {});
    m_Link.FeedFrame(2, FT_DATA_REQ, DataReq(100, 4090));
    m_Host.m_CommandLineMode = 1;
    EXPECT_EQ(Run(), TransferResult::ReadError);
    EXPECT_EQ(m_Host.PendingMessage(), msg::kCompleted);  // FinishTransfer's text comes last
    EXPECT_NE(std::find(m_Host.m_Events.begin(), m_Host.m_Events.end(), "show(3):Error : Reading is fail."),
              m_Host.m_Events.end());
    EXPECT_EQ(m_Host.m_ExitCode, kExitTransfer);

    TestLink link;
    TestHost host(link);
    host.m_SelectedPath = m_Path + ".missing";
    host.m_FileSize = 10;
    host.m_CommandLineMode = 1;
    EXPECT_EQ(RunDownload(host), TransferResult::FileOpenError);
    EXPECT_EQ(host.m_Events, (std::vector<std::string>{"show(3):Error : File open error.", "finish"}));
    EXPECT_EQ(host.m_FileSize.load(), 0);
    EXPECT_EQ(host.m_ExitCode, kExitFile);
}

TEST_F(WorkerTest, EmptyFileAndHugeSizesNeitherDivideByZeroNorWrap)
{
    WriteFile(0);
    m_Link.FeedFrame(1, FT_HELLO, {});
    m_Link.FeedFrame(2, FT_DATA_REQ, DataReq(0, 0));
    m_Link.FeedFrame(3, FT_DONE, {});
    EXPECT_EQ(Run(), TransferResult::Completed);
    EXPECT_EQ(m_Host.m_Progress.front(), 0) << "an empty file stays at 0 %";
    ASSERT_EQ(Replies().size(), 2u);
    EXPECT_EQ(Replies()[1][2], 0);

    EXPECT_EQ(ClampFileSize(0x100000000LL), INT32_MAX);
    EXPECT_EQ(ClampFileSize(3000000000LL), INT32_MAX);
    EXPECT_EQ(ClampFileSize(-5), 0);
    EXPECT_EQ(ClampFileSize(16777216), 16777216);
}

TEST_F(WorkerTest, StopsWaitingWhenTheTransferIsStoppedOrThePortIsLost)
{
    // Half a frame in the queue, then the host clears the run flag: the
    // worker must leave the body wait and end.
    Bytes frame = TestLink::MakeFrame(1, FT_DATA_REQ, DataReq(4, 0));
    m_Link.FeedFrame(1, FT_HELLO, {});
    m_Link.Feed(Bytes(frame.begin(), frame.begin() + 6));
    m_Host.m_CommandLineMode = 1;
    std::thread worker([&] { Run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_Host.m_RunFlag = 0;
    worker.join();
    EXPECT_EQ(m_Host.m_ExitCode, kExitTimeout);

    // The device vanishes while the box is silent.
    TestLink link;
    TestHost host(link);
    host.m_SelectedPath = m_Path;
    host.m_FileSize = 4096;
    host.m_CommandLineMode = 1;
    link.FeedFrame(1, FT_HELLO, {});
    std::thread worker2([&] { RunDownload(host); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    link.SetLost();
    worker2.join();
    EXPECT_EQ(host.m_ExitCode, kExitTransfer);
    EXPECT_NE(std::find(host.m_Events.begin(), host.m_Events.end(), "show(3):Error : Serial port lost."),
              host.m_Events.end());
}
