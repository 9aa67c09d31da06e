// Memory hygiene: once auth has returned, no copy of the shared secret or the password is left
// in a block the call freed (this program replaces the global operator new and delete, and the
// delete keeps a copy of each block the calling thread frees, scanned after the call), anywhere
// in the call's stack (auth runs on a thread whose stack this test maps itself and scans after the
// call), or in any vector register the CPU has (all of them stored right after auth returns).
// The password hiding alone must leave no copy either, and a copy left below auth's frame by a
// callee (planted through the exchange's observer) must be gone when the call returns. The
// structured logins (qvrad.h) are held to the same, their Access-Challenge answer included: the
// login keeps the request's attributes, never the password or the answer. So are logins over
// TLS (RFC 6614) against an OpenSSL server in this process, with certificates and with a PSK:
// nor is the PSK, the client's private key or a secret of the TLS session left, and every block
// Mbed TLS frees goes through here as well (its allocator hooks call operator new and delete).
// The thread's random stream (its key and the output it has not handed out, which lie in the
// thread's own storage at the top of the stack under test) is found there while the thread lives
// and gone once it has ended, or once the library's unload wiped every stream.
//
// The values are long and distinctive, built at run time in static arrays and kept out of
// std::string and gtest messages on the calling thread, which would leave copies of their own
// (the TLS values are made on the test's main thread, whose memory is not scanned). Any 8
// consecutive bytes of a value count as a copy, and so do the HMAC pads (the key XOR 0x36 and
// XOR 0x5c, RFC 2104 section 2), from which the key follows at once.
#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "api/auth_call.h"
#include "api/call_outline.h"
#include "md5/md5.h"
#include "qvRadClient.h"
#include "qvrad.h"
#include "platform/platform.h"
#include "platform/thread_random.h"
#include "radius/client.h"
#include "support/auth_helpers.h"
#include "support/responder.h"
#include "support/tls_peer.h"
#include "support/tls_server.h"
#include "tls/tls_session.h"

namespace {

constexpr std::size_t kWindow = 8;
constexpr std::size_t kMaxWindows = 2048;

const char* const kValueNames[] = {"the secret",
                                   "the password",
                                   "the HMAC inner pad",
                                   "the HMAC outer pad",
                                   "the answer",
                                   "the PSK",
                                   "the PSK file's hex text",
                                   "the client's private key",
                                   "the client's private key in little-endian limbs",
                                   "the key file's PEM text",
                                   "a TLS session secret or record key",
                                   "an HMAC pad of a TLS session secret or record key",
                                   "the random stream's key or unused output"};
constexpr std::size_t kNotFound = ~static_cast<std::size_t>(0);

// Every 8-byte window of every value searched for, sorted, so that one pass over a region with a
// binary search per offset finds any of them; nothing here allocates.
struct WindowTable {
    struct Window {
        std::uint64_t bytes;
        int value;  // index into kValueNames
        bool operator<(const Window& other) const { return bytes < other.bytes; }
    };
    Window windows[kMaxWindows];
    std::size_t count = 0;
    bool full = false;  // a window did not fit: the table misses part of a value

    void Add(const std::uint8_t* value, std::size_t length, int name) {
        for (std::size_t at = 0; at + kWindow <= length; ++at) {
            if (count == kMaxWindows) {
                full = true;
                return;
            }
            std::memcpy(&windows[count].bytes, value + at, kWindow);
            windows[count++].value = name;
        }
    }
    // Sorted, without all-zero windows: those would match every wiped block, and no random
    // value of this test has one but by a chance of 2^-64.
    void Seal() {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i)
            if (windows[i].bytes != 0) windows[kept++] = windows[i];
        count = kept;
        std::sort(windows, windows + count);
    }
    // The offset of the first copy in the region (and which value it is), or kNotFound.
    std::size_t Find(const void* region, std::size_t length, int* value = nullptr) const {
        const std::uint8_t* p = static_cast<const std::uint8_t*>(region);
        for (std::size_t at = 0; at + kWindow <= length; ++at) {
            Window w{0, 0};
            std::memcpy(&w.bytes, p + at, kWindow);
            const Window* hit = std::lower_bound(windows, windows + count, w);
            if (hit != windows + count && hit->bytes == w.bytes) {
                if (value != nullptr) *value = hit->value;
                return at;
            }
        }
        return kNotFound;
    }
};

WindowTable g_table;
thread_local bool t_scanFrees = false;

// The job thread's random stream as its call left it, copied by the job (into this static
// buffer, not its stack) for the scans after the call; its windows are made into g_streamTable on
// the test's own thread (a sort there keeps windows in its frames).
unsigned char g_streamState[1024];
bool g_streamNoted = false;
std::size_t g_streamSize = 0;
WindowTable g_streamTable;

// Copies the calling thread's stream byte by byte (no call whose frame would land in the stack
// under test); nothing when the thread never drew from it.
void NoteStreamState() {
    const void* region = nullptr;
    std::size_t size = 0;
    platform::ThreadRandomState(&region, &size);
    if (size > sizeof g_streamState) return;
    const volatile unsigned char* from = static_cast<const unsigned char*>(region);
    bool drawn = false;
    for (std::size_t i = 0; i < size; ++i) {
        g_streamState[i] = from[i];
        drawn = drawn || g_streamState[i] != 0;
    }
    g_streamSize = size;
    g_streamNoted = drawn;
}

// The key (the region's first 32 bytes), then the output not handed out: the pool's end after its
// zeroed start, so that no window straddles zeros and live bytes (a window of seven zeros would
// match any lone byte elsewhere).
void BuildStreamTable() {
    constexpr std::size_t kKeyLength = 32;
    std::size_t live = kKeyLength;
    while (live < g_streamSize && g_streamState[live] == 0) ++live;
    g_streamTable.count = 0;
    g_streamTable.full = false;
    g_streamTable.Add(g_streamState, std::min(g_streamSize, kKeyLength), 12);
    g_streamTable.Add(g_streamState + live, g_streamSize - live, 12);
    g_streamTable.Seal();
}

