// OpenSSL's MD5, the reference the library's MD5 is measured against and the responder's signer.
// Kept behind plain functions: OpenSSL's MD5_CTX and the library's cannot share a translation unit.
#pragma once

#include <cstddef>
#include <cstdint>

// The low-level one-shot MD5().
void OpenSslMd5(std::uint8_t digest[16], const void* bytes, std::size_t length);
// EVP_Digest with the MD5 implementation fetched once for the process.
void OpenSslEvpMd5(std::uint8_t digest[16], const void* bytes, std::size_t length);
// HMAC-MD5 (RFC 2104) in one shot.
void OpenSslHmacMd5(std::uint8_t digest[16], const void* key, std::size_t keyLength,
                    const void* bytes, std::size_t length);
