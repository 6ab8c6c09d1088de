#include "server.h"

#include "mime.h"
#include "netio.h"
#include "revo_secret.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>

namespace revo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Control lines longer than this could not be read back by an agent.
constexpr size_t kMaxControlLine = 1000;
constexpr size_t kMaxControlText = 1u << 20;
constexpr size_t kMaxModLines = 100000;
constexpr int kMaxAuthFailures = 3;
constexpr const char* kStatusLetters = "NADTGCI";

std::string Upper(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

bool ParseI64(std::string_view s, int64_t& out) {
    bool neg = !s.empty() && s[0] == '-';
    uint64_t v;
    if (!ParseU64(neg ? s.substr(1) : s, v) || v > static_cast<uint64_t>(INT64_MAX)) return false;
    out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// A control line is one line of printable text (tabs allowed).
bool ValidControlLine(std::string_view l) {
    if (l.empty() || l.size() > kMaxControlLine) return false;
    for (unsigned char c : l)
        if ((c < ' ' && c != '\t') || c == 0x7f) return false;
    return true;
}

std::string Reply(int code, std::string_view text) {
    std::string r = std::to_string(code);
    r += ' ';
    r += text;
    r += "\r\n";
    return r;
}

std::string NewChallenge() {
    unsigned char rnd[8] = {};
    RAND_bytes(rnd, sizeof rnd);
    char hex[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", rnd[i]);
    return std::to_string(getpid()) + "." + hex + "@revod";
}

} // namespace

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
    bool Send(int code, std::string_view text) { return conn.SendAll(Reply(code, text)); }
};

Server::Server() = default;
Server::~Server() {
    Stop();
}

void Server::Log(const std::string& line) const {
    if (cfg_.log) cfg_.log(line);
}

void Server::TrackFd(int fd, bool add) {
    std::lock_guard lock(mu_);
    if (add)
        liveFds_.insert(fd);
    else
        liveFds_.erase(fd);
}

bool Server::Start(const ServerConfig& cfg, std::string& err) {
    cfg_ = cfg;
    for (const auto& u : cfg_.users)
        users_.insert(Owner(u));
    if (!cfg_.noAuth) {
        if (cfg_.secretText.empty() && !cfg_.defaultSecret) {
            err = "no shared secret";
            return false;
        }
        const std::string text =
            cfg_.secretText.empty() ? REVO_DEFAULT_SECRET_TEXT : cfg_.secretText;
        RevoUnscrambleSecret(text.c_str(), secret_);
        secretLen_ = RevoSecretLength(secret_);
        if (secretLen_ == 0) {
            // Anyone could compute the digest over an empty secret.
            err = "the secret text gives an empty secret";
            return false;
        }
    }
    store_ = Store::Open(cfg_.storePath, cfg_.sync, err);
    if (!store_) return false;
    for (const auto& a : store_->Agents())
        agents_[a.queue].push_back(a);
    for (const auto& q : store_->Queued())
        Enqueue(q.id, q.stage, q.attempts);
    listenFd_ = ListenTcp(cfg_.listen, cfg_.port, err, &port_);
    if (listenFd_ < 0) return false;
    started_ = true;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    dispatchThread_ = std::thread([this] { Dispatch(); });
    Log("listening on " + cfg_.listen + ":" + std::to_string(port_));
    return true;
}

void Server::Stop() {
    if (!started_) return;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        for (int fd : liveFds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    jobsCv_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    dispatchThread_.join();
    {
        std::unique_lock lock(mu_);
        // Sessions and offers notice the shut-down sockets and end.
        while (sessions_ > 0 || offers_ > 0 || workers_ > 0) {
            jobsCv_.notify_all();
            for (int fd : liveFds_)
                ::shutdown(fd, SHUT_RDWR);
            idle_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    ::close(listenFd_);
    listenFd_ = -1;
    store_.reset();
    started_ = false;
}

void Server::AcceptLoop() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::lock_guard lock(mu_);
            if (stopping_) return;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: back off instead of spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            return;
        }
        char addr[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mu_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        SlotRef slot;
        if (!Admit(addr, fd, slot)) {
            // One thread per session: refuse rather than run out of threads.
            const std::string busy = Reply(REVO_CLOSING, "Too many sessions");
            [[maybe_unused]] ssize_t n =
                ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            continue;
        }
        ++sessions_;
        liveFds_.insert(fd);
        std::thread([this, fd, slot] { RunSession(fd, slot); }).detach();
    }
}

// ---- session limits ------------------------------------------------------

constexpr auto kKnownFor = std::chrono::hours(1);
constexpr size_t kMaxKnown = 4096;

// Idle or slow unauthenticated sockets must not lock anyone out: they are
// capped per address and in all (leaving a reserve for authenticated
// sessions and for addresses that authenticated lately, such as an agent's),
// and once they have waited a tenth of the authentication time a newcomer
// takes the place of the oldest. An honest client authenticates in one round
// trip, well within that grace.
bool Server::Admit(const std::string& peer, int fd, SlotRef& slot) {
    const int reserve = cfg_.reservedSessions >= 0 ? cfg_.reservedSessions : cfg_.maxSessions / 10;
    const int unauthCap = std::max(1, cfg_.maxSessions - reserve);
    // Evicted sessions are still ending; their threads count here.
    if (slots_.size() >= 2 * static_cast<size_t>(cfg_.maxSessions)) return false;
    const auto now = Clock::now();
    const auto cutoff = now - milliseconds(cfg_.authTimeoutMs / 10);
    const auto k = known_.find(peer);
    const bool known = k != known_.end() && now - k->second < kKnownFor;
    for (;;) {
        const auto pc = unauthByPeer_.find(peer);
        const bool peerFull = pc != unauthByPeer_.end() && pc->second >= cfg_.maxUnauthPerPeer;
        if (!peerFull && (known || unauthSessions_ < unauthCap) &&
            activeSessions_ < cfg_.maxSessions)
            break;
        auto victim = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) {
            return s.state == Slot::State::Unauthenticated && s.since <= cutoff &&
                   (!peerFull || s.peer == peer);
        });
        if (victim == slots_.end()) return false;
        Log("session from " + victim->peer + " ended unauthenticated to make room");
        Evict(*victim);
    }
    slot = slots_.insert(slots_.end(), Slot{fd, peer, now, Slot::State::Unauthenticated});
    ++activeSessions_;
    if (cfg_.noAuth) {
        slot->state = Slot::State::Authenticated;
    } else {
        ++unauthSessions_;
        ++unauthByPeer_[peer];
    }
    return true;
}

