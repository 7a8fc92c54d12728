// The box's side of a download: greet, request the image block by block,
// optionally ask for the time, report done; with faults injected on demand
// so the host's error handling can be exercised end to end.
#pragma once

#include "BoxLine.h"

#include "protocol/TimeCode.h"
#include "serial/ByteQueue.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct BoxOptions {
    bool pty = false;
    std::string port;
    std::string link;
    uint32_t speed = 115200;     // device speed for --port
    int64_t size = -1;           // image size; -1 = size of the expected file
    std::string expectPath;
    std::string outPath;
    int block = 255;
    int tagStart = 1;
    bool time = false;
    int replyTimeoutMs = 2000;
    int retries = 3;
    bool waitHost = false;
    int startDelayMs = 0;
    int helloIntervalMs = 500;
    int helloTimeoutMs = 30000;
    int lingerMs = 3000;         // after FT_DONE: wait this long for the host to let go
    int holdMs = 30000;          // --silent-after: longest hold of the line
    uint32_t baud = 0;           // wire-speed emulation
    int blockDelayMs = 0;
    uint32_t seed = 1;
    // Faults.
    int noiseBefore = 0;
    bool noiseInMagic = false;
    int badChecksumAt = 0;
    int cancelGreetingAt = 0;
    bool pastEnd = false;
    int silentAfter = -1;
    int flood = 0;
    int floodPauseMs = 300;      // quiet time after a flood, as on a real line
    bool splitMagic = false;
    int splitPauseMs = 20;
};

struct BoxStats {
    uint64_t requests = 0;   // data requests sent, retries included
    uint64_t retries = 0;
    uint64_t received = 0;   // image bytes received
    uint64_t stray = 0;      // frames that answered nothing we were waiting for
    uint64_t badFrames = 0;  // frames from the host with a wrong checksum
    double seconds = 0;
};

// Decodes an FT_TIME payload; false when a BCD digit or a field is out of
// range.
bool DecodeTimePayload(const unsigned char* payload, LocalTime& out);
// Days between two calendar dates (b - a).
long DaysBetween(const LocalTime& a, const LocalTime& b);

class CBoxSim {
public:
    CBoxSim(const BoxOptions& options, CBoxLine& line, std::vector<unsigned char> expected);

    // The whole run; the process exit code (0 ok, 1 failure).
    int Run();
    const BoxStats& Stats() const { return m_Stats; }
    const std::vector<unsigned char>& Image() const { return m_Image; }
    // Bytes of the image received so far, from offset 0 without a gap.
    int64_t Received() const { return m_Filled; }

private:
    using Clock = CBoxLine::Clock;

    enum class Wait { Got, Timeout, HostGone };

    unsigned char NextTag();
    bool SendFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                   unsigned char len, bool badChecksum = false);
    void SendNoise(int n);
    // Takes frames until one of type with tag arrives (body filled), the
    // deadline passes or the host goes away.
    Wait Await(unsigned char type, int tag, Clock::time_point deadline, unsigned char* body);
    bool Handshake();
    bool CheckTime();
    // One data request; Got with the block stored, or why not.
    Wait Request(int64_t offset, int n, bool badChecksum, int timeoutMs);
    bool ExpectNoAnswer(int64_t offset, int n, bool badChecksum, const char* why);
    bool HoldLine();
    void Linger();
    // The first upto bytes arrived and equal the expected file (if any).
    bool Verify(int64_t upto);
    bool Fail(const std::string& text);

    const BoxOptions& m_Options;
    CBoxLine& m_Line;
    std::vector<unsigned char> m_Expected;
    std::vector<unsigned char> m_Image;
    int64_t m_Size = 0;
    int64_t m_Filled = 0;
    CByteQueue m_Queue;
    unsigned char m_Tag = 0;
    std::mt19937 m_Rng;
    BoxStats m_Stats;
};
