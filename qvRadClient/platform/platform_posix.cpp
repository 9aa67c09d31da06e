// POSIX implementation of the platform layer: BSD sockets, poll, clock_gettime, getrandom or
// /dev/urandom, a pthread mutex; the Winsock start and end do nothing here and always succeed.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <pthread.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "platform/socket_address.h"

namespace platform {

static int ToFd(SocketHandle socket) {
    return static_cast<int>(socket);
}

namespace {

int ConnectSocket(SocketHandle socket, const sockaddr* peer, socklen_t length) {
    return ::connect(ToFd(socket), peer, length) == 0 ? 0 : -1;
}

int GetSocketName(SocketHandle socket, sockaddr* local, socklen_t* length) {
    return ::getsockname(ToFd(socket), local, length) == 0 ? 0 : -1;
}

}  // namespace

int SocketLayerStart(std::uint16_t requested, std::uint16_t* granted) {
    if (granted != nullptr) *granted = requested;
    return 0;
}

void SocketLayerEnd() {}

void SetSocketError(int code) {
    errno = code;
}

int GetSocketError() {
    return errno;
}

namespace {

SocketHandle OpenUdp(std::uint8_t family, int flags) {
    // Close-on-exec, so that a host that spawns processes does not leak our socket into them.
    const int fd = ::socket(FamilyOf(family), SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return kInvalidSocket;
    if (family == kFamilyIPv6) {
        // IPv6 only: IPv4 goes through its own socket, exactly as before IPv6 was known here.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    return static_cast<SocketHandle>(fd);
}

}  // namespace

SocketHandle UdpSocketOpen(std::uint8_t family) {
    return OpenUdp(family, 0);
}

SocketHandle UdpSocketOpenNonBlocking(std::uint8_t family) {
    return OpenUdp(family, SOCK_NONBLOCK);
}

int SocketBindAny(SocketHandle socket, std::uint8_t family) {
    IpAddress any;  // all zero: INADDR_ANY or in6addr_any
    any.family = family == kFamilyIPv6 ? kFamilyIPv6 : kFamilyIPv4;
    return SocketBindAddress(socket, any, 0);
}

int SocketSetNonBlocking(SocketHandle socket) {
    int one = 1;
    return ::ioctl(ToFd(socket), FIONBIO, &one) == 0 ? 0 : -1;
}

int SocketLocalPort(SocketHandle socket, std::uint16_t* port) {
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (::getsockname(ToFd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
    return FromSockaddr(reinterpret_cast<sockaddr*>(&local), length, nullptr, port) ? 0 : -1;
}

void SocketClose(SocketHandle socket) {
    ::close(ToFd(socket));
}

std::uint32_t ParseIPv4(const char* text) {
    if (text == nullptr) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(::inet_addr(text));
}

int ParseIPv6(const char* text, IpAddress* address) {
    if (address == nullptr) return -1;
    return LookUp(text, "0", AI_NUMERICHOST | AI_NUMERICSERV, AF_INET6, nullptr, address) == 0 ? 0
                                                                                               : -1;
}

int ParseAddressLiteral(const char* text, IpAddress* address) {
    if (address == nullptr) return -1;
    *address = IpAddress();
    if (text == nullptr) return -1;
    IpAddress parsed;
    parsed.family = kFamilyIPv4;
    if (::inet_pton(AF_INET, text, parsed.bytes) != 1) {
        parsed.family = kFamilyIPv6;
        if (::inet_pton(AF_INET6, text, parsed.bytes) != 1) return -1;
    }
    *address = parsed;
    return 0;
}

int ResolveHost(const char* host, const char* numericService, IpAddress* first4,
                IpAddress* first6) {
    // The service is always digits: the name service never parses /etc/services for it.
    return LookUp(host, numericService, AI_NUMERICSERV, AF_UNSPEC, first4, first6);
}

const char* ResolverWords(int code) {
    if (code == kResolveNoAddress) return "the name service gave no IPv4 or IPv6 address";
    // glibc's texts are fixed strings (translated by the locale, which this library never sets).
    return gai_strerror(code);
}

void FormatAddress(const IpAddress& address, char* text, std::size_t size) {
    if (text == nullptr || size == 0) return;
    text[0] = '\0';
    sockaddr_storage storage;
    const socklen_t length = ToSockaddr(address, 0, &storage);
    if (length == 0 || ::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, text,
                                     static_cast<socklen_t>(size), nullptr, 0, NI_NUMERICHOST) != 0)
        text[0] = '\0';
}

int GetLocalHostName(char* buffer, std::size_t limit) {
    if (buffer == nullptr || limit == 0) return -1;
    int rc = ::gethostname(buffer, limit);
    // POSIX leaves termination unspecified when the name was truncated.
    buffer[limit - 1] = '\0';
    if (rc != 0) buffer[0] = '\0';
    return rc == 0 ? 0 : -1;
}

int GetMachineHostName(char* buffer, std::size_t limit) {
    // POSIX leaves a name longer than the buffer unspecified (glibc fails, others cut it): a
    // name that fills the buffer may have been cut, and a cut name is not the machine's.
    if (GetLocalHostName(buffer, limit) != 0 || strlen(buffer) + 1 >= limit) {
        if (buffer != nullptr && limit != 0) buffer[0] = '\0';
        return -1;
    }
    return 0;
}

SocketHandle TcpSocketOpenNonBlocking(std::uint8_t family) {
    const int fd = ::socket(FamilyOf(family), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return kInvalidSocket;
    const int one = 1;
    if (family == kFamilyIPv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return static_cast<SocketHandle>(fd);
}

int SocketConnectStart(SocketHandle socket, const IpAddress& to, std::uint16_t port) {
    sockaddr_storage peer;
    const socklen_t peerLength = ToSockaddr(to, port, &peer);
    if (peerLength == 0) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (::connect(ToFd(socket), reinterpret_cast<sockaddr*>(&peer), peerLength) == 0) return 0;
    // EINTR: the connect goes on in the background, as EINPROGRESS says (POSIX connect).
    return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int SocketConnectResult(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(ToFd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

bool IsConnectionRefused(int code) {
    return code == ECONNREFUSED;
}

int SocketWaitWritable(SocketHandle socket, std::int32_t timeoutMillis) {
    pollfd entry;
    entry.fd = ToFd(socket);
    entry.events = POLLOUT;
    entry.revents = 0;
    const int rc = ::poll(&entry, 1, timeoutMillis < 0 ? 0 : timeoutMillis);
    if (rc < 0 && errno == EINTR) return 0;
    if (rc <= 0) return rc;
    // A failed connect shows as POLLERR or POLLHUP: ready, and SocketConnectResult says why.
    return (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0 ? 1 : -1;
}

int SocketStreamSend(SocketHandle socket, const void* bytes, std::size_t length) {
    if (length > 0x7FFFFFFF) length = 0x7FFFFFFF;
    const ssize_t sent = ::send(ToFd(socket), bytes, length, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
}

int SocketStreamReceive(SocketHandle socket, void* buffer, std::size_t capacity) {
    if (capacity > 0x7FFFFFFF) capacity = 0x7FFFFFFF;
    const ssize_t got = ::recv(ToFd(socket), buffer, capacity, 0);
    if (got >= 0) return static_cast<int>(got);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
}

SocketHandle TcpListenerOpen(const IpAddress& address, std::uint16_t port) {
    sockaddr_storage local;
    const socklen_t length = ToSockaddr(address, port, &local);
    if (length == 0) return kInvalidSocket;
    const int fd = ::socket(FamilyOf(address.family), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidSocket;
    const int one = 1;
    if (address.family == kFamilyIPv6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(fd);
}

SocketHandle SocketAccept(SocketHandle listener) {
    const int fd = ::accept4(ToFd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

int ReadSmallFile(const char* path, void* buffer, std::size_t capacity) {
    if (path == nullptr || buffer == nullptr) return -1;
    // Non-blocking: a FIFO named in place of a key file fails at once instead of waiting for a
    // writer (a regular file's reads are unaffected).
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    int rc = 0;
    // Until end of file or one byte past capacity (which says the file is too large); each
    // read moves at least one byte, so the loop ends within capacity + 1 reads.
    unsigned char extra = 0;
    for (;;) {
        unsigned char* at = done < capacity ? out + done : &extra;
        const std::size_t room = done < capacity ? capacity - done : 1;
        const ssize_t got = ::read(fd, at, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            rc = -1;
            break;
        }
        if (got == 0) break;
        if (done >= capacity) {
            rc = -2;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    SecureZero(&extra, 1);
    if (rc != 0) {
        SecureZero(buffer, done);
        return rc;
    }
    return done > 0x7FFFFFFF ? -2 : static_cast<int>(done);
}

std::int64_t UtcSeconds() {
    timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec);
}

int ReadEnvironment(const char* name, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    buffer[0] = '\0';
    const char* value = ::getenv(name);
    if (value == nullptr) return -1;
    const std::size_t length = strlen(value);
    const std::size_t kept = length < size ? length : size - 1;
    memcpy(buffer, value, kept);
    buffer[kept] = '\0';
    return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

int SocketSendToAddress(SocketHandle socket, const void* bytes, std::size_t length,
                        const IpAddress& to, std::uint16_t port) {
    sockaddr_storage peer;
    const socklen_t peerLength = ToSockaddr(to, port, &peer);
    if (peerLength == 0) return -1;
    ssize_t sent = ::sendto(ToFd(socket), bytes, length, MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&peer), peerLength);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int SocketsWaitReadable(const SocketHandle* sockets, int count, std::int32_t timeoutMillis,
                        int* which) {
    pollfd entries[2];
    if (count < 1 || count > 2) return -1;
    for (int i = 0; i < count; ++i) {
        entries[i].fd = ToFd(sockets[i]);
        entries[i].events = POLLIN;
        entries[i].revents = 0;
    }
    int rc = ::poll(entries, static_cast<nfds_t>(count), timeoutMillis < 0 ? 0 : timeoutMillis);
    // A signal handled on this thread (SIGCHLD, SIGALRM, a profiler's SIGPROF) interrupts poll
    // even under SA_RESTART (poll is never restarted, signal(7)): nothing has arrived yet.
    if (rc < 0 && errno == EINTR) return 0;
    if (rc <= 0) return rc;
    for (int i = 0; i < count; ++i) {
        if ((entries[i].revents & (POLLIN | POLLERR)) != 0) {
            *which = i;
            return 1;
        }
    }
    return -1;  // POLLNVAL or POLLHUP only
}

int SocketReceiveFromAddress(SocketHandle socket, void* buffer, std::size_t capacity,
                             bool* oversized, IpAddress* from, std::uint16_t* port) {
    *oversized = false;
    sockaddr_storage sender;
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC makes Linux return the datagram's real size, so a datagram that did not fit is
    // recognised instead of being handed on cut short.
    ssize_t got = ::recvfrom(ToFd(socket), buffer, capacity, MSG_TRUNC,
                             from != nullptr ? reinterpret_cast<sockaddr*>(&sender) : nullptr,
                             from != nullptr ? &senderLength : nullptr);
    if (got < 0) return -1;
    if (from != nullptr) {
        *from = IpAddress();
        if (!FromSockaddr(reinterpret_cast<sockaddr*>(&sender), senderLength, from, port) &&
            port != nullptr)
            *port = 0;
    }
    if (static_cast<std::size_t>(got) > capacity) {
        *oversized = true;
        return static_cast<int>(capacity);
    }
    return static_cast<int>(got);
}

int SocketBindAddress(SocketHandle socket, const IpAddress& address, std::uint16_t port) {
    sockaddr_storage local;
    const socklen_t length = ToSockaddr(address, port, &local);
    if (length == 0) return -1;
    return ::bind(ToFd(socket), reinterpret_cast<sockaddr*>(&local), length) == 0 ? 0 : -1;
}

void GetUtcSecondAndMillisecond(unsigned* second, unsigned* millisecond) {
    timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        now.tv_sec = 0;
        now.tv_nsec = 0;
    }
    // POSIX time has no leap seconds, so the UTC second of the minute is the count modulo 60.
    *second = static_cast<unsigned>(now.tv_sec % 60);
    *millisecond = static_cast<unsigned>(now.tv_nsec / 1000000);
}

std::int64_t MonotonicMillis() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

int GetrandomBytes(void* buffer, std::size_t length) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    // getrandom never returns short for requests of 256 bytes or less once the pool is ready,
    // but a signal may interrupt it; the loop is bounded. ENOSYS (kernels before 3.17) and
    // EPERM (a seccomp filter) send the caller to the next source.
    for (int tries = 0; done < length && tries < 8; ++tries) {
        ssize_t got = ::getrandom(out + done, length - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<std::size_t>(got);
    }
    return done == length ? 0 : -1;
}

int UrandomBytes(void* buffer, std::size_t length) {
    // Close-on-exec: a host that forks and execs meanwhile must not inherit the descriptor.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    for (int tries = 0; done < length && tries < 8; ++tries) {
        ssize_t got = ::read(fd, out + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == length ? 0 : -1;
}

}  // namespace

const RandomSource kRandomSources[kRandomSourceCount] = {GetrandomBytes, UrandomBytes};
const char* const kRandomSourceNames[kRandomSourceCount] = {"getrandom", "/dev/urandom"};

// Constant-initialised: a read before this file's static construction sees 0 and "not tracked".
std::atomic<std::uint32_t> g_forkGeneration{0};
std::atomic<bool> g_forkGenerationTracked{false};

namespace {

pthread_mutex_t g_streamListLock = PTHREAD_MUTEX_INITIALIZER;

// Around fork: the lock is taken before, and released after in the parent and in the child (by
// the forking thread, its owner and the child's only thread).
void BeforeFork() {
    ::pthread_mutex_lock(&g_streamListLock);
}

void AfterForkInParent() {
    ::pthread_mutex_unlock(&g_streamListLock);
}

// Runs in the child only, on the thread that forked, before fork returns there: the only thread
// of the child, so the next ForkGeneration in it sees the new value.
void AfterForkInChild() {
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
    ::pthread_mutex_unlock(&g_streamListLock);
}

// Registered once per image of the library, at its static construction. glibc's pthread_atfork
// (from libc_nonshared) records the registering image's __dso_handle, and its __cxa_finalize
// removes the handlers when that image is unloaded (dlclose), so no handler outlives its code.
struct ForkHandlersAtLoad {
    ForkHandlersAtLoad() {
        const bool registered =
            ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
        g_forkGenerationTracked.store(registered, std::memory_order_relaxed);
    }
};
ForkHandlersAtLoad g_forkHandlersAtLoad;

}  // namespace

void StreamListLockAcquire() {
    ::pthread_mutex_lock(&g_streamListLock);
}

void StreamListLockRelease() {
    ::pthread_mutex_unlock(&g_streamListLock);
}

#if !defined(__GNUC__)  // otherwise inline in platform.h
void SecureZero(void* buffer, std::size_t length) {
    if (buffer != nullptr && length != 0) ::explicit_bzero(buffer, length);
}
#endif

static_assert(sizeof(pthread_mutex_t) <= sizeof(LockStorage::bytes), "lock storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(LockStorage), "lock storage misaligned");

static pthread_mutex_t* AsMutex(LockStorage* lock) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(lock->bytes));
}

int LockInit(LockStorage* lock) {
    pthread_mutex_t* mutex = new (lock->bytes) pthread_mutex_t;
    return ::pthread_mutex_init(mutex, nullptr) == 0 ? 0 : -1;
}

void LockDestroy(LockStorage* lock) {
    ::pthread_mutex_destroy(AsMutex(lock));
}

int LockAcquire(LockStorage* lock) {
    return ::pthread_mutex_lock(AsMutex(lock)) == 0 ? 0 : -1;
}

void LockRelease(LockStorage* lock) {
    ::pthread_mutex_unlock(AsMutex(lock));
}

static_assert(sizeof(pthread_cond_t) <= sizeof(CondStorage::bytes), "cond storage too small");
static_assert(alignof(pthread_cond_t) <= alignof(CondStorage), "cond storage misaligned");

static pthread_cond_t* AsCond(CondStorage* cond) {
    return std::launder(reinterpret_cast<pthread_cond_t*>(cond->bytes));
}

int CondInit(CondStorage* cond) {
    pthread_condattr_t attributes;
    if (::pthread_condattr_init(&attributes) != 0) return -1;
    // Timed waits against the monotonic clock, as every deadline here is: a change of the wall
    // clock neither cuts a wait short nor stretches it.
    ::pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_t* c = new (cond->bytes) pthread_cond_t;
    const int rc = ::pthread_cond_init(c, &attributes);
    ::pthread_condattr_destroy(&attributes);
    return rc == 0 ? 0 : -1;
}

void CondDestroy(CondStorage* cond) {
    ::pthread_cond_destroy(AsCond(cond));
}

int CondWait(CondStorage* cond, LockStorage* lock, std::int32_t timeoutMillis) {
    if (timeoutMillis < 0) timeoutMillis = 0;
    timespec until;
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeoutMillis / 1000;
    until.tv_nsec += static_cast<long>(timeoutMillis % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    const int rc = ::pthread_cond_timedwait(AsCond(cond), AsMutex(lock), &until);
    return rc == ETIMEDOUT ? 1 : 0;
}

void CondSignal(CondStorage* cond) {
    ::pthread_cond_signal(AsCond(cond));
}

void CondBroadcast(CondStorage* cond) {
    ::pthread_cond_broadcast(AsCond(cond));
}

bool ProcessExiting() {
    return false;
}

void NoteProcessExiting() {}

int RegisterForkHooks(void (*prepare)(), void (*parent)(), void (*child)()) {
    return ::pthread_atfork(prepare, parent, child) == 0 ? 0 : -1;
}

// ELF has no per-library attach notification that runs after the static constructors, so the
// hook runs as the module's last static object is constructed.
void RegisterModuleAttach(int (*attach)()) {
    if (attach != nullptr) attach();
}

}  // namespace platform
