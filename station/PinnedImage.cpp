#include "PinnedImage.h"

#include "Sha256.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Serves blocks from the copy.
class CMemoryImage : public CServedImage {
public:
    CMemoryImage(const unsigned char* bytes, long long size) : m_Bytes(bytes), m_Size(size) {}
    bool Read(long offset, int n, unsigned char* out) override
    {
        if (offset < 0 || n < 0 || offset + n > m_Size)
            return false;
        std::memcpy(out, m_Bytes + offset, static_cast<size_t>(n));
        return true;
    }

private:
    const unsigned char* m_Bytes;
    long long m_Size;
};

std::string HashOf(const unsigned char* bytes, size_t n)
{
    CSha256 h;
    if (n > 0)
        h.Update(bytes, n);
    return h.Finish();
}

}  // namespace

CPinnedImage::Stamp CPinnedImage::StampOf(const std::string& path)
{
    Stamp s;
    std::error_code ec;
    const fs::path p = fs::u8path(path);
    s.id = IdentityOf(path);
    auto size = fs::file_size(p, ec);
    if (!ec)
        s.size = static_cast<long long>(size);
    auto t = fs::last_write_time(p, ec);
    if (!ec)
        s.mtimeNs = static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    return s;
}

std::shared_ptr<CPinnedImage> CPinnedImage::Load(const std::string& path, std::string& error)
{
    std::shared_ptr<CPinnedImage> image(new CPinnedImage);
    image->m_Path = path;
    // A file written while it is read would give a copy of neither version:
    // read again until the file stood still.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Stamp before = StampOf(path);
        std::ifstream in(fs::u8path(path), std::ios::binary);
        if (!in || before.size < 0) {
            error = std::strerror(errno ? errno : ENOENT);
            return nullptr;
        }
        const long long reach = AddressableBytes(before.size);
        image->m_Bytes.assign(static_cast<size_t>(reach), 0);
        in.read(reinterpret_cast<char*>(image->m_Bytes.data()), static_cast<std::streamsize>(reach));
        if (in.gcount() != static_cast<std::streamsize>(reach)) {
            if (StampOf(path) == before) {
                error = "cannot read it whole";
                return nullptr;
            }
            continue;
        }
        if (StampOf(path) == before) {
            image->m_FileSize = before.size;
            image->m_Stamp = before;
            image->m_Sha256 = HashOf(image->m_Bytes.data(), image->m_Bytes.size());
            if (image->m_Sha256.empty()) {
                error = "cannot compute its SHA-256";
                return nullptr;
            }
            return image;
        }
    }
    error = "it kept changing while it was read";
    return nullptr;
}

std::string CPinnedImage::PrefixSha256(long long n) const
{
    if (n <= 0)
        return HashOf(nullptr, 0);
    if (n >= Reachable())
        return m_Sha256;
    std::lock_guard<std::mutex> g(m_PrefixLock);
    auto it = m_PrefixHashes.find(n);
    if (it != m_PrefixHashes.end())
        return it->second;
    std::string h = HashOf(m_Bytes.data(), static_cast<size_t>(n));
    if (m_PrefixHashes.size() >= 16)
        m_PrefixHashes.erase(m_PrefixHashes.begin());
    m_PrefixHashes[n] = h;
    return h;
}

std::string CPinnedImage::WholeFileSha256() const
{
    if (m_FileSize == Reachable())
        return m_Sha256;
    std::ifstream in(fs::u8path(m_Path), std::ios::binary);
    if (!in)
        return "";
    CSha256 h;
    std::vector<char> block(1 << 20);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        if (in.gcount() > 0)
            h.Update(block.data(), static_cast<size_t>(in.gcount()));
    }
    return in.eof() ? h.Finish() : "";
}

bool CPinnedImage::ChangedOnDisk() const
{
    if (m_Changed.load())
        return true;
    if (StampOf(m_Path) == m_Stamp)
        return false;
    m_Changed.store(true);
    return true;
}

std::unique_ptr<CServedImage> CPinnedImage::Reader() const
{
    return std::unique_ptr<CServedImage>(new CMemoryImage(m_Bytes.data(), Reachable()));
}