// Blocks freed by the call, copied as they were just before free and scanned afterwards on the
// test's own thread: a search run inside operator delete would itself spill the values it
// looks for into the very stack under test. A window that is not all zeros meets a non-zero
// octet, so only a block's non-zero span and kWindow - 1 octets either side are kept: a block
// that is all zeros (as the blocks Mbed TLS frees are after its free's wipe, apart from the few
// octets of malloc's slack past the size asked for) is only counted. A TLS login here frees up
// to 14000 blocks, up to some 4500 of them with a non-zero octet, their spans under 300 KiB:
// there is room for every block of such a call, and four times its spans.
constexpr std::size_t kFreedRoom = 1024 * 1024;
constexpr int kMaxFreed = 16384;
unsigned char g_freed[kFreedRoom];
std::size_t g_freedOffsets[kMaxFreed + 1];
int g_freedCount = 0;
int g_freedZero = 0;
std::size_t g_freedLargest = 0;
bool g_freedOverflow = false;

void SaveFreed(void* p) {
    if (!t_scanFrees || p == nullptr) return;
    const std::size_t size = malloc_usable_size(p);
    if (size > g_freedLargest) g_freedLargest = size;
    const unsigned char* bytes = static_cast<const unsigned char*>(p);
    std::size_t first = 0;
    while (first < size && bytes[first] == 0) ++first;
    if (first == size) {
        ++g_freedZero;
        return;
    }
    std::size_t end = size;
    while (bytes[end - 1] == 0) --end;
    const std::size_t from = first >= kWindow - 1 ? first - (kWindow - 1) : 0;
    const std::size_t to = std::min(size, end + (kWindow - 1));
    const std::size_t used = g_freedOffsets[g_freedCount];
    if (g_freedCount == kMaxFreed || to - from > kFreedRoom - used) {
        g_freedOverflow = true;
        return;
    }
    std::memcpy(g_freed + used, bytes + from, to - from);
    g_freedOffsets[++g_freedCount] = used + (to - from);
}

void ForgetFreed() {
    g_freedCount = 0;
    g_freedZero = 0;
    g_freedLargest = 0;
    g_freedOffsets[0] = 0;
    g_freedOverflow = false;
}

struct FreedScan {
    int blocks = 0;  // all of them, the zeroed ones included
    int zeroed = 0;
    std::size_t kept = 0;  // octets of the others' spans, copied and scanned
    int withCopy = 0;
    std::size_t largest = 0;
};

FreedScan ScanFreed() {
    FreedScan scan;
    scan.zeroed = g_freedZero;
    scan.blocks = g_freedCount + g_freedZero;
    scan.largest = g_freedLargest;
    scan.kept = g_freedOffsets[g_freedCount];
    for (int i = 0; i < g_freedCount; ++i) {
        const std::size_t size = g_freedOffsets[i + 1] - g_freedOffsets[i];
        int value = 0;
        if (g_table.Find(g_freed + g_freedOffsets[i], size, &value) == kNotFound) continue;
        if (scan.withCopy++ == 0)
            std::printf("a copy of %s in a freed block\n", kValueNames[value]);
    }
    return scan;
}

}  // namespace

