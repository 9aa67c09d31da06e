// Reference digests for the tests. The fallback MD5 derives its constants from the sine
// function as RFC 1321 section 3.4 describes, so it shares no table with the library's.
#include "support/reference_crypto.h"

#include <cmath>
#include <cstdio>

#ifdef QVRAD_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

namespace {

#ifndef QVRAD_HAVE_OPENSSL
Bytes TextbookMd5(const Bytes& message) {
    static const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::uint32_t k[64];
    for (int i = 0; i < 64; ++i)
        k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    Bytes m = message;
    const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t block = 0; block < m.size(); block += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = static_cast<std::uint32_t>(m[block + 4 * i]) |
                   static_cast<std::uint32_t>(m[block + 4 * i + 1]) << 8 |
                   static_cast<std::uint32_t>(m[block + 4 * i + 2]) << 16 |
                   static_cast<std::uint32_t>(m[block + 4 * i + 3]) << 24;
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            const std::uint32_t sum = a + f + k[i] + w[g];
            a = d;
            d = c;
            c = b;
            b = b + ((sum << kShift[i]) | (sum >> (32 - kShift[i])));
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    Bytes digest(16);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (8 * (i % 4)));
    return digest;
}
#endif

}  // namespace

Bytes RefMd5(const Bytes& message) {
#ifdef QVRAD_HAVE_OPENSSL
    Bytes digest(16);
    unsigned int size = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &size, EVP_md5(), nullptr);
    return digest;
#else
    return TextbookMd5(message);
#endif
}

Bytes RefHmacMd5(const Bytes& key, const Bytes& message) {
#ifdef QVRAD_HAVE_OPENSSL
    Bytes mac(16);
    unsigned int size = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
         mac.data(), &size);
    return mac;
#else
    Bytes k = key.size() > 64 ? RefMd5(key) : key;
    k.resize(64, 0);
    Bytes inner(64), outer(64);
    for (int i = 0; i < 64; ++i) {
        inner[i] = static_cast<std::uint8_t>(k[i] ^ 0x36);
        outer[i] = static_cast<std::uint8_t>(k[i] ^ 0x5c);
    }
    return RefMd5(Concat({outer, RefMd5(Concat({inner, message}))}));
#endif
}

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

Bytes FromHex(const std::string& text) {
    std::string hex;
    for (char c : text)
        if (c != ' ') hex.push_back(c);
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}
