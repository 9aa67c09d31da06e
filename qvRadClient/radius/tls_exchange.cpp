// A tls:// entry's share of the exchange (RFC 6614, RFC 6613 framing): a kept connection from the
// call's pool, one transmission per connection (the transport is reliable), the reply once it
// verifies; a connection that breaks first gets the request once more on a fresh one.
#include <cstring>

#include "radius/client.h"

void CRadServer::UseTls(const char* hostAsWritten, const TlsSettings* settings) {
    overTls = true;
    tlsHost = hostAsWritten;
    tlsSettings = settings;
    // RFC 6614 section 2.3: the shared secret over TLS is "radsec"; the caller's secret serves
    // the UDP entries of a list, and here only to refuse a PSK equal to it (RFC 9813 4.1.3).
    udpSecret.emplace(sharedSecret);
    sharedSecret.Assign(rad::kTlsSecret, sizeof rad::kTlsSecret - 1);
}

TlsServerKey CRadServer::TlsKey() const {
    TlsServerKey key;
    key.ip = address.ip;
    key.port = address.udpPort;
    key.purpose = owner->purpose;
    key.host = tlsHost != nullptr ? tlsHost : "";
    key.settings = tlsSettings;
    return key;
}

namespace {

TlsPool& PoolOf(const CRadClient& client) {
    return client.tlsPool != nullptr ? *client.tlsPool : ProcessTlsPool();
}

// A reply that verified but that the call must not take (an Access-Challenge with more than one
// State, RFC 2865 section 5.44), judged as the UDP path judges it.
bool RejectsReply(const void* context, const CRadPacket& reply) {
    return static_cast<const CRadClient*>(context)->MalformedChallenge(reply);
}

}  // namespace

bool CRadServer::UsableOverTls() const {
    const char* reason = nullptr;
    if (!address.Sendable() || !TlsBuiltIn() || tlsSettings == nullptr ||
        CheckTlsSettings(*tlsSettings, &reason) == TlsMode::kIncomplete)
        return false;
    // A server whose connections failed is not hammered: skipped while it backs off.
    return PoolOf(*owner).MayTry(TlsKey(), nullptr, 0);
}

