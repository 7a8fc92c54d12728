// What the port's host counts of each box as its frames pass (on the
// worker's thread) and the record it makes of the box at its end: distinct
// bytes asked for, blocks served again, the SHA-256 of what was served, a
// box reset in the middle.
#include "CliHost.h"

#include "protocol/Frame.h"

#include <algorithm>

namespace {

const char kRestarted[] = "The box was reset: it greeted again after asking for data.";

}  // namespace

void CCliHost::StartBox(int64_t waitStartNs)
{
    std::lock_guard<std::mutex> g(m_BoxLock);
    m_Box = BoxStats();
    m_Box.waitStartNs = waitStartNs;
    m_Box.startMs = WallMs();
    m_Rate.Reset();
    m_Hash.Reset();
}

void CCliHost::FillRecord(BoxRecord& r, int64_t endNs)
{
    std::lock_guard<std::mutex> g(m_BoxLock);
    r.box = m_BoxesEnded + 1;
    r.port = m_PortName;
    r.portById = m_ById;
    r.usbSerial = m_UsbSerial;
    r.speed = m_Plan.speed;
    r.file = m_Plan.file;
    r.fileSize = m_Plan.fileSize;
    r.addressable = m_Addressable;
    r.sha256 = m_Hash.Finish();
    r.sha256Bytes = static_cast<uint64_t>(m_Box.hashedEnd);
    r.served = m_Box.served;
    r.requested = m_Box.requested.Total();
    r.blocks = m_Box.blocks;
    r.requests = m_Box.requests;
    r.rerequests = m_Box.rerequests;
    r.badFrames = m_Box.badFrames;
    r.startMs = m_Box.startMs;
    r.endMs = std::max(WallMs(), r.startMs);
    r.elapsed = SecondsBetween(m_Box.waitStartNs, endNs);
    r.transferSeconds = m_Box.firstFrameNs ? SecondsBetween(m_Box.firstFrameNs, endNs) : 0.0;
}

void CCliHost::FinishRecord(BoxRecord& r)
{
    m_Console.EndProgress(m_Slot);
    uint64_t firstNs, lastNs;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        firstNs = static_cast<uint64_t>(m_Box.firstServeNs);
        lastNs = static_cast<uint64_t>(m_Box.lastServeNs);
    }
    if (r.served > 0) {
        double secs = SecondsBetween(static_cast<int64_t>(firstNs), static_cast<int64_t>(lastNs));
        char text[256];
        std::snprintf(text, sizeof text,
                      "Served %llu bytes in %llu blocks, %.2f s, %s; the box asked for %llu of %lld bytes (%.1f %%).",
                      static_cast<unsigned long long>(r.served), static_cast<unsigned long long>(r.blocks), secs,
                      secs > 0 ? FormatRate(static_cast<double>(r.served) / secs).c_str() : "-",
                      static_cast<unsigned long long>(r.requested), static_cast<long long>(r.addressable),
                      RequestedPercent(r));
        m_Console.Note(m_Slot, text);
    }
    if (m_Trace) {
        m_Trace->Note("end: " + r.status + " (" + r.result + ")");
        m_Trace->Flush();
    }
    ++m_BoxesEnded;
    if (m_Sink)
        m_Sink(r);
}

PortProgress CCliHost::Snapshot()
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

void CCliHost::OnReceived(const unsigned char* body, int parseResult)
{
    const int64_t now = NowNs();
    bool reset = false;
    {
        std::lock_guard<std::mutex> g(m_BoxLock);
        const bool ok = parseResult == kParseOk;
        if (ok && body[1] == FT_HELLO && m_Plan.loop && m_Box.askedForData) {
            reset = true;
        } else {
            if (m_Box.firstFrameNs == 0) {
                m_Box.firstFrameNs = now;
                m_Box.startMs = WallMs();
            }
            if (!ok) {
                ++m_Box.badFrames;
            } else {
                ++m_Box.requests;
                // The worker's greeting, mirrored: only what a greeted box
                // asks for is served, so only that counts as asked for.
                const unsigned char type = body[1];
                if (type == FT_HELLO) {
                    m_Box.greeted = true;
                    if (m_Box.firstHelloNs == 0) {
                        m_Box.firstHelloNs = now;
                        // The box's record starts with its greeting, not
                        // with what the line still held of the last one.
                        m_Box.firstFrameNs = now;
                        m_Box.startMs = WallMs();
                    }
                } else if (type != FT_DATA_REQ && type != FT_DONE && type != FT_TIME_REQ) {
                    m_Box.greeted = false;
                }
                if (type == FT_DATA_REQ && body[2] >= 4 && m_Box.greeted) {
                    const int n = body[3];
                    const int64_t offset = (int64_t(body[4]) << 16) | (int64_t(body[5]) << 8) | int64_t(body[6]);
                    m_Box.askedForData = true;
                    m_Box.pendingOffset = offset;
                    if (n > 0 && m_Box.delivered.Covers(offset, offset + n))
                        ++m_Box.rerequests;
                    m_Box.requested.Add(std::min<int64_t>(offset, m_Addressable),
                                        std::min<int64_t>(offset + n, m_Addressable));
                }
            }
        }
    }
    if (reset) {
        // A box reset in the middle: its record ends here, on disk before
        // the new box's hello is answered, and the new box starts with it.
        BoxRecord r;
        FillRecord(r, now);
        r.result = "restarted";
        r.exitCode = kExitTransfer;
        r.status = kRestarted;
        m_Console.Status(m_Slot, kRestarted, Tone::Warn);
        FinishRecord(r);
        StartBox(now);
        m_Console.ClearProgress(m_Slot);
        {
            std::lock_guard<std::mutex> g(m_BoxLock);
            m_Box.firstFrameNs = now;
            m_Box.firstHelloNs = now;
            m_Box.greeted = true;
            m_Box.requests = 1;
        }
        std::lock_guard<std::mutex> lock(m_ShownLock);
        m_LastShown.clear();
    }
    if (!m_Trace)
        return;
    if (reset)
        m_Trace->Note("box " + std::to_string(m_BoxesEnded + 1) + " begins");
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

void CCliHost::OnSent(const unsigned char* body)
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
    const int64_t offset = m_Box.pendingOffset;
    if (offset < 0)
        return;
    m_Box.delivered.Add(offset, offset + n);
    // The hash follows the image from offset 0 on: new bytes extend it, a
    // block served again adds nothing, a block beyond its end leaves a gap
    // it cannot cover.
    if (!m_Box.hashBroken) {
        if (offset > m_Box.hashedEnd) {
            m_Box.hashBroken = true;
        } else if (offset + n > m_Box.hashedEnd) {
            const int64_t skip = m_Box.hashedEnd - offset;
            m_Hash.Update(body + 3 + skip, static_cast<size_t>(n - skip));
            m_Box.hashedEnd = offset + n;
        }
    }
}
