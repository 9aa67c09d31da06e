// The body of auth: one whole authentication on the caller's thread, its text published in that
// thread's result buffer under the result lock, and the wipe at the call's one cleanup point.
#include "api/auth_call.h"

#include <cstring>

#include "api/module.h"
#include "api/result.h"
#include "platform/platform.h"
#include "radius/status_server.h"

namespace {

void WriteText(char* result, const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= kResultSize) n = kResultSize - 1;
    std::memcpy(result, text, n);
    result[n] = '\0';
}

// The one cleanup point, after every object of the call has wiped itself. The MD5 rounds and
// HMAC pads ran in frames below auth's own, and words they spilled there (message words of the
// secret and the password, the key XOR ipad and opad) outlive them: one wipe of the stack below
// auth's frame, deeper than those frames reach, removes them. They lie within 2 KiB of it
// (tests/hardening/hygiene_test.cpp measures it in every build, ASan's larger frames included);
// the call graph below auth is the library's own, without recursion or variable-size frames, so
// a fixed bound holds. The C library's string functions and vectorised loops also leave those
// bytes in the vector registers, which the next signal or lazy binding would store in the
// host's stack: they are zeroed too.
__attribute__((noinline)) void WipeAfterCall() {
    unsigned char below[4096];
    platform::SecureZero(below, sizeof below);
    platform::ClearVectorRegisters();
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

}  // namespace

const char* RunAuth(const AuthArguments& args, const ExchangeObserver* observer) {
    {
        // The client comes first and relies on the socket start made at load.
        CRadClient client;
        CRadPacket request(rad::kAccessRequest);
        request.MakeRequestAuthenticator();
        request.SetIdentifier(client.NextIdentifier());

        // Every path below writes a NUL-terminated text; only that text is published.
        char result[kResultSize];
        result[0] = '\0';
        CRadAttrCursor cursor;
        CRadSecret sharedSecret;

        CheckedArguments checked;  // filled by the checks; read only when they pass
        std::uint16_t granted = 0;
        if (CheckAuthArguments(args, &checked) != 0) {
            WriteText(result, kResultInvalidInput);
        } else if (platform::SocketLayerStart(platform::kSocketVersion20, &granted) != 0) {
            WriteText(result, kResultWinsock);
        } else {
            if (!client.ready) {
                WriteText(result, kResultClientStack);
            } else {
                client.observer = observer;
                sharedSecret.Assign(args.secret, std::strlen(args.secret));
                const ServerList& list = checked.servers;
                for (std::int32_t i = 0; i < list.count; ++i)
                    client.AddServer(list.text + list.entry[i], checked.port, sharedSecret,
                                     checked.timeoutSeconds);
                // RFC 3579 section 3.2 / CVE-2024-3596: the Message-Authenticator goes first.
                request.BeginAttribute(rad::kMessageAuthenticator, cursor);
                cursor.AppendMessageAuthenticator();
                request.BeginAttribute(rad::kUserName, cursor);
                cursor.AppendText(args.user);
                request.BeginAttribute(rad::kUserPassword, cursor);
                cursor.AppendPassword(args.password);
                // RFC 2865 section 4.1: the request names its NAS. The identifier is the same
                // for every server; the address, where there is one, comes last, decided per
                // server by the exchange (its own family and route under auto).
                const NasIdentity& nas = ProcessNasIdentity();
                if (nas.identifierLength != 0) {
                    request.BeginAttribute(rad::kNasIdentifier, cursor);
                    cursor.AppendText(nas.identifier);
                }
                if (nas.address.mode != NasAddressMode::kNone) {
                    request.nasAddressOffset = request.Length();
                    client.nasAddress = nas.address;
                }
                ReplyToResult(client.SendRequest(request), result, sizeof result);
            }
            platform::SocketLayerEnd();
        }

        {
            CSingleLock lock(&g_authLock);
            if (lock.Lock(CSingleLock::kInfinite)) {
                PublishResult(result);
                lock.Unlock();
            } else {
                WriteText(g_authResult, kResultLockFail);
                g_resultExtent = kResultSize;
            }
        }
    }  // the client, the request and the secret record wipe themselves here (server entries,
       // saved password, secret copies); the result text holds neither
    WipeAfterCall();
    return g_authResult;
}

StatusOutcome RunStatus(const AuthArguments& args, const ExchangeObserver* observer) {
    StatusOutcome outcome = StatusOutcome::kNoAnswer;
    {
        CRadClient client;
        CRadPacket request(rad::kStatusServer);
        request.MakeRequestAuthenticator();
        request.SetIdentifier(client.NextIdentifier());
        CRadSecret sharedSecret;
        CheckedArguments checked = {};
        std::uint16_t granted = 0;
        if (CheckStatusArguments(args, &checked) != 0) {
            outcome = StatusOutcome::kInvalidInput;
        } else if (platform::SocketLayerStart(platform::kSocketVersion20, &granted) != 0) {
            outcome = StatusOutcome::kWinsock;
        } else {
            if (!client.ready) {
                outcome = StatusOutcome::kClientStack;
            } else {
                client.observer = observer;
                sharedSecret.Assign(args.secret, std::strlen(args.secret));
                // A probe's answer proves nothing unless signed: a reply without a valid
                // Message-Authenticator is discarded, whatever the process's setting.
                client.replySigning = ReplySigning::kRequire;
                // As in auth, an entry that cannot be added leaves nothing to send to.
                if (BuildStatusServer(request) == 0 &&
                    client.AddServer(args.server, checked.port, sharedSecret,
                                     checked.timeoutSeconds) == 0) {
                    // RFC 5997 section 4.1: a Status-Server is never retransmitted; one
                    // datagram, then the wait until the deadline.
                    client.servers[0]->attempts = 1;
                    const CRadPacket* reply = client.SendRequest(request);
                    if (reply != nullptr)
                        outcome = StatusReplyAlive(*reply) ? StatusOutcome::kAlive
                                                           : StatusOutcome::kOtherCode;
                }
            }
            platform::SocketLayerEnd();
        }
    }  // the client and the secret record wipe themselves here
    WipeAfterCall();
    return outcome;
}
