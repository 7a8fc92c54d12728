// Faults injected end to end: the real zurivavave-cli on a pty, against the
// box simulator or the test playing a box that misbehaves in ways the
// simulator cannot. Each run must end with its status text and exit code
// within a bound, and leave the served file untouched.
#include "RobustUtil.h"

#include <memory>

#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif

using namespace robust;

namespace {

const char kBoxSim[] = ZV_BOXSIM;

class Faults : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_Dir.Path().empty()); }

    std::string MakeImage(const std::string& name, size_t size, unsigned seed)
    {
        std::string path = m_Dir.File(name);
        WriteFile(path, RandomBytes(size, seed));
        return path;
    }

    std::unique_ptr<ChildProcess> StartCli(const std::string& port, const std::string& file,
                                           const std::string& tag = "cli")
    {
        return std::unique_ptr<ChildProcess>(
            new ChildProcess({kCli, "--port", port, file}, m_Dir.File(tag + ".out"), m_Dir.File(tag + ".err")));
    }

    std::unique_ptr<ChildProcess> StartBox(const std::vector<std::string>& args, std::string& slave)
    {
        std::vector<std::string> argv = {kBoxSim, "--pty", "--wait-host", "--hello-interval", "50"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::unique_ptr<ChildProcess> box(new ChildProcess(argv, m_Dir.File("box.out"), m_Dir.File("box.err")));
        EXPECT_TRUE(WaitForPtyAnnouncement(*box, slave, 5000)) << box->Err();
        return box;
    }

    TempDir m_Dir;
};

}  // namespace

TEST_F(Faults, EveryLineFaultAtOnceStillServesTheWholeFile)
{
    // Each fault alone is covered elsewhere; here they come together: noise
    // before every frame, a zero inside every magic, every magic split over
    // two writes, a request with a bad checksum, a cancelled greeting, a
    // flood larger than the receive queue and a time request.
    const std::string image = MakeImage("image.wzb", 24 * 1024, 11);
    const FileStamp before = FileStamp::Of(image);
    std::string slave;
    auto box = StartBox({"--expect", image, "--reply-timeout", "400", "--noise-before", "40", "--noise-in-magic",
                         "--split-magic", "--split-pause", "2", "--bad-checksum-at", "9", "--cancel-greeting-at", "17",
                         "--flood", "20000", "--time", "--seed", "5"},
                        slave);
    ASSERT_FALSE(slave.empty());
    auto cli = StartCli(slave, image);
    ASSERT_TRUE(cli->Wait(30000)) << "CLI hangs\n" << Dump(*cli);
    ASSERT_TRUE(box->Wait(10000)) << box->Err();
    EXPECT_EQ(0, cli->ExitCode()) << Dump(*cli) << box->Err();
    EXPECT_TRUE(Has(cli->Out(), "Completely Transfered!")) << Dump(*cli);
    EXPECT_EQ(0, box->ExitCode()) << box->Out() << box->Err();
    EXPECT_TRUE(Has(box->Out(), "OK 24576 bytes")) << box->Out();
    EXPECT_TRUE(FileStamp::Of(image) == before) << "the served file was written to";
}

TEST_F(Faults, FileCutShortByAnotherProgramLeavesTheRunOnItsImage)
{
    // Paced to a real line so the transfer is still early when the file is
    // cut to 1000 bytes under the running download: the run goes on with
    // the image it read at its start, and says the file changed.
    const std::string image = MakeImage("image.wzb", 64 * 1024, 12);
    const std::string original = ReadFile(image);
    std::string slave;
    auto box = StartBox({"--expect", image, "--baud", "115200", "--reply-timeout", "1000", "--retries", "0",
                         "--out", image + ".got"},
                        slave);
    ASSERT_FALSE(slave.empty());
    auto cli = StartCli(slave, image);
    ASSERT_TRUE(WaitUntil([&] { return Has(cli->Out(), "Downloading Processing.."); }, 10000)) << Dump(*cli);
    ASSERT_EQ(0, ::truncate(image.c_str(), 1000));
    const FileStamp cut = FileStamp::Of(image);

    ASSERT_TRUE(cli->Wait(60000)) << "CLI hangs after the file was cut\n" << Dump(*cli);
    EXPECT_EQ(0, cli->ExitCode()) << Dump(*cli);
    EXPECT_TRUE(Has(cli->Out(), "Completely Transfered!")) << Dump(*cli);
    EXPECT_TRUE(Has(cli->Err(), "changed on disk")) << Dump(*cli);
    ASSERT_TRUE(box->Wait(10000));
    EXPECT_EQ(original, ReadFile(image + ".got")) << "one image per run, whatever the disk holds now";
    EXPECT_TRUE(FileStamp::Of(image) == cut) << "the served file was written to";
}

