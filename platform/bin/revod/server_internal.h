// What the parts of the server share: limits, reply lines, argument
// parsing, and a client session's state.
#pragma once

#include "netio.h"
#include "server.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace revo::detail {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Control lines longer than this could not be read back by an agent.
constexpr size_t kMaxControlLine = 1000;
constexpr size_t kMaxControlText = 1u << 20;
constexpr size_t kMaxModLines = 100000;
constexpr int kMaxAuthFailures = 3;
constexpr const char* kStatusLetters = "NADTGCI";

using arbor::Upper;

inline bool ParseI64(std::string_view s, int64_t& out) {
    bool neg = !s.empty() && s[0] == '-';
    uint64_t v;
    if (!ParseU64(neg ? s.substr(1) : s, v) || v > static_cast<uint64_t>(INT64_MAX)) return false;
    out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// A control line is one line of printable text (tabs allowed).
inline bool ValidControlLine(std::string_view l) {
    if (l.empty() || l.size() > kMaxControlLine) return false;
    for (unsigned char c : l)
        if ((c < ' ' && c != '\t') || c == 0x7f) return false;
    return true;
}

// Takes the next non-empty line (LF or CRLF ended) of a block sent after a
// byte count; false once the block is used up.
inline bool NextBlockLine(std::string_view& rest, std::string_view& line) {
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) return true;
    }
    return false;
}

inline std::string Reply(int code, std::string_view text) {
    std::string r = std::to_string(code);
    r += ' ';
    r += text;
    r += "\r\n";
    return r;
}

} // namespace revo::detail

namespace revo {

struct Server::Session {
    LineConn conn;
    SlotRef slot;
    std::string peer;
    std::string challenge;
    bool authed = false;
    int failures = 0;
    std::string user;
    bool calOpen = false;
    int64_t foundEntry = 0;
    std::optional<int64_t> foundInstance;
    Session(int fd, SlotRef s) : conn(fd), slot(s), peer(s->peer) {}
    bool Send(int code, std::string_view text) { return conn.SendAll(detail::Reply(code, text)); }
};

} // namespace revo
