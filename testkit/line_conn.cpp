#include "line_conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace arbortest {

namespace {

bool Address(const std::string& addr, int port, sockaddr_in& a) {
    a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, addr.c_str(), &a.sin_addr) == 1;
}

} // namespace

LineConn& LineConn::operator=(LineConn&& o) noexcept {
    if (this != &o) {
        Close();
        fd_ = o.fd_;
        buf_ = std::move(o.buf_);
        o.fd_ = -1;
    }
    return *this;
}

void LineConn::Close() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
}

LineConn LineConn::Connect(const std::string& addr, int port, const std::string& source) {
    sockaddr_in a, s;
    if (!Address(addr, port, a) || (!source.empty() && !Address(source, 0, s))) return LineConn();
    LineConn c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!c.Ok()) return c;
    if (!source.empty() && ::bind(c.fd_, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0)
        return LineConn();
    if (::connect(c.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return LineConn();
    return c;
}

bool LineConn::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LineConn::Fill(int timeoutMs) {
    if (fd_ == -1) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char b[4096];
    const ssize_t n = ::recv(fd_, b, sizeof b, 0);
    if (n <= 0) return false;
    buf_.append(b, static_cast<size_t>(n));
    return true;
}

bool LineConn::ReadLine(std::string& line, int timeoutMs) {
    for (;;) {
        const size_t lf = buf_.find('\n');
        if (lf != std::string::npos) {
            line = buf_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buf_.erase(0, lf + 1);
            return true;
        }
        if (!Fill(timeoutMs)) return false;
    }
}

std::string LineConn::Line(int timeoutMs) {
    std::string l;
    return ReadLine(l, timeoutMs) ? l : std::string();
}

bool LineConn::ReadBytes(std::string& out, size_t n, int timeoutMs) {
    while (buf_.size() < n)
        if (!Fill(timeoutMs)) return false;
    out = buf_.substr(0, n);
    buf_.erase(0, n);
    return true;
}

bool LineConn::WaitClosed(int timeoutMs) {
    if (fd_ == -1) return true;
    if (!buf_.empty()) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char b[256];
    return ::recv(fd_, b, sizeof b, 0) <= 0;
}

Acceptor::Acceptor(const std::string& addr, Handler handler, int port)
    : handler_(std::move(handler)) {
    fd_ = ListenTcp(addr, port, &port_);
    if (fd_ != -1) thread_ = std::thread([this] { Loop(); });
}

Acceptor::~Acceptor() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ != -1) ::close(fd_);
    std::lock_guard lock(mu_);
    for (auto& t : workers_)
        t.join();
}

void Acceptor::Loop() {
    while (!stop_) {
        // Polled, so that the destructor is seen within a tenth of a second.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard lock(mu_);
        workers_.emplace_back([this, fd] {
            LineConn c(fd);
            handler_(c);
        });
    }
}

int RevoPort() {
    if (const char* p = std::getenv("REVO_PORT")) return std::atoi(p);
    return ::getuid() == 0 ? 689 : 17689;
}

int ListenTcp(const std::string& addr, int port, int* bound) {
    sockaddr_in a;
    if (!Address(addr, port, a)) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

} // namespace arbortest
