// The calling thread's random stream: ChaCha20 as a fast-key-erasure generator, seeded from the
// operating system's source, so that the random octets of a request cost no system call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A stream is seeded afresh from the system source before its output since the last seed would
// pass kStreamReseedBytes, and at its first refill once the seed is kStreamReseedMillis old; and
// in a process whose fork generation is not the one it was seeded in (a forked child).
constexpr std::uint64_t kStreamReseedBytes = 1u << 20;
constexpr std::int64_t kStreamReseedMillis = 60 * 1000;

// Fills length bytes from the calling thread's stream, as a RandomSource does: 0; or -1, with
// the buffer zeroed, when the stream had to be seeded and every system source failed (nothing
// else stands in for them, and the next draw asks them again). Where forks cannot be told apart
// (ForkGenerationTracked false) nothing is kept: every draw asks the system source.
int ThreadRandomBytes(void* buffer, std::size_t length);

// Wipes every thread's stream: the key and the output not yet handed out. Each is seeded afresh
// at its next draw. Run at the library's unload (when no call runs), and by tests.
void ThreadRandomWipeAll();

// For the hygiene test: where the calling thread's stream keeps its key and buffered output (one
// region), and its size (null and 0 where it has none).
void ThreadRandomState(const void** region, std::size_t* size);

// How many threads' streams are seeded and not ended (for tests: each thread's end takes its own).
std::size_t ThreadRandomStreamCount();

// The calling thread ends: its stream is wiped and released. Run by the Windows platform layer's
// thread-exit callback; elsewhere the stream's thread-local destructor does it, and this is empty.
void ThreadRandomThreadEnd();

}  // namespace platform
