// Mbed TLS inside this library: its memory, time, randomness and locks are the platform layer's,
// and it starts on the first TLS call of the process, never at load.
#pragma once

// Makes Mbed TLS ready for use from any thread: the platform locks under its threading layer and
// the one-time set-up of its lazily built tables (once per process), then psa_crypto_init (which
// does nothing once it succeeded, and is tried again by the next call after a failure). 0, or -1
// when the system's random source fails.
int TlsLibraryReady();

// For the module's unload (a DLL's process detach, when no call can be running): frees PSA's
// global key store and the mutexes, if TLS ever started in this process. Nothing may use TLS
// after it. Only memory and locks: safe under the loader lock.
void TlsLibraryRelease();

// The TLS library built in, for a version banner ("Mbed TLS 3.6.6"); null in a build without
// TLS. A fixed text.
const char* TlsLibraryVersion();
