// What a path is on disk, by identity rather than by name: device and
// inode on POSIX, volume serial number and file index on Windows. Two names
// for one file (a hard link, a symbolic link, ./fw.wzb and fw.wzb) compare
// equal, so an output can be refused when it is the served file or a port.
// One implementation file per platform: FileIdentity_posix.cpp,
// FileIdentity_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct FileId {
    bool valid = false;
    uint64_t device = 0;  // st_dev, or the volume serial number
    uint64_t index = 0;   // st_ino, or the file index
    bool regular = false;
    bool character = false;  // a character device (a terminal, a serial port)
    bool fifo = false;       // a named pipe (POSIX)
    long long size = -1;     // bytes, for a regular file
    uint64_t links = 1;      // names it has; 0 once removed while open

    bool Same(const FileId& o) const { return valid && o.valid && device == o.device && index == o.index; }
};

// The file path names, following links; invalid when there is none.
FileId IdentityOf(const std::string& path);
// The file behind an open stream.
FileId IdentityOf(std::FILE* f);
// For a path that does not exist yet: the directory it would be created in
// and its last component, so two such outputs can still be told apart or
// found to be one. False when the directory does not exist either.
bool FutureIdentityOf(const std::string& path, FileId& directory, std::string& name);
// A name the platform gives to a device whatever the folder (CON, NUL,
// COM1, LPT1 ... on Windows); always false on POSIX.
bool IsReservedDeviceName(const std::string& path);

// Opens path (UTF-8; wide on Windows, so any name opens) with a mode of
// fopen. nullptr with errno set when it cannot be opened.
std::FILE* OpenFile(const std::string& path, const char* mode);
// Opens path for writing without truncating it (created if missing), so
// nothing is lost before the caller has checked what was opened; append
// puts every write at the end. Never waits: a FIFO stays non-blocking, and
// one with no reader is an error at once. nullptr with the reason in error.
std::FILE* OpenForWriting(const std::string& path, bool append, std::string& error);
// Cuts a stream opened by OpenForWriting to length bytes (0 empties
// it); false with the reason.
bool TruncateOpened(std::FILE* f, long long length, std::string& error);
// Writes the stream's buffer and then the file's data to the disk itself
// (fsync, or FlushFileBuffers on Windows); false with the reason.
bool SyncToDisk(std::FILE* f, std::string& error);
// Whether a new file could be made in folder dir (the log's folder, before
// a shift); false with the reason. Creates nothing that outlives the call.
bool FolderWritable(const std::string& dir, std::string& why);
