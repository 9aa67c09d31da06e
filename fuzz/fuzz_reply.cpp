// Fuzz target for the reply path: a datagram as the exchange receives it goes through
// VerifyResponse and ReplyToResult as auth uses them, and is held to an independent model; a
// verified one is also split into a structured login's view (BuildReplyView) and read back
// through qvrad.h's accessors, held to an independent split (RFC 2865 section 5.26).
//
// Input, byte 0: bits 1-2 the reply-signing setting (0 and 3 auto, 1 yes, 2 no), bits 3-4 what the
// server table held before (0 nothing, 1 this server, 2 other servers, 3 64 others: full); a
// verified reply then meets the exchange's last rule, and the model learns alike. Bit 0 the mode:
//   0 (raw)    the rest is the datagram as received, up to 4352 bytes; the count passed on is at
//              most 4096, as the exchange never receives more. With bit 5 set, the rest is what
//              a TLS connection delivered instead (RFC 6613): the stream framing cuts the first
//              packet from it by its Length, which may be longer or shorter than what arrived,
//              and only a packet it framed whole goes on. With bit 6 set (and bit 5 clear), the
//              rest is a spool file's bytes instead: DecodeSpoolRecord is held to a model (a
//              table-driven CRC-32 and an attribute walk of its own), reads nothing past them,
//              and what it accepts encodes back to the same bytes.
//   1 (signed) byte 1 is the Code, byte 2 the flags below, the rest the attribute area. The
//              harness lays out the header, may add Message-Authenticators, and signs the reply
//              with the right secret, so the walk behind the authenticator check is reached.
// Bytes past what was received (and the request's bytes past its Length) are poisoned: reading
// one is an ASan report. fuzz/make_corpus.py repeats the fixed request's values.
#include <cstring>
#include <memory>

#include "api/result.h"
#include "fuzz_support.h"
#include "login/login.h"
#include "login/reply_view.h"
#include "qvrad.h"
#include "radius/constants.h"
#include "radius/packet.h"
#include "radius/reply_signing.h"
#include "spool/spool_format.h"
#include "tls/tls_framing.h"

namespace {

const char kSecret[] = "fuzz-shared-secret-2865";
const std::uint8_t kRequestAuthenticator[16] = {'q', 'v', 'R', 'a', 'd', 'C', 'l', 'i',
                                                'e', 'n', 't', '-', 'f', 'u', 'z', 'z'};
constexpr std::uint8_t kIdentifier = 0x2A;
constexpr unsigned kAuthResultSize = 2048;  // the size of auth's result buffer

constexpr std::uint8_t kFlagMessageAuthenticatorFirst = 0x01;
constexpr std::uint8_t kFlagMessageAuthenticatorLast = 0x02;
constexpr std::uint8_t kFlagWrongIdentifier = 0x04;
constexpr std::uint8_t kFlagCorruptMessageAuthenticator = 0x08;
constexpr std::uint8_t kFlagTrailingBytes = 0x10;  // 1 + (flags >> 5) bytes past Length

const char* const kFixedTexts[] = {kResultInvalidInput, kResultNetworkFail, kResultInvalidFormat,
                                   kResultWinsock,      kResultClientStack, kResultLockFail};

// The request every datagram is checked against, built as auth builds one.
struct Fixture {
    CRadSecret secret;
    CRadPacket request{rad::kAccessRequest};
    std::uint8_t image[rad::kMaxPacketLength];
    std::uint16_t length = 0;

