#include "PortLock_posix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace {

// Enough for any station PC's /proc; a bound so a huge host cannot make an
// Open that is failing anyway take long.
constexpr int kMaxLockLines = 20000;
constexpr int kMaxFdEntries = 200000;

bool AllDigits(const char* s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

#ifdef __linux__
// A lock on the device's inode in /proc/locks, such as
// "1: FLOCK  ADVISORY  WRITE 12351 00:1b:3 0 EOF" (device numbers in hex);
// lines with "->" are processes still waiting for a lock, not holders.
pid_t HolderFromLocks(const struct stat& st)
{
    std::ifstream in("/proc/locks");
    std::string line;
    for (int n = 0; n < kMaxLockLines && std::getline(in, line); ++n) {
        if (line.find("->") != std::string::npos)
            continue;
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, mode, access, &pid, &maj, &min,
                        &ino) != 7)
            continue;
        if (pid > 0 && maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
            return static_cast<pid_t>(pid);
    }
    return 0;
}
#endif

// A process with a descriptor on the same device. Only the links in
// /proc/<pid>/fd are read: following them could wait on a stuck
// filesystem, reading them cannot.
pid_t HolderFromDescriptors(const std::string& target, int ownFd)
{
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    const pid_t self = ::getpid();
    int budget = kMaxFdEntries;
    pid_t found = 0;
    while (!found && budget > 0) {
        struct dirent* e = ::readdir(proc);
        if (!e)
            break;
        if (!AllDigits(e->d_name))
            continue;
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        const std::string dir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = ::opendir(dir.c_str());
        if (!fds)
            continue;  // gone, or not ours to look into
        while (struct dirent* f = ::readdir(fds)) {
            if (--budget <= 0)
                break;
            if (!AllDigits(f->d_name) || (pid == self && std::atoi(f->d_name) == ownFd))
                continue;
            char link[PATH_MAX];
            ssize_t n = ::readlink((dir + "/" + f->d_name).c_str(), link, sizeof link - 1);
            if (n > 0 && target == std::string(link, static_cast<size_t>(n))) {
                found = pid;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

}  // namespace

bool LockPort(int fd)
{
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    return r == 0 || errno != EWOULDBLOCK;
}

void UnlockPort(int fd) { ::flock(fd, LOCK_UN); }

pid_t FindPortHolder(const std::string& path, int ownFd)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
#ifdef __linux__
    if (pid_t pid = HolderFromLocks(st))
        return pid;
#endif
    // The name the kernel shows in /proc/<pid>/fd: our own descriptor's, or
    // the path with its links resolved.
    std::string target;
    char buf[PATH_MAX];
    if (ownFd >= 0) {
        ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(ownFd)).c_str(), buf, sizeof buf - 1);
        if (n > 0)
            target.assign(buf, static_cast<size_t>(n));
    }
    if (target.empty() && ::realpath(path.c_str(), buf))
        target = buf;
    return target.empty() ? 0 : HolderFromDescriptors(target, ownFd);
}

std::string InUseText(pid_t holder)
{
    std::string text = "in use by another program";
    if (holder > 0)
        text += " (PID " + std::to_string(holder) + ")";
    return text;
}
