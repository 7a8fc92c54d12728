// Who else holds a serial line. TIOCEXCL keeps out other users but not
// root, so the port also takes the advisory flock terminal programs share;
// when either guard turns us away, the other holder's PID makes the refusal
// something an operator can act on.
#pragma once

#include <string>

#include <sys/types.h>

// The advisory lock on an open port. false only when another open file
// holds it; a filesystem that cannot lock at all does not stop the port.
bool LockPort(int fd);
void UnlockPort(int fd);

// The PID of another process that holds the device at path open or locked
// (ownFd, our own descriptor for it, is not counted; -1 when there is none);
// 0 when none can be found. Reads /proc only, never the device, and gives
// up after a bounded number of entries.
pid_t FindPortHolder(const std::string& path, int ownFd);

// "in use by another program (PID 1234)", or without the PID when unknown.
std::string InUseText(pid_t holder);
