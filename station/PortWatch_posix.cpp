#include "PortWatch.h"

#include <map>
#include <set>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

const uint32_t kEvents = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF;

std::string Parent(const std::string& dir)
{
    const size_t cut = dir.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : dir.substr(0, cut);
}

}  // namespace

void WatchPortPatterns(const std::vector<std::string>& patterns, const std::function<bool()>& done,
                       const std::function<void()>& changed)
{
    std::set<std::string> folders;
    for (const std::string& p : patterns)
        folders.insert(PatternFolder(p));
    // Device nodes appear in /dev, by-id links in a folder that itself
    // appears with the first USB adapter: each folder is watched where it
    // exists, else its nearest parent that does, until it comes.
    folders.insert("/dev");
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<std::string, int> watched;  // folder -> watch descriptor
    auto watchAll = [&] {
        if (fd < 0)
            return;
        for (const std::string& folder : folders) {
            for (std::string dir = folder;; dir = Parent(dir)) {
                if (watched.count(dir))
                    break;
                const int wd = ::inotify_add_watch(fd, dir.c_str(), kEvents | IN_ONLYDIR);
                if (wd >= 0) {
                    watched[dir] = wd;
                    break;
                }
                if (dir == "/" || dir == ".")
                    break;
            }
        }
    };
    watchAll();
    while (!done()) {
        if (fd < 0) {
            // No inotify here: look again every second.
            ::poll(nullptr, 0, 1000);
            changed();
            continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        // Take the whole burst (udev makes a node, then its links, then sets
        // its mode) before looking.
        char buf[4096];
        do {
            while (::read(fd, buf, sizeof buf) > 0) {
            }
        } while (::poll(&p, 1, 150) > 0);
        // A folder that went away or came: watch anew.
        for (auto it = watched.begin(); it != watched.end();) {
            if (::access(it->first.c_str(), F_OK) != 0) {
                ::inotify_rm_watch(fd, it->second);
                it = watched.erase(it);
            } else {
                ++it;
            }
        }
        watchAll();
        changed();
    }
    if (fd >= 0)
        ::close(fd);
}
