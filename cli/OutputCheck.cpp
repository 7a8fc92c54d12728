#include "OutputCheck.h"

#include "FileIdentity.h"
#include "PortList.h"

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
    for (const GuardedPath& g : guarded) {
        if (id.Same(IdentityOf(g.path)) || (!id.valid && SameName(output.path, g.path)))
            return output.option + " " + output.path + " is " + g.role + " " + g.path;
    }
    if (id.valid && id.character && !IsNullDevice(id))
        return output.option + " " + output.path + " is a device (a port or a terminal), not a file";
    return "";
}

}  // namespace

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
        for (size_t j = 0; j < known.size(); ++j) {
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
