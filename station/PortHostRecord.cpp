// What the port's host counts of each box as its frames pass (on the
// worker's thread) and the record it makes of the box at its end: distinct
// bytes asked for, blocks served again, the SHA-256 of what the box
// received, a box reset in the middle, what went wrong.
#include "PortHost.h"

#include "RecordPath.h"

#include "protocol/Frame.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

const char kRestarted[] = "The box was reset: it greeted again after asking for data.";

std::string Printf(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string HexOf(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

// The text itself when it is all printable ASCII, else "".
std::string PrintableOrEmpty(const std::string& bytes)
{
    for (unsigned char c : bytes)
        if (c < 0x20 || c > 0x7E)
            return "";
    return bytes;
}

}  // namespace

void CPortHost::StartBox(int64_t waitStartNs)
{
    std::lock_guard<std::mutex> g(m_BoxLock);
    m_Box = BoxStats();
    m_Box.waitStartNs = waitStartNs;
    m_Box.startNs = waitStartNs;
    m_Box.startMs = WallMs();
    m_Rate.Reset();
}

void CPortHost::FillRecord(BoxRecord& r, int64_t endNs)
{
    const CPinnedImage& image = *m_Plan.image;
    std::lock_guard<std::mutex> g(m_BoxLock);
    r.box = m_BoxesEnded + 1;
    r.port = m_RecordPort;
    r.portById = m_ById;
    r.usbSerial = m_UsbSerial;
    r.speed = m_Plan.speed;
    r.file = RecordPath(image.Path());
    r.fileSize = image.FileSize();
    r.addressable = m_Addressable;
    r.imageSha256 = image.Sha256();
    // What the box received: every byte it can reach, in whatever order it
    // asked, or else what it has without a gap from offset 0. Served bytes
    // are the copy's bytes, so the copy gives their hash.
    const int64_t prefix = m_Box.delivered.CoveredFrom(0);
    const int64_t hashed = m_Box.delivered.Covers(0, m_Addressable) ? m_Addressable : prefix;
    r.sha256 = image.PrefixSha256(hashed);
    r.sha256Bytes = static_cast<uint64_t>(hashed);
    r.served = m_Box.served;
    r.requested = m_Box.requested.Total();
    r.blocks = m_Box.blocks;
    r.requests = m_Box.requests;
    r.rerequests = m_Box.rerequests;
    r.badFrames = m_Box.badFrames;
    r.regreetings = m_Box.regreetings + (m_Box.regreetPending ? 1 : 0);
    r.hello = HexOf(m_Box.hello);
    r.helloText = PrintableOrEmpty(m_Box.hello);
    r.startMs = m_Box.startMs;
    r.duration = std::max(0.0, SecondsBetween(m_Box.startNs, endNs));
    // The end's wall time follows from the start by the monotonic clock, so
    // a clock step during the box moves neither the duration nor the end.
    r.endMs = r.startMs + static_cast<int64_t>(r.duration * 1000.0);
    r.elapsed = SecondsBetween(m_Box.waitStartNs, endNs);
    r.transferSeconds = m_Box.firstFrameNs ? SecondsBetween(m_Box.firstFrameNs, endNs) : 0.0;
}

std::string CPortHost::DetailOf(const BoxRecord& r, HostEnd hostEnd, TransferResult result, int64_t endNs)
{
    std::lock_guard<std::mutex> g(m_BoxLock);
    if (!m_Box.failure.empty())
        return m_Box.failure;
    if (hostEnd == HostEnd::Interrupted)
        return m_Box.firstHelloNs ? "the run was ended while the box was being served"
                                  : "the run was ended while the port waited for a box";
    if (hostEnd == HostEnd::Timeout) {
        const int64_t last = m_Box.lastRequestNs ? m_Box.lastRequestNs : m_Box.firstFrameNs;
        return Printf("the box sent no request for %.1f s", SecondsBetween(last, endNs));
    }
    if (hostEnd == HostEnd::NoBox)
        return "";
    if (result == TransferResult::PortLost) {
        const std::string why = m_Port.LostReason();
        return "the port went away" + (why.empty() ? std::string() : ": " + why);
    }
    if (result == TransferResult::FileOpenError)
        return "the image could not be served";
    const bool partial = r.addressable > 0 && static_cast<long long>(r.requested) < r.addressable;
    if (partial && (r.result == "completed" || r.result == "incomplete"))
        return Printf("the box asked for %llu of %lld bytes (%.1f %%)", static_cast<unsigned long long>(r.requested),
                      static_cast<long long>(r.addressable), RequestedPercent(r));
    return "";
}

void CPortHost::FinishRecord(BoxRecord& r)
{
    uint64_t firstNs, lastNs;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        firstNs = static_cast<uint64_t>(m_Box.firstServeNs);
        lastNs = static_cast<uint64_t>(m_Box.lastServeNs);
    }
    if (r.served > 0) {
        double secs = SecondsBetween(static_cast<int64_t>(firstNs), static_cast<int64_t>(lastNs));
        m_Events.Note(Printf(
            "Served %llu bytes in %llu blocks, %.2f s, %s; the box asked for %llu of %lld bytes (%.1f %%).",
            static_cast<unsigned long long>(r.served), static_cast<unsigned long long>(r.blocks), secs,
            secs > 0 ? FormatRate(static_cast<double>(r.served) / secs).c_str() : "-",
            static_cast<unsigned long long>(r.requested), static_cast<long long>(r.addressable),
            RequestedPercent(r)));
    }
    if (m_Trace) {
        m_Trace->Note("end: " + r.status + " (" + r.result + ")" + (r.detail.empty() ? "" : ": " + r.detail));
        m_Trace->Flush();
    }
    ++m_BoxesEnded;
    if (r.result != "restarted")
        ++m_BoxesCounted;
    if (m_Sink)
        m_Sink(r);
}

