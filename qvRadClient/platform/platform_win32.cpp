// The platform layer for Windows: Winsock 2 (ws2_32) for UDP and names, the system clock and
// tick count, BCryptGenRandom for randomness and a CRITICAL_SECTION for the process-wide lock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // Vista: GetTickCount64, getaddrinfo in ws2_32, no-fail locks
#endif

// winsock2.h must come before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>
#include <new>

#include "platform/module_attach_win32.h"
#include "platform/platform.h"
#include "platform/socket_address.h"

namespace platform {

static_assert(sizeof(SOCKET) == sizeof(SocketHandle), "a SOCKET must fit the handle exactly");
static_assert(INVALID_SOCKET == kInvalidSocket, "both layers must agree on the invalid handle");
static_assert(WSAVERNOTSUPPORTED == kErrorVersionNotSupported, "WSAVERNOTSUPPORTED");
static_assert(sizeof(CRITICAL_SECTION) <= sizeof(LockStorage::bytes),
              "a CRITICAL_SECTION must fit the caller's lock storage");
static_assert(alignof(CRITICAL_SECTION) <= alignof(LockStorage),
              "the lock storage must be aligned for a CRITICAL_SECTION");

namespace {

SOCKET ToSocket(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

// socklen_t is int here (ws2tcpip.h), the length type these calls take.
int ConnectSocket(SocketHandle socket, const sockaddr* peer, socklen_t length) {
    return connect(ToSocket(socket), peer, length) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle socket, sockaddr* local, socklen_t* length) {
    return getsockname(ToSocket(socket), local, length) == 0 ? 0 : -1;
}

// Winsock takes int lengths; nothing this library sends or receives comes near the bound, so a
// larger request is clipped rather than wrapped into a negative length.
int ClampLength(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// A Winsock socket of a type, not inheritable. WSA_FLAG_NO_HANDLE_INHERIT needs Windows 7 SP1;
// older systems refuse it with WSAEINVAL and get the flag cleared on the handle instead.
SOCKET OpenSocket(int af, int type) {
    SOCKET s =
        WSASocketW(af, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(af, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET)
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

CRITICAL_SECTION* SectionOf(LockStorage* lock) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(lock->bytes));
}

// Constant-initialised, so it is null before any constructor runs, whatever the order of the
// static constructors of the objects linked with this one.
int (*g_moduleAttach)() = nullptr;

}  // namespace

int SocketLayerStart(std::uint16_t requested, std::uint16_t* granted) {
    WSADATA data;
    std::memset(&data, 0, sizeof data);
    const int rc = WSAStartup(requested, &data);
    // On failure nothing was started (no WSACleanup is owed) and no version was granted.
    if (granted != nullptr) *granted = rc == 0 ? data.wVersion : 0;
    return rc;
}

void SocketLayerEnd() {
    WSACleanup();
}

void SetSocketError(int code) {
    WSASetLastError(code);
}

int GetSocketError() {
    return WSAGetLastError();
}

SocketHandle UdpSocketOpen(std::uint8_t family) {
    // Not inheritable, so a child process the host starts while a request is in flight does
    // not keep the port open.
    const SOCKET s = OpenSocket(FamilyOf(family), SOCK_DGRAM);
    if (s != INVALID_SOCKET && family == kFamilyIPv6) {
        // IPv6 only (the Windows default, made explicit): IPv4 keeps its own socket.
        const DWORD one = 1;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
    }
    return static_cast<SocketHandle>(s);
}

SocketHandle UdpSocketOpenNonBlocking(std::uint8_t family) {
    const SocketHandle s = UdpSocketOpen(family);
    if (s != kInvalidSocket) SocketSetNonBlocking(s);
    return s;
}

int SocketBindAny(SocketHandle socket, std::uint8_t family) {
    // Without SO_EXCLUSIVEADDRUSE another socket that sets SO_REUSEADDR may bind over this
    // port and take the replies meant for this call. Where the option is refused, the bind
    // still goes ahead with the system's default port protection.
    const int one = 1;
    setsockopt(ToSocket(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&one), sizeof one);
    IpAddress any;  // all zero: INADDR_ANY or in6addr_any; port 0: the system picks one
    any.family = family == kFamilyIPv6 ? kFamilyIPv6 : kFamilyIPv4;
    return SocketBindAddress(socket, any, 0);
}

int SocketSetNonBlocking(SocketHandle socket) {
    u_long on = 1;
    return ioctlsocket(ToSocket(socket), static_cast<long>(FIONBIO), &on) == 0 ? 0 : -1;
}

int SocketLocalPort(SocketHandle socket, std::uint16_t* port) {
    if (port == nullptr) return -1;
    sockaddr_storage local;
    std::memset(&local, 0, sizeof local);
    int length = sizeof local;
    if (getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    return length > 0 && FromSockaddr(reinterpret_cast<sockaddr*>(&local),
                                      static_cast<std::size_t>(length), nullptr, port)
               ? 0
               : -1;
}

void SocketClose(SocketHandle socket) {
    if (socket != kInvalidSocket) closesocket(ToSocket(socket));
}

std::uint32_t ParseIPv4(const char* text) {
    // The system's own inet_addr, so every form it takes (a.b.c.d, a.b.c, a.b, a, octal and
    // hex parts) and every form it refuses stays exactly as on Windows.
    if (text == nullptr) return INADDR_NONE;
    return static_cast<std::uint32_t>(inet_addr(text));
}

int ParseIPv6(const char* text, IpAddress* address) {
    if (address == nullptr) return -1;
    return LookUp(text, "0", AI_NUMERICHOST, AF_INET6, nullptr, address) == 0 ? 0 : -1;
}

int ParseAddressLiteral(const char* text, IpAddress* address) {
    if (address == nullptr) return -1;
    *address = IpAddress();
    if (text == nullptr) return -1;
    IpAddress parsed;
    parsed.family = kFamilyIPv4;
    if (inet_pton(AF_INET, text, parsed.bytes) != 1) {
        parsed.family = kFamilyIPv6;
        if (inet_pton(AF_INET6, text, parsed.bytes) != 1) return -1;
    }
    *address = parsed;
    return 0;
}

int ResolveHost(const char* host, const char* numericService, IpAddress* first4,
                IpAddress* first6) {
    return LookUp(host, numericService, 0, AF_UNSPEC, first4, first6);
}

const char* ResolverWords(int code) {
    // getaddrinfo's codes are Winsock's; gai_strerrorA fills one static buffer for every thread,
    // so the texts are kept here (after Windows's own, which FormatMessage would localise).
    switch (code) {
        case kResolveNoAddress:
            return "the name service gave no IPv4 or IPv6 address";
        case WSAHOST_NOT_FOUND:
            return "No such host is known";
        case WSATRY_AGAIN:
            return "the name service did not answer in time; try again later";
        case WSANO_RECOVERY:
            return "the name service failed for good";
        case WSANO_DATA:
            return "the name is known, but has no address of the requested type";
        case WSA_NOT_ENOUGH_MEMORY:
            return "not enough memory for the name service";
        case WSANOTINITIALISED:
            return "the socket layer was not started";
        default:
            return "the name service failed";
    }
}

void FormatAddress(const IpAddress& address, char* text, std::size_t size) {
    if (text == nullptr || size == 0) return;
    text[0] = '\0';
    sockaddr_storage storage;
    const int length = ToSockaddr(address, 0, &storage);
    if (length == 0 ||
        getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, text,
                    static_cast<DWORD>(size > 1025 ? 1025 : size), nullptr, 0, NI_NUMERICHOST) != 0)
        text[0] = '\0';
}

int GetLocalHostName(char* buffer, std::size_t limit) {
    // Needs a started socket layer. A failure leaves an empty string, never a made-up name,
    // so a caller that puts the name on the wire sends nothing rather than something false.
    if (buffer == nullptr || limit == 0) return -1;
    buffer[0] = '\0';
    if (gethostname(buffer, ClampLength(limit)) != 0) {
        buffer[0] = '\0';
        return -1;
    }
    buffer[limit - 1] = '\0';
    return 0;
}

int GetMachineHostName(char* buffer, std::size_t limit) {
    if (buffer == nullptr || limit == 0) return -1;
    buffer[0] = '\0';
    // In and out: the buffer's size in characters with its NUL; on success the name's length.
    DWORD size = limit > 0xFFFF ? 0xFFFF : static_cast<DWORD>(limit);
    if (!GetComputerNameExA(ComputerNameDnsHostname, buffer, &size) || size + 1 > limit) {
        buffer[0] = '\0';
        return -1;
    }
    buffer[size] = '\0';
    return 0;
}

int SocketSendToAddress(SocketHandle socket, const void* bytes, std::size_t length,
                        const IpAddress& to, std::uint16_t port) {
    sockaddr_storage peer;
    const int peerLength = ToSockaddr(to, port, &peer);
    if (peerLength == 0) return -1;
    const int sent = sendto(ToSocket(socket), static_cast<const char*>(bytes), ClampLength(length),
                            0, reinterpret_cast<const sockaddr*>(&peer), peerLength);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int SocketsWaitReadable(const SocketHandle* sockets, int count, std::int32_t timeoutMillis,
                        int* which) {
    // A Winsock fd_set is a count and an array of handles, not a bitmap indexed by handle
    // value, so any SOCKET fits; the first argument of select is ignored.
    if (count < 1 || count > 2) return -1;
    fd_set readable;
    readable.fd_count = static_cast<u_int>(count);
    for (int i = 0; i < count; ++i) readable.fd_array[i] = ToSocket(sockets[i]);
    if (timeoutMillis < 0) timeoutMillis = 0;
    timeval limit;
    limit.tv_sec = static_cast<long>(timeoutMillis / 1000);
    limit.tv_usec = static_cast<long>((timeoutMillis % 1000) * 1000);
    const int rc = select(0, &readable, nullptr, nullptr, &limit);
    // WSAEINTR (a blocking call cancelled): nothing has arrived; the caller's deadline decides.
    if (rc == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    if (rc == 0) return 0;
    // select leaves only the ready handles in the set. Read directly, not with FD_ISSET, which
    // would import __WSAFDIsSet for nothing.
    for (int i = 0; i < count; ++i) {
        for (u_int k = 0; k < readable.fd_count && k < FD_SETSIZE; ++k) {
            if (readable.fd_array[k] == ToSocket(sockets[i])) {
                *which = i;
                return 1;
            }
        }
    }
    return -1;
}

int SocketReceiveFromAddress(SocketHandle socket, void* buffer, std::size_t capacity,
                             bool* oversized, IpAddress* from, std::uint16_t* port) {
    // One recvfrom. WSAEMSGSIZE: the buffer holds the first capacity bytes of a longer datagram
    // and the rest is gone. The count returned is then what was stored, so it can never lead a
    // reader past the buffer, and *oversized says the bytes are not to be used. Any other error
    // (including WSAECONNRESET, which Windows reports on UDP after an ICMP port-unreachable) is
    // -1.
    if (oversized != nullptr) *oversized = false;
    const int capped = ClampLength(capacity);
    sockaddr_storage sender;
    std::memset(&sender, 0, sizeof sender);
    int senderLength = sizeof sender;
    int received = recvfrom(ToSocket(socket), static_cast<char*>(buffer), capped, 0,
                            from != nullptr ? reinterpret_cast<sockaddr*>(&sender) : nullptr,
                            from != nullptr ? &senderLength : nullptr);
    if (received == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) return -1;
        if (oversized != nullptr) *oversized = true;
        received = capped;
    }
    if (from != nullptr) {
        *from = IpAddress();
        if ((senderLength <= 0 ||
             !FromSockaddr(reinterpret_cast<sockaddr*>(&sender),
                           static_cast<std::size_t>(senderLength), from, port)) &&
            port != nullptr)
            *port = 0;
    }
    return received;
}

int SocketBindAddress(SocketHandle socket, const IpAddress& address, std::uint16_t port) {
    sockaddr_storage local;
    const int length = ToSockaddr(address, port, &local);
    if (length == 0) return -1;
    return bind(ToSocket(socket), reinterpret_cast<const sockaddr*>(&local), length) == 0 ? 0 : -1;
}

void GetUtcSecondAndMillisecond(unsigned* second, unsigned* millisecond) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    if (second != nullptr) *second = now.wSecond;
    if (millisecond != nullptr) *millisecond = now.wMilliseconds;
}

std::int64_t MonotonicMillis() {
    return static_cast<std::int64_t>(GetTickCount64());
}

namespace {

// BCryptGenRandom takes a ULONG count (32 bits also on Win64): ask in bounded pieces.
int GenerateInPieces(BCRYPT_ALG_HANDLE algorithm, ULONG flags, void* buffer, std::size_t length) {
    if (buffer == nullptr && length != 0) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    constexpr std::size_t kChunk = 0x10000000;
    while (length > 0) {
        const std::size_t piece = length < kChunk ? length : kChunk;
        const NTSTATUS status = BCryptGenRandom(algorithm, out, static_cast<ULONG>(piece), flags);
        if (status < 0) return -1;  // NT_SUCCESS is status >= 0
        out += piece;
        length -= piece;
    }
    return 0;
}

int SystemPreferredRngBytes(void* buffer, std::size_t length) {
    return GenerateInPieces(nullptr, BCRYPT_USE_SYSTEM_PREFERRED_RNG, buffer, length);
}

// Windows Vista refuses BCRYPT_USE_SYSTEM_PREFERRED_RNG; an opened RNG algorithm works there.
int AlgorithmRngBytes(void* buffer, std::size_t length) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_RNG_ALGORITHM, nullptr, 0) < 0) return -1;
    const int rc = GenerateInPieces(algorithm, 0, buffer, length);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return rc;
}

}  // namespace

