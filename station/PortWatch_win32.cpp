#include "PortWatch.h"

#include "PortList.h"

#include <chrono>
#include <thread>

void WatchPortPatterns(const std::vector<std::string>&, const std::function<bool()>& done,
                       const std::function<void()>& changed)
{
    // The registry's COM list, read again once a second: COM ports come and
    // go there, not in a folder.
    std::vector<std::string> last;
    for (const SerialPortInfo& p : ListSerialPorts())
        last.push_back(p.path);
    while (!done()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::vector<std::string> now;
        for (const SerialPortInfo& p : ListSerialPorts())
            now.push_back(p.path);
        if (now != last) {
            last = now;
            changed();
        }
    }
}
