// A tls:// entry's share of the exchange (RFC 6614, RFC 6613 framing): one connection, one
// transmission (the transport is reliable), and the first reply on it that verifies.
#include <new>

#include "radius/client.h"

void CRadServer::UseTls(const char* hostAsWritten, const TlsSettings* settings) {
    overTls = true;
    tlsHost = hostAsWritten;
    tlsSettings = settings;
    // RFC 6614 section 2.3: the shared secret over TLS is "radsec"; the caller's secret serves
    // the UDP entries of a list, and here only to refuse a PSK equal to it (RFC 9813 4.1.3).
    udpSecret.emplace(sharedSecret);
    sharedSecret.Assign(kRadiusTlsSecret, sizeof kRadiusTlsSecret - 1);
}

bool CRadServer::UsableOverTls() const {
    const char* reason = nullptr;
    return address.Sendable() && TlsBuiltIn() && tlsSettings != nullptr &&
           CheckTlsSettings(*tlsSettings, &reason) != TlsMode::kIncomplete;
}

CRadPacket* CRadServer::ExchangeTls(CRadPacket& request, std::int64_t shareEnd,
                                    ExchangeMoment& moment) {
    const ExchangeObserver* observer = owner->observer;
    // Settings that make no mode, or no address: nothing is opened and no time is spent.
    if (!Usable() && (session == nullptr || !session->IsOpen())) {
        if (observer != nullptr) observer->requestSent(observer->context, request, moment, false);
        if (!address.Sendable()) return nullptr;
    }
    owner->usedTls = true;
    const auto fail = [this](const CRadTlsSession& failed) {
        owner->tlsFailed = true;
        const char* reason = failed.FailureReason();
        if (reason == nullptr || reason[0] == '\0')
            reason = "no reply on the connection verified within the server's share of the time";
        CopyReason(owner->tlsReason, sizeof owner->tlsReason, reason);
        NoteTlsFailure(reason);
    };
    // A challenge's answer goes over the connection its challenge came on; anything else opens
    // one: TCP connect and handshake inside the share.
    if (session == nullptr || !session->IsOpen()) {
        delete session;
        session = new (std::nothrow) CRadTlsSession;
        if (session == nullptr) return nullptr;
        const int opened =
            session->Open(address.ip, address.udpPort, tlsHost, *tlsSettings, *udpSecret, shareEnd);
        if (observer != nullptr && observer->tlsConnection != nullptr)
            observer->tlsConnection(observer->context, *session, opened == 0, moment);
        if (opened != 0) {
            fail(*session);
            delete session;
            session = nullptr;
            return nullptr;
        }
    }
    platform::IpAddress nasScratch;
    owner->PrepareRequestFor(
        *this, request,
        request.nasAddressOffset != 0 ? owner->NasAddressToward(address, &nasScratch) : nullptr);
    const SentRequest form = owner->current.sent;
    const bool sent = session->Send(request.octets, request.Length(), shareEnd) >= 0;
    outcome.transmissions = sent ? 1 : 0;
    // anySent is left alone: it stands for a datagram that went out, whose reply the call awaits
    // on its UDP sockets until the deadline after the last share. A reply to this request can
    // only come over this connection, which ends with the share.
    if (observer != nullptr) {
        moment.transmission = 1;
        moment.elapsedMillis = platform::MonotonicMillis() - owner->firstTransmission;
        observer->requestSent(observer->context, request, moment, sent);
    }
    // Replies on the connection until one verifies: the authenticators, a Message-Authenticator
    // when one is present, the Proxy-State rule. A server's signing habit is not judged over TLS
    // (the connection authenticates it), and nothing is learned from it.
    for (int received = sent ? 1 : -1; received > 0;) {
        received = session->Receive(reply.octets, rad::kMaxPacketLength, shareEnd);
        if (received <= 0) break;
        bool signedReply = false;
        ReplyCheck verdict =
            reply.CheckResponseTo(form.identifier, form.authenticator, form.secret,
                                  static_cast<std::uint16_t>(received), &signedReply, form.hmacKey);
        if (verdict == ReplyCheck::kVerified && owner->MalformedChallenge(reply))
            verdict = ReplyCheck::kMalformed;
        if (observer != nullptr) {
            moment.elapsedMillis = platform::MonotonicMillis() - owner->firstTransmission;
            observer->datagramReceived(observer->context, request, reply, received, verdict,
                                       moment);
        }
        if (verdict == ReplyCheck::kVerified) {
            owner->replyServer = moment.serverIndex;
            owner->replySigned = signedReply;
            owner->replyOverTls = true;
            return &reply;
        }
        NoteDiscarded(verdict);
    }
    // A connection that broke (a close or an alert after the handshake, a TLS 1.3 server's
    // refusal of this client's certificate among them) is told as a failed connection, so that
    // a request shown as sent does not read as one the server took.
    if (observer != nullptr && observer->tlsConnection != nullptr &&
        session->Failure() != TlsFailure::kNone)
        observer->tlsConnection(observer->context, *session, false, moment);
    fail(*session);
    delete session;  // close_notify; the next entry, if any, has the rest of the time
    session = nullptr;
    return nullptr;
}