const RandomSource kRandomSources[kRandomSourceCount] = {SystemPreferredRngBytes,
                                                         AlgorithmRngBytes};
const char* const kRandomSourceNames[kRandomSourceCount] = {
    "BCryptGenRandom, system-preferred RNG", "BCryptGenRandom, RNG algorithm handle"};

namespace {

SRWLOCK g_streamListLock = SRWLOCK_INIT;  // constant: nothing to set up or tear down

// The random streams' slot, taken at load. Left to the process at unload: TlsFree would clear it
// in every thread, but a thread of the host may end after the unload's wipe, and nothing of the
// library runs for it then.
DWORD g_streamSlot = TLS_OUT_OF_INDEXES;

struct StreamSlotAtLoad {
    StreamSlotAtLoad() { g_streamSlot = TlsAlloc(); }
};
StreamSlotAtLoad g_streamSlotAtLoad;

// The loader runs an image's TLS callbacks at every thread's end, under the loader lock: the
// thread's stream is wiped and freed there (a few stores, the streams' SRWLOCK for a few steps,
// free). MinGW's runtime gathers the callbacks of the .CRT$XL sections into the image's TLS
// directory, the DLL's and an executable's alike.
// The hook is constant-initialised and set once at static construction, before any thread of
// the host can call in.
void (*g_threadEndHook)() = nullptr;

void NTAPI ThreadEndCallback(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH && g_threadEndHook != nullptr) g_threadEndHook();
}
__attribute__((used, section(".CRT$XLS"))) const PIMAGE_TLS_CALLBACK g_threadEndCallback =
    ThreadEndCallback;

}  // namespace

