// The accounting call: the Accounting-Request's attributes built once, kept in the spool when the
// client has one, then sent through the call outline like a login, with the Identifier, port,
// reply code and reply-signing rule of accounting.
#include "login/accounting.h"

#include <atomic>
#include <cstring>
#include <new>

#include "api/call_outline.h"
#include "login/login.h"
#include "platform/platform.h"
#include "login/error_detail.h"
#include "qvrad.h"
#include "radius/accounting_request.h"
#include "radius/outcome_words.h"
#include "spool/spool_drain.h"
#include "spool/spool_file.h"

namespace {

// Identifiers drawn process-wide, a call's worth (one per server at most) at a time: two
// accounting calls in a row never open with the same Identifier, so a server's duplicate
// detection cannot take a Stop for the Interim before it (RFC 5080 section 2.2.2).
std::atomic<std::uint32_t> g_accountingIdentifiers{0};

struct AccountingCall {
    using Outcome = int;
    const qvrad_client& config;
    const std::uint8_t* area;
    std::uint16_t length;
    std::uint32_t waited;
    CRadPacket request{rad::kAccountingRequest};
    int status = QVRAD_E_INTERNAL;

    AccountingCall(const qvrad_client& c, const std::uint8_t* a, std::uint16_t n, std::uint32_t w)
        : config(c), area(a), length(n), waited(w) {}
    int Begin(CRadClient& client) {
        client.identifierCounter = static_cast<std::int32_t>(
            g_accountingIdentifiers.fetch_add(CRadClient::kMaxServers, std::memory_order_relaxed) &
            0xFF);
        request.SetIdentifier(client.NextIdentifier());
        return 0;
    }
    void Work(CRadClient& client) {
        client.timeoutMillis = config.timeoutMillis;
        client.observer = config.observer;
        client.strictChallenges = true;  // with the purpose: Accounting-Responses only
        client.purpose = RadiusPurpose::kAccounting;
        client.tlsPool = config.tlsPool;  // its accounting connections, apart from the logins'
        // Accounting-Responses are admitted on their Response Authenticator; a Message-
        // Authenticator in one is still verified (docs/security.md, accounting).
        client.replySigning = ReplySigning::kNever;
        for (std::int32_t i = 0; i < config.serverCount; ++i) {
            const ServerSpec& spec = config.servers[i];
            client.tlsSettings = &spec.tls;
            const std::int32_t seconds = (config.timeoutMillis + 999) / 1000;
            if (client.AddServer(spec.host, AccountingPort(spec), spec.secret, seconds) != 0) {
                status = QVRAD_E_MEMORY;
                return;
            }
            client.servers[i]->attempts = config.maxTransmissions;
        }
        if (LoadAccountingArea(request, area, length, config.nas, waited) != 0) {
            SetErrorDetail("the accounting record does not fit in a packet");
            status = QVRAD_E_ARGUMENT;
            return;
        }
        client.nasAddress = config.nas.address;
        const CRadPacket* reply = client.SendRequest(request);
        if (reply != nullptr) {
            status = QVRAD_OK;
            return;
        }
        bool anyAddress = false;
        for (std::int32_t i = 0; i < client.serverCount; ++i)
            anyAddress = anyAddress || client.servers[i]->address.Sendable();
        status = client.anySent || anyAddress ? QVRAD_E_TIMEOUT : QVRAD_E_RESOLVE;
        if (client.tlsFailed && client.sentCount == 0) status = QVRAD_E_TLS;
        // What each server did, in the words of a failed login.
        EntryLabel labels[CRadClient::kMaxServers];
        for (std::int32_t i = 0; i < client.serverCount; ++i)
            labels[i] = {i + 1, config.servers[i].host};
        DescribeOutcomes(client,
                         status == QVRAD_E_TIMEOUT   ? "no verified Accounting-Response in time: "
                         : status == QVRAD_E_RESOLVE ? "no server could be resolved or reached: "
                                                     : "RADIUS over TLS failed: ",
                         labels, ErrorDetailBuffer(), kErrorDetailSize);
    }
    int Finish(CallStart start) { return start == CallStart::kReady ? status : QVRAD_E_INTERNAL; }
};

int SendSpooled(void* context, const SpoolRecord& record, std::uint32_t waited) {
    return SendAccountingArea(*static_cast<const qvrad_client*>(context), record.area,
                              record.areaLength, waited);
}

// The client's spool folder, opened and checked for one call.
struct OpenSpool {
    platform::FolderHandle folder = platform::kInvalidFolder;
    ~OpenSpool() { platform::FolderClose(folder); }
    int Open(const qvrad_client& client) {
        const char* refused = OpenSpoolFolder(client.spoolDir, &folder);
        if (refused == nullptr) return QVRAD_OK;
        SetErrorDetail(refused);
        return QVRAD_E_SPOOL;
    }
};

void ReportRefused(const DrainReport& report) {
    if (report.refused != 0) SetErrorDetail(report.reason);
}

}  // namespace

