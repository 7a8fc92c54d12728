// What one port says, as events for the station's observers: the port's
// host and its run speak through this, never to a terminal.
#pragma once

#include "Events.h"

#include <chrono>

class CPortEvents {
public:
    CPortEvents(IStationObserver& sink, int slot) : m_Sink(sink), m_Slot(slot) {}

    int Slot() const { return m_Slot; }

    void Status(const std::string& text, Tone tone, bool boardOnly = false)
    {
        StationEvent e = Make(StationEvent::Kind::Status);
        e.text = text;
        e.tone = tone;
        e.boardOnly = boardOnly;
        m_Sink.OnEvent(e);
    }
    void Progress(const PortProgress& p, bool force)
    {
        StationEvent e = Make(StationEvent::Kind::Progress);
        e.progress = p;
        e.force = force;
        m_Sink.OnEvent(e);
    }
    void BoxWaiting() { m_Sink.OnEvent(Make(StationEvent::Kind::BoxWaiting)); }
    void Note(const std::string& text) { Say(StationEvent::Kind::Note, text); }
    void Error(const std::string& text) { Say(StationEvent::Kind::Error, text); }
    void Done(const std::string& text) { Say(StationEvent::Kind::Done, text); }
    void Lost(int64_t sinceMs, const std::string& text)
    {
        StationEvent e = Make(StationEvent::Kind::PortLost);
        e.sinceMs = sinceMs;
        e.text = text;
        e.tone = Tone::Warn;
        m_Sink.OnEvent(e);
    }
    void Back() { m_Sink.OnEvent(Make(StationEvent::Kind::PortBack)); }
    void SetAside(const std::string& text)
    {
        StationEvent e = Make(StationEvent::Kind::SetAside);
        e.text = text;
        e.tone = Tone::Bad;
        e.sinceMs = NowMs();
        m_Sink.OnEvent(e);
    }
    void Returned(const std::string& text) { Say(StationEvent::Kind::Returned, text); }
    void Added(const std::string& port, const std::string& byId, const std::string& imagePath,
               const std::string& imageSha256, long long imageSize)
    {
        StationEvent e = Make(StationEvent::Kind::PortAdded);
        e.port = port;
        e.byId = byId;
        e.imagePath = imagePath;
        e.imageSha256 = imageSha256;
        e.imageSize = imageSize;
        m_Sink.OnEvent(e);
    }

private:
    static int64_t NowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    StationEvent Make(StationEvent::Kind kind) const
    {
        StationEvent e;
        e.kind = kind;
        e.slot = m_Slot;
        return e;
    }
    void Say(StationEvent::Kind kind, const std::string& text)
    {
        StationEvent e = Make(kind);
        e.text = text;
        m_Sink.OnEvent(e);
    }

    IStationObserver& m_Sink;
    int m_Slot;
};