void Server::Evict(Slot& s) {
    ::shutdown(s.fd, SHUT_RDWR); // the session's thread wakes and ends
    s.state = Slot::State::Evicted;
    --activeSessions_;
    --unauthSessions_;
    if (--unauthByPeer_[s.peer] <= 0) unauthByPeer_.erase(s.peer);
}

bool Server::Authenticated(SlotRef slot) {
    std::lock_guard lock(mu_);
    if (slot->state != Slot::State::Unauthenticated) return false; // evicted meanwhile
    slot->state = Slot::State::Authenticated;
    --unauthSessions_;
    if (--unauthByPeer_[slot->peer] <= 0) unauthByPeer_.erase(slot->peer);
    const auto now = Clock::now();
    if (known_.size() >= kMaxKnown && !known_.count(slot->peer))
        std::erase_if(known_, [&](const auto& e) { return now - e.second >= kKnownFor; });
    if (known_.size() < kMaxKnown || known_.count(slot->peer)) known_[slot->peer] = now;
    return true;
}

// Before the socket closes, so that no one shuts down a reused descriptor.
void Server::EndSession(SlotRef slot) {
    std::lock_guard lock(mu_);
    if (slot->state == Slot::State::Unauthenticated) {
        --unauthSessions_;
        if (--unauthByPeer_[slot->peer] <= 0) unauthByPeer_.erase(slot->peer);
    }
    if (slot->state != Slot::State::Evicted) --activeSessions_;
    liveFds_.erase(slot->fd);
    slots_.erase(slot);
}

