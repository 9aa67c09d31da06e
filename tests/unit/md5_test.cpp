// MD5 against RFC 1321's own vectors, digests computed independently (Python hashlib) for padding
// boundaries, and, where OpenSSL is available, OpenSSL over random inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "md5/md5.h"

#ifdef QVRAD_HAVE_OPENSSL
#include <openssl/evp.h>  // not openssl/md5.h: its MD5_CTX would clash with ours
#endif

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    char two[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof(two), "%02x", bytes[i]);
        text += two;
    }
    return text;
}

std::string DigestHex(const void* bytes, std::size_t length) {
    std::uint8_t digest[kMd5DigestLength];
    MD5Digest(digest, bytes, static_cast<std::uint32_t>(length));
    return Hex(digest, sizeof(digest));
}

// xorshift32 from a fixed seed, top byte per step; the expected digests below were computed from
// the same sequence in Python.
std::vector<std::uint8_t> PseudoRandomBytes(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t s = 0x9E3779B9;
    for (auto& byte : bytes) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        byte = static_cast<std::uint8_t>(s >> 24);
    }
    return bytes;
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* message;
        const char* digest;
    };
    // RFC 1321 appendix A.5.
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DigestHex(c.message, std::strlen(c.message)), c.digest)
            << '"' << c.message << '"';
    }
}

// Lengths around the padding boundaries (55 is the last to fit one block, 56..63 force a second)
// and multi-block messages; also the fallback for builds without OpenSSL.
TEST(Md5, PaddingBoundariesAndLongMessages) {
    struct Case {
        std::size_t length;
        const char* digest;
    };
    const Case cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e"},    {1, "f09564c9ca56850d4cd6b3319e541aee"},
        {55, "54e46d5bf9fbae6958f09689d17ed026"},   {56, "3e9f3553aaedbeb2089f4d626a5973ba"},
        {63, "8dc6dd76808b456106e4c3e8976d564f"},   {64, "013f7db2cc063fa89a6b056bfe1e190a"},
        {65, "04786bf93a241d1f94368b51c6a65a82"},   {119, "932ef61722524c9ea31a18465b0af514"},
        {120, "aa99473ce91ffe85b26d852e0b188aa4"},  {127, "bc2a0c657174d7863ff52a86eb7f02b4"},
        {128, "1e057d5c873768e3a776e938ce054b52"},  {1000, "7454adeb68c909d9df1633453f946bba"},
        {4352, "16b3352291ba78ba50eff066014f5d5a"}, {5000, "c4fe3ecf51e3e668291dfec43361b3fa"},
    };
    const std::vector<std::uint8_t> data = PseudoRandomBytes(5000);
    // Every start alignment: the transform reads whole blocks straight from the caller's bytes.
    std::vector<std::uint8_t> shifted(data.size() + 8);
    for (const Case& c : cases) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::memcpy(shifted.data() + offset, data.data(), c.length);
            EXPECT_EQ(DigestHex(shifted.data() + offset, c.length), c.digest)
                << "length " << c.length << " offset " << offset;
        }
    }
}

TEST(Md5, SplitUpdatesMatchOneShot) {
    const std::vector<std::uint8_t> data = PseudoRandomBytes(700);
    std::mt19937 random(20240611);  // raw mt19937 output is the same on every platform
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint32_t length = random() % data.size();
        std::uint8_t expected[kMd5DigestLength];
        MD5Digest(expected, data.data(), length);

        MD5_CTX ctx;
        MD5Init(&ctx);
        std::uint32_t done = 0;
        for (int piece = 0; done < length && piece < 1000; ++piece) {
            // Pieces of 0..140 bytes: empty calls, splits inside a block and across several.
            const std::uint32_t size = std::min<std::uint32_t>(random() % 141, length - done);
            MD5Update(&ctx, data.data() + done, size);
            done += size;
        }
        ASSERT_EQ(done, length);
        MD5Update(&ctx, nullptr, 0);
        std::uint8_t actual[kMd5DigestLength];
        MD5Final(actual, &ctx);
        EXPECT_EQ(Hex(actual, sizeof(actual)), Hex(expected, sizeof(expected)))
            << "trial " << trial << " length " << length;
    }
}

