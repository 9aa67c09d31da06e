// The thin layer over the operating system: sockets (Winsock or POSIX), time, randomness,
// locks and wiping. The only module that knows which platform it is built for.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#endif

namespace platform {

// A socket handle wide enough for a Winsock SOCKET (UINT_PTR) and a POSIX descriptor.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// Winsock version words as MAKEWORD(major, minor): low byte major, high byte minor.
constexpr std::uint16_t kSocketVersion11 = 0x0101;
constexpr std::uint16_t kSocketVersion20 = 0x0002;
constexpr int kErrorVersionNotSupported = 10092;  // WSAVERNOTSUPPORTED

// WSAStartup / WSACleanup. On POSIX the start always succeeds, grants what was asked and counts
// nothing. Returns 0 on success and writes the granted version.
int SocketLayerStart(std::uint16_t requested, std::uint16_t* granted);
void SocketLayerEnd();
// The calling thread's socket error (WSASetLastError / errno).
void SetSocketError(int code);
int GetSocketError();

// Address families as this library names them; the platform's AF_ values stay inside it.
constexpr std::uint8_t kFamilyNone = 0;
constexpr std::uint8_t kFamilyIPv4 = 4;
constexpr std::uint8_t kFamilyIPv6 = 6;

// An IPv4 or IPv6 address as the wire carries it.
struct IpAddress {
    std::uint8_t family = kFamilyNone;
    std::uint8_t bytes[16] = {};  // network order; an IPv4 address in the first 4
    std::uint32_t scopeId = 0;    // IPv6 zone (interface index); 0 for none
};
inline IpAddress IPv4Address(std::uint32_t networkOrder) {
    IpAddress a;
    a.family = kFamilyIPv4;
    std::memcpy(a.bytes, &networkOrder, 4);
    return a;
}
// An address a datagram can go to: not the unspecified one (0.0.0.0, ::), which Linux would
// deliver to the local host.
inline bool IsSendable(const IpAddress& address) {
    const int size = address.family == kFamilyIPv4 ? 4 : address.family == kFamilyIPv6 ? 16 : 0;
    for (int i = 0; i < size; ++i)
        if (address.bytes[i] != 0) return true;
    return false;
}

// UDP sockets of either family. Descriptors are close-on-exec where the platform has the notion;
// an IPv6 socket takes IPv6 only (IPV6_V6ONLY). kInvalidSocket, with the socket error set, when
// the family is not supported (EAFNOSUPPORT on a host with IPv6 disabled).
SocketHandle UdpSocketOpen(std::uint8_t family = kFamilyIPv4);
// UdpSocketOpen, then non-blocking: on POSIX in the same system call (SOCK_NONBLOCK), one fewer
// per auth call; on Windows UdpSocketOpen and FIONBIO. A FIONBIO that fails leaves the socket
// open and blocking, as SocketSetNonBlocking's failure would.
SocketHandle UdpSocketOpenNonBlocking(std::uint8_t family = kFamilyIPv4);
int SocketBindAny(SocketHandle socket, std::uint8_t family);  // 0.0.0.0 or ::, port 0; 0 or -1
inline int SocketBindAnyIPv4(SocketHandle socket) {
    return SocketBindAny(socket, kFamilyIPv4);
}
int SocketSetNonBlocking(SocketHandle socket);                  // FIONBIO = 1; 0 or -1
int SocketLocalPort(SocketHandle socket, std::uint16_t* port);  // host order; 0 or -1
void SocketClose(SocketHandle socket);

// inet_addr: a dotted IPv4 address in network order, or 0xFFFFFFFF (INADDR_NONE) for anything
// else; the text 255.255.255.255 yields the same value.
std::uint32_t ParseIPv4(const char* text);
// An IPv6 literal with an optional zone ("fe80::1%eth0"), never the name service
// (getaddrinfo with AI_NUMERICHOST). 0, or -1 for any other text.
int ParseIPv6(const char* text, IpAddress* address);
// inet_pton: four decimal parts (IPv4) or an IPv6 literal without zone or brackets, a parse of
// the text alone (no name service, nothing loaded), so it may run at DLL attach once the socket
// layer is started. 0, or -1 (address cleared) for any other text.
int ParseAddressLiteral(const char* text, IpAddress* address);
// getaddrinfo(host, numeric service, AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP): the first IPv4 and
// the first IPv6 address in list order (family kFamilyNone where there is none). 0 when either
// was found; else the name service's code (getaddrinfo's: EAI_* on POSIX, WSA* on Windows), or
// kResolveNoAddress when it answered with neither family. Only 0 means success.
constexpr int kResolveNoAddress = -1;
int ResolveHost(const char* host, const char* numericService, IpAddress* first4, IpAddress* first6);
// ResolveHost's failure in the name service's words ("Name or service not known"), for the
// detail of a failed call: a fixed text, never to be written or freed; safe on any thread.
const char* ResolverWords(int code);
// The numeric text of an address (getnameinfo NI_NUMERICHOST), NUL-terminated within size.
void FormatAddress(const IpAddress& address, char* text, std::size_t size);
// gethostname with a limit; the buffer is NUL-terminated within limit on every path.
int GetLocalHostName(char* buffer, std::size_t limit);
// The machine's host name for the module's load-time work: gethostname on POSIX; on Windows
// GetComputerNameExA(ComputerNameDnsHostname), which kernel32 answers without the socket layer,
// so it is safe at DLL attach. NUL-terminated within limit; empty, and -1, when it cannot be read
// or does not fit.
int GetMachineHostName(char* buffer, std::size_t limit);
// The local address a datagram to server (and port, host order) leaves from: a separate UDP
// socket of the server's family, connect (which sends nothing), getsockname, close. The call's
// own sockets stay unconnected, so which datagrams they accept does not change. 0, or -1 (no
// route, no socket of that family).
int LocalAddressToward(const IpAddress& server, std::uint16_t port, IpAddress* local);

// Sends length bytes to an address and port (host order). Bytes sent, or -1.
int SocketSendToAddress(SocketHandle socket, const void* bytes, std::size_t length,
                        const IpAddress& to, std::uint16_t port);
inline int SocketSendTo(SocketHandle socket, const void* bytes, std::size_t length,
                        std::uint32_t ip, std::uint16_t port) {
    return SocketSendToAddress(socket, bytes, length, IPv4Address(ip), port);
}
// Waits until one of count sockets (at most 2) is readable: >0 readable, with *which its index,
// 0 nothing yet (the time ran out, or a signal interrupted the wait: the caller recomputes what
// is left of its deadline), <0 error. poll on POSIX (no descriptor-value limit), select on
// Windows (its fd_set has none either).
int SocketsWaitReadable(const SocketHandle* sockets, int count, std::int32_t timeoutMillis,
                        int* which);
inline int SocketWaitReadable(SocketHandle socket, std::int32_t timeoutMillis) {
    int which = 0;
    return SocketsWaitReadable(&socket, 1, timeoutMillis, &which);
}
// Receives one datagram into at most capacity bytes, with its sender when from is not null.
// Returns its size, or -1 on error. A datagram larger than capacity sets *oversized (MSG_TRUNC
// on Linux, WSAEMSGSIZE on Windows); its bytes must then not be used.
int SocketReceiveFromAddress(SocketHandle socket, void* buffer, std::size_t capacity,
                             bool* oversized, IpAddress* from, std::uint16_t* port);
inline int SocketReceive(SocketHandle socket, void* buffer, std::size_t capacity, bool* oversized) {
    return SocketReceiveFromAddress(socket, buffer, capacity, oversized, nullptr, nullptr);
}

// For peers in the test tree (loopback RADIUS responders): bind to an address and port of our
// choice, and receive with the sender's IPv4 address (network order) and port (host order).
int SocketBindAddress(SocketHandle socket, const IpAddress& address, std::uint16_t port);
inline int SocketBindIPv4(SocketHandle socket, std::uint32_t ip, std::uint16_t port) {
    return SocketBindAddress(socket, IPv4Address(ip), port);
}
inline int SocketReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity,
                             bool* oversized, std::uint32_t* ip, std::uint16_t* port) {
    IpAddress from;
    const int received = SocketReceiveFromAddress(socket, buffer, capacity, oversized, &from, port);
    if (received >= 0 && ip != nullptr) std::memcpy(ip, from.bytes, 4);
    return received;
}