// malloc-backed, so that delete can ask malloc_usable_size for the whole block.
void* operator new(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    SaveFreed(p);
    std::free(p);
}
void operator delete[](void* p) noexcept {
    SaveFreed(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    SaveFreed(p);
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    SaveFreed(p);
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    SaveFreed(p);
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    SaveFreed(p);
    std::free(p);
}

namespace {

constexpr std::size_t kStackSize = 512 * 1024;

char g_secret[260];
char g_password[132];
char g_answer[132];  // a structured login's answer to its Access-Challenge; "" for none
char g_result[256];

// Printable, without repeats that a stray constant could match: a fixed linear congruential
// sequence over 94 characters.
void MakeValue(char* out, std::size_t length, std::uint32_t seed) {
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>('!' + (seed >> 16) % 94);
    }
    out[length] = '\0';
}

// What a TLS login must leave no copy of besides the secret, the password and the answer: the
// PSK as octets and as its file's text, or the client's private key as octets (big-endian as
// its files hold it, and little-endian as Mbed TLS's bignum limbs hold it on x86-64) and as the
// key file's PEM text.
//
// The TLS session's own secrets, known only once its handshake is over, come from the server's
// key log: the TLS 1.2 master secret, the TLS 1.3 traffic and exporter secrets (each of them an
// HMAC key in the key schedule, RFC 8446 section 7.1, so their HMAC pads count too) and the TLS
// 1.3 record keys.
struct TlsSecrets {
    Bytes psk;
    std::string pskHex;
    Bytes scalar;
    std::string pemPart;
    std::vector<Bytes> session;
};

// The HMAC pads of a key of at most 64 octets (RFC 2104 section 2), as windows of value name.
void AddHmacPads(const std::uint8_t* key, std::size_t length, int name) {
    std::uint8_t pad[64];
    for (std::uint8_t mask : {std::uint8_t{0x36}, std::uint8_t{0x5c}}) {
        for (std::size_t i = 0; i < length && i < sizeof pad; ++i) pad[i] = key[i] ^ mask;
        g_table.Add(pad, std::min(length, sizeof pad), name);
    }
}

void BuildTable(std::size_t secretLength, std::size_t passwordLength, std::size_t answerLength = 0,
                const TlsSecrets* tls = nullptr) {
    g_table.count = 0;
    g_table.full = false;
    const auto* secret = reinterpret_cast<const std::uint8_t*>(g_secret);
    g_table.Add(secret, secretLength, 0);
    g_table.Add(reinterpret_cast<const std::uint8_t*>(g_password), passwordLength, 1);
    g_table.Add(reinterpret_cast<const std::uint8_t*>(g_answer), answerLength, 4);
    // RFC 2104 section 2: a key longer than 64 bytes is replaced by its MD5 before padding.
    std::uint8_t key[64] = {};
    if (secretLength > 64)
        MD5Digest(key, secret, static_cast<std::uint32_t>(secretLength));
    else
        std::memcpy(key, secret, secretLength);
    const std::size_t keyLength = secretLength > 64 ? 16 : secretLength;
    std::uint8_t pad[64];
    int name = 2;
    for (std::uint8_t mask : {std::uint8_t{0x36}, std::uint8_t{0x5c}}) {
        for (std::size_t i = 0; i < keyLength; ++i) pad[i] = key[i] ^ mask;
        g_table.Add(pad, keyLength, name++);
    }
    if (tls != nullptr) {
        const auto text = [](const std::string& t) {
            return reinterpret_cast<const std::uint8_t*>(t.data());
        };
        g_table.Add(tls->psk.data(), tls->psk.size(), 5);
        g_table.Add(text(tls->pskHex), tls->pskHex.size(), 6);
        g_table.Add(tls->scalar.data(), tls->scalar.size(), 7);
        const Bytes limbs(tls->scalar.rbegin(), tls->scalar.rend());
        g_table.Add(limbs.data(), limbs.size(), 8);
        std::string base64;  // the PEM part without its line break, as a decoder may hold it
        for (char c : tls->pemPart)
            if (c != '\n') base64 += c;
        g_table.Add(text(tls->pemPart), tls->pemPart.size(), 9);
        g_table.Add(text(base64), base64.size(), 9);
        for (const Bytes& sessionSecret : tls->session) {
            g_table.Add(sessionSecret.data(), sessionSecret.size(), 10);
            AddHmacPads(sessionSecret.data(), sessionSecret.size(), 11);
        }
    }
    g_table.Seal();
}

// The options of a TLS login (qvrad.h), set before its server is added.
struct TlsOptions {
    const char* caFile;
    const char* certFile;
    const char* keyFile;
    const char* pskIdentity;
    const char* pskFile;
    bool pskTls12;
};

struct Call {
    const char* server;
    const char* port;
    const char* timeout;
    bool plantCopy = false;  // the exchange's observer leaves a copy of the secret in its own frame
    bool structured = false;  // a qvrad.h login (timeout in milliseconds) and g_answer, if any
    const TlsOptions* tls = nullptr;  // a structured login's TLS options (server "tls://...")
};

// Run once the job has returned, before any scan: values learned during the call join the table.
std::function<void()> g_beforeScan;

// The frame of the job the call runs in, and the stack it runs on (zeros when it started): how
// deep the call's frames, and its wipe, wrote below the job's frame.
std::uintptr_t g_jobFrame = 0;
const std::uint8_t* g_stackBase = nullptr;
std::size_t g_callDepth = 0;

// Reads only, and inline: no frame of its own lands below the ones it measures.
__attribute__((always_inline)) inline void NoteCallDepth() {
    std::size_t untouched = 0;
    while (untouched < kStackSize && g_stackBase[untouched] == 0) ++untouched;
    const std::uintptr_t deepest = reinterpret_cast<std::uintptr_t>(g_stackBase + untouched);
    g_callDepth = g_jobFrame > deepest ? g_jobFrame - deepest : 0;
}

// The vector registers this CPU has, as the kernel reports them (apart from the library's own
// detection, which tests/unit checks against the same flags), and the image they are stored in.
struct VectorFile {
    const char* names;
    std::size_t registerSize;
    std::size_t count;
};
const VectorFile kXmm = {"xmm0-15 (this CPU has no AVX)", 16, 16};
const VectorFile kYmm = {"ymm0-15 (this CPU has AVX, not AVX-512: zmm16-31 are not checked here)",
                         32, 16};
const VectorFile kZmm = {"zmm0-31 (AVX-512)", 64, 32};
const VectorFile* const g_vectorFile =
    CpuHasFlag("avx512f") ? &kZmm : (CpuHasFlag("avx") ? &kYmm : &kXmm);
alignas(64) unsigned char g_vectorImage[32 * 64];
// A structured job's registers right after its client's setup, its login and its answer: the
// calls after each (the frees' wipes) would overwrite some registers with zeros of their own.
alignas(64) unsigned char g_vectorAfterCall[3][32 * 64];

// One move per register between it and its place in the image: "op %%regN, width*N(%0)".
#define QVRAD_STORE(op, reg, width, n) op " %%" #reg #n ", " #width "*" #n "(%0)\n\t"
#define QVRAD_LOAD(op, reg, width, n) op " " #width "*" #n "(%0), %%" #reg #n "\n\t"
// clang-format off
#define QVRAD_0_15(M, op, reg, width)                                                          \
    M(op, reg, width, 0) M(op, reg, width, 1) M(op, reg, width, 2) M(op, reg, width, 3)        \
    M(op, reg, width, 4) M(op, reg, width, 5) M(op, reg, width, 6) M(op, reg, width, 7)        \
    M(op, reg, width, 8) M(op, reg, width, 9) M(op, reg, width, 10) M(op, reg, width, 11)      \
    M(op, reg, width, 12) M(op, reg, width, 13) M(op, reg, width, 14) M(op, reg, width, 15)
#define QVRAD_16_31(M, op, reg, width)                                                         \
    M(op, reg, width, 16) M(op, reg, width, 17) M(op, reg, width, 18) M(op, reg, width, 19)    \
    M(op, reg, width, 20) M(op, reg, width, 21) M(op, reg, width, 22) M(op, reg, width, 23)    \
    M(op, reg, width, 24) M(op, reg, width, 25) M(op, reg, width, 26) M(op, reg, width, 27)    \
    M(op, reg, width, 28) M(op, reg, width, 29) M(op, reg, width, 30) M(op, reg, width, 31)
#define QVRAD_XMM_CLOBBERS                                                                     \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",   \
    "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
// clang-format on

// Stores every vector register this CPU has into the image, or loads them from it. The store is
// what a signal delivered right after auth returns, or a lazy binding in the host's next call,
// would do to this thread's stack (the kernel's and the dynamic linker's xsave): done here on
// purpose, at once, so that whatever auth left in them is seen every time instead of on a loaded
// machine only; into a static image that is scanned too, never into the stack, where the store
// would overwrite the dead frames the scan is about to read.
__attribute__((noinline)) void MoveVectorRegisters(bool store,
                                                   unsigned char* image = g_vectorImage) {
#if defined(__x86_64__)
    if (store && g_vectorFile == &kZmm)
        __asm__ __volatile__(QVRAD_0_15(QVRAD_STORE, "vmovdqu64", zmm, 64)
                                 QVRAD_16_31(QVRAD_STORE, "vmovdqu64", zmm, 64)::"r"(image)
                             : "memory");
    else if (store && g_vectorFile == &kYmm)
        __asm__ __volatile__(QVRAD_0_15(QVRAD_STORE, "vmovdqu", ymm, 32)::"r"(image) : "memory");
    else if (store)
        __asm__ __volatile__(QVRAD_0_15(QVRAD_STORE, "movdqu", xmm, 16)::"r"(image) : "memory");
    else if (g_vectorFile == &kZmm)
        __asm__ __volatile__(QVRAD_0_15(QVRAD_LOAD, "vmovdqu64", zmm, 64)
                                 QVRAD_16_31(QVRAD_LOAD, "vmovdqu64", zmm, 64)::"r"(image)
                             : QVRAD_XMM_CLOBBERS);
    else if (g_vectorFile == &kYmm)
        __asm__ __volatile__(QVRAD_0_15(QVRAD_LOAD, "vmovdqu", ymm, 32)::"r"(image)
                             : QVRAD_XMM_CLOBBERS);
    else
        __asm__ __volatile__(QVRAD_0_15(QVRAD_LOAD, "movdqu", xmm, 16)::"r"(image)
                             : QVRAD_XMM_CLOBBERS);
#else
    (void)store;
    (void)image;
#endif
}

// A callee's frame below auth's that keeps a copy of the secret: the end-of-call wipe must take it.
// The copy lies at the deep end of a large frame, where the calls after this one (the wait, the
// reply's checks) do not happen to overwrite it.
void PlantSecretCopy(void*, const CRadPacket&, const ExchangeMoment&, bool) {
    char copy[1024];
    std::memcpy(copy, g_secret, 64);
    asm volatile("" : : "r"(copy) : "memory");  // the copy must really be stored
}
void IgnoreDatagram(void*, const CRadPacket&, const CRadPacket&, int, ReplyCheck,
                    const ExchangeMoment&) {}
ExchangeObserver PlantingObserver() {
    ExchangeObserver observer{};
    observer.requestSent = PlantSecretCopy;
    observer.datagramReceived = IgnoreDatagram;
    return observer;
}

void* AuthJob(void* argument) {
    const Call* call = static_cast<const Call*>(argument);
    const AuthArguments args = {call->server,   call->port, g_secret,
                                "hygiene-user", g_password, call->timeout};
    const ExchangeObserver planting = PlantingObserver();
    g_jobFrame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    t_scanFrees = true;
    const char* text = call->plantCopy ? RunAuth(args, &planting)
                                       : auth(args.server, args.port, args.secret, args.user,
                                              args.password, args.timeout);
    MoveVectorRegisters(true);
    t_scanFrees = false;
    NoteCallDepth();
    NoteStreamState();
    std::snprintf(g_result, sizeof g_result, "%s", text != nullptr ? text : "<null>");
    return nullptr;
}

// A structured login from start to end, as a host makes one: the client set up, the login, the
// answer (to its challenge, or one refused when there is none), the login and the client freed.
// The registers are stored right after each call that took a password or an answer.
void* LoginJob(void* argument) {
    const Call* call = static_cast<const Call*>(argument);
    g_jobFrame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    t_scanFrees = true;
    qvrad_client* client = nullptr;
    qvrad_login* login = nullptr;
    int status = qvrad_client_new(&client), answered = 1;
    if (const TlsOptions* tls = call->tls; tls != nullptr && status == QVRAD_OK) {
        const std::pair<int, const char*> texts[] = {{QVRAD_OPT_TLS_CA_FILE, tls->caFile},
                                                     {QVRAD_OPT_TLS_CERT_FILE, tls->certFile},
                                                     {QVRAD_OPT_TLS_KEY_FILE, tls->keyFile},
                                                     {QVRAD_OPT_TLS_PSK_IDENTITY, tls->pskIdentity},
                                                     {QVRAD_OPT_TLS_PSK_FILE, tls->pskFile}};
        for (const auto& [option, value] : texts)
            if (status == QVRAD_OK && value != nullptr)
                status = qvrad_client_set_text(client, option, value);
        if (status == QVRAD_OK && tls->pskTls12)
            status = qvrad_client_set_int(client, QVRAD_OPT_TLS_PSK_TLS12, 1);
    }
    if (status == QVRAD_OK)
        status = qvrad_client_add_server(client, call->server, std::atoi(call->port), g_secret);
    if (status == QVRAD_OK)
        status = qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, std::atoi(call->timeout));
    MoveVectorRegisters(true, g_vectorAfterCall[0]);
    if (status == QVRAD_OK) status = qvrad_login_pap(client, "hygiene-user", g_password, &login);
    MoveVectorRegisters(true, g_vectorAfterCall[1]);
    if (g_answer[0] != '\0' && login != nullptr) {
        answered = qvrad_login_answer(login, g_answer);
        MoveVectorRegisters(true, g_vectorAfterCall[2]);
    }
    // Copied by hand: a formatting call here would lay its frames over the ones under test.
    static char message[64];
    const char* first = qvrad_login_message_count(login) != 0 ? qvrad_login_message(login, 0) : "";
    std::size_t n = 0;
    for (; first[n] != '\0' && n + 1 < sizeof message; ++n) message[n] = first[n];
    message[n] = '\0';
    const int code = qvrad_login_code(login);
    qvrad_login_free(login);
    qvrad_client_free(client);
    MoveVectorRegisters(true);
    t_scanFrees = false;
    NoteCallDepth();
    NoteStreamState();
    if (answered == 1)
        std::snprintf(g_result, sizeof g_result, "login %d: %d %s", status, code, message);
    else
        std::snprintf(g_result, sizeof g_result, "login %d, answer %d: %d %s", status, answered,
                      code, message);
    if (status == QVRAD_E_TLS || answered == QVRAD_E_TLS)  // why, for the failure's message
        std::snprintf(g_result + std::strlen(g_result), sizeof g_result - std::strlen(g_result),
                      " (%s)", qvrad_error_detail());
    return nullptr;
}

