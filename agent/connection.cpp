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

namespace {

// A queue entry may sit idle while the server works; give up after 15 minutes.
constexpr int kReadTimeoutMs = 900000;

int plainWrite(REVOConnection* c, void* buffer, int count) {
    // MSG_NOSIGNAL: a peer that went away must fail this write, not kill the agent.
    return static_cast<int>(send(c->Socket, buffer, static_cast<size_t>(count), MSG_NOSIGNAL));
}

int sslWrite(REVOConnection* c, void* buffer, int count) {
    // A short SSL write counts as complete.
    return SSL_write(c->SSL, buffer, count) == -1 ? -1 : count;
}

int plainRead(REVOConnection* c, void* buffer, int count) {
    pollfd p{c->Socket, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, kReadTimeoutMs);
    } while (r < 0 && errno == EINTR && !dayward::exiting());
    if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) || dayward::exiting())
        return dayward::exiting() ? 0 : -1;
    return static_cast<int>(recv(c->Socket, buffer, static_cast<size_t>(count), 0));
}

int sslRead(REVOConnection* c, void* buffer, int count) {
    int r;
    do {
        r = SSL_read(c->SSL, buffer, count);
    } while (r == 0 && count != 0 && !dayward::exiting());
    return dayward::exiting() ? -1 : r;
}

// Moves one complete line from the receive buffer into dest (cut to size - 1
// bytes); false when the buffer holds no line feed yet.
bool takeLine(REVOConnection* c, char* dest, int size) {
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

extern "C" {

REVOTransport FuncTbl[8] = {plainWrite, sslWrite, plainRead, sslRead,
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
    if (!takeLine(c, dest, size)) {
        for (;;) {
            if (dayward::exiting()) {
                ReleaseConnection(c);
                return 0;
            }
            int room = REVO_LINE_BUFFER - 1 - c->BufferedLength;
            int n = FuncTbl[2 + c->UseSSL](c, c->LineBuffer + c->BufferedLength, room);
            if (n < 1 || dayward::exiting()) {
                ReleaseConnection(c);
                return 0;
            }
            c->BufferedLength += n;
            c->LineBuffer[c->BufferedLength] = '\0';
            if (takeLine(c, dest, size)) break;
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
    if (code == 5001) {
        close(c->Socket);
        c->Socket = -1;
    }
    memmove(dest, sep + 1, strlen(sep + 1) + 1);
    return code;
}

int REVOSendAll(REVOConnection* c, const char* bytes, int count) {
    int sent = 0;
    while (sent < count) {
        int n = FuncTbl[c->UseSSL](c, const_cast<char*>(bytes) + sent, count - sent);
        if (n < 1 || dayward::exiting()) {
            if (!dayward::exiting() && c->Socket != -1) {
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

void RunQueueListener(void) {
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    dayward::setServerSocket(s);
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
            dayward::setServerSocket(-1);
        } else {
            ServerSocketPort = a.sin_port; // network byte order, zero-extended
            StartRegistrationThreads(ServerSocketPort);
            if (dayward::exiting()) return;
            for (;;) {
                if (dayward::exiting()) return;
                sockaddr_in peer{};
                socklen_t pl = sizeof peer;
                int fd = accept(s, reinterpret_cast<sockaddr*>(&peer), &pl);
                if (fd == -1) {
                    // An unrelated signal is no failure of the listener.
                    if (errno == EINTR && !dayward::exiting()) continue;
                    int cur = dayward::serverSocket();
                    if (cur != -1) {
                        close(cur);
                        dayward::setServerSocket(-1);
                    }
                    break;
                }
                auto* rec = static_cast<REVOConnection*>(calloc(1, sizeof(REVOConnection)));
                if (dayward::exiting() || !rec) {
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
                if (!dayward::startDetached(HandleConnection, rec)) {
                    // Nobody would own the record: close, so the server offers the entry again.
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

bool startDetached(void* (*fn)(void*), void* arg) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, DaywardThreadStack);
    pthread_t t;
    bool ok = pthread_create(&t, &attr, fn, arg) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

void pauseSeconds(int seconds) {
    for (int i = 0; i < seconds && !exiting(); ++i) {
        timeval tv{1, 0};
        select(0, nullptr, nullptr, nullptr, &tv);
    }
}

} // namespace dayward
