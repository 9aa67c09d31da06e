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
const std::uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe,
                                        0x10325476};  // RFC 1321 section 3.3
}  // namespace

void HmacMd5KeyInitBeside(HMAC_MD5_KEY* prepared, const void* key, std::uint32_t keyLength,
                          std::uint32_t besideState[4], const std::uint8_t* besideBlock) {
    // K zero-padded to B bytes; a key longer than B is replaced by its MD5 (RFC 2104 section 2).
    // The two pads are compressed from local blocks side by side; only the two states are kept.
    std::uint8_t block[kBlockLength] = {};
    if (keyLength > kBlockLength) {
        MD5Digest(block, key, keyLength);
    } else if (keyLength != 0) {
        std::memcpy(block, key, keyLength);
    }
    std::uint8_t pads[2][kBlockLength];
    for (unsigned i = 0; i < kBlockLength; ++i) {
        pads[0][i] = static_cast<std::uint8_t>(block[i] ^ kInnerPad);
        pads[1][i] = static_cast<std::uint8_t>(block[i] ^ kOuterPad);
    }
    std::uint32_t states[3][4];
    std::memcpy(states[0], kInitialState, sizeof kInitialState);
    std::memcpy(states[1], kInitialState, sizeof kInitialState);
    const std::uint8_t* blocks[3] = {pads[0], pads[1], besideBlock};
    const int count = besideState != nullptr && besideBlock != nullptr ? 3 : 2;
    if (count == 3) std::memcpy(states[2], besideState, sizeof states[2]);
    MD5BlocksSideBySide(states, blocks, count);
    std::memcpy(prepared->inner, states[0], sizeof prepared->inner);
    std::memcpy(prepared->outer, states[1], sizeof prepared->outer);
    if (count == 3) std::memcpy(besideState, states[2], sizeof states[2]);
    platform::SecureZero(block, sizeof(block));
    platform::SecureZero(pads, sizeof(pads));
    platform::SecureZero(states, sizeof(states));
}

void HmacMd5KeyInit(HMAC_MD5_KEY* prepared, const void* key, std::uint32_t keyLength) {
    HmacMd5KeyInitBeside(prepared, key, keyLength, nullptr, nullptr);
}

void HmacMd5KeyWipe(HMAC_MD5_KEY* prepared) {
    platform::SecureZero(prepared, sizeof(*prepared));
}

void HmacMd5Keyed(std::uint8_t digest[16], const HMAC_MD5_KEY& prepared, const void* message,
                  std::uint32_t messageLength) {
    // The text where it lies: its whole blocks, then its padded tail, from the inner state; then
    // the inner hash from the outer state. Each working state is wiped by the finish.
    std::uint32_t state[4];
    std::memcpy(state, prepared.inner, sizeof state);
    const std::uint8_t* text = static_cast<const std::uint8_t*>(message);
    MD5Blocks(state, text, messageLength / kBlockLength);
    // The inner hash goes straight into the outer hash's one block, padded there.
    std::uint8_t outer[MD5PaddedLength(kMd5DigestLength)];
    MD5FinishTail(outer, state, text + (messageLength & ~(kBlockLength - 1)),
                  messageLength & (kBlockLength - 1),
                  static_cast<std::uint64_t>(kBlockLength) + messageLength);
    std::memcpy(state, prepared.outer, sizeof state);
    MD5FinishInPlace(digest, state, outer, kMd5DigestLength, kBlockLength + kMd5DigestLength);
    platform::SecureZero(outer, sizeof(outer));
}

void HmacMd5(std::uint8_t digest[16], const void* key, std::uint32_t keyLength, const void* message,
             std::uint32_t messageLength) {
    HMAC_MD5_KEY prepared;
    HmacMd5KeyInit(&prepared, key, keyLength);
    HmacMd5Keyed(digest, prepared, message, messageLength);
    HmacMd5KeyWipe(&prepared);
}

void HmacMd5InitKeyed(HMAC_MD5_CTX* ctx, const HMAC_MD5_KEY& prepared) {
    // As if K XOR ipad had been fed: its state, and 64 bytes (512 bits) counted.
    std::memcpy(ctx->inner.state, prepared.inner, sizeof ctx->inner.state);
    ctx->inner.count[0] = kBlockLength * 8;
    ctx->inner.count[1] = 0;
    std::memcpy(ctx->outer, prepared.outer, sizeof ctx->outer);
}

void HmacMd5Init(HMAC_MD5_CTX* ctx, const void* key, std::uint32_t keyLength) {
    HMAC_MD5_KEY prepared;
    HmacMd5KeyInit(&prepared, key, keyLength);
    HmacMd5InitKeyed(ctx, prepared);
    HmacMd5KeyWipe(&prepared);
}

void HmacMd5Update(HMAC_MD5_CTX* ctx, const void* bytes, std::uint32_t length) {
    MD5Update(&ctx->inner, bytes, length);
}

void HmacMd5Final(std::uint8_t digest[16], HMAC_MD5_CTX* ctx) {
    std::uint8_t inner[kMd5DigestLength];
    MD5Final(inner, &ctx->inner);  // wipes the inner context
    MD5FinishTail(digest, ctx->outer, inner, kMd5DigestLength, kBlockLength + kMd5DigestLength);
    // MD5Final and MD5FinishTail wiped the whole context; the inner hash remains.
    platform::SecureZero(inner, sizeof(inner));
}
