// Kept RADIUS over TLS connections without a thread of their own: a thread waiting for its reply
// reads for every request on its connection (leader/follower), under one lock per pool.
#include "radius/tls_pool.h"

#include <atomic>
#include <cstring>
#include <new>

#include "radius/detail_text.h"
#include "radius/status_server.h"

namespace {

// The registry of live pools, for fork(): prepare takes its lock, then every pool's (the one
// lock order: registry, then pool), so that the child inherits every pool in a consistent state.
struct PoolRegistry {
    platform::LockStorage lock;
    TlsPool* first = nullptr;
    // Whether a fork is told to the pools: where it cannot be, none keeps a connection past its
    // request, so that no child could inherit one in use.
    bool forkTold = false;

    PoolRegistry() {
        platform::LockInit(&lock);
        forkTold = platform::RegisterForkHooks(TlsPool::ForkPrepare, TlsPool::ForkParent,
                                               TlsPool::ForkChild) == 0;
    }
};

// Constructed on first use, never destroyed: a pool may be freed (a client) or released (at
// unload) while the registry is still needed, and no destructor order then matters.
PoolRegistry& Registry() {
    alignas(PoolRegistry) static unsigned char storage[sizeof(PoolRegistry)];
    static PoolRegistry* registry = new (storage) PoolRegistry;
    return *registry;
}

bool SameAddress(const platform::IpAddress& a, const platform::IpAddress& b) {
    return a.family == b.family && a.scopeId == b.scopeId &&
           std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// Settings compared as what they say (texts up to their NUL), not as buffers.
bool SameSettings(const TlsSettings& a, const TlsSettings& b) {
    return std::strcmp(a.caFile, b.caFile) == 0 && std::strcmp(a.certFile, b.certFile) == 0 &&
           std::strcmp(a.keyFile, b.keyFile) == 0 && std::strcmp(a.pskFile, b.pskFile) == 0 &&
           std::strcmp(a.serverName, b.serverName) == 0 &&
           a.pskIdentityLength == b.pskIdentityLength &&
           std::memcmp(a.pskIdentity, b.pskIdentity, a.pskIdentityLength) == 0 &&
           a.tooLong == b.tooLong && a.pskTls12 == b.pskTls12;
}

bool Matches(const TlsServerRecord& record, const TlsServerKey& key) {
    return record.port == key.port && record.purpose == key.purpose &&
           SameAddress(record.ip, key.ip) && std::strcmp(record.host, key.host) == 0 &&
           SameSettings(record.settings, *key.settings);
}

std::int32_t Clamp(std::int64_t millis) {
    if (millis <= 0) return 0;
    return millis > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(millis);
}

// The reason a server in backoff is not tried, in words.
void BackoffReason(const TlsServerRecord& record, std::int64_t now, char* reason,
                   std::size_t size) {
    if (reason == nullptr || size == 0) return;
    const std::int64_t wait = record.health.nextAttemptMillis - now;
    DetailText(reason, size)
        .Text("not tried: its last ")
        .Number(static_cast<std::uint64_t>(record.health.failures))
        .Text(record.health.failures == 1 ? " connection failed" : " connections failed")
        .Text(", and the next may be opened in ")
        .Number(wait > 0 ? static_cast<std::uint64_t>(wait) : 0)
        .Text(" ms (reconnections back off)");
}

std::uint16_t Jitter() {
    std::uint16_t jitter = 0;
    if (platform::RandomBytes(&jitter, sizeof jitter) != 0) jitter = 0;
    return jitter;
}

// Reading turns are bounded so that the pool's lock, held while records are decrypted, passes to
// the other connections' threads often, however much one server sends.
constexpr int kPacketsPerTurn = 32;

}  // namespace

TlsPool::TlsPool() {
    platform::LockInit(&lock_);
    platform::CondInit(&changed_);
    PoolRegistry& registry = Registry();
    platform::LockAcquire(&registry.lock);
    nextPool_ = registry.first;
    if (nextPool_ != nullptr) nextPool_->previousPool_ = this;
    registry.first = this;
    platform::LockRelease(&registry.lock);
}

TlsPool::~TlsPool() {
    ReleaseAll(true);
    PoolRegistry& registry = Registry();
    platform::LockAcquire(&registry.lock);
    if (previousPool_ != nullptr)
        previousPool_->nextPool_ = nextPool_;
    else
        registry.first = nextPool_;
    if (nextPool_ != nullptr) nextPool_->previousPool_ = previousPool_;
    platform::LockRelease(&registry.lock);
    platform::CondDestroy(&changed_);
    platform::LockDestroy(&lock_);
}

void TlsPool::ForkPrepare() {
    PoolRegistry& registry = Registry();
    platform::LockAcquire(&registry.lock);
    for (TlsPool* pool = registry.first; pool != nullptr; pool = pool->nextPool_)
        platform::LockAcquire(&pool->lock_);
}

void TlsPool::ForkParent() {
    PoolRegistry& registry = Registry();
    for (TlsPool* pool = registry.first; pool != nullptr; pool = pool->nextPool_)
        platform::LockRelease(&pool->lock_);
    platform::LockRelease(&registry.lock);
}

void TlsPool::ForkChild() {
    // The child has one thread, the one that forked: the connections, their TLS state and the
    // tickets are its parent's. None is used or closed with close_notify here (that would end
    // the parent's sessions): the next use drops them.
    PoolRegistry& registry = Registry();
    for (TlsPool* pool = registry.first; pool != nullptr; pool = pool->nextPool_) {
        pool->inherited_ = true;
        platform::LockRelease(&pool->lock_);
    }
    platform::LockRelease(&registry.lock);
}

void TlsPool::DropInherited() {
    for (TlsServerRecord*& record : servers_) {
        if (record == nullptr) continue;
        for (std::int32_t i = 0; i < record->connectionCount; ++i) {
            // Only the descriptor is closed (the parent's stays open); the copies of the keys
            // are wiped.
            record->connections[i]->session.Abandon();
            delete record->connections[i];
        }
        record->tickets.Clear();
        delete record;
        record = nullptr;
    }
    identifierWaiters_ = 0;
    inherited_ = false;
}

TlsServerRecord* TlsPool::Find(const TlsServerKey& key) {
    for (TlsServerRecord* record : servers_)
        if (record != nullptr && Matches(*record, key)) return record;
    return nullptr;
}

TlsServerRecord* TlsPool::FindOrAdd(const TlsServerKey& key, std::int64_t now) {
    TlsServerRecord* found = Find(key);
    if (found != nullptr) return found;
    if (key.host == nullptr || key.settings == nullptr ||
        std::strlen(key.host) >= sizeof found->host)
        return nullptr;
    // A free place, else the least recently used server with nothing open and no thread on it.
    int place = -1;
    for (int i = 0; i < kMaxServers && place < 0; ++i)
        if (servers_[i] == nullptr) place = i;
    for (int i = 0; i < kMaxServers && place < 0; ++i) {
        TlsServerRecord* r = servers_[i];
        if (r->connectionCount != 0 || r->users != 0 || r->opening) continue;
        if (place < 0 || r->lastUsedMillis < servers_[place]->lastUsedMillis) place = i;
    }
    if (place < 0) return nullptr;
    if (servers_[place] != nullptr) {
        servers_[place]->tickets.Clear();
        delete servers_[place];
        servers_[place] = nullptr;
    }
    TlsServerRecord* record = new (std::nothrow) TlsServerRecord;
    if (record == nullptr) return nullptr;
    record->ip = key.ip;
    record->port = key.port;
    record->purpose = key.purpose;
    std::memcpy(record->host, key.host, std::strlen(key.host) + 1);
    record->settings = *key.settings;
    record->lastUsedMillis = now;
    servers_[place] = record;
    return record;
}

void TlsPool::Unlink(TlsConnection* connection) {
    TlsServerRecord* record = connection->server;
    connection->server = nullptr;
    if (record == nullptr) return;
    for (std::int32_t i = 0; i < record->connectionCount; ++i) {
        if (record->connections[i] != connection) continue;
        record->connections[i] = record->connections[--record->connectionCount];
        record->connections[record->connectionCount] = nullptr;
        return;
    }
}

void TlsPool::Finish(TlsConnection* connection) {
    // Unlinked and without users: this thread alone has it. close_notify (RFC 8446 section 6.1)
    // without waiting, then every context wiped.
    connection->session.Close();
    delete connection;
}

void TlsPool::PruneIdle(std::int64_t now) {
    // At most once a second: an idle connection is only a socket until a login looks at it.
    if (now - lastPruneMillis_ < 1000 && now >= lastPruneMillis_) return;
    lastPruneMillis_ = now;
    for (TlsServerRecord* record : servers_) {
        if (record == nullptr) continue;
        for (std::int32_t i = record->connectionCount - 1; i >= 0; --i) {
            TlsConnection* c = record->connections[i];
            if (c->users != 0 || c->inFlight != 0) continue;
            if (!c->dead && now - c->lastUsedMillis < idleMillis) continue;
            Unlink(c);
            Finish(c);
        }
    }
}

bool TlsPool::Probe(TlsConnection& c) {
    // One poll without waiting: an idle connection with something to read was closed by its
    // server (end of stream, close_notify) or got a late reply, and either is read now, so that
    // a closed connection is dropped before a request is put on it.
    if (!c.session.HasBuffered() && platform::SocketWaitReadable(c.session.Socket(), 0) == 0)
        return true;
    const std::int64_t until = platform::MonotonicMillis() + 100;
    for (int i = 0; i < kPacketsPerTurn; ++i) {
        const int got = c.session.ReceiveStep(c.inbound.octets, rad::kMaxPacketLength, until);
        if (got > 0) {
            c.Dispatch(static_cast<std::uint16_t>(got));
            continue;
        }
        if (got == 0) break;
        c.Die(c.session.FailureReason());
        platform::CondBroadcast(&changed_);
        return false;
    }
    CollectTicket(c);
    return true;
}

void TlsPool::CollectTicket(TlsConnection& c) {
    if (c.server == nullptr) return;
    TlsTicket ticket;
    if (c.session.TakeTicket(&ticket)) c.server->tickets.Put(static_cast<TlsTicket&&>(ticket));
}

bool TlsPool::MayTry(const TlsServerKey& key, char* reason, std::size_t reasonSize) {
    platform::LockAcquire(&lock_);
    if (inherited_) DropInherited();
    bool may = true;
    const TlsServerRecord* record = Find(key);
    if (record != nullptr) {
        const std::int64_t now = platform::MonotonicMillis();
        bool live = false;
        for (std::int32_t i = 0; i < record->connectionCount && !live; ++i)
            live = !record->connections[i]->dead;
        may = live || record->opening || record->health.MayConnect(now);
        if (!may) BackoffReason(*record, now, reason, reasonSize);
    }
    platform::LockRelease(&lock_);
    return may;
}

int TlsPool::Acquire(const TlsServerKey& key, const std::uint8_t* udpSecret,
                     std::size_t udpSecretLength, std::int64_t deadlineMillis, TlsLease* lease,
                     TlsConnection** refused, char* reason, std::size_t reasonSize) {
    *lease = TlsLease();
    *refused = nullptr;
    if (reasonSize != 0) reason[0] = '\0';
    platform::LockAcquire(&lock_);
    if (inherited_) DropInherited();
    std::int64_t now = platform::MonotonicMillis();
    PruneIdle(now);
    TlsServerRecord* record = FindOrAdd(key, now);
    if (record == nullptr) {
        platform::LockRelease(&lock_);
        CopyReason(reason, reasonSize,
                   "no room for another server's connections (every kept one is in use)");
        return -1;
    }
    ++record->users;
    record->lastUsedMillis = now;
    int result = -1;
    for (;;) {
        now = platform::MonotonicMillis();
        // A kept connection with a free Identifier; the first that has one, so that requests
        // gather on few connections and the others go idle and close.
        TlsConnection* chosen = nullptr;
        std::int32_t live = 0;
        for (std::int32_t i = 0; i < record->connectionCount; ++i) {
            TlsConnection* c = record->connections[i];
            if (c->dead) continue;
            ++live;
            if (chosen != nullptr || c->inFlight >= TlsConnection::kMaxInFlight) continue;
            if (c->inFlight == 0 && !c->leading && !c->writing && !Probe(*c)) {
                --live;
                continue;
            }
            chosen = c;
        }
        if (chosen != nullptr) {
            lease->connection = chosen;
            lease->identifier = chosen->TakeIdentifier();
            lease->use = TlsUse::kKept;
            ++chosen->users;
            result = 0;
            break;
        }
        if (now >= deadlineMillis) {
            CopyReason(reason, reasonSize,
                       "no connection with a free Identifier before the deadline");
            break;
        }
        const bool room = record->connectionCount < TlsServerRecord::kMaxConnections;
        if (!record->opening && live < maxConnections && room) {
            if (!record->health.MayConnect(now)) {
                if (live == 0) {
                    BackoffReason(*record, now, reason, reasonSize);
                    break;
                }
            } else {
                // This thread connects; the others that come meanwhile wait for it rather than
                // open connections of their own.
                record->opening = true;
                TlsTicket ticket;
                record->tickets.Take(now, &ticket);
                TlsConnection* made = new (std::nothrow) TlsConnection;
                platform::LockRelease(&lock_);
                const int opened =
                    made == nullptr
                        ? -1
                        : made->session.Open(key.ip, key.port, key.host, *key.settings, udpSecret,
                                             udpSecretLength, deadlineMillis, &ticket);
                ticket.Clear();
                platform::LockAcquire(&lock_);
                record->opening = false;
                platform::CondBroadcast(&changed_);
                now = platform::MonotonicMillis();
                if (opened != 0) {
                    // A refused or silent server is not tried again at once, by this login or
                    // another (draft-ietf-radext-radiusdtls-bis: back off, with jitter).
                    record->health.Failed(now, Jitter());
                    if (made == nullptr)
                        CopyReason(reason, reasonSize, "no memory for a TLS connection");
                    else
                        CopyReason(reason, reasonSize, made->session.FailureReason());
                    *refused = made;
                    break;
                }
                record->health.Succeeded();
                made->server = record;
                made->openedMillis = made->lastUsedMillis = now;
                made->resumed = made->session.Resumed();
                record->connections[record->connectionCount++] = made;
                CollectTicket(*made);
                lease->connection = made;
                lease->identifier = made->TakeIdentifier();
                lease->use = made->resumed ? TlsUse::kResumed : TlsUse::kNew;
                ++made->users;
                result = 0;
                break;
            }
        }
        // A connection is being opened, or every one is full, or a server in backoff still has
        // full ones: wait for a change, within the deadline.
        ++identifierWaiters_;
        platform::CondWait(&changed_, &lock_, Clamp(deadlineMillis - now));
        --identifierWaiters_;
        if (inherited_) break;  // cannot happen in a thread of the parent; defensive
    }
    --record->users;
    platform::LockRelease(&lock_);
    return result;
}

int TlsPool::Write(TlsConnection& c, const std::uint8_t* bytes, std::uint16_t length,
                   std::int64_t deadlineMillis) {
    // Another thread's record is still going out: nothing may be written before it ends.
    while (c.writing && !c.dead) {
        const std::int64_t now = platform::MonotonicMillis();
        if (now >= deadlineMillis) return -2;
        platform::CondWait(&changed_, &lock_, Clamp(deadlineMillis - now));
    }
    if (c.dead) return -1;
    int rc = c.session.SendStep(bytes, length);
    while (rc == CRadTlsSession::kWantWrite) {
        // The socket is full (the server reads slowly): the record's rest goes out first, and
        // nobody reads or writes on the connection meanwhile (the TLS library's pending output
        // would be flushed for us by another call and then sent again).
        c.writing = true;
        const platform::SocketHandle socket = c.session.Socket();
        platform::LockRelease(&lock_);
        int ready = 0;
        for (;;) {
            const std::int32_t left = Clamp(deadlineMillis - platform::MonotonicMillis());
            if (left == 0) break;
            ready = platform::SocketWaitWritable(socket, left);
            if (ready != 0) break;
        }
        platform::LockAcquire(&lock_);
        c.writing = false;
        platform::CondBroadcast(&changed_);
        if (ready <= 0) {
            // Part of a record is out: the stream can carry nothing more.
            c.Die(ready == 0 ? "the server did not take the request before the deadline"
                             : "waiting on the TCP connection failed");
            c.HandOff();
            return ready == 0 ? -2 : -1;
        }
        rc = c.session.SendStep(bytes, length);
    }
    c.HandOff();
    if (rc < 0) {
        c.Die(c.session.FailureReason());
        platform::CondBroadcast(&changed_);
        return -1;
    }
    return 0;
}

int TlsPool::SendWatchdog(TlsConnection& c) {
    // RFC 5997 section 4.1 and draft-ietf-radext-radiusdtls-bis: the watchdog of a connection is a
    // Status-Server, Identifier 0, with a Message-Authenticator; any verified answer clears it.
    CRadPacket probe(rad::kStatusServer);
    probe.MakeRequestAuthenticator();
    probe.SetIdentifier(TlsConnection::kWatchdogIdentifier);
    if (BuildStatusServer(probe) != 0) return -1;
    probe.PrepareForServer(c.secret, nullptr, &c.hmacKey);
    std::memcpy(c.watchdogAuthenticator, probe.octets + rad::kAuthenticatorOffset,
                rad::kAuthenticatorLength);
    const std::int64_t now = platform::MonotonicMillis();
    c.watchdogPending = true;
    c.watchdogSentMillis = now;
    return Write(c, probe.octets, probe.Length(), now + kWatchdogMillis) == 0 ? 0 : -1;
}

void TlsPool::Lead(TlsConnection& c, std::int64_t deadlineMillis) {
    std::int64_t now = platform::MonotonicMillis();
    if (c.watchdogPending && now - c.watchdogSentMillis >= kWatchdogMillis) {
        c.Die(
            "the server answered neither the requests on the connection nor a Status-Server "
            "for 6 s: the connection is dead");
        platform::CondBroadcast(&changed_);
        return;
    }
    if (!c.watchdogPending && c.waiting > 0 && now - c.quietSinceMillis >= kWatchdogMillis &&
        !c.writing) {
        if (SendWatchdog(c) != 0 || c.dead) return;
        now = platform::MonotonicMillis();
    }
    std::int64_t wake = deadlineMillis;
    const std::int64_t watch =
        (c.watchdogPending ? c.watchdogSentMillis : c.quietSinceMillis) + kWatchdogMillis;
    if (watch < wake) wake = watch;
    if (!c.session.HasBuffered()) {
        const platform::SocketHandle socket = c.session.Socket();
        platform::LockRelease(&lock_);
        const int ready = platform::SocketWaitReadable(socket, Clamp(wake - now));
        platform::LockAcquire(&lock_);
        if (c.dead || ready == 0) return;  // the caller looks at its deadline and goes round
        if (ready < 0) {
            c.Die("waiting on the TCP connection failed");
            platform::CondBroadcast(&changed_);
            return;
        }
    }
    if (c.writing) return;  // the writer hands reading on once its record is out
    c.quietSinceMillis = platform::MonotonicMillis();
    for (int i = 0; i < kPacketsPerTurn; ++i) {
        const int got =
            c.session.ReceiveStep(c.inbound.octets, rad::kMaxPacketLength, deadlineMillis);
        if (got > 0) {
            c.Dispatch(static_cast<std::uint16_t>(got));
            platform::SecureZero(c.inbound.octets, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0) {
            c.Die(c.session.FailureReason());
            platform::CondBroadcast(&changed_);
        }
        break;
    }
    CollectTicket(c);
}

int TlsPool::Send(TlsLease& lease, const CRadPacket& request, TlsWaiter& waiter,
                  std::int64_t deadlineMillis, char* reason, std::size_t reasonSize) {
    TlsConnection& c = *lease.connection;
    platform::LockAcquire(&lock_);
    c.Register(lease.identifier, waiter, request.octets + rad::kAuthenticatorOffset,
               platform::MonotonicMillis());
    const int written = Write(c, request.octets, request.Length(), deadlineMillis);
    if (written != 0) {
        c.Unregister(lease.identifier, waiter);
        CopyReason(reason, reasonSize,
                   written == -2 ? "the request could not be sent before the deadline" : c.reason);
    }
    platform::LockRelease(&lock_);
    return written;
}

TlsWait TlsPool::Await(TlsLease& lease, TlsWaiter& waiter, std::int64_t deadlineMillis,
                       char* reason, std::size_t reasonSize) {
    TlsConnection& c = *lease.connection;
    TlsWait outcome = TlsWait::kTimeout;
    platform::LockAcquire(&lock_);
    for (;;) {
        if (waiter.done) {
            outcome = TlsWait::kReply;
            break;
        }
        if (c.dead) {
            outcome = TlsWait::kBroken;
            CopyReason(reason, reasonSize, c.reason);
            break;
        }
        const std::int64_t now = platform::MonotonicMillis();
        if (now >= deadlineMillis) break;
        if (!c.leading && !c.writing) {
            c.leading = true;
            Lead(c, deadlineMillis);
            c.leading = false;
            continue;
        }
        platform::CondWait(&waiter.cond, &lock_, Clamp(deadlineMillis - now));
    }
    c.Unregister(lease.identifier, waiter);
    // Whoever waits still must read: the turn passes on.
    c.HandOff();
    platform::LockRelease(&lock_);
    return outcome;
}

void TlsPool::Release(TlsLease& lease) {
    TlsConnection* c = lease.connection;
    if (c == nullptr) return;
    platform::LockAcquire(&lock_);
    TlsSlot& slot = c->slots[lease.identifier];
    slot.held = false;
    slot.waiter = nullptr;
    --c->inFlight;
    --c->users;
    c->lastUsedMillis = platform::MonotonicMillis();
    TlsConnection* finish = nullptr;
    if (c->users == 0 && c->inFlight == 0 &&
        (c->dead || idleMillis <= 0 || inherited_ || !Registry().forkTold)) {
        Unlink(c);
        finish = c;
    } else {
        c->HandOff();
    }
    if (identifierWaiters_ > 0) platform::CondBroadcast(&changed_);
    platform::LockRelease(&lock_);
    if (finish != nullptr) Finish(finish);
    lease = TlsLease();
}

void TlsPool::ReleaseAll(bool closeNotify) {
    platform::LockAcquire(&lock_);
    const bool send = closeNotify && !inherited_;
    for (TlsServerRecord*& record : servers_) {
        if (record == nullptr) continue;
        for (std::int32_t i = record->connectionCount - 1; i >= 0; --i) {
            TlsConnection* c = record->connections[i];
            if (c->users != 0) continue;  // a thread still inside: left to it
            Unlink(c);
            if (send)
                c->session.Close();
            else
                c->session.Abandon();
            delete c;
        }
        record->tickets.Clear();
        if (record->connectionCount == 0 && record->users == 0) {
            delete record;
            record = nullptr;
        }
    }
    platform::LockRelease(&lock_);
}

TlsPool::Counts TlsPool::Snapshot() {
    Counts counts = {0, 0, 0};
    platform::LockAcquire(&lock_);
    for (const TlsServerRecord* record : servers_) {
        if (record == nullptr) continue;
        counts.tickets += record->tickets.Count();
        for (std::int32_t i = 0; i < record->connectionCount; ++i) {
            if (record->connections[i]->dead) continue;
            ++counts.connections;
            counts.inFlight += record->connections[i]->inFlight;
        }
    }
    platform::LockRelease(&lock_);
    return counts;
}

namespace {
std::atomic<TlsPool*> g_processPool{nullptr};  // set once by ProcessTlsPool's first call
}  // namespace

TlsPool& ProcessTlsPool() {
    alignas(TlsPool) static unsigned char storage[sizeof(TlsPool)];
    static TlsPool* pool = new (storage) TlsPool;
    g_processPool.store(pool, std::memory_order_release);
    return *pool;
}

void ReleaseProcessTlsPool() {
    // No thread can be in the pool at unload; at process exit one may, and then its connection
    // is left to the system. Nothing is sent: this may run as the process exits.
    TlsPool* pool = g_processPool.load(std::memory_order_acquire);
    if (pool != nullptr) pool->ReleaseAll(false);
}