// A planted copy, to show that the stack scan sees what a frame leaves behind.
void* LeaveCopyOnStack(void*) {
    char copy[64];
    std::memcpy(copy, g_secret, 40);
    asm volatile("" : : "r"(copy) : "memory");  // the copy must really be stored
    return nullptr;
}

// The password hiding alone, with no end-of-call wipe after it: its own buffers must be wiped.
void* HideOnly(void*) {
    CRadSecret secret;
    secret.Assign(g_secret, std::strlen(g_secret));
    CRadPacket request(rad::kAccessRequest);
    CRadAttrCursor cursor;
    request.BeginAttribute(rad::kUserPassword, cursor);
    cursor.AppendPassword(g_password);
    request.PrepareForServer(secret);
    platform::ClearVectorRegisters();  // a signal's frame must not bring them into the stack
    return nullptr;
}

struct StackJob {
    void* (*fn)(void*);
    void* argument;
    std::atomic<bool> returned{false};
    std::atomic<bool> release{false};
};

// Zeroes the stack below the caller's frame, deeper than any call here reaches; by stores of its
// own, with no call below the array whose frame would leave bytes deeper than any job's, and
// without ASan's frame header (its magic and the frame's description at the frame's bottom).
__attribute__((noinline, no_sanitize_address)) void ZeroStackBelow() {
    unsigned char below[64 * 1024];
    volatile unsigned char* bytes = below;
    for (std::size_t i = 0; i < sizeof below; ++i) bytes[i] = 0;
}

