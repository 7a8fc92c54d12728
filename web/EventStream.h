// Server-Sent Events for the board and for machines that follow the line:
// every state change and every record as its box ends, each with an id
// ("<run>-<n>") so a client that reconnects says where it was
// (Last-Event-ID) and gets what it missed from a bounded replay buffer.
// Progress is no such event: it is coalesced per tick into one frame
// without an id (the latest figures are all a board needs).
//
// CEventStream::Publish: any thread (port threads, short). The rest, and
// every CStreamClient: the HTTP side's I/O thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

class CEventStream {
public:
    // capacity: events kept for clients that reconnect.
    explicit CEventStream(const std::string& runId, size_t capacity = 2048);

    // Adds an event (data: one JSON text); returns its number.
    uint64_t Publish(const std::string& name, const std::string& data);
    uint64_t LastNumber() const;

    // Where a client that sent Last-Event-ID resumes: after is the number
    // after which it gets every event. false when the id is not one this
    // run can resume from (another run's, garbage, or evicted): the client
    // starts afresh from after = now, and reloads the state.
    bool Resume(const std::string& lastEventId, uint64_t& after) const;
    // Appends the frames of the events after `after` to out and moves
    // after on. false when some of them were evicted meanwhile.
    bool Since(uint64_t& after, std::string& out) const;

    // A frame: "id: ...\nevent: name\ndata: ...\n\n" (no id line when
    // id is "").
    static std::string Frame(const std::string& name, const std::string& data, const std::string& id = "");
    // The first frame a client gets: the run, whether it resumed, and how
    // long to wait before a reconnect.
    std::string Hello(bool resumed) const;

private:
    struct Event {
        uint64_t number;
        std::string frame;
    };
    const std::string m_RunId;
    const std::string m_Tag;  // the run's part of every id
    const size_t m_Capacity;
    mutable std::mutex m_Lock;
    std::deque<Event> m_Events;
    uint64_t m_Last = 0;
};

// One connected client: how far it has got and what waits to be written.
// The backlog is bounded: a client that stops reading is dropped, never
// waited for.
class CStreamClient {
public:
    CStreamClient(const CEventStream& stream, uint64_t after, size_t backlogLimit)
        : m_Stream(stream), m_After(after), m_Limit(backlogLimit)
    {
    }
    // Queues the hello, any missed events and a frame of the caller's
    // (progress, a keep-alive); false when the client must be dropped: its
    // backlog passed the limit, or events it had not got were evicted.
    bool Fill(const std::string& extra);
    // Queues text directly (the hello).
    void Queue(const std::string& text) { m_Pending += text; }
    bool HasPending() const { return !m_Pending.empty(); }
    // What to write next; the backlog is empty afterwards.
    std::string Take();
    uint64_t After() const { return m_After; }

private:
    const CEventStream& m_Stream;
    uint64_t m_After;
    const size_t m_Limit;
    std::string m_Pending;
};
