// The terminal the human output goes to and the signals that end a run.
// One implementation file per platform: Terminal_posix.cpp (termios
// window size, SIGINT/SIGTERM/SIGHUP/SIGWINCH), Terminal_win32.cpp (the
// console, Ctrl+C and Ctrl+Break).
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

bool IsTerminal(std::FILE* f);
// Whether the terminal behind f follows ANSI cursor movement (switched on
// where the console needs it).
bool PrepareTerminal(std::FILE* f);
// The terminal's size now; 0 when unknown.
void TerminalSize(std::FILE* f, int& width, int& height);

// Ctrl+C, SIGTERM and SIGHUP (the terminal or SSH session went away) set
// the interrupt flag; a change of the terminal's size sets the resize flag.
// Set by a signal handler on whichever thread the signal lands and read by
// every port's thread: lock-free atomics.
void InstallSignalHandlers();
const std::atomic<int>& InterruptFlag();
// True once after each change of the terminal's size.
bool TakeResized();

// The station's host name, for the records ("" if unknown).
std::string HostName();
