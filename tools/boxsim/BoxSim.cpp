#include "BoxSim.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

std::atomic<bool> g_BoxStop{false};

namespace {

using Clock = CBoxLine::Clock;

int MsUntil(Clock::time_point t)
{
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return d < 0 ? 0 : static_cast<int>(std::min<long long>(d, 1 << 30));
}

// Lets the parser wait for the rest of a frame by reading the line, until
// the deadline or the host's hang-up.
class LineWait : public IParseWait {
public:
    LineWait(CBoxLine& line, Clock::time_point deadline) : m_Line(line), m_Deadline(deadline) {}
    bool KeepWaiting() override
    {
        return !g_BoxStop.load() && !m_Line.HostGone() && Clock::now() < m_Deadline;
    }
    void WaitForBytes(CByteQueue& queue) override
    {
        m_Line.Pump(queue, std::min(MsUntil(m_Deadline), 50));
    }

private:
    CBoxLine& m_Line;
    Clock::time_point m_Deadline;
};

int FromBcd(unsigned char b, bool& ok)
{
    int hi = b >> 4, lo = b & 15;
    if (hi > 9 || lo > 9)
        ok = false;
    return hi * 10 + lo;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long DaysFromCivil(long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

}  // namespace

bool DecodeTimePayload(const unsigned char* payload, LocalTime& out)
{
    // Inverse of the MJD formula (the broadcast UTC_time conversion).
    double mjd = payload[0] * 256 + payload[1];
    int yp = static_cast<int>((mjd - 15078.2) / 365.25);
    int mp = static_cast<int>((mjd - 14956.1 - std::floor(yp * 365.25)) / 30.6001);
    int day = static_cast<int>(mjd - 14956 - std::floor(yp * 365.25) - std::floor(mp * 30.6001));
    int k = (mp == 14 || mp == 15) ? 1 : 0;
    out.year = yp + k + 1900;
    out.month = mp - 1 - k * 12;
    out.day = day;
    bool ok = true;
    out.hour = FromBcd(payload[2], ok);
    out.minute = FromBcd(payload[3], ok);
    out.second = FromBcd(payload[4], ok);
    return ok && out.month >= 1 && out.month <= 12 && out.day >= 1 && out.day <= 31 &&
           out.hour < 24 && out.minute < 60 && out.second <= 60;
}

long DaysBetween(const LocalTime& a, const LocalTime& b)
{
    return DaysFromCivil(b.year, static_cast<unsigned>(b.month), static_cast<unsigned>(b.day)) -
           DaysFromCivil(a.year, static_cast<unsigned>(a.month), static_cast<unsigned>(a.day));
}

CBoxSim::CBoxSim(const BoxOptions& options, CBoxLine& line, const std::vector<unsigned char>& expected,
                 int number, int count)
    : m_Options(options),
      m_Line(line),
      m_Expected(expected),
      m_Number(number),
      m_Count(count),
      m_Label((options.lines > 0 ? "line " + std::to_string(options.line) + ": " : std::string()) +
              (count > 1 ? "box " + std::to_string(number) + "/" + std::to_string(count) + ": " : "")),
      m_Rng(options.seed)
{
    m_Size = options.size >= 0 ? options.size : static_cast<int64_t>(m_Expected.size());
    m_Image.assign(static_cast<size_t>(m_Size), 0);
    m_Tag = static_cast<unsigned char>(options.tagStart);
}

unsigned char CBoxSim::NextTag() { return m_Tag++; }

bool CBoxSim::Fail(const std::string& text)
{
    std::fprintf(stderr, "zurivavave-boxsim: %s%s\n", m_Label.c_str(), text.c_str());
    return false;
}

void CBoxSim::Note(const std::string& text) const
{
    if (!m_Options.quiet)
        std::fprintf(stderr, "zurivavave-boxsim: %s%s\n", m_Label.c_str(), text.c_str());
}

void CBoxSim::SendNoise(int n)
{
    // Never an 'o': noise may hold part of a magic, never all of it, so a
    // correct host can always find the frame that follows.
    std::vector<unsigned char> noise(static_cast<size_t>(n));
    std::uniform_int_distribution<int> byte(0, 254);
    for (auto& b : noise) {
        int v = byte(m_Rng);
        b = static_cast<unsigned char>(v >= 'o' ? v + 1 : v);
    }
    m_Line.Send(noise.data(), n);
}

bool CBoxSim::SendFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                        unsigned char len, bool badChecksum)
{
    unsigned char raw[kFrameMaxPayload + 8];
    int n = EncodeFrame(tag, type, payload, len, raw);
    if (badChecksum)
        raw[n - 1] = static_cast<unsigned char>(raw[n - 1] + 1);
    std::vector<unsigned char> frame(raw, raw + n);
    if (m_Options.noiseInMagic)
        frame.insert(frame.begin() + 2, 0x00);  // "Ku" 00 "vo"

    if (m_Options.noiseBefore > 0)
        SendNoise(m_Options.noiseBefore);
    if (m_Options.splitMagic) {
        if (!m_Line.Send(frame.data(), 2))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Options.splitPauseMs));
        return m_Line.Send(frame.data() + 2, static_cast<int>(frame.size()) - 2);
    }
    return m_Line.Send(frame.data(), static_cast<int>(frame.size()));
}

