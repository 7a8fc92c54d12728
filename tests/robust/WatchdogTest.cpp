// A box that falls silent in the middle of a frame: the tool is then
// waiting for the rest of that frame, not between frames, and its watchdog
// must still end the transfer. The two cases run side by side to share the
// watchdog's wait.
#include "RobustUtil.h"

#include <memory>

using namespace robust;

TEST(Watchdog, BoxSilentInsideAFrameEndsWithExternalError)
{
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    struct Case {
        const char* name;
        size_t keep;  // bytes of a data request sent before the silence
        std::string image;
        std::unique_ptr<PtyPair> pty;
        std::unique_ptr<ChildProcess> cli;
        FileStamp before;
    };
    Case cases[] = {{"header and part of the payload", 9, {}, {}, {}, {}},
                    {"the first two magic bytes", 2, {}, {}, {}, {}}};
    int i = 0;
    for (Case& c : cases) {
        c.image = dir.File("image" + std::to_string(i) + ".wzb");
        WriteFile(c.image, RandomBytes(8192, 30 + i));
        c.before = FileStamp::Of(c.image);
        c.pty.reset(new PtyPair);
        ASSERT_TRUE(c.pty->Ok());
        c.cli.reset(new ChildProcess({kCli, "--port", c.pty->SlavePath(), c.image},
                                     dir.File("cli" + std::to_string(i) + ".out"),
                                     dir.File("cli" + std::to_string(i) + ".err")));
        ++i;
    }
    auto start = Clock::now();
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoxDriver box(*c.pty);
        ASSERT_TRUE(box.Greet(1)) << Dump(*c.cli);
        std::vector<unsigned char> partial = DataRequest(2, 0, 64);
        partial.resize(c.keep);
        ASSERT_TRUE(box.Send(partial));
    }
    // Four watchdog ticks of 3.2 s after the last request, and not much
    // more: 12.8 s, plus a tick for the phase and some slack.
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.cli->Wait(25000)) << "CLI hangs in a half-received frame\n" << Dump(*c.cli);
        double secs = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(secs, 20.0) << Dump(*c.cli);
        EXPECT_GE(secs, 9.0) << Dump(*c.cli);
        EXPECT_EQ(6, c.cli->ExitCode()) << Dump(*c.cli);
        EXPECT_TRUE(Has(c.cli->Out(), "External Error Occurred!")) << Dump(*c.cli);
        EXPECT_FALSE(Has(c.cli->Out(), "Completely Transfered!")) << Dump(*c.cli);
        EXPECT_TRUE(FileStamp::Of(c.image) == c.before);
    }
}
