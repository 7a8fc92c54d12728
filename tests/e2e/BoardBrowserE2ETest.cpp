// The board in a real browser: headless Chromium loads the page of a
// station while boxes download, and its DOM (read over the DevTools
// protocol) shows each port's state and the totals as the log has them;
// when the run ends the page says the station has gone away. The
// screenshot taken meanwhile is the README's.
#include "E2EUtil.h"
#include "HttpTestClient.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <csignal>
#include <cstdio>
#include <regex>
#include <sstream>

#include <unistd.h>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif
#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif
#ifndef ZV_CHROMIUM
#error ZV_CHROMIUM must name the chromium binary
#endif

using namespace e2e;
using boost::property_tree::ptree;

namespace {

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

ptree Json(const std::string& text)
{
    ptree t;
    std::istringstream in(text);
    try {
        boost::property_tree::read_json(in, t);
    } catch (const std::exception&) {
    }
    return t;
}

// A child of a tree, an empty one when it has none.
const ptree& Child(const ptree& tree, const char* key)
{
    static const ptree none;
    auto child = tree.get_child_optional(key);
    return child ? *child : none;
}

// What the test reads off the page: the link state, the banner, the
// totals and every tile's port, state, words and counts.
const char kReadBoard[] = R"js(JSON.stringify({
  link: document.body.dataset.link, banner: document.getElementById("banner").textContent,
  completed: document.getElementById("t-completed").textContent, failed: document.getElementById("t-failed").textContent,
  image: document.getElementById("image").textContent,
  tiles: [...document.querySelectorAll(".tile")].map(t => ({port: t.dataset.port, state: t.dataset.state,
    words: t.querySelector(".state").textContent, ok: t.querySelector(".ok").textContent,
    bad: t.querySelector(".bad").textContent}))}))js";

}  // namespace

