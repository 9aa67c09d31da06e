// Threads, as a host sees them: the shared library loaded with dlopen and used through the public
// headers only (auth, and one structured client shared by threads); and concurrent learning of
// which servers sign their replies. Run in every build and, under ThreadSanitizer, on its own
// (label "threads").
//
// Each thread has its own result buffer, so a text copied the moment auth returns is always the
// calling thread's own, and a thread that ends takes its buffer with it.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qvRadClient.h"
#include "qvrad.h"
#include "radius/packet.h"
#include "radius/reply_signing.h"
#include "support/auth_helpers.h"
#include "support/responder.h"
#include "support/radius_wire.h"
#include "support/tls_peer.h"
#include "support/tls_server.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"

namespace {

const char kSecret[] = "hardening-threads";
const char kBanner[] = "Quorvel SDK for Win32 ver 1.1.0.2";
constexpr int kThreads = 16;
constexpr int kCallsPerThread = 300;

// The shipped shared library, as a host loads it: its result buffers are then dynamic TLS,
// allocated by the C library for each thread that calls and freed when that thread ends.
struct SharedLibrary {
    void* handle = dlopen(QVRAD_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    decltype(&auth) authCall =
        handle ? reinterpret_cast<decltype(&auth)>(dlsym(handle, "auth")) : nullptr;
    decltype(&info) infoCall =
        handle ? reinterpret_cast<decltype(&info)>(dlsym(handle, "info")) : nullptr;
    // The structured interface, each function by its own name.
#define QVRAD_SYMBOL(f) \
    decltype(&::f) f = handle ? reinterpret_cast<decltype(&::f)>(dlsym(handle, #f)) : nullptr
    QVRAD_SYMBOL(qvrad_client_new);
    QVRAD_SYMBOL(qvrad_client_add_server);
    QVRAD_SYMBOL(qvrad_client_set_int);
    QVRAD_SYMBOL(qvrad_client_free);
    QVRAD_SYMBOL(qvrad_login_pap);
    QVRAD_SYMBOL(qvrad_login_answer);
    QVRAD_SYMBOL(qvrad_login_code);
    QVRAD_SYMBOL(qvrad_login_message_count);
    QVRAD_SYMBOL(qvrad_login_message);
    QVRAD_SYMBOL(qvrad_login_attribute_count);
    QVRAD_SYMBOL(qvrad_login_attribute);
    QVRAD_SYMBOL(qvrad_login_free);
#undef QVRAD_SYMBOL
    bool Structured() const {
        return qvrad_client_new && qvrad_client_add_server && qvrad_client_set_int &&
               qvrad_client_free && qvrad_login_pap && qvrad_login_answer && qvrad_login_code &&
               qvrad_login_message_count && qvrad_login_message && qvrad_login_attribute_count &&
               qvrad_login_attribute && qvrad_login_free;
    }
    ~SharedLibrary() {
        if (handle != nullptr) dlclose(handle);
    }
};

// Accepts users whose name ends in an even digit with "Welcome <user>", rejects the others
// with "Denied <user>": every call's text names the call.
LoopbackResponder::Script WelcomeOrDeny(const Bytes& key) {
    return [key](const Bytes& request) -> std::vector<Datagram> {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        if (user == nullptr || user->empty()) return {};
        const bool accept = (user->back() - '0') % 2 == 0;
        Bytes text = ToBytes(accept ? "Welcome " : "Denied ");
        text.insert(text.end(), user->begin(), user->end());
        return {{SignedReply(request, key, accept ? 2 : 3, EncodeAttributes({{18, text}})), 0}};
    };
}

TEST(HardeningThreads, EveryCallReadsItsOwnTextWhileInfoRunsThroughout) {
    SharedLibrary lib;
    ASSERT_NE(lib.authCall, nullptr) << dlerror();
    ASSERT_NE(lib.infoCall, nullptr);
    LoopbackResponder r(WelcomeOrDeny(ToBytes(kSecret)));
    const std::string port = r.PortText();

    std::atomic<bool> done{false};
    std::atomic<long> infoCalls{0}, infoBad{0};
    const char* const banner = lib.infoCall();
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            // Bounded in count as well as by the callers' end.
            for (long n = 0; n < 2000000 && !done; ++n) {
                const char* text = lib.infoCall();
                if (text != banner || std::strcmp(text, kBanner) != 0) ++infoBad;
                ++infoCalls;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }

    std::atomic<int> own{0}, foreign{0}, pointerChanged{0};
    std::vector<const char*> buffers(kThreads, nullptr);
    std::string firstForeign;
    std::atomic_flag firstTaken = ATOMIC_FLAG_INIT;
    std::vector<std::thread> callers;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                char user[32];
                std::snprintf(user, sizeof user, "t%02d-%04d", t, i);
                const char* text =
                    lib.authCall("127.0.0.1", port.c_str(), kSecret, user, "pw", "5");
                // Copied at once, as a host does, with no lock of the library's.
                const std::string got = text != nullptr ? text : "<null>";
                const std::string expected =
                    std::string(i % 2 == 0 ? "Welcome " : "Denied ") + user;
                if (got == expected) {
                    ++own;
                } else {
                    ++foreign;
                    if (!firstTaken.test_and_set()) firstForeign = user + (" read " + got);
                }
                if (buffers[t] == nullptr) buffers[t] = text;
                if (text != buffers[t]) ++pointerChanged;
            }
        });
    }
    for (std::thread& t : callers) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    done = true;
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(own.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(foreign.load(), 0) << "first: " << firstForeign;
    EXPECT_EQ(pointerChanged.load(), 0);  // one buffer per thread, the same on every call
    EXPECT_EQ(std::set<const char*>(buffers.begin(), buffers.end()).size(),
              static_cast<std::size_t>(kThreads));
    EXPECT_GT(infoCalls.load(), 0);
    EXPECT_EQ(infoBad.load(), 0);
    // Every call's request reached the server exactly once.
    std::set<std::string> users;
    for (const Bytes& request : r.Received()) {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        if (user != nullptr) users.insert(std::string(user->begin(), user->end()));
    }
    EXPECT_EQ(users.size(), static_cast<std::size_t>(kThreads * kCallsPerThread));
    std::printf("%d calls on %d threads in %.2f s, each read its own text; %ld info calls\n",
                kThreads * kCallsPerThread, kThreads, took.count(), infoCalls.load());
}

TEST(HardeningThreads, ThousandThreadsOfOneCallEachLeaveHeapAndDescriptorsAsTheyWere) {
    SharedLibrary lib;
    ASSERT_NE(lib.authCall, nullptr) << dlerror();
    LoopbackResponder r(WelcomeOrDeny(ToBytes(kSecret)));
    const std::string port = r.PortText();
    r.StopRecording();
    std::atomic<int> wrong{0};
    // Eight threads at a time, each making one call (its first, into a buffer nobody wrote
    // before) and ending; every byte behind the text's NUL must be zero.
    auto churn = [&](int count) {
        for (int done = 0; done < count; done += 8) {
            std::thread batch[8];
            for (int k = 0; k < 8; ++k) {
                batch[k] = std::thread([&, k, done] {
                    char user[32];
                    std::snprintf(user, sizeof user, "churn-%05d", done + k);
                    const char* text =
                        lib.authCall("127.0.0.1", port.c_str(), kSecret, user, "pw", "5");
                    const std::string expected =
                        std::string((done + k) % 2 == 0 ? "Welcome " : "Denied ") + user;
                    bool tailZero = true;
                    for (std::size_t i = expected.size(); i < 2048 && tailZero; ++i)
                        tailZero = text[i] == '\0';
                    if (expected != text || !tailZero) ++wrong;
                });
            }
            for (std::thread& t : batch) t.join();
        }
    };
    churn(40);
    const int descriptorsBefore = OpenDescriptorCount();
    // A leak grows the heap in every batch, by a chunk (at least 32 bytes) per thread or every few
    // threads: a buffer kept per finished thread would be 1 MB a batch. The C library's caching
    // grows it once in a while by a fixed amount: a new arena (its header, about 2 KB, counts as
    // in use) the first time more threads overlap than before, which a loaded machine may
    // bring about late, and at most 8 per core. So the first batch of 500 threads lets that
    // settle, and one of the next three must leave the heap exactly where the one before left it.
    std::size_t heap[5] = {HeapInUse()};
    int batches = 0;
    bool flat = false;
    while (batches < 4 && !flat) {
        churn(500);
        heap[++batches] = HeapInUse();
        flat = batches >= 2 && heap[batches] == heap[batches - 1];
    }
    const int descriptorsAfter = OpenDescriptorCount();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    if (HeapIsCounted()) {
        EXPECT_TRUE(flat) << "heap after each batch of 500: " << heap[1] << ", " << heap[2] << ", "
                          << heap[3] << ", " << heap[4] << " bytes (" << heap[0] << " before)";
    }
    std::printf(
        "%d threads of one call: heap %zu -> %zu bytes (%s after %d batches of 500), "
        "descriptors %d -> %d\n",
        40 + 500 * batches, heap[0], heap[batches], flat ? "flat" : "still growing", batches,
        descriptorsBefore, descriptorsAfter);
}

// The library registers fork handlers at load (its random streams' fork rule). Once unloaded, as
// a host's dlclose unloads it when no thread still holds a stream of it (a thread that called has
// ended), no handler of it may remain: a fork would run code that is no longer mapped. A thread
// that ends after its calls also wipes and releases its stream, so the unload really happens.
TEST(HardeningThreads, NoForkHandlerOutlivesTheUnloadedLibrary) {
    {
        SharedLibrary lib;
        ASSERT_NE(lib.authCall, nullptr) << dlerror();
        LoopbackResponder r(WelcomeOrDeny(ToBytes(kSecret)));
        const std::string port = r.PortText();
        std::string text;
        std::thread([&] {
            text = lib.authCall("127.0.0.1", port.c_str(), kSecret, "fork-0", "pw", "5");
        }).join();
        EXPECT_EQ(text, "Welcome fork-0");
    }
    if (dlopen(QVRAD_SHARED_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr)
        GTEST_SKIP() << "the C library kept the library loaded: no unload to test";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    EXPECT_EQ(ChildExitStatus(child), 0);
}

// Structured logins: users "L<thread>-<n>" with n a multiple of 4 are challenged with a State and
// a text naming them, and accepted when the answer and the State both name them; the others are
// accepted (n even) or rejected with a text naming them. A reply meant for another login would
// name another user, or carry a State that does not match the answer's user.
LoopbackResponder::Script NamedLogins(const Bytes& key) {
    return [key](const Bytes& request) -> std::vector<Datagram> {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* userBytes = FindFirst(attributes, 1);
        const Bytes* password = FindFirst(attributes, 2);
        if (userBytes == nullptr || password == nullptr) return {};
        const std::string user(userBytes->begin(), userBytes->end());
        const Bytes* state = FindFirst(attributes, 24);
        const int n = std::stoi(user.substr(user.find('-') + 1));
        std::uint8_t code = n % 2 == 0 ? 2 : 3;
        std::vector<Attribute> reply = {{18, ToBytes((code == 2 ? "Welcome " : "Denied ") + user)}};
        if (n % 4 == 0) {
            if (state == nullptr) {
                // RFC 2865 section 4.4: the answer must come back with this State.
                code = 11;
                reply = {{18, ToBytes("Code for " + user)}, {24, ToBytes("state:" + user)}};
            } else {
                Bytes sent = RevealPassword(*password, key, RequestAuthenticatorOf(request));
                sent.erase(std::find(sent.begin(), sent.end(), 0), sent.end());
                if (*state != ToBytes("state:" + user) || sent != ToBytes("answer:" + user))
                    reply = {{18, ToBytes("Mismatch " + user)}};
            }
        }
        return {
            {SignedReplyWithMessageAuthenticator(request, key, code, EncodeAttributes(reply)), 0}};
    };
}

TEST(HardeningThreads, OneSharedClientEightThreadsEachGetTheirOwnReply) {
    SharedLibrary lib;
    ASSERT_TRUE(lib.Structured()) << dlerror();
    LoopbackResponder r(NamedLogins(ToBytes(kSecret)));
    qvrad_client* client = nullptr;
    ASSERT_EQ(lib.qvrad_client_new(&client), QVRAD_OK);
    ASSERT_EQ(lib.qvrad_client_add_server(client, "127.0.0.1", r.Port(), kSecret), QVRAD_OK);
    ASSERT_EQ(lib.qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, 20000), QVRAD_OK);
    constexpr int kLoginThreads = 8, kLoginsPerThread = 240;

    // What a login hands out, as one text: "code:message|message", then each row's type.
    auto seen = [&lib](const qvrad_login* login) {
        std::string out = std::to_string(lib.qvrad_login_code(login)) + ":";
        for (size_t i = 0; i < lib.qvrad_login_message_count(login); ++i)
            out += (i != 0 ? "|" : "") + std::string(lib.qvrad_login_message(login, i));
        for (size_t i = 0; i < lib.qvrad_login_attribute_count(login); ++i) {
            uint32_t vendor = 0, type = 0;
            const unsigned char* value = nullptr;
            size_t length = 0;
            if (lib.qvrad_login_attribute(login, i, &vendor, &type, &value, &length) != QVRAD_OK)
                return out + " <no row>";
            out += " " + std::to_string(vendor) + "/" + std::to_string(type);
        }
        return out;
    };
    std::atomic<int> own{0}, foreign{0};
    std::string firstForeign;
    std::atomic_flag firstTaken = ATOMIC_FLAG_INIT;
    auto check = [&](const std::string& got, const std::string& expected) {
        if (got == expected) {
            ++own;
        } else {
            ++foreign;
            if (!firstTaken.test_and_set()) firstForeign = got + " instead of " + expected;
        }
    };
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < kLoginThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLoginsPerThread; ++n) {
                const std::string user = "L" + std::to_string(t) + "-" + std::to_string(n);
                qvrad_login* login = nullptr;
                const int status = lib.qvrad_login_pap(client, user.c_str(), "pw", &login);
                // Message-Authenticator first (RFC 3579 section 3.2), then the texts and State.
                if (n % 4 == 0) {
                    check(std::to_string(status) + " " + seen(login),
                          "0 11:Code for " + user + " 0/80 0/18 0/24");
                    const std::string answer = "answer:" + user;
                    const int answered = lib.qvrad_login_answer(login, answer.c_str());
                    check(std::to_string(answered) + " " + seen(login),
                          "0 2:Welcome " + user + " 0/80 0/18");
                } else {
                    check(std::to_string(status) + " " + seen(login),
                          std::string(n % 2 == 0 ? "0 2:Welcome " : "0 3:Denied ") + user +
                              " 0/80 0/18");
                }
                lib.qvrad_login_free(login);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    lib.qvrad_client_free(client);

    const int checks = kLoginThreads * (kLoginsPerThread + kLoginsPerThread / 4);
    EXPECT_EQ(own.load(), checks);
    EXPECT_EQ(foreign.load(), 0) << "first: " << firstForeign;
    // Every login and every answer reached the server (a retransmission counts once).
    std::set<std::string> requests;
    for (const Bytes& request : r.Received()) {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        if (user != nullptr)
            requests.insert(std::string(user->begin(), user->end()) +
                            (FindFirst(attributes, 24) != nullptr ? " answer" : ""));
    }
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(checks));
    std::printf("%d logins and %d answers on %d threads through one client in %.2f s\n",
                kLoginThreads * kLoginsPerThread, kLoginThreads * kLoginsPerThread / 4,
                kLoginThreads, took.count());
}