TEST_F(Faults, LineUnpluggedInsideAFrame)
{
    // The box's end goes away while the tool waits for the rest of a frame
    // (magic and header in, payload not): the wait must notice, not hang.
    for (const char* cut : {"header", "magic"}) {
        SCOPED_TRACE(cut);
        const std::string image = MakeImage("image.wzb", 4096, 13);
        const FileStamp before = FileStamp::Of(image);
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        BoxDriver box(pty);
        auto cli = StartCli(pty.SlavePath(), image);
        ASSERT_TRUE(box.Greet(1)) << Dump(*cli);
        std::vector<unsigned char> partial = DataRequest(2, 0, 16);
        partial.resize(std::string(cut) == "header" ? 9 : 2);  // "Kuvo" tag type len + 2, or "Ku"
        ASSERT_TRUE(box.Send(partial));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.CloseMaster();
        auto unplugged = Clock::now();
        ASSERT_TRUE(cli->Wait(5000)) << "CLI hangs after the line went away\n" << Dump(*cli);
        EXPECT_LT(Clock::now() - unplugged, std::chrono::seconds(5));
        EXPECT_EQ(5, cli->ExitCode()) << Dump(*cli);
        EXPECT_TRUE(Has(cli->Out(), "Error : Serial port lost.")) << Dump(*cli);
        EXPECT_TRUE(FileStamp::Of(image) == before);
    }
}

TEST_F(Faults, FalseFrameWithALongBodyIsOutlivedByRetries)
{
    // Garbage that holds a whole magic and claims 255 payload bytes takes
    // the requests after it as its body until the body is full; its checksum
    // then fails and the box's retries get through. Nothing is answered for
    // the false frame, and every answer is right.
    const std::vector<unsigned char> data = RandomBytes(4096, 14);
    const std::string image = m_Dir.File("image.wzb");
    WriteFile(image, data);
    const FileStamp before = FileStamp::Of(image);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    BoxDriver box(pty);
    auto cli = StartCli(pty.SlavePath(), image);
    ASSERT_TRUE(box.Greet(1)) << Dump(*cli);
    ASSERT_TRUE(box.Send({0x00, 'K', 0x13, 'u', 'v', 'o', 0x21, 0x04, 0xFF, 0x01, 0x02}));

    const unsigned char firstTag = 0x40;
    unsigned char tag = firstTag;
    const uint32_t offset = 1000;
    std::vector<unsigned char> reply;
    for (int tries = 0; tries < 40 && reply.empty(); ++tries, ++tag) {
        // A short wait per try: most tries vanish into the false body.
        reply = box.Request(tag, offset, 200, 150);
        if (!reply.empty() && reply.size() < 208) {
            std::vector<unsigned char> rest = box.Receive(208 - reply.size(), 2000);
            reply.insert(reply.end(), rest.begin(), rest.end());
        }
    }
    ASSERT_FALSE(reply.empty()) << "never answered after the false frame\n" << Dump(*cli);
    // The false body (255 + 4 bytes, 5 of them in the garbage) can swallow
    // 21 whole requests of 12 bytes and 2 bytes of the 22nd, so the 23rd
    // is answered at the latest (sooner if the parser gives up a body that
    // stops coming). The answer is to one of the requests sent, and right.
    ASSERT_GE(reply.size(), 5u);
    const unsigned char answered = reply[4];
    EXPECT_GE(answered, firstTag);
    EXPECT_LE(answered, firstTag + 22) << "the false frame held the line longer than its body";
    EXPECT_EQ(Frame(answered, 5, std::vector<unsigned char>(data.begin() + offset, data.begin() + offset + 200)),
              reply);

    // The line is in step again: the next requests are answered at once.
    for (uint32_t o : {0u, 3000u, 4096u - 255u}) {
        std::vector<unsigned char> want =
            Frame(tag, 5, std::vector<unsigned char>(data.begin() + o, data.begin() + o + 255));
        EXPECT_EQ(want, box.Request(tag, o, 255)) << "offset " << o;
        ++tag;
    }
    ASSERT_TRUE(box.Send(Frame(tag, 6, {})));
    ASSERT_TRUE(cli->Wait(5000)) << Dump(*cli);
    EXPECT_EQ(0, cli->ExitCode()) << Dump(*cli);
    EXPECT_TRUE(Has(cli->Out(), "Completely Transfered!")) << Dump(*cli);
    EXPECT_TRUE(FileStamp::Of(image) == before);
}

