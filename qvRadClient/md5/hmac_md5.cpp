// HMAC-MD5 (RFC 2104) over the library's MD5: H(K ^ opad, H(K ^ ipad, text)).
// Every buffer that held key material is wiped before return.
#include "md5/hmac_md5.h"

#include <cstring>

#include "md5/md5.h"
#include "platform/platform.h"

namespace {
constexpr unsigned kBlockLength = 64;     // B, the MD5 block size (RFC 2104 section 2)
constexpr std::uint8_t kInnerPad = 0x36;  // ipad (RFC 2104 section 2)
constexpr std::uint8_t kOuterPad = 0x5c;  // opad (RFC 2104 section 2)
}  // namespace

void HmacMd5Init(HMAC_MD5_CTX* ctx, const void* key, std::uint32_t keyLength) {
    // K zero-padded to B bytes; a key longer than B is replaced by its MD5 (RFC 2104 section 2).
    std::uint8_t block[kBlockLength] = {};
    if (keyLength > kBlockLength) {
        MD5Digest(block, key, keyLength);
    } else if (keyLength != 0) {
        std::memcpy(block, key, keyLength);
    }
    std::uint8_t pad[kBlockLength];
    for (unsigned i = 0; i < kBlockLength; ++i) {
        pad[i] = static_cast<std::uint8_t>(block[i] ^ kInnerPad);
        ctx->outerPad[i] = static_cast<std::uint8_t>(block[i] ^ kOuterPad);
    }
    MD5Init(&ctx->inner);
    MD5Update(&ctx->inner, pad, kBlockLength);
    platform::SecureZero(block, sizeof(block));
    platform::SecureZero(pad, sizeof(pad));
}

void HmacMd5Update(HMAC_MD5_CTX* ctx, const void* bytes, std::uint32_t length) {
    MD5Update(&ctx->inner, bytes, length);
}

void HmacMd5Final(std::uint8_t digest[16], HMAC_MD5_CTX* ctx) {
    std::uint8_t inner[kMd5DigestLength];
    MD5Final(inner, &ctx->inner);
    MD5_CTX outer;
    MD5Init(&outer);
    MD5Update(&outer, ctx->outerPad, kBlockLength);
    MD5Update(&outer, inner, kMd5DigestLength);
    MD5Final(digest, &outer);
    // MD5Final wiped both MD5 contexts; the outer pad and the inner hash remain.
    platform::SecureZero(ctx->outerPad, sizeof(ctx->outerPad));
    platform::SecureZero(inner, sizeof(inner));
}

void HmacMd5(std::uint8_t digest[16], const void* key, std::uint32_t keyLength, const void* message,
             std::uint32_t messageLength) {
    // The same H(K ^ opad, H(K ^ ipad, text)) as the incremental form, but on MD5's blocks
    // directly: each pad is compressed from a local block, the text where it lies, and neither
    // hash needs a context to fill and wipe.
    std::uint8_t block[kBlockLength] = {};
    if (keyLength > kBlockLength) {
        MD5Digest(block, key, keyLength);
    } else if (keyLength != 0) {
        std::memcpy(block, key, keyLength);
    }
    std::uint8_t pad[kBlockLength];
    for (unsigned i = 0; i < kBlockLength; ++i)
        pad[i] = static_cast<std::uint8_t>(block[i] ^ kInnerPad);
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};  // RFC 1321 3.3
    MD5Blocks(state, pad, 1);
    const std::uint8_t* text = static_cast<const std::uint8_t*>(message);
    MD5Blocks(state, text, messageLength / kBlockLength);
    std::uint8_t inner[kMd5DigestLength];
    MD5FinishTail(inner, state, text + (messageLength & ~(kBlockLength - 1)),
                  messageLength & (kBlockLength - 1),
                  static_cast<std::uint64_t>(kBlockLength) + messageLength);

    for (unsigned i = 0; i < kBlockLength; ++i)
        pad[i] = static_cast<std::uint8_t>(block[i] ^ kOuterPad);
    const std::uint32_t initial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::memcpy(state, initial, sizeof state);
    MD5Blocks(state, pad, 1);
    MD5FinishTail(digest, state, inner, kMd5DigestLength, kBlockLength + kMd5DigestLength);
    // MD5FinishTail wiped both states; the key block, the pad and the inner hash remain.
    platform::SecureZero(block, sizeof(block));
    platform::SecureZero(pad, sizeof(pad));
    platform::SecureZero(inner, sizeof(inner));
}
