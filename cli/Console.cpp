#include "Console.h"

#include <algorithm>
#include <ctime>

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

std::string BaseName(const std::string& name)
{
    size_t cut = name.find_last_of("/\\");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::string LocalClock(int64_t unixMs)
{
    std::time_t t = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
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

std::vector<ShortLabel> DistinctLabels(const std::vector<std::string>& names)
{
    std::vector<std::string> base;
    for (const std::string& n : names)
        base.push_back(BaseName(n));
    size_t shortest = std::string::npos;
    for (const std::string& b : base)
        shortest = std::min(shortest, b.size());
    // What all the names share at their start.
    size_t prefix = 0;
    if (base.size() > 1) {
        while (prefix < shortest && std::all_of(base.begin(), base.end(), [&](const std::string& b) {
                   return b[prefix] == base[0][prefix];
               }))
            ++prefix;
    }
    std::vector<ShortLabel> out;
    for (const std::string& b : base)
        out.push_back(ShortLabel{prefix > 3 && shortest > 16 ? "~" + b.substr(prefix) : b, 0});
    // Each keeps the shortest start that no other label shares.
    for (ShortLabel& l : out) {
        size_t keep = std::min<size_t>(l.text.size(), 4);
        for (const ShortLabel& o : out) {
            if (&o == &l)
                continue;
            size_t same = 0;
            while (same < l.text.size() && same < o.text.size() && l.text[same] == o.text[same])
                ++same;
            keep = std::max(keep, std::min(l.text.size(), same + 1));
        }
        l.keep = keep;
    }
    return out;
}

std::string LastBoxText(const ShiftTally& tally, Tone& tone)
{
    char text[64];
    switch (tally.lastOutcome) {
    case BoxOutcome::Completed:
        if (tally.lastPartial) {
            tone = Tone::Warn;
            std::snprintf(text, sizeof text, "last: completed, asked %.0f %%", tally.lastAskedPercent);
            return text;
        }
        tone = Tone::Good;
        return "last: completed";
    case BoxOutcome::Restarted:
        tone = Tone::Warn;
        return "last: restarted";
    case BoxOutcome::Interrupted:
        tone = Tone::Warn;
        return "last: interrupted";
    case BoxOutcome::Failed:
        break;
    }
    tone = Tone::Bad;
    return "last: FAILED " + tally.last;
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
        s.name = label;
        m_Slots.push_back(std::move(s));
    }
    Relabel();
}

void CConsole::Relabel()
{
    m_LabelWidth = m_ShortWidth = 0;
    std::vector<std::string> names;
    for (const Slot& s : m_Slots) {
        m_LabelWidth = std::max(m_LabelWidth, s.label.size());
        names.push_back(s.name);
    }
    m_Short.clear();
    m_ShortKeep.clear();
    m_ShortUnique = true;
    for (const ShortLabel& l : DistinctLabels(names)) {
        m_Short.push_back("[" + l.text + "]");
        m_ShortKeep.push_back(l.keep + 1);
    }
    for (size_t i = 0; i < m_Short.size(); ++i) {
        m_ShortWidth = std::max(m_ShortWidth, m_Short[i].size());
        for (size_t j = 0; j < i; ++j)
            if (m_Short[i] == m_Short[j])
                m_ShortUnique = false;
    }
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

std::string CConsole::BoardLine(size_t slot, size_t room, bool shortLabels) const
{
    const Slot& s = m_Slots[slot];
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
        if (s.tally.restarted > 0)
            counts.text += "  reset " + std::to_string(s.tally.restarted);
        if (!s.tally.last.empty())
            last.text = LastBoxText(s.tally, last.tone);
    }
    // A last box that failed or did not fully succeed is never dropped: the
    // waiting port's status gives way to it instead.
    const bool failedLast = last.tone != Tone::Good && !last.text.empty();
    std::vector<Field*> optional = {&bytes, &eta, &rate, &counts};
    if (!failedLast)
        optional.push_back(&last);
    std::string status = s.status;

    struct Composed {
        std::string plain, painted;
    };
    auto compose = [&](const std::string& label) {
        const std::vector<Field> tail = {pct, rate, eta, bytes, counts, last};
        const std::string tailPlain = Join(tail);
        const std::string head = label + "  " + status;
        std::string pad;
        if (!tailPlain.empty()) {
            size_t column = label.size() + 2 + kStatusColumn;
            if (head.size() < column && column + 2 + tailPlain.size() <= room)
                pad.assign(column - head.size(), ' ');
        }
        Composed c;
        c.plain = head + pad + (tailPlain.empty() ? "" : "  " + tailPlain);
        c.painted = label + "  " + Paint(status, s.tone) + pad;
        for (const Field& f : tail)
            if (!f.text.empty())
                c.painted += "  " + Paint(f.text, f.tone);
        return c;
    };

    const std::string& shortLabel = m_Short[slot];
    std::string label = shortLabels ? shortLabel : s.label;
    label.resize(std::max(shortLabels ? m_ShortWidth : m_LabelWidth, label.size()), ' ');
    Composed c = compose(label);
    for (Field* f : optional) {
        if (c.plain.size() <= room)
            break;
        f->text.clear();
        c = compose(label);
    }
    if (c.plain.size() > room) {
        // Still too wide: the port's short name, then as much of it as fits,
        // cut from its end but never into what tells it from the others.
        label = shortLabel;
        c = compose(label);
        const size_t keep = m_ShortKeep[slot];
        if (c.plain.size() > room && label.size() > keep + 1) {
            size_t over = c.plain.size() - room;
            label = label.substr(0, std::max(keep, label.size() > over + 1 ? label.size() - over - 1 : 0)) + "]";
            c = compose(label);
        }
    }
    if (c.plain.size() > room && failedLast && status.size() > 9) {
        size_t over = c.plain.size() - room;
        status = status.substr(0, std::max<size_t>(8, status.size() > over + 1 ? status.size() - over - 1 : 0)) + "~";
        c = compose(label);
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
    for (size_t i = 0; i < m_Slots.size(); ++i)
        text += "\r" + BoardLine(i, room, shortLabels) + "\033[K\n";
    std::fputs(text.c_str(), m_Out);
    std::fflush(m_Out);
    m_BoardLines = static_cast<int>(m_Slots.size());
}
