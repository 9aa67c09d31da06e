// One kept RADIUS over TLS connection shared by the threads of its pool: its session, a slot per
// Identifier for the requests in flight on it, and the flags that hand reading and writing around.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "radius/packet.h"
#include "tls/tls_session.h"

struct TlsServerRecord;

// A thread waiting for its reply on a connection; lives on that thread's stack while its slot is
// held. Every field but cond is read and written under the pool's lock.
struct TlsWaiter {
    platform::CondStorage cond;   // signalled for this thread alone (reply, turn to read, end)
    CRadPacket* reply = nullptr;  // the verified reply goes here (and, until then, scratch)
    // An extra check of a reply that verified (a malformed Access-Challenge); null for none.
    bool (*rejects)(const void* context, const CRadPacket& reply) = nullptr;
    const void* rejectsContext = nullptr;
    bool waiting = false;  // registered in its slot and not yet done
    bool done = false;     // a reply verified: reply holds it, received octets long
    bool signedReply = false;
    std::int32_t received = 0;
    // Replies to this slot that did not verify, and the first reason (RFC 2865 section 4: they
    // are discarded and the connection kept).
    std::int32_t discarded = 0;
    ReplyCheck firstDiscard = ReplyCheck::kVerified;

    TlsWaiter() { platform::CondInit(&cond); }
    ~TlsWaiter() { platform::CondDestroy(&cond); }
    TlsWaiter(const TlsWaiter&) = delete;
    TlsWaiter& operator=(const TlsWaiter&) = delete;
};

// A request in flight: who waits for it and the Request Authenticator its reply must answer.
struct TlsSlot {
    bool held = false;  // taken by a lease (its waiter registers when the request goes out)
    TlsWaiter* waiter = nullptr;
    std::uint8_t authenticator[rad::kAuthenticatorLength] = {};
};

struct TlsConnection {
    // Identifier 0 is kept for the watchdog's Status-Server (draft-ietf-radext-radiusdtls-bis
    // recommends it); requests take 1 to 255.
    static constexpr int kIdentifiers = 256;
    static constexpr int kWatchdogIdentifier = 0;
    static constexpr int kMaxInFlight = kIdentifiers - 1;

    CRadTlsSession session;  // used under the pool's lock only, and never while another writes
    TlsServerRecord* server = nullptr;
    TlsSlot slots[kIdentifiers];
    std::int32_t inFlight = 0;  // slots 1..255 held
    std::int32_t waiting = 0;   // of them, with a request sent and a waiter registered
    std::int32_t users = 0;     // threads holding the connection (a slot, or opening it)
    std::uint8_t nextIdentifier = 1;
    bool leading = false;  // a thread reads for everyone (leader/follower)
    bool writing = false;  // a thread waits for the socket to take the rest of its record
    bool dead = false;     // closed, failed or silent: no new request, its waiters retry elsewhere
    bool resumed = false;  // its handshake resumed a session from a ticket
    std::int64_t openedMillis = 0;
    std::int64_t lastUsedMillis = 0;  // a request finished on it: for the idle close
    // The watchdog (RFC 5997, the bis document): since when nothing arrived while requests
    // waited, and the Status-Server sent about it.
    std::int64_t quietSinceMillis = 0;
    bool watchdogPending = false;
    std::int64_t watchdogSentMillis = 0;
    std::uint8_t watchdogAuthenticator[rad::kAuthenticatorLength] = {};
    // Replies' checks: the shared secret of RADIUS over TLS and its HMAC key.
    CRadSecret secret;
    CRadHmacKey hmacKey;
    std::int32_t strays = 0;           // packets for no request in flight (late replies), discarded
    char reason[kTlsReasonSize] = {};  // why it died
    CRadPacket inbound{0};             // the packet the reader just took, checked here

    TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // A free Identifier (1..255), rotating so that a just-released one is reused last: a late
    // reply to it then meets another request's authenticator and is discarded. -1 when full.
    int TakeIdentifier();
    // Marks it dead with the reason and wakes every waiter on it.
    void Die(const char* why);
    // Checks a packet the reader took against the slot its Identifier names and hands a verified
    // reply to its waiter; anything else is counted and discarded.
    void Dispatch(std::uint16_t length);
    // Registers and unregisters a waiter in its slot.
    void Register(int identifier, TlsWaiter& waiter, const std::uint8_t* authenticator,
                  std::int64_t nowMillis);
    void Unregister(int identifier, TlsWaiter& waiter);
    // Signals one waiter to read for everyone when no thread does.
    void HandOff();
};
