// The frame on the serial line, both directions:
//   "Kuvo" | tag | type | len | payload[len] | checksum
// checksum = (tag + type + len + payload bytes) mod 256; the magic is not
// summed. The part after the magic is the body: len + 4 bytes, at most 259.
#pragma once

#include <cstdint>

class CByteQueue;
class CSerialLink;

enum FrameType : unsigned char {
    FT_HELLO = 1,
    FT_HELLO_ACK = 2,
    FT_DATA_REQ = 4,
    FT_DATA = 5,
    FT_DONE = 6,
    FT_TIME_REQ = 16,
    FT_TIME = 17,
};

enum {
    kFrameMagicSize = 4,
    kFrameHeaderSize = 3,      // tag, type, len
    kFrameMaxPayload = 255,
    kFrameBodyBufferSize = 260 // receive and reply buffers of the worker
};

extern const unsigned char kFrameMagic[kFrameMagicSize];  // "Kuvo"

// One frame as a structure, for code that builds or inspects frames outside
// the worker's hot path (simulator, tracing, tests).
struct Frame {
    unsigned char tag = 0;
    unsigned char type = 0;
    unsigned char len = 0;
    unsigned char payload[kFrameMaxPayload] = {};
    unsigned char checksum = 0;
};

// 8-bit sum of tag, type, len and the len payload bytes of a body.
unsigned char FrameChecksum(const unsigned char* body);

// Writes magic, body (tag, type, len, payload) and checksum in three writes.
// Returns the result of the last write (bytes, 0 or -1).
int SendFrame(CSerialLink& port, const unsigned char* body);

// Says whether ParseFrame may go on waiting for bytes that have not arrived
// yet. Without one, ParseFrame never waits: a frame that is not complete in
// the queue is returned as -1.
class IParseWait {
public:
    virtual ~IParseWait() = default;
    // false ends the wait (transfer stopped, port closed).
    virtual bool KeepWaiting() = 0;
    // Sleeps until more bytes may be there; called only while the queue is
    // empty. The default sleeps on the queue's data signal for a short while.
    virtual void WaitForBytes(CByteQueue& queue);
};

enum { kParseOk = 0, kParseNoFrame = -1, kParseBadChecksum = -2 };

// Takes one frame out of the queue into body (260 bytes: tag, type, len,
// payload, checksum). 0: frame taken, checksum right; -1: no complete magic
// among the bytes examined (or the wait was ended); -2: frame taken,
// checksum wrong.
//
// Bytes between matching magic bytes are skipped. Once a magic byte has
// matched, the rest of the magic and the body are waited for (through wait)
// rather than dropped, so a frame that reaches the queue in pieces is not
// lost.
int ParseFrame(CByteQueue& queue, unsigned char* body, IParseWait* wait);

// Builds a complete wire frame (magic .. checksum) into out, which must hold
// len + 8 bytes; returns that length. For the simulator and tests.
int EncodeFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                unsigned char len, unsigned char* out);
