// HMAC-MD5, one-shot and incremental, against RFC 2202's test cases, digests computed independently
// at the key-length boundaries (Python hmac), and, where available, OpenSSL's HMAC.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "md5/hmac_md5.h"
#include "md5/md5.h"

#ifdef QVRAD_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/hmac.h>
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

std::string HmacHex(const std::string& key, const std::string& message) {
    std::uint8_t digest[kMd5DigestLength];
    HmacMd5(digest, key.data(), static_cast<std::uint32_t>(key.size()), message.data(),
            static_cast<std::uint32_t>(message.size()));
    return Hex(digest, sizeof(digest));
}

// The same xorshift32 sequence the expected digests were computed from.
std::string PseudoRandomBytes(std::size_t length) {
    std::string bytes(length, '\0');
    std::uint32_t s = 0x9E3779B9;
    for (auto& byte : bytes) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        byte = static_cast<char>(s >> 24);
    }
    return bytes;
}

TEST(HmacMd5, Rfc2202TestCases) {
    struct Case {
        std::string key;
        std::string data;
        const char* digest;
    };
    std::string key4;
    for (char i = 1; i <= 25; ++i) key4 += i;
    // RFC 2202 section 2, test cases 1 to 7; 6 and 7 have 80-byte keys, hashed first.
    const Case cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {key4, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (std::size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(HmacHex(cases[i].key, cases[i].data), cases[i].digest) << "case " << i + 1;
    }
}

// Keys of 0, 63, 64 (used as is), 65 and 300 bytes (hashed first), with empty, one-block and
// longer messages.
TEST(HmacMd5, KeyLengthBoundaries) {
    struct Case {
        std::size_t keyLength;
        std::size_t messageLength;
        const char* digest;
    };
    const Case cases[] = {
        {0, 0, "74e6f7298a9c2d168935f58c001bad88"},
        {0, 64, "a3a8e4de9a9b0f64e1e144934c66e7a2"},
        {0, 1000, "3637adec6764f852d4165e32b4351843"},
        {63, 0, "6b5cc655a334f158fea01d01ee95eeac"},
        {63, 64, "95bd85030034c1ad258ceb5779b5ce41"},
        {63, 1000, "ec1b83074b7100829bf8605726795d0e"},
        {64, 0, "787daab380deeb87f43d21fc48d41957"},
        {64, 64, "b76eb5fca020cff43086645819406fd7"},
        {64, 1000, "8201ad4ea8323cca89d34ebb7a99142a"},
        {65, 0, "46666b87c3b5fb6ae37c789689038db3"},
        {65, 64, "19b5e1c0a0f15e1ef653894b79eaa498"},
        {65, 1000, "f12b105715d2f72cd4eaf3d9e265e100"},
        {300, 0, "7a506f0d1859c1a84dfae8f57e032a10"},
        {300, 64, "ffe9ad7cdf36bac7b4f0246acc6463a7"},
        {300, 1000, "e5004b4d4fafafdc9e325ac85dac6c91"},
    };
    const std::string bytes = PseudoRandomBytes(2000);
    // One key made ready per key length serves all its messages, in the one-shot form and the
    // incremental one, and is wiped whole.
    HMAC_MD5_KEY prepared;
    std::size_t preparedLength = ~static_cast<std::size_t>(0);
    for (const Case& c : cases) {
        // Key from the sequence's start, message from byte 1000 on.
        const std::string key = bytes.substr(0, c.keyLength);
        const std::string message = bytes.substr(1000, c.messageLength);
        EXPECT_EQ(HmacHex(key, message), c.digest)
            << "key " << c.keyLength << " message " << c.messageLength;
        if (preparedLength != c.keyLength) {
            HmacMd5KeyInit(&prepared, key.data(), static_cast<std::uint32_t>(key.size()));
            preparedLength = c.keyLength;
        }
        std::uint8_t digest[kMd5DigestLength];
        HmacMd5Keyed(digest, prepared, message.data(), static_cast<std::uint32_t>(message.size()));
        EXPECT_EQ(Hex(digest, sizeof digest), c.digest) << "prepared key " << c.keyLength;
        HMAC_MD5_CTX ctx;
        HmacMd5InitKeyed(&ctx, prepared);
        HmacMd5Update(&ctx, message.data(), static_cast<std::uint32_t>(message.size() / 3));
        HmacMd5Update(&ctx, message.data() + message.size() / 3,
                      static_cast<std::uint32_t>(message.size() - message.size() / 3));
        HmacMd5Final(digest, &ctx);
        EXPECT_EQ(Hex(digest, sizeof digest), c.digest) << "incremental, key " << c.keyLength;
    }
    HmacMd5KeyWipe(&prepared);
    const HMAC_MD5_KEY zero{};
    EXPECT_EQ(std::memcmp(&prepared, &zero, sizeof prepared), 0);
    std::uint8_t digest[kMd5DigestLength];
    HmacMd5(digest, nullptr, 0, nullptr, 0);
    EXPECT_EQ(Hex(digest, sizeof(digest)), "74e6f7298a9c2d168935f58c001bad88");
}

// The incremental form over random splits (empty pieces included) equals the one-shot form, and
// Final leaves nothing of the key behind.
TEST(HmacMd5, IncrementalMatchesOneShotAndWipes) {
    const std::string bytes = PseudoRandomBytes(700);
    std::mt19937 random(5);
    const HMAC_MD5_CTX zero{};
    for (int trial = 0; trial < 200; ++trial) {
        const std::string key = bytes.substr(random() % 100, random() % 100);
        const std::string message = bytes.substr(200, random() % 400);
        HMAC_MD5_CTX ctx;
        HmacMd5Init(&ctx, key.data(), static_cast<std::uint32_t>(key.size()));
        std::size_t done = 0;
        for (int piece = 0; done < message.size() && piece < 1000; ++piece) {
            const std::size_t size = std::min<std::size_t>(random() % 90, message.size() - done);
            HmacMd5Update(&ctx, message.data() + done, static_cast<std::uint32_t>(size));
            done += size;
        }
        ASSERT_EQ(done, message.size());
        std::uint8_t digest[kMd5DigestLength];
        HmacMd5Final(digest, &ctx);
        EXPECT_EQ(Hex(digest, sizeof(digest)), HmacHex(key, message)) << "trial " << trial;
        EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof(ctx)), 0) << "trial " << trial;
    }
}

#ifdef QVRAD_HAVE_OPENSSL
TEST(HmacMd5, MatchesOpenSslOnRandomInputs) {
    std::mt19937 random(11);
    for (int trial = 0; trial < 300; ++trial) {
        std::string key(random() % 301, '\0');
        std::string message(random() % 5001, '\0');
        for (auto& byte : key) byte = static_cast<char>(random());
        for (auto& byte : message) byte = static_cast<char>(random());
        std::uint8_t expected[EVP_MAX_MD_SIZE];
        unsigned expectedLength = 0;
        ASSERT_NE(HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       expected, &expectedLength),
                  nullptr);
        ASSERT_EQ(expectedLength, kMd5DigestLength);
        EXPECT_EQ(HmacHex(key, message), Hex(expected, expectedLength))
            << "key " << key.size() << " message " << message.size();
    }
}
#endif

}  // namespace
