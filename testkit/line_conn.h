// A line-oriented TCP connection for the protocol peers in tests: every read
// waits at most a time-out, so a silent peer fails a test instead of hanging it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace arbortest {

class LineConn {
  public:
    static constexpr int kTimeoutMs = 10000;

    explicit LineConn(int fd = -1) : fd_(fd) {}
    ~LineConn() { Close(); }
    LineConn(LineConn&& o) noexcept : fd_(o.fd_), buf_(std::move(o.buf_)) { o.fd_ = -1; }
    LineConn& operator=(LineConn&& o) noexcept;
    LineConn(const LineConn&) = delete;
    LineConn& operator=(const LineConn&) = delete;

    // A connection to addr:port (IPv4), from the local address source when
    // given; !ok() on failure.
    static LineConn Connect(const std::string& addr, int port, const std::string& source = "");

    bool Ok() const { return fd_ != -1; }
    int Fd() const { return fd_; }
    // Hands the socket over (-1 when there is none); unread bytes are dropped.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        buf_.clear();
        return fd;
    }
    bool Send(std::string_view bytes);
    // One line without its LF or CR LF; false on time-out or end of stream.
    bool ReadLine(std::string& line, int timeoutMs = kTimeoutMs);
    // The next line, empty on time-out or end of stream.
    std::string Line(int timeoutMs = kTimeoutMs);
    bool ReadBytes(std::string& out, size_t n, int timeoutMs = kTimeoutMs);
    // True when the peer closes within the time-out without sending more.
    bool WaitClosed(int timeoutMs = kTimeoutMs);
    void Close();

  private:
    bool Fill(int timeoutMs);
    int fd_;
    std::string buf_;
};

// A listener that serves every connection it accepts on a thread of its own,
// until it is destroyed: then it stops accepting and waits for the handlers.
class Acceptor {
  public:
    using Handler = std::function<void(LineConn&)>;
    // On addr:port (port 0: any free one).
    Acceptor(const std::string& addr, Handler handler, int port = 0);
    ~Acceptor();
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;
    bool Listening() const { return fd_ != -1; }
    int Port() const { return port_; }
    int Connections() const { return connections_; }

  private:
    void Loop();
    Handler handler_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::thread> workers_;
};

// The REVO port of the servers under test: REVO_PORT when set, else the real
// port 689 as root and a fixed unprivileged one otherwise.
int RevoPort();

// A listening IPv4 socket on addr:port (port 0: any, reported in bound);
// -1 on failure.
int ListenTcp(const std::string& addr, int port, int* bound = nullptr);

} // namespace arbortest
