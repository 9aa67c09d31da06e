// The bridge between the Windows platform layer and DllMain: the load-time hook the module
// registered during static construction, run from the loader's process-attach notification.
#pragma once

namespace platform {

// Runs the hook given to RegisterModuleAttach. Its result (0 lets the load go on), or -1 when
// no hook was registered, since a DLL whose module object never came up must not load.
int RunModuleAttach();

}  // namespace platform
