// Reading the FreeRADIUS test server's files: ports.env, users.tsv and the debug log.
#include "fr_server.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// users.tsv escapes: "\xHH" is one byte, "\\" one backslash; everything else is literal.
bool Unescape(const std::string& field, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out->push_back(field[i]);
            continue;
        }
        if (i + 1 < field.size() && field[i + 1] == '\\') {
            out->push_back('\\');
            i += 1;
        } else if (i + 3 < field.size() && field[i + 1] == 'x' && HexDigit(field[i + 2]) >= 0 &&
                   HexDigit(field[i + 3]) >= 0) {
            out->push_back(static_cast<char>(HexDigit(field[i + 2]) * 16 + HexDigit(field[i + 3])));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

void PrintTo(const FrUser& row, std::ostream* os) {
    *os << row.key;
}

std::vector<FrUser> ReadUsersTable(std::string* error) {
    std::vector<FrUser> rows;
    std::ifstream in(QVRAD_FR_USERS_TSV, std::ios::binary);
    if (!in) {
        *error = std::string("cannot read ") + QVRAD_FR_USERS_TSV;
        return {};
    }
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = SplitTabs(line);
        FrUser row;
        bool ok = fields.size() >= 4 && Unescape(fields[2], &row.user) &&
                  Unescape(fields[3], &row.password);
        for (std::size_t i = 4; ok && i < fields.size(); ++i) {
            row.replies.emplace_back();
            ok = Unescape(fields[i], &row.replies.back());
        }
        if (!ok) {
            *error = "users.tsv line " + std::to_string(lineNumber) + " does not parse";
            return {};
        }
        row.key = fields[0];
        row.kind = fields[1];
        rows.push_back(row);
    }
    return rows;
}

std::string FrServer::Get(const std::string& name) const {
    const auto it = vars.find(name);
    return it == vars.end() ? std::string() : it->second;
}

bool FrServer::Listens6(const std::string& listener) const {
    const std::string listens = " " + Get("QVRAD_FR_LISTENS6") + " ";
    return !Host6().empty() && listens.find(" " + listener + " ") != std::string::npos;
}

bool LoadServer(FrServer* server, std::string* error) {
    const char* overridden = std::getenv("QVRAD_FR_ENV");
    return LoadServerFrom(overridden != nullptr && *overridden ? overridden : QVRAD_FR_ENV_FILE,
                          server, error);
}

bool ReadEnvFile(const std::string& path, std::map<std::string, std::string>* vars,
                 std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path + " (is its fixture running?)";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        // genconf.py and peers.sh write values in single quotes and never put one inside.
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        (*vars)[line.substr(0, eq)] = value;
    }
    return true;
}

bool LoadServerFrom(const std::string& path, FrServer* server, std::string* error) {
    if (!ReadEnvFile(path, &server->vars, error)) return false;
    if (!server->Get("QVRAD_FR_UNAVAILABLE").empty()) {
        *error = "server unavailable: " + server->Get("QVRAD_FR_UNAVAILABLE");
        return false;
    }
    for (const char* needed :
         {"QVRAD_FR_HOST", "QVRAD_FR_PORT_MAIN", "QVRAD_FR_SECRET_MAIN", "QVRAD_FR_LOG"}) {
        if (server->Get(needed).empty()) {
            *error = path + " lacks " + needed;
            return false;
        }
    }
    return true;
}

int LogCount(const std::string& logPath, const std::string& needle) {
    const std::string log = ReadWhole(logPath);
    int count = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos;
         at = log.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool LogCountReaches(const std::string& logPath, const std::string& needle, int count,
                     int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (LogCount(logPath, needle) >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool LogContains(const std::string& logPath, const std::string& needle, int timeoutMs) {
    return LogCountReaches(logPath, needle, 1, timeoutMs);
}

std::vector<std::string> RequestRoutes(const std::string& logPath, const std::string& needle) {
    // "(N) Received Access-Request Id I from A:P to B:Q length L", then "(N)   Attr = value"
    // lines of the same request number N.
    std::istringstream log(ReadWhole(logPath));
    std::map<std::string, std::string> routes;  // request number -> its route
    std::vector<std::string> found;
    std::string line;
    while (std::getline(log, line)) {
        const std::size_t close = line.find(") ");
        if (line.empty() || line[0] != '(' || close == std::string::npos) continue;
        const std::string number = line.substr(0, close + 1);
        const std::size_t from = line.find(" from ", close);
        const std::size_t length = line.find(" length ", close);
        if (line.compare(close + 2, 9, "Received ") == 0 && from != std::string::npos &&
            length != std::string::npos) {
            routes[number] = line.substr(from + 6, length - from - 6);
        } else if (line.find(needle, close) != std::string::npos && routes.count(number) != 0) {
            found.push_back(routes[number]);
            routes.erase(number);  // once per request
        }
    }
    return found;
}

std::string UniqueToken(std::size_t length) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::mt19937_64 generator(
        (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string token;
    for (std::size_t i = 0; i < length; ++i) token.push_back(kChars[pick(generator)]);
    return token;
}
