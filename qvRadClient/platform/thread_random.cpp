// The per-thread random stream: a fast-key-erasure generator over ChaCha20 (RFC 8439 section
// 2.3), each thread's state its own, wiped at the thread's exit and at unload.
//
// A refill runs ChaCha20 under the stream's key for eight blocks; the first 32 octets become the
// next key at once (the old one is overwritten) and the other 480 are handed out in order, each
// wiped as it goes. So the state never holds an octet already handed out, nor the key that made
// any of them: whoever reads it later learns nothing of earlier output (backtracking resistance).
// The key comes from the system source (platform::RandomBytes: getrandom, BCryptGenRandom) at the
// thread's first draw, and again after 1 MiB of output, at the first refill a minute after the
// seed, and in a forked child (ForkGeneration), which so never continues its parent's stream.
#include "platform/thread_random.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/chacha20.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr std::size_t kRefillBlocks = 8;
constexpr std::size_t kPoolLength = kRefillBlocks * kChaChaBlockLength;
constexpr std::size_t kOutputPerRefill = kPoolLength - kChaChaKeyLength;
// Each key is used once, with block counter 0 (RFC 8439 section 2.3 allows any nonce then).
const std::uint8_t kZeroNonce[kChaChaNonceLength] = {};

struct Stream {
    // One region, so that one wipe takes both: the key of the next refill, then the pool, whose
    // octets before taken are zero (handed out, or the next key's copy).
    struct Secret {
        std::uint8_t key[kChaChaKeyLength];
        std::uint8_t pool[kPoolLength];
    } secret;
    std::uint32_t taken;       // the pool's first octet not handed out; kPoolLength: empty
    std::uint32_t generation;  // ForkGeneration() at the seed
    std::uint64_t sinceSeed;   // octets of output made since the seed
    std::int64_t seededAt;     // MonotonicMillis() at the seed
    bool seeded;
    bool listed;  // in g_streams, under the stream-list lock
    Stream* previous;
    Stream* following;

    constexpr Stream()
        : secret{},
          taken(kPoolLength),
          generation(0),
          sinceSeed(0),
          seededAt(0),
          seeded(false),
          listed(false),
          previous(nullptr),
          following(nullptr) {}
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
};

// Every thread's stream that was ever seeded and whose thread has not ended, for the wipe at
// unload; under the stream-list lock, which needs no set-up or tear-down.
Stream* g_streams = nullptr;

void Forget(Stream& stream) {
    SecureZero(&stream.secret, sizeof stream.secret);
    stream.taken = kPoolLength;
    stream.seeded = false;
}

Stream::~Stream() {
    if (listed) {
        StreamListLockAcquire();
        if (previous != nullptr)
            previous->following = following;
        else
            g_streams = following;
        if (following != nullptr) following->previous = previous;
        listed = false;
        StreamListLockRelease();
    }
    Forget(*this);
}

#if defined(_WIN32)
// Windows: MinGW emulates thread-local storage, and at a thread's end frees the thread's objects
// before their destructors run. So each thread's stream is a block of its own, found through a
// native thread-local slot and ended by the image's thread-exit callback (ThreadRandomThreadEnd).
// null when the block or the slot cannot be had: the draw then asks the system source itself.
Stream* ThisThreadsStream() {
    Stream* s = static_cast<Stream*>(ThreadStreamSlot());
    if (s != nullptr) return s;
    void* block = std::malloc(sizeof(Stream));
    if (block == nullptr) return nullptr;
    s = new (block) Stream();
    if (SetThreadStreamSlot(s) != 0) {
        s->~Stream();
        std::free(block);
        return nullptr;
    }
    return s;
}
#else
// Constant-initialised (only the destructor is registered at a thread's first use), and
// destroyed at the thread's end before the C library frees its storage.
thread_local Stream t_stream;

Stream* ThisThreadsStream() {
    return &t_stream;
}
#endif

void Generate(Stream& s) {
    ChaCha20Blocks(s.secret.pool, s.secret.key, 0, kZeroNonce, kRefillBlocks);
    std::memcpy(s.secret.key, s.secret.pool, kChaChaKeyLength);
    SecureZero(s.secret.pool, kChaChaKeyLength);
    s.taken = kChaChaKeyLength;
    s.sinceSeed += kOutputPerRefill;
}

