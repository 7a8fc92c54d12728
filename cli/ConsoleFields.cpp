#include "ConsoleFields.h"

#include "Console.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace console {

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

}  // namespace console

using namespace console;

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
