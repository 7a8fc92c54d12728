// Where the download worker reads the blocks it serves: the file on disk
// (the dialog program, which serves whatever the file holds now), or a
// copy read once when a run starts (the command-line station, so that
// every box of a run gets the same image even if the file is replaced).
#pragma once

#include <cstdio>
#include <memory>

class CServedImage {
public:
    virtual ~CServedImage() = default;
    // n bytes from offset into out; false when they cannot all be read.
    virtual bool Read(long offset, int n, unsigned char* out) = 0;
};

// The file itself, read block by block.
class CFileImage : public CServedImage {
public:
    explicit CFileImage(std::FILE* f) : m_File(f) {}
    ~CFileImage() override { std::fclose(m_File); }
    CFileImage(const CFileImage&) = delete;
    CFileImage& operator=(const CFileImage&) = delete;

    bool Read(long offset, int n, unsigned char* out) override
    {
        return std::fseek(m_File, offset, SEEK_SET) == 0 &&
               std::fread(out, 1, static_cast<size_t>(n), m_File) == static_cast<size_t>(n);
    }

private:
    std::FILE* m_File;
};