TEST(BoardBrowser, ShowsEachPortLiveAndThatTheStationHasGoneAway)
{
    TempDir dir;
    const std::string image = dir.File("fw.wzb");
    WriteFile(image, RandomBytes(256 * 1024, 20));  // 50 s and more on the slow lines
    // Three boxes on slow lines, downloading until the run is ended; one
    // line that completes two boxes; one whose box asks past the end.
    struct Line {
        std::vector<std::string> args;
        std::unique_ptr<ChildProcess> box;
        std::string slave;
    };
    std::vector<Line> lines(5);
    lines[0].args = {"--baud", "19200"};
    lines[1].args = {"--baud", "38400"};
    lines[2].args = {"--baud", "57600"};
    lines[3].args = {"--boxes", "2", "--box-pause", "200"};
    lines[4].args = {"--past-end"};
    std::vector<std::string> cliArgs = {ZV_CLI, "--loop", "--log", dir.File("shift.jsonl"), "--http", "127.0.0.1:0"};
    for (size_t i = 0; i < lines.size(); ++i) {
        // Each keeps its line to the end (a pty given up is soon another
        // program's, which the station in a shift would serve).
        std::vector<std::string> argv = {ZV_BOXSIM, "--pty",           "--wait-host", "--expect", image,
                                         "--hello-timeout", "30000", "--linger",    "600000"};
        argv.insert(argv.end(), lines[i].args.begin(), lines[i].args.end());
        const std::string name = "box" + std::to_string(i);
        lines[i].box.reset(new ChildProcess(argv, dir.File(name + ".out"), dir.File(name + ".err")));
        ASSERT_TRUE(WaitForPtyAnnouncement(*lines[i].box, lines[i].slave, 5000));
        cliArgs.insert(cliArgs.end(), {"-p", lines[i].slave});
    }
    cliArgs.push_back(image);
    ChildProcess cli(cliArgs, dir.File("cli.out"), dir.File("cli.err"));
    std::smatch m;
    std::string err;
    ASSERT_TRUE(WaitUntil([&] { return std::regex_search(err = cli.Err(), m, std::regex("board at (http://[^ ]+/)")); },
                          20000))
        << err;
    const std::string url = m[1].str();

    const std::string profile = dir.File("chromium-profile");
    ASSERT_EQ(0, ::access(ZV_CHROMIUM, X_OK)) << ZV_CHROMIUM << ": not installed (scripts/install-deps.sh test)";
    ChildProcess browser({ZV_CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                          "--disable-component-update", "--disable-sync", "--no-first-run", "--hide-scrollbars",
                          "--user-data-dir=" + profile, "--remote-debugging-port=0", "--window-size=1280,720", url},
                         dir.File("chromium.out"), dir.File("chromium.err"));
    // The browser says its DevTools port in its profile.
    std::string port;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::istringstream in(ReadFile(profile + "/DevToolsActivePort"));
            return std::getline(in, port) && !port.empty() && in.peek() != EOF;
        },
        60000))
        << browser.Err();
    std::string ws;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const ptree targets =
                Json("{\"t\":" + HttpGet("http://127.0.0.1:" + port + "/", "/json/list").body + "}");
            for (const auto& t : Child(targets, "t"))
                if (t.second.get<std::string>("type", "") == "page" && Has(t.second.get<std::string>("url", ""), url))
                    ws = t.second.get<std::string>("webSocketDebuggerUrl", "");
            return !ws.empty();
        },
        30000));
    DevToolsPage page(ws);
    ASSERT_TRUE(page.Ok()) << ws;

    // Live: three ports downloading with their percent, two boxes
    // completed on one port and one failed on another, in the totals too.
    ptree board;
    std::string text;
    const bool live = WaitUntil(
        [&] {
            board = Json(text = page.Evaluate(kReadBoard));
            int downloading = 0, two = 0, one = 0;
            for (const auto& t : Child(board, "tiles")) {
                if (t.second.get<std::string>("state", "") == "downloading" &&
                    std::regex_search(t.second.get<std::string>("words", ""), std::regex("Downloading\u00A0\\d+\u00A0%$")))
                    ++downloading;
                two += t.second.get<std::string>("ok", "") == "2";
                one += t.second.get<std::string>("bad", "") == "1";
            }
            return board.get<std::string>("link", "") == "live" && downloading == 3 && two == 1 && one == 1 &&
                   board.get<std::string>("completed", "") == "2" && board.get<std::string>("failed", "") == "1";
        },
        60000);
    ASSERT_TRUE(live) << text << cli.Err();
    EXPECT_TRUE(Has(board.get<std::string>("image", ""), "fw.wzb \u00B7 SHA-256 ")) << text;
    size_t tiles = 0;
    for (const auto& t : Child(board, "tiles"))
        EXPECT_EQ(lines[tiles++].slave, t.second.get<std::string>("port", "")) << "one tile per port, in order";
    EXPECT_EQ(lines.size(), tiles);

    const std::string png = page.Screenshot();
    EXPECT_EQ(std::string("\x89PNG", 4), png.substr(0, 4));
    const char* keep = std::getenv("ZV_BOARD_SCREENSHOT");
    const std::string shot = keep && *keep ? keep : dir.File("board.png");
    std::FILE* f = std::fopen(shot.c_str(), "wb");
    ASSERT_TRUE(f) << shot;
    std::fwrite(png.data(), 1, png.size(), f);
    std::fclose(f);

    // The run ends: the page says so in words, and keeps the last figures.
    cli.Signal(SIGTERM);
    ASSERT_TRUE(cli.Wait(20000));
    EXPECT_EQ(130, cli.ExitCode()) << cli.Err();
    ASSERT_TRUE(WaitUntil(
        [&] {
            board = Json(text = page.Evaluate(kReadBoard));
            return board.get<std::string>("link", "") == "gone";
        },
        30000))
        << text;
    EXPECT_TRUE(Has(board.get<std::string>("banner", ""), "Station gone away")) << text;
    EXPECT_EQ("2", board.get<std::string>("completed", "")) << text;
    const std::string log = ReadFile(dir.File("shift.jsonl"));
    size_t completed = 0;
    for (size_t p = log.find("\"result\":\"completed\""); p != std::string::npos; p = log.find("\"result\":\"completed\"", p + 1))
        ++completed;
    EXPECT_EQ(2u, completed) << log;

    browser.Signal(SIGTERM);
    EXPECT_TRUE(browser.Wait(20000));
}
