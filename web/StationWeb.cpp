#include "StationWeb.h"

#include "Json.h"
#include "RecordPath.h"

StationInfo StationInfoOf(const std::vector<StationPort>& ports, const RecordContext& context)
{
    StationInfo info;
    info.context = context;
    info.startMs = WallNowMs();
    for (const StationPort& p : ports) {
        StationInfo::Port port;
        port.port = RecordPath(p.port);  // as the records name it
        port.byId = p.byId;
        if (p.image) {
            port.image = RecordPath(p.image->Path());
            port.sha256 = p.image->Sha256();
            port.imageSize = p.image->FileSize();
        }
        info.ports.push_back(port);
    }
    return info;
}

CStationWeb::CStationWeb(const std::vector<StationPort>& ports, const RecordContext& context,
                         const std::string& logPath)
    : m_State(StationInfoOf(ports, context)), m_Metrics(m_State), m_Records(logPath), m_Events(context.runId),
      m_Server([this](const WebRequest& r) { return m_Routes->Handle(r); }, m_Events,
               [this] {
                   const std::string j = m_State.ProgressJson(m_ProgressSeen);
                   return j.empty() ? j : CEventStream::Frame("progress", j);
               })
{
}

CStationWeb::~CStationWeb() { m_Server.Stop(std::chrono::milliseconds(0)); }

bool CStationWeb::Start(const ListenAddress& at, std::string& url, std::string& error)
{
    m_Routes.reset(new CWebRoutes(m_State, m_Metrics, m_Records, m_Events, at.loopback));
    return m_Server.Start(at, url, error);
}

void CStationWeb::OnEvent(const StationEvent& e)
{
    using Kind = StationEvent::Kind;
    if (e.kind == Kind::Note)
        return;
    if (e.kind == Kind::Error && e.slot < 0) {
        m_State.SetStationError(e.text);
        m_Events.Publish("station", "{\"error\":" + JsonString(e.text) + "}");
        return;
    }
    const bool changed = m_State.Apply(e);
    if (e.kind == Kind::BoxEnded && e.record) {
        m_Metrics.Apply(e);
        const std::string line = RecordJson(*e.record, m_State.Info().context);
        m_Records.Add(e.record->seq, line);
        m_Events.Publish("record", "{\"slot\":" + std::to_string(e.slot) + ",\"record\":" + line + "}");
    }
    if (changed)
        m_Events.Publish("port", m_State.PortJson(e.slot));
}

void CStationWeb::Finish()
{
    m_State.SetEnded();
    m_Events.Publish("end", "{\"ended\":" + JsonString(IsoUtc(WallNowMs())) + "}");
    m_Server.Stop(std::chrono::milliseconds(1500));
}