// ---- queue dispatch ------------------------------------------------------

void Server::ReleaseHeld(int queue) {
    for (auto d = delayed_.begin(); d != delayed_.end();) {
        auto it = items_.find(d->second);
        if (it != items_.end() && it->second.heldFor == queue) {
            it->second.heldFor = -1;
            ready_.push_back(d->second);
            d = delayed_.erase(d);
        } else {
            ++d;
        }
    }
}

void Server::Enqueue(int64_t id, int stage, int attempts) {
    auto& it = items_[id];
    it.stage = stage;
    it.attempts = attempts;
    it.inFlight = false;
    it.failures = 0;
    it.heldFor = -1;
    ready_.push_back(id);
}

void Server::Dispatch() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        const auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            ready_.push_back(delayed_.begin()->second);
            delayed_.erase(delayed_.begin());
        }
        std::vector<int64_t> deliver;
        size_t started = 0;
        while (!ready_.empty()) {
            const int64_t id = ready_.front();
            auto it = items_.find(id);
            if (it == items_.end() || it->second.inFlight) {
                ready_.pop_front();
                continue;
            }
            auto q = agents_.lower_bound(it->second.stage);
            if (q == agents_.end()) {
                ready_.pop_front();
                it->second.inFlight = true; // until delivered
                deliver.push_back(id);
                continue;
            }
            if (offers_ >= cfg_.maxOffers) break;
            ready_.pop_front();
            size_t& rr = nextAgent_[q->first];
            const AgentReg agent = q->second[rr++ % q->second.size()];
            it->second.inFlight = true;
            ++offers_;
            jobs_.push_back({id, q->first, agent});
            ++started;
            if (idleWorkers_ == 0 && workers_ < cfg_.maxOffers) {
                ++workers_;
                std::thread([this] { OfferWorker(); }).detach();
            } else {
                jobsCv_.notify_one();
            }
        }
        if (!deliver.empty() || started > 0) {
            lock.unlock();
            const bool ok = deliver.empty() || store_->Deliver(deliver);
            lock.lock();
            for (int64_t id : deliver) {
                if (ok) {
                    items_.erase(id);
                } else {
                    items_[id].inFlight = false;
                    delayed_.emplace(Clock::now() + std::chrono::seconds(1), id);
                }
            }
            if (!ok) Log("delivery failed; will retry");
            continue;
        }
        if (delayed_.empty()) {
            wake_.wait(lock);
        } else {
            // A copy: ReleaseHeld may take the first entry out while we wait.
            const auto until = delayed_.begin()->first;
            wake_.wait_until(lock, until);
        }
    }
}

void Server::OfferWorker() {
    std::unique_lock lock(mu_);
    for (;;) {
        while (jobs_.empty() && !stopping_) {
            ++idleWorkers_;
            jobsCv_.wait(lock);
            --idleWorkers_;
        }
        if (jobs_.empty()) { // stopping, nothing left
            --workers_;
            idle_.notify_all();
            return;
        }
        OfferJob job = std::move(jobs_.front());
        jobs_.pop_front();
        const bool stop = stopping_;
        lock.unlock();
        if (stop)
            OfferDone(job.id, job.queue, Outcome::Failed);
        else
            RunOffer(job.id, job.queue, job.agent);
        lock.lock();
    }
}

void Server::RunOffer(int64_t id, int queue, AgentReg agent) {
    OfferDone(id, queue, Offer(id, queue, agent));
}

bool Server::LastQueue(int queue) const {
    std::lock_guard lock(mu_);
    return agents_.upper_bound(queue) == agents_.end();
}

