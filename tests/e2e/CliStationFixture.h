// The station's end-to-end fixture: box simulators on fresh pseudo-terminals
// against the real zurivavave-cli, and the helpers its tests share. In a
// named namespace so that every file of the suite has the one fixture.
#pragma once

#include "E2EUtil.h"
#include "MiniJson.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZV_CLI
#error ZV_CLI must name the zurivavave-cli binary
#endif
#ifndef ZV_BOXSIM
#error ZV_BOXSIM must name the zurivavave-boxsim binary
#endif

namespace station {

using namespace e2e;

const char kCli[] = ZV_CLI;
const char kBoxSim[] = ZV_BOXSIM;

inline bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

inline size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

inline std::string Basename(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The file's SHA-256 as coreutils computes it, hex.
inline std::string Sha256Of(const std::string& path)
{
    std::string cmd = "sha256sum '" + path + "'";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return "";
    char buf[65] = "";
    size_t n = std::fread(buf, 1, 64, p);
    ::pclose(p);
    return std::string(buf, n);
}

inline std::vector<std::map<std::string, MiniJson::Value>> JsonLines(const std::string& text)
{
    std::vector<std::map<std::string, MiniJson::Value>> out;
    for (const std::string& line : Lines(text)) {
        std::map<std::string, MiniJson::Value> rec;
        std::string error;
        EXPECT_TRUE(MiniJson::ParseObject(line, rec, error)) << error << ": " << line;
        out.push_back(rec);
    }
    return out;
}

struct Box {
    std::unique_ptr<ChildProcess> proc;
    std::string slave;
    std::string out;  // what it received (--out)
};

class CliStation : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_Dir.Path().empty()); }

    std::string MakeImage(const std::string& name, size_t size, unsigned seed)
    {
        std::string path = m_Dir.File(name);
        WriteFile(path, RandomBytes(size, seed));
        return path;
    }

    // A simulator on a fresh pty that waits for the host to open it.
    void StartBox(Box& box, const std::string& name, const std::vector<std::string>& args)
    {
        box.out = m_Dir.File(name + ".bin");
        std::vector<std::string> argv = {kBoxSim, "--pty", "--wait-host", "--hello-interval", "200",
                                         "--hello-timeout", "20000", "--out", box.out};
        argv.insert(argv.end(), args.begin(), args.end());
        box.proc.reset(new ChildProcess(argv, m_Dir.File(name + ".out"), m_Dir.File(name + ".err")));
        ASSERT_TRUE(WaitForPtyAnnouncement(*box.proc, box.slave, 5000)) << box.proc->Err();
    }

    std::string BoxDump(Box& b)
    {
        return "--- box on " + b.slave + " exit " + std::to_string(b.proc->ExitCode()) + "\n" + b.proc->Out() +
               b.proc->Err();
    }

    TempDir m_Dir;
};

}  // namespace station
