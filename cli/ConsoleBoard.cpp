#include "Console.h"
#include "ConsoleFields.h"

#include <algorithm>

using namespace console;

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
