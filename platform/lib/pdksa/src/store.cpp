#include "store.h"

#include "ascii.h"
#include "pdksa.h"
#include "text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace pdksa {

namespace {

constexpr const char* kFormat = "pdksa-1";
constexpr int kBusyTimeoutMs = 10000;

// Tables of the store. Objects carry their display path and its folded
// form, so that any name resolves with one indexed look-up; values of
// name syntax hold the target's id (ref), so they follow renames.
constexpr const char* kCreateSql = R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE obj(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,
                 lname TEXT NOT NULL, path TEXT NOT NULL, lpath TEXT NOT NULL UNIQUE,
                 class TEXT NOT NULL);
CREATE INDEX obj_children ON obj(parent, lname);
CREATE TABLE val(obj INTEGER NOT NULL, attr TEXT NOT NULL, seq INTEGER NOT NULL,
                 syntax INTEGER NOT NULL, v TEXT, lv TEXT, ref INTEGER, priv INTEGER,
                 PRIMARY KEY(obj, attr, seq)) WITHOUT ROWID;
CREATE INDEX val_ref ON val(ref) WHERE ref IS NOT NULL;
CREATE TABLE attrdef(lname TEXT PRIMARY KEY, name TEXT NOT NULL, flags INTEGER NOT NULL,
                     syntax INTEGER NOT NULL, lower INTEGER NOT NULL, upper INTEGER NOT NULL,
                     std INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE classdef(lname TEXT PRIMARY KEY, name TEXT NOT NULL, flags INTEGER NOT NULL,
                      super TEXT NOT NULL, contain TEXT NOT NULL, naming TEXT NOT NULL,
                      mandatory TEXT NOT NULL, optional TEXT NOT NULL,
                      std INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE pw(obj INTEGER PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL,
                iter INTEGER NOT NULL);
INSERT INTO obj VALUES(1, 0, '', '', '', '', '[Root]');
INSERT INTO meta VALUES('schema_gen', 1);
INSERT INTO meta VALUES('last_id', 1);
)SQL";

struct StdAttr {
    const char* name;
    uint32_t syntax, flags, lower, upper;
};

constexpr StdAttr kStdAttrs[] = {
    {"Object Class", DDC_SYN_CLASS_NAME, 0, 0, 0},
    {"ACL", DDC_SYN_ACL, 0, 0, 0},
    {"T", DDC_SYN_TEXT, DDC_ATTRDEF_SINGLE_VALUED | DDC_ATTRDEF_SIZED, 1, 32},
    {"O", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 64},
    {"OU", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 64},
    {"CN", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 64},
    {"Description", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 1024},
    {"Telephone Number", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 32},
    {"Surname", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 64},
    {"Given Name", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 64},
    {"Full Name", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 127},
    {"Member", DDC_SYN_DIST_NAME, 0, 0, 0},
    {"Group Membership", DDC_SYN_DIST_NAME, 0, 0, 0},
    {"Role Occupant", DDC_SYN_DIST_NAME, 0, 0, 0},
    {"Network Address", DDC_SYN_TEXT, 0, 0, 0},
    {"Version", DDC_SYN_TEXT, DDC_ATTRDEF_SINGLE_VALUED, 0, 0},
    {"Status", DDC_SYN_INTEGER, DDC_ATTRDEF_SINGLE_VALUED, 0, 0},
    {"Private Key", DDC_SYN_TEXT, DDC_ATTRDEF_SINGLE_VALUED, 0, 0},
    {"Public Key", DDC_SYN_TEXT, DDC_ATTRDEF_SINGLE_VALUED, 0, 0},
    {"Login Intruder Address", DDC_SYN_TEXT, 0, 0, 0},
    {"Login Intruder Attempts", DDC_SYN_INTEGER, DDC_ATTRDEF_SINGLE_VALUED, 0, 0},
};

struct StdClass {
    const char* name;
    uint32_t flags;
    const char* super;
    const char* contain; // lists separated by '|'
    const char* naming;
    const char* mandatory;
    const char* optional;
};

constexpr uint32_t kCE = DDC_CLASS_CONTAINER | DDC_CLASS_EFFECTIVE;

constexpr StdClass kStdClasses[] = {
    {"Top", 0, "", "", "", "Object Class", "ACL|Description"},
    {"Tree Root", kCE, "Top", "[Root]", "T", "T", ""},
    {"Organization", kCE, "Top", "Tree Root", "O", "O", "Telephone Number|Network Address"},
    {"Organizational Unit", kCE, "Top", "Organization|Organizational Unit", "OU", "OU",
     "Telephone Number|Network Address"},
    {"User", DDC_CLASS_EFFECTIVE, "Top", "Organization|Organizational Unit", "CN", "CN",
     "Surname|Given Name|Full Name|Telephone Number|Group Membership|Network Address|"
     "Login Intruder Address|Login Intruder Attempts"},
    {"Group", DDC_CLASS_EFFECTIVE, "Top", "Organization|Organizational Unit", "CN", "CN",
     "Member|Full Name"},
    {"Organizational Role", DDC_CLASS_EFFECTIVE, "Top", "Organization|Organizational Unit", "CN",
     "CN", "Role Occupant"},
    {"TWP Server", DDC_CLASS_EFFECTIVE, "Top", "Organization|Organizational Unit", "CN", "CN",
     "Network Address|Version|Status|Private Key|Public Key"},
};

std::string JoinList(const char* s) {
    std::string out(s);
    for (char& c : out)
        if (c == '|') c = '\n';
    return out;
}

std::vector<std::string> SplitList(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

// The write-ahead log and its index stay when the last connection closes,
// with the store's owner and mode: a process that may only read the store
// (and not create files beside it) needs them to read at all.
void KeepLogFiles(sqlite3* db) {
    int on = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &on);
}

std::string TrimConfValue(const char* p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

} // namespace

const char* const kIntruderTableSql =
    "CREATE TABLE IF NOT EXISTS intruder(obj INTEGER PRIMARY KEY, attempts INTEGER NOT NULL, "
    "first INTEGER NOT NULL, locked_until INTEGER NOT NULL)";

int MapSqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return 0;
    case SQLITE_NOMEM:
        return DDCERR_NOT_ENOUGH_MEMORY;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return DDCERR_DATABASE_FORMAT;
    case SQLITE_CANTOPEN:
        return DDCERR_NO_REFERRALS;
    default:
        return DDCERR_SYSTEM_FAILURE;
    }
}

