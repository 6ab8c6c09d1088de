// revod: a REVO server for development and tests. One listener thread, one
// thread per client session, a dispatcher that offers queued entries to the
// registered queue agents (each offer on its own thread and connection) and
// delivers entries that have passed every queue.
#pragma once

#include "store.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace revo {

struct ServerConfig {
    std::string listen = "0.0.0.0";
    uint16_t port = 689;
    std::string storePath;
    Store::Sync sync = Store::Sync::Durable;
    bool noAuth = false;
    // Scrambled secret text ("Quill:ACL" form); unscrambled at start. Start
    // fails without one unless noAuth, or defaultSecret asks for the built-in text.
    std::string secretText;
    bool defaultSecret = false;
    // Local users given on the command line; when empty, isLocalUser decides.
    std::vector<std::string> users;
    std::function<bool(const std::string&)> isLocalUser;
    int maxOffers = 64;      // offers in progress at once
    int maxFailedOffers = 5; // offers that fail after connecting; then the entry passes unchanged
    // Wait after a failed offer, doubled with every further failure at the same queue.
    int retryDelayMs = 1000;
    int maxRetryDelayMs = 60000;
    // An entry whose agent cannot be reached is held this long before it passes unchanged.
    int64_t holdTimeMs = 3600000;
    int offerTimeoutMs = 120000;
    // From connection to successful AUTH; a session that has not authenticated
    // by then is ended, however busily it sends.
    int authTimeoutMs = 10000;
    // An authenticated session's wait for its next complete command line.
    int idleTimeoutMs = 900000;
    // Receiving a command's data (QSTORE, CSPUT) and sending its reply.
    int commandTimeoutMs = 300000;
    int maxSessions = 1000; // client sessions at once; more are turned away
    // Sessions kept for authenticated ones, and for new ones from addresses
    // that authenticated within the last hour; -1: a tenth of maxSessions.
    int reservedSessions = -1;
    // Unauthenticated sessions at once from one peer address.
    int maxUnauthPerPeer = 64;
    size_t maxMessage = 32u << 20;
    std::function<void(const std::string&)> log; // one line per event; may be empty
};

class Server {
  public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Start(const ServerConfig& cfg, std::string& err);
    // Stops accepting, ends every session and offer, and waits for them.
    void Stop();
    uint16_t Port() const { return port_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Item {
        int stage = 0, attempts = 0;
        bool inFlight = false;
        // Failed offers of any kind at the current queue, since when, and the
        // queue whose agent a delayed retry waits for (-1: none).
        int failures = 0;
        Clock::time_point failingSince;
        int heldFor = -1;
    };
    struct Session;
    // A client session's place in the limits.
    struct Slot {
        int fd;
        std::string peer;
        Clock::time_point since;
        enum class State { Unauthenticated, Authenticated, Evicted } state;
    };
    using SlotRef = std::list<Slot>::iterator;

    void AcceptLoop();
    void Dispatch();
    void RunSession(int fd, SlotRef slot);
    // Under mu_: a slot for a new session from peer, making room by ending
    // unauthenticated sessions that have had their chance; false to refuse.
    bool Admit(const std::string& peer, int fd, SlotRef& slot);
    void Evict(Slot& s);
    bool Authenticated(SlotRef slot);
    void EndSession(SlotRef slot);
    // Under mu_: entries waiting for the queue's agent are offered again now.
    void ReleaseHeld(int queue);
    struct OfferJob {
        int64_t id;
        int queue;
        AgentReg agent;
    };
    enum class Next { Started, Deliver, Full, Empty };
    Next StartNext(bool deliver, bool self, int64_t& id);
    void OfferWorker();
    void RunOffer(int64_t id, int queue, AgentReg agent);
    enum class Outcome { Unreachable, Failed, Passed, Delivered };
    Outcome Offer(int64_t id, int queue, const AgentReg& agent);
    // The steps of an offer; each command handler returns false to end it.
    struct OfferState;
    bool OfferEntry(OfferState& o, const ControlLines& control);
    Outcome OfferCommands(OfferState& o);
    bool OfferQMime(OfferState& o, std::string_view args);
    bool OfferQBraw(OfferState& o, std::string_view args);
    bool OfferQMod(OfferState& o, const std::string& line);
    Outcome OfferQDone(OfferState& o);
    void OfferDone(int64_t id, int queue, Outcome outcome);
    bool LastQueue(int queue) const;
    void Enqueue(int64_t id, int stage, int attempts);
    bool IsLocalUser(const std::string& address) const;
    void Log(const std::string& line) const;
    void TrackFd(int fd, bool add);

    // Session command handlers; each returns false to end the session.
    bool Command(Session& s, const std::string& line);
    bool Auth(Session& s, std::string_view args);
    bool QWait(Session& s, std::string_view args);
    bool QStore(Session& s, std::string_view args);
    bool QList(Session& s);
    bool MbList(Session& s, std::string_view args);
    bool MbRead(Session& s, std::string_view args);
    bool CalCommand(Session& s, const std::string& cmd, std::string_view args);
    bool CalUser(Session& s, std::string_view args);
    bool CalFind(Session& s, std::string_view args);
    bool CalAttend(Session& s, int64_t entry, std::string_view args);
    bool CalComplete(Session& s, int64_t entry, std::string_view args);
    bool CalDelete(Session& s, int64_t entry, std::string_view args);
    bool CalPut(Session& s, std::string_view args);
    bool CalList(Session& s);

    ServerConfig cfg_;
    std::unique_ptr<Store> store_;
    std::set<std::string> users_;
    unsigned char secret_[9] = {};
    size_t secretLen_ = 0;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptThread_, dispatchThread_;

    mutable std::mutex mu_;
    std::condition_variable wake_, idle_;
    bool stopping_ = false, started_ = false;
    int sessions_ = 0, offers_ = 0;
    // Offers run on a pool of up to maxOffers threads.
    std::deque<OfferJob> jobs_;
    std::condition_variable jobsCv_;
    int workers_ = 0, idleWorkers_ = 0;
    std::set<int> liveFds_;
    std::list<Slot> slots_; // oldest first
    int activeSessions_ = 0, unauthSessions_ = 0;
    std::map<std::string, int> unauthByPeer_;
    // Addresses that authenticated lately (the agents', the submitters'):
    // their new sessions may use the reserve.
    std::map<std::string, Clock::time_point> known_;
    std::unordered_map<int64_t, Item> items_;
    std::deque<int64_t> ready_;
    std::multimap<std::chrono::steady_clock::time_point, int64_t> delayed_;
    std::map<int, std::vector<AgentReg>> agents_;
    std::map<int, size_t> nextAgent_;
};

} // namespace revo
