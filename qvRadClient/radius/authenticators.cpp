// The uses of MD5 that make an exchange authentic: the Request Authenticator, User-Password
// hiding (RFC 2865 section 5.2), the Message-Authenticator (RFC 3579 section 3.2) and the
// checks of a reply. Every buffer that held the secret or the password is wiped before return.
#include <atomic>
#include <cstring>

#include "md5/hmac_md5.h"
#include "md5/md5.h"
#include "platform/platform.h"
#include "radius/accounting_request.h"
#include "platform/thread_random.h"
#include "radius/packet.h"

namespace {

// The host name as read once for the process. It only seeds the hashed text, which the random
// bytes and the counter already make unique, while reading it is a system call (uname) on every
// call. A first read that failed is not kept: each call then asks again, as before.
struct HostNameOnce {
    char name[256];
    std::size_t length;
    bool ok;
};

HostNameOnce ReadHostNameOnce() {
    HostNameOnce once;
    once.ok = platform::GetLocalHostName(once.name, sizeof once.name) == 0;
    once.length = once.ok ? std::strlen(once.name) : 0;
    return once;
}

int CachedLocalHostName(char* buffer, std::size_t limit) {
    static const HostNameOnce once = ReadHostNameOnce();  // initialised once, thread-safe
    // A name that does not fit goes to the platform call, which decides as it always did.
    if (!once.ok || buffer == nullptr || once.length + 1 > limit)
        return platform::GetLocalHostName(buffer, limit);
    std::memcpy(buffer, once.name, once.length + 1);
    return 0;
}

}  // namespace

const AuthenticatorSources kPlatformAuthenticatorSources = {
    CachedLocalHostName, platform::GetUtcSecondAndMillisecond, platform::ThreadRandomBytes};

namespace {

constexpr std::size_t kHostNameLimit = 206;  // with the suffix limit, keeps the text in 256
constexpr std::size_t kSuffixLimit = 50;
constexpr std::size_t kRandomLength = 16;

// Unique within the process even when the clock stands still and the random source failed or
// repeated itself.
std::atomic<std::uint32_t> g_requestCounter{0};

// Writes value in decimal without leading zeros; returns the number of digits (1 to 10). The
// values of a Request Authenticator's text (a second, a millisecond) take the short ways.
std::size_t AppendDecimal(char* at, unsigned value) {
    if (value < 10) {
        at[0] = static_cast<char>('0' + value);
        return 1;
    }
    if (value < 100) {
        at[0] = static_cast<char>('0' + value / 10);
        at[1] = static_cast<char>('0' + value % 10);
        return 2;
    }
    if (value < 1000) {
        at[0] = static_cast<char>('0' + value / 100);
        at[1] = static_cast<char>('0' + value / 10 % 10);
        at[2] = static_cast<char>('0' + value % 10);
        return 3;
    }
    char reversed[10];
    std::size_t r = 0;
    do {
        reversed[r++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && r < sizeof reversed);
    for (std::size_t i = 0; i < r; ++i) at[i] = reversed[r - 1 - i];
    return r;
}

// Appends ":second:millisecond" and a NUL. Returns the number of characters written (the NUL not
// counted): 22 at most, inside the suffix's room.
std::size_t AppendTimeSuffix(char* at, unsigned second, unsigned millisecond) {
    static_assert(kSuffixLimit >= 2 * (1 + 10) + 1, "the longest suffix and its NUL fit");
    std::size_t n = 0;
    at[n++] = ':';
    n += AppendDecimal(at + n, second);
    at[n++] = ':';
    n += AppendDecimal(at + n, millisecond);
    at[n] = '\0';
    return n;
}

bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    unsigned difference = 0;
    for (std::size_t i = 0; i < n; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);
    return difference == 0;
}

const std::uint8_t kZeroBlock[rad::kAuthenticatorLength] = {};

// A reply and secret this short are hashed as one copy, padded where it lies: three MD5 blocks at
// most, and no context.
constexpr std::uint32_t kShortResponse = 128;

// RFC 2865 section 3: MD5(Code + Identifier + Length + Request Authenticator + Attributes +
// Secret) of a reply whose Length the caller checked, digested without touching the reply: no
// secret copy is ever left in it. A short one is laid out once in a local block (wiped after).
void ResponseDigest(std::uint8_t digest[kMd5DigestLength], const std::uint8_t* reply,
                    std::uint16_t length, const std::uint8_t* requestAuthenticator,
                    const CRadSecret& secret) {
    const std::uint32_t total = static_cast<std::uint32_t>(length) + secret.length;
    if (total <= kShortResponse) {
        std::uint8_t message[MD5PaddedLength(kShortResponse)];
        std::memcpy(message, reply, rad::kAuthenticatorOffset);
        std::memcpy(message + rad::kAuthenticatorOffset, requestAuthenticator,
                    rad::kAuthenticatorLength);
        std::memcpy(message + rad::kHeaderLength, reply + rad::kHeaderLength,
                    length - rad::kHeaderLength);
        std::memcpy(message + length, secret.octets, secret.length);
        MD5DigestInPlace(digest, message, total);
        platform::SecureZero(message, sizeof message);
        return;
    }
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reply, rad::kAuthenticatorOffset);
    MD5Update(&ctx, requestAuthenticator, rad::kAuthenticatorLength);
    MD5Update(&ctx, reply + rad::kHeaderLength, length - rad::kHeaderLength);
    MD5Update(&ctx, secret.octets, secret.length);
    MD5Final(digest, &ctx);  // wipes the context
}

}  // namespace