const AttrDef* Schema::Attr(const std::string& folded) const {
    auto it = attrs.find(folded);
    return it == attrs.end() ? nullptr : &it->second;
}

const ClassDef* Schema::Cls(const std::string& folded) const {
    auto it = classes.find(folded);
    return it == classes.end() ? nullptr : &it->second;
}

std::vector<std::string> Schema::Chain(const std::string& folded) const {
    std::vector<std::string> out;
    std::string cur = folded;
    while (!cur.empty() && out.size() < 64) {
        const ClassDef* c = Cls(cur);
        if (!c) break;
        out.push_back(cur);
        cur = Fold(c->super);
    }
    return out;
}

Stmt::Stmt(Conn& c, const char* sql) {
    st_ = c.Prepare(sql, prepRc_);
}

Stmt::~Stmt() {
    if (st_) {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
}

Stmt& Stmt::Bind(int i, int64_t v) {
    if (st_) sqlite3_bind_int64(st_, i, v);
    return *this;
}

Stmt& Stmt::Bind(int i, const std::string& v) {
    if (st_) sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::BindNull(int i) {
    if (st_) sqlite3_bind_null(st_, i);
    return *this;
}

Stmt& Stmt::BindBlob(int i, const void* p, int n) {
    if (st_) sqlite3_bind_blob(st_, i, p, n, SQLITE_TRANSIENT);
    return *this;
}

int Stmt::Step() {
    return st_ ? sqlite3_step(st_) : prepRc_;
}

std::string Stmt::Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st_, col))) : std::string();
}

Conn::Conn(sqlite3* db, Store* store) : db_(db), store_(store), pid_(::getpid()) {}

Conn::~Conn() {
    if (!db_) return;
    for (auto& [sql, st] : stmts_)
        sqlite3_finalize(st);
    sqlite3_close(db_);
}

bool Conn::Inherited() const {
    return pid_ != ::getpid();
}