// Offers one entry to one agent: 6020, control lines, 6021, then the
// agent's commands up to QDONE. True when the agent finished with QDONE and
// the outcome was committed (and, after the last queue, delivered with it).
Server::Outcome Server::Offer(int64_t id, int queue, const AgentReg& agent) {
    constexpr Outcome kFailed = Outcome::Failed;
    ControlLines control;
    std::string message;
    if (!store_->Load(id, control, message)) return kFailed;
    std::string err;
    int fd = ConnectTcp(agent.address, agent.port, 5000, err);
    if (fd < 0) {
        Log("offer " + std::to_string(id) + ": " + err);
        return Outcome::Unreachable;
    }
    LineConn conn(fd);
    TrackFd(fd, true);
    struct Untrack {
        Server* s;
        int fd;
        ~Untrack() { s->TrackFd(fd, false); }
    } untrack{this, fd};
    {
        std::lock_guard lock(mu_);
        if (stopping_) return kFailed;
    }
    SetTimeouts(fd, cfg_.offerTimeoutMs);
    const std::string qid = std::to_string(id);
    size_t size = 0;
    for (const auto& l : control)
        size += l.size() + 2;
    std::string out = Reply(REVO_QUEUE_OFFER, qid + " " + std::to_string(size));
    for (const auto& l : control)
        out += l + "\r\n";
    out += Reply(REVO_QUEUE_END_CONTROL, "End of control lines");
    if (!conn.SendAll(out)) return kFailed;

    std::optional<std::vector<std::string>> structure;
    ControlLines mods;
    std::string line;
    for (;;) {
        auto r = conn.ReadLine(line);
        if (r == LineConn::Read::Closed)
            return kFailed; // dropped before QDONE: the entry stays as it was
        if (r == LineConn::Read::TooLong) {
            if (!conn.SendAll(Reply(REVO_ERR_LINE_TOO_LONG, "Line too long"))) return kFailed;
            continue;
        }
        std::string_view rest = line;
        const std::string cmd = Upper(NextWord(rest));
        if (cmd == "QMIME" || cmd == "QBRAW") {
            std::string_view wantQid = NextWord(rest);
            if (wantQid != qid) {
                if (!conn.SendAll(Reply(REVO_ERR_NO_SUCH_QUEUE_ENTRY, "No such queue entry")))
                    return kFailed;
                continue;
            }
            if (cmd == "QMIME") {
                if (!structure) structure = StructureLines(ParseMime(message));
                std::string reply;
                for (const auto& s : *structure)
                    reply += s + "\r\n";
                reply += Reply(REVO_OK, "End of structure");
                if (!conn.SendAll(reply)) return kFailed;
                continue;
            }
            uint64_t start, length;
            if (!ParseU64(NextWord(rest), start) || !ParseU64(NextWord(rest), length) ||
                !rest.empty()) {
                if (!conn.SendAll(Reply(REVO_ERR_SYNTAX, "Syntax: QBRAW id start length")))
                    return kFailed;
                continue;
            }
            if (start > message.size() || length > message.size() - start) {
                if (!conn.SendAll(Reply(REVO_ERR_RANGE, "Range outside the message")))
                    return kFailed;
                continue;
            }
            std::string reply = Reply(REVO_BYTES_FOLLOW, std::to_string(length));
            reply.append(message, start, length);
            if (!conn.SendAll(reply)) return kFailed;
        } else if (cmd == "QMOD") {
            // "QMOD RAW <line>": the line is everything after "RAW ", as sent.
            if (line.size() > 9 && EqualNoCase(std::string_view(line).substr(0, 9), "QMOD RAW ") &&
                ValidControlLine(std::string_view(line).substr(9)) && mods.size() < kMaxModLines)
                mods.push_back(line.substr(9));
            // No reply: agents send these back to back.
        } else if (cmd == "QDONE") {
            // No QMOD RAW line at all means the agent left the entry alone.
            const ControlLines* changed = mods.empty() ? nullptr : &mods;
            Outcome outcome = kFailed;
            if (LastQueue(queue))
                outcome = store_->PassAndDeliver(id, changed) ? Outcome::Delivered : kFailed;
            else
                outcome = store_->Pass(id, queue + 1, changed) ? Outcome::Passed : kFailed;
            conn.SendAll(outcome != kFailed ? Reply(REVO_OK, "Entry done")
                                            : Reply(REVO_ERR_STORE, "Store failure"));
            return outcome;
        } else {
            if (!conn.SendAll(Reply(REVO_ERR_UNKNOWN_COMMAND, "Unknown command"))) return kFailed;
        }
    }
}

