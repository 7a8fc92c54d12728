// An independent, deliberately plain reading of a byte stream into frames,
// for the fuzz targets to hold the real parser and worker against.
//
// The receiver looks for the four magic bytes in order, skipping anything
// between them; then it takes tag, type and len and len + 4 body bytes in
// all, the last being the checksum. A stream that ends inside a magic or a
// body yields no frame for that part. How the bytes were split into
// arrivals does not change the frames found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ref {

struct Frame {
    bool checksumOk = false;
    std::vector<unsigned char> body;  // tag, type, len, payload, checksum
    size_t end = 0;                   // stream offset just past the frame
};

inline std::vector<Frame> Scan(const unsigned char* data, size_t size)
{
    static const unsigned char magic[4] = {0x4B, 0x75, 0x76, 0x6F};  // "Kuvo"
    std::vector<Frame> frames;
    size_t pos = 0;
    for (;;) {
        int m = 0;
        while (m < 4 && pos < size) {
            if (data[pos++] == magic[m])
                ++m;
        }
        if (m < 4)
            return frames;
        Frame f;
        while (pos < size && (f.body.size() < 4 || f.body.size() < size_t(f.body[2]) + 4))
            f.body.push_back(data[pos++]);
        if (f.body.size() < 4 || f.body.size() < size_t(f.body[2]) + 4)
            return frames;
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < f.body.size(); ++i)
            sum += f.body[i];
        f.checksumOk = (sum & 0xFF) == f.body.back();
        f.end = pos;
        frames.push_back(f);
    }
}

// A whole wire frame: magic, tag, type, len, payload, checksum.
inline std::vector<unsigned char> Wire(unsigned char tag, unsigned char type, const unsigned char* payload,
                                       size_t len)
{
    std::vector<unsigned char> out = {0x4B, 0x75, 0x76, 0x6F, tag, type, static_cast<unsigned char>(len)};
    unsigned sum = tag + type + static_cast<unsigned>(len);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(payload[i]);
        sum += payload[i];
    }
    out.push_back(static_cast<unsigned char>(sum));
    return out;
}

}  // namespace ref