void* ThreadStreamSlot() {
    return g_streamSlot == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(g_streamSlot);
}

int SetThreadStreamSlot(void* stream) {
    return g_streamSlot != TLS_OUT_OF_INDEXES && TlsSetValue(g_streamSlot, stream) ? 0 : -1;
}

void RegisterThreadEndHook(void (*hook)()) {
    g_threadEndHook = hook;
}

void StreamListLockAcquire() {
    AcquireSRWLockExclusive(&g_streamListLock);
}

void StreamListLockRelease() {
    ReleaseSRWLockExclusive(&g_streamListLock);
}

#if !defined(__GNUC__)  // otherwise inline in platform.h
void SecureZero(void* buffer, std::size_t length) {
    if (buffer == nullptr || length == 0) return;
    SecureZeroMemory(buffer, length);
}
#endif

int LockInit(LockStorage* lock) {
    if (lock == nullptr) return -1;
    // From Vista on InitializeCriticalSection cannot fail (it no longer raises on low memory).
    InitializeCriticalSection(new (lock->bytes) CRITICAL_SECTION);
    return 0;
}

void LockDestroy(LockStorage* lock) {
    if (lock == nullptr) return;
    DeleteCriticalSection(SectionOf(lock));
}

int LockAcquire(LockStorage* lock) {
    if (lock == nullptr) return -1;
    EnterCriticalSection(SectionOf(lock));
    return 0;
}