// Starts fn on a clean stack and clean registers, so that the scan sees only what fn wrote: a new
// thread inherits the vector registers of the thread that made it (this test's main thread, which
// has just built the values and their HMAC pads), and its start-up may store them into its stack
// before fn runs (an xsave in a lazy binding, seen under load with ASan) where fn's frames then
// lie unwritten over them. Then waits, without calling anything that would lay new frames over
// the stack just used, until the scan is done: the thread's own exit would overwrite the frames
// nearest its top.
void* Trampoline(void* argument) {
    StackJob* job = static_cast<StackJob*>(argument);
    platform::ClearVectorRegisters();
    ZeroStackBelow();
    job->fn(job->argument);
    job->returned = true;
    while (!job->release) {
    }
    return nullptr;
}

// The offset of the first whole copy of the secret or the password in the region (and which it
// is), or kNotFound.
std::size_t FindWhole(const void* region, std::size_t length, int* value) {
    const char* const values[] = {g_secret, g_password};
    for (int i = 0; i < 2; ++i) {
        const void* hit = memmem(region, length, values[i], std::strlen(values[i]));
        if (hit == nullptr) continue;
        *value = i;
        return static_cast<std::size_t>(static_cast<const char*>(hit) -
                                        static_cast<const char*>(region));
    }
    return kNotFound;
}

// Runs fn on a thread whose stack is a fresh zero-filled mapping; true when a searched-for
// value (only a whole secret or password if wholeValues) is found in that stack after fn returned.
// used: how far below the job's frame the deepest non-zero byte lay when its calls were over
// (when fn notes it): the depth the call's frames reached or its wipe did, whichever is deeper.
bool RunOnOwnedStack(void* (*fn)(void*), void* argument, std::size_t* used = nullptr,
                     bool wholeValues = false, bool wipeStreamsAtUnload = false) {
    void* stack =
        mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) {
        ADD_FAILURE() << "mmap failed";
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, kStackSize);
    pthread_t thread;
    StackJob job;
    job.fn = fn;
    job.argument = argument;
    g_jobFrame = 0;
    g_stackBase = static_cast<const std::uint8_t*>(stack);
    g_callDepth = 0;
    g_streamNoted = false;
    bool found = false;
    std::memset(g_vectorImage, 0, sizeof g_vectorImage);
    std::memset(g_vectorAfterCall, 0, sizeof g_vectorAfterCall);
    if (pthread_create(&thread, &attributes, Trampoline, &job) == 0) {
        // Bounded: a call takes at most its timeout (here 2 s).
        for (int i = 0; i < 30000 && !job.returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(job.returned.load());
        if (g_beforeScan) g_beforeScan();
        int value = 0;
        const std::size_t at = wholeValues ? FindWhole(stack, kStackSize, &value)
                                           : g_table.Find(stack, kStackSize, &value);
        found = at != kNotFound;
        if (found)
            std::printf("a copy of %s at %zu bytes below the stack's top\n", kValueNames[value],
                        kStackSize - at);
        const unsigned char* const images[] = {g_vectorImage, g_vectorAfterCall[0],
                                               g_vectorAfterCall[1], g_vectorAfterCall[2]};
        const char* const when[] = {"at the end", "after the client's setup", "after the login",
                                    "after the answer"};
        for (int i = 0; i < 4; ++i) {
            const std::size_t inRegister =
                g_table.Find(images[i], g_vectorFile->registerSize * g_vectorFile->count, &value);
            if (inRegister == kNotFound) continue;
            found = true;
            std::printf("a copy of %s in vector register %zu (%s)\n", kValueNames[value],
                        inRegister / g_vectorFile->registerSize, when[i]);
        }
        // The mapping started as zeros: the lowest non-zero byte marks the deepest frame.
        const std::uint8_t* bytes = static_cast<const std::uint8_t*>(stack);
        std::size_t untouched = 0;
        while (untouched < kStackSize && bytes[untouched] == 0) ++untouched;
        if (used != nullptr) *used = g_callDepth != 0 ? g_callDepth : kStackSize - untouched;
        // The stream: in the thread's storage while it lives, then wiped by the library's unload
        // (every thread's stream) or by the thread's end (its own).
        if (g_streamNoted) {
            BuildStreamTable();
            EXPECT_NE(g_streamTable.Find(stack, kStackSize), kNotFound)
                << "the stream's state is not in the scanned stack: the scans below prove nothing";
            if (wipeStreamsAtUnload) {
                platform::ThreadRandomWipeAll();
                const std::size_t left = g_streamTable.Find(stack, kStackSize);
                EXPECT_EQ(left, kNotFound) << "the unload's wipe left the stream of a live thread, "
                                           << kStackSize - left << " bytes below the stack's top";
            }
        }
        job.release = true;
        pthread_join(thread, nullptr);
        if (g_streamNoted) {
            const std::size_t left = g_streamTable.Find(stack, kStackSize);
            EXPECT_EQ(left, kNotFound) << "the stream's key or unused output is left after its "
                                          "thread ended, "
                                       << kStackSize - left << " bytes below the stack's top";
        }
    } else {
        ADD_FAILURE() << "pthread_create failed";
    }
    pthread_attr_destroy(&attributes);
    munmap(stack, kStackSize);
    return found;
}

