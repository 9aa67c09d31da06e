// A probe DLL built from the real DllMain and platform layer with a hook of the test's choosing,
// so the loader's handling of the attach result can be observed: one build per QVRAD_PROBE_MODE.
#include "platform/platform.h"

#define QVRAD_PROBE_OK 0    // the hook succeeds: the load must succeed, the hook run once
#define QVRAD_PROBE_FAIL 1  // the hook fails: LoadLibrary must fail
#define QVRAD_PROBE_NONE 2  // no hook is ever registered: LoadLibrary must fail

namespace {

int g_attachCalls = 0;

int ProbeAttach() {
    ++g_attachCalls;
    return QVRAD_PROBE_MODE == QVRAD_PROBE_FAIL ? -1 : 0;
}

// Registered from static construction, as the library's module object does.
struct Registration {
    Registration() {
        if (QVRAD_PROBE_MODE != QVRAD_PROBE_NONE) platform::RegisterModuleAttach(ProbeAttach);
    }
};
Registration g_registration;

}  // namespace

extern "C" __declspec(dllexport) int probe_attach_calls(void) {
    return g_attachCalls;
}