int SendAccountingArea(const qvrad_client& client, const std::uint8_t* area, std::uint16_t length,
                       std::uint32_t waited) {
    return RunCall<AccountingCall>(client, area, length, waited);
}

int RunAccounting(const qvrad_client& client, const AccountingArguments& arguments) {
    const std::int64_t now = platform::UtcSeconds();
    CRadPacket built(rad::kAccountingRequest);
    const AccountingFields fields = {arguments.statusType, arguments.sessionId,
                                     arguments.user,       &client.nas,
                                     arguments.extra,      static_cast<std::uint32_t>(now)};
    if (BuildAccountingAttributes(built, fields) != 0) {
        SetErrorDetail("the attributes would make the request longer than 4096 octets");
        return QVRAD_E_ARGUMENT;
    }
    const std::uint8_t* area = built.octets + rad::kHeaderLength;
    const std::uint16_t length = AccountingAreaLength(built);
    if (client.spoolDir[0] == '\0') return SendAccountingArea(client, area, length, 0);

    // Kept before the first send: a host killed from here on loses nothing.
    OpenSpool spool;
    const int opened = spool.Open(client);
    if (opened != QVRAD_OK) return opened;
    std::uint8_t* record = new (std::nothrow) std::uint8_t[kSpoolMaxRecord];
    if (record == nullptr) return QVRAD_E_MEMORY;
    const std::size_t encoded = EncodeSpoolRecord(record, kSpoolMaxRecord, now, area, length);
    SpoolName name;
    platform::FileHandle locked = platform::kInvalidFile;
    const int written =
        encoded == 0 ? -1 : WriteSpoolRecord(spool.folder, record, encoded, &name, &locked);
    platform::SecureZero(record, kSpoolMaxRecord);
    delete[] record;
    if (written != 0) {
        SetErrorDetail(
            "the record could not be written to the spool folder (full, or not "
            "writable)");
        return QVRAD_E_SPOOL;
    }
    const int status = SendAccountingArea(client, area, length, 0);
    if (status != QVRAD_OK) {
        platform::FileClose(locked);  // kept for a later call or flush
        return status;
    }
    platform::FileRemoveLocked(spool.folder, locked, name.text);
    // The servers answer: what earlier calls left goes now, oldest first, a few per call.
    DrainReport report;
    DrainSpool(spool.folder, SendSpooled, const_cast<qvrad_client*>(&client), kDrainPerCall,
               platform::UtcSeconds(), &report);
    ReportRefused(report);
    return QVRAD_OK;
}

int FlushAccountingSpool(const qvrad_client& client, std::size_t* sent, std::size_t* left) {
    if (sent != nullptr) *sent = 0;
    if (left != nullptr) *left = 0;
    OpenSpool spool;
    const int opened = spool.Open(client);
    if (opened != QVRAD_OK) return opened;
    DrainReport report;
    if (DrainSpool(spool.folder, SendSpooled, const_cast<qvrad_client*>(&client),
                   static_cast<std::size_t>(-1), platform::UtcSeconds(), &report) != 0) {
        SetErrorDetail("the spool folder could not be listed");
        return QVRAD_E_SPOOL;
    }
    ReportRefused(report);
    if (sent != nullptr) *sent = report.sent;
    if (left != nullptr) *left = report.left;
    if (report.left == 0) return QVRAD_OK;
    return report.lastStatus != 0 ? report.lastStatus : QVRAD_E_TIMEOUT;
}
