// A serial line for tests: records every byte written, lets the test feed
// the receive queue.
#pragma once

#include "protocol/Frame.h"
#include "serial/SerialLink.h"

#include <cstring>
#include <mutex>
#include <vector>

class TestLink : public CSerialLink {
public:
    TestLink() { m_Connected = 1; }

    int Write(const void* buffer, int count) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        m_Written.insert(m_Written.end(), p, p + count);
        ++m_Writes;
        return count;
    }

    void Feed(const std::vector<unsigned char>& bytes)
    {
        for (unsigned char b : bytes)
            m_QueueRead.Put(b);
        m_QueueRead.NotifyData();
    }
    void FeedFrame(unsigned char tag, unsigned char type, const std::vector<unsigned char>& payload)
    {
        Feed(MakeFrame(tag, type, payload));
    }
    void SetConnected(int c) { m_Connected = c; }
    void SetLost() { m_Lost = true; m_QueueRead.NotifyData(); }

    static std::vector<unsigned char> MakeFrame(unsigned char tag, unsigned char type,
                                                const std::vector<unsigned char>& payload)
    {
        std::vector<unsigned char> out(payload.size() + 8);
        EncodeFrame(tag, type, payload.data(), static_cast<unsigned char>(payload.size()), out.data());
        return out;
    }

    std::vector<unsigned char> Written()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Written;
    }
    int Writes() const { return m_Writes; }

private:
    std::mutex m_Lock;
    std::vector<unsigned char> m_Written;
    int m_Writes = 0;
};