std::size_t FormatAuthenticatorText(char* text, const char* host, unsigned second,
                                    unsigned millisecond) {
    std::size_t hostLength = 0;
    if (host != nullptr) {
        while (hostLength + 1 < kHostNameLimit && host[hostLength] != '\0') ++hostLength;
        std::memcpy(text, host, hostLength);
    }
    text[hostLength] = '\0';
    return hostLength + AppendTimeSuffix(text + hostLength, second, millisecond);
}

void CRadPacket::MakeRequestAuthenticator(const AuthenticatorSources& sources) {
    // RFC 2865 section 3: the value must be unpredictable and unique over the secret's lifetime.
    // 16 octets of the thread's random stream (a CSPRNG seeded from the operating system's), with
    // the process counter folded into the last four: still unpredictable, and no two requests of
    // the process share one within 2^32 requests even if the source repeated itself.
    std::uint8_t* authenticator = octets + rad::kAuthenticatorOffset;
    const std::uint32_t counter = g_requestCounter.fetch_add(1, std::memory_order_relaxed);
    if (sources.randomBytes(authenticator, kRandomLength) == 0) {
        for (int i = 0; i < 4; ++i)
            authenticator[12 + i] ^= static_cast<std::uint8_t>(counter >> (8 * i));
        return;
    }
    // Every system source failed: the host and time text and the counter stand alone, hashed,
    // unique within the process but not unpredictable (the octets the random bytes would take
    // are zeros). Laid out in one buffer with room for MD5's padding (256 bytes of text at most:
    // the host name as FormatAuthenticatorText cuts it, then the time suffix).
    std::uint8_t message[MD5PaddedLength(256 + kRandomLength + 4)];
    char* text = reinterpret_cast<char*>(message);
    if (sources.hostName(text, kHostNameLimit) != 0) text[0] = '\0';
    text[kHostNameLimit - 1] = '\0';
    const std::size_t hostLength = std::strlen(text);
    unsigned second = 0;
    unsigned millisecond = 0;
    sources.utcTime(&second, &millisecond);
    const std::size_t textLength =
        hostLength + AppendTimeSuffix(text + hostLength, second, millisecond);
    std::uint8_t* randomBytes = message + textLength;
    std::memset(randomBytes, 0, kRandomLength);
    std::uint8_t* counterBytes = randomBytes + kRandomLength;
    counterBytes[0] = static_cast<std::uint8_t>(counter);
    counterBytes[1] = static_cast<std::uint8_t>(counter >> 8);
    counterBytes[2] = static_cast<std::uint8_t>(counter >> 16);
    counterBytes[3] = static_cast<std::uint8_t>(counter >> 24);
    MD5DigestInPlace(authenticator, message,
                     static_cast<std::uint32_t>(textLength + kRandomLength + 4));
}

