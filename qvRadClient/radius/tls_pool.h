// The one owner of kept RADIUS over TLS connections: per structured client, and one process-wide
// for auth. Connections are keyed by server, port, TLS settings and purpose, shared by threads.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "radius/purpose.h"
#include "radius/server_health.h"
#include "radius/tls_connection.h"
#include "tls/tls_settings.h"
#include "tls/tls_tickets.h"

// How a request's connection was had, for --verbose.
enum class TlsUse : std::uint8_t { kNone = 0, kNew, kResumed, kKept };

// Where a request goes over TLS: the address and port as resolved, the host as written (the
// certificate's name and SNI), the settings and the purpose. Compared whole.
struct TlsServerKey {
    platform::IpAddress ip;
    std::uint16_t port = 0;
    RadiusPurpose purpose = RadiusPurpose::kAuthentication;
    const char* host = nullptr;             // NUL-terminated, at most kMaxTlsServerNameLength + 2
    const TlsSettings* settings = nullptr;  // compared by value
};

// One server of a pool: its connections, its health, its tickets.
struct TlsServerRecord {
    static constexpr int kMaxConnections = 16;  // the option's upper bound

    platform::IpAddress ip;
    std::uint16_t port = 0;
    RadiusPurpose purpose = RadiusPurpose::kAuthentication;
    char host[kMaxTlsServerNameLength + 3] = {};
    TlsSettings settings;
    TlsConnection* connections[kMaxConnections] = {};
    std::int32_t connectionCount = 0;
    bool opening = false;  // a thread is connecting: the others wait for it
    ServerHealth health;
    TlsTicketShelf tickets;
    std::int64_t lastUsedMillis = 0;
    std::int32_t users = 0;  // threads between Acquire and Release on it
};

// The result of a request's wait on its connection.
enum class TlsWait : std::uint8_t { kReply, kTimeout, kBroken };

// A request's hold on a connection: its Identifier there. Filled by Acquire, ended by Release.
struct TlsLease {
    TlsConnection* connection = nullptr;
    std::int32_t identifier = -1;
    TlsUse use = TlsUse::kNone;
};

class TlsPool {
  public:
    // Defaults that need no setting: four connections per server at most (each carries 255
    // requests at once), and an idle connection closed by us after 25 s, before servers' own idle
    // timeouts (FreeRADIUS: 30 s) close it under a request.
    static constexpr std::int32_t kDefaultMaxConnections = 4;
    static constexpr std::int64_t kDefaultIdleMillis = 25000;
    // A kept connection on which nothing arrives for this long while requests wait is sent a
    // Status-Server (RFC 5997); unanswered as long again, it is dead.
    static constexpr std::int64_t kWatchdogMillis = 3000;
    static constexpr int kMaxServers = 16;

    TlsPool();
    ~TlsPool();  // closes every connection with close_notify (without it in a forked child)
    TlsPool(const TlsPool&) = delete;
    TlsPool& operator=(const TlsPool&) = delete;

    std::int32_t maxConnections = kDefaultMaxConnections;  // set before first use
    std::int64_t idleMillis = kDefaultIdleMillis;          // 0: a connection per request

    // Whether a request to key may go now: a live connection, or a new one allowed (not in
    // backoff). When not, *reason (if given) says why, in words.
    bool MayTry(const TlsServerKey& key, char* reason, std::size_t reasonSize);
    // A connection to key with a free Identifier before deadlineMillis: a kept one, or a new one
    // (resumed from a ticket where one is kept); 0, or -1 with the reason in words. A new
    // connection that failed is handed to the caller in *refused (its session tells the failure;
    // the caller deletes it). udpSecret is the entry's own secret, which a PSK must not equal.
    int Acquire(const TlsServerKey& key, const std::uint8_t* udpSecret, std::size_t udpSecretLength,
                std::int64_t deadlineMillis, TlsLease* lease, TlsConnection** refused, char* reason,
                std::size_t reasonSize);
    // Sends the prepared request (its Identifier the lease's) and registers waiter for its reply
    // (a request is never sent twice on one connection): 0, -1 (the connection broke), -2 (the
    // deadline passed with the socket full); the reason in words.
    int Send(TlsLease& lease, const CRadPacket& request, TlsWaiter& waiter,
             std::int64_t deadlineMillis, char* reason, std::size_t reasonSize);
    // Waits until the reply verified (in waiter), the deadline passed or the connection broke
    // (then *reason says why), reading for everyone on the connection in turn.
    TlsWait Await(TlsLease& lease, TlsWaiter& waiter, std::int64_t deadlineMillis, char* reason,
                  std::size_t reasonSize);
    // Gives the Identifier back; a connection that died is closed by its last user.
    void Release(TlsLease& lease);
    // At unload: every connection no thread holds is closed without a record sent (no thread is
    // waited for, nothing is sent at process exit) and its memory wiped; the tickets are wiped.
    void ReleaseAll(bool closeNotify);

    // Counts for tests and --verbose (taken under the lock).
    struct Counts {
        std::int32_t connections;
        std::int32_t inFlight;
        std::int32_t tickets;
    };
    Counts Snapshot();

    // The fork hooks' work on every pool: the locks held across fork(), the child's pools marked.
    static void ForkPrepare();
    static void ForkParent();
    static void ForkChild();

  private:
    TlsServerRecord* FindOrAdd(const TlsServerKey& key, std::int64_t now);
    TlsServerRecord* Find(const TlsServerKey& key);
    void DropInherited();                           // lock held
    void PruneIdle(std::int64_t now);               // lock held
    void Unlink(TlsConnection* connection);         // lock held
    bool Probe(TlsConnection& connection);          // lock held: false when it is closed
    void CollectTicket(TlsConnection& connection);  // lock held
    // One turn of reading for everyone (lock held, dropped around the wait): watchdog, wait for
    // the socket until deadline or the watchdog's next moment, read and dispatch what came.
    void Lead(TlsConnection& connection, std::int64_t deadlineMillis);
    int SendWatchdog(TlsConnection& connection);  // lock held
    // Writes a packet on the connection (lock held; dropped while the socket is full).
    int Write(TlsConnection& connection, const std::uint8_t* bytes, std::uint16_t length,
              std::int64_t deadlineMillis);
    void Finish(TlsConnection* connection);  // closes and frees an unlinked connection

    platform::LockStorage lock_;
    platform::CondStorage changed_;  // a connection opened, failed or died; an Identifier freed
    TlsServerRecord* servers_[kMaxServers] = {};
    std::int32_t identifierWaiters_ = 0;
    std::int64_t lastPruneMillis_ = 0;
    bool inherited_ = false;       // this is a forked child's copy: nothing of it may be used
    TlsPool* nextPool_ = nullptr;  // the registry of pools, for fork
    TlsPool* previousPool_ = nullptr;
};

// The process's pool, for auth's tls:// entries (static storage, never destroyed: a thread of the
// host may still be inside it while the process exits).
TlsPool& ProcessTlsPool();
// For the module's unload: the process pool's connections released (see ReleaseAll).
void ReleaseProcessTlsPool();
