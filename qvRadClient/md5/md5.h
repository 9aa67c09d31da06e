// MD5 message digest (RFC 1321), the library's only hash.
// Used for the RADIUS authenticators, User-Password hiding and HMAC-MD5; no heap, reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

struct MD5_CTX {
    std::uint32_t state[4];   // chaining words A, B, C, D
    std::uint32_t count[2];   // message length in bits, modulo 2^64, low word first
    std::uint8_t buffer[64];  // bytes of the current incomplete block
};

constexpr unsigned kMd5DigestLength = 16;  // RFC 1321 section 3.5

void MD5Init(MD5_CTX* ctx);
void MD5Update(MD5_CTX* ctx, const void* bytes, std::uint32_t length);
// Pads, writes the digest and wipes the whole context; initialise again before reuse.
void MD5Final(std::uint8_t digest[16], MD5_CTX* ctx);
void MD5Digest(std::uint8_t digest[16], const void* bytes, std::uint32_t length);

// The pieces under MD5Digest, for HMAC-MD5's one-shot form: compress whole 64-byte blocks into
// state, then pad a tail of fewer than 64 bytes for a message of totalLength bytes in all, write
// the digest and wipe the state and the padding block.
void MD5Blocks(std::uint32_t state[4], const void* blocks, std::size_t count);
void MD5FinishTail(std::uint8_t digest[16], std::uint32_t state[4], const void* tail,
                   std::uint32_t tailLength, std::uint64_t totalLength);

// The block compressions this build has: the portable one, and on x86 the same built for BMI1,
// which MD5 takes by itself on a CPU that has it. For tests, which hold one against the other:
// MD5BlocksWith does nothing with a compression that is not usable here.
enum class Md5Compression : std::uint8_t { kPortable = 0, kBmi1 = 1 };
bool MD5CompressionUsable(Md5Compression which);
void MD5BlocksWith(Md5Compression which, std::uint32_t state[4], const void* blocks,
                   std::size_t count);

// Up to kMd5Lanes independent one-block compressions at once: states[i] takes blocks[i] (64
// bytes), exactly as MD5Blocks(states[i], blocks[i], 1) would. Where the build has SSE2 (every
// x86-64) the blocks are the four lanes of one pass over vector registers, which costs about the
// instructions of one block and a half; elsewhere they are compressed one after another. For the
// HMAC key's two pads and the first block of User-Password hiding, which need one another's
// results no more than they need the same secret.
constexpr int kMd5Lanes = 4;
void MD5BlocksSideBySide(std::uint32_t (*states)[4], const std::uint8_t* const* blocks, int count);
// The side-by-side passes this build has: SSE2, and the same with AVX's encodings, which MD5
// takes on a CPU whose AVX state is enabled. For tests, which hold each against the one-block
// compression: MD5BlocksSideBySideWith does nothing with a pass that is not usable here.
enum class Md5Lanes : std::uint8_t { kSse2 = 0, kAvx = 1 };
bool MD5LanesUsable(Md5Lanes which);
void MD5BlocksSideBySideWith(Md5Lanes which, std::uint32_t (*states)[4],
                             const std::uint8_t* const* blocks, int count);

// The bytes a buffer needs for a message of length bytes padded in place (RFC 1321 sections 3.1
// and 3.2): the message, 0x80, zeros and the 8-byte bit count, a whole number of blocks.
constexpr std::uint32_t MD5PaddedLength(std::uint32_t length) {
    return (length + 8) / 64 * 64 + 64;
}
// Pads a message of length bytes where it lies (0x80, zeros and the bit count of totalLength,
// RFC 1321 sections 3.1 and 3.2), in a buffer of MD5PaddedLength(length) bytes.
void MD5PadInPlace(std::uint8_t* message, std::uint32_t length, std::uint64_t totalLength);
// The digest of a final state: A, B, C, D, low-order byte first (RFC 1321 section 3.5).
void MD5WriteDigest(std::uint8_t digest[16], const std::uint32_t state[4]);
// For a message the caller has laid out in a buffer of its own with MD5PaddedLength(length)
// bytes of room: pads it there, compresses it from state (the message then being the last
// length bytes of totalLength), writes the digest and wipes the state. Nothing is copied; the
// caller wipes its buffer when it held secrets.
void MD5FinishInPlace(std::uint8_t digest[16], std::uint32_t state[4], std::uint8_t* message,
                      std::uint32_t length, std::uint64_t totalLength);
// MD5 of such a message from the start.
void MD5DigestInPlace(std::uint8_t digest[16], std::uint8_t* message, std::uint32_t length);