// Concurrent learning, last in this file. 8 threads call 4 signing servers through the shared
// library (two threads learn each server at once); then every server stops signing and 8 calls
// at once, two per server, must each wait out the deadline: each server was learned. Beside
// it, 8 threads race to learn 100 servers more than the library's own table type holds: every
// slot filled once, and the rest, in the overflow filter, known all the same.
TEST(HardeningThreads, ConcurrentCallsLearnTheSameAndDifferentServers) {
    const char* setting = std::getenv("QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR");
    if (setting != nullptr && std::strcmp(setting, "auto") != 0) GTEST_SKIP() << "not auto";
    SharedLibrary lib;
    ASSERT_NE(lib.authCall, nullptr) << dlerror();
    const Bytes key = ToBytes(kSecret);
    auto stripped = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::unique_ptr<LoopbackResponder>> servers;
    for (int i = 0; i < 4; ++i) {
        servers.emplace_back(
            new LoopbackResponder([key, stripped](const Bytes& request) -> std::vector<Datagram> {
                const Bytes text = EncodeAttributes({{18, ToBytes("signed")}});
                if (stripped->load()) return {{SignedReply(request, key, 2, text), 0}};
                return {{SignedReplyWithMessageAuthenticator(request, key, 2, text), 0}};
            }));
    }
    auto callAll = [&](const char* timeout, const char* want) {
        std::atomic<int> matched{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 8; ++t) {
            callers.emplace_back([&, t] {
                const std::string port = servers[t % 4]->PortText();
                const int calls = std::strcmp(want, "signed") == 0 ? 20 : 1;
                for (int i = 0; i < calls; ++i) {
                    const char* text =
                        lib.authCall("127.0.0.1", port.c_str(), kSecret, "u", "p", timeout);
                    if (text != nullptr && std::strcmp(text, want) == 0) ++matched;
                }
            });
        }
        for (std::thread& t : callers) t.join();
        return matched.load();
    };

    constexpr int kServers = SignedServerTable::kCapacity + 100;
    std::unique_ptr<SignedServerTable> held(new SignedServerTable{});
    SignedServerTable& race = *held;
    auto serverKey = [](int n) {
        return ServerKey(0x0100007F, static_cast<std::uint16_t>(40000 + n));
    };
    std::atomic<int> learned{0};
    std::vector<std::thread> learners;
    for (int t = 0; t < 8; ++t) {
        learners.emplace_back([&, t] {
            // Thread t learns an eighth of the servers and the next two eighths: most are learned
            // by three threads at once.
            const int from = t * kServers / 8, to = from + 3 * kServers / 8;
            for (int n = from; n < to && n < kServers; ++n)
                if (race.Learn(serverKey(n))) ++learned;
        });
    }
    EXPECT_EQ(callAll("5", "signed"), 8 * 20);
    for (std::thread& t : learners) t.join();

    // Every slot holds a distinct server, each once; every server is known.
    std::set<std::uint64_t> slots;
    for (const auto& slot : race.slots) slots.insert(slot.load());
    EXPECT_EQ(slots.size(), static_cast<std::size_t>(SignedServerTable::kCapacity));
    EXPECT_EQ(slots.count(0), 0u);
    int known = 0;
    for (int n = 0; n < kServers; ++n) known += race.Knows(serverKey(n)) ? 1 : 0;
    EXPECT_EQ(known, kServers);
    EXPECT_GE(learned.load(), SignedServerTable::kCapacity);

    *stripped = true;
    EXPECT_EQ(callAll("1", "6040#0#ERR_NETWORK_FAIL"), 8);
}