void LockRelease(LockStorage* lock) {
    if (lock == nullptr) return;
    LeaveCriticalSection(SectionOf(lock));
}

static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(CondStorage::bytes), "cond storage too small");

static CONDITION_VARIABLE* CondOf(CondStorage* cond) {
    return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(cond->bytes));
}

int CondInit(CondStorage* cond) {
    if (cond == nullptr) return -1;
    // CONDITION_VARIABLE_INIT: all zero, what InitializeConditionVariable writes (Vista).
    CONDITION_VARIABLE* c = new (cond->bytes) CONDITION_VARIABLE;
    *c = CONDITION_VARIABLE_INIT;
    return 0;
}

void CondDestroy(CondStorage*) {}  // a condition variable holds no resources

int CondWait(CondStorage* cond, LockStorage* lock, std::int32_t timeoutMillis) {
    if (timeoutMillis < 0) timeoutMillis = 0;
    const BOOL woken =
        SleepConditionVariableCS(CondOf(cond), SectionOf(lock), static_cast<DWORD>(timeoutMillis));
    return woken ? 0 : (GetLastError() == ERROR_TIMEOUT ? 1 : 0);
}

void CondSignal(CondStorage* cond) {
    WakeConditionVariable(CondOf(cond));
}

void CondBroadcast(CondStorage* cond) {
    WakeAllConditionVariable(CondOf(cond));
}

