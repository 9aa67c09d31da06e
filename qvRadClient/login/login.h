// One login of the structured interface: the request it sends (through the one exchange auth
// uses), the verified reply it keeps, and what answering its Access-Challenge needs.
#pragma once

#include <cstdint>

#include "api/call_outline.h"
#include "login/client_config.h"
#include "login/error_detail.h"
#include "login/reply_view.h"
#include "radius/client.h"
#include "radius/packet.h"
#include "radius/request_attributes.h"

struct qvrad_login {
    const qvrad_client* client = nullptr;
    // The request's attributes but the password: its User-Name (kept for the answers).
    char user[rad::kMaxTextLength + 1] = {};
    // The server that sent the reply: its place in the client's list and its address as resolved
    // for this login, so that an answer reaches that server and no other.
    std::int32_t server = -1;
    CRadAddress address;
    std::int32_t challenges = 0;   // Access-Challenges handed to the caller so far
    std::int32_t identifiers = 0;  // the Identifier counter, carried from request to request
    CRadPacket reply{0};           // the verified reply; Code 0 while there is none
    ReplyView view;
    bool challenged = false;  // waiting for an answer
    // The challenge's State (RFC 2865 section 5.24), copied: the view's points into reply, which
    // the answer's reply overwrites.
    std::uint8_t state[rad::kMaxTextLength] = {};
    std::uint16_t stateLength = 0;
    bool hasState = false;

    // The caller's own attributes (a copy), sent with the login's request and its answers; null
    // for none.
    RequestAttributes* extra = nullptr;

    qvrad_login() = default;
    ~qvrad_login() {
        delete extra;
        FreeReplyView(&view);
    }
    qvrad_login(const qvrad_login&) = delete;
    qvrad_login& operator=(const qvrad_login&) = delete;
};

// Sends login's request with password (the caller checked both) and keeps what comes back:
// to every server of the client in turn, or, for an answer (answer true), only to the server
// that challenged, with its State. A QVRAD_* status; on any but QVRAD_OK the login holds no reply
// and is not challenged.
int RunLogin(qvrad_login& login, const char* password, bool answer);