TEST(HardeningHygiene, TheScansSeeAPlantedCopy) {
    MakeValue(g_secret, 40, 7);
    MakeValue(g_password, 24, 8);
    BuildTable(40, 24);
    EXPECT_TRUE(RunOnOwnedStack(LeaveCopyOnStack, nullptr));
    ForgetFreed();
    t_scanFrees = true;
    char* block = new char[64];
    std::memcpy(block, g_secret + 5, 20);
    delete[] block;
    t_scanFrees = false;
    EXPECT_EQ(ScanFreed().withCopy, 1);
}

// The wipe itself, whatever the C library happened to leave: every register filled with the
// secret, then wiped, must hold none of it; without the wipe, the scan finds it.
TEST(HardeningHygiene, TheVectorWipeClearsEveryRegisterTheCpuHas) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "no vector registers stored or scanned on this architecture";
#endif
    MakeValue(g_secret, 40, 11);
    BuildTable(40, 0);
    const std::size_t size = g_vectorFile->registerSize * g_vectorFile->count;
    for (bool wipe : {false, true}) {
        for (std::size_t i = 0; i < size; ++i) g_vectorImage[i] = g_secret[i % 40];
        MoveVectorRegisters(false);
        if (wipe) platform::ClearVectorRegisters();
        MoveVectorRegisters(true);
        EXPECT_EQ(g_table.Find(g_vectorImage, size) == kNotFound, wipe) << g_vectorFile->names;
    }
}

// No whole secret (the hiding's work buffer) or password (the packet's saved one) is left. The MD5
// rounds below the hiding leave scattered words of a block, which only the end-of-call wipe takes,
// so the secrets here are longer than a block and only a whole copy counts.
TEST(HardeningHygiene, TheHidingAloneLeavesNoWholeCopy) {
    for (std::size_t secretLength : {100, 256}) {
        SCOPED_TRACE(secretLength);
        MakeValue(g_secret, secretLength, static_cast<std::uint32_t>(secretLength));
        MakeValue(g_password, 128, 9);
        EXPECT_FALSE(RunOnOwnedStack(HideOnly, nullptr, nullptr, true));
    }
}

struct Case {
    const char* name;
    std::size_t secretLength;
    std::size_t passwordLength;
    Call call;
    const char* expected;
    std::size_t answerLength = 0;  // structured calls: an answer follows the login
    const TlsSecrets* tls = nullptr;
    std::function<std::vector<Bytes>()> sessionSecrets =
        nullptr;                       // after the call: its TLS sessions'
    bool wipeStreamsAtUnload = false;  // the unload's wipe of every stream before the thread ends
};

// RFC 2865 section 4.4: a request without State is challenged when challenge is set; the answer,
// sent with the State, is accepted when it is g_answer. Otherwise the password is accepted when
// it is g_password. key: the secret the request's User-Password is hidden with (RFC 2865 section
// 5.2; "radsec" over TLS, RFC 6614 section 2.3).
Bytes AnswerLogin(const Bytes& request, const Bytes& key, bool challenge) {
    const std::vector<Attribute> got = ParseAttributes(request);
    const Bytes* password = FindFirst(got, 2);
    if (password == nullptr) return {};
    Bytes sent = RevealPassword(*password, key, RequestAuthenticatorOf(request));
    sent.erase(std::find(sent.begin(), sent.end(), 0), sent.end());
    std::vector<Attribute> reply = {{18, ToBytes("code?")}, {24, ToBytes("hygiene-state")}};
    std::uint8_t code = 11;
    if (!challenge || FindFirst(got, 24) != nullptr) {
        const char* expected = challenge ? g_answer : g_password;
        const bool right = sent == Bytes(expected, expected + std::strlen(expected));
        code = right ? 2 : 3;
        reply = {{18, ToBytes(right ? "ok" : "no")}};
    }
    return SignedReplyWithMessageAuthenticator(request, key, code, EncodeAttributes(reply));
}

