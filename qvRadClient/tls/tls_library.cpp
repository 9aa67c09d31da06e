// The hooks Mbed TLS is built to call (tls/mbedtls_config.h): calloc and free through the global
// operator new and delete, wiping each block; the clock; PSA's random source; the mutexes. A
// system Mbed TLS (QVRAD_TLS_SYSTEM_MBEDTLS) has its own configuration and hooks: only what it
// asks of an application (an *_ALT or external source it was built with) is defined here.
#include "tls/tls_library.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "mbedtls/aes.h"
#include "mbedtls/cipher.h"
#include "mbedtls/ecp.h"
#include "mbedtls/platform_time.h"
#include "mbedtls/platform_util.h"
#include "mbedtls/ssl_ciphersuites.h"
#include "mbedtls/threading.h"
#include "platform/platform.h"
#include "psa/crypto.h"

namespace {

#if !defined(QVRAD_TLS_SYSTEM_MBEDTLS)
// Each block carries its size in front, so that free can wipe it whole; 16 octets keep the block
// as aligned as operator new made it.
constexpr std::size_t kBlockHeader = 16;
#endif

#if defined(MBEDTLS_THREADING_ALT)
platform::LockStorage* LockOf(mbedtls_threading_mutex_t* mutex) {
    return std::launder(reinterpret_cast<platform::LockStorage*>(mutex->lock));
}
static_assert(sizeof(mbedtls_threading_mutex_t::lock) == sizeof(platform::LockStorage),
              "the Mbed TLS mutex must hold a platform lock");
static_assert(alignof(mbedtls_threading_mutex_t) >= alignof(platform::LockStorage),
              "the Mbed TLS mutex must be aligned for a platform lock");

void MutexInit(mbedtls_threading_mutex_t* mutex) {
    if (mutex == nullptr) return;
    mutex->ready = platform::LockInit(LockOf(mutex)) == 0 ? 1 : 0;
}

void MutexFree(mbedtls_threading_mutex_t* mutex) {
    if (mutex == nullptr || mutex->ready == 0) return;
    platform::LockDestroy(LockOf(mutex));
    mutex->ready = 0;
}

int MutexLock(mbedtls_threading_mutex_t* mutex) {
    if (mutex == nullptr || mutex->ready == 0) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    return platform::LockAcquire(LockOf(mutex)) == 0 ? 0 : MBEDTLS_ERR_THREADING_MUTEX_ERROR;
}

int MutexUnlock(mbedtls_threading_mutex_t* mutex) {
    if (mutex == nullptr || mutex->ready == 0) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    platform::LockRelease(LockOf(mutex));
    return 0;
}
#endif

#if defined(MBEDTLS_PLATFORM_GMTIME_R_ALT)
// Days from 1970-01-01 to a civil date's day number, inverted: the proleptic Gregorian calendar
// in 400-year eras (146097 days each), as POSIX time counts days (no leap seconds).
void CivilFromDays(std::int64_t days, int* year, int* month, int* day) {
    days += 719468;  // from 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    *month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}
#endif

// Once per process, before any TLS call: the mutex functions first (they set up PSA's own global
// mutexes), then every table Mbed TLS builds on first use with no lock of its own, so that no
// two calls ever race to build one (a system build's AES tables among them, unless its
// configuration keeps them in read-only data).
bool StartOnce() {
#if defined(MBEDTLS_THREADING_ALT)
    mbedtls_threading_set_alt(MutexInit, MutexFree, MutexLock, MutexUnlock);
#endif
    (void)mbedtls_ssl_list_ciphersuites();
    (void)mbedtls_cipher_list();
    (void)mbedtls_ecp_grp_id_list();
    // The AES-NI probe caches the CPU's answer in plain statics on its first key set-up.
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    const unsigned char zeroKey[16] = {};
    (void)mbedtls_aes_setkey_enc(&aes, zeroKey, 128);
    mbedtls_aes_free(&aes);
    return true;
}

}  // namespace

namespace {
// Set (after the set-up) by the first TLS call; read by the unload, when no call runs.
std::atomic<bool> g_started{false};
}  // namespace

int TlsLibraryReady() {
    // A function-local static: constructed once, and every other thread waits until it is.
    static const bool started = StartOnce();
    g_started.store(started, std::memory_order_release);
    return psa_crypto_init() == PSA_SUCCESS ? 0 : -1;
}

void TlsLibraryRelease() {
    if (!g_started.exchange(false, std::memory_order_acq_rel)) return;
#if !defined(QVRAD_TLS_SYSTEM_MBEDTLS)
    // Our own copy's PSA state only: a system library's is the process's, and another of its
    // users may hold keys there.
    mbedtls_psa_crypto_free();
#endif
#if defined(MBEDTLS_THREADING_ALT)
    mbedtls_threading_free_alt();
#endif
}

#if !defined(QVRAD_TLS_SYSTEM_MBEDTLS)
extern "C" void* qvrad_tls_calloc(size_t count, size_t size) {
    if (count != 0 && size > (SIZE_MAX - kBlockHeader) / count) return nullptr;
    const std::size_t bytes = count * size;
    auto* block = static_cast<unsigned char*>(::operator new(bytes + kBlockHeader, std::nothrow));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &bytes, sizeof bytes);
    std::memset(block + kBlockHeader, 0, bytes);
    return block + kBlockHeader;
}

