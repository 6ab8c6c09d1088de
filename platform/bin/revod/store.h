// revod's durable state in one SQLite file: the queue, the registered queue
// agents, the mailboxes and the calendars. Calls are serialised by one lock.
// Changes are committed in groups: whoever finds no commit running commits
// every change waiting at that moment in one transaction, and a change call
// returns only once its commit is on disk (in Sync::Durable, fsync'ed).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace revo {
struct StmtCache;
}

namespace revo {

// Control lines of an entry, one per line, without line ends.
using ControlLines = std::vector<std::string>;

struct QueueItem {
    int64_t id = 0;
    int stage = 0;    // lowest queue number the entry has still to pass
    int attempts = 0; // failed offers at the current queue
    int64_t submitted = 0;
    std::string sender;
    size_t recipients = 0, size = 0;
};

struct AgentReg {
    int queue = 0;
    std::string identity, address;
    uint16_t port = 0;
};

struct MailboxItem {
    int64_t id = 0, entry = 0, delivered = 0;
    std::string sender;
    size_t size = 0;
};

struct CalAttendee {
    std::string address;
    char status = 'N';
};

struct CalEntry {
    int64_t id = 0;
    char kind = 'E'; // E event, T task
    std::string uid, organizer, summary;
    int64_t sequence = 0, start = 0, end = 0, completed = 0;
    std::vector<int64_t> instances;
    std::vector<CalAttendee> attendees;
};

class Store {
  public:
    // Durable: a change is fsync'ed before its call returns, so it survives
    // power loss. NoFsync: it survives a crash of revod, not of the machine.
    enum class Sync { Durable, NoFsync };
    static std::unique_ptr<Store> Open(const std::string& path, Sync sync, std::string& err);
    ~Store();

    // Queue. Submit stores the entry durably and returns its id (0 on failure).
    int64_t Submit(const ControlLines& control, std::string_view message);
    std::vector<QueueItem> Queued();
    bool Load(int64_t id, ControlLines& control, std::string& message);
    bool SetAttempts(int64_t id, int attempts);
    // The entry has passed queue stage-1: new control lines (or unchanged when null).
    bool Pass(int64_t id, int stage, const ControlLines* control);
    // Delivers the entries to the mailboxes of their remaining recipients
    // and takes them out of the queue, all in one transaction.
    bool Deliver(const std::vector<int64_t>& ids);
    // The entry has passed its last queue: new control lines (or unchanged
    // when null) and delivery in one transaction.
    bool PassAndDeliver(int64_t id, const ControlLines* control);

    bool SaveAgent(const AgentReg& a);
    std::vector<AgentReg> Agents();

    std::vector<MailboxItem> Mailbox(const std::string& owner);
    bool MailboxMessage(const std::string& owner, int64_t id, std::string& message);

    // Calendars (one, "MAIN", per user).
    enum class Find { Found, NoEntry, OldSequence };
    Find CalFind(const std::string& owner, const std::string& uid, int64_t sequence,
                 std::optional<int64_t> instance, int64_t& entry);
    bool CalOwns(const std::string& owner, int64_t entry);
    enum class Attend { Done, NoEntry, NotAttendee };
    Attend CalSetStatus(const std::string& owner, int64_t entry, const std::string& address,
                        char status);
    // Marks the entry completed only when every stored attendee has completed.
    enum class Complete { Done, NoEntry, NotAllCompleted };
    Complete CalComplete(const std::string& owner, int64_t entry, int64_t when);
    bool CalOrganizer(const std::string& owner, int64_t entry, std::string& organizer);
    // Deletes one instance (the entry goes with its last one), or the whole entry.
    bool CalDelete(const std::string& owner, int64_t entry, std::optional<int64_t> instance);
    // Adds or replaces (by UID) an entry with its instances and attendees.
    int64_t CalPut(const std::string& owner, const CalEntry& e);
    std::vector<CalEntry> CalList(const std::string& owner);

  private:
    explicit Store(sqlite3* db);
    bool Exec(const char* sql);
    // Runs body inside a savepoint of the next group transaction and waits
    // for that transaction's commit. True when body succeeded and the commit
    // did; a failed body leaves no trace.
    bool Write(const std::function<bool()>& body);
    struct Pending;
    void CommitBatch(const std::vector<Pending*>& batch);
    bool Step(const char* sql);
    bool DeliverOne(int64_t id, int64_t now);
    sqlite3* db_;
    std::unique_ptr<StmtCache> cache_;
    std::mutex mu_; // the connection: held by readers and by a commit
    // Changes waiting for the next commit, and whether one runs; guarded by writeMu_.
    std::mutex writeMu_;
    std::vector<Pending*> pending_;
    bool committing_ = false;
};

// Recipient address of an "L"/"M" control line, or sender of an "F" line:
// the first word after the kind letter.
std::string ControlAddress(std::string_view line);
// Canonical mailbox/calendar owner: lower case, "mailto:" removed.
std::string Owner(std::string_view address);

} // namespace revo