// TCP, for RADIUS over TLS (RFC 6614): one non-blocking stream socket per connection, close-on-
// exec (not inherited on Windows), IPv6-only for IPv6, Nagle off (TCP_NODELAY: a handshake
// flight is several small writes, and waiting on the peer's delayed ACK would stall it).
// kInvalidSocket, with the socket error set, when the family is not supported.
SocketHandle TcpSocketOpenNonBlocking(std::uint8_t family);
// Starts a connect to an address and port (host order): 0 connected at once, 1 under way (wait
// writable, then ask SocketConnectResult), -1 failed (socket error set).
int SocketConnectStart(SocketHandle socket, const IpAddress& to, std::uint16_t port);
// After the socket became writable (or reported an error): 0 when the connect succeeded,
// otherwise the connect's error code (SO_ERROR: ECONNREFUSED, WSAECONNREFUSED, ...).
int SocketConnectResult(SocketHandle socket);
// Whether a connect's error code (SocketConnectResult, or GetSocketError after a failed start) is
// the peer's refusal: nothing listens on that port.
bool IsConnectionRefused(int code);
// Waits until a socket is writable, or, on Windows, a non-blocking connect failed (select's
// except set): >0 ready, 0 nothing yet (time ran out or a signal came), <0 error.
int SocketWaitWritable(SocketHandle socket, std::int32_t timeoutMillis);
// A stream read or write that would have to wait: the caller waits on the socket and tries again.
constexpr int kSocketWouldBlock = -2;
// send (never raising SIGPIPE) and recv on a connected stream socket, clipped to INT_MAX bytes:
// the bytes moved, 0 from a receive when the peer closed its side, kSocketWouldBlock, or -1
// (socket error set).
int SocketStreamSend(SocketHandle socket, const void* bytes, std::size_t length);
int SocketStreamReceive(SocketHandle socket, void* buffer, std::size_t capacity);
// For peers in the test tree: a TCP socket bound to address and port (0: the system picks),
// listening; and a blocking accept of one connection (the accepted socket is blocking).
SocketHandle TcpListenerOpen(const IpAddress& address, std::uint16_t port);
SocketHandle SocketAccept(SocketHandle listener);

