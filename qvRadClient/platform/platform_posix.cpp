// POSIX implementation of the platform layer: BSD sockets, poll, clock_gettime, getrandom or
// /dev/urandom, a pthread mutex; the Winsock start and end do nothing here and always succeed.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
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

namespace platform {

static int ToFd(SocketHandle socket) {
    return static_cast<int>(socket);
}

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

SocketHandle UdpSocketOpen() {
    // Close-on-exec, so that a host that spawns processes does not leak our socket into them.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidSocket;
    return static_cast<SocketHandle>(fd);
}

SocketHandle UdpSocketOpenNonBlocking() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return kInvalidSocket;
    return static_cast<SocketHandle>(fd);
}

int SocketBindAnyIPv4(SocketHandle socket) {
    return SocketBindIPv4(socket, htonl(INADDR_ANY), 0);
}

int SocketSetNonBlocking(SocketHandle socket) {
    int one = 1;
    return ::ioctl(ToFd(socket), FIONBIO, &one) == 0 ? 0 : -1;
}

int SocketLocalPort(SocketHandle socket, std::uint16_t* port) {
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (::getsockname(ToFd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
    *port = ntohs(local.sin_port);
    return 0;
}

void SocketClose(SocketHandle socket) {
    ::close(ToFd(socket));
}

std::uint32_t ParseIPv4(const char* text) {
    if (text == nullptr) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(::inet_addr(text));
}

int ResolveIPv4(const char* host, const char* numericService, std::uint32_t* address) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // The service is always digits: the name service never parses /etc/services for it.
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, numericService, &hints, &list) != 0) return -1;
    int result = -1;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
            sockaddr_in found;
            memcpy(&found, entry->ai_addr, sizeof found);
            *address = found.sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    ::freeaddrinfo(list);
    return result;
}

int GetLocalHostName(char* buffer, std::size_t limit) {
    if (buffer == nullptr || limit == 0) return -1;
    int rc = ::gethostname(buffer, limit);
    // POSIX leaves termination unspecified when the name was truncated.
    buffer[limit - 1] = '\0';
    if (rc != 0) buffer[0] = '\0';
    return rc == 0 ? 0 : -1;
}

int ReadEnvironment(const char* name, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    buffer[0] = '\0';
    const char* value = ::getenv(name);
    if (value == nullptr) return -1;
    const std::size_t length = strlen(value);
    if (length < size) memcpy(buffer, value, length + 1);
    return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

int SocketSendTo(SocketHandle socket, const void* bytes, std::size_t length, std::uint32_t ip,
                 std::uint16_t port) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ip;
    ssize_t sent = ::sendto(ToFd(socket), bytes, length, MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&to), sizeof to);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int SocketWaitReadable(SocketHandle socket, std::int32_t timeoutMillis) {
    pollfd entry;
    entry.fd = ToFd(socket);
    entry.events = POLLIN;
    entry.revents = 0;
    int rc = ::poll(&entry, 1, timeoutMillis < 0 ? 0 : timeoutMillis);
    // A signal handled on this thread (SIGCHLD, SIGALRM, a profiler's SIGPROF) interrupts poll
    // even under SA_RESTART (poll is never restarted, signal(7)): nothing has arrived yet.
    if (rc < 0 && errno == EINTR) return 0;
    if (rc > 0 && (entry.revents & (POLLIN | POLLERR)) == 0) return -1;
    return rc;
}

int SocketReceive(SocketHandle socket, void* buffer, std::size_t capacity, bool* oversized) {
    *oversized = false;
    // MSG_TRUNC makes Linux return the datagram's real size, so a datagram that did not fit is
    // recognised instead of being handed on cut short.
    ssize_t got = ::recvfrom(ToFd(socket), buffer, capacity, MSG_TRUNC, nullptr, nullptr);
    if (got < 0) return -1;
    if (static_cast<std::size_t>(got) > capacity) {
        *oversized = true;
        return static_cast<int>(capacity);
    }
    return static_cast<int>(got);
}

int SocketBindIPv4(SocketHandle socket, std::uint32_t ip, std::uint16_t port) {
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ip;
    local.sin_port = htons(port);
    return ::bind(ToFd(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}

int SocketReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, bool* oversized,
                      std::uint32_t* ip, std::uint16_t* port) {
    *oversized = false;
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    socklen_t fromLength = sizeof from;
    ssize_t got = ::recvfrom(ToFd(socket), buffer, capacity, MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got < 0) return -1;
    *ip = from.sin_addr.s_addr;
    *port = ntohs(from.sin_port);
    if (static_cast<std::size_t>(got) > capacity) {
        *oversized = true;
        return static_cast<int>(capacity);
    }
    return static_cast<int>(got);
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

// ELF has no per-library attach notification that runs after the static constructors, so the
// hook runs as the module's last static object is constructed.
void RegisterModuleAttach(int (*attach)()) {
    if (attach != nullptr) attach();
}

}  // namespace platform
