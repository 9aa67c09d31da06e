// The body of auth: one whole authentication on the caller's thread, its text published in that
// thread's result buffer under the result lock, and the wipe at the call's one cleanup point.
#include "api/auth_call.h"

#include <cstring>

#include "api/call_outline.h"
#include "api/module.h"
#include "api/result.h"
#include "platform/platform.h"
#include "radius/access_request.h"
#include "radius/status_server.h"

namespace {

void WriteText(char* result, const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= kResultSize) n = kResultSize - 1;
    std::memcpy(result, text, n);
    result[n] = '\0';
}

// How many leading bytes of this thread's g_authResult may be non-zero; the rest are zero.
thread_local std::size_t g_resultExtent = 0;

// Leaves g_authResult as the text, its NUL and zeros up to kResultSize, as a copy of the whole
// zero-filled result buffer would, but writes only the text and the stale bytes of a longer
// earlier text (so no earlier user's Reply-Message lingers behind the NUL).
void PublishResult(const char* result) {
    const void* end = std::memchr(result, '\0', kResultSize);
    const std::size_t n = end != nullptr
                              ? static_cast<std::size_t>(static_cast<const char*>(end) - result) + 1
                              : kResultSize;
    std::memcpy(g_authResult, result, n);
    g_authResult[n - 1] = '\0';
    if (g_resultExtent > n) std::memset(g_authResult + n, 0, g_resultExtent - n);
    g_resultExtent = n;
}

// One auth call inside the outline: its request, secret and result text.
struct AuthCall {
    using Outcome = int;
    const AuthArguments& args;
    const ExchangeObserver* observer;
    CRadPacket request{rad::kAccessRequest};
    CRadSecret sharedSecret;
    CheckedArguments checked;  // filled by the checks; read only when they pass
    // Every path writes a NUL-terminated text; only that text is published.
    char result[kResultSize];

    AuthCall(const AuthArguments& a, const ExchangeObserver* o) : args(a), observer(o) {
        result[0] = '\0';
    }
    int Begin(CRadClient& client) {
        request.MakeRequestAuthenticator();
        request.SetIdentifier(client.NextIdentifier());
        return CheckAuthArguments(args, &checked);
    }
    void Work(CRadClient& client) {
        client.observer = observer;
        sharedSecret.Assign(args.secret, std::strlen(args.secret));
        const ServerList& list = checked.servers;
        for (std::int32_t i = 0; i < list.count; ++i)
            client.AddServer(list.text + list.entry[i], checked.port, sharedSecret,
                             checked.timeoutSeconds);
        const NasIdentity& nas = ProcessNasIdentity();
        const AccessRequestFields fields = {args.user, args.password, &nas};
        BuildAccessRequest(request, fields);
        client.nasAddress = nas.address;
        ReplyToResult(client.SendRequest(request), result, sizeof result);
    }
    int Finish(CallStart start) {
        if (start == CallStart::kInvalidInput) WriteText(result, kResultInvalidInput);
        if (start == CallStart::kWinsock) WriteText(result, kResultWinsock);
        if (start == CallStart::kClientStack) WriteText(result, kResultClientStack);
        CSingleLock lock(&g_authLock);
        if (lock.Lock(CSingleLock::kInfinite)) {
            PublishResult(result);
            lock.Unlock();
        } else {
            WriteText(g_authResult, kResultLockFail);
            g_resultExtent = kResultSize;
        }
        return 0;
    }
};

// One Status-Server probe inside the outline.
struct StatusCall {
    using Outcome = StatusOutcome;
    const AuthArguments& args;
    const ExchangeObserver* observer;
    CRadPacket request{rad::kStatusServer};
    CRadSecret sharedSecret;
    CheckedArguments checked = {};
    StatusOutcome outcome = StatusOutcome::kNoAnswer;

    StatusCall(const AuthArguments& a, const ExchangeObserver* o) : args(a), observer(o) {}
    int Begin(CRadClient& client) {
        request.MakeRequestAuthenticator();
        request.SetIdentifier(client.NextIdentifier());
        return CheckStatusArguments(args, &checked);
    }
    void Work(CRadClient& client) {
        client.observer = observer;
        sharedSecret.Assign(args.secret, std::strlen(args.secret));
        // The Response Authenticator already proves the reply came from a holder of the secret,
        // and a forged "alive" gains an attacker nothing: a verified reply counts without a
        // Message-Authenticator (the caller warns), unless the process requires one.
        client.replySigning = ProcessReplySigning() == ReplySigning::kRequire
                                  ? ReplySigning::kRequire
                                  : ReplySigning::kNever;
        // As in auth, an entry that cannot be added leaves nothing to send to.
        if (BuildStatusServer(request) != 0 ||
            client.AddServer(args.server, checked.port, sharedSecret, checked.timeoutSeconds) != 0)
            return;
        // RFC 5997 section 4.1: a Status-Server is never retransmitted; one datagram, then the
        // wait until the deadline.
        client.servers[0]->attempts = 1;
        const CRadPacket* reply = client.SendRequest(request);
        if (reply == nullptr) return;
        if (!StatusReplyAlive(*reply))
            outcome = StatusOutcome::kOtherCode;
        else
            outcome = client.replySigned ? StatusOutcome::kAlive : StatusOutcome::kAliveUnsigned;
    }
    StatusOutcome Finish(CallStart start) {
        switch (start) {
            case CallStart::kInvalidInput:
                return StatusOutcome::kInvalidInput;
            case CallStart::kWinsock:
                return StatusOutcome::kWinsock;
            case CallStart::kClientStack:
                return StatusOutcome::kClientStack;
            case CallStart::kReady:
                break;
        }
        return outcome;
    }
};

}  // namespace

const char* RunAuth(const AuthArguments& args, const ExchangeObserver* observer) {
    RunCall<AuthCall>(args, observer);
    return g_authResult;
}

StatusOutcome RunStatus(const AuthArguments& args, const ExchangeObserver* observer) {
    return RunCall<StatusCall>(args, observer);
}
