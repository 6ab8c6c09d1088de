// What every store shares: the schema as read, values' identity, the read
// cache, and which store a context uses.
#include "store.h"

#include "ascii.h"
#include "pdksa.h"
#include "sqlite_store.h"
#include "text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace pdksa {

namespace {

std::string TrimConfValue(const char* p) {
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

} // namespace

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

std::shared_ptr<Store> StoreFor(const std::string& locator) {
    static std::mutex mu;
    static std::map<std::string, std::shared_ptr<Store>> stores;
    std::lock_guard lock(mu);
    auto& s = stores[locator];
    if (!s) s = std::make_shared<SqliteStore>(locator);
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

int CreateStore(const std::string& locator) {
    return CreateSqliteStore(locator);
}

int ShareStore(const std::string& locator, gid_t group) {
    return ShareSqliteStore(locator, group);
}

} // namespace pdksa