TEST_F(Faults, FilesBeyondTheBoxsReachServeTheirFirst16MiB)
{
    // Sparse files, no disk used: just past the 24-bit reach, past the
    // signed 32-bit size (the size is held at the largest value), and past
    // 4 GiB (a size cut to 32 bits would look like 4 KiB there).
    const uint32_t edge = (1u << 24) - 255;  // the last full block the box can ask for
    const long long sizes[] = {(1LL << 24) + 1, 3LL << 30, (4LL << 30) + 4096};
    for (long long size : sizes) {
        SCOPED_TRACE(size);
        const std::string image = m_Dir.File("big.wzb");
        ::unlink(image.c_str());
        int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ::ftruncate(fd, static_cast<off_t>(size)));
        // Marks at the start, at the edge and across 16 MiB.
        std::vector<unsigned char> head = RandomBytes(255, 21), edgeBytes = RandomBytes(256, 22);
        ASSERT_EQ(255, ::pwrite(fd, head.data(), head.size(), 0));
        ASSERT_EQ(256, ::pwrite(fd, edgeBytes.data(), edgeBytes.size(), edge));
        ::close(fd);
        const FileStamp before = FileStamp::Of(image);

        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        BoxDriver box(pty);
        auto cli = StartCli(pty.SlavePath(), image);
        ASSERT_TRUE(box.Greet(1)) << Dump(*cli);
        EXPECT_EQ(Frame(2, 5, head), box.Request(2, 0, 255));
        EXPECT_EQ(Frame(3, 5, std::vector<unsigned char>(edgeBytes.begin(), edgeBytes.begin() + 255)),
                  box.Request(3, edge, 255));
        // The highest offset there is: one mark byte, then what lies past
        // 16 MiB (the file goes on, so it is served).
        std::vector<unsigned char> last(255, 0);
        last[0] = edgeBytes[254];
        last[1] = edgeBytes[255];
        if (size == (1LL << 24) + 1) {
            // Only one byte lies past 16 MiB - 1 here: asking 255 would be
            // past the end of the file.
            EXPECT_EQ(Frame(4, 5, {edgeBytes[254], edgeBytes[255]}), box.Request(4, 0xFFFFFF, 2));
        } else {
            EXPECT_EQ(Frame(4, 5, last), box.Request(4, 0xFFFFFF, 255));
        }
        ASSERT_TRUE(box.Send(Frame(5, 6, {})));
        ASSERT_TRUE(cli->Wait(5000)) << Dump(*cli);
        EXPECT_EQ(0, cli->ExitCode()) << Dump(*cli);
        EXPECT_TRUE(Has(cli->Out(), "Completely Transfered!")) << Dump(*cli);
        // The real size is said, and before the transfer that the box cannot
        // reach the rest: a 24-bit offset and a block of 255 reach 16 MiB + 254.
        EXPECT_TRUE(Has(cli->Out(), "(" + std::to_string(size) + " bytes)")) << Dump(*cli);
        EXPECT_EQ(size > (1LL << 24) + 254, Has(cli->Err(), "warning")) << Dump(*cli);
        EXPECT_EQ(size > (1LL << 24) + 254, Has(cli->Err(), "16 MiB")) << Dump(*cli);
        EXPECT_TRUE(FileStamp::Of(image) == before);
        ::unlink(image.c_str());
    }

    // A request one byte past the end of a file just past the reach is
    // still refused as past the end.
    const std::string image = m_Dir.File("edge.wzb");
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::ftruncate(fd, (1LL << 24) + 1));
    ::close(fd);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    BoxDriver box(pty);
    auto cli = StartCli(pty.SlavePath(), image);
    ASSERT_TRUE(box.Greet(1)) << Dump(*cli);
    EXPECT_TRUE(box.Request(2, 0xFFFFFF, 3, 1000).empty());
    ASSERT_TRUE(cli->Wait(5000)) << Dump(*cli);
    EXPECT_EQ(5, cli->ExitCode()) << Dump(*cli);
    EXPECT_TRUE(Has(cli->Out(), "Error : File size is over.")) << Dump(*cli);
}

