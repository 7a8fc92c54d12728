#include "ConsoleObserver.h"

void CConsoleObserver::OnEvent(const StationEvent& e)
{
    using Kind = StationEvent::Kind;
    switch (e.kind) {
    case Kind::Status:
        if (e.boardOnly)
            m_Console.SetState(e.slot, e.text, e.tone);
        else
            m_Console.Status(e.slot, e.text, e.tone);
        break;
    case Kind::Progress: m_Console.Progress(e.slot, e.progress, e.force); break;
    case Kind::BoxWaiting: m_Console.ClearProgress(e.slot); break;
    case Kind::BoxEnded:
        if (e.record)
            m_Console.EndProgress(e.slot, *e.record);
        m_Console.Tally(e.slot, e.tally);
        break;
    case Kind::PortLost: m_Console.Lost(e.slot, e.sinceMs, e.text); break;
    case Kind::PortBack: break;  // the next box's status says it
    case Kind::Note: m_Console.Note(e.slot, e.text); break;
    case Kind::Error: m_Console.Error(e.slot, e.text); break;
    case Kind::Done: m_Console.Status(e.slot, e.text, Tone::Plain); break;
    case Kind::PortAdded: m_Console.AddPort(e.slot, e.port); break;
    case Kind::SetAside:
        m_Console.ClearProgress(e.slot);
        m_Console.Status(e.slot, e.text, Tone::Bad);
        break;
    case Kind::Returned: m_Console.Status(e.slot, e.text, Tone::Plain); break;
    }
}
