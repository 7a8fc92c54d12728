// JSON text for the records a script reads: strings are escaped as RFC 8259
// asks and are always valid UTF-8, whatever bytes a file or port name holds
// (a byte that is not part of a well-formed UTF-8 sequence becomes U+FFFD).
#pragma once

#include <cstdint>
#include <string>

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// A number with three decimals ("1.250"); a value that is not finite
// (which JSON cannot hold) becomes 0.
std::string JsonSeconds(double seconds);
std::string JsonNumber(uint64_t value);
// Text as valid UTF-8: ill-formed bytes replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);