    Fixture() {
        secret.Assign(kSecret, sizeof kSecret - 1);
        std::memcpy(request.octets + rad::kAuthenticatorOffset, kRequestAuthenticator, 16);
        request.SetIdentifier(kIdentifier);
        CRadAttrCursor cursor;
        request.BeginAttribute(rad::kMessageAuthenticator, cursor);
        cursor.AppendMessageAuthenticator();
        request.BeginAttribute(rad::kUserName, cursor);
        cursor.AppendText("alice");
        request.BeginAttribute(rad::kUserPassword, cursor);
        cursor.AppendPassword("password");
        request.PrepareForServer(secret);
        length = request.Length();
        std::memcpy(image, request.octets, length);
        // A reply's check needs the request's header and the secret's own bytes, nothing else.
        QVRAD_POISON(request.octets + length, sizeof request.octets - length);
        QVRAD_POISON(secret.octets + secret.length, sizeof secret.octets - secret.length);
    }
};

// Never destroyed: its destructors would wipe the poisoned bytes.
Fixture& TheFixture() {
    static Fixture* fixture = new Fixture;
    return *fixture;
}

// What RFC 2865 sections 3 and 5 and RFC 3579 section 3.2 say of these bytes, found without the
// library's code.
struct Model {
    bool lengthOk = false;
    int length = 0;
    bool authenticatorOk = false;
    bool identifierOk = false;
    bool wellFormed = false;  // every attribute parses and the last ends at Length
    bool proxyState = false;  // among the attributes before any malformed one
    int messageAuthenticators = 0;
    bool messageAuthenticatorShapeOk = true;
    bool messageAuthenticatorValid = false;
    int firstReplyMessage = -1;