// Reads a whole small file (the TLS key material) into buffer without any library buffering:
// no stdio buffer, which would keep a copy of a private key in a block this code cannot wipe.
// Returns its length; -1 when it cannot be opened or read; -2 when it has more than capacity
// bytes (what was read is wiped).
int ReadSmallFile(const char* path, void* buffer, std::size_t capacity);

// Seconds since 1970-01-01 00:00:00 UTC (POSIX time, leap seconds not counted), for checking a
// certificate's validity dates.
std::int64_t UtcSeconds();

// An environment variable of the process (getenv / GetEnvironmentVariableA, which is safe
// under the loader lock and needs no C runtime). -1 when unset; otherwise the value's length,
// with the value NUL-terminated in buffer, cut to its first size - 1 bytes when it does not fit.
int ReadEnvironment(const char* name, char* buffer, std::size_t size);

// Current UTC second (0..59) and millisecond (0..999), as GetSystemTime gives them.
void GetUtcSecondAndMillisecond(unsigned* second, unsigned* millisecond);
// A clock that never goes back, for deadlines.
std::int64_t MonotonicMillis();
// One source of random bytes: fills all length bytes and returns 0, or returns -1.
using RandomSource = int (*)(void* buffer, std::size_t length);
// The operating system's CSPRNG sources, first choice first: on Linux getrandom, then
// /dev/urandom (kernels without the call, seccomp filters that refuse it); on Windows the
// system-preferred RNG, then an RNG algorithm handle (where that flag is refused, as on Vista).
constexpr std::size_t kRandomSourceCount = 2;
extern const RandomSource kRandomSources[kRandomSourceCount];
// What each source reads, in the same order ("getrandom", "/dev/urandom" on Linux).
extern const char* const kRandomSourceNames[kRandomSourceCount];
// The first source that fills the buffer wins. -1, with the buffer zeroed, when every one failed.
inline int RandomBytesFrom(const RandomSource* sources, std::size_t count, void* buffer,
                           std::size_t length) {
    for (std::size_t i = 0; i < count; ++i)
        if (sources[i] != nullptr && sources[i](buffer, length) == 0) return 0;
    if (buffer != nullptr && length != 0) std::memset(buffer, 0, length);
    return -1;
}
inline int RandomBytes(void* buffer, std::size_t length) {
    return RandomBytesFrom(kRandomSources, kRandomSourceCount, buffer, length);
}
// Which fork of the process that loaded the library this is: 0 there, and in the child of a fork
// one more than in its parent (a pthread_atfork child handler, registered once at load; the C
// library unregisters it when the library is unloaded). State that a fork must not share (a random
// stream, a kept connection) keeps the value it was made under and is not used where it differs,
// so a child never continues its parent's. Always 0 on Windows, which has no fork. A plain load.
// A child made by a raw clone or _Fork runs no handler, but may call only async-signal-safe
// functions, which this library's are not.
#if defined(_WIN32)
inline std::uint32_t ForkGeneration() {
    return 0;
}
// Whether ForkGeneration sees every fork: false only where the handler could not be registered
// (no memory at load); state must then not outlive the call that made it.
inline bool ForkGenerationTracked() {
    return true;
}
#else
extern std::atomic<std::uint32_t> g_forkGeneration;
extern std::atomic<bool> g_forkGenerationTracked;
inline std::uint32_t ForkGeneration() {
    return g_forkGeneration.load(std::memory_order_relaxed);
}
inline bool ForkGenerationTracked() {
    return g_forkGenerationTracked.load(std::memory_order_relaxed);
}
#endif

