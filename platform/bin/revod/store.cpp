#include "store.h"

#include "netio.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <unordered_map>

namespace revo {
namespace {} // namespace

// Prepared statements are kept for reuse (keyed by their SQL text, which is
// always a literal): preparing dominated the cost of small transactions.
struct StmtCache {
    struct Slot {
        sqlite3_stmt* stmt = nullptr;
        bool busy = false;
    };
    std::unordered_map<const char*, Slot> slots;
    ~StmtCache() {
        for (auto& [sql, slot] : slots)
            sqlite3_finalize(slot.stmt);
    }
};

namespace {

// One statement, from the cache when it is free; reset on scope exit.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) : Stmt(nullptr, db, sql) {}
    Stmt(StmtCache* cache, sqlite3* db, const char* sql) {
        if (cache) {
            auto& slot = cache->slots[sql];
            if (!slot.busy) {
                if (!slot.stmt && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                                     &slot.stmt, nullptr) != SQLITE_OK)
                    slot.stmt = nullptr;
                if (slot.stmt) {
                    slot.busy = true;
                    slot_ = &slot;
                    s_ = slot.stmt;
                    return;
                }
            }
        }
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Stmt() {
        if (slot_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
            slot_->busy = false;
        } else {
            sqlite3_finalize(s_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    explicit operator bool() const { return s_ != nullptr; }
    Stmt& Bind(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& Bind(int i, std::string_view v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& BindBlob(int i, std::string_view v) {
        sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool Row() { return s_ && sqlite3_step(s_) == SQLITE_ROW; }
    bool Run() {
        if (!s_) return false;
        int rc = sqlite3_step(s_);
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    int64_t Int(int c) { return sqlite3_column_int64(s_, c); }
    std::string Text(int c) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(s_, c));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }

  private:
    sqlite3_stmt* s_ = nullptr;
    StmtCache::Slot* slot_ = nullptr;
};

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS entries(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  control TEXT NOT NULL,
  message BLOB NOT NULL,
  stage INTEGER NOT NULL DEFAULT 0,
  attempts INTEGER NOT NULL DEFAULT 0,
  queued INTEGER NOT NULL DEFAULT 1,
  submitted INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS entries_queued ON entries(queued, id);
CREATE TABLE IF NOT EXISTS agents(
  queue INTEGER NOT NULL, identity TEXT NOT NULL, address TEXT NOT NULL, port INTEGER NOT NULL,
  PRIMARY KEY(queue, identity));
CREATE TABLE IF NOT EXISTS mailbox(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  owner TEXT NOT NULL, entry INTEGER NOT NULL, sender TEXT NOT NULL, delivered INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS mailbox_owner ON mailbox(owner, id);
CREATE TABLE IF NOT EXISTS cal_entries(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  owner TEXT NOT NULL, kind TEXT NOT NULL, uid TEXT NOT NULL, sequence INTEGER NOT NULL,
  organizer TEXT NOT NULL, summary TEXT NOT NULL, dtstart INTEGER NOT NULL, dtend INTEGER NOT NULL,
  completed INTEGER NOT NULL DEFAULT 0,
  UNIQUE(owner, uid));
CREATE TABLE IF NOT EXISTS cal_instances(
  entry INTEGER NOT NULL, start INTEGER NOT NULL, PRIMARY KEY(entry, start));
CREATE TABLE IF NOT EXISTS cal_attendees(
  entry INTEGER NOT NULL, address TEXT NOT NULL COLLATE NOCASE, status TEXT NOT NULL,
  PRIMARY KEY(entry, address));
)SQL";

std::string JoinLines(const ControlLines& lines) {
    std::string s;
    for (const auto& l : lines) {
        s += l;
        s += '\n';
    }
    return s;
}

ControlLines SplitLines(std::string_view s) {
    ControlLines out;
    while (!s.empty()) {
        size_t lf = s.find('\n');
        out.emplace_back(s.substr(0, lf));
        s = lf == std::string_view::npos ? std::string_view{} : s.substr(lf + 1);
    }
    return out;
}

bool IsRecipient(std::string_view line) {
    return !line.empty() && (line[0] == 'L' || line[0] == 'M');
}

} // namespace

std::string ControlAddress(std::string_view line) {
    if (line.empty()) return {};
    line.remove_prefix(1);
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    line.remove_prefix(b);
    return std::string(line.substr(0, line.find_first_of(" \t")));
}

std::string Owner(std::string_view address) {
    std::string a = Lower(address);
    if (a.rfind("mailto:", 0) == 0) a.erase(0, 7);
    return a;
}

namespace {

// The store holds every message: only its owner may read it, whatever the
// umask. The file is made 0600 before SQLite opens it (SQLite gives its WAL
// and shared-memory files the store's mode), and files left by an earlier,
// laxer run lose their group and other access.
bool MakePrivate(const std::string& path, bool create, std::string& err) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        if (!create && errno == ENOENT) return true;
        err = "cannot open store " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && ((st.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0);
    if (!ok) err = "cannot make store " + path + " private: " + std::strerror(errno);
    ::close(fd);
    return ok;
}

} // namespace

std::unique_ptr<Store> Store::Open(const std::string& path, Sync sync, std::string& err) {
    if (path != ":memory:" && path.rfind("file:", 0) != 0) {
        if (!MakePrivate(path, true, err)) return nullptr;
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            if (!MakePrivate(path + suffix, false, err)) return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        err = "cannot open store " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Store> s(new Store(db));
    sqlite3_busy_timeout(db, 5000);
    // WAL with FULL sync fsyncs the log at every commit, before any caller
    // is told its change is stored; NORMAL leaves that to the kernel, which
    // survives a crash of the process but not of the machine.
    const char* pragmas = sync == Sync::Durable
                              ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                              : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;";
    // revod is the store's only user: holding the lock spares a lock round
    // per transaction and keeps a second revod off the same file.
    if (!s->Exec("PRAGMA locking_mode=EXCLUSIVE;")) {
        err = "cannot lock store " + path;
        return nullptr;
    }
    if (!s->Exec(pragmas) || !s->Exec("PRAGMA foreign_keys=ON;") || !s->Exec(kSchema)) {
        err = "cannot prepare store " + path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    return s;
}

Store::Store(sqlite3* db) : db_(db), cache_(std::make_unique<StmtCache>()) {}

Store::~Store() {
    cache_.reset(); // finalize before closing
    sqlite3_close(db_);
}

bool Store::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// ---- group commit ----------------------------------------------------------

struct Store::Pending {
    const std::function<bool()>* body = nullptr;
    bool ok = false, done = false;
    std::condition_variable cv;
};

bool Store::Step(const char* sql) {
    return Stmt(cache_.get(), db_, sql).Run();
}

// A caller that finds no commit running leads one for everything waiting,
// itself included; the others wait, and the first of those still waiting
// when it ends leads the next. Under load each fsync serves many changes,
// and a lone caller commits on its own thread without a hand-over.
bool Store::Write(const std::function<bool()>& body) {
    Pending p;
    p.body = &body;
    std::unique_lock lock(writeMu_);
    pending_.push_back(&p);
    while (!p.done) {
        if (committing_) {
            p.cv.wait(lock);
            continue;
        }
        committing_ = true;
        std::vector<Pending*> batch;
        batch.swap(pending_);
        lock.unlock();
        CommitBatch(batch);
        lock.lock();
        committing_ = false;
        // Under the lock: a waiter cannot see done, and free its record,
        // before it has been notified.
        for (Pending* q : batch) {
            q->done = true;
            if (q != &p) q->cv.notify_one();
        }
        if (!pending_.empty()) pending_.front()->cv.notify_one();
    }
    return p.ok;
}

// Each change runs in a savepoint, so that one that fails is undone alone.
// Should an error end the whole transaction, the changes before it in the
// batch are lost with it and reported failed; nobody has been answered yet.
void Store::CommitBatch(const std::vector<Pending*>& batch) {
    std::lock_guard lock(mu_);
    size_t first = 0; // first change of the open transaction
    bool open = Step("BEGIN IMMEDIATE");
    for (size_t i = 0; i < batch.size(); ++i) {
        Pending& p = *batch[i];
        p.ok = false;
        if (!open || !Step("SAVEPOINT change")) continue;
        p.ok = (*p.body)();
        if (sqlite3_get_autocommit(db_)) {
            for (size_t j = first; j <= i; ++j)
                batch[j]->ok = false;
            first = i + 1;
            open = Step("BEGIN IMMEDIATE");
            continue;
        }
        if (!p.ok) Step("ROLLBACK TO change");
        Step("RELEASE change");
    }
    if (open && !Step("COMMIT")) {
        Exec("ROLLBACK");
        for (size_t j = first; j < batch.size(); ++j)
            batch[j]->ok = false;
    }
}

// ---- queue -------------------------------------------------------------------

int64_t Store::Submit(const ControlLines& control, std::string_view message) {
    const std::string joined = JoinLines(control);
    const int64_t now = time(nullptr);
    int64_t id = 0;
    const bool ok = Write([&] {
        Stmt st(cache_.get(), db_,
                "INSERT INTO entries(control, message, submitted) VALUES(?,?,?)");
        if (!st.Bind(1, joined).BindBlob(2, message).Bind(3, now).Run()) return false;
        id = sqlite3_last_insert_rowid(db_);
        return true;
    });
    return ok ? id : 0;
}

std::vector<QueueItem> Store::Queued() {
    std::lock_guard lock(mu_);
    std::vector<QueueItem> out;
    Stmt st(cache_.get(), db_,
            "SELECT id, stage, attempts, submitted, control, length(message) FROM entries "
            "WHERE queued=1 ORDER BY id");
    while (st.Row()) {
        QueueItem q;
        q.id = st.Int(0);
        q.stage = static_cast<int>(st.Int(1));
        q.attempts = static_cast<int>(st.Int(2));
        q.submitted = st.Int(3);
        for (const auto& line : SplitLines(st.Text(4))) {
            if (!line.empty() && line[0] == 'F' && q.sender.empty())
                q.sender = ControlAddress(line);
            else if (IsRecipient(line))
                ++q.recipients;
        }
        q.size = static_cast<size_t>(st.Int(5));
        out.push_back(std::move(q));
    }
    return out;
}

bool Store::Load(int64_t id, ControlLines& control, std::string& message) {
    std::lock_guard lock(mu_);
    Stmt st(cache_.get(), db_, "SELECT control, message FROM entries WHERE id=? AND queued=1");
    st.Bind(1, id);
    if (!st.Row()) return false;
    control = SplitLines(st.Text(0));
    message = st.Text(1);
    return true;
}

bool Store::SetAttempts(int64_t id, int attempts) {
    return Write([&] {
        Stmt st(cache_.get(), db_, "UPDATE entries SET attempts=? WHERE id=? AND queued=1");
        return st.Bind(1, attempts).Bind(2, id).Run();
    });
}

bool Store::Pass(int64_t id, int stage, const ControlLines* control) {
    const std::string joined = control ? JoinLines(*control) : std::string();
    return Write([&] {
        if (control) {
            Stmt st(cache_.get(), db_,
                    "UPDATE entries SET stage=?, attempts=0, control=? WHERE id=? AND queued=1");
            return st.Bind(1, stage).Bind(2, joined).Bind(3, id).Run();
        }
        Stmt st(cache_.get(), db_,
                "UPDATE entries SET stage=?, attempts=0 WHERE id=? AND queued=1");
        return st.Bind(1, stage).Bind(2, id).Run();
    });
}

bool Store::DeliverOne(int64_t id, int64_t now) {
    Stmt get(cache_.get(), db_, "SELECT control FROM entries WHERE id=? AND queued=1");
    get.Bind(1, id);
    if (!get.Row()) return true; // already delivered: never twice
    std::string sender;
    std::set<std::string> owners;
    for (const auto& line : SplitLines(get.Text(0))) {
        if (!line.empty() && line[0] == 'F' && sender.empty())
            sender = ControlAddress(line);
        else if (IsRecipient(line)) {
            std::string owner = Owner(ControlAddress(line));
            if (!owner.empty()) owners.insert(owner);
        }
    }
    for (const auto& owner : owners) {
        Stmt ins(cache_.get(), db_,
                 "INSERT INTO mailbox(owner, entry, sender, delivered) VALUES(?,?,?,?)");
        if (!ins.Bind(1, owner).Bind(2, id).Bind(3, sender).Bind(4, now).Run()) return false;
    }
    Stmt done(cache_.get(), db_, "UPDATE entries SET queued=0 WHERE id=?");
    return done.Bind(1, id).Run();
}

bool Store::Deliver(const std::vector<int64_t>& ids) {
    const int64_t now = time(nullptr);
    return Write([&] {
        for (int64_t id : ids)
            if (!DeliverOne(id, now)) return false;
        return true;
    });
}

bool Store::PassAndDeliver(int64_t id, const ControlLines* control) {
    const std::string joined = control ? JoinLines(*control) : std::string();
    const int64_t now = time(nullptr);
    return Write([&] {
        if (control) {
            Stmt st(cache_.get(), db_, "UPDATE entries SET control=? WHERE id=? AND queued=1");
            if (!st.Bind(1, joined).Bind(2, id).Run()) return false;
        }
        return DeliverOne(id, now);
    });
}

bool Store::SaveAgent(const AgentReg& a) {
    return Write([&] {
        Stmt st(cache_.get(), db_,
                "INSERT OR REPLACE INTO agents(queue, identity, address, port) VALUES(?,?,?,?)");
        return st.Bind(1, a.queue).Bind(2, a.identity).Bind(3, a.address).Bind(4, a.port).Run();
    });
}

std::vector<AgentReg> Store::Agents() {
    std::lock_guard lock(mu_);
    std::vector<AgentReg> out;
    Stmt st(cache_.get(), db_,
            "SELECT queue, identity, address, port FROM agents ORDER BY queue, identity");
    while (st.Row())
        out.push_back({static_cast<int>(st.Int(0)), st.Text(1), st.Text(2),
                       static_cast<uint16_t>(st.Int(3))});
    return out;
}

std::vector<MailboxItem> Store::Mailbox(const std::string& owner) {
    std::lock_guard lock(mu_);
    std::vector<MailboxItem> out;
    Stmt st(cache_.get(), db_,
            "SELECT m.id, m.entry, m.delivered, m.sender, length(e.message) FROM mailbox m "
            "JOIN entries e ON e.id=m.entry WHERE m.owner=? ORDER BY m.id");
    st.Bind(1, Owner(owner));
    while (st.Row())
        out.push_back(
            {st.Int(0), st.Int(1), st.Int(2), st.Text(3), static_cast<size_t>(st.Int(4))});
    return out;
}

bool Store::MailboxMessage(const std::string& owner, int64_t id, std::string& message) {
    std::lock_guard lock(mu_);
    Stmt st(cache_.get(), db_,
            "SELECT e.message FROM mailbox m JOIN entries e ON e.id=m.entry "
            "WHERE m.owner=? AND m.id=?");
    st.Bind(1, Owner(owner)).Bind(2, id);
    if (!st.Row()) return false;
    message = st.Text(0);
    return true;
}

Store::Find Store::CalFind(const std::string& owner, const std::string& uid, int64_t sequence,
                           std::optional<int64_t> instance, int64_t& entry) {
    std::lock_guard lock(mu_);
    Stmt st(cache_.get(), db_, "SELECT id, sequence FROM cal_entries WHERE owner=? AND uid=?");
    st.Bind(1, Owner(owner)).Bind(2, uid);
    if (!st.Row()) return Find::NoEntry;
    entry = st.Int(0);
    if (sequence < st.Int(1)) return Find::OldSequence;
    if (instance) {
        Stmt in(cache_.get(), db_, "SELECT 1 FROM cal_instances WHERE entry=? AND start=?");
        in.Bind(1, entry).Bind(2, *instance);
        if (!in.Row()) return Find::NoEntry;
    }
    return Find::Found;
}

bool Store::CalOwns(const std::string& owner, int64_t entry) {
    std::lock_guard lock(mu_);
    Stmt st(cache_.get(), db_, "SELECT 1 FROM cal_entries WHERE owner=? AND id=?");
    return st.Bind(1, Owner(owner)).Bind(2, entry).Row();
}

Store::Attend Store::CalSetStatus(const std::string& owner, int64_t entry,
                                  const std::string& address, char status) {
    const std::string who = Owner(owner), attendee = Owner(address);
    Attend result = Attend::NoEntry;
    const bool ok = Write([&] {
        Stmt own(cache_.get(), db_, "SELECT 1 FROM cal_entries WHERE owner=? AND id=?");
        if (!own.Bind(1, who).Bind(2, entry).Row()) return false;
        Stmt st(cache_.get(), db_, "UPDATE cal_attendees SET status=? WHERE entry=? AND address=?");
        if (!st.Bind(1, std::string_view(&status, 1)).Bind(2, entry).Bind(3, attendee).Run())
            return false;
        if (sqlite3_changes(db_) == 0) {
            result = Attend::NotAttendee;
            return false;
        }
        return true;
    });
    return ok ? Attend::Done : result;
}

Store::Complete Store::CalComplete(const std::string& owner, int64_t entry, int64_t when) {
    Complete result = Complete::NoEntry;
    const bool ok = Write([&] {
        Stmt own(cache_.get(), db_, "SELECT 1 FROM cal_entries WHERE owner=? AND id=?");
        if (!own.Bind(1, Owner(owner)).Bind(2, entry).Row()) return false;
        // One reply lists only its sender: the store knows who else must complete.
        Stmt open(cache_.get(), db_, "SELECT 1 FROM cal_attendees WHERE entry=? AND status<>'C'");
        if (open.Bind(1, entry).Row()) {
            result = Complete::NotAllCompleted;
            return false;
        }
        Stmt st(cache_.get(), db_, "UPDATE cal_entries SET completed=? WHERE id=?");
        return st.Bind(1, when).Bind(2, entry).Run();
    });
    return ok ? Complete::Done : result;
}

bool Store::CalOrganizer(const std::string& owner, int64_t entry, std::string& organizer) {
    std::lock_guard lock(mu_);
    Stmt st(cache_.get(), db_, "SELECT organizer FROM cal_entries WHERE owner=? AND id=?");
    if (!st.Bind(1, Owner(owner)).Bind(2, entry).Row()) return false;
    organizer = st.Text(0);
    return true;
}

bool Store::CalDelete(const std::string& owner, int64_t entry, std::optional<int64_t> instance) {
    return Write([&] {
        Stmt own(cache_.get(), db_, "SELECT 1 FROM cal_entries WHERE owner=? AND id=?");
        if (!own.Bind(1, Owner(owner)).Bind(2, entry).Row()) return false;
        if (instance) {
            Stmt del(cache_.get(), db_, "DELETE FROM cal_instances WHERE entry=? AND start=?");
            if (!del.Bind(1, entry).Bind(2, *instance).Run() || sqlite3_changes(db_) == 0)
                return false;
            Stmt left(cache_.get(), db_, "SELECT 1 FROM cal_instances WHERE entry=?");
            if (left.Bind(1, entry).Row()) return true;
        }
        Stmt a(cache_.get(), db_, "DELETE FROM cal_attendees WHERE entry=?");
        Stmt i(cache_.get(), db_, "DELETE FROM cal_instances WHERE entry=?");
        Stmt e(cache_.get(), db_, "DELETE FROM cal_entries WHERE id=?");
        return a.Bind(1, entry).Run() && i.Bind(1, entry).Run() && e.Bind(1, entry).Run();
    });
}

int64_t Store::CalPut(const std::string& owner, const CalEntry& e) {
    int64_t id = 0;
    const std::string who = Owner(owner);
    bool ok = Write([&] {
        Stmt old(cache_.get(), db_, "SELECT id FROM cal_entries WHERE owner=? AND uid=?");
        if (old.Bind(1, who).Bind(2, e.uid).Row()) {
            const int64_t oldId = old.Int(0);
            Stmt a(cache_.get(), db_, "DELETE FROM cal_attendees WHERE entry=?");
            Stmt i(cache_.get(), db_, "DELETE FROM cal_instances WHERE entry=?");
            Stmt d(cache_.get(), db_, "DELETE FROM cal_entries WHERE id=?");
            if (!a.Bind(1, oldId).Run() || !i.Bind(1, oldId).Run() || !d.Bind(1, oldId).Run())
                return false;
        }
        Stmt ins(cache_.get(), db_,
                 "INSERT INTO cal_entries(owner, kind, uid, sequence, organizer, summary, "
                 "dtstart, dtend, completed) VALUES(?,?,?,?,?,?,?,?,?)");
        ins.Bind(1, who).Bind(2, std::string(1, e.kind)).Bind(3, e.uid).Bind(4, e.sequence);
        ins.Bind(5, Owner(e.organizer)).Bind(6, e.summary).Bind(7, e.start).Bind(8, e.end);
        ins.Bind(9, e.completed);
        if (!ins.Run()) return false;
        id = sqlite3_last_insert_rowid(db_);
        std::vector<int64_t> inst = e.instances;
        if (inst.empty()) inst.push_back(e.start);
        for (int64_t t : inst) {
            Stmt s(cache_.get(), db_,
                   "INSERT OR IGNORE INTO cal_instances(entry, start) VALUES(?,?)");
            if (!s.Bind(1, id).Bind(2, t).Run()) return false;
        }
        for (const auto& a : e.attendees) {
            Stmt s(cache_.get(), db_,
                   "INSERT OR REPLACE INTO cal_attendees(entry, address, status) "
                   "VALUES(?,?,?)");
            if (!s.Bind(1, id).Bind(2, Owner(a.address)).Bind(3, std::string(1, a.status)).Run())
                return false;
        }
        return true;
    });
    return ok ? id : 0;
}

std::vector<CalEntry> Store::CalList(const std::string& owner) {
    std::lock_guard lock(mu_);
    std::vector<CalEntry> out;
    Stmt st(cache_.get(), db_,
            "SELECT id, kind, uid, sequence, organizer, summary, dtstart, dtend, completed "
            "FROM cal_entries WHERE owner=? ORDER BY dtstart, id");
    st.Bind(1, Owner(owner));
    while (st.Row()) {
        CalEntry e;
        e.id = st.Int(0);
        std::string kind = st.Text(1);
        e.kind = kind.empty() ? 'E' : kind[0];
        e.uid = st.Text(2);
        e.sequence = st.Int(3);
        e.organizer = st.Text(4);
        e.summary = st.Text(5);
        e.start = st.Int(6);
        e.end = st.Int(7);
        e.completed = st.Int(8);
        out.push_back(std::move(e));
    }
    for (auto& e : out) {
        Stmt in(cache_.get(), db_, "SELECT start FROM cal_instances WHERE entry=? ORDER BY start");
        in.Bind(1, e.id);
        while (in.Row())
            e.instances.push_back(in.Int(0));
        Stmt at(cache_.get(), db_,
                "SELECT address, status FROM cal_attendees WHERE entry=? ORDER BY rowid");
        at.Bind(1, e.id);
        while (at.Row()) {
            std::string s = at.Text(1);
            e.attendees.push_back({at.Text(0), s.empty() ? 'N' : s[0]});
        }
    }
    return out;
}

} // namespace revo