int RegisterForkHooks(void (*)(), void (*)(), void (*)()) {
    return 0;  // no fork
}

namespace {
volatile LONG g_processExiting = 0;
}  // namespace

bool ProcessExiting() {
    return InterlockedCompareExchange(&g_processExiting, 0, 0) != 0;
}

void NoteProcessExiting() {
    InterlockedExchange(&g_processExiting, 1);
}

SocketHandle TcpSocketOpenNonBlocking(std::uint8_t family) {
    const SOCKET s = OpenSocket(FamilyOf(family), SOCK_STREAM);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    const DWORD one = 1;
    if (family == kFamilyIPv6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    if (SocketSetNonBlocking(static_cast<SocketHandle>(s)) != 0) {
        const int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

int SocketConnectStart(SocketHandle socket, const IpAddress& to, std::uint16_t port) {
    sockaddr_storage peer;
    const int peerLength = ToSockaddr(to, port, &peer);
    if (peerLength == 0) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    if (connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&peer), peerLength) == 0)
        return 0;
    // A non-blocking connect under way is WSAEWOULDBLOCK on Winsock, not EINPROGRESS.
    return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int SocketConnectResult(SocketHandle socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(ToSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0)
        return WSAGetLastError();
    return error;
}

bool IsConnectionRefused(int code) {
    return code == WSAECONNREFUSED;
}

int SocketWaitWritable(SocketHandle socket, std::int32_t timeoutMillis) {
    // Winsock reports a failed non-blocking connect in the except set, never as writable.
    fd_set writable;
    fd_set failed;
    writable.fd_count = 1;
    writable.fd_array[0] = ToSocket(socket);
    failed.fd_count = 1;
    failed.fd_array[0] = ToSocket(socket);
    if (timeoutMillis < 0) timeoutMillis = 0;
    timeval limit;
    limit.tv_sec = static_cast<long>(timeoutMillis / 1000);
    limit.tv_usec = static_cast<long>((timeoutMillis % 1000) * 1000);
    const int rc = select(0, nullptr, &writable, &failed, &limit);
    if (rc == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    return rc > 0 ? 1 : 0;
}

int SocketStreamSend(SocketHandle socket, const void* bytes, std::size_t length) {
    const int sent =
        send(ToSocket(socket), static_cast<const char*>(bytes), ClampLength(length), 0);
    if (sent != SOCKET_ERROR) return sent;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kSocketWouldBlock : -1;
}

int SocketStreamReceive(SocketHandle socket, void* buffer, std::size_t capacity) {
    const int got = recv(ToSocket(socket), static_cast<char*>(buffer), ClampLength(capacity), 0);
    if (got != SOCKET_ERROR) return got;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kSocketWouldBlock : -1;
}

SocketHandle TcpListenerOpen(const IpAddress& address, std::uint16_t port) {
    sockaddr_storage local;
    const int length = ToSockaddr(address, port, &local);
    if (length == 0) return kInvalidSocket;
    const SOCKET s = OpenSocket(FamilyOf(address.family), SOCK_STREAM);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    const DWORD one = 1;
    if (address.family == kFamilyIPv6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), length) != 0 || listen(s, 64) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

SocketHandle SocketAccept(SocketHandle listener) {
    const SOCKET s = accept(ToSocket(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

int ReadSmallFile(const char* path, void* buffer, std::size_t capacity) {
    if (path == nullptr || buffer == nullptr) return -1;
    // Shared for reading only, not inheritable (no security attributes), no other buffering.
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    int rc = 0;
    unsigned char extra = 0;
    // Until end of file (a read of 0 bytes) or one byte past capacity.
    for (;;) {
        unsigned char* at = done < capacity ? out + done : &extra;
        const std::size_t room = done < capacity ? capacity - done : 1;
        DWORD got = 0;
        if (!ReadFile(file, at, room > 0x10000000 ? 0x10000000 : static_cast<DWORD>(room), &got,
                      nullptr)) {
            rc = -1;
            break;
        }
        if (got == 0) break;
        if (done >= capacity) {
            rc = -2;
            break;
        }
        done += got;
    }
    CloseHandle(file);
    SecureZero(&extra, 1);
    if (rc != 0) {
        SecureZero(buffer, done);
        return rc;
    }
    return done > 0x7FFFFFFF ? -2 : static_cast<int>(done);
}

std::int64_t UtcSeconds() {
    // FILETIME: 100-nanosecond intervals since 1601-01-01 UTC; 11644473600 s before 1970.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
}

namespace {

// The first size - 1 bytes of a value longer than the caller's buffer: read whole into a buffer
// of the longest value Windows keeps (32,767 characters), then cut. Its own frame, so the common
// path does not carry 32 KiB of stack.
__attribute__((noinline)) void ReadEnvironmentCut(const char* name, char* buffer,
                                                  std::size_t size) {
    char whole[32768];
    const DWORD got = GetEnvironmentVariableA(name, whole, sizeof whole);
    const std::size_t kept = got == 0 || got >= sizeof whole ? 0 : got < size ? got : size - 1;
    std::memcpy(buffer, whole, kept);
    buffer[kept] = '\0';
}

}  // namespace

int ReadEnvironment(const char* name, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    buffer[0] = '\0';
    const DWORD capacity = size > 0xFFFF ? 0xFFFF : static_cast<DWORD>(size);
    // 0 is both "unset" and "empty": only the error code tells them apart.
    SetLastError(ERROR_SUCCESS);
    const DWORD got = GetEnvironmentVariableA(name, buffer, capacity);
    if (got == 0) {
        buffer[0] = '\0';
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? -1 : 0;
    }
    if (got < capacity) return static_cast<int>(got);
    // Too small: got is the size needed, terminating NUL included; nothing was copied.
    ReadEnvironmentCut(name, buffer, capacity);
    return static_cast<int>(got - 1);
}

// Only stored: a DLL runs the hook from DllMain's process-attach notification, which comes
// after the static constructors, and an executable that links the objects runs
// ModuleProcessAttach itself.
void RegisterModuleAttach(int (*attach)()) {
    g_moduleAttach = attach;
}

int RunModuleAttach() {
    return g_moduleAttach != nullptr ? g_moduleAttach() : -1;
}

}  // namespace platform
