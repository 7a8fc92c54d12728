// Every line of a run: the one line (a pseudo-terminal or the --port
// device), or the --lines pseudo-terminals of a whole production line in one
// process. Each line is announced on stdout ("PTY <slave>", in line order)
// and linked where asked; the links go again when the object does. With
// --lines every line plays its boxes on a thread of its own that paces it
// by sleeping to each byte's deadline, and the main thread says what the
// whole run did once every line has ended.
#pragma once

#include "BoxLine.h"
#include "BoxOptions.h"

#include <memory>
#include <string>
#include <vector>

class CBoxLines {
public:
    CBoxLines() = default;
    ~CBoxLines();
    CBoxLines(const CBoxLines&) = delete;
    CBoxLines& operator=(const CBoxLines&) = delete;

    // Opens and announces every line; kGoOn, or the exit code after a
    // reported failure.
    int Open(const BoxOptions& options);
    // Plays every line to its end and prints the results; the exit code.
    int Play(const BoxOptions& options, const std::vector<unsigned char>& expected);

private:
    bool MakeLink(const std::string& link, const std::string& target);
    int PlayOne(const BoxOptions& options, const std::vector<unsigned char>& expected);
    int PlayMany(const BoxOptions& options, const std::vector<unsigned char>& expected);

    std::vector<std::unique_ptr<CBoxLine>> m_Lines;
    std::vector<std::string> m_Links;  // made by this run, removed at the end
};
