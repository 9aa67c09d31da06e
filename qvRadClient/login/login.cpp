// A structured login or answer: one call of the library's outline (checks, socket start, the
// exchange, the wipe), then the reply kept in the login and its view built.
#include "login/login.h"

#include <cstring>

#include "api/arguments.h"
#include "api/call_outline.h"
#include "qvrad.h"
#include "radius/access_request.h"
#include "radius/detail_text.h"
#include "radius/outcome_words.h"

ReplySigning SigningOf(const ServerSpec& server) {
    switch (server.signing) {
        case QVRAD_REQUIRE_AUTO:
            return ReplySigning::kLearn;
        case QVRAD_REQUIRE_YES:
            return ReplySigning::kRequire;
        case QVRAD_REQUIRE_NO:
            return ReplySigning::kNever;
        default:
            return ProcessReplySigning();
    }
}

namespace {

struct LoginCall {
    using Outcome = int;
    qvrad_login& login;
    const char* password;
    bool answer;
    CRadPacket request{rad::kAccessRequest};
    int status = QVRAD_E_INTERNAL;

    LoginCall(qvrad_login& l, const char* p, bool a) : login(l), password(p), answer(a) {}
    int Begin(CRadClient& client) {
        // An answer goes out with the next Identifier after the login's last request.
        client.identifierCounter = login.identifiers;
        request.MakeRequestAuthenticator();
        request.SetIdentifier(client.NextIdentifier());
        return 0;  // the exports checked the arguments
    }
    void Work(CRadClient& client) {
        const qvrad_client& config = *login.client;
        client.timeoutMillis = config.timeoutMillis;
        client.observer = config.observer;
        client.network = config.network;  // before any entry resolves its host
        client.strictChallenges = true;
        client.tlsPool = config.tlsPool;
        // The client's entries, and for each the place of its server in the configuration.
        std::int32_t place[CRadClient::kMaxServers];
        const std::int32_t first = answer ? login.server : 0;
        const std::int32_t count = answer ? 1 : config.serverCount;
        for (std::int32_t i = 0; i < count; ++i) {
            const ServerSpec& spec = config.servers[first + i];
            client.replySigning = SigningOf(spec);
            client.tlsSettings = &spec.tls;
            const std::int32_t seconds = (config.timeoutMillis + 999) / 1000;
            const int added = answer ? client.AddResolvedServer(login.address, spec.secret, seconds)
                                     : client.AddServer(spec.host, spec.port, spec.secret, seconds);
            if (added != 0) {
                status = Refuse("login", "no memory for a server entry", QVRAD_E_MEMORY);
                return;
            }
            client.servers[i]->attempts = config.maxTransmissions;
            // The answer goes to the server that challenged, over a kept connection to it.
            if (answer && spec.overTls)
                client.servers[i]->UseTls(spec.host + sizeof kTlsScheme - 1, &spec.tls);
            place[i] = first + i;
        }
        AccessRequestFields fields = {login.user, password, &config.nas};
        if (answer && login.hasState) {
            // RFC 2865 section 4.4 and 5.24: the State of the challenge, byte for byte.
            fields.state = login.state;
            fields.stateLength = login.stateLength;
        }
        if (BuildAccessRequest(request, fields) != 0 ||
            (login.extra != nullptr && AppendCallerAttributes(request, *login.extra) != 0)) {
            status = Refuse("login", "the request with its attributes does not fit in 4096 octets");
            return;
        }
        client.nasAddress = config.nas.address;
        const CRadPacket* reply = client.SendRequest(request);
        login.identifiers = client.identifierCounter;
        if (reply == nullptr) {
            bool anyAddress = false;
            for (std::int32_t i = 0; i < client.serverCount; ++i)
                anyAddress = anyAddress || client.servers[i]->address.Sendable();
            status = client.anySent || anyAddress ? QVRAD_E_TIMEOUT : QVRAD_E_RESOLVE;
            // Every request that could go went over TLS, and a TLS entry failed.
            if (client.tlsFailed && client.sentCount == 0) status = QVRAD_E_TLS;
            DescribeFailure(client, place);
            return;
        }
        const std::int32_t entry = client.replyServer >= 0 ? client.replyServer : 0;
        std::memcpy(login.reply.octets, reply->octets, reply->Length());
        login.server = place[entry];
        login.address = client.servers[entry]->address;
        status = QVRAD_OK;
    }
    int Finish(CallStart start) {
        if (start == CallStart::kReady) return status;
        return Refuse("login",
                      start == CallStart::kWinsock
                          ? "the socket layer could not be started (WSAStartup)"
                          : "no UDP socket could be had (no descriptors left?)",
                      QVRAD_E_INTERNAL);
    }

    // The detail of an exchange without a verified reply: what each entry came to, each named
    // by its place in the client's list and its host as added.
    void DescribeFailure(const CRadClient& client, const std::int32_t* place) const {
        const qvrad_client& config = *login.client;
        EntryLabel labels[CRadClient::kMaxServers];
        for (std::int32_t i = 0; i < client.serverCount; ++i)
            labels[i] = {place[i] + 1, config.servers[place[i]].host};
        char lead[96];
        DetailText text(lead, sizeof lead);
        if (status == QVRAD_E_TIMEOUT) {
            text.Text("no verified reply within ").Number(config.timeoutMillis / 1000);
            if (config.timeoutMillis % 1000 != 0)
                text.Text(".").Number(config.timeoutMillis % 1000 / 100);
            text.Text(" s: ");
        } else if (status == QVRAD_E_RESOLVE) {
            text.Text("no server could be resolved or reached: ");
        } else {
            text.Text("RADIUS over TLS failed: ");
        }
        DescribeOutcomes(client, lead, labels, ErrorDetailBuffer(), kErrorDetailSize);
    }
};

}  // namespace

int RunLogin(qvrad_login& login, const char* password, bool answer) {
    FreeReplyView(&login.view);
    login.reply.SetLength(rad::kHeaderLength);
    login.reply.octets[0] = 0;
    login.challenged = false;
    int status = RunCall<LoginCall>(login, password, answer);
    if (status == QVRAD_OK && BuildReplyView(login.reply, &login.view) != 0)
        status = Refuse("login", "no memory for the reply's attributes", QVRAD_E_MEMORY);
    if (status == QVRAD_OK && login.view.code == rad::kAccessChallenge) {
        if (++login.challenges > login.client->maxChallenges) {
            DetailText(ErrorDetailBuffer(), kErrorDetailSize)
                .Text("the server sent Access-Challenge number ")
                .Number(static_cast<std::uint32_t>(login.challenges))
                .Text("; QVRAD_OPT_MAX_CHALLENGES allows ")
                .Number(static_cast<std::uint32_t>(login.client->maxChallenges));
            status = QVRAD_E_TOO_MANY_CHALLENGES;
        } else {
            login.challenged = true;
            login.hasState = login.view.state != nullptr;
            login.stateLength = login.hasState ? login.view.stateLength : 0;
            if (login.hasState) std::memcpy(login.state, login.view.state, login.stateLength);
        }
    }
    if (status != QVRAD_OK) {
        FreeReplyView(&login.view);
        login.reply.octets[0] = 0;
        login.challenged = false;
    }
    return status;
}
