// Requests the Windows serial tests send to the pty peer, and the byte
// stream of its bursts. Shared by both sides; no platform header.
#pragma once

#include <cstdint>

enum PeerRequest : unsigned char {
    kPeerEcho = 0x60,
    kPeerEchoReply = 0x61,
    kPeerSpeed = 0x62,
    kPeerSpeedReply = 0x63,
    kPeerBurst = 0x64,
    kPeerHangUp = 0x66,
    // Stop reading for the u16 LE milliseconds of the payload, after the
    // reply: the host's writes then fill the line and stay pending.
    kPeerStall = 0x68,
    kPeerStallReply = 0x69,
    // Let go of the peer's own end of the line, so that from now on it
    // sees every moment the host has the port really closed; then count
    // those moments.
    kPeerWatchRelease = 0x6A,
    kPeerWatchReply = 0x6B,
    kPeerReleases = 0x6C,
    kPeerReleasesReply = 0x6D,  // payload: u32 LE count since the watch began
};

// Byte i of a burst: a xorshift stream, so that any run of a dozen bytes
// tells where in the burst it came from and a lost stretch cannot hide.
inline unsigned char PeerStreamByte(uint32_t i)
{
    uint32_t x = i * 2654435761u + 0x9E3779B9u;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return static_cast<unsigned char>(x);
}
