// The directory store: one SQLite file shared by every process, reached
// through a pool of connections, each with its prepared statements.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace pdksa {

constexpr int64_t kRootId = 1; // the root "\"

// Result of a statement step, mapped to directory codes by the callers.
int MapSqlite(int rc);

struct AttrDef {
    std::string name;
    uint32_t flags = 0, syntax = 3, lower = 0, upper = 0;
    bool standard = false;
};

struct ClassDef {
    std::string name;
    uint32_t flags = 0;
    std::string super;
    std::vector<std::string> contain, naming, mandatory, optional;
    bool standard = false;
};

// Schema as read from the store, keyed by folded name.
struct Schema {
    int64_t generation = -1;
    std::unordered_map<std::string, AttrDef> attrs;
    std::unordered_map<std::string, ClassDef> classes;

    const AttrDef* Attr(const std::string& folded) const;
    const ClassDef* Cls(const std::string& folded) const;
    // The class and its superclasses, most specific first (folded names).
    std::vector<std::string> Chain(const std::string& folded) const;
};

class Conn;

// RAII use of a cached statement: reset and unbound when it goes.
class Stmt {
  public:
    Stmt(Conn& c, const char* sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    int Ok() const { return prepRc_; }
    Stmt& Bind(int i, int64_t v);
    Stmt& Bind(int i, const std::string& v);
    Stmt& BindNull(int i);
    int Step(); // SQLITE_ROW, SQLITE_DONE or an error
    int64_t I64(int col) const { return sqlite3_column_int64(st_, col); }
    std::string Text(int col) const;
    bool IsNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    const void* Blob(int col) const { return sqlite3_column_blob(st_, col); }
    int Bytes(int col) const { return sqlite3_column_bytes(st_, col); }
    Stmt& BindBlob(int i, const void* p, int n);

  private:
    sqlite3_stmt* st_ = nullptr;
    int prepRc_ = 0;
};

class Store;

class Conn {
  public:
    explicit Conn(sqlite3* db, Store* store = nullptr);
    Store* store() const { return store_; }
    // Made by another process (before a fork): its database handle must
    // neither be used nor closed here.
    bool Inherited() const;
    void Abandon();
    ~Conn();
    sqlite3* Db() const { return db_; }
    sqlite3_stmt* Prepare(const char* sql, int& rc);
    int Exec(const char* sql);
    // Transactions: BEGIN IMMEDIATE for changes so writers queue on the
    // busy timeout instead of failing on upgrade.
    int BeginWrite();
    int Commit();
    void Rollback();
    // Brings the schema up to date with the store.
    int LoadSchema();
    const Schema& schema() const { return schema_; }

  private:
    sqlite3* db_;
    Store* store_;
    int pid_;
    std::unordered_map<const char*, sqlite3_stmt*> stmts_;
    Schema schema_;
};

// A stored value as read, before it is put in a caller's form.
struct RawValue {
    uint32_t syntax;
    std::string v;
    int64_t priv;
    std::string path; // target of a name or an ACL trustee
};

class Store {
  public:
    explicit Store(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }
    // A connection for one call; DDCERR_NO_REFERRALS while the store
    // cannot be reached, DDCERR_DATABASE_FORMAT when it is not a directory.
    int Acquire(std::unique_ptr<Conn>& out);
    void release(std::unique_ptr<Conn> c);
    ~Store();

    // Change counter shared by every process of the store (a small mapped
    // file beside it). Writers bump it when they start and after they
    // commit, so a cached look-up is good while the counter stands still.
    uint64_t Generation() const;
    void Bump();
    bool CanAnnounce() const { return gen_.load() != nullptr; }
    bool CachedId(const std::string& lpath, uint64_t gen, int64_t& id);
    void CacheId(const std::string& lpath, uint64_t gen, int64_t id);
    bool CachedValues(const std::string& key, uint64_t gen, std::vector<RawValue>& out);
    void CacheValues(const std::string& key, uint64_t gen, const std::vector<RawValue>& vals);

  private:
    void OpenGeneration();
    bool CacheCurrent(uint64_t gen); // under cacheMu_: may the cache take gen?
    template <class Map, class Out>
    bool CachedIn(const Map& map, const std::string& key, uint64_t gen, Out& out);
    std::string path_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Conn>> idle_;
    std::atomic<uint64_t*> gen_{nullptr}; // mapped; null: no caching
    std::mutex cacheMu_;
    uint64_t cacheGen_ = ~uint64_t{0};
    std::unordered_map<std::string, int64_t> ids_;
    std::unordered_map<std::string, std::vector<RawValue>> values_;
};

// Creates the intruder detection table (stores made before it lack it).
extern const char* const kIntruderTableSql;

// One Store per path for the whole process.
std::shared_ptr<Store> StoreFor(const std::string& path);
// Where a new context's store is (environment, configuration file, default).
std::string DefaultStorePath();
// Creates a new store file with the standard schema and the root.
int CreateStore(const std::string& path);
// Gives the group read access to the store and its companion files.
int ShareStore(const std::string& path, gid_t group);

// A pooled connection held for the length of one call.
class ConnLease {
  public:
    explicit ConnLease(std::shared_ptr<Store> s) : store_(std::move(s)) {}
    ~ConnLease() {
        if (conn_) store_->release(std::move(conn_));
    }
    int Open() { return store_->Acquire(conn_); }
    Conn& operator*() { return *conn_; }
    Conn* operator->() { return conn_.get(); }

  private:
    std::shared_ptr<Store> store_;
    std::unique_ptr<Conn> conn_;
};

} // namespace pdksa