int CRadAttrCursor::HidePassword(const std::uint8_t* plaintext, std::uint16_t n,
                                 const std::uint8_t* firstDigest) {
    if (packet == nullptr || packet->secretLink == nullptr) return -1;
    const CRadSecret& secret = *packet->secretLink;
    if (secret.length == 0 || secret.length > rad::kMaxSecretLength) return -1;
    if (n == 0) return 0;
    // The value must lie inside the attribute the cursor names and within the wire limit.
    const int blocks = (n + rad::kPasswordBlock - 1) / rad::kPasswordBlock;
    if (n > rad::kMaxPasswordLength || offset < rad::kHeaderLength ||
        offset + rad::kAttributeHeaderLength + blocks * rad::kPasswordBlock > rad::kMaxPacketLength)
        return -1;

    // S + c(i-1), with room for MD5's padding behind it: hashed where it lies.
    std::uint8_t work[MD5PaddedLength(rad::kMaxSecretLength + rad::kPasswordBlock)];
    const std::uint32_t hashed = secret.length + rad::kPasswordBlock;
    std::uint8_t block[rad::kPasswordBlock];
    std::uint8_t digest[kMd5DigestLength];
    std::memcpy(work, secret.octets, secret.length);
    // c(1) = p(1) XOR MD5(S + RA); c(i) = p(i) XOR MD5(S + c(i-1)).
    std::memcpy(work + secret.length, packet->octets + rad::kAuthenticatorOffset,
                rad::kPasswordBlock);
    std::uint8_t* out = packet->octets + offset + rad::kAttributeHeaderLength;
    for (int i = 0; i < blocks; ++i) {
        const int start = i * rad::kPasswordBlock;
        const int take = n - start < rad::kPasswordBlock ? n - start : rad::kPasswordBlock;
        std::memset(block, 0, sizeof block);
        std::memcpy(block, plaintext + start, static_cast<std::size_t>(take));
        if (i == 0 && firstDigest != nullptr)
            std::memcpy(digest, firstDigest, sizeof digest);
        else
            MD5DigestInPlace(digest, work, hashed);
        for (int j = 0; j < rad::kPasswordBlock; ++j)
            block[j] = static_cast<std::uint8_t>(block[j] ^ digest[j]);
        std::memcpy(out + start, block, sizeof block);
        std::memcpy(work + secret.length, block, sizeof block);
    }
    platform::SecureZero(work, MD5PaddedLength(hashed));  // every byte written
    platform::SecureZero(block, sizeof block);
    platform::SecureZero(digest, sizeof digest);
    return 0;
}

CRadHmacKey::~CRadHmacKey() {
    HmacMd5KeyWipe(&prepared);
    madeFrom = nullptr;
}

const HMAC_MD5_KEY& CRadHmacKey::For(const CRadSecret& secret) {
    if (madeFrom != &secret) {
        HmacMd5KeyInit(&prepared, secret.octets, secret.length);
        madeFrom = &secret;
    }
    return prepared;
}

void CRadHmacKey::MakeBeside(const CRadSecret& secret, std::uint32_t besideState[4],
                             const std::uint8_t* besideBlock) {
    HmacMd5KeyInitBeside(&prepared, secret.octets, secret.length, besideState, besideBlock);
    madeFrom = &secret;
}

