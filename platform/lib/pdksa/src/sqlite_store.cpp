// Everything SQL of the directory client lives in this file.
#include "sqlite_store.h"

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
#include <sqlite3.h>
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

const char* const kIntruderTableSql =
    "CREATE TABLE IF NOT EXISTS intruder(obj INTEGER PRIMARY KEY, attempts INTEGER NOT NULL, "
    "first INTEGER NOT NULL, locked_until INTEGER NOT NULL)";

// Result of a statement step as a directory code.
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

// 0 when a statement that returns no rows ran to its end.
int Done(int rc) {
    return rc == SQLITE_DONE ? 0 : MapSqlite(rc);
}

std::string JoinLines(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) {
        if (!s.empty()) s.push_back('\n');
        s += x;
    }
    return s;
}

// Folded bounds of the paths strictly below path: each starts with the
// path and a backslash, and ']' is the byte after the backslash.
std::pair<std::string, std::string> SubtreeRange(const std::string& path) {
    const std::string l = Fold(path);
    return {l + "\\", l + "]"};
}

class SqliteConn;

// RAII use of a cached statement: reset and unbound when it goes.
class Stmt {
  public:
    Stmt(SqliteConn& c, const char* sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    int Ok() const { return prepRc_; }
    Stmt& Bind(int i, int64_t v) {
        if (st_) sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
        if (st_) sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& BindNull(int i) {
        if (st_) sqlite3_bind_null(st_, i);
        return *this;
    }
    Stmt& BindBlob(int i, const void* p, int n) {
        if (st_) sqlite3_bind_blob(st_, i, p, n, SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return st_ ? sqlite3_step(st_) : prepRc_; }
    int64_t I64(int col) const { return sqlite3_column_int64(st_, col); }
    std::string Text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st_, col)))
                 : std::string();
    }
    bool IsNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    const void* Blob(int col) const { return sqlite3_column_blob(st_, col); }
    int Bytes(int col) const { return sqlite3_column_bytes(st_, col); }

  private:
    sqlite3_stmt* st_ = nullptr;
    int prepRc_ = 0;
};

class SqliteConn final : public Conn {
  public:
    SqliteConn(sqlite3* db, Store* store) : Conn(store), db_(db), pid_(CurrentPid()) {}
    ~SqliteConn() override;
    // Made by another process (before a fork): its database handle must
    // neither be used nor closed here.
    bool Inherited() const { return pid_ != CurrentPid(); }
    void Abandon();
    sqlite3_stmt* Prepare(const char* sql, int& rc);
    int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

    int BeginWrite() override;
    int Commit() override;
    void Rollback() override;
    bool InTransaction() const override { return !sqlite3_get_autocommit(db_); }

    int FindPath(const std::string& lpath, int64_t& id) override;
    int ObjectInfo(int64_t id, ObjInfo& out) override;
    int Children(int64_t parent, const std::string& classFilter,
                 std::vector<std::string>& names) override;
    int HasChildren(int64_t id, bool& any) override;
    int SubtreePaths(const std::string& path, std::vector<std::string>& out) override;
    int InsertObject(int64_t parent, const std::string& rdn, const std::string& path,
                     const std::string& cls, int64_t& id) override;
    int RenameObject(int64_t id, const std::string& oldPath, const std::string& rdn,
                     const std::string& newPath) override;
    int RemoveObject(int64_t id) override;

    int ReadValues(int64_t obj, const std::string& lattr, std::vector<Value>& out) override;
    int WriteValues(int64_t obj, const std::string& lattr, const std::vector<Value>& vals) override;
    int AttrNames(int64_t obj, std::vector<std::string>& out) override;
    int AclGrants(int64_t obj, int64_t trustee,
                  std::vector<std::pair<std::string, uint32_t>>& out) override;
    int ReferencesTo(int64_t obj, std::vector<RefUse>& out) override;

    int InsertAttrDef(const std::string& lname, const AttrDef& def) override;
    int RemoveAttrDef(const std::string& lname) override;
    int InsertClassDef(const std::string& lname, const ClassDef& def) override;
    int SetClassOptionals(const std::string& lname,
                          const std::vector<std::string>& optional) override;
    int RemoveClassDef(const std::string& lname) override;
    int BumpSchema() override;
    int AttrInUse(const std::string& lattr, bool& used) override;
    int ClassInUse(const std::string& lclass, bool& used) override;