TEST(Md5, EmptyUpdateLeavesContextUnchanged) {
    const std::vector<std::uint8_t> data = PseudoRandomBytes(200);
    for (std::uint32_t before : {0u, 10u, 63u, 64u, 130u}) {
        MD5_CTX ctx;
        std::memset(&ctx, 0xA5, sizeof(ctx));  // the buffer tail is never initialised
        MD5Init(&ctx);
        MD5Update(&ctx, data.data(), before);
        MD5_CTX copy;
        std::memcpy(&copy, &ctx, sizeof(ctx));
        MD5Update(&ctx, data.data(), 0);
        MD5Update(&ctx, nullptr, 0);
        EXPECT_EQ(std::memcmp(&copy, &ctx, sizeof(ctx)), 0) << "after " << before << " bytes";
    }
}

TEST(Md5, FinalWipesWholeContext) {
    const std::vector<std::uint8_t> data = PseudoRandomBytes(200);
    const MD5_CTX zero{};
    for (std::uint32_t length : {0u, 3u, 55u, 56u, 64u, 200u}) {
        MD5_CTX ctx;
        std::memset(&ctx, 0xA5, sizeof(ctx));
        MD5Init(&ctx);
        MD5Update(&ctx, data.data(), length);
        std::uint8_t digest[kMd5DigestLength];
        MD5Final(digest, &ctx);
        EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof(ctx)), 0) << "length " << length;
    }
}

// The bit count is kept modulo 2^64 in two words; its carry only shows after 512 MiB of input, so
// the count is advanced by hand.
TEST(Md5, BitCountCarriesIntoHighWord) {
    const std::vector<std::uint8_t> data = PseudoRandomBytes(64);
    MD5_CTX ctx;
    MD5Init(&ctx);
    ctx.count[0] = 0xFFFFFE00;  // block-aligned, 64 bytes (0x200 bits) short of the wrap
    ctx.count[1] = 7;
    MD5Update(&ctx, data.data(), 64);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 8u);
    MD5Update(&ctx, data.data(), 5);
    EXPECT_EQ(ctx.count[0], 40u);
    EXPECT_EQ(ctx.count[1], 8u);
}

