// Packet building and reading at the RFC 2865 limits, and attribute walks over hostile bytes.
// Wire images are laid out by hand from the RFC, not with the code under test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "radius/packet.h"

namespace {

void SetLength(CRadPacket& p, int length) {
    p.octets[2] = static_cast<std::uint8_t>(length >> 8);
    p.octets[3] = static_cast<std::uint8_t>(length);
}

// Lays raw attribute bytes behind a header and sets Length to header + bytes.
void Lay(CRadPacket& p, const std::vector<std::uint8_t>& attributes) {
    std::memcpy(p.octets + 20, attributes.data(), attributes.size());
    SetLength(p, static_cast<int>(20 + attributes.size()));
}

TEST(Packet, ConstructionWritesHeaderOnly) {
    CRadPacket p(1);
    EXPECT_EQ(p.octets[0], 1);
    EXPECT_EQ(p.octets[1], 0);
    EXPECT_EQ(p.octets[2], 0x00);
    EXPECT_EQ(p.octets[3], 0x14);
    EXPECT_EQ(p.secretLink, nullptr);
    EXPECT_EQ(p.savedPasswordLength, 0);
    CRadAttrCursor c;
    EXPECT_EQ(p.FindAttribute(1, c), -1);
    EXPECT_EQ(c.offset, 0);
}

TEST(Packet, BeginAttributeLimits) {
    struct Case {
        int length;
        int begin;
        int appendEmpty;
        int appendOne;
    } cases[] = {{4094, 0, 0, -1}, {4095, -1, -1, -1}, {4096, -1, -1, -1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.length);
        for (int append = 0; append < 2; ++append) {
            CRadPacket p(1);
            SetLength(p, k.length);
            CRadAttrCursor c;
            ASSERT_EQ(p.BeginAttribute(18, c), k.begin);
            if (k.begin != 0) {
                EXPECT_EQ(c.offset, 0);
            }
            const int rc = c.AppendText(append == 0 ? "" : "x");
            EXPECT_EQ(rc, append == 0 ? k.appendEmpty : k.appendOne);
            EXPECT_EQ(p.Length(), rc == 0 ? k.length + 2 : k.length);
            if (k.begin != 0) {
                EXPECT_EQ(c.AppendPassword("pw"), -1);
            }
        }
    }
}

TEST(Packet, TextLengths) {
    for (int n : {0, 1, 253, 254, 300}) {
        SCOPED_TRACE(n);
        CRadPacket p(1);
        CRadAttrCursor c;
        ASSERT_EQ(p.BeginAttribute(1, c), 0);
        const std::string text(static_cast<std::size_t>(n), 'a');
        const bool fits = n <= 253;
        EXPECT_EQ(c.AppendText(text.c_str()), fits ? 0 : -1);
        EXPECT_EQ(p.Length(), fits ? 20 + n + 2 : 20);
        if (fits) {
            EXPECT_EQ(p.octets[20], 1);
            EXPECT_EQ(p.octets[21], n + 2);
            EXPECT_EQ(std::memcmp(p.octets + 22, text.data(), text.size()), 0);
        }
    }
    CRadPacket p(1);
    CRadAttrCursor c;
    EXPECT_EQ(c.AppendText("x"), -1);  // no begun attribute
    ASSERT_EQ(p.BeginAttribute(1, c), 0);
    EXPECT_EQ(c.AppendText(nullptr), -1);
    EXPECT_EQ(p.Length(), 20);
}

TEST(Packet, PasswordBlockSizes) {
    const struct {
        int n;
        int added;
    } cases[] = {{0, 18}, {1, 18}, {16, 18}, {17, 34}, {32, 34}, {33, 50}, {128, 130}, {129, -1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.n);
        CRadPacket p(1);
        std::memset(p.octets + 20, 0xEE, sizeof p.octets - 20);  // stale bytes of a last use
        CRadAttrCursor c;
        ASSERT_EQ(p.BeginAttribute(1, c), 0);
        ASSERT_EQ(c.AppendText("alice"), 0);
        ASSERT_EQ(p.BeginAttribute(2, c), 0);
        const std::string pw(static_cast<std::size_t>(k.n), 'p');
        if (k.added < 0) {
            EXPECT_EQ(c.AppendPassword(pw.c_str()), -1);
            EXPECT_EQ(p.Length(), 27);
            EXPECT_EQ(p.savedPasswordLength, 0);
            continue;
        }
        ASSERT_EQ(c.AppendPassword(pw.c_str()), 0);
        EXPECT_EQ(p.Length(), 27 + k.added);
        EXPECT_EQ(p.octets[28], k.added);
        EXPECT_EQ(p.savedPasswordLength, k.n);
        EXPECT_EQ(p.savedPasswordOffset, 27);
        EXPECT_EQ(std::memcmp(p.savedPassword, pw.data(), pw.size()), 0);
        // Until PrepareForServer hides the plaintext, the value is zeros, never stale bytes.
        for (int i = 29; i < 27 + k.added; ++i) ASSERT_EQ(p.octets[i], 0) << i;
    }
}

TEST(Packet, SecondPasswordReplacesTheSavedOne) {
    CRadPacket p(1);
    CRadAttrCursor c;
    ASSERT_EQ(p.BeginAttribute(2, c), 0);
    ASSERT_EQ(c.AppendPassword("first-password-long"), 0);
    ASSERT_EQ(p.BeginAttribute(2, c), 0);
    ASSERT_EQ(c.AppendPassword("two"), 0);
    EXPECT_EQ(p.savedPasswordLength, 3);
    EXPECT_EQ(p.savedPasswordOffset, 20 + 34);
    EXPECT_EQ(std::memcmp(p.savedPassword, "two\0\0", 5), 0);  // the old plaintext is gone
}

TEST(Packet, AppendOnAStaleCursorIsRefused) {
    CRadPacket p(1);
    CRadAttrCursor c;
    ASSERT_EQ(p.BeginAttribute(1, c), 0);
    ASSERT_EQ(c.AppendText("abc"), 0);
    // The cursor no longer sits at the packet's end: a second append would overwrite.
    EXPECT_EQ(c.AppendText("zz"), -1);
    EXPECT_EQ(p.Length(), 25);
}

struct WalkCase {
    const char* name;
    std::vector<std::uint8_t> attributes;
    std::uint8_t type;
    int foundAt;                                   // offset, or 0 when not found
    int valueLength;                               // -1 when GetValue refuses
    AttributeFault fault = AttributeFault::kNone;  // CheckAttributes's verdict on the whole walk
    int faultAt = 0;
};

void PrintTo(const WalkCase& k, std::ostream* os) {
    *os << k.name;
}

class AttributeWalk : public ::testing::TestWithParam<WalkCase> {};
constexpr AttributeFault kBelowTwo = AttributeFault::kLengthBelowTwo;
constexpr AttributeFault kPastEnd = AttributeFault::kPastEnd;

TEST_P(AttributeWalk, FindsAndBoundsValues) {
    const WalkCase& k = GetParam();
    CRadPacket p(2);
    std::memset(p.octets, 0xEE, sizeof p.octets);  // bytes past Length must never matter
    p.octets[0] = 2;
    Lay(p, k.attributes);
    CRadAttrCursor c;
    EXPECT_EQ(p.FindAttribute(k.type, c), k.foundAt ? 0 : -1);
    EXPECT_EQ(c.offset, k.foundAt);
    const std::uint8_t* value = reinterpret_cast<const std::uint8_t*>(1);
    std::uint16_t length = 777;
    const int rc = c.GetValue(&value, &length);
    if (k.valueLength < 0) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(value, reinterpret_cast<const std::uint8_t*>(1));
        EXPECT_EQ(length, 777);
    } else {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(length, k.valueLength);
        EXPECT_EQ(value, p.octets + k.foundAt + 2);
        EXPECT_LE(k.foundAt + 2 + length, p.Length());
    }
    // Step by step (NextAttribute, qvrad-auth's walk) the same attribute comes first.
    CRadAttrCursor step;
    int firstOfType = 0;
    for (int steps = 0; steps < 8 && p.NextAttribute(step) == 0; ++steps)
        if (step.Type() == k.type && firstOfType == 0) firstOfType = step.offset;
    EXPECT_EQ(firstOfType, k.foundAt);
    EXPECT_EQ(step.offset, 0);
    std::uint16_t at = 777;
    EXPECT_EQ(p.CheckAttributes(&at), k.fault);
    EXPECT_EQ(at, k.faultAt);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, AttributeWalk,
    ::testing::Values(
        WalkCase{"first", {18, 4, 'h', 'i', 18, 3, 'x'}, 18, 20, 2},
        WalkCase{"second_type", {1, 3, 'u', 18, 4, 'o', 'k'}, 18, 23, 2},
        WalkCase{"empty_value", {18, 2}, 18, 20, 0}, WalkCase{"missing", {1, 3, 'u'}, 18, 0, -1},
        // A Length octet of 0 ends the walk; the attribute itself is still examined.
        WalkCase{"len0_stops", {1, 0, 18, 3, 'x'}, 18, 0, -1, kBelowTwo, 20},
        WalkCase{"len0_matches", {18, 0, 1, 3, 'x'}, 18, 20, -1, kBelowTwo, 20},
        WalkCase{"len1_stops", {1, 1, 18, 3, 'x'}, 18, 0, -1, kBelowTwo, 20},
        WalkCase{"len1_matches", {18, 1, 0}, 18, 20, -1, kBelowTwo, 20},
        // Its Length octet must not be taken for the next attribute's Type.
        WalkCase{"len1_not_walked_into", {7, 1, 5, 5}, 1, 0, -1, kBelowTwo, 20},
        // Runs past Length: found, but its value is never handed out.
        WalkCase{"overrun", {1, 3, 'u', 18, 200, 'x'}, 18, 23, -1, kPastEnd, 23},
        WalkCase{"overrun_is_last", {1, 40, 18, 3, 'x'}, 18, 0, -1, kPastEnd, 20},
        // A Type octet as the packet's last byte: its Length octet lies past Length.
        WalkCase{"lone_type", {1, 3, 'u', 18}, 18, 23, -1, AttributeFault::kNoLengthOctet, 23}),
    [](const ::testing::TestParamInfo<WalkCase>& param) { return std::string(param.param.name); });