PortProgress CPortHost::Snapshot()
{
    PortProgress p;
    std::lock_guard<std::mutex> g(m_BoxLock);
    p.requested = m_Box.requested.Total();
    p.addressable = m_Addressable;
    p.served = m_Box.served;
    p.percent = m_Addressable > 0 ? static_cast<int>(static_cast<long long>(p.requested) * 100 / m_Addressable) : 0;
    auto now = Clock::now();
    p.rate = m_Rate.Rate(now);
    uint64_t remaining = m_Addressable > static_cast<int64_t>(p.requested)
                             ? static_cast<uint64_t>(m_Addressable - static_cast<int64_t>(p.requested))
                             : 0;
    p.eta = m_Rate.EtaSeconds(now, remaining);
    return p;
}

bool CPortHost::TakeRestart(int64_t offset, int n)
{
    BoxRecord r;
    uint64_t carried;
    int64_t helloNs, helloMs;
    std::string hello;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        m_Box.regreetPending = false;
        if (n <= 0 || !m_Box.delivered.Covers(offset, offset + n)) {
            // It carries on where it was: the same box, greeted again.
            ++m_Box.regreetings;
            return false;
        }
        // What came since the new hello belongs to the new box.
        carried = m_Box.sinceRegreet;
        hello = m_Box.regreetHello;
        m_Box.requests -= std::min(m_Box.requests, carried);
        helloNs = m_Box.regreetNs;
        helloMs = m_Box.regreetMs;
    }
    // A box reset in the middle: its record ends at the new hello, and is
    // on the disk before the new box's request is answered.
    FillRecord(r, helloNs);
    r.result = "restarted";
    r.exitCode = kExitTransfer;
    r.status = kRestarted;
    r.detail = Printf("it greeted again and asked for a block it already had (%d bytes at offset %lld)", n,
                      static_cast<long long>(offset));
    m_Events.Status(kRestarted, Tone::Warn);
    FinishRecord(r);
    StartBox(helloNs);
    m_Events.BoxWaiting();
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        m_Box.startNs = helloNs;
        m_Box.startMs = helloMs;
        m_Box.firstFrameNs = helloNs;
        m_Box.firstHelloNs = helloNs;
        m_Box.greeted = true;
        m_Box.requests = carried;
        m_Box.hello = hello;
    }
    {
        std::lock_guard<std::mutex> lock(m_ShownLock);
        m_LastShown.clear();
    }
    if (m_Trace)
        m_Trace->Note("box " + std::to_string(m_BoxesEnded + 1) + " begins");
    return true;
}