void Conn::Abandon() {
    // Closing a connection copied by fork() could checkpoint or remove the
    // write-ahead log under the parent, which still holds its locks: leak it.
    db_ = nullptr;
    stmts_.clear();
}

sqlite3_stmt* Conn::Prepare(const char* sql, int& rc) {
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) {
        rc = SQLITE_OK;
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    stmts_.emplace(sql, st);
    return st;
}

int Conn::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

int Conn::BeginWrite() {
    // Other processes answer reads from memory while the change counter
    // stands still: a writer that cannot move it must not write.
    if (store_ && !store_->CanAnnounce()) return DDCERR_SYSTEM_FAILURE;
    int rc = MapSqlite(Exec("BEGIN IMMEDIATE"));
    if (rc == 0 && store_) store_->Bump();
    return rc;
}

int Conn::Commit() {
    int rc = Exec("COMMIT");
    if (rc != SQLITE_OK) Rollback();
    if (store_) store_->Bump();
    return MapSqlite(rc);
}

void Conn::Rollback() {
    if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
}

int Conn::LoadSchema() {
    int64_t gen;
    {
        Stmt q(*this, "SELECT value FROM meta WHERE key='schema_gen'");
        int rc = q.Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? DDCERR_DATABASE_FORMAT : MapSqlite(rc);
        gen = q.I64(0);
    }
    if (gen == schema_.generation) return 0;
    Schema s;
    s.generation = gen;
    {
        Stmt q(*this, "SELECT lname, name, flags, syntax, lower, upper, std FROM attrdef");
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            AttrDef a;
            a.name = q.Text(1);
            a.flags = static_cast<uint32_t>(q.I64(2));
            a.syntax = static_cast<uint32_t>(q.I64(3));
            a.lower = static_cast<uint32_t>(q.I64(4));
            a.upper = static_cast<uint32_t>(q.I64(5));
            a.standard = q.I64(6) != 0;
            s.attrs.emplace(q.Text(0), std::move(a));
        }
        if (rc != SQLITE_DONE) return MapSqlite(rc);
    }
    {
        Stmt q(*this, "SELECT lname, name, flags, super, contain, naming, mandatory, optional, std "
                      "FROM classdef");
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            ClassDef c;
            c.name = q.Text(1);
            c.flags = static_cast<uint32_t>(q.I64(2));
            c.super = q.Text(3);
            c.contain = SplitList(q.Text(4));
            c.naming = SplitList(q.Text(5));
            c.mandatory = SplitList(q.Text(6));
            c.optional = SplitList(q.Text(7));
            c.standard = q.I64(8) != 0;
            s.classes.emplace(q.Text(0), std::move(c));
        }
        if (rc != SQLITE_DONE) return MapSqlite(rc);
    }
    schema_ = std::move(s);
    return 0;
}

int Store::Acquire(std::unique_ptr<Conn>& out) {
    {
        std::lock_guard lock(mu_);
        while (!idle_.empty()) {
            out = std::move(idle_.back());
            idle_.pop_back();
            if (!out->Inherited()) return 0;
            out->Abandon();
            out.reset();
        }
    }
    // Never create the file here: a missing store is "not reachable" and
    // stays missing until the administrator makes it.
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(path_.c_str(), R_OK) != 0)
        return DDCERR_NO_REFERRALS;
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return rc == SQLITE_NOMEM ? DDCERR_NOT_ENOUGH_MEMORY : DDCERR_NO_REFERRALS;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    KeepLogFiles(db);
    // WAL with NORMAL sync never corrupts; a power cut may lose only the
    // last commits, and every commit stops costing a disk flush.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    auto conn = std::make_unique<Conn>(db, this);
    int code;
    {
        Stmt q(*conn, "SELECT value FROM meta WHERE key='format'");
        if (q.Ok() == SQLITE_OK) {
            rc = q.Step();
            if (rc == SQLITE_ROW)
                code = q.Text(0) == kFormat ? 0 : DDCERR_DATABASE_FORMAT;
            else
                code = rc == SQLITE_DONE ? DDCERR_DATABASE_FORMAT : MapSqlite(rc);
        } else if ((q.Ok() & 0xFF) == SQLITE_ERROR) {
            // No meta table: an empty file is a store not made yet; anything
            // else is some other database.
            Stmt n(*conn, "SELECT count(*) FROM sqlite_master");
            code = n.Step() == SQLITE_ROW && n.I64(0) == 0 ? DDCERR_NO_REFERRALS
                                                           : DDCERR_DATABASE_FORMAT;
        } else {
            code = MapSqlite(q.Ok());
        }
    }
    if (code != 0) return code;
    OpenGeneration();
    out = std::move(conn);
    return 0;
}

