// The module's process-wide objects, in their construction order, and its load-time work: read
// the reply-signing setting, start the socket layer once, asking for version 1.1 and nothing else,
// then read the NAS identification and the host name it defaults to.
#include "api/module.h"

#include "platform/platform.h"
#include "radius/nas_identity.h"
#include "radius/reply_signing.h"
#include "radius/tls_pool.h"
#include "tls/tls_library.h"
#include "tls/tls_settings.h"

const char kBanner[] = "Quorvel SDK for Win32 ver 1.1.0.2";

CqvRadClientApp::CqvRadClientApp() : CWinApp(nullptr) {}

// At unload no call can run: auth's kept TLS connections are closed (without a record sent, and
// without waiting for any thread), then PSA's key store and the TLS locks go, if TLS ever
// started. At process exit on Windows nothing is touched: the other threads were ended wherever
// they were, perhaps holding a lock, and the system closes the sockets.
CqvRadClientApp::~CqvRadClientApp() {
    if (platform::ProcessExiting()) return;
    ReleaseProcessTlsPool();
    TlsLibraryRelease();
}

bool StartSocketsAtLoad(const SocketStartOps& ops) {
    std::uint16_t granted = 0;
    if (ops.start(platform::kSocketVersion11, &granted) != 0) return false;
    if (granted != platform::kSocketVersion11) {
        ops.end();
        platform::SetSocketError(platform::kErrorVersionNotSupported);
        return false;
    }
    // This start stays in effect until the process ends: sockets of every later call rely on it.
    return true;
}

namespace {

// QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR into the process's reply-signing setting; part of
// InitInstance, so it runs once at load (at process attach in a DLL).
void ReadReplySigningAtLoad() {
    // Longer than any word the setting knows: a value that does not fit is cut, and so is no
    // word it knows, which requires the attribute, as every unknown value does.
    char value[16];
    const int length =
        platform::ReadEnvironment("QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR", value, sizeof value);
    SetProcessReplySigning(ParseReplySigning(length < 0 ? nullptr : value));
}

// QVRAD_NAS_IDENTIFIER, QVRAD_NAS_IP_ADDRESS and the host name into the process's NAS identity,
// once: no call reads the environment or the host name. After the socket start, which the
// address parse (inet_pton) may need on Windows.
void ReadNasIdentityAtLoad() {
    NasIdentity nas;
    // One byte more than the attribute takes: a longer value is cut to its first 253 bytes.
    char identifier[rad::kMaxTextLength + 1];
    char hostName[256];
    const bool named = platform::GetMachineHostName(hostName, sizeof hostName) == 0;
    const int length =
        platform::ReadEnvironment("QVRAD_NAS_IDENTIFIER", identifier, sizeof identifier);
    ParseNasIdentifier(length < 0 ? nullptr : identifier, named ? hostName : nullptr, &nas);
    // Longer than any address text (an IPv6 one has at most 45 characters): a value cut to it is
    // no address, and none is sent.
    char address[64];
    const int addressLength =
        platform::ReadEnvironment("QVRAD_NAS_IP_ADDRESS", address, sizeof address);
    if (addressLength >= 0 && static_cast<std::size_t>(addressLength) < sizeof address)
        ParseNasIpAddress(address, &nas);
    SetProcessNasIdentity(nas);
}

}  // namespace

bool CqvRadClientApp::InitInstance() {
    (void)CWinApp::InitInstance();
    ReadReplySigningAtLoad();
    const SocketStartOps platformOps = {platform::SocketLayerStart, platform::SocketLayerEnd};
    if (!StartSocketsAtLoad(platformOps)) return false;
    ReadNasIdentityAtLoad();
    // The TLS settings' paths and names only: the files are read by each call that needs them.
    ReadTlsSettingsAtLoad();
    return true;
}

namespace {

bool g_attached = false;

int AttachModule() {
    if (g_attached) return 0;
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return -1;
    if (!app->InitInstance()) {
        app->ExitInstance();
        return -1;
    }
    g_attached = true;
    return 0;
}

// Constructed after theApp and g_authLock (same translation unit, later definition), so the
// load-time hook sees both ready.
struct ModuleLoadHook {
    ModuleLoadHook() { platform::RegisterModuleAttach(AttachModule); }
};

}  // namespace

int ModuleProcessAttach() {
    return AttachModule();
}

CqvRadClientApp theApp;
CCriticalSection g_authLock;
thread_local char g_authResult[kResultSize] = {};
static ModuleLoadHook g_moduleLoadHook;