extern "C" void qvrad_tls_free(void* pointer) {
    if (pointer == nullptr) return;
    unsigned char* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
    std::size_t bytes = 0;
    std::memcpy(&bytes, block, sizeof bytes);
    // Key schedules, traffic secrets, private keys and record plaintext all live in such blocks.
    platform::SecureZero(block, bytes + kBlockHeader);
    ::operator delete(block);
}

extern "C" long long qvrad_tls_time(long long* now) {
    const long long seconds = static_cast<long long>(platform::UtcSeconds());
    if (now != nullptr) *now = seconds;
    return seconds;
}

extern "C" int qvrad_tls_snprintf(char* text, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, size, format, arguments);
    va_end(arguments);
    return length;
}
#endif

#if defined(MBEDTLS_PLATFORM_MS_TIME_ALT)
extern "C" mbedtls_ms_time_t mbedtls_ms_time(void) {
    return static_cast<mbedtls_ms_time_t>(platform::MonotonicMillis());
}
#endif

#if defined(MBEDTLS_PLATFORM_GMTIME_R_ALT)
extern "C" struct tm* mbedtls_platform_gmtime_r(const mbedtls_time_t* seconds, struct tm* out) {
    if (seconds == nullptr || out == nullptr) return nullptr;
    const std::int64_t t = *seconds;
    std::int64_t days = t / 86400;
    std::int64_t rest = t % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year = 0, month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    std::memset(out, 0, sizeof *out);
    out->tm_year = year - 1900;
    out->tm_mon = month - 1;
    out->tm_mday = day;
    out->tm_hour = static_cast<int>(rest / 3600);
    out->tm_min = static_cast<int>(rest % 3600 / 60);
    out->tm_sec = static_cast<int>(rest % 60);
    return out;
}
#endif

#if defined(MBEDTLS_PSA_CRYPTO_EXTERNAL_RNG)
extern "C" psa_status_t mbedtls_psa_external_get_random(
    mbedtls_psa_external_random_context_t* context, uint8_t* output, size_t size, size_t* length) {
    (void)context;
    *length = 0;
    if (platform::RandomBytes(output, size) != 0) return PSA_ERROR_INSUFFICIENT_ENTROPY;
    *length = size;
    return PSA_SUCCESS;
}
#endif

const char* TlsLibraryVersion() {
    return "Mbed TLS " MBEDTLS_VERSION_STRING;  // the version of the sources compiled in
}
