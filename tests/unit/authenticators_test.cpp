// Authenticators and hiding against RFC 2865 section 7.1's example exchange, reply checks over
// hostile replies, Request Authenticator uniqueness with the clock and CSPRNG frozen, and the
// thread's random stream: ChaCha20 against RFC 8439's vectors, its reseed and its fork rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__) && defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "platform/chacha20.h"
#include "platform/platform.h"
#include "platform/thread_random.h"
#include "radius/packet.h"
#include "support/auth_helpers.h"
#include "support/radius_wire.h"

namespace {

const Bytes kRfcRequestAuthenticator = FromHex("0f403f94739780 57bd83d5cb98f4227a");
const Bytes kRfcSecret = ToBytes("xyzzy5461");

// RFC 2865 section 7.1: nemo / arctangent, Access-Request ID 0.
void BuildRfcRequest(CRadPacket& request, CRadSecret& secret) {
    std::memcpy(request.octets + 4, kRfcRequestAuthenticator.data(), 16);
    CRadAttrCursor c;
    request.BeginAttribute(1, c);
    c.AppendText("nemo");
    request.BeginAttribute(2, c);
    c.AppendPassword("arctangent");
    secret.Assign(kRfcSecret.data(), kRfcSecret.size());
}

Bytes Image(const CRadPacket& p) {
    return Bytes(p.octets, p.octets + p.Length());
}

TEST(Rfc2865Example, HiddenPasswordIsByteExact) {
    CRadPacket request(1);
    CRadSecret secret;
    BuildRfcRequest(request, secret);
    request.PrepareForServer(secret);
    // The RFC's datagram, less NAS-IP-Address and NAS-Port, which we do not send.
    EXPECT_EQ(Hex(Image(request)),
              "0100002c0f403f9473978057bd83d5cb98f4227a01066e656d6f02120dbe708d93d413ce3196e43f"
              "782a0aee");
}

TEST(Rfc2865Example, AcceptVerifies) {
    CRadPacket request(1);
    CRadSecret secret;
    BuildRfcRequest(request, secret);
    request.PrepareForServer(secret);
    const Bytes accept =
        FromHex("0200002686fe220e7624ba2a1005f6bf9b55e0b206060000000 10f06000000000e06c0a80103");
    CRadPacket reply(2);
    std::memcpy(reply.octets, accept.data(), accept.size());
    EXPECT_TRUE(reply.VerifyResponse(request, static_cast<std::uint16_t>(accept.size())));
    EXPECT_EQ(Hex(Bytes(reply.octets, reply.octets + accept.size())), Hex(accept));  // untouched
}

TEST(Hiding, DecodesWithTheRfcAlgorithmForEveryBlockCount) {
    for (int n : {1, 15, 16, 17, 31, 32, 127, 128}) {
        SCOPED_TRACE(n);
        CRadPacket request(1);
        std::memset(request.octets + 4, 0x5A, 16);
        std::string pw;
        for (int i = 0; i < n; ++i) pw.push_back(static_cast<char>(0x21 + (i * 7) % 90));
        CRadAttrCursor c;
        request.BeginAttribute(2, c);
        c.AppendPassword(pw.c_str());
        CRadSecret secret;
        secret.Assign("s3cr3t", 6);
        request.PrepareForServer(secret);
        const int blocks = (n + 15) / 16;
        ASSERT_EQ(request.octets[21], 2 + 16 * blocks);
        const Bytes hidden(request.octets + 22, request.octets + 22 + 16 * blocks);
        Bytes expected = ToBytes(pw);
        expected.resize(16 * blocks, 0);
        EXPECT_EQ(Hex(RevealPassword(hidden, ToBytes("s3cr3t"), Bytes(16, 0x5A))), Hex(expected));
    }
}

TEST(Hiding, PasswordEndingAtTheLastByteOf4096) {
    CRadPacket request(1);
    std::memset(request.octets + 4, 0x5A, 16);
    CRadAttrCursor c;
    // 20 + 15 * 255 + 233 = 4078, and an 18-byte User-Password ends at byte 4096.
    const std::string text253(253, 't'), text231(231, 't');
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(request.BeginAttribute(1, c), 0);
        ASSERT_EQ(c.AppendText(i < 15 ? text253.c_str() : text231.c_str()), 0);
    }
    ASSERT_EQ(request.BeginAttribute(2, c), 0);
    ASSERT_EQ(c.AppendPassword("at-the-end"), 0);
    ASSERT_EQ(request.Length(), 4096);
    CRadSecret secret;
    secret.Assign("s3cr3t", 6);
    request.PrepareForServer(secret);
    Bytes expected = ToBytes("at-the-end");
    expected.resize(16, 0);
    EXPECT_EQ(Hex(RevealPassword(Bytes(request.octets + 4080, request.octets + 4096),
                                 ToBytes("s3cr3t"), Bytes(16, 0x5A))),
              Hex(expected));
}

