// What the user sees while one or more ports are served: status texts,
// progress and, in a shift, the tallies per port; errors on stderr as
// "zurivavave-cli: [port] ...". Called from every port's threads, so each
// call is whole under one lock. Every line fits the terminal as it is now
// (a wrapped line would break the redraw): the least useful fields go
// first, never the percent or the status.
#pragma once

#include "Events.h"
#include "RateWindow.h"
#include "Tally.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Names of ports short enough for a narrow board, each still telling its
// port from the others: the last part of the path, and where those share a
// start (by-id names of one make of adapter), "~" and the rest; keep: how
// many leading characters tell it apart.
struct ShortLabel {
    std::string text;
    size_t keep = 0;
};
std::vector<ShortLabel> DistinctLabels(const std::vector<std::string>& names);
// The board's word on a port's last box: "last: completed", "last: FAILED
// size_over", "last: completed, asked 25 %"; tone Good, Bad or Warn.
std::string LastBoxText(const ShiftTally& tally, Tone& tone);
// The progress fields, most telling first; width 0 = no limit. Drops the
// byte counts, then the time left, then the rate until it fits.
std::string FormatProgress(const PortProgress& p, size_t width = 0);

class CConsole {
public:
    enum class Mode {
        // A line per status text and a progress line every 10 %; with several
        // ports every line starts with "[port] ". For pipes and files.
        Lines,
        // One port on a terminal: status texts scroll, one progress line is
        // rewritten in place.
        Updating,
        // A terminal with several ports, or a shift: one line per port,
        // redrawn in place with ANSI cursor movement.
        Board,
    };

    struct Setup {
        std::FILE* out = stdout;   // status and progress
        std::FILE* err = stderr;   // errors
        Mode mode = Mode::Lines;
        std::vector<std::string> labels;  // one per port (the port names)
        int width = 80;            // terminal columns
        bool colour = false;       // results in colour (a terminal, NO_COLOR unset)
        bool quiet = false;        // only errors and what Print says
        bool shift = false;        // show the tallies
        bool errToTerminal = false;  // err is the terminal the board is on
    };

    explicit CConsole(const Setup& setup);

    Mode GetMode() const { return m_Mode; }
    std::FILE* Stream() const { return m_Out; }
    // Columns of the terminal, 0 when the output is no terminal.
    size_t Width() const { return m_Mode == Mode::Lines ? 0 : static_cast<size_t>(m_Width - 1); }

    // Asked before each drawing whether the terminal changed size; true with
    // the new width.
    void SetWidthSource(std::function<bool(int& width)> source) { m_WidthSource = std::move(source); }

    // A port that joined the station while it runs: a line of its own.
    void AddPort(int slot, const std::string& name);
    // A new status text for a port; tone colours it.
    void Status(int slot, const std::string& text, Tone tone = Tone::Plain);
    // A port's state for the board only: no line of its own elsewhere (an
    // error that says it already goes to stderr).
    void SetState(int slot, const std::string& text, Tone tone);
    // A port's progress; drawn at most every 100 ms on a terminal unless
    // forced.
    void Progress(int slot, const PortProgress& p, bool force);
    // A port's box ended: its figures are the record's, with no rate or
    // time left.
    void EndProgress(int slot, const BoxRecord& record);
    // A new box on the port: no progress of its own yet.
    void ClearProgress(int slot);
    // A shift's tallies for a port.
    void Tally(int slot, const ShiftTally& tally);
    // The port went away at sinceMs (wall clock): no progress, and since
    // when it has been waiting.
    void Lost(int slot, int64_t sinceMs, const std::string& text);
    // A line of its own for a port (start, statistics); the board has no
    // room for it.
    void Note(int slot, const std::string& text);
    // An error: to stderr as "zurivavave-cli: [port] text" (no port when
    // slot < 0 or only one is served); the board is redrawn below it.
    void Error(int slot, const std::string& text);
    // Leaves the board (last drawing, cursor below it); further output is
    // plain text through Print.
    void Close();
    // Summary lines: shown even when quiet.
    void Print(const std::string& text, Tone tone = Tone::Plain);

private:
    struct Slot {
        std::string name;   // the port
        std::string label;  // "[port]"
        std::string status;
        Tone tone = Tone::Plain;
        PortProgress progress;
        bool hasProgress = false;
        bool progressOver = false;
        ShiftTally tally;
        int nextDecile = 10;
    };

    // Callers hold m_Lock.
    void Relabel();
    void Line(int slot, const std::string& text, Tone tone);
    void WipeProgressLine();
    void DrawBoard(bool force);
    std::string BoardLine(size_t slot, size_t room, bool shortLabels) const;
    void DrawUpdating(bool force);
    void FollowWidth();
    std::string Paint(const std::string& text, Tone tone) const;

    std::FILE* m_Out;
    std::FILE* m_Err;
    Mode m_Mode;
    int m_Width;
    bool m_Colour;
    bool m_Quiet;
    bool m_Shift;
    bool m_ErrOnBoard;
    bool m_Prefix;
    size_t m_LabelWidth = 0;
    // The last part of each port's name, when no two ports share it: what
    // a board too narrow for the whole names shows.
    bool m_ShortUnique = false;
    size_t m_ShortWidth = 0;
    std::vector<std::string> m_Short;  // per port: its short name, "[...]"
    std::vector<size_t> m_ShortKeep;   // per port: leading characters never cut
    std::mutex m_Lock;
    std::vector<Slot> m_Slots;
    std::function<bool(int&)> m_WidthSource;
    bool m_Closed = false;
    // Board: lines drawn so far (0 before the first drawing).
    int m_BoardLines = 0;
    // Updating: the progress line is on screen.
    bool m_ProgressShown = false;
    std::chrono::steady_clock::time_point m_LastDraw{};
};