// An agent that cannot be reached (down, restarting) gets its entries held
// for holdTimeMs, retried with a doubling delay; one that takes an offer and
// fails it maxFailedOffers times is broken for that entry, which passes on.
void Server::OfferDone(int64_t id, int queue, Outcome outcome) {
    const bool ok = outcome == Outcome::Passed || outcome == Outcome::Delivered;
    const bool unreachable = outcome == Outcome::Unreachable;
    int attempts = 0;
    bool pass = false;
    int64_t delay = 0;
    {
        std::lock_guard lock(mu_);
        auto it = items_.find(id);
        if (ok || it == items_.end() || stopping_) {
            if (outcome == Outcome::Delivered)
                items_.erase(id);
            else if (ok && it != items_.end())
                Enqueue(id, queue + 1, 0);
            if (ok && !stopping_) ReleaseHeld(queue); // the agent answers again
            --offers_;
            wake_.notify_all();
            idle_.notify_all();
            return;
        }
        Item& item = it->second;
        const auto now = Clock::now();
        if (item.failures++ == 0) item.failingSince = now;
        attempts = item.attempts;
        if (unreachable)
            pass = now - item.failingSince >= milliseconds(cfg_.holdTimeMs);
        else
            pass = ++attempts >= cfg_.maxFailedOffers;
        delay = std::min<int64_t>(cfg_.maxRetryDelayMs,
                                  int64_t{cfg_.retryDelayMs} << std::min(item.failures - 1, 30));
    }
    if (pass) {
        // Mail keeps flowing past a broken or long-gone agent.
        Log("entry " + std::to_string(id) + " passes queue " + std::to_string(queue) +
            " unchanged: " +
            (unreachable ? "agent unreachable for the hold time"
                         : "after " + std::to_string(attempts) + " failed offers"));
        pass = store_->Pass(id, queue + 1, nullptr);
    } else if (!unreachable) {
        store_->SetAttempts(id, attempts);
    }
    std::lock_guard lock(mu_);
    if (pass) {
        Enqueue(id, queue + 1, 0);
    } else {
        auto& it = items_[id];
        it.attempts = attempts;
        it.inFlight = false;
        it.heldFor = queue;
        delayed_.emplace(Clock::now() + milliseconds(delay), id);
    }
    --offers_;
    wake_.notify_all();
    idle_.notify_all();
}

// ---- sessions ------------------------------------------------------------

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
    std::string_view t = ctl;
    bool recipient = false;
    while (!t.empty()) {
        size_t lf = t.find('\n');
        std::string_view l = t.substr(0, lf);
        t = lf == std::string_view::npos ? std::string_view{} : t.substr(lf + 1);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.empty()) continue;
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