TEST(Hiding, FirstBlockIgnoresLaterBytesAndSecretsDiffer) {
    auto hide = [](const char* pw, const char* key) {
        CRadPacket request(1);
        std::memset(request.octets + 4, 1, 16);
        CRadAttrCursor c;
        request.BeginAttribute(2, c);
        c.AppendPassword(pw);
        CRadSecret secret;
        secret.Assign(key, std::strlen(key));
        request.PrepareForServer(secret);
        Bytes first = Image(request);
        request.PrepareForServer(secret);  // hiding again for the same server: same bytes
        EXPECT_EQ(Hex(first), Hex(Image(request)));
        return first;
    };
    const Bytes a = hide("0123456789abcdefXYZ", "k1");
    const Bytes b = hide("0123456789abcdefQQQ", "k1");
    EXPECT_EQ(Hex(Bytes(a.begin() + 22, a.begin() + 38)),
              Hex(Bytes(b.begin() + 22, b.begin() + 38)));
    EXPECT_NE(Hex(Bytes(a.begin() + 38, a.end())), Hex(Bytes(b.begin() + 38, b.end())));
    EXPECT_NE(Hex(hide("same", "k1")), Hex(hide("same", "k2")));
}

TEST(Hiding, RefusesWithoutSecretAndWritesNothingForEmptyPlaintext) {
    CRadPacket request(1);
    CRadAttrCursor c;
    request.BeginAttribute(2, c);
    c.AppendPassword("pw");
    std::memset(request.octets + 22, 0xAB, 16);
    const std::uint8_t pw[2] = {'p', 'w'};
    EXPECT_EQ(c.HidePassword(pw, 2), -1);  // no secret link
    CRadSecret empty;
    request.secretLink = &empty;
    EXPECT_EQ(c.HidePassword(pw, 2), -1);  // empty secret
    CRadSecret secret;
    secret.Assign("k", 1);
    request.secretLink = &secret;
    EXPECT_EQ(c.HidePassword(pw, 0), 0);
    for (int i = 22; i < 38; ++i) ASSERT_EQ(request.octets[i], 0xAB);
}

TEST(Hiding, EmptyPasswordIsHiddenZeroBlock) {
    CRadPacket request(1);
    std::memset(request.octets + 4, 3, 16);
    CRadAttrCursor c;
    request.BeginAttribute(2, c);
    c.AppendPassword("");
    CRadSecret secret;
    secret.Assign("k", 1);
    request.PrepareForServer(secret);
    const Bytes hidden(request.octets + 22, request.octets + 38);
    EXPECT_EQ(Hex(RevealPassword(hidden, ToBytes("k"), Bytes(16, 3))), Hex(Bytes(16, 0)));
}

// --- Request Authenticator --------------------------------------------------------------

TEST(RequestAuthenticator, TextForm) {
    char text[256];
    const struct {
        const char* host;
        unsigned second, ms;
        const char* expected;
    } cases[] = {{"gw01", 7, 42, "gw01:7:42"},
                 {"gw01", 0, 0, "gw01:0:0"},
                 {"gw01", 59, 999, "gw01:59:999"},
                 {"", 5, 6, ":5:6"}};
    for (const auto& k : cases) {
        const std::size_t n = FormatAuthenticatorText(text, k.host, k.second, k.ms);
        EXPECT_EQ(std::string(text, n), k.expected);
        EXPECT_EQ(text[n], '\0');
    }
    const std::string longHost(300, 'h');  // cut at 205 characters, suffix still fits
    const std::size_t n = FormatAuthenticatorText(text, longHost.c_str(), 59, 999);
    EXPECT_EQ(n, 205u + 7u);
    EXPECT_LT(n, sizeof text);
}