CBoxSim::Wait CBoxSim::Await(unsigned char type, int tag, Clock::time_point deadline,
                             unsigned char* body)
{
    for (;;) {
        if (m_Line.HostGone())
            return Wait::HostGone;
        if (g_BoxStop.load() || Clock::now() >= deadline)
            return Wait::Timeout;
        if (m_Queue.Count() == 0) {
            m_Line.Pump(m_Queue, std::min(MsUntil(deadline), 100));
            continue;
        }
        LineWait wait(m_Line, deadline);
        int r = ParseFrame(m_Queue, body, &wait);
        if (r == kParseBadChecksum) {
            ++m_Stats.badFrames;
            continue;
        }
        if (r != kParseOk)
            continue;
        if (body[1] == type && (tag < 0 || body[0] == tag))
            return Wait::Got;
        // A late answer to an earlier try, or a second acknowledgement of a
        // repeated hello.
        ++m_Stats.stray;
    }
}

bool CBoxSim::Arrive()
{
    if (m_Number == 1 && m_Options.startDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Options.startDelayMs));
    m_Line.ForgetHost();
    if (!m_Line.IsPty() || (m_Number == 1 && !m_Options.waitHost))
        return true;
    auto deadline = Clock::now() + std::chrono::milliseconds(m_Options.helloTimeoutMs);
    while (m_Line.HostAbsent()) {
        if (g_BoxStop.load())
            return Fail("interrupted");
        if (Clock::now() >= deadline)
            return Fail("no host opened " + m_Line.SlavePath() + " within " +
                        std::to_string(m_Options.helloTimeoutMs) + " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool CBoxSim::Restart()
{
    // As after a power cycle: tags from the start, nothing kept, and a host
    // that ends its record here may even close the line and come back.
    m_WasReset = true;
    Note("reset after " + std::to_string(m_Options.resetAfter) +
         " requests: greeting again, then the image from the start");
    m_Tag = static_cast<unsigned char>(m_Options.tagStart);
    m_Filled = 0;
    std::fill(m_Image.begin(), m_Image.end(), 0);
    m_Line.ForgetHost();
    return Handshake() && (!m_Options.time || CheckTime());
}

bool CBoxSim::Handshake()
{
    // Like a box after reset: greet again and again until someone answers.
    unsigned char tag = NextTag();
    const std::vector<unsigned char>& hello = m_Options.helloBytes;
    unsigned char body[kFrameBodyBufferSize];
    auto deadline = Clock::now() + std::chrono::milliseconds(m_Options.helloTimeoutMs);
    while (Clock::now() < deadline && !g_BoxStop.load()) {
        SendFrame(tag, FT_HELLO, hello.data(), static_cast<unsigned char>(hello.size()));
        auto next = std::min(deadline, Clock::now() + std::chrono::milliseconds(m_Options.helloIntervalMs));
        Wait w = Await(FT_HELLO_ACK, tag, next, body);
        if (w == Wait::Got) {
            m_Line.MarkHostSeen();
            m_Greeted = true;
            if (body[2] != 0)
                return Fail("FT_HELLO_ACK carries a payload of " + std::to_string(body[2]) + " bytes");
            return true;
        }
        if (w == Wait::HostGone)
            return Fail("the host closed the line before answering the hello");
    }
    return Fail("no FT_HELLO_ACK within " + std::to_string(m_Options.helloTimeoutMs) + " ms");
}

bool CBoxSim::CheckTime()
{
    unsigned char body[kFrameBodyBufferSize];
    for (int attempt = 0; attempt <= m_Options.retries; ++attempt) {
        unsigned char tag = NextTag();
        SendFrame(tag, FT_TIME_REQ, nullptr, 0);
        Wait w = Await(FT_TIME, tag,
                       Clock::now() + std::chrono::milliseconds(m_Options.replyTimeoutMs), body);
        if (w == Wait::HostGone)
            return Fail("the host closed the line while the time was asked");
        if (w != Wait::Got)
            continue;
        if (body[2] != 5)
            return Fail("FT_TIME has " + std::to_string(body[2]) + " payload bytes instead of 5");
        LocalTime got;
        if (!DecodeTimePayload(body + 3, got))
            return Fail("FT_TIME payload does not decode to a date and time");
        LocalTime now = CurrentLocalTime();
        long secs = DaysBetween(now, got) * 86400L +
                    (got.hour * 3600L + got.minute * 60L + got.second) -
                    (now.hour * 3600L + now.minute * 60L + now.second);
        char text[96];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", got.year, got.month,
                      got.day, got.hour, got.minute, got.second);
        if (secs < -86400L || secs > 86400L)
            return Fail(std::string("FT_TIME says ") + text + ", more than a day from now");
        Note(std::string("host time ") + text);
        return true;
    }
    return Fail("no FT_TIME answer");
}

CBoxSim::Wait CBoxSim::Request(int64_t offset, int n, bool badChecksum, int timeoutMs)
{
    unsigned char tag = NextTag();
    unsigned char payload[4] = {static_cast<unsigned char>(n),
                                static_cast<unsigned char>(offset >> 16),
                                static_cast<unsigned char>(offset >> 8),
                                static_cast<unsigned char>(offset)};
    ++m_Stats.requests;
    SendFrame(tag, FT_DATA_REQ, payload, 4, badChecksum);
    unsigned char body[kFrameBodyBufferSize];
    Wait w = Await(FT_DATA, tag, Clock::now() + std::chrono::milliseconds(timeoutMs), body);
    if (w != Wait::Got)
        return w;
    if (body[2] != n) {
        // Wrong length: keep what fits so the comparison shows where.
        Fail("asked " + std::to_string(n) + " bytes at " + std::to_string(offset) + ", got " +
             std::to_string(body[2]));
    }
    int got = std::min<int>(body[2], static_cast<int>(std::max<int64_t>(0, m_Size - offset)));
    if (got > 0)
        std::memcpy(m_Image.data() + offset, body + 3, static_cast<size_t>(got));
    m_Stats.received += static_cast<uint64_t>(body[2]);
    if (offset <= m_Filled)
        m_Filled = std::max<int64_t>(m_Filled, offset + got);
    if (body[2] != n)
        return Wait::Timeout;
    return Wait::Got;
}

bool CBoxSim::ExpectNoAnswer(int64_t offset, int n, bool badChecksum, const char* why)
{
    if (Request(offset, n, badChecksum, m_Options.replyTimeoutMs) == Wait::Got)
        return Fail(std::string("the host answered ") + why);
    return true;
}

bool CBoxSim::HoldLine()
{
    Note("silent after " + std::to_string(m_Stats.requests) + " requests, holding the line");
    auto deadline = Clock::now() + std::chrono::milliseconds(m_Options.holdMs);
    while (!m_Line.HostGone()) {
        if (g_BoxStop.load())
            return Fail("interrupted");
        if (Clock::now() >= deadline) {
            // A host serving box after box keeps the line open: its giving
            // up cannot be seen, so the hold ends as the technician resets.
            if (m_Count > 1) {
                Note("held the line for " + std::to_string(m_Options.holdMs) + " ms");
                return true;
            }
            return Fail("the host still holds the line after " + std::to_string(m_Options.holdMs) + " ms");
        }
        m_Line.Pump(m_Queue, std::min(MsUntil(deadline), 100));
        m_Queue.Reset();
    }
    Note("the host gave up and closed the line");
    return true;
}

void CBoxSim::Leave()
{
    // Between two boxes the line stays open, so nothing sent is lost.
    if (m_Number == m_Count)
        Linger();
}

void CBoxSim::Linger()
{
    // Bytes still in the pty when this end closes never reach the host, so
    // FT_DONE must be read before the simulator goes away.
    if (!m_Line.IsPty()) {
        m_Line.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(m_Options.lingerMs);
    while (!m_Line.HostGone() && Clock::now() < deadline && !g_BoxStop.load()) {
        m_Line.Pump(m_Queue, std::min(MsUntil(deadline), 100));
        m_Queue.Reset();
    }
}

int CBoxSim::Run()
{
    auto start = Clock::now();
    auto finish = [&](bool ok) {
        m_Stats.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return ok ? 0 : 1;
    };

    if (!Arrive() || !Handshake())
        return finish(false);
    if (m_Options.flood > 0) {
        SendNoise(m_Options.flood);
        // Let the host drain it before the next frame: a request sharing a
        // read with the flood could be cut by the host's dropped chunk, and
        // its surviving tail taken for the start of a frame.
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Options.floodPauseMs));
    }
    if (m_Options.time && !CheckTime())
        return finish(false);

    int k = 0;  // request number, counted on across a reset
    for (int64_t offset = 0; offset < m_Size;) {
        if (m_Options.resetAfter > 0 && !m_WasReset && k == m_Options.resetAfter) {
            if (!Restart())
                return finish(false);
            offset = 0;
        }
        int n = static_cast<int>(std::min<int64_t>(m_Options.block, m_Size - offset));
        ++k;
        if (m_Options.silentAfter >= 0 && k > m_Options.silentAfter)
            return finish(HoldLine());
        if (m_Options.pastEnd && offset + n == m_Size) {
            // The last block, shifted one byte past the end of the image.
            if (!ExpectNoAnswer(offset + 1, n, false, "a request reaching past the end of the file"))
                return finish(false);
            Note("request past the end went unanswered, as it should");
            Leave();
            return finish(Verify(offset));
        }
        if (m_Options.cancelGreetingAt == k) {
            SendFrame(NextTag(), 3, nullptr, 0);
            if (!ExpectNoAnswer(offset, n, false, "a data request after a frame of type 3"))
                return finish(false);
            if (!Handshake())
                return finish(false);
        }
        if (m_Options.badChecksumAt == k &&
            !ExpectNoAnswer(offset, n, true, "a request with a bad checksum"))
            return finish(false);

        Wait w = Wait::Timeout;
        for (int attempt = 0; attempt <= m_Options.retries; ++attempt) {
            if (attempt > 0)
                ++m_Stats.retries;
            w = Request(offset, n, false, m_Options.replyTimeoutMs);
            if (w != Wait::Timeout)
                break;
        }
        if (w == Wait::HostGone)
            return finish(Fail("the host closed the line at offset " + std::to_string(offset)));
        if (w != Wait::Got)
            return finish(Fail("no answer to request " + std::to_string(k) + " (offset " +
                               std::to_string(offset) + ", " + std::to_string(n) + " bytes) after " +
                               std::to_string(m_Options.retries + 1) + " tries"));
        if (m_Options.blockDelayMs > 0)
            m_Line.DelayReceived(m_Options.blockDelayMs);
        offset += n;
    }

    SendFrame(NextTag(), FT_DONE, nullptr, 0);
    Leave();

    return finish(Verify(m_Size));
}

bool CBoxSim::Verify(int64_t upto)
{
    if (m_Options.expectPath.empty())
        return true;
    if (m_Filled < upto)
        return Fail("image incomplete: " + std::to_string(m_Filled) + " of " + std::to_string(upto) +
                    " bytes");
    for (int64_t i = 0; i < upto; ++i) {
        if (m_Image[static_cast<size_t>(i)] != m_Expected[static_cast<size_t>(i)])
            return Fail("image differs from the expected file at offset " + std::to_string(i));
    }
    return true;
}