// The lock of the list of the threads' random streams (platform/thread_random.cpp): it needs no
// set-up and is never torn down (a constant-initialised pthread mutex, an SRWLOCK), since threads
// reach it at their exit, also after the library's static destructors ran; on POSIX the fork
// handlers hold it across a fork, so that no child inherits it held by a thread it does not have.
// Held for a few steps at a time, never around a wait.
void StreamListLockAcquire();
void StreamListLockRelease();

#if defined(_WIN32)
// Where the calling thread's random stream is found on Windows (platform/thread_random.cpp): a
// native thread-local slot (TlsAlloc at load), null until set; SetThreadStreamSlot gives 0, or -1
// when the slot could not be had. The image's thread-exit callback (a TLS callback, in a DLL and
// in an executable alike) runs the hook registered here at every thread's end (the streams'
// module registers ThreadRandomThreadEnd at its static construction).
void* ThreadStreamSlot();
int SetThreadStreamSlot(void* stream);
void RegisterThreadEndHook(void (*hook)());
#endif

// Wipes memory with a store the compiler may not remove (as explicit_bzero / SecureZeroMemory).
#if defined(__GNUC__)
// Inline with GCC and Clang (MinGW included): memset, then an empty asm that is given the pointer
// and clobbers memory, so the compiler must assume the zeros are read and cannot drop them; the
// same barrier explicit_bzero itself uses. A wipe of a known size becomes a few stores where
// the call took some 30 instructions, and an auth call makes about twenty.
inline void SecureZero(void* buffer, std::size_t length) {
    if (buffer == nullptr || length == 0) return;
    std::memset(buffer, 0, length);
    __asm__ __volatile__("" : : "r"(buffer) : "memory");
}
#else
void SecureZero(void* buffer, std::size_t length);
#endif

