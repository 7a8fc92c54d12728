// The terminal board on its own: lines that fit however narrow the
// terminal, a failed or partial last box said in words and colour, a lost
// port with since when, adapters of one make told apart.
#include "E2EUtil.h"

#include "Console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(CliBoard, LinesFitANarrowTerminal)
{
    // Forty columns, long port names: no line wraps, percent and status stay.
    std::FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    CConsole::Setup s;
    s.out = out;
    s.err = out;
    s.mode = CConsole::Mode::Board;
    s.labels = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "/dev/ttyUSB1"};
    s.width = 40;
    s.shift = true;
    s.colour = true;
    CConsole console(s);
    PortProgress p;
    p.percent = 45;
    p.requested = 29580;
    p.addressable = 65536;
    p.served = 29580;
    p.rate = 123456;
    p.eta = 61;
    console.Status(0, "Downloading Processing..");
    console.Progress(0, p, true);
    console.Status(1, "Completely Transfered!", Tone::Good);
    ShiftTally tally;
    tally.completed = 3;
    tally.failed = 1;
    tally.last = "completed";
    console.Tally(1, tally);
    console.Close();
    std::fflush(out);
    std::rewind(out);
    std::string screen;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
        screen.append(buf, n);
    std::fclose(out);

    const std::regex ansi("\033\\[[0-9;]*[A-Za-z]");
    std::string last0, last1;
    for (const std::string& raw : LinesOf(screen)) {
        std::string line = std::regex_replace(raw, ansi, "");
        line.erase(0, line.find_last_of('\r') + 1);
        EXPECT_LE(line.size(), 39u) << line;
        if (Has(line, "Downloading"))
            last0 = line;
        if (Has(line, "Completely"))
            last1 = line;
    }
    EXPECT_TRUE(Has(last0, "Downloading Processing..") && Has(last0, "45%")) << last0;
    EXPECT_TRUE(Has(last1, "Completely Transfered!")) << last1;
    EXPECT_TRUE(Has(screen, "\033[32mCompletely Transfered!\033[0m")) << "completed in green";

    // The single-port line drops byte counts, then the time left.
    EXPECT_EQ(" 45%  29580/65536 bytes  120.6 KiB/s  ETA 1:01", FormatProgress(p));
    EXPECT_EQ(" 45%  120.6 KiB/s  ETA 1:01", FormatProgress(p, 39));
    EXPECT_EQ(" 45%  120.6 KiB/s", FormatProgress(p, 20));
    EXPECT_EQ(" 45%", FormatProgress(p, 5));
}

TEST(CliBoard, ShowsFailuresAndTellsAdaptersApart)
{
    // Sixty columns, three adapters of one make, no colour: a failed last
    // box says so in words, a partial one says how much, a lost port says
    // since when, and each adapter keeps what tells it from the others.
    std::FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    CConsole::Setup s;
    s.out = out;
    s.err = out;
    s.mode = CConsole::Mode::Board;
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_";
    s.labels = {byId + "A50285BI-if00-port0", byId + "A7Q2XK1-if00-port0", byId + "AB01CD9-if00-port0"};
    s.width = 60;
    s.shift = true;
    CConsole console(s);
    ShiftTally failed, partial;
    failed.failed = 1;
    failed.last = "size_over";
    failed.lastOutcome = BoxOutcome::Failed;
    partial.completed = 1;
    partial.last = "completed";
    partial.lastPartial = true;
    partial.lastAskedPercent = 25;
    for (int i = 0; i < 3; ++i)
        console.Status(i, "Waiting For Request. Reset SetTop Box.");
    console.Tally(0, failed);
    console.Tally(1, partial);
    PortProgress p;
    p.percent = 40;
    p.served = 100;
    console.Progress(2, p, true);
    console.Lost(2, 1796083200123, "Waiting for the port to come back.");
    console.Close();
    std::fflush(out);
    std::rewind(out);
    std::string screen;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
        screen.append(buf, n);
    std::fclose(out);

    const std::regex ansi("\033\\[[0-9;]*[A-Za-z]");
    std::vector<std::string> last(3);
    for (const std::string& raw : LinesOf(screen)) {
        std::string line = std::regex_replace(raw, ansi, "");
        line.erase(0, line.find_last_of('\r') + 1);
        EXPECT_LE(line.size(), 59u) << line;
        for (size_t i = 0; i < 3; ++i)
            if (Has(line, i == 0 ? "~50" : i == 1 ? "~7Q" : "~B0"))
                last[i] = line;
    }
    EXPECT_TRUE(Has(last[0], "FAILED size_over")) << last[0];
    EXPECT_TRUE(Has(last[1], "completed, asked 25 %")) << last[1];
    EXPECT_TRUE(Has(last[2], "Waiting for the port to come back. (since ")) << last[2];
    EXPECT_FALSE(Has(last[2], "40%")) << "no stale progress on a lost port: " << last[2];

    Tone tone = Tone::Plain;
    EXPECT_EQ("last: FAILED size_over", LastBoxText(failed, tone));
    EXPECT_EQ(Tone::Bad, tone) << "red where there is colour";
}