// Each row's call on a stack of its own, then its stack, registers and freed blocks scanned.
// Returns the deepest of the rows' deepest non-zero bytes below the job's frame.
std::size_t CheckRows(const Case* cases, std::size_t count, std::uint32_t seed) {
    std::size_t deepest = 0;
    static bool told = false;
    if (!told) {
        told = true;
#if defined(__x86_64__)
        std::printf("vector registers stored and scanned after each call: %s\n",
                    g_vectorFile->names);
#else
        std::printf("no vector registers stored or scanned on this architecture\n");
#endif
    }
    for (const Case* k = cases; k != cases + count; ++k) {
        SCOPED_TRACE(k->name);
        MakeValue(g_secret, k->secretLength, seed++);
        MakeValue(g_password, k->passwordLength, seed++);
        MakeValue(g_answer, k->answerLength, seed++);
        BuildTable(k->secretLength, k->passwordLength, k->answerLength, k->tls);
        if (g_table.full) {
            ADD_FAILURE() << "the values have more windows than the table holds";
            return deepest;
        }
        ForgetFreed();
        TlsSecrets late;
        if (k->sessionSecrets) {
            g_beforeScan = [&] {
                late = *k->tls;
                late.session = k->sessionSecrets();
                BuildTable(k->secretLength, k->passwordLength, k->answerLength, &late);
            };
        }
        Call call = k->call;
        std::size_t used = 0;
        const auto start = std::chrono::steady_clock::now();
        const bool onStack = RunOnOwnedStack(call.structured ? LoginJob : AuthJob, &call, &used,
                                             false, k->wipeStreamsAtUnload);
        const long long millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
        g_beforeScan = nullptr;
        if (k->sessionSecrets) {
            EXPECT_FALSE(late.session.empty()) << "the server logged no session secret";
            std::printf("%s: %zu TLS session secrets and record keys from the server\n", k->name,
                        late.session.size());
        }
        if (g_table.full) {
            ADD_FAILURE() << "the values have more windows than the table holds";
            return deepest;
        }
        const FreedScan freed = ScanFreed();
        EXPECT_FALSE(g_freedOverflow);
        std::printf(
            "%s: %zu-byte secret, %zu-byte password: %d freed block(s) (%d zeroed, %zu bytes of "
            "the others' spans), deepest non-zero byte %zu bytes below the job's frame, %lld ms\n",
            k->name, k->secretLength, k->passwordLength, freed.blocks, freed.zeroed, freed.kept,
            used, millis);
        EXPECT_STREQ(g_result, k->expected);
        EXPECT_FALSE(onStack) << "a copy of a secret, the password or the answer is left in the "
                                 "call's stack or registers";
        EXPECT_EQ(freed.withCopy, 0) << "a freed block held a secret, the password or the answer";
        // Every call whose arguments pass adds its one server entry, and frees it through here.
        if (std::strcmp(k->expected, "6007#0#INVALID_INPUT_ERR") != 0 &&
            std::strncmp(k->expected, "login -1:", 9) != 0) {
            EXPECT_GE(freed.largest, sizeof(CRadServer));
        }
        deepest = std::max(deepest, used);
    }
    return deepest;
}

TEST(HardeningHygiene, NoSecretOrPasswordLeftInFreedBlocksOrTheStack) {
    LoopbackResponder plain([](const Bytes& request) -> std::vector<Datagram> {
        const Bytes key(g_secret, g_secret + std::strlen(g_secret));
        return {{SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("ok")}})), 0}};
    });
    LoopbackResponder withMac([](const Bytes& request) -> std::vector<Datagram> {
        const Bytes key(g_secret, g_secret + std::strlen(g_secret));
        return {{SignedReplyWithMessageAuthenticator(request, key, 3,
                                                     EncodeAttributes({{18, ToBytes("no")}})),
                 0}};
    });
    LoopbackResponder challenge([](const Bytes& request) -> std::vector<Datagram> {
        const Bytes key(g_secret, g_secret + std::strlen(g_secret));
        Bytes reply = AnswerLogin(request, key, true);
        if (reply.empty()) return {};
        return {{reply, 0}};
    });
    LoopbackResponder silent(Silent());
    const std::string plainPort = plain.PortText(), macPort = withMac.PortText(),
                      challengePort = challenge.PortText(), silentPort = silent.PortText();
    const Case cases[] = {
        {"accept", 31, 27, {"127.0.0.1", plainPort.c_str(), "2"}, "ok"},
        // The library unloaded while the caller's thread lives: its stream goes with the library.
        {"accept_then_unload",
         31,
         27,
         {"127.0.0.1", plainPort.c_str(), "2"},
         "ok",
         0,
         nullptr,
         nullptr,
         true},
        {"reject_with_message_authenticator", 100, 128, {"127.0.0.1", macPort.c_str(), "2"}, "no"},
        {"longest_secret_silent_server",
         256,
         20,
         {"127.0.0.1", silentPort.c_str(), "1"},
         "6040#0#ERR_NETWORK_FAIL"},
        {"refused_timeout",
         40,
         33,
         {"127.0.0.1", plainPort.c_str(), "0"},
         "6007#0#INVALID_INPUT_ERR"},
        {"unresolved_host", 64, 16 + 5, {"0.0.0.0", "1812", "1"}, "6040#0#ERR_NETWORK_FAIL"},
        {"secret_copy_planted_below_auth",
         100,
         24,
         {"127.0.0.1", plainPort.c_str(), "2", true},
         "ok"},
        // The structured interface: an answer the login refuses (no challenge), one sent to
        // the challenging server, a server that never answers, a password refused for length.
        {"login_accepted_answer_refused",
         31,
         27,
         {"127.0.0.1", plainPort.c_str(), "2000", false, true},
         "login 0, answer -4: 2 ok",
         20},
        {"login_challenged_then_answered",
         64,
         30,
         {"127.0.0.1", challengePort.c_str(), "2000", false, true},
         "login 0, answer 0: 2 ok",
         40},
        {"login_longest_secret_silent_server",
         256,
         20,
         {"127.0.0.1", silentPort.c_str(), "1000", false, true},
         "login -2: 0 "},
        {"login_refused_password_too_long",
         40,
         129,
         {"127.0.0.1", plainPort.c_str(), "2000", false, true},
         "login -1: 0 "},
    };
    CheckRows(cases, sizeof cases / sizeof cases[0], 100);
}