Store::~Store() {
    if (uint64_t* g = gen_.load()) ::munmap(g, sizeof(uint64_t));
}

void Store::OpenGeneration() {
    std::lock_guard lock(mu_);
    if (gen_.load()) return;
    // Named after the store file itself, not the path that reached it: a
    // process that came through a symbolic link or another spelling of the
    // path must see the same counter as every other.
    char real[PATH_MAX];
    if (!::realpath(path_.c_str(), real)) return;
    const std::string p = std::string(real) + "-gen";
    struct stat db {};
    if (::stat(real, &db) != 0) return;
    // The counter file gets the store's owner and mode, so that whoever may
    // change the store may also announce the change.
    int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, db.st_mode & 0666);
    if (fd < 0) return; // no caching here, and no writing (see Conn::beginWrite)
    if (::geteuid() == 0) {
        [[maybe_unused]] int ignored = ::fchown(fd, db.st_uid, db.st_gid);
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(sizeof(uint64_t)) &&
        ::ftruncate(fd, sizeof(uint64_t)) != 0) {
        ::close(fd);
        return;
    }
    void* m = ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (m != MAP_FAILED) gen_.store(static_cast<uint64_t*>(m));
}

uint64_t Store::Generation() const {
    uint64_t* g = gen_.load();
    return g ? std::atomic_ref<uint64_t>(*g).load(std::memory_order_acquire) : 0;
}

void Store::Bump() {
    if (uint64_t* g = gen_.load())
        std::atomic_ref<uint64_t>(*g).fetch_add(1, std::memory_order_acq_rel);
}

// A cached entry is good only while the generation it was read in stands.
template <class Map, class Out>
bool Store::CachedIn(const Map& map, const std::string& key, uint64_t gen, Out& out) {
    if (!gen_.load()) return false;
    std::lock_guard lock(cacheMu_);
    if (gen != cacheGen_) return false;
    auto it = map.find(key);
    if (it == map.end()) return false;
    out = it->second;
    return true;
}

bool Store::CachedId(const std::string& lpath, uint64_t gen, int64_t& id) {
    return CachedIn(ids_, lpath, gen, id);
}

bool Store::CacheCurrent(uint64_t gen) {
    if (gen != cacheGen_) {
        // Only a newer generation replaces the cache; a slow reader with an
        // older one must not bring back what a writer has since changed.
        if (gen < cacheGen_ && cacheGen_ != ~uint64_t{0}) return false;
        ids_.clear();
        values_.clear();
        cacheGen_ = gen;
    }
    if (ids_.size() + values_.size() >= 200000) {
        ids_.clear();
        values_.clear();
    }
    return true;
}

void Store::CacheId(const std::string& lpath, uint64_t gen, int64_t id) {
    if (!gen_.load()) return;
    std::lock_guard lock(cacheMu_);
    if (CacheCurrent(gen)) ids_[lpath] = id;
}

bool Store::CachedValues(const std::string& key, uint64_t gen, std::vector<RawValue>& out) {
    return CachedIn(values_, key, gen, out);
}

void Store::CacheValues(const std::string& key, uint64_t gen, const std::vector<RawValue>& vals) {
    if (!gen_.load()) return;
    std::lock_guard lock(cacheMu_);
    if (CacheCurrent(gen)) values_[key] = vals;
}

void Store::release(std::unique_ptr<Conn> c) {
    if (c->Inherited()) {
        c->Abandon();
        return;
    }
    c->Rollback(); // a call never leaves a transaction open
    std::lock_guard lock(mu_);
    if (idle_.size() < 64) idle_.push_back(std::move(c));
}

std::shared_ptr<Store> StoreFor(const std::string& path) {
    static std::mutex mu;
    static std::map<std::string, std::shared_ptr<Store>> stores;
    std::lock_guard lock(mu);
    auto& s = stores[path];
    if (!s) s = std::make_shared<Store>(path);
    return s;
}