namespace {

// The secret and the Request Authenticator of a first hiding block that MD5 takes as one block
// (with its padding: 55 bytes at most).
constexpr int kOneBlockMessage = 55;

// MD5(S + RA), the first hiding block's digest, computed in the same pass as the HMAC key's
// pads, which the request's Message-Authenticator needs next. Both are secret work; the block
// is wiped, the key kept beside the entry's secret as always.
void HidingDigestBesideKey(const CRadSecret& secret, const std::uint8_t* requestAuthenticator,
                           CRadHmacKey* hmacKey, std::uint8_t digest[kMd5DigestLength]) {
    const std::uint32_t length = secret.length + rad::kPasswordBlock;
    std::uint8_t block[MD5PaddedLength(kOneBlockMessage)];
    std::memcpy(block, secret.octets, secret.length);
    std::memcpy(block + secret.length, requestAuthenticator, rad::kAuthenticatorLength);
    MD5PadInPlace(block, length, length);
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};  // RFC 1321 3.3
    hmacKey->MakeBeside(secret, state, block);
    MD5WriteDigest(digest, state);
    platform::SecureZero(block, sizeof block);
    platform::SecureZero(state, sizeof state);
}

}  // namespace

void CRadPacket::PrepareForServer(const CRadSecret& secret, const platform::IpAddress* nasAddress,
                                  CRadHmacKey* hmacKey) {
    secretLink = &secret;
    // The slot is the end: the previous server's address goes, this server's takes its place
    // (RFC 2865 section 5.4, RFC 3162 section 2.1), before the signature that covers it.
    if (nasAddressOffset >= rad::kHeaderLength && nasAddressOffset <= Length()) {
        SetLength(nasAddressOffset);
        if (nasAddress != nullptr) {
            CRadAttrCursor cursor;
            const bool v6 = nasAddress->family == platform::kFamilyIPv6;
            if (BeginAttribute(v6 ? rad::kNasIpv6Address : rad::kNasIpAddress, cursor) == 0)
                cursor.AppendAddress(*nasAddress);
        }
    }
    const std::uint16_t length = Length();
    const bool signs = messageAuthenticatorOffset >= rad::kHeaderLength &&
                       messageAuthenticatorOffset + rad::kMessageAuthenticatorLength <= length &&
                       length <= rad::kMaxPacketLength && secret.length != 0;
    if (savedPasswordOffset >= rad::kHeaderLength) {
        CRadAttrCursor cursor;
        cursor.packet = this;
        cursor.offset = savedPasswordOffset;
        // Where the request is signed with a key not made yet, and the secret and the Request
        // Authenticator fit one MD5 block, the hiding's first digest comes with the key's pads.
        std::uint8_t first[kMd5DigestLength];
        const bool beside = signs && hmacKey != nullptr && hmacKey->madeFrom != &secret &&
                            secret.length != 0 &&
                            secret.length + rad::kPasswordBlock <= kOneBlockMessage;
        if (beside)
            HidingDigestBesideKey(secret, octets + rad::kAuthenticatorOffset, hmacKey, first);
        // RFC 2865 section 5.2: an empty password is hidden as one block of zero bytes, which
        // is what one zero byte padded to 16 gives.
        static const std::uint8_t kZero = 0;
        if (savedPasswordLength != 0)
            cursor.HidePassword(savedPassword, savedPasswordLength, beside ? first : nullptr);
        else
            cursor.HidePassword(&kZero, 1, beside ? first : nullptr);
        if (beside) platform::SecureZero(first, sizeof first);
    }
    if (signs) {
        // RFC 3579 section 3.2: HMAC-MD5 over the whole request, value taken as zeros, and
        // after the hiding, because it covers the hidden User-Password.
        std::uint8_t* value = octets + messageAuthenticatorOffset + rad::kAttributeHeaderLength;
        std::memset(value, 0, rad::kAuthenticatorLength);
        std::uint8_t mac[kMd5DigestLength];
        if (hmacKey != nullptr)
            HmacMd5Keyed(mac, hmacKey->For(secret), octets, length);
        else
            HmacMd5(mac, secret.octets, secret.length, octets, length);
        std::memcpy(value, mac, sizeof mac);
    } else if (Code() == rad::kAccountingRequest) {
        // RFC 2866 section 3: the Request Authenticator covers the packet as it now stands (this
        // server's NAS address included) and the secret. Tested only where no Message-
        // Authenticator is signed, so an Access-Request never pays for the test.
        SignAccountingRequest(*this, secret);
    }
}

