// The station beyond its terminal (--http): the board in a browser, the
// snapshot, the event stream, the records and the metrics over HTTP. One of
// the engine's observers: it keeps what it needs from the events (never
// asks a port anything) and serves it from a thread of its own.
//
// OnEvent: any port's thread; it only updates figures in memory under
// short locks and queues stream events, so a client that stops reading,
// or any number of them, holds no port and no record. Start and Finish:
// the run's main thread.
#pragma once

#include "EventStream.h"
#include "Events.h"
#include "HttpServer.h"
#include "ListenAddress.h"
#include "RecordFeed.h"
#include "StationEngine.h"
#include "StationMetrics.h"
#include "StationState.h"
#include "WebRoutes.h"

#include <memory>
#include <string>
#include <vector>

class CStationWeb : public IStationObserver {
public:
    // logPath: the run's --log, "" for none.
    CStationWeb(const std::vector<StationPort>& ports, const RecordContext& context, const std::string& logPath);
    ~CStationWeb() override;

    // Listens; url says where. false with the reason in error.
    bool Start(const ListenAddress& at, std::string& url, std::string& error);
    void OnEvent(const StationEvent& e) override;
    // The run has ended: the streams are told so, then everything closes.
    void Finish();

    const CStationState& State() const { return m_State; }

private:
    CStationState m_State;
    CStationMetrics m_Metrics;
    CRecordFeed m_Records;
    CEventStream m_Events;
    std::unique_ptr<CWebRoutes> m_Routes;  // set by Start, read by the I/O thread after
    std::vector<uint64_t> m_ProgressSeen;  // the server's I/O thread only
    CHttpServer m_Server;
};

// What a run is, for the board's header and tiles.
StationInfo StationInfoOf(const std::vector<StationPort>& ports, const RecordContext& context);