TEST(Packet, HostileLengthFieldsHaveNoAttributes) {
    for (int length : {0, 19, 20, 4097, 65535}) {
        SCOPED_TRACE(length);
        CRadPacket p(2);
        std::memset(p.octets + 20, 18, sizeof p.octets - 20);  // looks like endless Reply-Messages
        SetLength(p, length);
        CRadAttrCursor c;
        EXPECT_EQ(p.FindAttribute(18, c), -1);
        EXPECT_EQ(c.offset, 0);
        EXPECT_EQ(p.NextAttribute(c), -1);
        EXPECT_EQ(c.offset, 0);
        EXPECT_EQ(p.CheckAttributes(),
                  length == 20 ? AttributeFault::kNone : AttributeFault::kPacketLength);
    }
}

TEST(Packet, FullSizeWalkStaysBelow4096) {
    CRadPacket p(2);
    std::memset(p.octets, 0, sizeof p.octets);
    // 4076 bytes of 2-byte attributes of type 1, then a type-18 byte exactly at 4095.
    for (int at = 20; at < 4094; at += 2) {
        p.octets[at] = 1;
        p.octets[at + 1] = 2;
    }
    p.octets[4094] = 1;
    p.octets[4095] = 2;
    p.octets[4096] = 18;  // just past Length: must not be found
    p.octets[4097] = 3;
    SetLength(p, 4096);
    CRadAttrCursor c;
    EXPECT_EQ(p.FindAttribute(18, c), -1);
    EXPECT_EQ(p.CheckAttributes(), AttributeFault::kNone);
}

TEST(Cursor, TypeWithoutCurrentAttribute) {
    CRadPacket p(7);
    std::memset(p.octets + 4, 0x5A, 16);  // a header byte that would show if it were read
    CRadAttrCursor c;
    EXPECT_EQ(c.Type(), 0);
    c.packet = &p;
    EXPECT_EQ(c.Type(), 0);  // offset 0, although byte 0 holds 7
    c.offset = 19;
    EXPECT_EQ(c.Type(), 0);
}

TEST(Secret, AssignBoundsAndWipes) {
    CRadSecret s;
    std::string longest(256, 's');
    EXPECT_EQ(s.Assign(longest.data(), longest.size()), 0);
    EXPECT_EQ(s.length, 256);
    std::string tooLong(257, 's');
    EXPECT_EQ(s.Assign(tooLong.data(), tooLong.size()), -1);
    EXPECT_EQ(s.length, 0);
    for (std::uint8_t b : s.octets) ASSERT_EQ(b, 0);
}

}  // namespace