// A new key from the system source, and the first refill with it. -1 (the stream left empty and
// unseeded) when every source failed.
int Seed(Stream& s) {
    Forget(s);
    if (RandomBytes(s.secret.key, sizeof s.secret.key) != 0) return -1;  // zeroed by RandomBytes
    s.generation = ForkGeneration();
    s.seededAt = MonotonicMillis();
    s.sinceSeed = 0;
    Generate(s);
    s.seeded = true;
    if (!s.listed) {
        StreamListLockAcquire();
        s.previous = nullptr;
        s.following = g_streams;
        if (g_streams != nullptr) g_streams->previous = &s;
        g_streams = &s;
        s.listed = true;
        StreamListLockRelease();
    }
    return 0;
}

int Refill(Stream& s) {
    if (s.sinceSeed + kOutputPerRefill > kStreamReseedBytes ||
        MonotonicMillis() - s.seededAt >= kStreamReseedMillis)
        return Seed(s);
    Generate(s);
    return 0;
}

// Wipes the seeds' stack copies and the rest of a failed draw: the caller gets zeros, never a
// part of a stream.
int Fail(void* buffer, std::size_t length) {
    SecureZero(buffer, length);
    return -1;
}

// The whole of the thread-wide work, out of line: the common draw below stays small.
__attribute__((noinline)) int DrawSlow(Stream& s, std::uint8_t* out, std::size_t length) {
    if ((!s.seeded || s.generation != ForkGeneration()) && Seed(s) != 0) return Fail(out, length);
    // Each pass hands out at least one octet or fails: at most length passes.
    for (std::size_t done = 0; done < length;) {
        if (s.taken >= kPoolLength && Refill(s) != 0) return Fail(out, length);
        const std::size_t left = kPoolLength - s.taken;
        const std::size_t take = length - done < left ? length - done : left;
        std::memcpy(out + done, s.secret.pool + s.taken, take);
        SecureZero(s.secret.pool + s.taken, take);
        s.taken += static_cast<std::uint32_t>(take);
        done += take;
    }
    return 0;
}

// The streams of the image being unloaded go with it (no call runs then). On Windows the
// platform's thread-exit callback is given the end of a thread's stream at load.
struct StreamsAtLoadAndUnload {
    StreamsAtLoadAndUnload() {
#if defined(_WIN32)
        RegisterThreadEndHook(ThreadRandomThreadEnd);
#endif
    }
    ~StreamsAtLoadAndUnload() {
        ThreadRandomWipeAll();
    }
};
StreamsAtLoadAndUnload g_streamsAtLoadAndUnload;

}  // namespace

int ThreadRandomBytes(void* buffer, std::size_t length) {
    if (length == 0) return 0;
    if (buffer == nullptr) return -1;
    Stream* stream = ForkGenerationTracked() ? ThisThreadsStream() : nullptr;
    if (stream == nullptr) return RandomBytes(buffer, length);
    auto* out = static_cast<std::uint8_t*>(buffer);
    Stream& s = *stream;
    // The common case, a request's 16 octets from a seeded stream of this process.
    if (s.seeded && s.generation == ForkGeneration() && length <= kPoolLength - s.taken) {
        std::memcpy(out, s.secret.pool + s.taken, length);
        SecureZero(s.secret.pool + s.taken, length);
        s.taken += static_cast<std::uint32_t>(length);
        return 0;
    }
    return DrawSlow(s, out, length);
}

void ThreadRandomWipeAll() {
    StreamListLockAcquire();
    for (Stream* s = g_streams; s != nullptr; s = s->following) Forget(*s);
    StreamListLockRelease();
}

std::size_t ThreadRandomStreamCount() {
    std::size_t count = 0;
    StreamListLockAcquire();
    for (Stream* s = g_streams; s != nullptr; s = s->following) ++count;
    StreamListLockRelease();
    return count;
}

void ThreadRandomState(const void** region, std::size_t* size) {
    Stream* s = ThisThreadsStream();
    *region = s != nullptr ? &s->secret : nullptr;
    *size = s != nullptr ? sizeof s->secret : 0;
}

void ThreadRandomThreadEnd() {
#if defined(_WIN32)
    Stream* s = static_cast<Stream*>(ThreadStreamSlot());
    if (s == nullptr) return;
    SetThreadStreamSlot(nullptr);
    s->~Stream();  // out of the list, and wiped
    std::free(s);
#endif
}

}  // namespace platform