CRadPacket* CRadServer::ExchangeTls(CRadPacket& request, std::int64_t shareEnd,
                                    ExchangeMoment& moment) {
    const ExchangeObserver* observer = owner->observer;
    TlsPool& pool = PoolOf(*owner);
    const auto fail = [this](const char* reason) {
        owner->tlsFailed = true;
        if (reason == nullptr || reason[0] == '\0')
            reason = "no reply on the connection verified within the server's share of the time";
        CopyReason(owner->tlsReason, sizeof owner->tlsReason, reason);
        NoteTlsFailure(reason);
    };
    // Settings that make no mode, no address, or a server backing off after failed
    // connections: nothing is opened and no time is spent.
    if (!Usable()) {
        if (observer != nullptr) observer->requestSent(observer->context, request, moment, false);
        char why[kTlsReasonSize] = "";
        if (address.Sendable() && tlsSettings != nullptr && !pool.MayTry(TlsKey(), why, sizeof why))
            fail(why);
        return nullptr;
    }
    owner->usedTls = true;
    const TlsServerKey key = TlsKey();
    // draft-ietf-radext-radiusdtls-bis: a request is never retransmitted on a connection; one
    // whose connection broke before its reply is sent once more on a new connection, within the
    // share. A request that never went out whole (the server had closed the connection before it
    // could be written) was not sent: it goes on another connection without counting, a few
    // times at most.
    int transmissions = 0;
    for (int tries = 0; tries < 4 && transmissions < 2; ++tries) {
        TlsLease lease;
        TlsConnection* refused = nullptr;
        char why[kTlsReasonSize] = "";
        if (pool.Acquire(key, udpSecret->octets, udpSecret->length, shareEnd, &lease, &refused, why,
                         sizeof why) != 0) {
            if (refused != nullptr && observer != nullptr && observer->tlsConnection != nullptr) {
                moment.tlsUse = TlsUse::kNew;
                observer->tlsConnection(observer->context, refused->session, false, moment);
            }
            delete refused;  // closed already; its description goes with it
            fail(why);
            return nullptr;
        }
        moment.tlsUse = lease.use;
        if (observer != nullptr && observer->tlsConnection != nullptr)
            observer->tlsConnection(observer->context, lease.connection->session, true, moment);
        // A new request on each connection: its own Identifier there, a fresh Request
        // Authenticator, prepared for the secret of RADIUS over TLS.
        request.MakeRequestAuthenticator();
        request.SetIdentifier(static_cast<std::uint8_t>(lease.identifier));
        platform::IpAddress nasScratch;
        const platform::IpAddress* nas =
            request.nasAddressOffset != 0 ? owner->NasAddressToward(address, &nasScratch) : nullptr;
        request.PrepareForServer(sharedSecret, nas, &hmacKey);
        // The form the request now carries, as the UDP path records it: a UDP entry after this
        // one sees another transport and makes a new request of its own.
        RequestForm& form = owner->current;
        form.sent.identifier = request.Identifier();
        std::memcpy(form.sent.authenticator, request.octets + rad::kAuthenticatorOffset,
                    rad::kAuthenticatorLength);
        form.sent.secret = &sharedSecret;
        form.sent.hmacKey = &hmacKey;
        form.nasPresent = nas != nullptr;
        form.nas = nas != nullptr ? *nas : platform::IpAddress();
        form.overTls = true;
        owner->currentValid = true;
        owner->currentIndex = -1;

        TlsWaiter waiter;
        waiter.reply = &reply;
        waiter.rejects = RejectsReply;
        waiter.rejectsContext = owner;
        const int sent = pool.Send(lease, request, waiter, shareEnd, why, sizeof why);
        // anySent is left alone: it stands for a datagram that went out, whose reply the call
        // awaits on its UDP sockets until the deadline after the last share. A reply to this
        // request can only come over this connection.
        if (observer != nullptr) {
            moment.transmission = transmissions + (sent == 0 ? 1 : 0);
            moment.elapsedMillis = platform::MonotonicMillis() - owner->firstTransmission;
            observer->requestSent(observer->context, request, moment, sent == 0);
        }
        if (sent == 0) ++transmissions;
        outcome.transmissions = static_cast<std::uint16_t>(transmissions);
        const TlsWait waited = sent == 0    ? pool.Await(lease, waiter, shareEnd, why, sizeof why)
                                : sent == -1 ? TlsWait::kBroken
                                             : TlsWait::kTimeout;
        // What the connection's reader discarded for this request (RFC 2865 section 4).
        for (std::int32_t i = 0; i < waiter.discarded; ++i) NoteDiscarded(waiter.firstDiscard);
        // A connection that broke (a close or an alert after the handshake, a TLS 1.3 server's
        // refusal of this client's certificate among them) is told as a failed connection, so
        // that a request shown as sent does not read as one the server took. Once broken, no
        // thread touches its session again, which this thread still holds.
        if (waited == TlsWait::kBroken && observer != nullptr &&
            observer->tlsConnection != nullptr &&
            lease.connection->session.Failure() != TlsFailure::kNone)
            observer->tlsConnection(observer->context, lease.connection->session, false, moment);
        pool.Release(lease);
        if (waited == TlsWait::kReply) {
            // Replies' checks: the authenticators, a Message-Authenticator when one is present,
            // the Proxy-State rule. A server's signing habit is not judged over TLS (the
            // connection authenticates it), and nothing is learned from it.
            if (observer != nullptr) {
                moment.elapsedMillis = platform::MonotonicMillis() - owner->firstTransmission;
                observer->datagramReceived(observer->context, request, reply, waiter.received,
                                           ReplyCheck::kVerified, moment);
            }
            owner->replyServer = moment.serverIndex;
            owner->replySigned = waiter.signedReply;
            owner->replyOverTls = true;
            return &reply;
        }
        if (waited == TlsWait::kTimeout) {
            if (why[0] == '\0' && waiter.discarded != 0)
                CopyReason(why, sizeof why,
                           "replies on the connection were discarded: none verified within the "
                           "server's share of the time");
            fail(why);
            return nullptr;
        }
        fail(why);  // broken: once more on a fresh connection, if the share allows
    }
    return nullptr;
}
