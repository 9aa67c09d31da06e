// The RADIUS packet in its wire form (RFC 2865 section 3), the shared secret record and the
// attribute cursor that builds and reads attributes in place. No parsed copy, no heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "md5/hmac_md5.h"
#include "radius/constants.h"

struct CRadSecret;
class CRadAttrCursor;
namespace platform {
struct IpAddress;
}

// Where the authenticators' sources come from; tests freeze the clock or the randomness.
struct AuthenticatorSources {
    int (*hostName)(char* buffer, std::size_t limit);
    void (*utcTime)(unsigned* second, unsigned* millisecond);
    int (*randomBytes)(void* buffer, std::size_t length);
};
extern const AuthenticatorSources kPlatformAuthenticatorSources;

// The text part of a Request Authenticator: host name (at most 205 characters), ':', the UTC
// second, ':', the millisecond, in decimal. text must hold 256 bytes; returns its length.
std::size_t FormatAuthenticatorText(char* text, const char* host, unsigned second,
                                    unsigned millisecond);

// A shared secret, used byte for byte. Wipes itself when it goes.
struct CRadSecret {
    std::uint8_t octets[rad::kMaxSecretLength];
    std::uint16_t length = 0;

    CRadSecret() = default;
    // A copy of count bytes; empty when more than 256 (as Assign).
    CRadSecret(const void* bytes, std::size_t count);
    CRadSecret(const CRadSecret& other);
    CRadSecret& operator=(const CRadSecret& other);
    ~CRadSecret();
    // Fills from bytes; -1 (and empty) when more than 256 bytes.
    int Assign(const void* bytes, std::size_t count);
};

// The HMAC-MD5 key of one secret made ready at its first use (RFC 2104 section 2: the pads
// compressed once), so that the request's Message-Authenticator and every reply's reuse it: a
// call keeps one beside each server entry's secret. Made again when asked for another secret
// object; the secret must not change while it is kept. Wipes itself when it goes.
struct CRadHmacKey {
    HMAC_MD5_KEY prepared;
    const CRadSecret* madeFrom = nullptr;

    CRadHmacKey() = default;
    CRadHmacKey(const CRadHmacKey&) = delete;
    CRadHmacKey& operator=(const CRadHmacKey&) = delete;
    ~CRadHmacKey();
    const HMAC_MD5_KEY& For(const CRadSecret& secret);
    // Makes the key ready for secret, and in the same pass compresses besideBlock into
    // besideState (HmacMd5KeyInitBeside).
    void MakeBeside(const CRadSecret& secret, std::uint32_t besideState[4],
                    const std::uint8_t* besideBlock);
};

// What the checks of a received datagram found, in the order they run: the first that fails
// names the reason it is discarded (RFC 2865 section 3 and 4, RFC 3579 section 3.2).
enum class ReplyCheck : std::uint8_t {
    kVerified = 0,
    kTooShort,                  // fewer octets than a header
    kBadLength,                 // Length below 20, above 4096 or past the octets received
    kNoSecret,                  // no usable secret linked to the request
    kBadAuthenticator,          // the Response Authenticator does not verify
    kWrongIdentifier,           // signed, but for another request's Identifier
    kProxyState,                // a Proxy-State this client never sent (CVE-2024-3596)
    kMessageAuthenticatorForm,  // a Message-Authenticator not of length 18, or more than one
    kBadMessageAuthenticator,   // its HMAC-MD5 does not verify
    // Found by the exchange itself, around those checks:
    kOversized,  // larger than 4096 octets, dropped before any check
    kUnsigned,   // verified, but no Message-Authenticator from a server that must sign
    kMalformed,  // verified, but an Access-Challenge with more than one State (RFC 2865 5.44)
};

// Whether a received packet's attributes parse to exactly its Length (RFC 2865 section 5): the
// first fault of the walk, which stops there (nothing behind it can be found).
enum class AttributeFault : std::uint8_t {
    kNone = 0,
    kPacketLength,    // the packet's Length is outside 20..4096: no attribute area to walk
    kNoLengthOctet,   // the last attribute's Length octet would lie at the packet's Length
    kLengthBelowTwo,  // a Length octet of 0 or 1, which leaves no way to the next attribute
    kPastEnd,         // an attribute that runs past the packet's Length
};

class CRadPacket {
  public:
    explicit CRadPacket(std::uint8_t code);
    ~CRadPacket();  // wipes the saved plaintext password
    CRadPacket(const CRadPacket&) = delete;
    CRadPacket& operator=(const CRadPacket&) = delete;

    std::uint8_t Code() const { return octets[0]; }
    std::uint8_t Identifier() const { return octets[1]; }
    void SetIdentifier(std::uint8_t identifier) { octets[1] = identifier; }
    std::uint16_t Length() const;  // big-endian field at octets[2..3]
    void SetLength(std::uint16_t length);

