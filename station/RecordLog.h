// Where the engine makes each record durable before the port takes its
// next box (--log): the engine only appends; opening, checking and keeping
// the file whole are the log's own business.
#pragma once

#include <string>

class IRecordLog {
public:
    virtual ~IRecordLog() = default;
    // One record (a JSON object without newline); false with the reason
    // when it could not be made durable.
    virtual bool Append(const std::string& line, std::string& error) = 0;
    virtual const std::string& Path() const = 0;
};