    bool ShouldAccept() const {
        return lengthOk && authenticatorOk && identifierOk && !proxyState &&
               (messageAuthenticators == 0 ||
                (messageAuthenticators == 1 && messageAuthenticatorShapeOk &&
                 messageAuthenticatorValid));
    }
};

Model Examine(const std::uint8_t* o, unsigned received) {
    Model m;
    if (received < rad::kHeaderLength) return m;
    m.length = (o[2] << 8) | o[3];
    m.lengthOk = m.length >= 20 && m.length <= 4096 && m.length <= static_cast<int>(received);
    if (!m.lengthOk) return m;
    const std::size_t length = static_cast<std::size_t>(m.length);
    std::uint8_t digest[16];
    RefMd5(digest, {{o, 4},
                    {kRequestAuthenticator, 16},
                    {o + 20, length - 20},
                    {kSecret, sizeof kSecret - 1}});
    m.authenticatorOk = std::memcmp(digest, o + 4, 16) == 0;
    m.identifierOk = o[1] == kIdentifier;
    int messageAuthenticatorAt = 0;
    m.wellFormed = true;
    for (int at = 20; at < m.length;) {
        if (at + 1 >= m.length || o[at + 1] < 2 || at + o[at + 1] > m.length) {
            m.wellFormed = false;
            break;
        }
        const int type = o[at];
        if (type == 33) m.proxyState = true;
        if (type == 80) {
            ++m.messageAuthenticators;
            if (o[at + 1] != 18) m.messageAuthenticatorShapeOk = false;
            messageAuthenticatorAt = at;
        }
        if (type == 18 && m.firstReplyMessage < 0) m.firstReplyMessage = at;
        at += o[at + 1];
    }
    if (m.messageAuthenticators == 1 && m.messageAuthenticatorShapeOk) {
        std::uint8_t copy[4096];
        std::memcpy(copy, o, length);
        std::memcpy(copy + 4, kRequestAuthenticator, 16);
        std::memset(copy + messageAuthenticatorAt + 2, 0, 16);
        std::uint8_t mac[16];
        RefHmacMd5(mac, kSecret, sizeof kSecret - 1, copy, length);
        m.messageAuthenticatorValid = std::memcmp(mac, o + messageAuthenticatorAt + 2, 16) == 0;
    }
    return m;
}

// Lays out and signs a reply from the signed mode's fields; returns the count received.
unsigned BuildSigned(std::uint8_t* o, FuzzInput& in) {
    const std::uint8_t code = in.Byte();
    const std::uint8_t flags = in.Byte();
    std::size_t areaLength = 0;
    const std::uint8_t* area = in.Rest(&areaLength);
    const bool first = (flags & kFlagMessageAuthenticatorFirst) != 0;
    const bool last = (flags & kFlagMessageAuthenticatorLast) != 0;
    const std::size_t extra = (flags & kFlagTrailingBytes) != 0 ? 1u + (flags >> 5) : 0u;
    const std::size_t added = (first ? 18u : 0u) + (last ? 18u : 0u);
    const std::size_t room = 4096 - 20 - added - extra;
    if (areaLength > room) areaLength = room;
    const std::size_t total = 20 + added + areaLength;

    o[0] = code;
    o[1] = (flags & kFlagWrongIdentifier) != 0 ? kIdentifier ^ 1 : kIdentifier;
    o[2] = static_cast<std::uint8_t>(total >> 8);
    o[3] = static_cast<std::uint8_t>(total & 0xFF);
    std::memcpy(o + 4, kRequestAuthenticator, 16);
    std::size_t at = 20;
    std::size_t values[2];
    int count = 0;
    if (first) {
        o[at] = 80;
        o[at + 1] = 18;
        std::memset(o + at + 2, 0, 16);
        values[count++] = at + 2;
        at += 18;
    }
    if (areaLength != 0) std::memcpy(o + at, area, areaLength);
    at += areaLength;
    if (last) {
        o[at] = 80;
        o[at + 1] = 18;
        std::memset(o + at + 2, 0, 16);
        values[count++] = at + 2;
        at += 18;
    }
    // RFC 3579 section 3.2: HMAC-MD5 over the reply with the Request Authenticator in the
    // Authenticator field and the value zero.
    if (count != 0) {
        std::uint8_t mac[16];
        RefHmacMd5(mac, kSecret, sizeof kSecret - 1, o, total);
        for (int i = 0; i < count; ++i) std::memcpy(o + values[i], mac, 16);
        if ((flags & kFlagCorruptMessageAuthenticator) != 0) o[values[0]] ^= 0x01;
    }
    // RFC 2865 section 3: the Response Authenticator over the bytes up to Length.
    std::uint8_t digest[16];
    RefMd5(
        digest,
        {{o, 4}, {kRequestAuthenticator, 16}, {o + 20, total - 20}, {kSecret, sizeof kSecret - 1}});
    std::memcpy(o + 4, digest, 16);
    std::memset(o + total, 0xEE, extra);
    return static_cast<unsigned>(total + extra);
}

// The text ReplyToResult must write for this model, as bytes and count.
void ExpectedText(const Model& m, bool accepted, const std::uint8_t* o, const std::uint8_t** text,
                  std::size_t* length) {
    const char* fixed = kResultNetworkFail;
    if (accepted) {
        fixed = kResultInvalidFormat;
        const bool acceptOrReject = o[0] == 2 || o[0] == 3;
        if (acceptOrReject && m.wellFormed && m.firstReplyMessage >= 0 &&
            o[m.firstReplyMessage + 1] > 2) {
            *text = o + m.firstReplyMessage + 2;
            *length = static_cast<std::size_t>(o[m.firstReplyMessage + 1] - 2);
            return;
        }
    }
    *text = reinterpret_cast<const std::uint8_t*>(fixed);
    *length = std::strlen(fixed);
}

// A structured login's view of a verified reply, found without the library's code: one row per
// attribute of a reply whose attributes parse, but a Vendor-Specific (26) whose value is a
// Vendor-Id with high octet 0 and an enterprise code other than the reserved 0, followed by
// sub-attributes (type, length >= 2, value) filling it exactly, gives one row per sub-attribute
// (RFC 2865 section 5.26); the Reply-Messages' texts up to a NUL; the last State; the last
// 4-octet Prompt (RFC 2869 section 5.10: 1 is Echo).
struct ViewRow {
    std::uint32_t vendor;
    std::uint32_t type;
    const std::uint8_t* value;
    std::size_t length;
};
struct ViewModel {
    int code = 0;
    std::size_t rowCount = 0;
    ViewRow rows[2048];  // attributes take 2 octets at least, of 4076: 2038 rows at most
    std::size_t messageCount = 0;
    const std::uint8_t* messages[2048];
    std::size_t messageLengths[2048];
    const std::uint8_t* state = nullptr;
    std::size_t stateLength = 0;
    int promptEcho = 0;
};

void ModelView(const Model& m, const std::uint8_t* o, ViewModel* v) {
    // RFC 2865 section 5: a reply whose attributes do not parse is treated as an Access-Reject.
    v->code = m.wellFormed ? o[0] : 3;
    if (!m.wellFormed) return;
    for (int at = 20; at < m.length; at += o[at + 1]) {
        const std::uint8_t type = o[at];
        const std::uint8_t* value = o + at + 2;
        const std::size_t n = o[at + 1] - 2u;
        std::size_t subRows = 0;
        const bool enterprise = n >= 6 && (value[1] != 0 || value[2] != 0 || value[3] != 0);
        if (type == 26 && enterprise && value[0] == 0) {
            std::size_t used = 4;
            while (used + 2 <= n && value[used + 1] >= 2 && value[used + 1] <= n - used) {
                used += value[used + 1];
                ++subRows;
            }
            if (used != n) subRows = 0;
        }
        if (subRows != 0) {
            const std::uint32_t vendor = static_cast<std::uint32_t>(value[1]) << 16 |
                                         static_cast<std::uint32_t>(value[2]) << 8 | value[3];
            for (std::size_t used = 4; used < n; used += value[used + 1])
                v->rows[v->rowCount++] = {vendor, value[used], value + used + 2,
                                          value[used + 1] - 2u};
            continue;
        }
        v->rows[v->rowCount++] = {0, type, value, n};
        if (type == 18) {
            std::size_t keep = 0;
            while (keep < n && value[keep] != 0) ++keep;
            v->messages[v->messageCount] = value;
            v->messageLengths[v->messageCount++] = keep;
        }
        if (type == 24) {
            v->state = value;
            v->stateLength = n;
        }
        if (type == 76 && n == 4)
            v->promptEcho = value[0] == 0 && value[1] == 0 && value[2] == 0 && value[3] == 1;
    }
}

// The view of a verified reply, built where the reply lies, read through the exported accessors
// of a login that holds it, and held to the model: every row's value lies inside the packet.
void CheckView(const Model& m, const CRadPacket& reply) {
    const std::uint8_t* o = reply.octets;
    std::unique_ptr<ViewModel> model(new ViewModel);
    ModelView(m, o, model.get());
    std::unique_ptr<qvrad_login> login(new qvrad_login);
    FUZZ_CHECK(BuildReplyView(reply, &login->view) == 0);
    login->challenged = login->view.code == 11;
    const qvrad_login* l = login.get();
    FUZZ_CHECK(qvrad_login_code(l) == model->code);
    FUZZ_CHECK(qvrad_login_attribute_count(l) == model->rowCount);
    for (std::size_t i = 0; i < model->rowCount; ++i) {
        std::uint32_t vendor = 0, type = 0;
        const unsigned char* value = nullptr;
        std::size_t length = 0;
        FUZZ_CHECK(qvrad_login_attribute(l, i, &vendor, &type, &value, &length) == QVRAD_OK);
        const ViewRow& want = model->rows[i];
        FUZZ_CHECK(vendor == want.vendor && type == want.type && value == want.value &&
                   length == want.length);
        FUZZ_CHECK(value >= o + 20 && value <= o + m.length &&
                   length <= static_cast<std::size_t>(o + m.length - value));
    }
    std::uint32_t vendor = 0, type = 0;
    const unsigned char* value = nullptr;
    std::size_t length = 0;
    FUZZ_CHECK(qvrad_login_attribute(l, model->rowCount, &vendor, &type, &value, &length) ==
               QVRAD_E_ARGUMENT);
    FUZZ_CHECK(qvrad_login_message_count(l) == model->messageCount);
    for (std::size_t i = 0; i < model->messageCount; ++i) {
        const char* text = qvrad_login_message(l, i);
        FUZZ_CHECK(text != nullptr && std::strlen(text) == model->messageLengths[i] &&
                   std::memcmp(text, model->messages[i], model->messageLengths[i]) == 0);
    }
    FUZZ_CHECK(qvrad_login_message(l, model->messageCount) == nullptr);
    FUZZ_CHECK(qvrad_login_prompt_echo(l) == (model->code == 11 ? model->promptEcho : 0));
    FUZZ_CHECK(login->view.state == model->state && login->view.stateLength == model->stateLength);
}

bool IsFixedText(const char* text) {
    for (const char* fixed : kFixedTexts)
        if (std::strcmp(text, fixed) == 0) return true;
    return false;
}

}  // namespace