// TLS sessions of many threads at once: the TLS library's first start, PSA's global key store
// (each session imports its private key and makes an ephemeral one) and the parsing of the key
// files, each session then cut short by a listener that reads its ClientHello and hangs up.
TEST(HardeningThreads, TlsSessionsStartAtOnce) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    constexpr int kTlsThreads = 8;
    constexpr int kOpensPerThread = 3;
    TempFile ca(kTestCaPem), cert(kTestClientCertPem), key(kTestClientKeyPem);
    TlsSettings settings;
    std::snprintf(settings.caFile, sizeof settings.caFile, "%s", ca.path.c_str());
    std::snprintf(settings.certFile, sizeof settings.certFile, "%s", cert.path.c_str());
    std::snprintf(settings.keyFile, sizeof settings.keyFile, "%s", key.path.c_str());
    CRadSecret secret;
    secret.Assign(kSecret, sizeof kSecret - 1);
    RecordCatcher catcher(kTlsThreads * kOpensPerThread);
    ASSERT_NE(catcher.Port(), 0);
    const platform::IpAddress loopback = platform::IPv4Address(platform::ParseIPv4("127.0.0.1"));
    std::atomic<int> cutShort{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kTlsThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kOpensPerThread; ++i) {
                CRadTlsSession session;
                const int rc = OpenTls(session, loopback, catcher.Port(), "radius.example.com",
                                       settings, secret, platform::MonotonicMillis() + 60000);
                if (rc == -1 && session.Failure() == TlsFailure::kClosed) ++cutShort;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    catcher.Join();
    EXPECT_EQ(cutShort.load(), kTlsThreads * kOpensPerThread);
    ASSERT_EQ(catcher.Records().size(), static_cast<std::size_t>(kTlsThreads * kOpensPerThread));
    for (const Bytes& record : catcher.Records()) {
        ASSERT_GT(record.size(), 5u);
        EXPECT_EQ(record[0], 22);  // a handshake record: each session got as far as its hello
    }
}

