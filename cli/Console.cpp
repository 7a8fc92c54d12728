#include "Console.h"

#include <algorithm>

namespace {

const auto kRedrawInterval = std::chrono::milliseconds(100);
// Status texts of a running transfer fit in this; the progress lines up.
const size_t kStatusColumn = 26;

struct Field {
    std::string text;
    Tone tone = Tone::Plain;
};

std::string Join(const std::vector<Field>& fields)
{
    std::string out;
    for (const Field& f : fields) {
        if (f.text.empty())
            continue;
        if (!out.empty())
            out += "  ";
        out += f.text;
    }
    return out;
}

std::string BaseName(const std::string& label)
{
    // "[/dev/ttyUSB0]" -> "[ttyUSB0]"
    size_t cut = label.find_last_of("/\\");
    if (cut == std::string::npos || label.size() < 2)
        return label;
    return "[" + label.substr(cut + 1);
}

std::string Eta(double seconds)
{
    long secs = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "ETA %ld:%02ld", secs / 60, secs % 60);
    return text;
}

}  // namespace

namespace {

// The progress figures of a port; over: its box has ended, so there is no
// rate, time left or stall to show.
struct ProgressFields {
    Field pct, bytes, rate, eta;
};

ProgressFields FieldsOf(const PortProgress& p, bool over)
{
    ProgressFields f;
    char text[96];
    std::snprintf(text, sizeof text, "%3d%%", p.percent);
    f.pct.text = text;
    std::snprintf(text, sizeof text, "%llu/%lld bytes", static_cast<unsigned long long>(p.requested),
                  static_cast<long long>(p.addressable));
    f.bytes.text = text;
    if (over)
        return f;
    if (p.rate > 0) {
        f.rate.text = FormatRate(p.rate);
        if (p.eta >= 0)
            f.eta.text = Eta(p.eta);
    } else if (p.served > 0 && p.percent < 100) {
        // Nothing went out over the last seconds.
        f.rate = Field{"stalled", Tone::Warn};
    }
    return f;
}

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

std::string FormatProgress(const PortProgress& p, size_t width)
{
    const ProgressFields f = FieldsOf(p, false);
    const std::string pct = f.pct.text, bytes = f.bytes.text, rate = f.rate.text, eta = f.eta.text;
    const std::vector<std::vector<std::string>> tries = {
        {pct, bytes, rate, eta}, {pct, rate, eta}, {pct, rate}, {pct}};
    for (const auto& t : tries) {
        std::vector<Field> fields;
        for (const std::string& s : t)
            fields.push_back(Field{s});
        std::string line = Join(fields);
        if (width == 0 || line.size() <= width)
            return line;
    }
    return pct;
}

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
        m_LabelWidth = std::max(m_LabelWidth, s.label.size());
        m_ShortWidth = std::max(m_ShortWidth, BaseName(s.label).size());
        m_Slots.push_back(std::move(s));
    }
    m_ShortUnique = true;
    for (size_t i = 0; i < m_Slots.size(); ++i)
        for (size_t j = i + 1; j < m_Slots.size(); ++j)
            if (BaseName(m_Slots[i].label) == BaseName(m_Slots[j].label))
                m_ShortUnique = false;
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

void CConsole::EndProgress(int slot)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (slot < 0 || slot >= static_cast<int>(m_Slots.size()))
        return;
    Slot& s = m_Slots[slot];
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

void CConsole::Tally(int slot, const PortTally& tally)
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

std::string CConsole::BoardLine(const Slot& s, size_t room, bool shortLabels) const
{
    // Fields in the order shown; optional ones carry the order in which
    // they give way on a narrow terminal (bytes first, the tallies last).
    const PortProgress& p = s.progress;
    const bool progress = s.hasProgress && p.served > 0;
    Field pct, bytes, rate, eta, counts, last;
    if (progress) {
        const ProgressFields f = FieldsOf(p, s.progressOver);
        pct = f.pct;
        bytes = f.bytes;
        rate = f.rate;
        eta = f.eta;
    }
    char text[96];
    if (m_Shift) {
        std::snprintf(text, sizeof text, "ok %d  failed %d", s.tally.completed, s.tally.failed);
        counts.text = text;
        if (!s.tally.last.empty())
            last.text = "last " + s.tally.last;
    }
    std::vector<Field*> optional = {&bytes, &eta, &rate, &last, &counts};

    struct Composed {
        std::string plain, painted;
    };
    auto compose = [&](const std::string& label) {
        const std::vector<Field> tail = {pct, rate, eta, bytes, counts, last};
        const std::string tailPlain = Join(tail);
        const std::string head = label + "  " + s.status;
        std::string pad;
        if (!tailPlain.empty()) {
            size_t column = label.size() + 2 + kStatusColumn;
            if (head.size() < column && column + 2 + tailPlain.size() <= room)
                pad.assign(column - head.size(), ' ');
        }
        Composed c;
        c.plain = head + pad + (tailPlain.empty() ? "" : "  " + tailPlain);
        c.painted = label + "  " + Paint(s.status, s.tone) + pad;
        for (const Field& f : tail)
            if (!f.text.empty())
                c.painted += "  " + Paint(f.text, f.tone);
        return c;
    };

    std::string label = shortLabels ? BaseName(s.label) : s.label;
    label.resize(std::max(shortLabels ? m_ShortWidth : m_LabelWidth, label.size()), ' ');
    Composed c = compose(label);
    for (Field* f : optional) {
        if (c.plain.size() <= room)
            break;
        f->text.clear();
        c = compose(label);
    }
    if (c.plain.size() > room) {
        // Still too wide: the port's short name, then as much of it as fits.
        label = BaseName(s.label);
        c = compose(label);
        if (c.plain.size() > room && label.size() > 4) {
            size_t over = c.plain.size() - room;
            label = label.substr(0, std::max<size_t>(4, label.size() > over ? label.size() - over : 0));
            c = compose(label);
        }
    }
    if (c.plain.size() > room) {
        // The status alone is wider than the terminal: cut, uncoloured.
        c.plain.resize(room);
        return c.plain;
    }
    return c.painted;
}

void CConsole::DrawBoard(bool force)
{
    auto now = std::chrono::steady_clock::now();
    if (!force && m_BoardLines > 0 && now - m_LastDraw < kRedrawInterval)
        return;
    m_LastDraw = now;
    FollowWidth();
    const size_t room = static_cast<size_t>(m_Width - 1);
    // Whole port names while the status column, percent, rate and time left
    // (and in a shift the tallies) still fit beside them.
    const size_t line = m_LabelWidth + (m_Shift ? 88 : 56);
    const bool shortLabels = m_ShortUnique && m_ShortWidth < m_LabelWidth && line > room;
    std::string text;
    if (m_BoardLines > 0)
        text += "\033[" + std::to_string(m_BoardLines) + "A";
    for (const Slot& s : m_Slots)
        text += "\r" + BoardLine(s, room, shortLabels) + "\033[K\n";
    std::fputs(text.c_str(), m_Out);
    std::fflush(m_Out);
    m_BoardLines = static_cast<int>(m_Slots.size());
}
