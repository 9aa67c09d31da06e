// Fuzz target for the packet builder: arbitrary sequences of the cursor's operations, with
// arbitrary types and lengths, on one request, held to a byte image the harness keeps itself.
//
// Input: byte 0 the Code, bytes 1..16 the Request Authenticator, then operations: one byte
// (bit 7 picks one of two cursors, the rest modulo 8 the operation) and its operands.
// After every operation: Length stays 20..4096, each 0/-1 is the one RFC 2865's limits predict,
// what FindAttribute, GetValue and Type hand out lies below Length, and the packet's bytes up
// to Length equal the image. PrepareForServer's hiding (RFC 2865 section 5.2), its
// Message-Authenticator (RFC 3579 section 3.2) and an Accounting-Request's Request Authenticator
// (RFC 2866 section 3) are recomputed with OpenSSL.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "radius/constants.h"
#include "radius/packet.h"

namespace {

constexpr int kMaxOperations = 1024;

enum Operation {
    kBegin,
    kAppendText,
    kAppendPassword,
    kAppendMessageAuthenticator,
    kFind,
    kGetValue,
    kPrepare,
    kResetCursor,
    kOperationCount
};

struct ImageAttribute {
    int offset;
    int length;
};

// The expected packet: its bytes up to Length, where its attributes start, the type byte the
// last BeginAttribute left at the end, and what PrepareForServer works on.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::vector<ImageAttribute> attributes;
    int pendingType = -1;  // octets[Length] as the last BeginAttribute at Length wrote it
    int passwordOffset = 0;
    std::vector<std::uint8_t> password;
    int messageAuthenticatorOffset = 0;

    int Length() const { return static_cast<int>(bytes.size()); }
    void Append(std::uint8_t type, int length, const std::uint8_t* value) {
        bytes.push_back(type);
        bytes.push_back(static_cast<std::uint8_t>(length));
        bytes.insert(bytes.end(), value, value + (length - 2));
        bytes[2] = static_cast<std::uint8_t>(bytes.size() >> 8);
        bytes[3] = static_cast<std::uint8_t>(bytes.size() & 0xFF);
    }
    const ImageAttribute* At(int offset) const {
        for (const ImageAttribute& a : attributes)
            if (a.offset == offset) return &a;
        return nullptr;
    }
};

// RFC 2865 section 5.2, done apart from the library: c(1) = p(1) XOR MD5(S + RA),
// c(i) = p(i) XOR MD5(S + c(i-1)); an empty password is one block of zeros.
void HideIntoImage(Image& image, const CRadSecret& secret) {
    const std::size_t n = image.password.size();
    const std::size_t blocks = n == 0 ? 1 : (n + 15) / 16;
    std::uint8_t previous[16];
    std::memcpy(previous, image.bytes.data() + 4, 16);
    std::uint8_t* out = image.bytes.data() + image.passwordOffset + 2;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t pad[16];
        RefMd5(pad, {{secret.octets, secret.length}, {previous, 16}});
        for (std::size_t i = 0; i < 16; ++i) {
            const std::size_t at = b * 16 + i;
            out[at] = static_cast<std::uint8_t>((at < n ? image.password[at] : 0) ^ pad[i]);
        }
        std::memcpy(previous, out + b * 16, 16);
    }
}

void CheckAgainstImage(const CRadPacket& packet, const Image& image) {
    const int length = packet.Length();
    FUZZ_CHECK(length >= rad::kHeaderLength && length <= rad::kMaxPacketLength);
    FUZZ_CHECK(length == image.Length());
    FUZZ_CHECK(std::memcmp(packet.octets, image.bytes.data(), image.bytes.size()) == 0);
}