void CPortHost::OnReceived(const unsigned char* body, int parseResult)
{
    const int64_t now = NowNs();
    const bool ok = parseResult == kParseOk;
    const unsigned char type = ok ? body[1] : 0;
    const bool dataReq = ok && type == FT_DATA_REQ && body[2] >= 4;
    const int n = dataReq ? body[3] : 0;
    const int64_t offset = dataReq ? (int64_t(body[4]) << 16) | (int64_t(body[5]) << 8) | int64_t(body[6]) : 0;
    bool regreetPending;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        regreetPending = m_Box.regreetPending && m_Box.greeted;
    }
    // Decided before the request is counted: it may belong to a new box.
    if (regreetPending && dataReq)
        TakeRestart(offset, n);
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        if (m_Box.firstFrameNs == 0) {
            m_Box.firstFrameNs = now;
            m_Box.startNs = now;
            m_Box.startMs = WallMs();
        }
        if (!ok) {
            ++m_Box.badFrames;
        } else {
            ++m_Box.requests;
            if (m_Box.regreetPending)
                ++m_Box.sinceRegreet;
            if (type == FT_HELLO || type == FT_DATA_REQ || type == FT_TIME_REQ)
                m_Box.lastRequestNs = now;
            // The worker's greeting, mirrored: only what a greeted box
            // asks for is served, so only that counts as asked for.
            if (type == FT_HELLO) {
                const std::string payload(reinterpret_cast<const char*>(body) + 3, body[2]);
                if (m_Box.firstHelloNs == 0) {
                    m_Box.hello = payload;
                    m_Box.firstHelloNs = now;
                    // The box's record starts with its greeting, not
                    // with what the line still held of the last one.
                    m_Box.firstFrameNs = now;
                    m_Box.startNs = now;
                    m_Box.startMs = WallMs();
                } else if (m_Plan.loop && m_Box.askedForData && !m_Box.regreetPending) {
                    m_Box.regreetPending = true;
                    m_Box.regreetNs = now;
                    m_Box.regreetMs = WallMs();
                    m_Box.regreetHello = payload;
                    m_Box.sinceRegreet = 1;
                }
                m_Box.greeted = true;
            } else if (type != FT_DATA_REQ && type != FT_DONE && type != FT_TIME_REQ) {
                m_Box.greeted = false;
            }
            if (dataReq && m_Box.greeted) {
                m_Box.askedForData = true;
                m_Box.pendingOffset = offset;
                if (n > 0 && m_Box.delivered.Covers(offset, offset + n))
                    ++m_Box.rerequests;
                m_Box.requested.Add(std::min<int64_t>(offset, m_Addressable),
                                    std::min<int64_t>(offset + n, m_Addressable));
                if (offset + n > m_Plan.image->FileSize())
                    m_Box.failure = Printf("the box asked for %d bytes at offset %lld, past the end of the "
                                           "%lld-byte image",
                                           n, static_cast<long long>(offset),
                                           static_cast<long long>(m_Plan.image->FileSize()));
            }
            if (type == FT_DONE && m_Box.regreetPending) {
                // Done after greeting again without asking anything: the
                // same box, greeted once more.
                m_Box.regreetPending = false;
                ++m_Box.regreetings;
            }
        }
    }
    if (!m_Trace)
        return;
    if (m_Tap) {
        // What the parser took since the last frame, less this frame, it
        // skipped.
        uint64_t consumed = m_Tap->Consumed();
        uint64_t frame = static_cast<uint64_t>(body[2]) + kFrameMagicSize + kFrameHeaderSize + 1;
        if (consumed > m_TracedConsumed + frame)
            m_Trace->Garbage(consumed - m_TracedConsumed - frame);
        m_TracedConsumed = consumed;
    }
    m_Trace->Received(body);
}

void CPortHost::OnIgnored(const unsigned char* body, const char* why)
{
    {
        // Not the box speaking: a DONE with no box greeted starts no record.
        std::lock_guard<std::mutex> g(m_BoxLock);
        if (m_Box.firstHelloNs == 0 && m_Box.requests > 0)
            --m_Box.requests;
    }
    if (m_Trace)
        m_Trace->Note(std::string("ignored ") + FrameTypeName(body[1]) + ": " + why);
}

void CPortHost::OnSent(const unsigned char* body)
{
    if (m_Trace)
        m_Trace->Sent(body);
    if (body[1] != FT_DATA)
        return;
    const int64_t now = NowNs();
    const int n = body[2];
    std::lock_guard<std::mutex> g(m_BoxLock);
    if (m_Box.firstServeNs == 0)
        m_Box.firstServeNs = now;
    m_Box.lastServeNs = now;
    m_Box.served += static_cast<uint64_t>(n);
    ++m_Box.blocks;
    m_Rate.Add(Clock::now(), static_cast<uint64_t>(n));
    if (m_Box.pendingOffset >= 0)
        m_Box.delivered.Add(m_Box.pendingOffset, m_Box.pendingOffset + n);
}
