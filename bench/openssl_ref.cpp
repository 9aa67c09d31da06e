// OpenSSL's digests behind plain functions. MD5() is deprecated in OpenSSL 3 but stays its
// fastest one-shot form, which is the one to compare with; the build suppresses the warning.
#include "openssl_ref.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>

namespace {

const EVP_MD* FetchedMd5() {
    // Fetched once: EVP_md5() per call would look the implementation up every time.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md;
}

}  // namespace

void OpenSslMd5(std::uint8_t digest[16], const void* bytes, std::size_t length) {
    MD5(static_cast<const unsigned char*>(bytes), length, digest);
}

void OpenSslEvpMd5(std::uint8_t digest[16], const void* bytes, std::size_t length) {
    EVP_Digest(bytes, length, digest, nullptr, FetchedMd5(), nullptr);
}

void OpenSslHmacMd5(std::uint8_t digest[16], const void* key, std::size_t keyLength,
                    const void* bytes, std::size_t length) {
    unsigned int size = 0;
    HMAC(FetchedMd5(), key, static_cast<int>(keyLength), static_cast<const unsigned char*>(bytes),
         length, digest, &size);
}