int FrozenHost(char* buffer, std::size_t limit) {
    std::strncpy(buffer, "gw01", limit);
    return 0;
}
void FrozenTime(unsigned* s, unsigned* ms) {
    *s = 7;
    *ms = 42;
}
int FrozenRandom(void* buffer, std::size_t n) {
    std::memset(buffer, 0, n);
    return 0;
}
int FailingRandom(void*, std::size_t) {
    return -1;
}

int PatternRandom(void* buffer, std::size_t n) {
    std::memset(buffer, 0xA5, n);
    return 0;
}
int g_pickedRandomCalls = 0;
int PickedRandom(void* buffer, std::size_t n) {
    ++g_pickedRandomCalls;
    return PatternRandom(buffer, n);
}

// The sources are tried in order and the first that works wins; the operating system's second
// source (/dev/urandom, or an opened RNG algorithm) works on its own.
TEST(RequestAuthenticator, RandomSourcesFallBackInOrder) {
    const platform::RandomSource failThenPattern[] = {FailingRandom, PatternRandom};
    const platform::RandomSource patternFirst[] = {PickedRandom, FailingRandom};
    const platform::RandomSource allFail[] = {FailingRandom, FailingRandom};
    const platform::RandomSource failThenSystem[] = {FailingRandom, platform::kRandomSources[1]};
    std::uint8_t bytes[16];
    std::memset(bytes, 0x11, sizeof bytes);
    EXPECT_EQ(platform::RandomBytesFrom(failThenPattern, 2, bytes, sizeof bytes), 0);
    EXPECT_EQ(Bytes(bytes, bytes + 16), Bytes(16, 0xA5));
    g_pickedRandomCalls = 0;
    EXPECT_EQ(platform::RandomBytesFrom(patternFirst, 2, bytes, sizeof bytes), 0);
    EXPECT_EQ(g_pickedRandomCalls, 1);
    std::memset(bytes, 0x11, sizeof bytes);
    EXPECT_EQ(platform::RandomBytesFrom(allFail, 2, bytes, sizeof bytes), -1);
    EXPECT_EQ(Bytes(bytes, bytes + 16), Bytes(16, 0));  // defined, never stale
    std::set<std::string> drawn;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(platform::RandomBytesFrom(failThenSystem, 2, bytes, sizeof bytes), 0);
        drawn.insert(Hex(Bytes(bytes, bytes + 16)));
    }
    EXPECT_EQ(drawn.size(), 8u);
    EXPECT_EQ(drawn.count(std::string(32, '0')), 0u);
    // Through the Request Authenticator's seam: the fallback's bytes enter the digest.
    const AuthenticatorSources viaFallback = {
        FrozenHost, FrozenTime, [](void* buffer, std::size_t n) {
            const platform::RandomSource chain[] = {FailingRandom, PatternRandom};
            return platform::RandomBytesFrom(chain, 2, buffer, n);
        }};
    CRadPacket withFallback(1);
    withFallback.MakeRequestAuthenticator(viaFallback);
    // The fallback's 16 bytes of 0xA5 are the authenticator, with the process's request counter
    // (little-endian, below 2^20 in any run of this program) folded into the last four.
    const Bytes got(withFallback.octets + 4, withFallback.octets + 20);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12), Bytes(12, 0xA5));
    std::uint32_t counter = 0;
    for (int b = 0; b < 4; ++b)
        counter |= static_cast<std::uint32_t>(got[12 + b] ^ 0xA5) << (8 * b);
    EXPECT_LT(counter, 1u << 20);
}

// The fallback for a process whose getrandom a seccomp filter refuses, as a sandbox's may: on one
// thread getrandom fails with ENOSYS, and the second source, the one that reads /dev/urandom,
// still fills the buffer, alone and through the chain.
TEST(RequestAuthenticator, SecondSourceReadsUrandomWhenGetrandomIsRefused) {
#if defined(__linux__) && defined(__x86_64__)
    EXPECT_STREQ(platform::kRandomSourceNames[0], "getrandom");
    EXPECT_STREQ(platform::kRandomSourceNames[1], "/dev/urandom");
    std::thread([] {
        sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        const sock_fprog program = {sizeof filter / sizeof filter[0], filter};
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
        std::uint8_t first[16], second[16];
        EXPECT_EQ(platform::kRandomSources[0](first, sizeof first), -1);
        ASSERT_EQ(platform::kRandomSources[1](first, sizeof first), 0);
        ASSERT_EQ(platform::RandomBytes(second, sizeof second), 0);
        EXPECT_NE(Hex(Bytes(first, first + 16)), Hex(Bytes(second, second + 16)));
        EXPECT_NE(Hex(Bytes(second, second + 16)), std::string(32, '0'));
    }).join();
#else
    GTEST_SKIP() << "seccomp filters are set up here for x86-64 Linux only";
#endif
}

