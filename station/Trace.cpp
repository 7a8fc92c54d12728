#include "Trace.h"

#include "protocol/Frame.h"

#include <cerrno>
#include <cstring>

std::string FrameTypeName(unsigned char type)
{
    switch (type) {
    case FT_HELLO: return "HELLO";
    case FT_HELLO_ACK: return "HELLO_ACK";
    case FT_DATA_REQ: return "DATA_REQ";
    case FT_DATA: return "DATA";
    case FT_DONE: return "DONE";
    case FT_TIME_REQ: return "TIME_REQ";
    case FT_TIME: return "TIME";
    default: return "TYPE_" + std::to_string(type);
    }
}

std::string TraceFrameLine(double seconds, char direction, const unsigned char* body, bool checked)
{
    const unsigned len = body[2];
    const unsigned char computed = FrameChecksum(body);
    const bool ok = !checked || body[3 + len] == computed;
    char text[128];
    std::snprintf(text, sizeof text, "%12.6f %c tag=%02x %-9s len=%-3u %-3s", seconds, direction,
                  static_cast<unsigned>(body[0]), FrameTypeName(body[1]).c_str(), len, ok ? "ok" : "BAD");
    std::string line = text;
    const unsigned shown = len < 16 ? len : 16;
    if (shown > 0)
        line += " ";
    for (unsigned i = 0; i < shown; ++i) {
        std::snprintf(text, sizeof text, " %02x", static_cast<unsigned>(body[3 + i]));
        line += text;
    }
    if (len > shown)
        line += " ...";
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (!ok) {
        std::snprintf(text, sizeof text, "  (checksum %02x, computed %02x)",
                      static_cast<unsigned>(body[3 + len]), static_cast<unsigned>(computed));
        line += text;
    }
    return line;
}

std::unique_ptr<CTraceLog> CTraceLog::Adopt(std::FILE* f, const std::string& path, Clock::time_point start)
{
    if (!f)
        return nullptr;
    // Lines from the worker's hot path go to a buffer, not a write each.
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
    return std::unique_ptr<CTraceLog>(new CTraceLog(f, path, start));
}

CTraceLog::~CTraceLog()
{
    if (m_File)
        std::fclose(m_File);
}

double CTraceLog::Seconds() const
{
    return std::chrono::duration<double>(Clock::now() - m_Start).count();
}

void CTraceLog::Write(const std::string& line)
{
    // One call per line: stdio locks the stream for it, so a flush from the
    // port's other thread never splits a line.
    std::string text = line + "\n";
    if (m_Lost.exchange(false))
        text = "\n# lines lost here: the trace could not be written (a reader not keeping up?)\n" + text;
    std::fputs(text.c_str(), m_File);
    NoteFailure();
}

void CTraceLog::NoteFailure()
{
    // A FIFO is written without blocking: when its reader lags, lines are
    // dropped rather than the port held up. The gap is marked.
    if (std::ferror(m_File)) {
        std::clearerr(m_File);
        m_Lost = true;
    }
}

void CTraceLog::Received(const unsigned char* body) { Write(TraceFrameLine(Seconds(), '<', body, true)); }

void CTraceLog::Sent(const unsigned char* body) { Write(TraceFrameLine(Seconds(), '>', body, false)); }

void CTraceLog::Garbage(uint64_t bytes)
{
    char text[96];
    std::snprintf(text, sizeof text, "%12.6f < garbage %llu bytes skipped", Seconds(),
                  static_cast<unsigned long long>(bytes));
    Write(text);
}

void CTraceLog::Note(const std::string& text) { Write("# " + text); }

void CTraceLog::Flush()
{
    std::fflush(m_File);
    NoteFailure();
}