// The vector registers the CPU has and the operating system saves in a signal frame, widest last.
enum class VectorState : std::uint8_t {
    kNone = 0,    // none in use: not x86, or an i686 CPU without SSE2
    kSse = 1,     // xmm0-15 (x86-64), xmm0-7 (i686)
    kAvx = 2,     // ymm0-15: the xmm registers and their upper halves
    kAvx512 = 3,  // zmm0-31 (x86-64; zmm0-7 on i686), and the opmask registers k0-k7
};

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// CPUID leaf 1, EDX bit 26: SSE2.
inline bool CpuHasSse2() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
}

// CPUID leaf 7 (subleaf 0) EBX bit 3: BMI1 (andn). An instruction of the general registers, so
// nothing of the operating system's is needed. Asks the CPU now.
inline bool CpuHasBmi1() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_BMI) != 0;
}

// Asks the CPU now. A register file counts only where the operating system has enabled its state
// (Intel SDM vol. 1, 13.3): CPUID leaf 1 ECX bit 27 (OSXSAVE) makes XGETBV usable, and XCR0 must
// hold bits 1 and 2 (SSE, AVX) for AVX (ECX bit 28), and bits 5 to 7 (opmask, upper halves of
// zmm0-15, zmm16-31) as well for AVX-512 (CPUID leaf 7 EBX bit 16, AVX512F).
inline VectorState DetectVectorState() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return VectorState::kNone;
#if defined(__i386__)
    if ((edx & bit_SSE2) == 0) return VectorState::kNone;
#endif
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return VectorState::kSse;
    unsigned int xcr0 = 0, xcr0High = 0;
    __asm__ __volatile__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    constexpr unsigned int kXcr0Avx = 0x06, kXcr0Avx512 = 0xE0;
    if ((xcr0 & kXcr0Avx) != kXcr0Avx) return VectorState::kSse;
    if ((xcr0 & kXcr0Avx512) != kXcr0Avx512 ||
        __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0 || (ebx & bit_AVX512F) == 0)
        return VectorState::kAvx;
    return VectorState::kAvx512;
}

// Decided on the first call, thread-safe (a function-local static); then a guard test and a load.
inline VectorState CpuVectorState() {
    static const VectorState state = DetectVectorState();
    return state;
}
#else
inline VectorState CpuVectorState() {
    return VectorState::kNone;
}
#endif

