// The box's side of one download: greet, request the image block by block,
// optionally ask for the time, report done; with faults injected on demand
// so the host's error handling can be exercised end to end. One object per
// box of a line of boxes (BoxSeries), all on the same CBoxLine.
#pragma once

#include "BoxLine.h"
#include "BoxOptions.h"

#include "protocol/TimeCode.h"
#include "serial/ByteQueue.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
    // Box number of count on the line; options and expected must outlive
    // the object.
    CBoxSim(const BoxOptions& options, CBoxLine& line, const std::vector<unsigned char>& expected,
            int number, int count);

    // This box from its arrival to its last frame (the last box of the line
    // also waits for the host to let go); 0 ok, 1 failure.
    int Run();
    // A host answered this box's hello.
    bool Greeted() const { return m_Greeted; }
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
    // A host on the line to greet: always true for a device; on a pty the
    // first box waits only with --wait-host, later ones whenever none is.
    bool Arrive();
    bool Handshake();
    // --reset-after: greet again and forget what came so far.
    bool Restart();
    bool CheckTime();
    // One data request; Got with the block stored, or why not.
    Wait Request(int64_t offset, int n, bool badChecksum, int timeoutMs);
    bool ExpectNoAnswer(int64_t offset, int n, bool badChecksum, const char* why);
    bool HoldLine();
    void Linger();
    // After the box's last frame: Linger() for the last box of the line.
    void Leave();
    void Note(const std::string& text) const;
    // The first upto bytes arrived and equal the expected file (if any).
    bool Verify(int64_t upto);
    bool Fail(const std::string& text);

    const BoxOptions& m_Options;
    CBoxLine& m_Line;
    const std::vector<unsigned char>& m_Expected;
    const int m_Number;
    const int m_Count;
    const std::string m_Label;  // "line 1: box 2/3: " as far as they apply, else empty
    std::vector<unsigned char> m_Image;
    int64_t m_Size = 0;
    int64_t m_Filled = 0;
    CByteQueue m_Queue;
    unsigned char m_Tag = 0;
    bool m_Greeted = false;
    bool m_WasReset = false;
    std::mt19937 m_Rng;
    BoxStats m_Stats;
};
