// The directory store interface: what the call families (names, reads,
// changes, schema, passwords) need from wherever the objects live. Rights,
// schema enforcement, names and the C interface sit above it; a store only
// keeps and finds objects, values, definitions and password hashes.
//
// Every call may fail with DDCERR_NO_REFERRALS (the store cannot be reached)
// or another directory code; none throws. A Conn is held for one library call
// and by one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pdksa {

constexpr int64_t kRootId = 1; // the root "\"

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

struct ObjInfo {
    int64_t id = 0, parent = 0;
    std::string name, path, cls; // relative name, full display path, base class
};

// One stored value of an attribute. Name values keep the target's id (ref),
// so they follow renames; ACL values keep the protected attribute in v/lv,
// the trustee in ref and the privileges in priv.
struct Value {
    uint32_t syntax = 3; // DDC_SYN_TEXT
    std::string v, lv;   // display and folded text
    int64_t ref = 0;
    uint32_t priv = 0;
    std::string refPath; // on reads: the full path of ref ("" when none)

    // Identity within an attribute: duplicates have equal keys.
    std::string Key() const;
};

// Another object's values that name an object (see Conn::ReferencesTo).
struct RefUse {
    int64_t holder;
    std::string lattr;
    int64_t naming, total; // values naming the object, all values of the attribute
};

struct PasswordHash {
    static constexpr size_t kSaltLen = 16, kHashLen = 32;
    unsigned char salt[kSaltLen] = {}, hash[kHashLen] = {};
    int64_t iter = 0;
};

// Login intruder detection, overridable per store: this many failed checks
// within the reset interval lock the object's password checks for the
// lock-out time (0 attempts: no detection). And one object's state.
struct IntruderPolicy {
    int64_t attempts = 7, reset = 30 * 60, lockout = 15 * 60;
};
struct IntruderState {
    int64_t attempts = 0, first = 0, lockedUntil = 0;
    bool present = false;
};

class Store;

// One call's use of the store. Changes happen between BeginWrite and
// Commit and are all-or-nothing; Rollback (or the lease's end) drops them.
// Operations that touch several objects are single calls (RemoveObject,
// RenameObject), so that a store without multi-object transactions can
// order its steps so that a failure half-way leaves a consistent tree.
class Conn {
  public:
    explicit Conn(Store* store) : store_(store) {}
    virtual ~Conn() = default;
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    Store* store() const { return store_; }

    virtual int BeginWrite() = 0;
    virtual int Commit() = 0;
    virtual void Rollback() = 0;
    // Inside BeginWrite..Commit: reads must not come from the shared cache,
    // which may lag this connection's own changes.
    virtual bool InTransaction() const = 0;

    // Brings the schema up to date with the store; schema() is then current.
    int LoadSchema();
    const Schema& schema() const { return schema_; }

    // Objects. Folded full paths ("\acme\org") name them; "" is the root.
    virtual int FindPath(const std::string& lpath, int64_t& id) = 0; // NO_SUCH_ENTRY
    virtual int ObjectInfo(int64_t id, ObjInfo& out) = 0;            // NO_SUCH_ENTRY
    // Relative names of the children, in folded order; classFilter (folded,
    // "" for any) keeps those with that "Object Class" value.
    virtual int Children(int64_t parent, const std::string& classFilter,
                         std::vector<std::string>& names) = 0;
    virtual int HasChildren(int64_t id, bool& any) = 0;
    // Display paths of every object strictly below path.
    virtual int SubtreePaths(const std::string& path, std::vector<std::string>& out) = 0;
    // A new object with a fresh id (ids are never reused).
    virtual int InsertObject(int64_t parent, const std::string& rdn, const std::string& path,
                             const std::string& cls, int64_t& id) = 0;
    // New relative name and path of id; every path below follows.
    virtual int RenameObject(int64_t id, const std::string& oldPath, const std::string& rdn,
                             const std::string& newPath) = 0;
    // The object, its values and password, and every value elsewhere naming it.
    virtual int RemoveObject(int64_t id) = 0;

    // Values, in stored order; lattr is a folded attribute name.
    virtual int ReadValues(int64_t obj, const std::string& lattr, std::vector<Value>& out) = 0;
    // Replaces every value of the attribute (none: the attribute goes).
    virtual int WriteValues(int64_t obj, const std::string& lattr,
                            const std::vector<Value>& vals) = 0;
    // Folded names of the attributes that have values, sorted.
    virtual int AttrNames(int64_t obj, std::vector<std::string>& out) = 0;
    // ACL values of obj whose trustee is trustee: (protected attribute, privileges).
    virtual int AclGrants(int64_t obj, int64_t trustee,
                          std::vector<std::pair<std::string, uint32_t>>& out) = 0;
    // Attributes of other objects with values naming obj (name or ACL trustee).
    virtual int ReferencesTo(int64_t obj, std::vector<RefUse>& out) = 0;

    // Schema. Every change of a definition ends with BumpSchema.
    virtual int InsertAttrDef(const std::string& lname, const AttrDef& def) = 0;
    virtual int RemoveAttrDef(const std::string& lname) = 0;
    virtual int InsertClassDef(const std::string& lname, const ClassDef& def) = 0;
    virtual int SetClassOptionals(const std::string& lname,
                                  const std::vector<std::string>& optional) = 0;
    virtual int RemoveClassDef(const std::string& lname) = 0;
    virtual int BumpSchema() = 0;
    // Whether any object holds a value of the attribute / is of the class.
    virtual int AttrInUse(const std::string& lattr, bool& used) = 0;
    virtual int ClassInUse(const std::string& lclass, bool& used) = 0;