// RFC 8439: the block of section 2.3.2 and the key streams of appendix A.1 (checked here against
// OpenSSL's ChaCha20 as well), one block at a time and two in one call (the counter goes on).
TEST(RandomStream, ChaCha20BlockKnownAnswers) {
    const std::string countingKey =
        "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    const std::string zeroKey(64, '0');
    const struct {
        const char* name;
        std::string key;
        std::uint32_t counter;
        const char* nonce;
        const char* stream;
    } rows[] = {
        {"2.3.2", countingKey, 1, "000000090000004a00000000",
         "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
         "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
        {"A.1 #1", zeroKey, 0, "000000000000000000000000",
         "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
         "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        {"A.1 #2", zeroKey, 1, "000000000000000000000000",
         "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
         "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
        {"A.1 #3", std::string(63, '0') + "1", 1, "000000000000000000000000",
         "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
         "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
        {"A.1 #4", "00ff" + std::string(60, '0'), 2, "000000000000000000000000",
         "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca"
         "13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"},
        {"A.1 #5", zeroKey, 0, "000000000000000000000002",
         "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
         "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
    };
    for (const auto& row : rows) {
        const Bytes key = FromHex(row.key), nonce = FromHex(row.nonce);
        std::uint8_t block[64];
        platform::ChaCha20Blocks(block, key.data(), row.counter, nonce.data(), 1);
        EXPECT_EQ(Hex(Bytes(block, block + 64)), row.stream) << row.name;
    }
    std::uint8_t two[128];
    const Bytes zero(32, 0);
    platform::ChaCha20Blocks(two, zero.data(), 0, zero.data(), 2);
    EXPECT_EQ(Hex(Bytes(two, two + 128)), std::string(rows[1].stream) + rows[2].stream);
}

// Once seeded, a thread's stream makes no system call: with getrandom and every open refused (a
// seccomp filter on this thread alone), its draws go on until it has given nearly 1 MiB since the
// seed. The draw that would pass 1 MiB must seed afresh, finds every system source refused and
// fails with zeros instead of falling back to anything weaker; the Request Authenticator is then
// the digest of the host and time text and the counter alone, as it always was without a source.
TEST(RandomStream, NoSystemCallAfterTheSeedAndNoFallbackAtTheReseed) {
#if defined(__linux__) && defined(__x86_64__)
    std::thread([] {
        std::uint8_t draw[16];
        ASSERT_EQ(platform::ThreadRandomBytes(draw, sizeof draw), 0);  // a new thread: the seed
        sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 1),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 0, 1),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        const sock_fprog program = {sizeof filter / sizeof filter[0], filter};
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
        ASSERT_NE(platform::RandomBytes(draw, sizeof draw), 0);  // the filter holds
        std::uint64_t given = sizeof draw;
        Bytes previous;
        int repeats = 0;
        for (int i = 0; i < 70000 && platform::ThreadRandomBytes(draw, sizeof draw) == 0; ++i) {
            given += sizeof draw;
            Bytes now(draw, draw + sizeof draw);
            if (now == previous || now == Bytes(16, 0)) ++repeats;
            previous = now;
        }
        EXPECT_EQ(repeats, 0);
        EXPECT_LE(given, platform::kStreamReseedBytes);
        EXPECT_GT(given, platform::kStreamReseedBytes - 4096);
        std::memset(draw, 0x5A, sizeof draw);
        EXPECT_EQ(platform::ThreadRandomBytes(draw, sizeof draw), -1);
        EXPECT_EQ(Bytes(draw, draw + sizeof draw), Bytes(16, 0));
        const AuthenticatorSources frozen = {FrozenHost, FrozenTime, platform::ThreadRandomBytes};
        CRadPacket request(1);
        request.MakeRequestAuthenticator(frozen);
        char text[256 + 20];
        const std::size_t n = FormatAuthenticatorText(text, "gw01", 7, 42);
        std::memset(text + n, 0, 16);
        bool matched = false;
        for (std::uint32_t counter = 0; counter < 1u << 20 && !matched; ++counter) {
            for (int b = 0; b < 4; ++b) text[n + 16 + b] = static_cast<char>(counter >> (8 * b));
            matched = RefMd5(Bytes(text, text + n + 20)) ==
                      Bytes(request.octets + 4, request.octets + 20);
        }
        EXPECT_TRUE(matched);
    }).join();
#else
    GTEST_SKIP() << "seccomp filters are set up here for x86-64 Linux only";
#endif
}

// A forked child never continues its parent's stream: its first draw and its first Request
// Authenticator differ from the parent's first after the fork, which would be the same octets
// without the fork rule (the stream and the request counter are copied into the child).
TEST(RandomStream, AForkedChildNeverContinuesItsParentsStream) {
#if defined(_WIN32)
    GTEST_SKIP() << "no fork on Windows";
#else
    std::uint8_t drawn[32];
    ASSERT_EQ(platform::ThreadRandomBytes(drawn, 16), 0);  // this thread's stream is seeded
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        const bool drew = platform::ThreadRandomBytes(drawn, 16) == 0;
        CRadPacket request(1);
        request.MakeRequestAuthenticator();
        std::memcpy(drawn + 16, request.octets + 4, 16);
        const bool sent = write(fds[1], drawn, sizeof drawn) == static_cast<ssize_t>(sizeof drawn);
        _exit(drew && sent ? 0 : 1);
    }
    close(fds[1]);
    ASSERT_EQ(platform::ThreadRandomBytes(drawn, 16), 0);
    CRadPacket request(1);
    request.MakeRequestAuthenticator();
    std::memcpy(drawn + 16, request.octets + 4, 16);
    std::uint8_t fromChild[32] = {};
    std::size_t got = 0;
    // Each read returns data or 0 (the child's end closed): at most 32 reads.
    for (int i = 0; i < 32 && got < sizeof fromChild; ++i) {
        const ssize_t n = read(fds[0], fromChild + got, sizeof fromChild - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fds[0]);
    EXPECT_EQ(ChildExitStatus(child), 0);
    ASSERT_EQ(got, sizeof fromChild);
    EXPECT_NE(Hex(Bytes(fromChild, fromChild + 16)), Hex(Bytes(drawn, drawn + 16)));
    EXPECT_NE(Hex(Bytes(fromChild + 16, fromChild + 32)), Hex(Bytes(drawn + 16, drawn + 32)));
#endif
}

// Each thread draws from a stream of its own, and its end takes the stream with it (wiped and
// released: by its thread-local destructor, or on Windows by the image's thread-exit callback).
TEST(RandomStream, EveryThreadHasItsOwnAndItsEndTakesIt) {
    std::uint8_t mine[16];
    ASSERT_EQ(platform::ThreadRandomBytes(mine, sizeof mine), 0);
    const std::size_t before = platform::ThreadRandomStreamCount();
    constexpr int kThreads = 8;
    std::uint8_t drawn[kThreads][16] = {};
    std::size_t during[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            EXPECT_EQ(platform::ThreadRandomBytes(drawn[t], sizeof drawn[t]), 0);
            during[t] = platform::ThreadRandomStreamCount();
        });
    for (std::thread& t : threads) t.join();
    std::set<std::string> distinct = {Hex(Bytes(mine, mine + 16))};
    for (int t = 0; t < kThreads; ++t) {
        distinct.insert(Hex(Bytes(drawn[t], drawn[t] + 16)));
        EXPECT_GT(during[t], before) << "thread " << t << " drew from no stream of its own";
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads + 1));
    EXPECT_EQ(platform::ThreadRandomStreamCount(), before);
}