#if defined(QVRAD_HAVE_OPENSSL_SSL)
// One client's kept TLS connection shared by eight threads while the server closes it every 100
// requests (with close_notify, leaving that request unanswered): the requests in flight on a
// closed connection go again on a new one, and every login is accepted. A request goes on two
// connections at most, so the closes are far enough apart that a resend never meets the next one
// (at every 40, a thread descheduled on a loaded machine could resend as the next connection's
// 40th and fail by that rule). Under ThreadSanitizer,
// the pool's one lock, the hand-off of reading between threads and the connection's end.
TEST(HardeningThreads, KeptConnectionSharedWhileTheServerClosesIt) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    constexpr int kSharing = 8;
    constexpr int kLoginsEach = 50;
    constexpr int kCloseAfter = 100;
    TempFile pskFile("00112233445566778899aabbccddeeff\n");
    TlsRadiusServer::Options options;
    options.connections = 2 * kSharing * kLoginsEach / kCloseAfter + 4;
    options.closeAfter = kCloseAfter;
    TlsRadiusServer server(TestPki(), TlsServerMode::kPsk,
                           FromHex("00112233445566778899aabbccddeeff"), "threads-nas",
                           TlsRadiusServer::Records([](const Bytes& request) {
                               return std::vector<Bytes>{SignedReplyWithMessageAuthenticator(
                                   request, ToBytes("radsec"), 2, {})};
                           }),
                           options);
    ASSERT_NE(server.Port(), 0);
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 10000), QVRAD_OK);
    EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY, "threads-nas"), QVRAD_OK);
    EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_FILE, pskFile.path.c_str()), QVRAD_OK);
    ASSERT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", server.Port(), kSecret), QVRAD_OK);
    std::atomic<int> accepted{0};
    std::mutex lock;
    std::string failure;
    std::vector<std::thread> threads;
    for (int t = 0; t < kSharing; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kLoginsEach; ++i) {
                qvrad_login* l = nullptr;
                const int status = qvrad_login_pap(c, "alice", "alice-pass", &l);
                if (status == QVRAD_OK && qvrad_login_code(l) == QVRAD_CODE_ACCEPT) {
                    ++accepted;
                } else {
                    std::lock_guard<std::mutex> hold(lock);
                    if (failure.empty())
                        failure = std::to_string(status) + ": " + qvrad_error_detail();
                }
                qvrad_login_free(l);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    qvrad_client_free(c);
    server.Stop();
    server.Join();
    EXPECT_EQ(accepted.load(), kSharing * kLoginsEach) << failure;
    // Each connection the server closed carried 100 requests (the last unanswered): several
    // connections, far fewer than logins.
    EXPECT_GE(server.Handshakes(), kSharing * kLoginsEach / kCloseAfter);
    EXPECT_LT(server.Handshakes(), kSharing * kLoginsEach / 4);
}
#endif

}  // namespace