// Every compression this build has (the portable one; on x86 with BMI1 the one built for it,
// which MD5 then uses; the side-by-side passes, SSE2 and AVX, one to four lanes): from the initial
// state over "abc" padded by hand (RFC 1321 appendix A.5), and each against the portable one from
// random states over random blocks (every lane its own).
TEST(Md5, EveryCompressionAgrees) {
    const Md5Compression all[] = {Md5Compression::kPortable, Md5Compression::kBmi1};
    std::uint8_t abc[64] = {'a', 'b', 'c', 0x80};
    abc[56] = 24;  // the bit count, little-endian
    for (Md5Compression which : all) {
        if (!MD5CompressionUsable(which)) continue;
        std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
        MD5BlocksWith(which, state, abc, 1);
        std::uint8_t digest[16];
        for (int i = 0; i < 16; ++i)
            digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (8 * (i % 4)));
        EXPECT_EQ(Hex(digest, 16), "900150983cd24fb0d6963f7d28e17f72")
            << "compression " << static_cast<int>(which);
    }
    EXPECT_TRUE(MD5CompressionUsable(Md5Compression::kPortable));
    std::mt19937 random(3);
    for (Md5Lanes lanes : {Md5Lanes::kSse2, Md5Lanes::kAvx}) {
        if (!MD5LanesUsable(lanes)) continue;
        for (int count = 1; count <= kMd5Lanes; ++count) {
            SCOPED_TRACE(testing::Message()
                         << "lanes " << static_cast<int>(lanes) << " x" << count);
            std::uint32_t states[kMd5Lanes][4];
            const std::uint8_t* blocks[kMd5Lanes];
            for (int lane = 0; lane < count; ++lane) {
                const std::uint32_t initial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
                std::memcpy(states[lane], initial, sizeof initial);
                blocks[lane] = abc;
            }
            MD5BlocksSideBySideWith(lanes, states, blocks, count);
            for (int lane = 0; lane < count; ++lane) {
                std::uint8_t digest[16];
                MD5WriteDigest(digest, states[lane]);
                EXPECT_EQ(Hex(digest, 16), "900150983cd24fb0d6963f7d28e17f72") << "lane " << lane;
            }
            std::vector<std::uint8_t> data(kMd5Lanes * 64);
            for (int trial = 0; trial < 50; ++trial) {
                std::uint32_t expected[kMd5Lanes][4];
                for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
                for (int lane = 0; lane < count; ++lane) {
                    for (int i = 0; i < 4; ++i)
                        states[lane][i] = expected[lane][i] = static_cast<std::uint32_t>(random());
                    blocks[lane] = data.data() + 64 * lane;
                    MD5BlocksWith(Md5Compression::kPortable, expected[lane], blocks[lane], 1);
                }
                MD5BlocksSideBySideWith(lanes, states, blocks, count);
                ASSERT_EQ(std::memcmp(states, expected, count * sizeof states[0]), 0)
                    << "trial " << trial;
            }
        }
    }
    if (!MD5CompressionUsable(Md5Compression::kBmi1)) return;
    std::vector<std::uint8_t> blocks(3 * 64);
    for (int trial = 0; trial < 200; ++trial) {
        std::uint32_t portable[4], bmi1[4];
        for (int i = 0; i < 4; ++i) portable[i] = bmi1[i] = static_cast<std::uint32_t>(random());
        for (auto& byte : blocks) byte = static_cast<std::uint8_t>(random());
        const std::size_t count = 1 + random() % 3;
        MD5BlocksWith(Md5Compression::kPortable, portable, blocks.data(), count);
        MD5BlocksWith(Md5Compression::kBmi1, bmi1, blocks.data(), count);
        ASSERT_EQ(std::memcmp(portable, bmi1, sizeof portable), 0) << "trial " << trial;
    }
}

// Padded in place in the caller's buffer: the same digest as MD5Digest (held above against Python
// and OpenSSL) at every length over three blocks, and no byte written past the padded length.
TEST(Md5, DigestInPlaceAtEveryLength) {
    EXPECT_EQ(MD5PaddedLength(0), 64u);
    EXPECT_EQ(MD5PaddedLength(55), 64u);
    EXPECT_EQ(MD5PaddedLength(56), 128u);
    EXPECT_EQ(MD5PaddedLength(119), 128u);
    EXPECT_EQ(MD5PaddedLength(120), 192u);
    const std::vector<std::uint8_t> bytes = PseudoRandomBytes(200);
    for (std::uint32_t length = 0; length <= 200; ++length) {
        std::vector<std::uint8_t> buffer(MD5PaddedLength(length) + 8, 0xEE);
        std::copy(bytes.begin(), bytes.begin() + length, buffer.begin());
        std::uint8_t digest[kMd5DigestLength];
        MD5DigestInPlace(digest, buffer.data(), length);
        EXPECT_EQ(Hex(digest, sizeof digest), DigestHex(bytes.data(), length)) << length;
        EXPECT_EQ(std::vector<std::uint8_t>(buffer.end() - 8, buffer.end()),
                  std::vector<std::uint8_t>(8, 0xEE))
            << length;
    }
}

#ifdef QVRAD_HAVE_OPENSSL
TEST(Md5, MatchesOpenSslOnRandomInputs) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> data(5000 + 8);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t length = random() % 5001;
        const std::size_t offset = random() % 8;
        for (std::size_t i = 0; i < length; ++i) {
            data[offset + i] = static_cast<std::uint8_t>(random());
        }
        std::uint8_t expected[EVP_MAX_MD_SIZE];
        unsigned expectedLength = 0;
        ASSERT_EQ(
            EVP_Digest(data.data() + offset, length, expected, &expectedLength, EVP_md5(), nullptr),
            1);
        ASSERT_EQ(expectedLength, kMd5DigestLength);
        EXPECT_EQ(DigestHex(data.data() + offset, length), Hex(expected, expectedLength))
            << "length " << length;
    }
}
#endif

}  // namespace
