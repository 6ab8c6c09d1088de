// The store on an LDAP server (OpenLDAP's slapd) through libldap. Layout
// below the base DN:
//   ou=schema      format mark, schema generation
//     ou=attributes / ou=classes   one arborDefinition per product definition
//   ou=meta        highest id given, store options
//   arborId=1      the root object; objects below it in the tree's shape,
//                  each named arborRdn=<folded relative name>
#pragma once

#include "store.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

typedef struct ldap LDAP;

namespace pdksa {

// Where and as whom: from the locator, the environment and the
// configuration file (see LdapSettingsFor).
struct LdapSettings {
    std::vector<std::string> urls; // tried in turn
    std::string base, bindDn, passwordFile;
    std::string RootDn() const { return "arborId=1," + base; }
    std::string SchemaDn() const { return "ou=schema," + base; }
    std::string MetaDn() const { return "ou=meta," + base; }
};

bool IsLdapLocator(const std::string& locator);
// URLs from the locator (separated by spaces); the base from the first URL's
// DN, else ARBOR_DIRECTORY_BASE, else arbor.directory.base=; the bind DN and
// password file from ARBOR_DIRECTORY_BIND_DN / _BIND_PASSWORD_FILE, else the
// configuration file. DDCERR_INVALID_PARAMETER when a URL is malformed.
int LdapSettingsFor(const std::string& locator, LdapSettings& out);

// One bound handle; unbound when it goes, unless another process made it.
class LdapHandle {
  public:
    LdapHandle(LDAP* ld) : ld_(ld), pid_(CurrentPid()) {}
    ~LdapHandle();
    LdapHandle(const LdapHandle&) = delete;
    LdapHandle& operator=(const LdapHandle&) = delete;
    LDAP* get() const { return ld_; }
    bool Inherited() const { return pid_ != CurrentPid(); }
    // The server went away or stopped answering: never reused.
    bool dead = false;

  private:
    LDAP* ld_;
    int pid_;
};

// An object as read from the server, with a call's pending changes.
struct LdapObj {
    std::string dn, csn;
    ObjInfo info;
    std::map<std::string, std::vector<Value>> vals; // by folded attribute
    std::string pw, intruder;                       // encoded; "" none
    bool isNew = false, valsDirty = false, pwDirty = false, intrDirty = false;
};

// Objects and the schema generation as last read, good while the store's
// generation stands: a read checks rights on every ancestor, and each of
// those would otherwise be a round trip. Bounded; emptied when full.
class LdapReadCache {
  public:
    std::shared_ptr<const LdapObj> Find(int64_t id, uint64_t gen);
    void Keep(int64_t id, uint64_t gen, std::shared_ptr<const LdapObj> o);
    bool SchemaGeneration(uint64_t gen, int64_t& out);
    void KeepSchemaGeneration(uint64_t gen, int64_t value);

  private:
    bool Current(uint64_t gen); // under mu_
    static constexpr size_t kMaxObjects = 65536;
    std::mutex mu_;
    uint64_t gen_ = 0;
    std::unordered_map<int64_t, std::shared_ptr<const LdapObj>> objs_;
    int64_t schemaGen_ = -1;
};

class LdapStore final : public Store {
  public:
    explicit LdapStore(LdapSettings s, int settingsRc)
        : settings_(std::move(s)), settingsRc_(settingsRc) {}
    const LdapSettings& settings() const { return settings_; }
    int Acquire(std::unique_ptr<Conn>& out) override;
    void release(std::unique_ptr<Conn> c) override;
    int MaintenanceAccess(bool needWrite, bool& readOnly) override;
    // Follows the suffix's contextCSN, read at most every 250 ms.
    uint64_t Generation() const override;
    void Bump() override;
    bool CanAnnounce() const override { return true; }

    // A new bound handle, trying each URL in turn from the last good one.
    int Connect(std::unique_ptr<LdapHandle>& out) const;
    LdapReadCache& reads() { return reads_; }

  private:
    uint64_t Poll() const; // under pollMu_
    LdapSettings settings_;
    int settingsRc_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Conn>> idle_;
    mutable std::atomic<size_t> urlIndex_{0};
    mutable std::atomic<uint64_t> gen_{1};
    mutable std::mutex pollMu_;
    mutable std::unique_ptr<LdapHandle> pollHandle_;
    mutable std::string csn_;
    mutable std::atomic<std::chrono::steady_clock::rep> polled_{0};
    LdapReadCache reads_;
};

std::unique_ptr<Conn> MakeLdapConn(LdapStore* store, std::unique_ptr<LdapHandle> h);
bool LdapConnDead(Conn& c);
int CreateLdapStore(const std::string& locator);
int RemoveLdapStore(const std::string& locator);

} // namespace pdksa