namespace {

// The CRC-32 of zlib, table-driven (the library's is bitwise).
std::uint32_t ModelCrc32(const std::uint8_t* bytes, std::size_t length) {
    static std::uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        made = true;
    }
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) c = table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// A spool file as the drain reads it: accepted exactly when the model accepts, and then the
// record's fields encode back to the same octets.
void CheckSpoolRecord(const std::uint8_t* bytes, std::size_t length) {
    // Copied to a block of exactly that size, so that a read past it is an ASan report.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[length + 1]);
    if (length != 0) std::memcpy(exact.get(), bytes, length);
    SpoolRecord record = {};
    const SpoolFault fault =
        DecodeSpoolRecord(length != 0 ? exact.get() : nullptr, length, &record);
    bool model =
        length >= 24 && std::memcmp(bytes, "QVRADACC", 8) == 0 && bytes[8] == 1 && bytes[9] == 0;
    const std::size_t area = model ? (static_cast<std::size_t>(bytes[10]) << 8 | bytes[11]) : 0;
    model = model && area >= 1 && area <= 4076 && area + 24 == length;
    if (model) {
        const std::uint32_t stored = static_cast<std::uint32_t>(bytes[20 + area]) << 24 |
                                     static_cast<std::uint32_t>(bytes[21 + area]) << 16 |
                                     static_cast<std::uint32_t>(bytes[22 + area]) << 8 |
                                     bytes[23 + area];
        model = ModelCrc32(bytes, 20 + area) == stored;
    }
    if (model) {
        const std::uint8_t* a = bytes + 20;
        std::size_t at = 0;
        while (model && at < area) {
            model = at + 1 < area && a[at + 1] >= 2 && at + a[at + 1] <= area;
            if (model) at += a[at + 1];
        }
        model = model && area >= 6 && a[0] == 40 && a[1] == 6;
    }
    FUZZ_CHECK((fault == SpoolFault::kNone) == model);
    if (fault != SpoolFault::kNone) return;
    FUZZ_CHECK(record.area == exact.get() + 20 && record.areaLength == area);
    std::unique_ptr<std::uint8_t[]> again(new std::uint8_t[kSpoolMaxRecord]);
    const std::size_t n =
        EncodeSpoolRecord(again.get(), kSpoolMaxRecord, record.spooledAt, record.area, area);
    FUZZ_CHECK(n == length && std::memcmp(again.get(), bytes, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = TheFixture();
    FuzzInput in(data, size);
    const std::uint8_t selector = in.Byte();
    const bool signedMode = (selector & 1) != 0;
    const int settingBits = (selector >> 1) & 3;
    const ReplySigning setting = settingBits == 1   ? ReplySigning::kRequire
                                 : settingBits == 2 ? ReplySigning::kNever
                                                    : ReplySigning::kLearn;
    const int before = (selector >> 3) & 3;
    const std::uint32_t serverIp = 0x0100007F;  // any server: the table only compares it
    const std::uint64_t server = ServerKey(serverIp, 1812);
    std::unique_ptr<SignedServerTable> held(new SignedServerTable{});
    SignedServerTable& table = *held;
    if (before == 1) table.Learn(server);
    // before == 3: a full table, whose overflow filter must still learn and refuse.
    for (int i = 0; before >= 2 && i < (before == 3 ? SignedServerTable::kCapacity : 3); ++i)
        table.Learn(ServerKey(serverIp, static_cast<std::uint16_t>(20000 + i)));

    // As the exchange has it: a reply record made for the entry, filled by one receive.
    std::unique_ptr<CRadPacket> reply(new CRadPacket(rad::kAccessAccept));
    std::uint8_t* o = reply->octets;
    unsigned received = 0;
    if (signedMode) {
        received = BuildSigned(o, in);
    } else if ((selector & 0x60) == 0x40) {
        std::size_t length = 0;
        const std::uint8_t* rest = in.Rest(&length);
        CheckSpoolRecord(rest, length);
        return 0;
    } else if ((selector & 0x20) != 0) {
        // RFC 6613 section 2.1: the Length field delimits packets on the stream; a Length outside
        // 20..4096 ends the connection, one past what arrived waits for more.
        std::size_t length = 0;
        const std::uint8_t* stream = in.Rest(&length);
        std::uint16_t framed = 0;
        const int rc = RadiusStreamFrame(stream, length, &framed);
        const int lengthField = length >= 4 ? (stream[2] << 8) | stream[3] : -1;
        const bool inRange = lengthField >= 20 && lengthField <= 4096;
        FUZZ_CHECK(rc == (length < 4                                ? 0
                          : !inRange                                ? -1
                          : lengthField <= static_cast<int>(length) ? 1
                                                                    : 0));
        FUZZ_CHECK(framed == (inRange ? lengthField : 0));
        if (rc != 1) return 0;
        // What follows the first packet is framed from where it ends, never from inside it.
        std::uint16_t next = 0;
        const int nextRc = RadiusStreamFrame(stream + framed, length - framed, &next);
        FUZZ_CHECK(nextRc >= -1 && nextRc <= 1 && next <= 4096);
        std::memcpy(o, stream, framed);
        received = framed;
    } else {
        std::size_t length = 0;
        const std::uint8_t* datagram = in.Rest(&length);
        if (length > sizeof reply->octets) length = sizeof reply->octets;
        if (length != 0) std::memcpy(o, datagram, length);
        received =
            length > rad::kMaxPacketLength ? rad::kMaxPacketLength : static_cast<unsigned>(length);
    }
    std::uint8_t receivedCopy[rad::kMaxPacketLength];
    if (received != 0) std::memcpy(receivedCopy, o, received);
    QVRAD_POISON(o + received, sizeof reply->octets - received);

    const Model m = Examine(o, received);
    bool signedReply = false;
    const bool verified =
        reply->VerifyResponse(f.request, static_cast<std::uint16_t>(received), &signedReply);
    // Nothing unverified is accepted, nothing verified refused.
    if (verified) {
        FUZZ_CHECK(m.lengthOk && m.authenticatorOk && m.identifierOk);
        FUZZ_CHECK(!m.proxyState);
    }
    FUZZ_CHECK(verified == m.ShouldAccept());
    // Then the exchange's last rule (CVE-2024-3596): a server that must sign, by the setting or
    // because it signed before, has an unsigned reply discarded; under auto a signed one is
    // learned, into the overflow filter when the table is full.
    const bool modelSigned = verified && m.messageAuthenticators == 1;
    if (verified) FUZZ_CHECK(signedReply == modelSigned);
    const bool mustSign =
        setting == ReplySigning::kRequire || (setting == ReplySigning::kLearn && before == 1);
    const bool accepted = verified && AdmitVerifiedReply(setting, table, server, signedReply);
    FUZZ_CHECK(accepted == (verified && (modelSigned || !mustSign)));
    const bool learned = before == 1 || (setting == ReplySigning::kLearn && modelSigned);
    FUZZ_CHECK(table.Knows(server) == learned);
    FUZZ_CHECK(received == 0 || std::memcmp(o, receivedCopy, received) == 0);
    FUZZ_CHECK(f.request.Length() == f.length &&
               std::memcmp(f.request.octets, f.image, f.length) == 0);
    if (verified) CheckView(m, *reply);

    // auth hands ReplyToResult the verified reply, or nothing when none verified.
    CRadPacket* handed = accepted ? reply.get() : nullptr;
    const std::uint8_t* text = nullptr;
    std::size_t textLength = 0;
    ExpectedText(m, accepted, o, &text, &textLength);
    std::unique_ptr<char[]> result(new char[kAuthResultSize]);
    std::memset(result.get(), 0x7F, kAuthResultSize);
    ReplyToResult(handed, result.get(), kAuthResultSize);
    FUZZ_CHECK(textLength < kAuthResultSize);
    FUZZ_CHECK(std::memcmp(result.get(), text, textLength) == 0 && result[textLength] == '\0');
    FUZZ_CHECK(handed != nullptr || IsFixedText(result.get()));

    // A smaller buffer is filled to its last byte but one and stays terminated; size 0 writes
    // nothing. Heap buffers of the exact size let ASan see any byte written past them.
    const unsigned small = 1 + static_cast<unsigned>(size % 40);
    std::unique_ptr<char[]> shortResult(new char[small]);
    ReplyToResult(handed, shortResult.get(), small);
    const std::size_t kept = textLength < small - 1 ? textLength : small - 1;
    FUZZ_CHECK(std::memcmp(shortResult.get(), text, kept) == 0 && shortResult[kept] == '\0');
    char untouched = 'u';
    ReplyToResult(handed, &untouched, 0);
    FUZZ_CHECK(untouched == 'u');

    QVRAD_UNPOISON(o + received, sizeof reply->octets - received);
    return 0;
}
