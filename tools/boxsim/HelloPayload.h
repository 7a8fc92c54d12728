// What a box says in its greeting (--hello-payload): text, or bytes in hex,
// with counters that change from box to box, so a line of boxes can name a
// serial number each as real boxes name their model, serial or loader.
// Parsed once at start; Expand() only reads, from any line's thread.
#pragma once

#include <string>
#include <vector>

// Where a box stands in the run: its line (from 0), its number on that
// line (from 1) and its number in the whole run (from 1).
struct HelloCounters {
    long long line = 0;
    long long box = 1;
    long long serial = 1;
};

class CHelloPayload {
public:
    // The greeting of a box given no --hello-payload: "BOX" and a 1.
    CHelloPayload();

    // "hex:4b 75 {box:2}", "text:...", or text without a prefix; false with
    // error set when given cannot be read.
    bool Parse(const std::string& given, std::string& error);
    // The payload of the box at c.
    std::vector<unsigned char> Expand(const HelloCounters& c) const;
    // false with error set when a counter up to most would not fit its
    // width in hex, or the payload would pass the frame's 255 bytes.
    bool Fits(const HelloCounters& most, std::string& error) const;

private:
    enum Counter { kNone, kLine, kBox, kSerial };
    struct Piece {
        std::vector<unsigned char> bytes;  // literal bytes, when counter is kNone
        Counter counter = kNone;
        int width = 0;  // text: digits at least (0: as many as it takes); hex: bytes
    };
    bool ParseCounter(const std::string& inside, Piece& piece, std::string& error) const;
    bool AddHexBytes(const std::string& text, std::string& error);

    bool m_Hex = false;
    std::vector<Piece> m_Pieces;
};
