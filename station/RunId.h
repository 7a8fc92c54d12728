// An id for one run of the station, unique without any registry: records
// of two runs appending to one log, or of two stations, are told apart.
#pragma once

#include <string>

// 32 lower-case hex digits, random.
std::string NewRunId();
