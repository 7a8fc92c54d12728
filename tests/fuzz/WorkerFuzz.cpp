// Fuzz target: the download worker (RunDownload) fed an arbitrary stream
// from the box through a fake serial line, serving a small file.
//
// Input byte 0 picks the file (0, 1, 255 or 1000 bytes) and whether the
// host believes it is 300 bytes longer than it is (a file cut short by
// another program after it was chosen); the rest is what the box sends.
// The line is marked lost up front, so the worker answers everything in
// the queue and then ends with "port lost": no waiting, no hang.
//
// Checked against a plain model of the worker driven by an independent
// reading of the stream (RefFrames.h): the exact bytes written (every
// reply a well-formed frame with the request's tag; FT_DATA carries the
// file's bytes at the requested offset; nothing is read from outside the
// file), the result, one FinishTransfer, progress within 0..100.
#include "FuzzCheck.h"
#include "RefFrames.h"

#include "protocol/DownloadHost.h"
#include "protocol/DownloadWorker.h"
#include "protocol/Frame.h"
#include "serial/SerialLink.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const size_t kSizes[4] = {0, 1, 255, 1000};
const int32_t kClaimedExtra = 300;

struct Files {
    std::string dir;
    std::string path[4];
    std::vector<unsigned char> content[4];

    Files()
    {
        char tmpl[] = "/tmp/zv-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
        dir = tmpl;
        for (int i = 0; i < 4; ++i) {
            path[i] = dir + "/file" + std::to_string(i) + ".wzb";
            for (size_t k = 0; k < kSizes[i]; ++k)
                content[i].push_back(static_cast<unsigned char>((k * 131 + 7) ^ (k >> 8)));
            std::FILE* f = std::fopen(path[i].c_str(), "wb");
            FUZZ_CHECK(f != nullptr);
            if (!content[i].empty())
                FUZZ_CHECK(std::fwrite(content[i].data(), 1, content[i].size(), f) == content[i].size());
            std::fclose(f);
        }
    }
    ~Files()
    {
        for (const auto& p : path)
            ::unlink(p.c_str());
        ::rmdir(dir.c_str());
    }
};

const Files& TheFiles()
{
    static Files files;
    return files;
}

class FuzzLink : public CSerialLink {
public:
    FuzzLink()
    {
        m_Connected = 1;
        m_Lost = true;  // nothing more will come than what is queued
    }
    int Write(const void* buffer, int count) override
    {
        FUZZ_CHECK(count >= 0 && count <= kFrameBodyBufferSize);
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        m_Out.insert(m_Out.end(), p, p + count);
        return count;
    }
    std::vector<unsigned char> m_Out;
};

class FuzzHost : public CDownloadHost {
public:
    void ShowMessage(int n) override { FUZZ_CHECK(n >= -1); }
    void SetProgress(int percent) override { FUZZ_CHECK(percent >= 0 && percent <= 100); }
    void FinishTransfer() override
    {
        ++m_Finished;
        m_RunFlag.store(0);
    }
    void ExitCommandLine(int) override { FUZZ_CHECK(false); }
    int m_Finished = 0;
};

// 2010-04-23 13:05:09: MJD 55309, payload D8 0D 13 05 09.
LocalTime FixedClock()
{
    LocalTime t;
    t.year = 2010;
    t.month = 4;
    t.day = 23;
    t.hour = 13;
    t.minute = 5;
    t.second = 9;
    return t;
}

// What the worker must write and how it must end, frame by frame.
TransferResult Model(const std::vector<ref::Frame>& frames, const std::vector<unsigned char>& file, int64_t claimed,
                     std::vector<unsigned char>& out)
{
    static const unsigned char kTime[5] = {0xD8, 0x0D, 0x13, 0x05, 0x09};
    bool greeted = false;
    bool helloSeen = false;  // a DONE before any hello is no end
    for (const ref::Frame& f : frames) {
        if (!f.checksumOk)
            continue;
        const unsigned char* b = f.body.data();
        std::vector<unsigned char> reply;
        switch (b[1]) {
        case 1:
            greeted = true;
            helloSeen = true;
            reply = ref::Wire(b[0], 2, nullptr, 0);
            break;
        case 4: {
            if (!greeted || b[2] < 4)
                break;
            int64_t n = b[3];
            int64_t offset = (int64_t(b[4]) << 16) | (int64_t(b[5]) << 8) | b[6];
            if (claimed < offset + n)
                return TransferResult::SizeOver;
            if (n > 0 && offset + n > static_cast<int64_t>(file.size()))
                return TransferResult::ReadError;
            reply = ref::Wire(b[0], 5, n > 0 ? file.data() + offset : nullptr, static_cast<size_t>(n));
            break;
        }
        case 6:
            if (helloSeen)
                return TransferResult::Completed;
            break;
        case 16:
            if (greeted)
                reply = ref::Wire(b[0], 17, kTime, 5);
            break;
        default:
            greeted = false;
            break;
        }
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return TransferResult::PortLost;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size == 0)
        return 0;
    const Files& files = TheFiles();
    int which = input[0] & 3;
    bool cutShort = (input[0] & 4) != 0;
    const std::vector<unsigned char>& file = files.content[which];
    int32_t claimed = static_cast<int32_t>(file.size()) + (cutShort ? kClaimedExtra : 0);

    // Whatever the queue holds at once (one slot stays free).
    size_t n = std::min<size_t>(size - 1, CByteQueue::kSize - 1);
    const unsigned char* stream = input + 1;

    FuzzLink link;
    for (size_t i = 0; i < n; ++i)
        FUZZ_CHECK(link.m_QueueRead.Put(stream[i]) == 1);

    FuzzHost host;
    host.m_SelectedPath = files.path[which];
    host.m_FileSize.store(claimed);
    host.m_pSerialPort = &link;
    host.m_RunFlag.store(1);
    WorkerOptions options;
    options.clock = FixedClock;
    TransferResult result = RunDownload(host, options);

    std::vector<unsigned char> want;
    TransferResult expected = Model(ref::Scan(stream, n), file, claimed, want);
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(link.m_Out == want);
    FUZZ_CHECK(host.m_Finished == 1);
    FUZZ_CHECK(host.m_RunFlag.load() == 0);
    FUZZ_CHECK(host.m_FileSize.load() == 0);
    return 0;
}
