#include "Console.h"
#include "ConsoleFields.h"

#include <algorithm>

using namespace console;

CConsole::CConsole(const Setup& setup)
    : m_Out(setup.out),
      m_Err(setup.err),
      m_Mode(setup.mode),
      m_Width(setup.width),
      m_Colour(setup.colour),
      m_Quiet(setup.quiet),
      m_Shift(setup.shift),
      m_ErrOnBoard(setup.errToTerminal),
      m_Prefix(setup.labels.size() > 1)
{
    if (m_Width <= 0)
        m_Width = 80;
    m_Width = std::max(m_Width, 10);
    for (const auto& label : setup.labels) {
        Slot s;
        s.label = "[" + label + "]";
        s.name = label;
        m_Slots.push_back(std::move(s));
    }
    Relabel();
}

void CConsole::AddPort(int slot, const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < static_cast<int>(m_Slots.size()))
        return;
    Slot s;
    s.label = "[" + name + "]";
    s.name = name;
    m_Slots.push_back(std::move(s));
    m_Prefix = m_Slots.size() > 1;
    Relabel();
    if (m_Mode == Mode::Board && !m_Closed && !m_Quiet)
        DrawBoard(true);
}

std::string CConsole::Paint(const std::string& text, Tone tone) const
{
    if (!m_Colour || tone == Tone::Plain || text.empty())
        return text;
    const char* code = tone == Tone::Good ? "\033[32m" : tone == Tone::Bad ? "\033[31m" : "\033[33m";
    return code + text + "\033[0m";
}

void CConsole::FollowWidth()
{
    int width = 0;
    if (m_WidthSource && m_WidthSource(width) && width > 0)
        m_Width = std::max(width, 10);
}

void CConsole::Status(int slot, const std::string& text, Tone tone)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    m_Slots[slot].status = text;
    m_Slots[slot].tone = tone;
    if (m_Quiet)
        return;
    if (m_Mode == Mode::Board && !m_Closed)
        DrawBoard(true);
    else
        Line(slot, text, tone);
}

void CConsole::SetState(int slot, const std::string& text, Tone tone)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    m_Slots[slot].status = text;
    m_Slots[slot].tone = tone;
    if (m_Mode == Mode::Board && !m_Closed && !m_Quiet)
        DrawBoard(true);
}

void CConsole::Progress(int slot, const PortProgress& p, bool force)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    Slot& s = m_Slots[slot];
    if (!s.hasProgress || s.progressOver)
        s.nextDecile = 10;
    s.progress = p;
    s.hasProgress = true;
    s.progressOver = false;
    if (m_Closed || m_Quiet)
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
            Line(slot, "Progress " + FormatProgress(p), Tone::Plain);
        }
        break;
    }
}

void CConsole::EndProgress(int slot, const BoxRecord& record)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    Slot& s = m_Slots[slot];
    // The record's figures, so the board and the summary say the same.
    s.progress.requested = record.requested;
    s.progress.addressable = record.addressable;
    s.progress.served = record.served;
    s.progress.percent = static_cast<int>(RequestedPercent(record));
    s.hasProgress = record.served > 0;
    s.progress.rate = 0;
    s.progress.eta = -1;
    s.progressOver = true;
    if (m_Closed || m_Quiet)
        return;
    if (m_Mode == Mode::Updating && s.hasProgress && s.progress.served > 0) {
        // The last drawing stays as the record of the transfer.
        FollowWidth();
        std::string line = FormatProgress(s.progress, static_cast<size_t>(m_Width - 1));
        line.resize(static_cast<size_t>(m_Width - 1), ' ');
        std::fprintf(m_Out, "\r%s\n", line.c_str());
        std::fflush(m_Out);
        m_ProgressShown = false;
    } else if (m_Mode == Mode::Board) {
        DrawBoard(true);
    }
}

void CConsole::ClearProgress(int slot)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    m_Slots[slot].hasProgress = false;
    m_Slots[slot].progress = PortProgress();
}

void CConsole::Lost(int slot, int64_t sinceMs, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    Slot& s = m_Slots[slot];
    s.hasProgress = false;
    s.progress = PortProgress();
    s.status = text + " (since " + LocalClock(sinceMs) + ")";
    s.tone = Tone::Warn;
    if (m_Quiet)
        return;
    if (m_Mode == Mode::Board && !m_Closed)
        DrawBoard(true);
    else
        Line(slot, s.status, s.tone);
}

void CConsole::Tally(int slot, const ShiftTally& tally)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    m_Slots[slot].tally = tally;
    if (m_Mode == Mode::Board && !m_Closed && !m_Quiet)
        DrawBoard(true);
}

void CConsole::Note(int slot, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()) || m_Quiet)
        return;
    if (m_Mode == Mode::Board && !m_Closed)
        return;
    Line(slot, text, Tone::Plain);
}

void CConsole::Error(int slot, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    std::string line = "zurivavave-cli: ";
    if (m_Prefix && slot >= 0 && slot < static_cast<int>(m_Slots.size()))
        line += m_Slots[slot].label + " ";
    line += text;
    const bool onBoard = m_Mode == Mode::Board && !m_Closed && m_ErrOnBoard && m_BoardLines > 0 && !m_Quiet;
    std::fflush(m_Out);
    if (onBoard) {
        // Up to the board's first line, clear it all, say it, draw again.
        std::fprintf(m_Out, "\033[%dA\r\033[J", m_BoardLines);
        std::fflush(m_Out);
        m_BoardLines = 0;
    } else if (m_ErrOnBoard && m_ProgressShown) {
        WipeProgressLine();
    }
    std::fprintf(m_Err, "%s\n", line.c_str());
    std::fflush(m_Err);
    if (onBoard)
        DrawBoard(true);
}

void CConsole::Close()
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Closed)
        return;
    if (m_Mode == Mode::Board && !m_Quiet)
        DrawBoard(true);
    if (m_Mode == Mode::Updating && m_ProgressShown) {
        std::fputc('\n', m_Out);
        m_ProgressShown = false;
    }
    m_Closed = true;
    std::fflush(m_Out);
}

void CConsole::Print(const std::string& text, Tone tone)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_ProgressShown)
        WipeProgressLine();
    std::fprintf(m_Out, "%s\n", Paint(text, tone).c_str());
    std::fflush(m_Out);
}

void CConsole::WipeProgressLine()
{
    std::fprintf(m_Out, "\r%s\r", std::string(static_cast<size_t>(m_Width - 1), ' ').c_str());
    m_ProgressShown = false;
}

void CConsole::Line(int slot, const std::string& text, Tone tone)
{
    if (m_ProgressShown)
        WipeProgressLine();  // drawn again below the text by the next Progress
    if (m_Prefix && slot >= 0)
        std::fprintf(m_Out, "%s %s\n", m_Slots[slot].label.c_str(), Paint(text, tone).c_str());
    else
        std::fprintf(m_Out, "%s\n", Paint(text, tone).c_str());
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
    FollowWidth();
    // The last column stays free: a line that fills it wraps on some
    // terminals.
    const size_t room = static_cast<size_t>(m_Width - 1);
    std::string line = FormatProgress(s.progress, room);
    line.resize(room, ' ');
    std::fprintf(m_Out, "\r%s", line.c_str());
    std::fflush(m_Out);
    m_ProgressShown = true;
}

