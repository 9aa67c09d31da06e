// Small helpers for tests that call auth: copy the shared result at once, time a call, and
// count this process's open descriptors where the platform shows them.
#pragma once

#include <chrono>
#include <string>

std::string CallAuth(const char* server, const char* port, const char* secret, const char* user,
                     const char* password, const char* timeout);

struct TimedResult {
    std::string text;
    double seconds;
};
TimedResult TimedAuth(const std::string& port, const char* secret, const char* user,
                      const char* password, const char* timeout, const char* server = "127.0.0.1");

// Open descriptors of this process, or -1 where the platform has no meaningful count of them.
int OpenDescriptorCount();