    int ReadPassword(int64_t obj, PasswordHash& out) override;
    int WritePassword(int64_t obj, const PasswordHash& h) override;
    int ReadIntruderPolicy(IntruderPolicy& out) override;
    int ReadIntruder(int64_t obj, IntruderState& out) override;
    int WriteIntruder(int64_t obj, const IntruderState& st) override;
    int ClearIntruder(int64_t obj) override;

  protected:
    int SchemaGeneration(int64_t& gen) override;
    int ReadSchema(Schema& out) override;

  private:
    int NextObjectId(int64_t& id);
    int Exists(const char* sql, const std::string& key, bool& found);
    sqlite3* db_;
    int pid_;
    std::unordered_map<const char*, sqlite3_stmt*> stmts_;
};

Stmt::Stmt(SqliteConn& c, const char* sql) {
    st_ = c.Prepare(sql, prepRc_);
}

Stmt::~Stmt() {
    if (st_) {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
}

SqliteConn::~SqliteConn() {
    if (!db_) return;
    for (auto& [sql, st] : stmts_)
        sqlite3_finalize(st);
    sqlite3_close(db_);
}

void SqliteConn::Abandon() {
    // Closing a connection copied by fork() could checkpoint or remove the
    // write-ahead log under the parent, which still holds its locks: leak it.
    db_ = nullptr;
    stmts_.clear();
}

sqlite3_stmt* SqliteConn::Prepare(const char* sql, int& rc) {
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

// Transactions: BEGIN IMMEDIATE for changes so writers queue on the busy
// timeout instead of failing on upgrade.
int SqliteConn::BeginWrite() {
    // Other processes answer reads from memory while the change counter
    // stands still: a writer that cannot move it must not write.
    if (store() && !store()->CanAnnounce()) return DDCERR_SYSTEM_FAILURE;
    int rc = MapSqlite(Exec("BEGIN IMMEDIATE"));
    if (rc == 0 && store()) store()->Bump();
    return rc;
}

int SqliteConn::Commit() {
    int rc = Exec("COMMIT");
    if (rc != SQLITE_OK) Rollback();
    if (store()) store()->Bump();
    return MapSqlite(rc);
}

void SqliteConn::Rollback() {
    if (db_ && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
}

int SqliteConn::SchemaGeneration(int64_t& gen) {
    Stmt q(*this, "SELECT value FROM meta WHERE key='schema_gen'");
    int rc = q.Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? DDCERR_DATABASE_FORMAT : MapSqlite(rc);
    gen = q.I64(0);
    return 0;
}

int SqliteConn::ReadSchema(Schema& s) {
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
    return Done(rc);
}

int SqliteConn::FindPath(const std::string& lpath, int64_t& id) {
    Stmt q(*this, "SELECT id FROM obj WHERE lpath=?");
    q.Bind(1, lpath);
    int rc = q.Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? DDCERR_NO_SUCH_ENTRY : MapSqlite(rc);
    id = q.I64(0);
    return 0;
}

int SqliteConn::ObjectInfo(int64_t id, ObjInfo& out) {
    Stmt q(*this, "SELECT parent, name, path, class FROM obj WHERE id=?");
    q.Bind(1, id);
    int rc = q.Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? DDCERR_NO_SUCH_ENTRY : MapSqlite(rc);
    out.id = id;
    out.parent = q.I64(0);
    out.name = q.Text(1);
    out.path = q.Text(2);
    out.cls = q.Text(3);
    return 0;
}

int SqliteConn::Children(int64_t parent, const std::string& classFilter,
                         std::vector<std::string>& names) {
    names.clear();
    Stmt q(*this, "SELECT o.name FROM obj o WHERE o.parent=?1 AND (?2 IS NULL OR EXISTS("
                  "SELECT 1 FROM val v WHERE v.obj=o.id AND v.attr='object class' "
                  "AND v.lv=?2)) ORDER BY o.lname");
    q.Bind(1, parent);
    if (classFilter.empty())
        q.BindNull(2);
    else
        q.Bind(2, classFilter);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        names.push_back(q.Text(0));
    return Done(rc);
}

int SqliteConn::Exists(const char* sql, const std::string& key, bool& found) {
    Stmt q(*this, sql);
    q.Bind(1, key);
    int rc = q.Step();
    found = rc == SQLITE_ROW;
    return found ? 0 : Done(rc);
}

int SqliteConn::HasChildren(int64_t id, bool& any) {
    Stmt q(*this, "SELECT 1 FROM obj WHERE parent=? LIMIT 1");
    q.Bind(1, id);
    int rc = q.Step();
    any = rc == SQLITE_ROW;
    return any ? 0 : Done(rc);
}

int SqliteConn::SubtreePaths(const std::string& path, std::vector<std::string>& out) {
    out.clear();
    const auto [lo, hi] = SubtreeRange(path);
    Stmt q(*this, "SELECT path FROM obj WHERE lpath > ? AND lpath < ?");
    q.Bind(1, lo).Bind(2, hi);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.push_back(q.Text(0));
    return Done(rc);
}

// Rights, sessions and stored references go by id, so an id is never given
// out twice: the highest ever used is kept in meta (stores made before it
// start from the highest id present).
int SqliteConn::NextObjectId(int64_t& id) {
    {
        Stmt q(*this, "SELECT max(coalesce((SELECT value FROM meta WHERE key='last_id'), 0), "
                      "(SELECT max(id) FROM obj)) + 1");
        int rc = q.Step();
        if (rc != SQLITE_ROW) return MapSqlite(rc);
        id = q.I64(0);
    }
    Stmt u(*this, "INSERT OR REPLACE INTO meta(key, value) VALUES('last_id', ?)");
    u.Bind(1, id);
    return Done(u.Step());
}

int SqliteConn::InsertObject(int64_t parent, const std::string& rdn, const std::string& path,
                             const std::string& cls, int64_t& id) {
    if (int rc = NextObjectId(id)) return rc;
    Stmt q(*this, "INSERT INTO obj(id, parent, name, lname, path, lpath, class) "
                  "VALUES(?,?,?,?,?,?,?)");
    q.Bind(1, id).Bind(2, parent).Bind(3, rdn).Bind(4, Fold(rdn)).Bind(5, path);
    q.Bind(6, Fold(path)).Bind(7, cls);
    return Done(q.Step());
}

// The object's row, then the paths of its subtree.
int SqliteConn::RenameObject(int64_t id, const std::string& oldPath, const std::string& rdn,
                             const std::string& newPath) {
    {
        Stmt u(*this, "UPDATE obj SET name=?, lname=?, path=?, lpath=? WHERE id=?");
        u.Bind(1, rdn).Bind(2, Fold(rdn)).Bind(3, newPath).Bind(4, Fold(newPath)).Bind(5, id);
        if (int rc = Done(u.Step())) return rc;
    }
    // Cut in bytes: substr() of a text counts code points, which neither
    // UTF-16 nor UTF-8 lengths give. Folding keeps byte lengths, so one
    // offset serves both columns.
    const auto [lo, hi] = SubtreeRange(oldPath);
    Stmt u(*this, "UPDATE obj SET path=?1 || CAST(substr(CAST(path AS BLOB), ?2) AS TEXT), "
                  "lpath=?3 || CAST(substr(CAST(lpath AS BLOB), ?2) AS TEXT) "
                  "WHERE lpath > ?4 AND lpath < ?5");
    u.Bind(1, newPath).Bind(2, static_cast<int64_t>(oldPath.size() + 1));
    u.Bind(3, Fold(newPath)).Bind(4, lo).Bind(5, hi);
    return Done(u.Step());
}

int SqliteConn::RemoveObject(int64_t id) {
    // Values elsewhere that name the object go with it, so that no name
    // value ever points at nothing.
    static const char* const kDeletes[] = {
        "DELETE FROM val WHERE obj=?1",
        "DELETE FROM val WHERE ref=?1",
        "DELETE FROM pw WHERE obj=?1",
        "DELETE FROM obj WHERE id=?1",
    };
    for (const char* sql : kDeletes) {
        Stmt d(*this, sql);
        d.Bind(1, id);
        if (int rc = Done(d.Step())) return rc;
    }
    return 0;
}

int SqliteConn::ReadValues(int64_t obj, const std::string& lattr, std::vector<Value>& out) {
    out.clear();
    Stmt q(*this, "SELECT v.syntax, v.v, v.lv, v.ref, v.priv, o.path FROM val v LEFT JOIN obj o "
                  "ON o.id=v.ref WHERE v.obj=? AND v.attr=? ORDER BY v.seq");
    q.Bind(1, obj).Bind(2, lattr);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Value v;
        v.syntax = static_cast<uint32_t>(q.I64(0));
        v.v = q.Text(1);
        v.lv = q.Text(2);
        v.ref = q.IsNull(3) ? 0 : q.I64(3);
        v.priv = static_cast<uint32_t>(q.I64(4));
        v.refPath = q.Text(5);
        out.push_back(std::move(v));
    }
    return Done(rc);
}

int SqliteConn::WriteValues(int64_t obj, const std::string& lattr, const std::vector<Value>& vals) {
    {
        Stmt d(*this, "DELETE FROM val WHERE obj=? AND attr=?");
        d.Bind(1, obj).Bind(2, lattr);
        if (int rc = Done(d.Step())) return rc;
    }
    int64_t seq = 0;
    for (const auto& v : vals) {
        Stmt q(*this, "INSERT INTO val(obj, attr, seq, syntax, v, lv, ref, priv) "
                      "VALUES(?,?,?,?,?,?,?,?)");
        q.Bind(1, obj).Bind(2, lattr).Bind(3, seq++).Bind(4, int64_t{v.syntax});
        if (v.syntax == DDC_SYN_DIST_NAME) {
            q.BindNull(5).BindNull(6);
        } else {
            q.Bind(5, v.v).Bind(6, v.lv);
        }
        if (v.syntax == DDC_SYN_DIST_NAME || v.syntax == DDC_SYN_ACL)
            q.Bind(7, v.ref);
        else
            q.BindNull(7);
        q.Bind(8, int64_t{v.priv});
        if (int rc = Done(q.Step())) return rc;
    }
    return 0;
}

int SqliteConn::AttrNames(int64_t obj, std::vector<std::string>& out) {
    out.clear();
    Stmt q(*this, "SELECT DISTINCT attr FROM val WHERE obj=? ORDER BY attr");
    q.Bind(1, obj);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.push_back(q.Text(0));
    return Done(rc);
}

int SqliteConn::AclGrants(int64_t obj, int64_t trustee,
                          std::vector<std::pair<std::string, uint32_t>>& out) {
    out.clear();
    Stmt q(*this, "SELECT lv, priv FROM val WHERE obj=? AND attr='acl' AND ref=?");
    q.Bind(1, obj).Bind(2, trustee);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.emplace_back(q.Text(0), static_cast<uint32_t>(q.I64(1)));
    return Done(rc);
}

int SqliteConn::ReferencesTo(int64_t obj, std::vector<RefUse>& out) {
    out.clear();
    Stmt q(*this, "SELECT v.obj, v.attr, count(*), (SELECT count(*) FROM val w "
                  "WHERE w.obj=v.obj AND w.attr=v.attr) FROM val v "
                  "WHERE v.ref=?1 AND v.obj<>?1 GROUP BY v.obj, v.attr");
    q.Bind(1, obj);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.push_back(RefUse{q.I64(0), q.Text(1), q.I64(2), q.I64(3)});
    return Done(rc);
}

int SqliteConn::InsertAttrDef(const std::string& lname, const AttrDef& def) {
    Stmt q(*this, "INSERT INTO attrdef VALUES(?,?,?,?,?,?,?)");
    q.Bind(1, lname).Bind(2, def.name).Bind(3, int64_t{def.flags}).Bind(4, int64_t{def.syntax});
    q.Bind(5, int64_t{def.lower}).Bind(6, int64_t{def.upper}).Bind(7, int64_t{def.standard});
    return Done(q.Step());
}

int SqliteConn::RemoveAttrDef(const std::string& lname) {
    Stmt d(*this, "DELETE FROM attrdef WHERE lname=?");
    d.Bind(1, lname);
    return Done(d.Step());
}

int SqliteConn::InsertClassDef(const std::string& lname, const ClassDef& def) {
    Stmt q(*this, "INSERT INTO classdef VALUES(?,?,?,?,?,?,?,?,?)");
    q.Bind(1, lname).Bind(2, def.name).Bind(3, int64_t{def.flags}).Bind(4, def.super);
    q.Bind(5, JoinLines(def.contain)).Bind(6, JoinLines(def.naming));
    q.Bind(7, JoinLines(def.mandatory)).Bind(8, JoinLines(def.optional));
    q.Bind(9, int64_t{def.standard});
    return Done(q.Step());
}

int SqliteConn::SetClassOptionals(const std::string& lname,
                                  const std::vector<std::string>& optional) {
    Stmt u(*this, "UPDATE classdef SET optional=? WHERE lname=?");
    u.Bind(1, JoinLines(optional)).Bind(2, lname);
    return Done(u.Step());
}

int SqliteConn::RemoveClassDef(const std::string& lname) {
    Stmt d(*this, "DELETE FROM classdef WHERE lname=?");
    d.Bind(1, lname);
    return Done(d.Step());
}

int SqliteConn::BumpSchema() {
    Stmt q(*this, "UPDATE meta SET value=value+1 WHERE key='schema_gen'");
    return Done(q.Step());
}

int SqliteConn::AttrInUse(const std::string& lattr, bool& used) {
    return Exists("SELECT 1 FROM val WHERE attr=? LIMIT 1", lattr, used);
}

int SqliteConn::ClassInUse(const std::string& lclass, bool& used) {
    return Exists("SELECT 1 FROM val WHERE attr='object class' AND lv=? LIMIT 1", lclass, used);
}

int SqliteConn::ReadPassword(int64_t obj, PasswordHash& h) {
    Stmt q(*this, "SELECT salt, hash, iter FROM pw WHERE obj=?");
    q.Bind(1, obj);
    int rc = q.Step();
    if (rc == SQLITE_DONE) return DDCERR_FAILED_AUTHENTICATION;
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    if (q.Bytes(0) != static_cast<int>(PasswordHash::kSaltLen) ||
        q.Bytes(1) != static_cast<int>(PasswordHash::kHashLen))
        return DDCERR_DATABASE_FORMAT;
    std::memcpy(h.salt, q.Blob(0), PasswordHash::kSaltLen);
    std::memcpy(h.hash, q.Blob(1), PasswordHash::kHashLen);
    h.iter = q.I64(2);
    return 0;
}

int SqliteConn::WritePassword(int64_t obj, const PasswordHash& h) {
    Stmt q(*this, "INSERT OR REPLACE INTO pw(obj, salt, hash, iter) VALUES(?,?,?,?)");
    q.Bind(1, obj).BindBlob(2, h.salt, sizeof h.salt).BindBlob(3, h.hash, sizeof h.hash);
    q.Bind(4, h.iter);
    return Done(q.Step());
}

// Store options in meta; what is missing or unreadable keeps its default.
int SqliteConn::ReadIntruderPolicy(IntruderPolicy& p) {
    p = IntruderPolicy{};
    Stmt q(*this, "SELECT key, value FROM meta WHERE key IN "
                  "('intruder_attempts', 'intruder_reset_seconds', 'intruder_lockout_seconds')");
    while (q.Step() == SQLITE_ROW) {
        const std::string k = q.Text(0);
        const int64_t v = std::max<int64_t>(0, q.I64(1));
        if (k == "intruder_attempts")
            p.attempts = v;
        else if (k == "intruder_reset_seconds")
            p.reset = v;
        else
            p.lockout = v;
    }
    return 0;
}

int SqliteConn::ReadIntruder(int64_t obj, IntruderState& st) {
    st = IntruderState{};
    Stmt q(*this, "SELECT attempts, first, locked_until FROM intruder WHERE obj=?");
    if (q.Ok() != SQLITE_OK) return 0; // stores made before detection: nothing recorded
    q.Bind(1, obj);
    if (q.Step() == SQLITE_ROW) st = IntruderState{q.I64(0), q.I64(1), q.I64(2), true};
    return 0;
}

int SqliteConn::WriteIntruder(int64_t obj, const IntruderState& st) {
    if (int rc = MapSqlite(Exec(kIntruderTableSql))) return rc;
    Stmt q(*this, "INSERT OR REPLACE INTO intruder(obj, attempts, first, locked_until) "
                  "VALUES(?,?,?,?)");
    q.Bind(1, obj).Bind(2, st.attempts).Bind(3, st.first).Bind(4, st.lockedUntil);
    return Done(q.Step());
}

int SqliteConn::ClearIntruder(int64_t obj) {
    if (int rc = MapSqlite(Exec(kIntruderTableSql))) return rc;
    Stmt d(*this, "DELETE FROM intruder WHERE obj=?");
    d.Bind(1, obj);
    return Done(d.Step());
}

// The format mark: 0 for a directory store, NO_REFERRALS for an empty file
// (a store not made yet), DATABASE_FORMAT for anything else.
int CheckFormat(SqliteConn& conn) {
    Stmt q(conn, "SELECT value FROM meta WHERE key='format'");
    if (q.Ok() == SQLITE_OK) {
        int rc = q.Step();
        if (rc == SQLITE_ROW) return q.Text(0) == kFormat ? 0 : DDCERR_DATABASE_FORMAT;
        return rc == SQLITE_DONE ? DDCERR_DATABASE_FORMAT : MapSqlite(rc);
    }
    if ((q.Ok() & 0xFF) != SQLITE_ERROR) return MapSqlite(q.Ok());
    // No meta table.
    Stmt n(conn, "SELECT count(*) FROM sqlite_master");
    return n.Step() == SQLITE_ROW && n.I64(0) == 0 ? DDCERR_NO_REFERRALS : DDCERR_DATABASE_FORMAT;
}

} // namespace

int SqliteStore::Acquire(std::unique_ptr<Conn>& out) {
    {
        std::lock_guard lock(mu_);
        while (!idle_.empty()) {
            out = std::move(idle_.back());
            idle_.pop_back();
            auto& sc = static_cast<SqliteConn&>(*out);
            if (!sc.Inherited()) return 0;
            sc.Abandon();
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
    auto conn = std::make_unique<SqliteConn>(db, this);
    if (int code = CheckFormat(*conn)) return code;
    OpenGeneration();
    out = std::move(conn);
    return 0;
}

void SqliteStore::release(std::unique_ptr<Conn> c) {
    auto& sc = static_cast<SqliteConn&>(*c);
    if (sc.Inherited()) {
        sc.Abandon();
        return;
    }
    sc.Rollback(); // a call never leaves a transaction open
    std::lock_guard lock(mu_);
    if (idle_.size() < 64) idle_.push_back(std::move(c));
}

// Whoever may write the file could change any value in it, and whoever may
// read it reads every value anyway: the directory's rights protect nothing
// from them.
int SqliteStore::MaintenanceAccess(bool needWrite, bool& readOnly) {
    const char* path = path_.c_str();
    if (::access(path, needWrite ? W_OK : R_OK) != 0)
        return ::access(path, F_OK) != 0 ? DDCERR_NO_REFERRALS : DDCERR_NO_ACCESS;
    readOnly = ::access(path, W_OK) != 0;
    return 0;
}

SqliteStore::~SqliteStore() {
    if (uint64_t* g = gen_.load()) ::munmap(g, sizeof(uint64_t));
}

void SqliteStore::OpenGeneration() {
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
    if (fd < 0) return; // no caching here, and no writing (see SqliteConn::BeginWrite)
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

uint64_t SqliteStore::Generation() const {
    uint64_t* g = gen_.load();
    return g ? std::atomic_ref<uint64_t>(*g).load(std::memory_order_acquire) : 0;
}

void SqliteStore::Bump() {
    if (uint64_t* g = gen_.load())
        std::atomic_ref<uint64_t>(*g).fetch_add(1, std::memory_order_acq_rel);
}

int CreateSqliteStore(const std::string& path) {
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
    SqliteConn conn(db, nullptr); // closes the database
    if (conn.Exec("PRAGMA journal_mode=WAL") != SQLITE_OK || conn.Exec("BEGIN") != SQLITE_OK ||
        conn.Exec(kCreateSql) != SQLITE_OK || conn.Exec(kIntruderTableSql) != SQLITE_OK) {
        ::unlink(path.c_str());
        return DDCERR_SYSTEM_FAILURE;
    }
    for (const auto& a : StandardAttrs()) {
        Stmt q(conn, "INSERT INTO attrdef VALUES(?,?,?,?,?,?,1)");
        q.Bind(1, Fold(a.name)).Bind(2, a.name).Bind(3, int64_t{a.flags});
        q.Bind(4, int64_t{a.syntax}).Bind(5, int64_t{a.lower}).Bind(6, int64_t{a.upper});
        if (q.Step() != SQLITE_DONE) rc = SQLITE_ERROR;
    }
    for (const auto& c : StandardClasses()) {
        Stmt q(conn, "INSERT INTO classdef VALUES(?,?,?,?,?,?,?,?,1)");
        q.Bind(1, Fold(c.name)).Bind(2, c.name).Bind(3, int64_t{c.flags});
        q.Bind(4, c.super).Bind(5, JoinLines(c.contain)).Bind(6, JoinLines(c.naming));
        q.Bind(7, JoinLines(c.mandatory)).Bind(8, JoinLines(c.optional));
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

int RemoveSqliteStore(const std::string& path) {
    // The companions first: the store itself goes last, so that a removal
    // cut short still shows a store to remove again.
    for (const char* suffix : {"-wal", "-shm", "-gen", ""})
        if (::unlink((path + suffix).c_str()) != 0 && errno != ENOENT)
            return errno == EACCES || errno == EPERM ? DDCERR_NO_ACCESS : DDCERR_SYSTEM_FAILURE;
    return 0;
}

int ShareSqliteStore(const std::string& path, gid_t group) {
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
