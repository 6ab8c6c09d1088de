// Queue listener and the line I/O of every REVO connection.
#include "internal.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Addresses queue connections are accepted from (network byte order).
// Written by the main thread before its accept loop, read only by it.
std::vector<uint32_t> queuePeers;

// Queue connections being served; the listener refuses more than the limit.
std::atomic<int> queueConnections{0};

// The thread of one queue connection: gives its place back when it ends,
// however it ends (a release ends it by unwinding).
void* ServedQueueConnection(void* connection) {
    struct Place {
        ~Place() { queueConnections.fetch_sub(1, std::memory_order_acq_rel); }
    } place;
    return HandleConnection(connection);
}

// The source address this host picks for a connection to `to`, or false.
bool SourceToward(uint32_t to, uint32_t& source) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == -1) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9);
    a.sin_addr.s_addr = to;
    socklen_t al = sizeof a;
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              getsockname(s, reinterpret_cast<sockaddr*>(&a), &al) == 0;
    close(s);
    if (ok) source = a.sin_addr.s_addr;
    return ok;
}

// True when `address` is one of this host's own addresses.
bool IsLocal(uint32_t address) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == -1) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Everything a command may carry is one line: no NUL, and no CR or LF
// except the CR LF that ends it.
bool SingleLine(const char* bytes, int count) {
    int body = count;
    if (count >= 2 && bytes[count - 2] == '\r' && bytes[count - 1] == '\n') body = count - 2;
    for (int i = 0; i < body; ++i)
        if (bytes[i] == '\r' || bytes[i] == '\n' || bytes[i] == '\0') return false;
    return true;
}

int PlainWrite(REVOConnection* c, void* buffer, int count) {
    // MSG_NOSIGNAL: a peer that went away must fail this write, not kill the agent.
    return static_cast<int>(send(c->Socket, buffer, static_cast<size_t>(count), MSG_NOSIGNAL));
}

int SslWrite(REVOConnection* c, void* buffer, int count) {
    // A short SSL write counts as complete.
    return SSL_write(c->SSL, buffer, count) == -1 ? -1 : count;
}

int PlainRead(REVOConnection* c, void* buffer, int count) {
    pollfd p{c->Socket, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, dayward::limits.idleTimeoutMs);
    } while (r < 0 && errno == EINTR && !dayward::IsExiting());
    if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) || dayward::IsExiting())
        return dayward::IsExiting() ? 0 : -1;
    return static_cast<int>(recv(c->Socket, buffer, static_cast<size_t>(count), 0));
}

int SslRead(REVOConnection* c, void* buffer, int count) {
    int r;
    do {
        r = SSL_read(c->SSL, buffer, count);
    } while (r == 0 && count != 0 && !dayward::IsExiting());
    return dayward::IsExiting() ? -1 : r;
}

// Moves one complete line from the receive buffer into dest (cut to size - 1
// bytes); false when the buffer holds no line feed yet.
bool TakeLine(REVOConnection* c, char* dest, int size) {
    if (c->BufferedLength <= 0) return false;
    auto* lf =
        static_cast<char*>(memchr(c->LineBuffer, '\n', static_cast<size_t>(c->BufferedLength)));
    if (!lf) return false;
    size_t len = static_cast<size_t>(lf - c->LineBuffer);
    if (size > 0) {
        size_t n = len < static_cast<size_t>(size - 1) ? len : static_cast<size_t>(size - 1);
        memcpy(dest, c->LineBuffer, n);
        dest[n] = '\0';
    }
    int rest = c->BufferedLength - static_cast<int>(len) - 1;
    memmove(c->LineBuffer, lf + 1, static_cast<size_t>(rest) + 1); // with its NUL
    c->BufferedLength = rest;
    return true;
}

} // namespace

namespace dayward {
int SendChecked(REVOConnection* c, const char* bytes, int count, bool refused);
} // namespace dayward