    // Passwords: DDCERR_FAILED_AUTHENTICATION when the object has none,
    // DDCERR_DATABASE_FORMAT for a damaged hash.
    virtual int ReadPassword(int64_t obj, PasswordHash& out) = 0;
    virtual int WritePassword(int64_t obj, const PasswordHash& h) = 0;
    virtual int ReadIntruderPolicy(IntruderPolicy& out) = 0;
    // Nothing recorded reads as a state with present = false.
    virtual int ReadIntruder(int64_t obj, IntruderState& out) = 0;
    virtual int WriteIntruder(int64_t obj, const IntruderState& st) = 0;
    virtual int ClearIntruder(int64_t obj) = 0;

  protected:
    virtual int SchemaGeneration(int64_t& gen) = 0;
    virtual int ReadSchema(Schema& out) = 0; // every definition

  private:
    Store* store_;
    Schema schema_;
};

// Per-process cache of name look-ups and values, good while the store's
// change counter stands still.
class ReadCache {
  public:
    bool CachedId(const std::string& lpath, uint64_t gen, int64_t& id);
    void CacheId(const std::string& lpath, uint64_t gen, int64_t id);
    bool CachedValues(const std::string& key, uint64_t gen, std::vector<Value>& out);
    void CacheValues(const std::string& key, uint64_t gen, const std::vector<Value>& vals);

  private:
    bool Current(uint64_t gen); // under mu_: may the cache take gen?
    template <class Map, class Out>
    bool CachedIn(const Map& map, const std::string& key, uint64_t gen, Out& out);
    std::mutex mu_;
    uint64_t gen_ = ~uint64_t{0};
    std::unordered_map<std::string, int64_t> ids_;
    std::unordered_map<std::string, std::vector<Value>> values_;
};

// A directory store, shared by every context of the process that names it.
class Store {
  public:
    virtual ~Store() = default;
    // A connection for one call; DDCERR_NO_REFERRALS while the store
    // cannot be reached, DDCERR_DATABASE_FORMAT when it is not a directory.
    virtual int Acquire(std::unique_ptr<Conn>& out) = 0;
    virtual void release(std::unique_ptr<Conn> c) = 0;
    // Administrator rights without a password for whoever controls the
    // store itself (needWrite: to change it). readOnly: reads only.
    virtual int MaintenanceAccess(bool needWrite, bool& readOnly) = 0;

    // Change counter: a cached read is good while it stands still. Writers
    // move it when they start and after they commit.
    virtual uint64_t Generation() const = 0;
    virtual void Bump() = 0;
    // Whether this process can announce its changes (and so may write);
    // without it nothing is cached either.
    virtual bool CanAnnounce() const = 0;

    bool CachedId(const std::string& lpath, uint64_t gen, int64_t& id) {
        return CanAnnounce() && cache_.CachedId(lpath, gen, id);
    }
    void CacheId(const std::string& lpath, uint64_t gen, int64_t id) {
        if (CanAnnounce()) cache_.CacheId(lpath, gen, id);
    }
    bool CachedValues(const std::string& key, uint64_t gen, std::vector<Value>& out) {
        return CanAnnounce() && cache_.CachedValues(key, gen, out);
    }
    void CacheValues(const std::string& key, uint64_t gen, const std::vector<Value>& vals) {
        if (CanAnnounce()) cache_.CacheValues(key, gen, vals);
    }

  private:
    ReadCache cache_;
};

// The definitions every new store starts with (standard: not removable).
std::vector<AttrDef> StandardAttrs();
std::vector<ClassDef> StandardClasses();

// The last "key=value" line of the configuration file ($ARBOR_CONF, else
// /etc/arbor.conf) for key "key=", or "".
std::string ConfValue(const char* key);

// One Store per locator for the whole process.
std::shared_ptr<Store> StoreFor(const std::string& locator);
// Where a new context's store is (environment, configuration file, default).
std::string DefaultStorePath();
// This process's id without a system call (glibc no longer caches it, and a
// pooled connection checks it on every lease): kept anew in a forked child.
pid_t CurrentPid();
// Creates a new store with the standard schema and the root.
int CreateStore(const std::string& locator);
// Gives the group read access to the store.
int ShareStore(const std::string& locator, gid_t group);
// Removes the store and all it holds.
int RemoveStore(const std::string& locator);

// A pooled connection held for the length of one call.
class ConnLease {
  public:
    explicit ConnLease(std::shared_ptr<Store> s) : store_(std::move(s)) {}
    ~ConnLease() {
        if (conn_) store_->release(std::move(conn_));
    }
    ConnLease(const ConnLease&) = delete;
    ConnLease& operator=(const ConnLease&) = delete;
    int Open() { return store_->Acquire(conn_); }
    Conn& operator*() { return *conn_; }
    Conn* operator->() { return conn_.get(); }

  private:
    std::shared_ptr<Store> store_;
    std::unique_ptr<Conn> conn_;
};

} // namespace pdksa
