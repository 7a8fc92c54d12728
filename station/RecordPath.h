// Paths as the records give them: absolute, so records of runs made in
// different folders can be told apart. Links are not resolved (a by-id
// name stays what it says); device names such as COM3 stay as they are.
#pragma once

#include <string>

std::string RecordPath(const std::string& path);