TEST(RequestAuthenticator, NeverRepeatsEvenWithEverythingFrozen) {
    const AuthenticatorSources frozen = {FrozenHost, FrozenTime, FrozenRandom};
    const AuthenticatorSources broken = {FrozenHost, FrozenTime, FailingRandom};
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        CRadPacket p(1);
        p.MakeRequestAuthenticator(i % 2 ? frozen : broken);
        ASSERT_TRUE(seen.insert(Hex(Bytes(p.octets + 4, p.octets + 20))).second) << i;
    }
    for (int i = 0; i < 2000; ++i) {
        CRadPacket p(1);
        p.MakeRequestAuthenticator();
        ASSERT_TRUE(seen.insert(Hex(Bytes(p.octets + 4, p.octets + 20))).second) << i;
    }
    // Not just the text's digest: with the clock frozen the CSPRNG bytes and counter enter.
    char text[256];
    const std::size_t n = FormatAuthenticatorText(text, "gw01", 7, 42);
    EXPECT_EQ(seen.count(Hex(RefMd5(Bytes(text, text + n)))), 0u);
}

// --- Reply checks ------------------------------------------------------------------------

struct Exchange {
    CRadPacket request{1};
    CRadSecret secret;
    CRadHmacKey key;  // made ready by the request's signing, reused by Check's
    Exchange() {
        request.MakeRequestAuthenticator();
        request.SetIdentifier(77);
        CRadAttrCursor c;
        request.BeginAttribute(80, c);
        c.AppendMessageAuthenticator();
        request.BeginAttribute(1, c);
        c.AppendText("alice");
        request.BeginAttribute(2, c);
        c.AppendPassword("password");
        secret.Assign("testing123", 10);
        request.PrepareForServer(secret, nullptr, &key);
    }
    Bytes Sent() const { return Bytes(request.octets, request.octets + request.Length()); }
    // The verdict with the secret's key made afresh, and with the exchange's key (the one that
    // signed the request): they must agree, so only the first is returned.
    ReplyCheck Check(const Bytes& datagram, int received = -1) {
        CRadPacket reply(2);
        std::memset(reply.octets, 0xCC, sizeof reply.octets);
        std::memcpy(reply.octets, datagram.data(), datagram.size());
        const std::uint16_t n =
            static_cast<std::uint16_t>(received < 0 ? datagram.size() : received);
        const ReplyCheck fresh = reply.CheckResponse(request, n);
        EXPECT_EQ(static_cast<int>(reply.CheckResponseTo(request.Identifier(), request.octets + 4,
                                                         &secret, n, nullptr, &key)),
                  static_cast<int>(fresh));
        return fresh;
    }
};