    int BeginAttribute(std::uint8_t type, CRadAttrCursor& cursor);
    // The first attribute of that type below Length; never reads at or past Length or 4096.
    int FindAttribute(std::uint8_t type, CRadAttrCursor& cursor);
    // Steps the cursor to the attribute after its current one, or to the first when it has none;
    // -1 (cursor cleared) past the last one below Length, or after one whose Length octet is
    // below 2. An attribute that runs past Length is still stepped to: GetValue refuses it.
    int NextAttribute(CRadAttrCursor& cursor);
    // The first fault of the attribute walk below Length, or kNone; *at (if given) is then the
    // Type octet's offset of the attribute at fault (0 for kPacketLength and kNone).
    AttributeFault CheckAttributes(std::uint16_t* at = nullptr) const;

    // RFC 2865 section 3: a Request Authenticator unique and unpredictable over the secret's
    // lifetime: 16 octets of the random source with a process counter folded into the last four;
    // where the source fails, MD5 of host name and UTC time text and the counter.
    void MakeRequestAuthenticator(
        const AuthenticatorSources& sources = kPlatformAuthenticatorSources);
    // Once per server, before its first transmission: link the server's secret; where the
    // request has a NAS address slot, put this server's NAS address there (none when null) in
    // place of the one before; hide the password with the secret; then sign the request with a
    // Message-Authenticator where it carries one, which so covers the address too; with
    // hmacKey, the secret's key is taken from (or made ready in) it.
    void PrepareForServer(const CRadSecret& secret, const platform::IpAddress* nasAddress = nullptr,
                          CRadHmacKey* hmacKey = nullptr);
    // Called on a received reply with the request that was sent and the bytes received. When it
    // verifies, *signedReply (if given) says whether it carried a valid Message-Authenticator;
    // otherwise the result names the first check that failed.
    ReplyCheck CheckResponse(const CRadPacket& request, std::uint16_t received,
                             bool* signedReply = nullptr) const {
        return CheckResponseTo(request.Identifier(), request.octets + rad::kAuthenticatorOffset,
                               request.secretLink, received, signedReply);
    }
    // The same checks against a request known by what it went out with: its Identifier, its
    // Request Authenticator (16 octets) and the secret it was prepared with. A call whose
    // entries were sent different requests checks a late reply against each. With hmacKey, a
    // Message-Authenticator is verified with the secret's key taken from (or made ready in) it.
    ReplyCheck CheckResponseTo(std::uint8_t identifier, const std::uint8_t* requestAuthenticator,
                               const CRadSecret* secret, std::uint16_t received,
                               bool* signedReply = nullptr, CRadHmacKey* hmacKey = nullptr) const;
    bool VerifyResponse(const CRadPacket& request, std::uint16_t received,
                        bool* signedReply = nullptr) const {
        return CheckResponse(request, received, signedReply) == ReplyCheck::kVerified;
    }

    std::uint8_t octets[rad::kBufferSize];
    const CRadSecret* secretLink = nullptr;
    std::uint8_t savedPassword[rad::kMaxPasswordLength];
    std::uint16_t savedPasswordLength = 0;
    std::uint16_t savedPasswordOffset = 0;
    std::uint16_t messageAuthenticatorOffset =
        0;  // Type octet of our Message-Authenticator, 0 if none
    // Where the NAS-IP-Address or NAS-IPv6-Address of the server in turn begins: the request's
    // last attribute, so that its size may change from server to server and nothing else moves.
    // 0: the request carries none.
    std::uint16_t nasAddressOffset = 0;
};

class CRadAttrCursor {
  public:
    CRadPacket* packet = nullptr;
    std::uint16_t offset = 0;  // Type octet of the current attribute; below 20 means none

    std::uint8_t Type() const;
    // A pointer into the packet and the value length; -1 (outputs untouched) when there is no
    // current attribute or its Length octet is below 2 or runs past the packet's Length.
    int GetValue(const std::uint8_t** value, std::uint16_t* valueLength) const;
    int AppendText(const char* text);                            // refuses more than 253 bytes
    int AppendOctets(const std::uint8_t* bytes, std::size_t n);  // the same, any octets
    int AppendPassword(const char* password);                    // refuses more than 128 bytes
    // Completes a Message-Authenticator attribute (RFC 3579 section 3.2) with 16 zero bytes,
    // to be signed by PrepareForServer.
    int AppendMessageAuthenticator();
    // An address value: 4 bytes of IPv4, 16 of IPv6 (RFC 2865 section 5.4, RFC 3162 section
    // 2.1); refuses an address of neither family.
    int AppendAddress(const platform::IpAddress& address);
    // RFC 2865 section 5.2 hiding of n plaintext bytes into the attribute at the cursor. With
    // firstDigest, that is taken as MD5(S + RA), already computed by the caller.
    int HidePassword(const std::uint8_t* plaintext, std::uint16_t n,
                     const std::uint8_t* firstDigest = nullptr);
};

// Reads a big-endian 16-bit field.
inline std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
