// A client session: authentication, queue submission and listing, mailboxes.
#include "revo_secret.h"
#include "server_internal.h"

#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace revo {
namespace {

using namespace detail;

std::string NewChallenge() {
    unsigned char rnd[8] = {};
    RAND_bytes(rnd, sizeof rnd);
    char hex[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", rnd[i]);
    return std::to_string(getpid()) + "." + hex + "@revod";
}

} // namespace

using namespace detail;

bool Server::IsLocalUser(const std::string& address) const {
    if (!users_.empty()) return users_.count(Owner(address)) > 0;
    return cfg_.isLocalUser && cfg_.isLocalUser(address);
}

void Server::RunSession(int fd, SlotRef slot) {
    {
        Session s(fd, slot);
        const auto authDeadline = slot->since + milliseconds(cfg_.authTimeoutMs);
        bool go;
        if (cfg_.noAuth) {
            s.authed = true;
            s.conn.SetDeadline(Clock::now() + milliseconds(cfg_.commandTimeoutMs));
            go = s.Send(REVO_OK, "revod ready");
        } else {
            s.challenge = NewChallenge();
            s.conn.SetDeadline(authDeadline);
            go = s.Send(REVO_AUTH_CHALLENGE, "revod ready <" + s.challenge + ">");
        }
        std::string line;
        while (go) {
            // Deadlines, not socket timeouts: a peer trickling one byte at a
            // time must not hold the session for ever.
            s.conn.SetDeadline(s.authed ? Clock::now() + milliseconds(cfg_.idleTimeoutMs)
                                        : authDeadline);
            auto r = s.conn.ReadLine(line);
            if (r == LineConn::Read::Closed) break;
            if (s.authed) s.conn.SetDeadline(Clock::now() + milliseconds(cfg_.commandTimeoutMs));
            if (r == LineConn::Read::TooLong)
                go = s.Send(REVO_ERR_LINE_TOO_LONG, "Line too long");
            else
                go = Command(s, line);
        }
        if (s.conn.Expired()) {
            Log(std::string("session from ") + s.peer +
                (s.authed ? " timed out" : " did not authenticate in time"));
            const std::string timeout = Reply(REVO_CLOSING, "Session timed out");
            [[maybe_unused]] ssize_t n =
                ::send(fd, timeout.data(), timeout.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        EndSession(slot);
    } // the session's socket closes here
    std::lock_guard lock(mu_);
    --sessions_;
    idle_.notify_all();
}

bool Server::Command(Session& s, const std::string& line) {
    std::string_view rest = line;
    const std::string cmd = Upper(NextWord(rest));
    if (cmd.empty()) return s.Send(REVO_ERR_SYNTAX, "Empty command");
    if (cmd == "QUIT") {
        s.Send(REVO_OK, "Bye");
        return false;
    }
    if (cmd == "AUTH") return Auth(s, rest);
    if (!s.authed) return s.Send(REVO_ERR_AUTH_FIRST, "Authenticate first");
    if (cmd == "NOOP") return s.Send(REVO_OK, "OK");
    if (cmd == "QWAIT") return QWait(s, rest);
    if (cmd == "QSTORE") return QStore(s, rest);
    if (cmd == "QLIST") return QList(s);
    if (cmd == "MBLIST") return MbList(s, rest);
    if (cmd == "MBREAD") return MbRead(s, rest);
    if (cmd == "USER" || cmd.rfind("CS", 0) == 0) return CalCommand(s, cmd, rest);
    return s.Send(REVO_ERR_UNKNOWN_COMMAND, "Unknown command");
}

bool Server::Auth(Session& s, std::string_view args) {
    if (s.authed) return s.Send(REVO_OK, "Already authenticated");
    std::string_view digest = NextWord(args);
    char expected[REVO_DIGEST_TEXT_LEN + 1];
    const bool ok = digest.size() == REVO_DIGEST_TEXT_LEN && args.empty() &&
                    RevoChallengeDigest(s.challenge.data(), s.challenge.size(), secret_, secretLen_,
                                        expected) &&
                    RevoDigestEqual(std::string(digest).c_str(), expected);
    if (ok) {
        if (!Authenticated(s.slot)) return false;
        s.authed = true;
        return s.Send(REVO_OK, "Authenticated");
    }
    Log("authentication failed from " + s.peer);
    if (++s.failures >= kMaxAuthFailures) {
        s.Send(REVO_CLOSING, "Too many authentication failures");
        return false;
    }
    return s.Send(REVO_ERR_AUTH_FAILED, "Authentication failed");
}

bool Server::QWait(Session& s, std::string_view args) {
    uint64_t queue, port;
    std::string_view q = NextWord(args), p = NextWord(args);
    std::string identity(args);
    while (!identity.empty() && identity.back() == ' ')
        identity.pop_back();
    if (!ParseU64(q, queue) || queue > 1000000 || !ParseU64(p, port) || port == 0 || port > 65535 ||
        identity.empty() || identity.size() > 255)
        return s.Send(REVO_ERR_SYNTAX, "Syntax: QWAIT queue port identity");
    AgentReg a{static_cast<int>(queue), identity, s.peer, static_cast<uint16_t>(port)};
    if (!store_->SaveAgent(a)) return s.Send(REVO_ERR_STORE, "Store failure");
    {
        std::lock_guard lock(mu_);
        auto& list = agents_[a.queue];
        auto same = std::find_if(list.begin(), list.end(),
                                 [&](const AgentReg& o) { return o.identity == a.identity; });
        if (same != list.end())
            *same = a;
        else
            list.push_back(a);
    }
    {
        // A (re-)registered agent is back: what waited for its queue goes now.
        std::lock_guard lock(mu_);
        ReleaseHeld(a.queue);
    }
    wake_.notify_all();
    Log("agent " + identity + " registered for queue " + std::to_string(queue) + " at " + s.peer +
        ":" + std::to_string(port));
    return s.Send(REVO_OK, "Registered for queue " + std::to_string(queue));
}

// QSTORE <control bytes> <message bytes>, then the control lines (LF or
// CR LF ended) and the message, byte-exact. Durable before the reply.
bool Server::QStore(Session& s, std::string_view args) {
    uint64_t ctlBytes, msgBytes;
    if (!ParseU64(NextWord(args), ctlBytes) || !ParseU64(NextWord(args), msgBytes) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: QSTORE control-bytes message-bytes");
    if (ctlBytes > kMaxControlText || msgBytes > cfg_.maxMessage) {
        s.Send(REVO_ERR_TOO_LARGE, "Entry too large");
        return false; // the peer is about to send the bytes: no way to resync
    }
    std::string ctl, msg;
    if (!s.conn.ReadExact(ctlBytes, ctl) || !s.conn.ReadExact(msgBytes, msg)) return false;
    ControlLines lines;
    std::string_view t = ctl, l;
    bool recipient = false;
    while (NextBlockLine(t, l)) {
        if (!ValidControlLine(l)) return s.Send(REVO_ERR_CONTROL_LINE, "Invalid control line");
        recipient |= l[0] == 'L' || l[0] == 'M';
        lines.emplace_back(l);
    }
    if (!recipient) return s.Send(REVO_ERR_NO_RECIPIENT, "Entry has no recipient");
    const int64_t id = store_->Submit(lines, msg);
    if (id == 0) return s.Send(REVO_ERR_STORE, "Store failure");
    {
        std::lock_guard lock(mu_);
        Enqueue(id, 0, 0);
    }
    wake_.notify_all();
    return s.Send(REVO_OK, std::to_string(id) + " Queued");
}

bool Server::QList(Session& s) {
    auto items = store_->Queued();
    std::string out;
    for (const auto& q : items)
        out += Reply(REVO_QUEUE_ITEM,
                     std::to_string(q.id) + " " + std::to_string(q.stage) + " " +
                         std::to_string(q.attempts) + " " + std::to_string(q.recipients) + " " +
                         std::to_string(q.size) + " " + (q.sender.empty() ? "-" : q.sender));
    out += Reply(REVO_OK, std::to_string(items.size()) + " entries queued");
    return s.conn.SendAll(out);
}

bool Server::MbList(Session& s, std::string_view args) {
    std::string_view user = NextWord(args);
    if (user.empty() || !args.empty()) return s.Send(REVO_ERR_SYNTAX, "Syntax: MBLIST address");
    auto items = store_->Mailbox(std::string(user));
    std::string out;
    for (const auto& m : items)
        out += Reply(REVO_MAILBOX_ITEM, std::to_string(m.id) + " " + std::to_string(m.entry) + " " +
                                            std::to_string(m.size) + " " +
                                            std::to_string(m.delivered) + " " +
                                            (m.sender.empty() ? "-" : m.sender));
    out += Reply(REVO_OK, std::to_string(items.size()) + " messages");
    return s.conn.SendAll(out);
}

bool Server::MbRead(Session& s, std::string_view args) {
    std::string_view user = NextWord(args);
    int64_t id;
    if (user.empty() || !ParseI64(NextWord(args), id) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: MBREAD address id");
    std::string msg;
    if (!store_->MailboxMessage(std::string(user), id, msg))
        return s.Send(REVO_ERR_NO_SUCH_MESSAGE, "No such message");
    return s.conn.SendAll(Reply(REVO_BYTES_FOLLOW, std::to_string(msg.size())) + msg);
}

} // namespace revo
