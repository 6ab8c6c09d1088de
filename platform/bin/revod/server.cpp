// revod's accept loop, session limits and queue dispatch.
#include "server.h"
#include "server_internal.h"

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

using namespace detail;

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
        for (;;) {
            int64_t id = 0;
            const Next next = StartNext(true, false, id);
            if (next == Next::Deliver)
                deliver.push_back(id);
            else if (next == Next::Started)
                ++started;
            else
                break;
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

// Under mu_: starts an offer for the first ready entry, or (when `deliver`)
// takes it for delivery when it has passed every queue. A worker that calls
// this after its offer leaves deliveries to the dispatcher and runs the new
// offer itself (`self`), sparing two thread hand-overs per entry.
Server::Next Server::StartNext(bool deliver, bool self, int64_t& id) {
    while (!ready_.empty()) {
        id = ready_.front();
        auto it = items_.find(id);
        if (it == items_.end() || it->second.inFlight) {
            ready_.pop_front();
            continue;
        }
        auto q = agents_.lower_bound(it->second.stage);
        if (q == agents_.end()) {
            if (!deliver) return Next::Deliver;
            ready_.pop_front();
            it->second.inFlight = true; // until delivered
            return Next::Deliver;
        }
        if (offers_ >= cfg_.maxOffers) return Next::Full;
        ready_.pop_front();
        size_t& rr = nextAgent_[q->first];
        const AgentReg& agent = q->second[rr++ % q->second.size()];
        it->second.inFlight = true;
        ++offers_;
        jobs_.push_back({id, q->first, agent});
        if (self) {
            // This worker takes the job next.
        } else if (idleWorkers_ == 0 && workers_ < cfg_.maxOffers) {
            ++workers_;
            std::thread([this] { OfferWorker(); }).detach();
        } else {
            jobsCv_.notify_one();
        }
        return Next::Started;
    }
    return Next::Empty;
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
        if (stopping_) continue;
        // The entry this offer passed on, or the next waiting one, goes now.
        int64_t id = 0;
        for (bool self = true;; self = false) {
            const Next next = StartNext(false, self, id);
            if (next == Next::Deliver) wake_.notify_all();
            if (next != Next::Started) break;
        }
    }
}

void Server::RunOffer(int64_t id, int queue, AgentReg agent) {
    OfferDone(id, queue, Offer(id, queue, agent));
}

bool Server::LastQueue(int queue) const {
    std::lock_guard lock(mu_);
    return agents_.upper_bound(queue) == agents_.end();
}

} // namespace revo
