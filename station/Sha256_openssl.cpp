#include "Sha256.h"

#include <openssl/evp.h>

struct CSha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
};

CSha256::CSha256() : m_Impl(new Impl)
{
    m_Impl->ctx = EVP_MD_CTX_new();
    Reset();
}

CSha256::~CSha256() { EVP_MD_CTX_free(m_Impl->ctx); }

void CSha256::Reset()
{
    m_Impl->ok = m_Impl->ctx && EVP_DigestInit_ex(m_Impl->ctx, EVP_sha256(), nullptr) == 1;
}

void CSha256::Update(const void* data, size_t size)
{
    if (m_Impl->ok && size > 0)
        m_Impl->ok = EVP_DigestUpdate(m_Impl->ctx, data, size) == 1;
}

std::string CSha256::Finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    bool ok = m_Impl->ok && EVP_DigestFinal_ex(m_Impl->ctx, digest, &len) == 1 && len == 32;
    Reset();
    if (!ok)
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}
