#include "Console.h"

#include <algorithm>

namespace {

const auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

std::string FormatRate(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.2f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    return text;
}

std::string FormatProgress(const PortProgress& p)
{
    char text[160];
    int n = std::snprintf(text, sizeof text, "%3d%%  %llu/%lld bytes", p.percent,
                          static_cast<unsigned long long>(p.served), static_cast<long long>(p.total));
    std::string out = n > 0 ? std::string(text) : std::string();
    if (p.rate > 0) {
        out += "  " + FormatRate(p.rate);
        if (p.eta >= 0) {
            long eta = static_cast<long>(p.eta + 0.5);
            std::snprintf(text, sizeof text, "  ETA %ld:%02ld", eta / 60, eta % 60);
            out += text;
        }
    } else if (p.served > 0 && p.percent < 100) {
        // Nothing went out over the last seconds.
        out += "  stalled";
    }
    return out;
}

CConsole::CConsole(std::FILE* out, Mode mode, std::vector<std::string> labels, int width)
    : m_Out(out), m_Mode(mode), m_Width(width > 20 ? width : 80), m_Prefix(labels.size() > 1)
{
    for (auto& label : labels) {
        Slot s;
        s.label = "[" + label + "]";
        m_LabelWidth = std::max(m_LabelWidth, s.label.size());
        m_Slots.push_back(std::move(s));
    }
}

void CConsole::Status(int slot, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    m_Slots[slot].status = text;
    if (m_Mode == Mode::Board && !m_Closed)
        DrawBoard(true);
    else
        Line(slot, text);
}

void CConsole::Progress(int slot, const PortProgress& p, bool force)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    Slot& s = m_Slots[slot];
    s.progress = p;
    s.hasProgress = true;
    if (m_Closed)
        return;
    switch (m_Mode) {
    case Mode::Board:
        DrawBoard(force);
        break;
    case Mode::Updating:
        DrawUpdating(force);
        break;
    case Mode::Lines:
        if (p.percent >= s.nextDecile) {
            s.nextDecile = (p.percent / 10 + 1) * 10;
            Line(slot, "Progress " + FormatProgress(p));
        }
        break;
    }
}

void CConsole::Note(int slot, const std::string& text, bool onBoard)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    if (m_Mode == Mode::Board && !m_Closed) {
        if (onBoard) {
            m_Slots[slot].status = text;
            DrawBoard(true);
        }
        return;
    }
    Line(slot, text);
}

void CConsole::Close()
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Closed)
        return;
    if (m_Mode == Mode::Board)
        DrawBoard(true);
    if (m_Mode == Mode::Updating && m_ProgressShown) {
        std::fputc('\n', m_Out);
        m_ProgressShown = false;
    }
    m_Closed = true;
    std::fflush(m_Out);
}

void CConsole::Print(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    Line(-1, text);
}

void CConsole::Line(int slot, const std::string& text)
{
    if (m_ProgressShown) {
        // Wipe the progress line (it is drawn again below the text), except
        // a finished one, which stays as the record of the transfer.
        if (!m_Slots.empty() && m_Slots[0].progress.percent == 100)
            std::fputc('\n', m_Out);
        else
            std::fprintf(m_Out, "\r%-79s\r", "");
        m_ProgressShown = false;
    }
    if (m_Prefix && slot >= 0)
        std::fprintf(m_Out, "%s %s\n", m_Slots[slot].label.c_str(), text.c_str());
    else
        std::fprintf(m_Out, "%s\n", text.c_str());
    std::fflush(m_Out);
}

void CConsole::DrawUpdating(bool force)
{
    const Slot& s = m_Slots[0];
    if (s.progress.served == 0)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && m_ProgressShown && now - m_LastDraw < kRedrawInterval)
        return;
    m_LastDraw = now;
    std::fprintf(m_Out, "\r%-79s", FormatProgress(s.progress).c_str());
    std::fflush(m_Out);
    m_ProgressShown = true;
}

std::string CConsole::BoardLine(const Slot& s) const
{
    // Port, status, then progress with the most telling figures first, so
    // a narrow terminal cuts only the byte counts.
    std::string line = s.label;
    line.resize(m_LabelWidth, ' ');
    line += "  " + s.status;
    if (s.hasProgress && s.progress.served > 0) {
        const PortProgress& p = s.progress;
        // Wide enough for every status text a running transfer shows.
        line.resize(std::max(line.size(), m_LabelWidth + 2 + 26), ' ');
        char text[128];
        std::string rate = p.rate > 0 ? FormatRate(p.rate) : (p.percent < 100 ? "stalled" : "");
        std::string eta;
        if (p.rate > 0 && p.eta >= 0) {
            long secs = static_cast<long>(p.eta + 0.5);
            std::snprintf(text, sizeof text, "ETA %ld:%02ld", secs / 60, secs % 60);
            eta = text;
        }
        std::snprintf(text, sizeof text, "  %3d%%  %-12s  %-9s  %llu/%lld bytes", p.percent, rate.c_str(),
                      eta.c_str(), static_cast<unsigned long long>(p.served), static_cast<long long>(p.total));
        line += text;
    }
    // The last column stays free: a line that fills it wraps on some
    // terminals and the cursor movement would then be off by one.
    size_t room = static_cast<size_t>(m_Width - 1);
    if (line.size() > room)
        line.resize(room);
    return line;
}

void CConsole::DrawBoard(bool force)
{
    auto now = std::chrono::steady_clock::now();
    if (!force && m_BoardLines > 0 && now - m_LastDraw < kRedrawInterval)
        return;
    m_LastDraw = now;
    std::string text;
    if (m_BoardLines > 0)
        text += "\033[" + std::to_string(m_BoardLines) + "A";
    for (const Slot& s : m_Slots)
        text += "\r" + BoardLine(s) + "\033[K\n";
    std::fputs(text.c_str(), m_Out);
    std::fflush(m_Out);
    m_BoardLines = static_cast<int>(m_Slots.size());
}