std::string DefaultStorePath() {
    if (const char* env = std::getenv("ARBOR_DIRECTORY"); env && *env) return env;
    const char* conf = std::getenv("ARBOR_CONF");
    if (!conf || !*conf) conf = "/etc/arbor.conf";
    if (FILE* f = std::fopen(conf, "r")) {
        char line[1024];
        std::string found;
        static constexpr char kKey[] = "arbor.directory.store=";
        while (std::fgets(line, sizeof line, f)) {
            line[std::strcspn(line, "\n")] = 0;
            if (char* cr = std::strrchr(line, '\r')) *cr = 0;
            if (arbor::StartsWithNoCase(line, kKey)) found = TrimConfValue(line + sizeof kKey - 1);
        }
        std::fclose(f);
        if (!found.empty()) return found;
    }
    return "/var/lib/arbor/directory.db";
}

int CreateStore(const std::string& path) {
    // The store holds password hashes and secrets: its owner's alone, whatever
    // the umask, until the administrator shares it (PDKShareStore).
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno == EEXIST ? DDCERR_ENTRY_ALREADY_EXISTS : DDCERR_SYSTEM_FAILURE;
    const bool modeSet = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!modeSet) {
        ::unlink(path.c_str());
        return DDCERR_SYSTEM_FAILURE;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        ::unlink(path.c_str());
        return DDCERR_SYSTEM_FAILURE;
    }
    KeepLogFiles(db);
    Conn conn(db); // closes the database
    if (conn.Exec("PRAGMA journal_mode=WAL") != SQLITE_OK || conn.Exec("BEGIN") != SQLITE_OK ||
        conn.Exec(kCreateSql) != SQLITE_OK || conn.Exec(kIntruderTableSql) != SQLITE_OK) {
        ::unlink(path.c_str());
        return DDCERR_SYSTEM_FAILURE;
    }
    for (const auto& a : kStdAttrs) {
        Stmt q(conn, "INSERT INTO attrdef VALUES(?,?,?,?,?,?,1)");
        q.Bind(1, Fold(a.name)).Bind(2, std::string(a.name)).Bind(3, int64_t{a.flags});
        q.Bind(4, int64_t{a.syntax}).Bind(5, int64_t{a.lower}).Bind(6, int64_t{a.upper});
        if (q.Step() != SQLITE_DONE) rc = SQLITE_ERROR;
    }
    for (const auto& c : kStdClasses) {
        Stmt q(conn, "INSERT INTO classdef VALUES(?,?,?,?,?,?,?,?,1)");
        q.Bind(1, Fold(c.name)).Bind(2, std::string(c.name)).Bind(3, int64_t{c.flags});
        q.Bind(4, std::string(c.super)).Bind(5, JoinList(c.contain)).Bind(6, JoinList(c.naming));
        q.Bind(7, JoinList(c.mandatory)).Bind(8, JoinList(c.optional));
        if (q.Step() != SQLITE_DONE) rc = SQLITE_ERROR;
    }
    {
        // Written last: a store without its format mark is never used.
        Stmt q(conn, "INSERT INTO meta VALUES('format', ?)");
        q.Bind(1, std::string(kFormat));
        if (q.Step() != SQLITE_DONE) rc = SQLITE_ERROR;
    }
    if (rc != SQLITE_OK || conn.Exec("COMMIT") != SQLITE_OK) {
        conn.Rollback();
        ::unlink(path.c_str());
        return DDCERR_SYSTEM_FAILURE;
    }
    return 0;
}

int ShareStore(const std::string& path, gid_t group) {
    // The group reads the store, its log and the change counter; writing
    // stays with the owner.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return DDCERR_NO_REFERRALS;
    for (const char* suffix : {"", "-wal", "-shm", "-gen"}) {
        const std::string p = path + suffix;
        if (*suffix && ::access(p.c_str(), F_OK) != 0) continue;
        if (::chown(p.c_str(), static_cast<uid_t>(-1), group) != 0 || ::chmod(p.c_str(), 0640) != 0)
            return errno == EPERM ? DDCERR_NO_ACCESS : DDCERR_SYSTEM_FAILURE;
    }
    return 0;
}

} // namespace pdksa