extern "C" {

REVOTransport FuncTbl[8] = {PlainWrite, SslWrite, PlainRead, SslRead,
                            nullptr,    nullptr,  nullptr,   nullptr};

void ReleaseConnection(REVOConnection* c) {
    if (c->Released) return;
    c->Released = 1;
    if (c->Socket != -1) {
        close(c->Socket);
        c->Socket = -1;
    }
    if (c->SSL) {
        SSL_free(c->SSL);
        c->SSL = nullptr;
    }
    free(c);
    pthread_exit(nullptr);
}

int REVOReadLine(REVOConnection* c, char* dest, int size, int parse) {
    if (c->Socket == -1) return -1;
    if (size > 0) dest[0] = '\0';
    if (!TakeLine(c, dest, size)) {
        for (;;) {
            if (dayward::IsExiting()) {
                ReleaseConnection(c);
                return 0;
            }
            int room = REVO_LINE_BUFFER - 1 - c->BufferedLength;
            int n = FuncTbl[2 + c->UseSSL](c, c->LineBuffer + c->BufferedLength, room);
            if (n < 1 || dayward::IsExiting()) {
                ReleaseConnection(c);
                return 0;
            }
            c->BufferedLength += n;
            c->LineBuffer[c->BufferedLength] = '\0';
            if (TakeLine(c, dest, size)) break;
        }
    }
    if (size < 1) return parse ? -1 : 0;

    if (char* cr = strrchr(dest, '\r')) *cr = '\0';

    if (!parse) {
        long v = strtol(dest, nullptr, 10);
        return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    }

    char* sep;
    if (strlen(dest) > 4 && (dest[4] == ' ' || dest[4] == '-'))
        sep = dest + 4;
    else if (!(sep = strchr(dest, ' ')))
        return -1;
    *sep = '\0';
    long v = strtol(dest, nullptr, 10);
    int code = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    if (code == REVO_CLOSING) {
        close(c->Socket);
        c->Socket = -1;
    }
    memmove(dest, sep + 1, strlen(sep + 1) + 1);
    return code;
}

int REVOSendAll(REVOConnection* c, const char* bytes, int count) {
    // Whatever formatted it, a command that would be more than one line on
    // the wire fails like a write: nothing of it is sent.
    return dayward::SendChecked(c, bytes, count, count < 0 || !SingleLine(bytes, count));
}

void RunQueueListener(void) {
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    dayward::SetServerSocket(s);
    if (s != -1) {
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t al = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 2048) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &al) != 0) {
            close(s);
            dayward::SetServerSocket(-1);
        } else {
            ServerSocketPort = a.sin_port; // network byte order, zero-extended
            // Also fills the addresses queue connections are accepted from.
            StartRegistrationThreads(ServerSocketPort);
            if (dayward::IsExiting()) return;
            for (;;) {
                if (dayward::IsExiting()) return;
                sockaddr_in peer{};
                socklen_t pl = sizeof peer;
                int fd = accept(s, reinterpret_cast<sockaddr*>(&peer), &pl);
                if (fd == -1) {
                    // An unrelated signal is no failure of the listener.
                    if (errno == EINTR && !dayward::IsExiting()) continue;
                    int cur = dayward::CurrentServerSocket();
                    if (cur != -1) {
                        close(cur);
                        dayward::SetServerSocket(-1);
                    }
                    break;
                }
                // Only the REVO servers may offer entries, and only so many at
                // once; anyone else is closed before a byte is read.
                if (!dayward::QueuePeerAllowed(peer.sin_addr.s_addr) ||
                    queueConnections.load(std::memory_order_acquire) >=
                        dayward::limits.maxQueueConnections) {
                    close(fd);
                    continue;
                }
                auto* rec = static_cast<REVOConnection*>(calloc(1, sizeof(REVOConnection)));
                if (dayward::IsExiting() || !rec) {
                    free(rec);
                    close(fd);
                    continue;
                }
                std::atomic_ref<int> hs(HighestSocket);
                if (fd > hs.load(std::memory_order_acquire))
                    hs.store(fd, std::memory_order_release);
                rec->Socket = fd;
                rec->PeerAddress = peer;
                int nodelay = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
                queueConnections.fetch_add(1, std::memory_order_acq_rel);
                if (!dayward::StartDetached(ServedQueueConnection, rec)) {
                    // Nobody would own the record: close, so the server offers the entry again.
                    queueConnections.fetch_sub(1, std::memory_order_acq_rel);
                    close(fd);
                    free(rec);
                }
            }
        }
    }
    raise(SIGTERM);
}

} // extern "C"