bool Server::CalCommand(Session& s, const std::string& cmd, std::string_view args) {
    if (cmd == "USER") {
        std::string_view who = NextWord(args);
        s.user.clear();
        s.calOpen = false;
        s.foundEntry = 0;
        s.foundInstance.reset();
        if (who.empty() || !args.empty()) return s.Send(REVO_ERR_SYNTAX, "Syntax: USER address");
        if (!IsLocalUser(std::string(who))) return s.Send(REVO_ERR_NO_SUCH_USER, "No such user");
        s.user = Owner(who);
        return s.Send(REVO_OK, s.user + " selected");
    }
    if (s.user.empty()) return s.Send(REVO_ERR_NO_USER, "No user selected");
    if (cmd == "CSOPEN") {
        std::string_view name = NextWord(args);
        if (!EqualNoCase(name, "MAIN") || !args.empty())
            return s.Send(REVO_ERR_NO_SUCH_CALENDAR, "No such calendar");
        s.calOpen = true;
        return s.Send(REVO_OK, "Calendar MAIN open");
    }
    if (!s.calOpen) return s.Send(REVO_ERR_NO_CALENDAR, "No calendar open");
    if (cmd == "CSLIST") return CalList(s);
    if (cmd == "CSPUT") return CalPut(s, args);
    if (cmd == "CSFIND") {
        int64_t seq, when = 0;
        std::string_view seqw = NextWord(args), uid = NextWord(args), inst = NextWord(args);
        if (!ParseI64(seqw, seq) || uid.empty() || (!inst.empty() && !ParseI64(inst, when)) ||
            !args.empty())
            return s.Send(REVO_ERR_SYNTAX, "Syntax: CSFIND sequence uid [instance]");
        std::optional<int64_t> instance;
        if (!inst.empty() && when != 0) instance = when;
        int64_t entry = 0;
        switch (store_->CalFind(s.user, std::string(uid), seq, instance, entry)) {
        case Store::Find::Found:
            s.foundEntry = entry;
            s.foundInstance = instance;
            return s.Send(REVO_OK, std::to_string(entry) + " Found");
        case Store::Find::OldSequence:
            return s.Send(REVO_ERR_SEQUENCE_OLD,
                          "Sequence " + std::to_string(seq) + " is out of date");
        case Store::Find::NoEntry:
            break;
        }
        return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
    }
    int64_t entry;
    if (!ParseI64(NextWord(args), entry))
        return s.Send(REVO_ERR_SYNTAX, "Syntax: " + cmd + " entry ...");
    if (cmd == "CSATND") {
        std::string_view letter = NextWord(args), who = NextWord(args);
        if (letter.size() != 1 || !std::strchr(kStatusLetters, Upper(letter)[0]) || who.empty() ||
            !args.empty())
            return s.Send(REVO_ERR_SYNTAX, "Syntax: CSATND entry status address");
        switch (store_->CalSetStatus(s.user, entry, std::string(who), Upper(letter)[0])) {
        case Store::Attend::Done:
            return s.Send(REVO_OK, "Status recorded");
        case Store::Attend::NotAttendee:
            return s.Send(REVO_ERR_NOT_ATTENDEE, "Not an attendee");
        case Store::Attend::NoEntry:
            break;
        }
        return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
    }
    if (cmd == "CSCOMP") {
        int64_t when;
        if (!ParseI64(NextWord(args), when) || !args.empty())
            return s.Send(REVO_ERR_SYNTAX, "Syntax: CSCOMP entry time");
        switch (store_->CalComplete(s.user, entry, when)) {
        case Store::Complete::Done:
            return s.Send(REVO_OK, "Completed");
        case Store::Complete::NotAllCompleted:
            return s.Send(REVO_ERR_NOT_ALL_COMPLETED, "Not every attendee has completed");
        case Store::Complete::NoEntry:
            break;
        }
        return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
    }
    if (cmd == "CSORG") {
        std::string organizer;
        if (!args.empty()) return s.Send(REVO_ERR_SYNTAX, "Syntax: CSORG entry");
        if (!store_->CalOrganizer(s.user, entry, organizer))
            return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
        return s.Send(REVO_ORGANIZER,
                      (organizer.empty() ? std::string("-") : organizer) + " is the organizer");
    }
    if (cmd == "CSDELE") {
        std::string_view flag = NextWord(args);
        if ((!flag.empty() && !EqualNoCase(flag, "RECURRING")) || !args.empty())
            return s.Send(REVO_ERR_SYNTAX, "Syntax: CSDELE entry [RECURRING]");
        std::optional<int64_t> instance;
        if (flag.empty() && entry == s.foundEntry) instance = s.foundInstance;
        if (!store_->CalDelete(s.user, entry, instance))
            return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
        if (entry == s.foundEntry) {
            s.foundEntry = 0;
            s.foundInstance.reset();
        }
        return s.Send(REVO_OK, instance ? "Instance deleted" : "Entry deleted");
    }
    return s.Send(REVO_ERR_UNKNOWN_COMMAND, "Unknown command");
}

