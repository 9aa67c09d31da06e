// The module's process-wide objects, in their construction order, and its load-time work: read
// the reply-signing setting, start the socket layer once, asking for version 1.1 and nothing else.
#include "api/module.h"

#include "platform/platform.h"
#include "radius/reply_signing.h"

const char kBanner[] = "Quorvel SDK for Win32 ver 1.1.0.2";

CqvRadClientApp::CqvRadClientApp() : CWinApp(nullptr) {}

CqvRadClientApp::~CqvRadClientApp() = default;

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
    // Longer than any word the setting knows: a value that does not fit reads as empty, which
    // requires the attribute, as every unknown value does.
    char value[16];
    const int length =
        platform::ReadEnvironment("QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR", value, sizeof value);
    SetProcessReplySigning(ParseReplySigning(length < 0 ? nullptr : value));
}

}  // namespace

bool CqvRadClientApp::InitInstance() {
    (void)CWinApp::InitInstance();
    ReadReplySigningAtLoad();
    const SocketStartOps platformOps = {platform::SocketLayerStart, platform::SocketLayerEnd};
    return StartSocketsAtLoad(platformOps);
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
