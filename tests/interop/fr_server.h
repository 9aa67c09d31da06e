// The private FreeRADIUS test server as the interop tests see it: its ports.env (listeners,
// secrets, log), the users table it was generated from, and a bounded search of its debug log.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

// One users.tsv row (tests/freeradius/users.tsv explains the format), with its bytes decoded.
struct FrUser {
    std::string key;
    std::string kind;  // accept, challenge, challenge-otp, reject, reject-quiet, drop, nas-echo
    std::string user;
    std::string password;
    std::vector<std::string> replies;  // Reply-Message attributes in wire order (challenge-otp:
                                       // fields 5..9, as users.tsv lists them)
};

// How GoogleTest shows a row in test listings: its key alone.
void PrintTo(const FrUser& row, std::ostream* os);

// The users table compiled in (the same file server.sh generates the server from); read at
// test listing time, when the server need not run yet. Throws nothing: a broken table gives
// no rows and a reason.
std::vector<FrUser> ReadUsersTable(std::string* error);

struct FrServer {
    std::map<std::string, std::string> vars;  // ports.env, single quotes removed

    std::string Get(const std::string& name) const;
    std::string Host() const { return Get("QVRAD_FR_HOST"); }
    // ::1 where the listeners of Listens6 also listen (same ports and secrets); empty where the
    // server could not bind ::1 (IPv6 disabled here), and NoIPv6 says why.
    std::string Host6() const { return Get("QVRAD_FR_HOST6"); }
    bool Listens6(const std::string& listener) const;
    std::string NoIPv6() const { return Get("QVRAD_FR_NO_IPV6"); }
    std::string Port(const std::string& listener) const { return Get("QVRAD_FR_PORT_" + listener); }
    std::string Secret(const std::string& listener) const {
        return Get("QVRAD_FR_SECRET_" + listener);
    }
};

// NAME='value' lines of an env file (ports.env, the TLS peers' peers.env), quotes removed;
// false with a reason when it cannot be read.
bool ReadEnvFile(const std::string& path, std::map<std::string, std::string>* vars,
                 std::string* error);

// Reads ports.env of the running server (QVRAD_FR_ENV, else the path CMake compiled in).
// false, with a reason, when it is missing or lacks a variable every test needs; a server whose
// start was skipped (its package could not be fetched) has QVRAD_FR_UNAVAILABLE instead.
bool LoadServer(FrServer* server, std::string* error);
bool LoadServerFrom(const std::string& path, FrServer* server, std::string* error);

// True once FreeRADIUS's debug log holds needle; re-read every 50 ms, for at most timeoutMs,
// since the server may write the line just after its reply left.
bool LogContains(const std::string& logPath, const std::string& needle, int timeoutMs);
// How often the log holds needle now.
int LogCount(const std::string& logPath, const std::string& needle);
// True once the log holds needle at least count times, within timeoutMs.
bool LogCountReaches(const std::string& logPath, const std::string& needle, int count,
                     int timeoutMs);

// Where each request the log shows came from and went to ("127.0.0.1:40022 to
// 127.0.0.1:2083"), for the requests that carry needle among their attributes (a unique
// NAS-Identifier, say), in log order.
std::vector<std::string> RequestRoutes(const std::string& logPath, const std::string& needle);

// A fresh random text of letters and digits, so a log line can be told apart from every other.
std::string UniqueToken(std::size_t length);
