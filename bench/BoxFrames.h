// Frames the bench sends as a box, built with the protocol's own encoder,
// and the greeting every host expects first.
#pragma once

#include "BenchUtil.h"

#include <vector>

namespace bench {

std::vector<unsigned char> MakeFrame(unsigned char tag, unsigned char type, const unsigned char* payload,
                                     unsigned char len);
// A request for n bytes from offset.
std::vector<unsigned char> DataRequest(unsigned char tag, long offset, int n);
// Greets until acknowledged: the host flushes the line when it opens the
// port, so the first hello can be lost.
bool Greet(int master, unsigned char tag);
// Wire time of bytes at baud, 10 bit times a byte.
Clock::duration WireTime(long bytes, long baud);

}  // namespace bench
