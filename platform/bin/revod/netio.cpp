#include "netio.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace revo {

LineConn::~LineConn() {
    if (fd_ >= 0) ::close(fd_);
}

void LineConn::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

bool LineConn::Fill() {
    if (start_ == end_) start_ = end_ = 0;
    if (end_ == sizeof buf_) {
        std::memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    for (;;) {
        if (!Await(POLLIN)) return false;
        ssize_t n = ::recv(fd_, buf_ + end_, sizeof buf_ - end_, deadline_ ? MSG_DONTWAIT : 0);
        if (n < 0 && deadline_ && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

LineConn::Read LineConn::ReadLine(std::string& out, size_t maxLen) {
    out.clear();
    bool tooLong = false;
    for (;;) {
        const char* from = buf_ + start_;
        const void* lf = std::memchr(from, '\n', end_ - start_);
        size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - from) : end_ - start_;
        if (!tooLong) {
            if (out.size() + take + (lf ? 1 : 0) > maxLen) {
                tooLong = true;
                out.clear();
            } else {
                out.append(from, take);
            }
        }
        start_ += take;
        if (lf) {
            ++start_;
            if (tooLong) return Read::TooLong;
            if (!out.empty() && out.back() == '\r') out.pop_back();
            return Read::Line;
        }
        if (!Fill()) return Read::Closed;
    }
}

bool LineConn::ReadExact(size_t n, std::string& out) {
    while (n > 0) {
        if (start_ == end_ && !Fill()) return false;
        size_t take = std::min(n, end_ - start_);
        out.append(buf_ + start_, take);
        start_ += take;
        n -= take;
    }
    return true;
}

bool LineConn::Await(short events) {
    if (!deadline_) return true;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            expired_ = true;
            return false;
        }
        pollfd p{fd_, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
        if (rc > 0) return true; // ready, or an error the next call reports
        if (rc < 0 && errno != EINTR) return false;
    }
}

bool LineConn::SendAll(std::string_view data) {
    while (!data.empty()) {
        if (!Await(POLLOUT)) return false;
        ssize_t n =
            ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | (deadline_ ? MSG_DONTWAIT : 0));
        if (n < 0 && (errno == EINTR || (deadline_ && (errno == EAGAIN || errno == EWOULDBLOCK))))
            continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void SetTimeouts(int fd, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

static bool MakeAddress(const std::string& address, uint16_t port, sockaddr_in& sa,
                        std::string& err) {
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        err = "not an IPv4 address: " + address;
        return false;
    }
    return true;
}

int ConnectTcp(const std::string& address, uint16_t port, int timeoutMs, std::string& err,
               const std::string& source) {
    sockaddr_in sa;
    if (!MakeAddress(address, port, sa, err)) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (!source.empty()) {
        sockaddr_in local;
        // The port is chosen at connect, for this destination: bound here,
        // the kernel must find a port free towards every peer, a search
        // that grows with the connections in TIME_WAIT (one per offer).
        int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        if (!MakeAddress(source, 0, local, err) ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            if (err.empty()) err = "bind " + source + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, timeoutMs);
        if (rc == 1) {
            int soerr = 0;
            socklen_t len = sizeof soerr;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
            rc = soerr == 0 ? 0 : -1;
            errno = soerr;
        } else {
            if (rc == 0) errno = ETIMEDOUT;
            rc = -1;
        }
    }
    if (rc < 0) {
        err = "connect " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int ListenTcp(const std::string& address, uint16_t port, std::string& err, uint16_t* boundPort) {
    sockaddr_in sa;
    if (!MakeAddress(address, port, sa, err)) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd, 1024) < 0) {
        err = "listen " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (boundPort) {
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        *boundPort = ntohs(sa.sin_port);
    }
    return fd;
}

bool ParseReply(std::string_view line, int& code, std::string& text) {
    size_t sep;
    if (line.size() > 4 && (line[4] == ' ' || line[4] == '-'))
        sep = 4;
    else if ((sep = line.find(' ')) == std::string_view::npos)
        return false;
    code = 0;
    for (size_t i = 0; i < sep && line[i] >= '0' && line[i] <= '9'; ++i)
        code = code * 10 + (line[i] - '0');
    text.assign(line.substr(sep + 1));
    return true;
}

std::string_view NextWord(std::string_view& rest) {
    size_t b = rest.find_first_not_of(' ');
    if (b == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(b);
    size_t e = rest.find(' ');
    std::string_view word = rest.substr(0, e);
    rest = e == std::string_view::npos ? std::string_view{} : rest.substr(e + 1);
    return word;
}

bool ParseU64(std::string_view s, uint64_t& out) {
    if (s.empty() || s.size() > 19) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

} // namespace revo
