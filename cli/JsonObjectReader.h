// Reads one line of a record log back: one JSON object whose values the
// report needs are strings and numbers. Strict about syntax (RFC 8259), so
// a line that a real JSON reader would refuse is refused here too, with
// where and why. Objects and arrays inside it are checked and passed over
// without recursion, so no line, however deeply nested, can exhaust the
// stack.
#pragma once

#include <map>
#include <string>

struct JsonField {
    enum class Kind { String, Number, True, False, Null, Nested } kind = Kind::Null;
    std::string text;   // a string's value (UTF-8), a number as written
    double number = 0;  // a number's value
};

// Reads text as one JSON object into fields (key -> value). false with why
// ("expected ':' after a key at column 17") when it is not one; a key given
// twice is refused too, since a reader could not tell which one is meant.
bool ReadJsonObject(const std::string& text, std::map<std::string, JsonField>& fields, std::string& why);
