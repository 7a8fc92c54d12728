// The files the tool writes (--trace, --log and the per-port trace names)
// are checked against everything it must never write: the served files,
// the ports, its own stdout and stderr, and each other. The check runs
// before any output is opened, and again on what was opened, so no name or
// link can make the tool truncate the firmware, write into a serial line or
// interleave records with its progress lines. /dev/null is always allowed.
#pragma once

#include "FileIdentity.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

struct GuardedPath {
    GuardedPath() = default;
    GuardedPath(std::string p, std::string r, FileId i = FileId()) : path(std::move(p)), role(std::move(r)), id(i) {}

    std::string path;  // may be "" when id names the file
    std::string role;  // "the served file", "the port", "the standard output"
    FileId id;         // when valid, the file itself (an open stream), else path's
};

struct PlannedOutput {
    PlannedOutput(std::string p, std::string o, bool regular = false)
        : path(std::move(p)), option(std::move(o)), regularOnly(regular)
    {
    }

    std::string path;
    std::string option;        // "--trace", "--log"
    bool regularOnly = false;  // the log: a regular file, never a FIFO or device
};

// The process's stdout and stderr as they are now, by identity (whatever
// name reaches them: /dev/stdout, /proc/self/fd/1, a redirection's file);
// none that is /dev/null or closed.
std::vector<GuardedPath> StandardStreamGuards();

// "" when every output may be written; otherwise the reason, naming both
// paths ("--trace fw.wzb is the served file fw.wzb").
std::string CheckOutputs(const std::vector<PlannedOutput>& outputs, const std::vector<GuardedPath>& guarded);

// The same check on an output already opened (closes the gap between the
// check and the open); "" when it is none of the guarded files.
std::string CheckOpened(std::FILE* opened, const PlannedOutput& output, const std::vector<GuardedPath>& guarded);

// Opens an output after the check: without truncating first, checks what
// was opened, then empties it (or, with append, writes at its end).
// nullptr with the reason in error.
std::FILE* OpenCheckedOutput(const PlannedOutput& output, bool append, const std::vector<GuardedPath>& guarded,
                             std::string& error);