// RADIUS over TLS (RFC 6614) against an OpenSSL server on loopback, with certificates (the key
// file in PEM and in DER) and with a PSK (TLS 1.3 and 1.2): after each login neither the PSK nor
// the client's private key, in any form its files or Mbed TLS hold, nor a secret of the session
// is left in a freed block, the stack or a register; nor is the UDP secret, which a TLS login
// only compares with the PSK. And nothing the call wrote lies deeper than its wipe reached: a
// UDP login's deepest byte is the end of its wipe, and a TLS login's may lie deeper only by the
// TLS wipe's extra depth (and a frame's difference), else Mbed TLS's frames outreach the wipe.
TEST(HardeningHygiene, NoPskKeyOrSecretLeftAfterTlsLogins) {
#if !defined(QVRAD_HAVE_OPENSSL_SSL)
    GTEST_SKIP() << "no OpenSSL libssl for the TLS server";
#else
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    const TestPki pki = MakeTestPki();
    ASSERT_TRUE(pki.ok);
    ASSERT_FALSE(pki.clientKeyPemPart.empty());
    TlsSecrets secrets;
    secrets.psk.resize(32);
    ASSERT_EQ(platform::RandomBytes(secrets.psk.data(), secrets.psk.size()), 0);
    static const char kHex[] = "0123456789abcdef";
    for (std::uint8_t octet : secrets.psk) {
        secrets.pskHex += kHex[octet >> 4];
        secrets.pskHex += kHex[octet & 15];
    }
    secrets.scalar = pki.clientScalar;
    secrets.pemPart = pki.clientKeyPemPart;
    TempFile ca(pki.caPem), cert(pki.clientCertPem), keyPem(pki.clientKeyPem),
        keyDer(std::string(pki.clientKeyDer.begin(), pki.clientKeyDer.end())),
        pskFile(secrets.pskHex + "\n");
    const TlsOptions withPem = {ca.path.c_str(), cert.path.c_str(), keyPem.path.c_str(),
                                nullptr,         nullptr,           false};
    const TlsOptions withDer = {ca.path.c_str(), cert.path.c_str(), keyDer.path.c_str(),
                                nullptr,         nullptr,           false};
    const TlsOptions psk13 = {nullptr, nullptr, nullptr, "hygiene-nas", pskFile.path.c_str(),
                              false};
    const TlsOptions psk12 = {nullptr, nullptr, nullptr, "hygiene-nas", pskFile.path.c_str(), true};
    struct TlsRow {
        Case row;
        TlsServerMode mode;
        bool challenge;
    };
    const char* const tlsHost = "tls://127.0.0.1";
    // The port is filled in per row, from that row's server.
    const TlsRow rows[] = {
        {{"tls_certificate_pem_key",
          31,
          27,
          {tlsHost, "", "3000", false, true, &withPem},
          "login 0, answer -4: 2 ok",
          20,
          &secrets},
         TlsServerMode::kCertificate,
         false},
        {{"tls12_certificate_der_key_challenged",
          64,
          30,
          {tlsHost, "", "3000", false, true, &withDer},
          "login 0, answer 0: 2 ok",
          40,
          &secrets},
         TlsServerMode::kCertificateTls12,
         true},
        {{"tls_psk_challenged",
          256,
          128,
          {tlsHost, "", "3000", false, true, &psk13},
          "login 0, answer 0: 2 ok",
          128,
          &secrets},
         TlsServerMode::kPsk,
         true},
        {{"tls12_psk",
          40,
          24,
          {tlsHost, "", "3000", false, true, &psk12},
          "login 0: 2 ok",
          0,
          &secrets},
         TlsServerMode::kPskTls12,
         false},
        // The challenge's connection stays open until the login is freed, outside any call.
        {{"tls_psk_challenged_login_freed",
          64,
          64,
          {tlsHost, "", "3000", false, true, &psk13},
          "login 0: 11 code?",
          0,
          &secrets},
         TlsServerMode::kPsk,
         true},
    };
    LoopbackResponder udp([](const Bytes& request) -> std::vector<Datagram> {
        return {
            {AnswerLogin(request, Bytes(g_secret, g_secret + std::strlen(g_secret)), false), 0}};
    });
    const std::string udpPort = udp.PortText();
    const Case udpLogin = {"udp_login_for_the_depth",
                           31,
                           27,
                           {"127.0.0.1", udpPort.c_str(), "3000", false, true},
                           "login 0: 2 ok"};
    const std::size_t udpDepth = CheckRows(&udpLogin, 1, 499);
    constexpr std::size_t kFrameSlack = 512;
    std::uint32_t seed = 500;
    for (const TlsRow& tlsRow : rows) {
        const bool challenge = tlsRow.challenge;
        TlsRadiusServer server(pki, tlsRow.mode, secrets.psk, "hygiene-nas",
                               [challenge](const Bytes& request) {
                                   return AnswerLogin(request, ToBytes("radsec"), challenge);
                               });
        const std::string port = std::to_string(server.Port());
        Case row = tlsRow.row;
        row.call.port = port.c_str();
        row.sessionSecrets = [&server] { return server.SessionSecrets(); };
        const std::size_t depth = CheckRows(&row, 1, seed);
        EXPECT_LE(depth, udpDepth + (kTlsCallWipeBytes - kCallWipeBytes) + kFrameSlack)
            << tlsRow.row.name << ": the call wrote " << depth - udpDepth
            << " bytes deeper than a UDP login's wipe reaches, past the TLS wipe's "
            << kTlsCallWipeBytes - kCallWipeBytes << " more (kTlsCallWipeBytes)";
        seed += 3;
        server.Join();
        EXPECT_EQ(server.Handshakes(), 1) << tlsRow.row.name << ": " << server.Failure();
    }
#endif
}

}  // namespace