ReplyCheck CRadPacket::CheckResponseTo(std::uint8_t identifier,
                                       const std::uint8_t* requestAuthenticator,
                                       const CRadSecret* secret, std::uint16_t received,
                                       bool* signedReply, CRadHmacKey* hmacKey) const {
    if (signedReply != nullptr) *signedReply = false;
    // Bounds first, before any hashing (RFC 2865 section 3: Length 20..4096; a packet shorter
    // than its Length field is discarded, octets beyond it are ignored). A datagram shorter than
    // a header has no Length field of its own: the octets there are an earlier datagram's.
    if (received < rad::kHeaderLength) return ReplyCheck::kTooShort;
    const std::uint16_t length = Length();
    if (length < rad::kHeaderLength || length > rad::kMaxPacketLength || length > received)
        return ReplyCheck::kBadLength;
    if (secret == nullptr || secret->length == 0 || secret->length > rad::kMaxSecretLength)
        return ReplyCheck::kNoSecret;

    // RFC 2865 section 3: the Response Authenticator.
    std::uint8_t digest[kMd5DigestLength];
    ResponseDigest(digest, octets, length, requestAuthenticator, *secret);
    if (!ConstantTimeEqual(digest, octets + rad::kAuthenticatorOffset, sizeof digest))
        return ReplyCheck::kBadAuthenticator;
    if (Identifier() != identifier) return ReplyCheck::kWrongIdentifier;

    // Every attribute is examined: a Proxy-State we never sent is the forged-reply signature
    // (CVE-2024-3596), and a Message-Authenticator, if present, must be single and verify.
    int messageAuthenticator = 0;
    int found = 0;
    for (int offset = rad::kHeaderLength; offset + 1 < length;) {
        const int type = octets[offset];
        const int attributeLength = octets[offset + 1];
        if (attributeLength < rad::kAttributeHeaderLength || offset + attributeLength > length)
            break;  // malformed: the reader refuses the reply's text (see api/result.cpp)
        if (type == rad::kProxyState) return ReplyCheck::kProxyState;
        if (type == rad::kMessageAuthenticator) {
            if (attributeLength != rad::kMessageAuthenticatorLength || ++found > 1)
                return ReplyCheck::kMessageAuthenticatorForm;
            messageAuthenticator = offset;
        }
        offset += attributeLength;
    }
    if (found == 0) return ReplyCheck::kVerified;

    // RFC 3579 section 3.2: HMAC-MD5 over the reply with the Request Authenticator in place of
    // the Response Authenticator and the Message-Authenticator value taken as zeros.
    const int valueAt = messageAuthenticator + rad::kAttributeHeaderLength;
    const int afterValue = valueAt + rad::kAuthenticatorLength;
    HMAC_MD5_CTX mac;
    if (hmacKey != nullptr)
        HmacMd5InitKeyed(&mac, hmacKey->For(*secret));
    else
        HmacMd5Init(&mac, secret->octets, secret->length);
    HmacMd5Update(&mac, octets, rad::kAuthenticatorOffset);
    HmacMd5Update(&mac, requestAuthenticator, rad::kAuthenticatorLength);
    HmacMd5Update(&mac, octets + rad::kHeaderLength,
                  static_cast<std::uint32_t>(valueAt - rad::kHeaderLength));
    HmacMd5Update(&mac, kZeroBlock, sizeof kZeroBlock);
    HmacMd5Update(&mac, octets + afterValue, static_cast<std::uint32_t>(length - afterValue));
    HmacMd5Final(digest, &mac);
    if (!ConstantTimeEqual(digest, octets + valueAt, sizeof digest))
        return ReplyCheck::kBadMessageAuthenticator;
    if (signedReply != nullptr) *signedReply = true;
    return ReplyCheck::kVerified;
}
