// Bounded line I/O over TCP sockets, shared by the server, revoctl and tests.
#pragma once

#include "ascii.h"
#include "revo_codes.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace revo {

// Longest line accepted, CR LF included: the agents' 1024-byte line buffer.
constexpr size_t kMaxLine = 1024;

class LineConn {
  public:
    explicit LineConn(int fd) : fd_(fd) {}
    ~LineConn();
    LineConn(const LineConn&) = delete;
    LineConn& operator=(const LineConn&) = delete;

    int Fd() const { return fd_; }

    enum class Read { Line, TooLong, Closed };
    // One line without its LF and without a CR at its end. A line longer
    // than maxLen bytes (LF included) is consumed whole and reported as
    // TooLong, so that the peer can be answered and the session go on.
    Read ReadLine(std::string& out, size_t maxLen = kMaxLine);
    // Exactly n bytes (buffered first), appended to out.
    bool ReadExact(size_t n, std::string& out);
    bool SendAll(std::string_view data);
    // Reads and sends fail once the deadline has passed, however the peer
    // trickles its bytes (a socket timeout restarts with every byte).
    void SetDeadline(std::optional<std::chrono::steady_clock::time_point> when) {
        deadline_ = when;
        expired_ = false;
    }
    // The last failed read or send failed because the deadline passed.
    bool Expired() const { return expired_; }
    // Wakes a thread blocked on this connection (used at shutdown).
    void Shutdown();
    // Bytes received but not yet consumed.
    size_t Buffered() const { return end_ - start_; }

  private:
    bool Fill();
    // Waits for the socket to be ready for events; false once the deadline passed.
    bool Await(short events);
    int fd_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool expired_ = false;
    char buf_[8192];
    size_t start_ = 0, end_ = 0;
};

// Socket helpers. Addresses are dotted IPv4 texts. Return -1 and set err on failure.
// source, when not empty, is the local address to connect from.
int ConnectTcp(const std::string& address, uint16_t port, int timeoutMs, std::string& err,
               const std::string& source = {});
int ListenTcp(const std::string& address, uint16_t port, std::string& err,
              uint16_t* boundPort = nullptr);
// Receive and send timeouts for a connected socket (0 = none).
void SetTimeouts(int fd, int ms);

// A reply line split the way agents split it: the code ends at a space or
// hyphen in the fifth position, else at the first space. False when the line
// has no separator.
bool ParseReply(std::string_view line, int& code, std::string& text);

// The system's one ASCII case rule.
using arbor::EqualNoCase;
using arbor::Lower;

// Splits off the first space-separated word; rest gets what follows the
// single separating run of spaces.
std::string_view NextWord(std::string_view& rest);

// Strict unsigned decimal parse of a whole word.
bool ParseU64(std::string_view s, uint64_t& out);

} // namespace revo
