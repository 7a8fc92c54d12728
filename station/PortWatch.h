// Tells when adapters may have appeared under the station's port patterns,
// so a shift takes them in without a restart. On Linux the patterns'
// folders (and /dev) are watched with inotify, not polled: a change wakes
// the watch at once. On Windows the registry's COM list is read again at
// most once a second. PortWatch_posix.cpp, PortWatch_win32.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs on the calling thread until done() is true (asked at least once a
// second); calls changed() after anything that may have added a port.
void WatchPortPatterns(const std::vector<std::string>& patterns, const std::function<bool()>& done,
                       const std::function<void()>& changed);

// The folder a pattern's matches live in: the part before the first
// component with a wildcard ("." for a bare name).
std::string PatternFolder(const std::string& pattern);
