// What every store shares: the schema as read, values' identity, the read
// cache, and which store a context uses.
#include "store.h"

#include "ascii.h"
#include "ldap_store.h"
#include "pdksa.h"
#include "sqlite_store.h"
#include "text.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace pdksa {

namespace {

std::string TrimConfValue(const char* p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

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

std::vector<std::string> SplitBars(const char* s) {
    std::vector<std::string> out;
    std::string cur;
    for (; *s; ++s) {
        if (*s != '|') {
            cur.push_back(*s);
        } else if (!cur.empty()) {
            out.push_back(std::move(cur));
            cur.clear();
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

} // namespace

std::vector<AttrDef> StandardAttrs() {
    std::vector<AttrDef> out;
    for (const auto& a : kStdAttrs)
        out.push_back(AttrDef{a.name, a.flags, a.syntax, a.lower, a.upper, true});
    return out;
}

std::vector<ClassDef> StandardClasses() {
    std::vector<ClassDef> out;
    for (const auto& c : kStdClasses)
        out.push_back(ClassDef{c.name, c.flags, c.super, SplitBars(c.contain), SplitBars(c.naming),
                               SplitBars(c.mandatory), SplitBars(c.optional), true});
    return out;
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

std::string Value::Key() const {
    if (syntax == DDC_SYN_DIST_NAME) return "#" + std::to_string(ref);
    if (syntax == DDC_SYN_ACL) return std::to_string(priv) + "#" + lv + "#" + std::to_string(ref);
    return lv;
}

int Conn::LoadSchema() {
    int64_t gen;
    if (int rc = SchemaGeneration(gen)) return rc;
    if (gen == schema_.generation) return 0;
    Schema s;
    s.generation = gen;
    if (int rc = ReadSchema(s)) return rc;
    schema_ = std::move(s);
    return 0;
}

// A cached entry is good only while the generation it was read in stands.
template <class Map, class Out>
bool ReadCache::CachedIn(const Map& map, const std::string& key, uint64_t gen, Out& out) {
    std::lock_guard lock(mu_);
    if (gen != gen_) return false;
    auto it = map.find(key);
    if (it == map.end()) return false;
    out = it->second;
    return true;
}

bool ReadCache::Current(uint64_t gen) {
    if (gen != gen_) {
        // Only a newer generation replaces the cache; a slow reader with an
        // older one must not bring back what a writer has since changed.
        if (gen < gen_ && gen_ != ~uint64_t{0}) return false;
        ids_.clear();
        values_.clear();
        gen_ = gen;
    }
    if (ids_.size() + values_.size() >= 200000) {
        ids_.clear();
        values_.clear();
    }
    return true;
}

bool ReadCache::CachedId(const std::string& lpath, uint64_t gen, int64_t& id) {
    return CachedIn(ids_, lpath, gen, id);
}

void ReadCache::CacheId(const std::string& lpath, uint64_t gen, int64_t id) {
    std::lock_guard lock(mu_);
    if (Current(gen)) ids_[lpath] = id;
}

bool ReadCache::CachedValues(const std::string& key, uint64_t gen, std::vector<Value>& out) {
    return CachedIn(values_, key, gen, out);
}

void ReadCache::CacheValues(const std::string& key, uint64_t gen, const std::vector<Value>& vals) {
    std::lock_guard lock(mu_);
    if (Current(gen)) values_[key] = vals;
}

std::string ConfValue(const char* key) {
    const char* conf = std::getenv("ARBOR_CONF");
    if (!conf || !*conf) conf = "/etc/arbor.conf";
    std::string found;
    if (FILE* f = std::fopen(conf, "r")) {
        char line[1024];
        const size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f)) {
            line[std::strcspn(line, "\n")] = 0;
            if (char* cr = std::strrchr(line, '\r')) *cr = 0;
            if (arbor::StartsWithNoCase(line, key)) found = TrimConfValue(line + n);
        }
        std::fclose(f);
    }
    return found;
}

namespace {
std::atomic<pid_t> gPid{0};
void KeepPid() {
    gPid.store(::getpid(), std::memory_order_relaxed);
}
} // namespace

pid_t CurrentPid() {
    static const bool registered = [] {
        KeepPid();
        return ::pthread_atfork(nullptr, nullptr, KeepPid) == 0;
    }();
    return registered ? gPid.load(std::memory_order_relaxed) : ::getpid();
}

namespace {

struct Registry {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<Store>> stores;
};
Registry& Stores() {
    static Registry r;
    return r;
}

} // namespace

std::shared_ptr<Store> StoreFor(const std::string& locator) {
    Registry& r = Stores();
    std::lock_guard lock(r.mu);
    if (!IsLdapLocator(locator)) {
        auto& s = r.stores[locator];
        if (!s) s = std::make_shared<SqliteStore>(locator);
        return s;
    }
    // The same URL with other credentials or another base is another store.
    LdapSettings settings;
    const int rc = LdapSettingsFor(locator, settings);
    auto& s = r.stores["\n" + locator + "\n" + settings.base + "\n" + settings.bindDn + "\n" +
                       settings.passwordFile];
    if (!s) s = std::make_shared<LdapStore>(std::move(settings), rc);
    return s;
}

// ARBOR_DIRECTORY_URL, ARBOR_DIRECTORY (a SQLite file), then the
// configuration file's arbor.directory.url= and arbor.directory.store=.
std::string DefaultStorePath() {
    if (const char* env = std::getenv("ARBOR_DIRECTORY_URL"); env && *env) return env;
    if (const char* env = std::getenv("ARBOR_DIRECTORY"); env && *env) return env;
    if (std::string url = ConfValue("arbor.directory.url="); !url.empty()) return url;
    if (std::string path = ConfValue("arbor.directory.store="); !path.empty()) return path;
    return "/var/lib/arbor/directory.db";
}

int CreateStore(const std::string& locator) {
    return IsLdapLocator(locator) ? CreateLdapStore(locator) : CreateSqliteStore(locator);
}

int RemoveStore(const std::string& locator) {
    if (IsLdapLocator(locator)) return RemoveLdapStore(locator);
    // Pooled connections would go on writing to the removed file: contexts
    // made from now on get a new store object (and a store made again).
    {
        Registry& r = Stores();
        std::lock_guard lock(r.mu);
        r.stores.erase(locator);
    }
    return RemoveSqliteStore(locator);
}

// On LDAP the server's own access control decides who reads: nothing to do.
int ShareStore(const std::string& locator, gid_t group) {
    return IsLdapLocator(locator) ? 0 : ShareSqliteStore(locator, group);
}

} // namespace pdksa
