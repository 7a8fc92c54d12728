// --json in a shift: each record on stdout as its box ends, one JSON object
// per line, so a test system can follow the line live. Runs behind a
// CQueuedObserver: a reader that stops reading holds neither a port nor
// the records on the disk.
#pragma once

#include "BoxRecord.h"
#include "Events.h"

#include <cstdio>

class CJsonLinesOut : public IStationObserver {
public:
    CJsonLinesOut(std::FILE* out, const RecordContext& context) : m_Out(out), m_Context(context) {}
    void OnEvent(const StationEvent& e) override
    {
        if (e.kind != StationEvent::Kind::BoxEnded || !e.record)
            return;
        const std::string line = RecordJson(*e.record, m_Context) + "\n";
        std::fwrite(line.data(), 1, line.size(), m_Out);
        std::fflush(m_Out);
    }

private:
    std::FILE* m_Out;
    const RecordContext& m_Context;
};