bool Fits(const CRadAttrCursor& cursor, const CRadPacket* packet, int attributeLength) {
    const int length = packet->Length();
    return cursor.packet == packet && cursor.offset >= rad::kHeaderLength &&
           cursor.offset == length && length + attributeLength <= rad::kMaxPacketLength;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    CRadSecret secret;  // outlives the packet, which links it
    std::unique_ptr<CRadPacket> packet(new CRadPacket(in.Byte()));
    for (int i = 0; i < 16; ++i) packet->octets[4 + i] = in.Byte();
    // Nothing may touch the octets past 4096: that room is not part of any packet.
    QVRAD_POISON(packet->octets + rad::kMaxPacketLength,
                 sizeof packet->octets - rad::kMaxPacketLength);

    Image image;
    image.bytes.assign(packet->octets, packet->octets + rad::kHeaderLength);
    CheckAgainstImage(*packet, image);
    CRadAttrCursor cursors[2];
    char text[320];
    std::uint8_t bytes[320];

    for (int step = 0; step < kMaxOperations && !in.Empty(); ++step) {
        const std::uint8_t op = in.Byte();
        CRadAttrCursor& cursor = cursors[op >> 7];
        const int length = packet->Length();
        const int kind = (op & 0x7F) % kOperationCount;
        switch (kind) {
            case kBegin: {
                const std::uint8_t type = in.Byte();
                const int rc = packet->BeginAttribute(type, cursor);
                FUZZ_CHECK(cursor.packet == packet.get());
                FUZZ_CHECK(rc == (length + 2 <= rad::kMaxPacketLength ? 0 : -1));
                FUZZ_CHECK(cursor.offset == (rc == 0 ? length : 0));
                if (rc == 0) image.pendingType = type;
                break;
            }
            case kAppendText: {
                const unsigned n = in.Word() % sizeof text;
                const std::uint8_t seed = in.Byte();
                for (unsigned i = 0; i < n; ++i)
                    text[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
                text[n < sizeof text ? n : sizeof text - 1] = '\0';
                const int attributeLength = static_cast<int>(n) + 2;
                const bool ok =
                    n <= rad::kMaxTextLength && Fits(cursor, packet.get(), attributeLength);
                const int type = image.pendingType;
                FUZZ_CHECK(cursor.AppendText(text) == (ok ? 0 : -1));
                if (ok) {
                    image.attributes.push_back({length, attributeLength});
                    image.Append(static_cast<std::uint8_t>(type), attributeLength,
                                 reinterpret_cast<const std::uint8_t*>(text));
                }
                break;
            }
            case kAppendPassword: {
                const unsigned n = in.Word() % 160;
                const std::uint8_t seed = in.Byte();
                for (unsigned i = 0; i < n; ++i)
                    text[i] = static_cast<char>(1 + (i * 13 + seed) % 255);  // never NUL
                text[n] = '\0';
                const unsigned blocks = n == 0 ? 1 : (n + 15) / 16;
                const int attributeLength = static_cast<int>(blocks * 16 + 2);
                const bool ok =
                    n <= rad::kMaxPasswordLength && Fits(cursor, packet.get(), attributeLength);
                const int type = image.pendingType;
                FUZZ_CHECK(cursor.AppendPassword(text) == (ok ? 0 : -1));
                if (ok) {
                    // Zeros until PrepareForServer hides the plaintext.
                    std::memset(bytes, 0, sizeof bytes);
                    image.attributes.push_back({length, attributeLength});
                    image.Append(static_cast<std::uint8_t>(type), attributeLength, bytes);
                    image.passwordOffset = length;
                    image.password.assign(text, text + n);
                }
                break;
            }
            case kAppendMessageAuthenticator: {
                const bool ok = Fits(cursor, packet.get(), 18);
                const int type = image.pendingType;
                FUZZ_CHECK(cursor.AppendMessageAuthenticator() == (ok ? 0 : -1));
                if (ok) {
                    std::memset(bytes, 0, 16);
                    image.attributes.push_back({length, 18});
                    image.Append(static_cast<std::uint8_t>(type), 18, bytes);
                    image.messageAuthenticatorOffset = length;
                }
                break;
            }
            case kFind: {
                const std::uint8_t type = in.Byte();
                int expected = 0;
                for (const ImageAttribute& a : image.attributes) {
                    if (image.bytes[a.offset] == type) {
                        expected = a.offset;
                        break;
                    }
                }
                const int rc = packet->FindAttribute(type, cursor);
                FUZZ_CHECK(cursor.packet == packet.get());
                FUZZ_CHECK(rc == (expected != 0 ? 0 : -1) && cursor.offset == expected);
                if (rc == 0) FUZZ_CHECK(cursor.offset < packet->Length());
                break;
            }
            case kGetValue: {
                const std::uint8_t* value = nullptr;
                std::uint16_t valueLength = 0xFFFF;
                const int rc = cursor.GetValue(&value, &valueLength);
                const std::uint8_t type = cursor.Type();
                const ImageAttribute* a =
                    cursor.packet != nullptr && cursor.offset >= rad::kHeaderLength
                        ? image.At(cursor.offset)
                        : nullptr;
                if (a == nullptr) {
                    FUZZ_CHECK(rc == -1 && value == nullptr && valueLength == 0xFFFF);
                    if (cursor.packet == nullptr || cursor.offset < rad::kHeaderLength)
                        FUZZ_CHECK(type == 0);
                    else  // a cursor whose attribute was begun but not yet appended
                        FUZZ_CHECK(cursor.offset == length && type == image.pendingType);
                } else {
                    FUZZ_CHECK(rc == 0 && value == packet->octets + a->offset + 2 &&
                               valueLength == a->length - 2);
                    FUZZ_CHECK(value >= packet->octets + rad::kHeaderLength &&
                               value + valueLength <= packet->octets + packet->Length());
                    FUZZ_CHECK(type == image.bytes[a->offset]);
                }
                break;
            }
            case kPrepare: {
                const unsigned n = in.Word() % 300;
                const std::uint8_t seed = in.Byte();
                for (unsigned i = 0; i < n; ++i)
                    bytes[i] = static_cast<std::uint8_t>(i * 29 + seed);
                FUZZ_CHECK(secret.Assign(bytes, n) == (n <= rad::kMaxSecretLength ? 0 : -1));
                packet->PrepareForServer(secret);
                FUZZ_CHECK(packet->secretLink == &secret);
                const bool signs = image.messageAuthenticatorOffset != 0 && secret.length != 0;
                if (secret.length != 0) {
                    if (image.passwordOffset != 0) HideIntoImage(image, secret);
                    if (image.messageAuthenticatorOffset != 0) {
                        std::uint8_t* value =
                            image.bytes.data() + image.messageAuthenticatorOffset + 2;
                        std::memset(value, 0, 16);
                        std::uint8_t mac[16];
                        RefHmacMd5(mac, secret.octets, secret.length, image.bytes.data(),
                                   image.bytes.size());
                        std::memcpy(value, mac, 16);
                    }
                }
                // RFC 2866 section 3: an Accounting-Request that is not signed gets the MD5 of
                // the packet, its Request Authenticator zeroed, and the secret, after the rest.
                if (image.bytes[0] == rad::kAccountingRequest && !signs) {
                    std::uint8_t* authenticator = image.bytes.data() + 4;
                    std::memset(authenticator, 0, 16);
                    std::uint8_t digest[16];
                    RefMd5(digest, {{image.bytes.data(), image.bytes.size()},
                                    {secret.octets, secret.length}});
                    std::memcpy(authenticator, digest, 16);
                }
                break;
            }
            default:
                cursor = CRadAttrCursor();
                FUZZ_CHECK(cursor.Type() == 0);
                break;
        }
        // Length after every operation; the bytes after every one that writes (the readers' are
        // compared once, at the end).
        FUZZ_CHECK(packet->Length() == image.Length());
        if (kind != kFind && kind != kGetValue && kind != kResetCursor)
            CheckAgainstImage(*packet, image);
    }
    CheckAgainstImage(*packet, image);
    QVRAD_UNPOISON(packet->octets + rad::kMaxPacketLength,
                   sizeof packet->octets - rad::kMaxPacketLength);
    return 0;
}
