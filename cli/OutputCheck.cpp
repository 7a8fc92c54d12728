#include "OutputCheck.h"

#include "FileIdentity.h"
#include "PortList.h"

#include <utility>

namespace {

// The one device an output may be: nothing is written anywhere.
bool IsNullDevice(const FileId& id)
{
#ifdef _WIN32
    (void)id;
    return false;
#else
    return id.Same(IdentityOf("/dev/null"));
#endif
}

bool SameName(const std::string& a, const std::string& b) { return PortIdentity(a) == PortIdentity(b); }

// Why output (already known by its identity) may not be written, or "".
std::string Clash(const PlannedOutput& output, const FileId& id, const std::vector<GuardedPath>& guarded)
{
    const std::string what = output.option + " " + output.path;
    for (const GuardedPath& g : guarded) {
        const bool byId = g.id.valid;
        if (id.Same(byId ? g.id : IdentityOf(g.path)) || (!id.valid && !byId && SameName(output.path, g.path)))
            return what + " is " + g.role + (g.path.empty() ? "" : " " + g.path);
    }
    if (!id.valid || IsNullDevice(id))
        return "";
    if (output.regularOnly && !id.regular)
        return what + " is not a regular file (" +
               (id.fifo ? "a FIFO" : id.character ? "a device" : "a directory or special file") +
               "); the log must be a regular file";
    if (id.character)
        return what + " is a device (a port or a terminal), not a file";
    return "";
}

}  // namespace

std::vector<GuardedPath> StandardStreamGuards()
{
    std::vector<GuardedPath> guards;
    const std::pair<std::FILE*, const char*> streams[] = {{stdout, "the standard output"},
                                                          {stderr, "the standard error"}};
    for (const auto& s : streams) {
        GuardedPath g;
        g.role = s.second;
        g.id = IdentityOf(s.first);
        if (g.id.valid && !IsNullDevice(g.id))
            guards.push_back(g);
    }
    return guards;
}

std::string CheckOutputs(const std::vector<PlannedOutput>& outputs, const std::vector<GuardedPath>& guarded)
{
    struct Known {
        FileId id;          // the file, when it exists
        FileId directory;   // else where it would be made
        std::string name;
    };
    std::vector<Known> known;
    for (const PlannedOutput& out : outputs) {
        if (IsReservedDeviceName(out.path))
            return out.option + " " + out.path + " is a device (a port or a terminal), not a file";
        Known k;
        k.id = IdentityOf(out.path);
        if (!k.id.valid && !FutureIdentityOf(out.path, k.directory, k.name))
            k.directory = FileId();
        std::string clash = Clash(out, k.id, guarded);
        if (!clash.empty())
            return clash;
        // Any number of outputs may go nowhere.
        for (size_t j = 0; j < known.size() && !IsNullDevice(k.id); ++j) {
            const Known& o = known[j];
            bool same = k.id.valid ? k.id.Same(o.id)
                                   : (!o.id.valid && k.directory.Same(o.directory) && k.name == o.name);
            if (same || out.path == outputs[j].path)
                return outputs[j].option + " " + outputs[j].path + " and " + out.option + " " + out.path +
                       " are the same file";
        }
        known.push_back(k);
    }
    return "";
}

std::string CheckOpened(std::FILE* opened, const PlannedOutput& output, const std::vector<GuardedPath>& guarded)
{
    return Clash(output, IdentityOf(opened), guarded);
}

std::FILE* OpenCheckedOutput(const PlannedOutput& output, bool append, const std::vector<GuardedPath>& guarded,
                             std::string& error)
{
    std::FILE* f = OpenForWriting(output.path, append, error);
    if (!f)
        return nullptr;
    std::string clash = CheckOpened(f, output, guarded);
    if (!clash.empty()) {
        std::fclose(f);
        error = clash;
        return nullptr;
    }
    if (!append && !TruncateOpened(f, 0, error)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}
