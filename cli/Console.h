// What the user sees while one or more ports are served: status texts and
// progress per port. Called from every port's threads, so each call is
// whole under one lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// One port's progress as shown.
struct PortProgress {
    int percent = 0;         // from the offsets the box asks for
    uint64_t served = 0;     // bytes sent in data replies
    int64_t total = 0;       // file size
    double rate = 0.0;       // bytes per second over the last seconds; 0 = unknown
    double eta = -1.0;       // seconds left; < 0 = unknown
};

// "45%  29580/65536 bytes  120.3 KiB/s  ETA 0:01"
std::string FormatProgress(const PortProgress& p);
// "120.3 KiB/s", "1.20 MiB/s"
std::string FormatRate(double bytesPerSecond);

class CConsole {
public:
    enum class Mode {
        // A line per status text and a progress line every 10 %; with several
        // ports every line starts with "[port] ". For pipes and files.
        Lines,
        // One port on a terminal: status texts scroll, one progress line is
        // rewritten in place.
        Updating,
        // Several ports on a terminal: one line per port, redrawn in place
        // with ANSI cursor movement.
        Board,
    };

    // labels: one per port (the port names); width: terminal columns (board
    // lines are cut to fit, as a wrapped line would break the redraw).
    CConsole(std::FILE* out, Mode mode, std::vector<std::string> labels, int width = 80);

    Mode GetMode() const { return m_Mode; }
    std::FILE* Stream() const { return m_Out; }

    // A new status text for a port.
    void Status(int slot, const std::string& text);
    // A port's progress; drawn at most every 100 ms on a terminal unless
    // forced.
    void Progress(int slot, const PortProgress& p, bool force);
    // A line of its own for a port (start, statistics). The board has no
    // room for it unless onBoard, which makes it the port's status.
    void Note(int slot, const std::string& text, bool onBoard = false);
    // Leaves the board (last drawing, cursor below it); further output is
    // plain text through Print.
    void Close();
    void Print(const std::string& text);

private:
    struct Slot {
        std::string label;
        std::string status;
        PortProgress progress;
        bool hasProgress = false;
        int nextDecile = 10;
    };

    // Callers hold m_Lock.
    void Line(int slot, const std::string& text);
    void DrawBoard(bool force);
    std::string BoardLine(const Slot& s) const;
    void DrawUpdating(bool force);

    std::FILE* m_Out;
    Mode m_Mode;
    int m_Width;
    bool m_Prefix;
    size_t m_LabelWidth = 0;
    std::mutex m_Lock;
    std::vector<Slot> m_Slots;
    bool m_Closed = false;
    // Board: lines drawn so far (0 before the first drawing).
    int m_BoardLines = 0;
    // Updating: the progress line is on screen.
    bool m_ProgressShown = false;
    std::chrono::steady_clock::time_point m_LastDraw{};
};
