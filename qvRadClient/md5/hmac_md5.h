// HMAC-MD5 (RFC 2104) on our own MD5, for the Message-Authenticator attribute
// (RFC 3579 section 3.2, RFC 2869 section 5.14). Keyed pads are wiped before return.
#pragma once

#include <cstdint>

#include "md5/md5.h"

// One-shot HMAC-MD5 of one message. Keys longer than 64 bytes are first hashed (RFC 2104 section
// 2).
void HmacMd5(std::uint8_t digest[16], const void* key, std::uint32_t keyLength, const void* message,
             std::uint32_t messageLength);

// A key made ready once: the MD5 states after K XOR ipad and after K XOR opad (RFC 2104 section
// 2), each one compression, so that every further MAC with the key costs only its message and
// the outer hash's last block. As secret as the key itself: wipe it (HmacMd5KeyWipe) when done.
struct HMAC_MD5_KEY {
    std::uint32_t inner[4];
    std::uint32_t outer[4];
};
void HmacMd5KeyInit(HMAC_MD5_KEY* prepared, const void* key, std::uint32_t keyLength);
// The same, with one more single-block compression of the caller's beside the two pads' (its
// state taking its block: MD5Blocks(besideState, besideBlock, 1)), in the same pass where MD5
// compresses side by side (MD5BlocksSideBySide).
void HmacMd5KeyInitBeside(HMAC_MD5_KEY* prepared, const void* key, std::uint32_t keyLength,
                          std::uint32_t besideState[4], const std::uint8_t* besideBlock);
void HmacMd5KeyWipe(HMAC_MD5_KEY* prepared);
// The same MAC as HmacMd5 with the key that prepared was made from.
void HmacMd5Keyed(std::uint8_t digest[16], const HMAC_MD5_KEY& prepared, const void* message,
                  std::uint32_t messageLength);

// Incremental form, for messages that are verified in pieces without being copied.
struct HMAC_MD5_CTX {
    MD5_CTX inner;
    std::uint32_t outer[4];  // the state after K XOR opad, kept until Final (wiped there)
};
void HmacMd5Init(HMAC_MD5_CTX* ctx, const void* key, std::uint32_t keyLength);
// The same start from a key made ready: no compression at all.
void HmacMd5InitKeyed(HMAC_MD5_CTX* ctx, const HMAC_MD5_KEY& prepared);
void HmacMd5Update(HMAC_MD5_CTX* ctx, const void* bytes, std::uint32_t length);
// Writes the MAC and wipes the context.
void HmacMd5Final(std::uint8_t digest[16], HMAC_MD5_CTX* ctx);
