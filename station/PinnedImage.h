// The image a run serves, read once when the run starts: only the part a
// box can reach (24-bit offsets: at most 16 MiB + 254 bytes, whatever the
// file's size), hashed once, and shared by every port that serves the same
// file. Every box of the run gets these bytes even if an engineer copies a
// new build over the file meanwhile; that is noticed and said, and a new
// image takes a new run.
//
// Read-only after Load, so any thread may read it; ChangedOnDisk is safe
// from any thread.
#pragma once

#include "FileIdentity.h"
#include "protocol/ServedImage.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Bytes the box can ask for: 24-bit offsets plus a block of up to 255.
constexpr long long kAddressableLimit = (1LL << 24) + 254;
inline long long AddressableBytes(long long fileSize)
{
    return fileSize < kAddressableLimit ? (fileSize > 0 ? fileSize : 0) : kAddressableLimit;
}

class CPinnedImage {
public:
    // Reads the file's reachable part. nullptr with the reason in error.
    static std::shared_ptr<CPinnedImage> Load(const std::string& path, std::string& error);

    const std::string& Path() const { return m_Path; }
    // The file's whole size when it was read (a box can reach less).
    long long FileSize() const { return m_FileSize; }
    long long Reachable() const { return static_cast<long long>(m_Bytes.size()); }
    const unsigned char* Bytes() const { return m_Bytes.data(); }
    // SHA-256 of the reachable part, 64 lower-case hex digits.
    const std::string& Sha256() const { return m_Sha256; }
    // SHA-256 of the whole file as it is on disk now (Sha256() when a box
    // can reach all of it); "" when it cannot be read.
    std::string WholeFileSha256() const;
    // SHA-256 of the first n reachable bytes (n = Reachable() is Sha256()).
    std::string PrefixSha256(long long n) const;

    // Whether the file on disk is no longer what was read (written to,
    // replaced, removed). Once true it stays true.
    bool ChangedOnDisk() const;

    // A reader for the download worker.
    std::unique_ptr<CServedImage> Reader() const;

private:
    struct Stamp {
        FileId id;
        long long size = -1;
        long long mtimeNs = 0;
        bool operator==(const Stamp& o) const
        {
            return id.Same(o.id) && id.valid == o.id.valid && size == o.size && mtimeNs == o.mtimeNs;
        }
    };
    static Stamp StampOf(const std::string& path);

    std::string m_Path;
    long long m_FileSize = 0;
    std::vector<unsigned char> m_Bytes;
    std::string m_Sha256;
    Stamp m_Stamp;
    mutable std::atomic<bool> m_Changed{false};
    mutable std::mutex m_PrefixLock;
    mutable std::map<long long, std::string> m_PrefixHashes;  // a few recent ones
};
