// The wire trace: one line per frame in either direction and per run of
// bytes the frame parser skipped, with the time since the program started.
//
//     0.104233 < tag=01 HELLO     len=0   ok
//     0.104301 > tag=01 HELLO_ACK len=0   ok
//     0.105120 < tag=02 DATA_REQ  len=4   ok   ff 00 00 00
//     0.105198 > tag=02 DATA      len=255 ok   4f a3 17 ... (first 16 bytes)
//     0.230511 < garbage 40 bytes skipped
//     0.231004 < tag=05 DATA_REQ  len=4   BAD  ff 00 05 00  (checksum 3c, computed 3d)
//
// '<' is from the box, '>' to the box. Lines starting with '#' are notes.
// The file may be a FIFO (opened without blocking; a reader must be there):
// lines its reader has no room for are dropped, and the gap is noted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Name of a frame type: HELLO .. TIME, or TYPE_n for any other.
std::string FrameTypeName(unsigned char type);

// One frame line. body: tag, type, len, payload and, for a received frame,
// the checksum that came with it (checked = true).
std::string TraceFrameLine(double seconds, char direction, const unsigned char* body, bool checked);

class CTraceLog {
public:
    using Clock = std::chrono::steady_clock;

    // Takes over a stream opened for writing (after the check that it is
    // none of the files the tool must not write); nullptr for no stream.
    static std::unique_ptr<CTraceLog> Adopt(std::FILE* f, const std::string& path, Clock::time_point start);
    ~CTraceLog();

    CTraceLog(const CTraceLog&) = delete;
    CTraceLog& operator=(const CTraceLog&) = delete;

    const std::string& Path() const { return m_Path; }

    void Received(const unsigned char* body);
    void Sent(const unsigned char* body);
    void Garbage(uint64_t bytes);
    void Note(const std::string& text);
    // Lines are buffered; the port's own thread flushes them now and then.
    void Flush();

private:
    CTraceLog(std::FILE* f, std::string path, Clock::time_point start)
        : m_File(f), m_Path(std::move(path)), m_Start(start)
    {
    }
    double Seconds() const;
    void Write(const std::string& line);
    void NoteFailure();

    std::FILE* m_File;
    std::atomic<bool> m_Lost{false};  // lines dropped since the last written
    std::string m_Path;
    Clock::time_point m_Start;
};
