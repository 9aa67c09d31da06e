// Fuzz target for MD5 (RFC 1321) and HMAC-MD5 (RFC 2104): any message, cut into any pieces,
// digests as OpenSSL digests it, one-shot and incremental alike.
//
// Input: byte 0 modulo 8 is the number of cuts, then one 16-bit word per cut (its position
// modulo the message length + 1), one byte for the HMAC key length, then the message. The key
// is the message's first bytes, so keys of 0 to 255 bytes (longer ones are hashed first,
// RFC 2104 section 2) come up.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "md5/hmac_md5.h"
#include "md5/md5.h"

namespace {

bool AllZero(const void* bytes, std::size_t length) {
    const std::uint8_t* p = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < length; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int cutCount = in.Byte() % 8;
    unsigned cutWords[8];
    for (int i = 0; i < cutCount; ++i) cutWords[i] = in.Word();
    const std::size_t keySelector = in.Byte();
    std::size_t length = 0;
    const std::uint8_t* message = in.Rest(&length);
    // A copy of exactly the message's size, so that a read past its end is an ASan report.
    std::vector<std::uint8_t> owned(message, message + length);
    const std::uint8_t* m = owned.empty() ? nullptr : owned.data();

    std::vector<std::size_t> cuts = {0, length};
    for (int i = 0; i < cutCount; ++i) cuts.push_back(cutWords[i] % (length + 1));
    std::sort(cuts.begin(), cuts.end());

    std::uint8_t expected[16];
    RefMd5(expected, {{m, length}});
    std::uint8_t digest[16];
    MD5Digest(digest, m, static_cast<std::uint32_t>(length));
    FUZZ_CHECK(std::memcmp(digest, expected, 16) == 0);

    MD5_CTX ctx;
    MD5Init(&ctx);
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        const std::size_t n = cuts[i + 1] - cuts[i];
        if (n == 0) {
            // An empty piece leaves the context as it was, even with a null pointer.
            MD5_CTX before;
            std::memcpy(&before, &ctx, sizeof ctx);
            MD5Update(&ctx, nullptr, 0);
            FUZZ_CHECK(std::memcmp(&before, &ctx, sizeof ctx) == 0);
            continue;
        }
        MD5Update(&ctx, m + cuts[i], static_cast<std::uint32_t>(n));
    }
    std::memset(digest, 0, sizeof digest);
    MD5Final(digest, &ctx);
    FUZZ_CHECK(std::memcmp(digest, expected, 16) == 0);
    FUZZ_CHECK(AllZero(&ctx, sizeof ctx));  // the buffer held message bytes

    const std::size_t keyLength = std::min(keySelector, length);
    RefHmacMd5(expected, m, keyLength, m, length);
    HmacMd5(digest, m, static_cast<std::uint32_t>(keyLength), m,
            static_cast<std::uint32_t>(length));
    FUZZ_CHECK(std::memcmp(digest, expected, 16) == 0);

    HMAC_MD5_CTX mac;
    HmacMd5Init(&mac, m, static_cast<std::uint32_t>(keyLength));
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        const std::size_t n = cuts[i + 1] - cuts[i];
        HmacMd5Update(&mac, n == 0 ? nullptr : m + cuts[i], static_cast<std::uint32_t>(n));
    }
    std::memset(digest, 0, sizeof digest);
    HmacMd5Final(digest, &mac);
    FUZZ_CHECK(std::memcmp(digest, expected, 16) == 0);
    FUZZ_CHECK(AllZero(&mac, sizeof mac));  // the pads are the key in disguise
    return 0;
}