namespace dayward {

Limits limits;

// Writes count bytes; a refused or failed write closes the socket and
// releases the connection (the thread ends), as every write failure does.
int SendChecked(REVOConnection* c, const char* bytes, int count, bool refused) {
    int sent = 0;
    while (refused || sent < count) {
        int n = refused ? -1 : FuncTbl[c->UseSSL](c, const_cast<char*>(bytes) + sent, count - sent);
        if (n < 1 || dayward::IsExiting()) {
            if (!dayward::IsExiting() && c->Socket != -1) {
                close(c->Socket);
                c->Socket = -1;
            }
            ReleaseConnection(c);
            return 0;
        }
        sent += n;
    }
    return 1;
}

// Whole lines only: every LF after a CR, every CR before an LF, no NUL, and
// the last line ended.
bool WholeLines(std::string_view lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const char ch = lines[i];
        if (ch == '\0' || (ch == '\r' && (i + 1 == lines.size() || lines[i + 1] != '\n')) ||
            (ch == '\n' && (i == 0 || lines[i - 1] != '\r')))
            return false;
    }
    return lines.size() >= 2 && lines.substr(lines.size() - 2) == "\r\n";
}

bool StartDetached(void* (*fn)(void*), void* arg) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, DaywardThreadStack);
    // The new thread inherits the mask: SIGTERM must find the main thread,
    // or its handler would run beside the listener's own shutdown pass.
    sigset_t handled, before;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &handled, &before);
    pthread_t t;
    bool ok = pthread_create(&t, &attr, fn, arg) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attr);
    return ok;
}

void AllowQueuePeer(const char* dotted) {
    in_addr a{};
    // Read as the registration reads it; an address it cannot read is no peer.
    if (!dotted || inet_aton(dotted, &a) == 0) return;
    queuePeers.push_back(a.s_addr);
    // A server on this very host connects back from whatever address the
    // host picks toward the address our registration came from (on the
    // loopback that is 127.0.0.1 for any server address of 127/8).
    uint32_t ours, theirs;
    if (IsLocal(a.s_addr) && SourceToward(a.s_addr, ours) && SourceToward(ours, theirs))
        queuePeers.push_back(theirs);
}

bool QueuePeerAllowed(uint32_t address) {
    for (uint32_t p : queuePeers)
        if (p == address) return true;
    return false;
}

bool LineTextOk(std::string_view v) {
    return v.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool LineWordOk(std::string_view v) {
    if (v.empty()) return false;
    for (char ch : v) {
        auto u = static_cast<unsigned char>(ch);
        if (u <= ' ' || u == 0x7f) return false;
    }
    return true;
}

Command::Command(std::string_view verb) : line_(verb), ok_(LineWordOk(verb)) {}

Command& Command::Word(std::string_view v) {
    ok_ = ok_ && !ended_ && LineWordOk(v);
    if (ok_) {
        line_ += ' ';
        line_ += v;
    }
    return *this;
}

Command& Command::Number(unsigned long v) {
    return Word(std::to_string(v));
}

Command& Command::Text(std::string_view v) {
    ok_ = ok_ && !ended_ && LineTextOk(v);
    ended_ = true;
    if (ok_) {
        line_ += ' ';
        line_ += v;
    }
    return *this;
}

bool Command::AppendTo(std::string& out) const {
    if (!ok_) return false;
    out += line_;
    out += "\r\n";
    return true;
}

int SendLines(REVOConnection* c, std::string_view lines) {
    const int count = lines.size() > INT_MAX ? -1 : static_cast<int>(lines.size());
    return SendChecked(c, lines.data(), count, count < 1 || !WholeLines(lines));
}

int Command::Send(REVOConnection* c) const {
    if (!ok_) return 0;
    std::string out = line_ + "\r\n";
    return REVOSendAll(c, out.data(), static_cast<int>(out.size()));
}

void PauseSeconds(int seconds) {
    for (int i = 0; i < seconds && !IsExiting(); ++i) {
        timeval tv{1, 0};
        select(0, nullptr, nullptr, nullptr, &tv);
    }
}

} // namespace dayward