TEST_F(Faults, FileTheBoxCanReachWhollyGetsNoWarning)
{
    // The box reaches every byte of a file of 16 MiB + 254 bytes: its last
    // block starts at the highest offset there is.
    const std::string image = m_Dir.File("full.wzb");
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::ftruncate(fd, (1LL << 24) + 254));
    ::close(fd);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    BoxDriver box(pty);
    auto cli = StartCli(pty.SlavePath(), image);
    ASSERT_TRUE(box.Greet(1)) << Dump(*cli);
    EXPECT_EQ(Frame(2, 5, std::vector<unsigned char>(255, 0)), box.Request(2, 0xFFFFFF, 255));
    ASSERT_TRUE(box.Send(Frame(3, 6, {})));
    ASSERT_TRUE(cli->Wait(5000)) << Dump(*cli);
    EXPECT_EQ(0, cli->ExitCode()) << Dump(*cli);
    EXPECT_FALSE(Has(cli->Err(), "warning")) << Dump(*cli);
}

TEST_F(Faults, ABoxAskingOutOfOrderIsHashedWhole)
{
    // The box asks from offset 3841 to the end first, then from 0: once it
    // has every byte, its record hashes all of them, not an empty prefix.
    const std::vector<unsigned char> bytes = RandomBytes(4096, 23);
    const std::string image = m_Dir.File("image.wzb");
    WriteFile(image, bytes);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    BoxDriver box(pty);
    ChildProcess cli({kCli, "--json", "--port", pty.SlavePath(), image}, m_Dir.File("cli.out"),
                     m_Dir.File("cli.err"));
    ASSERT_TRUE(box.Greet(1)) << Dump(cli);
    unsigned char tag = 2;
    for (uint32_t offset : {3841u, 0u}) {
        const uint32_t end = offset ? 4096u : 3841u;
        for (uint32_t at = offset; at < end; at += 255, ++tag) {
            const unsigned char n = static_cast<unsigned char>(std::min<uint32_t>(255, end - at));
            ASSERT_EQ(Frame(tag, 5, std::vector<unsigned char>(bytes.begin() + at, bytes.begin() + at + n)),
                      box.Request(tag, at, n));
        }
    }
    ASSERT_TRUE(box.Send(Frame(tag, 6, {})));
    ASSERT_TRUE(cli.Wait(5000)) << Dump(cli);
    EXPECT_EQ(0, cli.ExitCode()) << Dump(cli);
    std::FILE* p = ::popen(("sha256sum '" + image + "'").c_str(), "r");
    ASSERT_NE(nullptr, p);
    char sum[65] = "";
    EXPECT_EQ(64u, std::fread(sum, 1, 64, p));
    ::pclose(p);
    EXPECT_TRUE(Has(cli.Out(), std::string("\"sha256\":\"") + sum + "\",\"sha256_bytes\":4096")) << cli.Out();
    EXPECT_TRUE(Has(cli.Out(), "\"hello\":\"424f58\",\"hello_text\":\"BOX\"")) << "the box's own words";
}
