// Test helpers around the exported auth.
#include "support/auth_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
#include <malloc.h>
#define QVRAD_HEAP_COUNTS 1
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#undef QVRAD_HEAP_COUNTS
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#undef QVRAD_HEAP_COUNTS
#endif
#endif

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#endif

#include "qvRadClient.h"

std::string CallAuth(const char* server, const char* port, const char* secret, const char* user,
                     const char* password, const char* timeout) {
    const char* text = auth(server, port, secret, user, password, timeout);
    return text == nullptr ? std::string("<null>") : std::string(text);
}

TimedResult TimedAuth(const std::string& port, const char* secret, const char* user,
                      const char* password, const char* timeout, const char* server) {
    const auto start = std::chrono::steady_clock::now();
    std::string text = CallAuth(server, port.c_str(), secret, user, password, timeout);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {text, took.count()};
}

int OpenDescriptorCount() {
#ifdef QVRAD_NO_DESCRIPTOR_COUNT
    return -1;  // under Wine /proc/self/fd lists Wine's own files, which come and go
#endif
    std::error_code error;
    const std::filesystem::path fds("/proc/self/fd");
    if (!std::filesystem::is_directory(fds, error)) return -1;
    int count = 0;
    for (std::filesystem::directory_iterator it(fds, error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

bool HeapIsCounted() {
#ifdef QVRAD_HEAP_COUNTS
    return true;
#else
    return false;
#endif
}

std::size_t HeapInUse() {
#ifdef QVRAD_HEAP_COUNTS
    return mallinfo2().uordblks;
#else
    return 0;
#endif
}

bool CpuHasFlag(const char* flag) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;)
            if (word == flag) return true;
        return false;
    }
    return false;
}

#if !defined(_WIN32)
int ChildExitStatus(int pid) {
    for (int waited = 0; waited < 6000; ++waited) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        const timespec tick = {0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}
#endif
