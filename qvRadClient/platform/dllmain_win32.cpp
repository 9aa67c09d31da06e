// The DLL's entry point: on process attach it runs the module's load-time hook and fails the
// load when the hook fails. Linked into the DLL only, never into the static library or tests.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif

#include <windows.h>

#include "platform/module_attach_win32.h"
#include "platform/platform.h"

// The C runtime's DllMainCRTStartup has run the static constructors (which registered the
// hook) before it calls this, and runs the static destructors itself after process detach.
//
// Thread notifications stay on (no DisableThreadLibraryCalls): the runtime linked statically
// into this DLL (winpthread, emulated TLS) frees its per-thread data from them, which would
// otherwise leak for every host thread that called in. None of this module's code runs there.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // A detach with reserved set is the process's exit (the runtime's static destructors run
    // after this returns): the module's unload work then leaves everything to the system.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) platform::NoteProcessExiting();
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    // FALSE fails LoadLibrary; the runtime then sends process detach and destroys the statics
    // it constructed.
    return platform::RunModuleAttach() == 0 ? TRUE : FALSE;
}
