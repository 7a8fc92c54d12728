// SHA-256 of the bytes a box was served, for its record: from OpenSSL's
// libcrypto on POSIX (Sha256_openssl.cpp) and the CNG BCrypt API on
// Windows (Sha256_bcrypt.cpp); no hash of our own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Update(const void* data, size_t size);
    // The digest of everything added since the last Reset, as 64 lower-case
    // hex digits; "" if the library failed. Starts the next hash.
    std::string Finish();
    void Reset();

private:
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};