TEST(RequestWire, MessageAuthenticatorFirstAndIndependentlyReproduced) {
    Exchange x;
    const Bytes sent = x.Sent();
    ASSERT_EQ(sent.size(), 63u);  // 20 + 18 + 7 + 18
    EXPECT_EQ(sent[20], 80);
    EXPECT_EQ(sent[21], 18);
    const Bytes value(sent.begin() + 22, sent.begin() + 38);
    EXPECT_EQ(Hex(value),
              Hex(ExpectedRequestMessageAuthenticator(sent, ToBytes("testing123"), 22)));
    // A second server with another secret: another value and another hidden password (the
    // key kept for the first secret is made again for this one).
    CRadSecret other;
    other.Assign("another", 7);
    x.request.PrepareForServer(other, nullptr, &x.key);
    const Bytes again = x.Sent();
    EXPECT_NE(Hex(Bytes(again.begin() + 22, again.begin() + 38)), Hex(value));
    EXPECT_EQ(Hex(Bytes(again.begin() + 22, again.begin() + 38)),
              Hex(ExpectedRequestMessageAuthenticator(again, ToBytes("another"), 22)));
    const Bytes hidden(again.begin() + 47, again.begin() + 63);
    Bytes expected = ToBytes("password");
    expected.resize(16, 0);
    EXPECT_EQ(Hex(RevealPassword(hidden, ToBytes("another"), RequestAuthenticatorOf(again))),
              Hex(expected));
}

// Last instead of first (as another caller may lay a request out), its value ending at Length:
// signed all the same.
TEST(RequestWire, MessageAuthenticatorLastIndependentlyReproduced) {
    CRadSecret secret;
    secret.Assign("testing123", 10);
    CRadPacket last(1);
    last.MakeRequestAuthenticator();
    CRadAttrCursor c;
    last.BeginAttribute(1, c);
    c.AppendText("alice");
    last.BeginAttribute(2, c);
    c.AppendPassword("password");
    last.BeginAttribute(80, c);
    c.AppendMessageAuthenticator();
    last.PrepareForServer(secret);
    const Bytes lastImage = Image(last);
    ASSERT_EQ(lastImage.size(), 63u);  // 20 + 7 + 18 + 18
    EXPECT_EQ(Hex(Bytes(lastImage.begin() + 47, lastImage.end())),
              Hex(ExpectedRequestMessageAuthenticator(lastImage, ToBytes("testing123"), 47)));
}

