// The terminal as one of the station's observers: each event becomes a
// board line, a status line or an error on stderr. Runs on a thread of its
// own behind a CQueuedObserver, so a terminal or pipe that stops taking
// output never holds a port.
#pragma once

#include "Console.h"
#include "Events.h"

class CConsoleObserver : public IStationObserver {
public:
    explicit CConsoleObserver(CConsole& console) : m_Console(console) {}
    void OnEvent(const StationEvent& e) override;

private:
    CConsole& m_Console;
};
