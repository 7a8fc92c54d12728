#include "Sha256.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <vector>

struct CSha256::Impl {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<unsigned char> object;
    bool ok = false;
};

namespace {
bool Succeeded(NTSTATUS status) { return status >= 0; }
}  // namespace

CSha256::CSha256() : m_Impl(new Impl)
{
    DWORD objectSize = 0, got = 0;
    if (Succeeded(::BCryptOpenAlgorithmProvider(&m_Impl->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        Succeeded(::BCryptGetProperty(m_Impl->alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                      sizeof objectSize, &got, 0)))
        m_Impl->object.resize(objectSize);
    Reset();
}

CSha256::~CSha256()
{
    if (m_Impl->hash)
        ::BCryptDestroyHash(m_Impl->hash);
    if (m_Impl->alg)
        ::BCryptCloseAlgorithmProvider(m_Impl->alg, 0);
}

void CSha256::Reset()
{
    if (m_Impl->hash) {
        ::BCryptDestroyHash(m_Impl->hash);
        m_Impl->hash = nullptr;
    }
    m_Impl->ok = m_Impl->alg && !m_Impl->object.empty() &&
                 Succeeded(::BCryptCreateHash(m_Impl->alg, &m_Impl->hash, m_Impl->object.data(),
                                              static_cast<ULONG>(m_Impl->object.size()), nullptr, 0, 0));
}

void CSha256::Update(const void* data, size_t size)
{
    if (m_Impl->ok && size > 0)
        m_Impl->ok = Succeeded(::BCryptHashData(m_Impl->hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                                static_cast<ULONG>(size), 0));
}

std::string CSha256::Finish()
{
    unsigned char digest[32];
    bool ok = m_Impl->ok && Succeeded(::BCryptFinishHash(m_Impl->hash, digest, sizeof digest, 0));
    Reset();
    if (!ok)
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}