// A reply laid out by hand whose 16 bytes at valueAt hold the HMAC-MD5 a reader checks there
// (RFC 3579 section 3.2: over the reply with the Request Authenticator in place and those bytes
// zero), then signed: whatever is refused is refused for the attributes' shape alone.
Bytes SignedWithMacAt(const Bytes& request, const Bytes& key, std::uint8_t code,
                      const Bytes& attributes, std::size_t valueAt) {
    Bytes reply = SignedReply(request, key, code, attributes);
    Bytes covered = reply;
    for (int i = 0; i < 16; ++i) {
        covered[4 + i] = request[4 + i];
        covered[valueAt + i] = 0;
    }
    const Bytes mac = RefHmacMd5(key, covered);
    std::copy(mac.begin(), mac.end(), reply.begin() + static_cast<long>(valueAt));
    Resign(reply, request, key);
    return reply;
}

TEST(ReplyChecks, HostileReplies) {
    Exchange x;
    const Bytes key = ToBytes("testing123");
    const Bytes msg = EncodeAttributes({{18, ToBytes("Welcome")}});
    const Bytes good = SignedReply(x.Sent(), key, 2, msg);
    const Bytes proxy = EncodeAttributes({{33, ToBytes("state")}});

    struct Case {
        const char* name;
        Bytes datagram;
        int received;
        ReplyCheck verdict;  // the first check that fails names the reason
    };
    std::vector<Case> cases;
    cases.push_back({"valid", good, -1, ReplyCheck::kVerified});
    cases.push_back({"valid_trailing_bytes_ignored", Concat({good, ToBytes("junk")}), -1,
                     ReplyCheck::kVerified});
    cases.push_back(
        {"valid_reject", SignedReply(x.Sent(), key, 3, msg), -1, ReplyCheck::kVerified});
    cases.push_back({"valid_with_message_authenticator",
                     SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, msg), -1,
                     ReplyCheck::kVerified});
    {
        // Up to 128 octets with the secret the Response Authenticator is hashed as one copy,
        // past them in pieces: both ways, at the edge and beyond.
        for (std::size_t text : {96u, 97u, 200u}) {  // reply 20 + 2 + text, secret 10
            const Bytes longMsg = EncodeAttributes({{18, Bytes(text, 'w')}});
            const Bytes signedLong = SignedReply(x.Sent(), key, 2, longMsg);
            cases.push_back({"valid_long", signedLong, -1, ReplyCheck::kVerified});
            Bytes changed = signedLong;
            changed[changed.size() - 1] ^= 0x01;
            cases.push_back({"long_changed_last_byte", changed, -1, ReplyCheck::kBadAuthenticator});
            cases.push_back({"valid_long_with_message_authenticator",
                             SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, longMsg), -1,
                             ReplyCheck::kVerified});
        }
    }
    {
        Bytes b = good;
        b[1] ^= 1;
        Resign(b, x.Sent(), key);  // authenticator right, Identifier wrong
        cases.push_back({"wrong_identifier", b, -1, ReplyCheck::kWrongIdentifier});
    }
    {
        Bytes b = good;
        b[good.size() - 1] ^= 0x20;
        cases.push_back({"changed_byte", b, -1, ReplyCheck::kBadAuthenticator});
    }
    {
        // Each byte of both authenticators counts, the last one too.
        Bytes b = good;
        b[19] ^= 0x01;
        cases.push_back({"response_authenticator_last_byte", b, -1, ReplyCheck::kBadAuthenticator});
        Bytes m = SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, msg);
        m[37] ^= 0x01;
        Resign(m, x.Sent(), key);
        cases.push_back(
            {"message_authenticator_last_byte", m, -1, ReplyCheck::kBadMessageAuthenticator});
    }
    cases.push_back({"other_secret", SignedReply(x.Sent(), ToBytes("wrong"), 2, msg), -1,
                     ReplyCheck::kBadAuthenticator});
    {
        Bytes otherRequest = x.Sent();
        otherRequest[4] ^= 1;
        cases.push_back({"other_request_authenticator", SignedReply(otherRequest, key, 2, msg), -1,
                         ReplyCheck::kBadAuthenticator});
    }
    cases.push_back({"shorter_than_a_header", Bytes(good.begin(), good.begin() + 19), -1,
                     ReplyCheck::kTooShort});
    cases.push_back({"received_short_of_length", good, static_cast<int>(good.size()) - 1,
                     ReplyCheck::kBadLength});
    {
        Bytes b = good;
        b[2] = 0;
        b[3] = 19;
        Resign(b, x.Sent(), key);
        cases.push_back({"length_below_20", b, -1, ReplyCheck::kBadLength});
    }
    {
        Bytes b(4097 + 3, 0);
        std::copy(good.begin(), good.end(), b.begin());
        b[2] = 0x10;
        b[3] = 0x01;
        cases.push_back({"length_above_4096", b, 4096, ReplyCheck::kBadLength});
    }
    cases.push_back({"proxy_state", SignedReply(x.Sent(), key, 2, Concat({msg, proxy})), -1,
                     ReplyCheck::kProxyState});
    cases.push_back({"proxy_state_with_valid_message_authenticator",
                     SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, Concat({proxy, msg})),
                     -1, ReplyCheck::kProxyState});
    {
        Bytes b = SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, msg);
        b[25] ^= 0xFF;
        Resign(b, x.Sent(), key);
        cases.push_back(
            {"wrong_message_authenticator", b, -1, ReplyCheck::kBadMessageAuthenticator});
    }
    {
        Bytes ma = SignedReplyWithMessageAuthenticator(x.Sent(), key, 2, msg);
        Bytes twice = SignedReply(
            x.Sent(), key, 2,
            Concat({Bytes(ma.begin() + 20, ma.begin() + 38), Bytes(ma.begin() + 20, ma.end())}));
        cases.push_back(
            {"two_message_authenticators", twice, -1, ReplyCheck::kMessageAuthenticatorForm});
    }
    {
        Bytes shortMa = EncodeAttributes({{80, Bytes(15, 0)}});
        cases.push_back({"message_authenticator_wrong_length",
                         SignedReply(x.Sent(), key, 2, Concat({shortMa, msg})), -1,
                         ReplyCheck::kMessageAuthenticatorForm});
    }
    {
        // Shaped wrong but signed right: a 20-byte Message-Authenticator whose first 16 value
        // bytes verify, and two whose first or last verifies with the other's bytes in place.
        const Bytes mac16 = Bytes(16, 0x5A);
        const Bytes longMa = EncodeAttributes({{80, Bytes(18, 0)}});
        const Bytes twoMa = EncodeAttributes({{80, mac16}, {80, mac16}});
        cases.push_back(
            {"valid_message_authenticator_laid_out_by_hand",
             SignedWithMacAt(x.Sent(), key, 2, Concat({EncodeAttributes({{80, mac16}}), msg}), 22),
             -1, ReplyCheck::kVerified});
        cases.push_back({"message_authenticator_long_verifying",
                         SignedWithMacAt(x.Sent(), key, 2, Concat({longMa, msg}), 22), -1,
                         ReplyCheck::kMessageAuthenticatorForm});
        cases.push_back({"two_message_authenticators_first_verifying",
                         SignedWithMacAt(x.Sent(), key, 2, Concat({twoMa, msg}), 22), -1,
                         ReplyCheck::kMessageAuthenticatorForm});
        cases.push_back({"two_message_authenticators_last_verifying",
                         SignedWithMacAt(x.Sent(), key, 2, Concat({twoMa, msg}), 40), -1,
                         ReplyCheck::kMessageAuthenticatorForm});
        // A short one as the last attribute: its 16-byte window would run past Length.
        cases.push_back({"message_authenticator_short_and_last",
                         SignedReply(x.Sent(), key, 2,
                                     Concat({msg, EncodeAttributes({{80, Bytes(15, 0x5A)}})})),
                         -1, ReplyCheck::kMessageAuthenticatorForm});
    }
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(static_cast<int>(x.Check(k.datagram, k.received)), static_cast<int>(k.verdict));
    }
}

TEST(ReplyChecks, NoSecretLinkedNeverVerifies) {
    CRadPacket request(1);
    CRadPacket reply(2);
    EXPECT_FALSE(reply.VerifyResponse(request, 20));
    EXPECT_EQ(static_cast<int>(reply.CheckResponse(request, 20)),
              static_cast<int>(ReplyCheck::kNoSecret));
}

}  // namespace