// CSPUT <bytes>, then a block of "KEY value" lines describing one entry
// (KIND, UID, SEQUENCE, ORGANIZER, SUMMARY, START, END, COMPLETED, and any
// number of INSTANCE time and ATTENDEE status address lines). An entry with
// the same UID is replaced.
bool Server::CalPut(Session& s, std::string_view args) {
    uint64_t bytes;
    if (!ParseU64(NextWord(args), bytes) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSPUT bytes");
    if (bytes > kMaxControlText) {
        s.Send(REVO_ERR_TOO_LARGE, "Entry too large");
        return false;
    }
    std::string block;
    if (!s.conn.ReadExact(bytes, block)) return false;
    CalEntry e;
    std::string_view t = block;
    while (!t.empty()) {
        size_t lf = t.find('\n');
        std::string_view l = t.substr(0, lf);
        t = lf == std::string_view::npos ? std::string_view{} : t.substr(lf + 1);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.empty()) continue;
        if (!ValidControlLine(l)) return s.Send(REVO_ERR_SYNTAX, "Bad entry line");
        std::string_view rest = l;
        const std::string key = Upper(NextWord(rest));
        int64_t n = 0;
        bool ok = true;
        if (key == "KIND") {
            ok = rest.size() == 1 && (rest[0] == 'E' || rest[0] == 'T');
            if (ok) e.kind = rest[0];
        } else if (key == "UID") {
            ok = !rest.empty() && rest.find(' ') == std::string_view::npos;
            e.uid = rest;
        } else if (key == "ORGANIZER") {
            e.organizer = rest;
        } else if (key == "SUMMARY") {
            e.summary = rest;
        } else if (key == "SEQUENCE" || key == "START" || key == "END" || key == "COMPLETED" ||
                   key == "INSTANCE") {
            ok = ParseI64(rest, n);
            if (key == "SEQUENCE")
                e.sequence = n;
            else if (key == "START")
                e.start = n;
            else if (key == "END")
                e.end = n;
            else if (key == "COMPLETED")
                e.completed = n;
            else
                e.instances.push_back(n);
        } else if (key == "ATTENDEE") {
            std::string_view st = NextWord(rest), who = NextWord(rest);
            ok = st.size() == 1 && std::strchr(kStatusLetters, Upper(st)[0]) && !who.empty();
            if (ok) e.attendees.push_back({std::string(who), Upper(st)[0]});
        } else {
            ok = false;
        }
        if (!ok) return s.Send(REVO_ERR_SYNTAX, "Bad entry line: " + std::string(l.substr(0, 100)));
    }
    if (e.uid.empty()) return s.Send(REVO_ERR_SYNTAX, "Entry without UID");
    const int64_t id = store_->CalPut(s.user, e);
    if (id == 0) return s.Send(REVO_ERR_STORE, "Store failure");
    return s.Send(REVO_OK, std::to_string(id) + " Stored");
}

bool Server::CalList(Session& s) {
    std::string out;
    auto entries = store_->CalList(s.user);
    for (const auto& e : entries) {
        const std::string id = std::to_string(e.id);
        out += Reply(REVO_CAL_ENTRY,
                     id + " " + std::string(1, e.kind) + " " + std::to_string(e.sequence) + " " +
                         std::to_string(e.start) + " " + std::to_string(e.end) + " " +
                         std::to_string(e.completed) + " " + e.uid + " " +
                         (e.organizer.empty() ? "-" : e.organizer) + " " + e.summary);
        for (int64_t t : e.instances)
            out += Reply(REVO_CAL_INSTANCE, id + " " + std::to_string(t));
        for (const auto& a : e.attendees)
            out += Reply(REVO_CAL_ATTENDEE, id + " " + std::string(1, a.status) + " " + a.address);
    }
    out += Reply(REVO_OK, std::to_string(entries.size()) + " entries");
    return s.conn.SendAll(out);
}

} // namespace revo
