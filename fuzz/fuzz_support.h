// What the fuzz targets share: a check that aborts (a finding for libFuzzer and a failure for
// the corpus replay), ASan poisoning of bytes a reader must not touch, and OpenSSL's digests.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#if defined(__SANITIZE_ADDRESS__)
#define QVRAD_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVRAD_FUZZ_ASAN 1
#endif
#endif

#ifdef QVRAD_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
// Any read or write of poisoned bytes is reported by ASan: the bytes past what was received, the
// request's bytes past its Length, a secret's octets past its length.
#define QVRAD_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QVRAD_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QVRAD_POISON(p, n) ((void)(p), (void)(n))
#define QVRAD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// MD5 over up to four pieces, by OpenSSL: the reference the library's results are held to.
struct RefPiece {
    const void* bytes;
    std::size_t length;
};
inline void RefMd5(std::uint8_t digest[16], std::initializer_list<RefPiece> pieces) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    FUZZ_CHECK(ctx != nullptr);
    FUZZ_CHECK(EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1);
    for (const RefPiece& piece : pieces)
        if (piece.length != 0) FUZZ_CHECK(EVP_DigestUpdate(ctx, piece.bytes, piece.length) == 1);
    unsigned int size = 0;
    FUZZ_CHECK(EVP_DigestFinal_ex(ctx, digest, &size) == 1 && size == 16);
    EVP_MD_CTX_free(ctx);
}

inline void RefHmacMd5(std::uint8_t mac[16], const void* key, std::size_t keyLength,
                       const void* message, std::size_t messageLength) {
    static const std::uint8_t kNoKey = 0;
    unsigned int size = 0;
    // OpenSSL wants a non-null key even when it is empty.
    FUZZ_CHECK(HMAC(EVP_md5(), keyLength != 0 ? key : &kNoKey, static_cast<int>(keyLength),
                    static_cast<const unsigned char*>(message), messageLength, mac,
                    &size) != nullptr &&
               size == 16);
}

// Reads the fuzz input as a stream; past its end every byte reads as 0.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    unsigned Word() {
        const unsigned low = Byte();
        return low | static_cast<unsigned>(Byte()) << 8;
    }
    const std::uint8_t* Rest(std::size_t* length) {
        *length = at_ < size_ ? size_ - at_ : 0;
        const std::uint8_t* rest = data_ + (at_ < size_ ? at_ : size_);
        at_ = size_;
        return rest;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};