// Zeroes the vector registers the CPU has (see VectorState). The C library's string functions and
// vectorised loops leave secret bytes in them (on AVX-512 CPUs glibc's use zmm16-31), and whatever
// runs next may store them into memory: a signal's frame, the dynamic linker's lazy binding (both
// xsave). vzeroall zeroes ymm0-15 whole (zmm0-15 whole where AVX-512 is on; ymm0-7 on i686);
// zmm16-31 are zeroed by a 128-bit EVEX vmovd from a zero register, which clears a register up
// to its full width, needs AVX512F alone and, unlike a 512-bit instruction, never lowers the
// core's clock on the CPUs that do so for those. The instructions live only in the assembly,
// so the build never requires AVX: a CPU without it never reaches them. Registers that the calling
// convention preserves (xmm6-xmm15 on Win64) are named as clobbered, so the compiler saves and
// restores the caller's own values around the function this is inlined into (always: a call of
// its own would restore, on return, what its caller had in them). The opmask registers hold masks,
// not data.
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((always_inline)) inline void ClearVectorRegisters() {
    const VectorState state = CpuVectorState();
    if (state == VectorState::kSse || state == VectorState::kNone) {
        __asm__ __volatile__(
            "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
            "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
            "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
            "pxor %%xmm15, %%xmm15" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                  "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
        return;
    }
    __asm__ __volatile__("vzeroall" ::
                             : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",
                               "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
                               "xmm15");
    if (state == VectorState::kAvx512) {
        __asm__ __volatile__(
            "vmovd %0, %%xmm16\n\tvmovd %0, %%xmm17\n\tvmovd %0, %%xmm18\n\t"
            "vmovd %0, %%xmm19\n\tvmovd %0, %%xmm20\n\tvmovd %0, %%xmm21\n\t"
            "vmovd %0, %%xmm22\n\tvmovd %0, %%xmm23\n\tvmovd %0, %%xmm24\n\t"
            "vmovd %0, %%xmm25\n\tvmovd %0, %%xmm26\n\tvmovd %0, %%xmm27\n\t"
            "vmovd %0, %%xmm28\n\tvmovd %0, %%xmm29\n\tvmovd %0, %%xmm30\n\t"
            "vmovd %0, %%xmm31" ::"r"(0u)
#if defined(__AVX512F__)  // only a build for AVX-512 lets the compiler itself use xmm16-31
            : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
              "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31"
#endif
        );
    }
}
#elif defined(__GNUC__) && defined(__i386__)
// A build for CPUs without SSE2 (the Win32 DLL's i686) never uses these registers itself, but
// the C runtime it calls does where the CPU has them, so the CPU is asked (once). No clobbers: on
// x86 every vector register is the caller's to save, and this code saves none.
__attribute__((always_inline)) inline void ClearVectorRegisters() {
    const VectorState state = CpuVectorState();
    if (state == VectorState::kAvx || state == VectorState::kAvx512) {
        __asm__ __volatile__("vzeroall" ::);
    } else if (state == VectorState::kSse) {
        __asm__ __volatile__(
            "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7" ::);
    }
}
#else
inline void ClearVectorRegisters() {}
#endif

// A process-wide mutual-exclusion lock (CRITICAL_SECTION / pthread mutex) in caller storage.
struct LockStorage {
    alignas(16) unsigned char bytes[64];
};
int LockInit(LockStorage* lock);  // 0 or -1
void LockDestroy(LockStorage* lock);
int LockAcquire(LockStorage* lock);  // waits without limit; 0 or -1
void LockRelease(LockStorage* lock);

// A condition variable (CONDITION_VARIABLE / pthread_cond_t on the monotonic clock) in caller
// storage, used with a LockStorage lock held by the caller.
struct CondStorage {
    alignas(16) unsigned char bytes[64];
};
int CondInit(CondStorage* cond);  // 0 or -1
void CondDestroy(CondStorage* cond);
// Releases lock, waits until signalled or timeoutMillis (>= 0) passed, takes lock again: 0 when
// woken (or spuriously), 1 when the time ran out. The caller re-checks its predicate either way.
int CondWait(CondStorage* cond, LockStorage* lock, std::int32_t timeoutMillis);
void CondSignal(CondStorage* cond);
void CondBroadcast(CondStorage* cond);

// Hooks run around fork() (pthread_atfork) so that state shared by threads is consistent in the
// child: prepare takes the locks, parent and child release them, child may mark the state as
// inherited. Registered once per process; unregistered with the module on POSIX (the C library
// ties them to the shared object). Windows has no fork: nothing is registered.
// 0, or -1 when they could not be registered (no memory): then a fork cannot be told.
int RegisterForkHooks(void (*prepare)(), void (*parent)(), void (*child)());

// Whether the process is exiting (Windows: the loader's process detach said so) rather than the
// library being unloaded: then other threads were ended wherever they were, and the module's
// unload work must touch nothing they might have held. Always false on POSIX.
bool ProcessExiting();
void NoteProcessExiting();

// The module's load-time hook. Where the loader tells the library it was loaded (DllMain on
// Windows), the hook runs from that notification; elsewhere it runs at once, from the module's
// static construction. A process that embeds the library's objects in an executable calls
// ModuleProcessAttach itself (see api/module.h).
void RegisterModuleAttach(int (*attach)());

}  // namespace platform
