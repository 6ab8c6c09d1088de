// Contexts, strings in the two forms, names, login and passwords.
#include "internal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <shared_mutex>

namespace pdksa {

namespace {

std::shared_mutex gMu;
std::unordered_map<DDCContextHandle, std::shared_ptr<Ctx>> gCtx;
DDCContextHandle gNext = 1;

// New hashes follow current guidance for PBKDF2-HMAC-SHA256. Every hash
// keeps its own count, so older ones still verify and are redone with this
// count at their next successful check. ARBOR_PW_ITERATIONS lowers it for
// test suites that make many passwords (never below kMinIterations).
constexpr int64_t kIterations = 600000;
constexpr int64_t kMinIterations = 1000, kMaxIterations = 10000000;
constexpr size_t kSaltLen = 16, kHashLen = 32;

// Login intruder detection, overridable per store in meta: this many failed
// checks within the reset interval lock the object's password checks for the
// lock-out time (0 attempts: no detection).
constexpr int64_t kIntruderAttempts = 7;
constexpr int64_t kIntruderResetSeconds = 30 * 60;
constexpr int64_t kIntruderLockoutSeconds = 15 * 60;
constexpr size_t kMaxPassword = 1024;

} // namespace

std::shared_ptr<Ctx> findCtx(DDCContextHandle h) {
    std::shared_lock lock(gMu);
    auto it = gCtx.find(h);
    return it == gCtx.end() ? nullptr : it->second;
}

DDCContextHandle addCtx(std::shared_ptr<Ctx> c) {
    std::unique_lock lock(gMu);
    DDCContextHandle h;
    do {
        h = gNext++;
        if (gNext == 0 || gNext > 0x7FFFFFFF) gNext = 1;
    } while (gCtx.count(h));
    gCtx.emplace(h, std::move(c));
    return h;
}

bool removeCtx(DDCContextHandle h) {
    std::unique_lock lock(gMu);
    return gCtx.erase(h) != 0;
}

int inStr(const Ctx& c, const void* p, std::string& out, size_t maxUnits, int tooLong) {
    return inStrN(c, p, 0, out, maxUnits, tooLong);
}

int inStrN(const Ctx& c, const void* p, uint32_t length, std::string& out, size_t maxUnits,
           int tooLong) {
    out.clear();
    if (!p) return DDCERR_INVALID_PARAMETER;
    if (c.unicode()) {
        const auto* u = static_cast<const uint16_t*>(p);
        size_t n = 0;
        // A stated length never lets the scan run past the bound.
        const size_t limit = length ? std::min<size_t>(length, maxUnits + 1) : maxUnits + 1;
        while (n < limit && u[n] != 0)
            ++n;
        if (n > maxUnits) return tooLong;
        if (!utf16ToUtf8(u, n, out)) return DDCERR_NO_CHARACTER_MAPPING;
        return 0;
    }
    const auto* b = static_cast<const char*>(p);
    const size_t maxBytes = maxUnits * 3;
    const size_t limit = length ? std::min<size_t>(length, maxBytes + 1) : maxBytes + 1;
    size_t n = 0;
    while (n < limit && b[n] != 0)
        ++n;
    if (n > maxBytes) return tooLong;
    out.assign(b, n);
    if (!validUtf8(out)) return DDCERR_NO_CHARACTER_MAPPING;
    if (utf16Length(out) > maxUnits) return tooLong;
    return 0;
}

size_t outUnits(const Ctx& c, std::string_view s) {
    return c.unicode() ? utf16Length(s) : s.size();
}

size_t outSize(const Ctx& c, std::string_view s) {
    return c.unicode() ? 2 * (utf16Length(s) + 1) : s.size() + 1;
}

void outWrite(const Ctx& c, std::string_view s, unsigned char* dst) {
    if (c.unicode()) {
        std::u16string u;
        utf8ToUtf16(s, u);
        u.push_back(0);
        std::memcpy(dst, u.data(), u.size() * 2);
    } else {
        std::memcpy(dst, s.data(), s.size());
        dst[s.size()] = 0;
    }
}

std::vector<std::string> absolute(const Ctx& c, const ParsedName& n) {
    std::vector<std::string> out;
    switch (n.kind) {
    case ParsedName::Full:
        return n.components;
    case ParsedName::Self:
        return c.base;
    case ParsedName::Relative:
        out = c.base;
        break;
    case ParsedName::Dotted:
        if (!c.base.empty()) out.push_back(c.base[0]);
        break;
    }
    out.insert(out.end(), n.components.begin(), n.components.end());
    return out;
}

int lookup(Conn& conn, const std::vector<std::string>& comps, int64_t& id) {
    if (comps.size() > DDC_MAX_DN_CHARS / 2) return DDCERR_ILLEGAL_DS_NAME;
    const std::string lpath = fold(joinPath(comps));
    Store* store = conn.store();
    // Inside a write transaction the cache may lag this connection's own
    // changes, so only plain reads use it.
    const bool cache = store && sqlite3_get_autocommit(conn.db());
    const uint64_t gen = cache ? store->generation() : 0;
    if (cache && store->CachedId(lpath, gen, id)) return 0;
    Stmt q(conn, "SELECT id FROM obj WHERE lpath=?");
    q.bind(1, lpath);
    int rc = q.step();
    if (rc == SQLITE_ROW) {
        id = q.i64(0);
        if (cache) store->cacheId(lpath, gen, id);
        return 0;
    }
    return rc == SQLITE_DONE ? DDCERR_NO_SUCH_ENTRY : mapSqlite(rc);
}

int resolveText(Ctx& c, Conn& conn, const std::string& name, int64_t& id) {
    ParsedName pn;
    if (int rc = parseName(name, nullptr, pn)) return rc;
    auto comps = absolute(c, pn);
    if (utf16Length(joinPath(comps)) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    return lookup(conn, comps, id);
}

int ParseNameIn(const Ctx& c, const void* name, ParsedName& out) {
    std::string s;
    if (int rc = inStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
    return parseName(s, nullptr, out);
}

int resolveIn(Ctx& c, Conn& conn, const void* name, int64_t& id) {
    std::string s;
    if (int rc = inStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
    return resolveText(c, conn, s, id);
}

std::string outName(const Ctx& c, const std::string& path) {
    if (c.base.empty()) return path.empty() ? "\\" : path;
    auto comps = splitPath(path);
    if (comps.size() > c.base.size()) {
        bool under = true;
        for (size_t i = 0; i < c.base.size() && under; ++i)
            under = fold(comps[i]) == fold(c.base[i]);
        if (under) {
            std::string rel;
            for (size_t i = c.base.size(); i < comps.size(); ++i) {
                if (!rel.empty()) rel.push_back('\\');
                rel += comps[i];
            }
            return rel;
        }
    }
    return path.empty() ? "\\" : path;
}

int objInfo(Conn& conn, int64_t id, ObjInfo& out) {
    Stmt q(conn, "SELECT parent, name, path, class FROM obj WHERE id=?");
    q.bind(1, id);
    int rc = q.step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? DDCERR_NO_SUCH_ENTRY : mapSqlite(rc);
    out.id = id;
    out.parent = q.i64(0);
    out.name = q.text(1);
    out.path = q.text(2);
    out.cls = q.text(3);
    return 0;
}

int objClasses(Conn& conn, int64_t id, std::vector<std::string>& out) {
    out.clear();
    if (id == kRootId) {
        out.push_back("[root]");
        return 0;
    }
    Stmt q(conn, "SELECT lv FROM val WHERE obj=? AND attr='object class' ORDER BY seq");
    q.bind(1, id);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
        out.push_back(q.text(0));
    return rc == SQLITE_DONE ? 0 : mapSqlite(rc);
}

bool Rights::canWrite(const std::string& lattr) const {
    if (all) return true;
    uint32_t r = attrAll;
    if (auto it = attr.find(lattr); it != attr.end()) r |= it->second;
    return (r & (DDC_ATTR_WRITE | DDC_ATTR_SUPERVISOR)) != 0;
}

int sessionCheck(const Ctx& c, Conn& conn) {
    if (c.maintenance || c.identity == 0) return 0;
    Stmt q(conn, "SELECT 1 FROM obj WHERE id=?");
    q.bind(1, c.identity);
    int rc = q.step();
    if (rc == SQLITE_ROW) return 0;
    return rc == SQLITE_DONE ? DDCERR_NOT_LOGGED_IN : mapSqlite(rc);
}

int rightsOn(const Ctx& c, Conn& conn, int64_t obj, Rights& r) {
    r = Rights{};
    if (c.maintenance) {
        r.all = !c.readOnly;
        return 0;
    }
    if (c.identity == 0) return 0;
    if (int rc = sessionCheck(c, conn)) return rc;
    static const std::string kEntry = fold(DDC_ACL_ENTRY_RIGHTS);
    static const std::string kAll = fold(DDC_ACL_ALL_ATTRIBUTES);
    // ACL values on the object and every ancestor grant to the trustee.
    for (int64_t id = obj; id != 0;) {
        {
            Stmt q(conn, "SELECT lv, priv FROM val WHERE obj=? AND attr='acl' AND ref=?");
            q.bind(1, id).bind(2, c.identity);
            int rc;
            while ((rc = q.step()) == SQLITE_ROW) {
                const std::string lv = q.text(0);
                const auto priv = static_cast<uint32_t>(q.i64(1));
                if (lv == kEntry)
                    r.entry |= priv;
                else if (lv == kAll)
                    r.attrAll |= priv;
                else
                    r.attr[lv] |= priv;
            }
            if (rc != SQLITE_DONE) return mapSqlite(rc);
        }
        Stmt p(conn, "SELECT parent FROM obj WHERE id=?");
        p.bind(1, id);
        int rc = p.step();
        if (rc != SQLITE_ROW) {
            if (rc == SQLITE_DONE) break;
            return mapSqlite(rc);
        }
        id = p.i64(0);
    }
    if (r.entry & DDC_ENTRY_SUPERVISOR) r.all = true;
    return 0;
}

int isTreeAdmin(const Ctx& c, Conn& conn, bool& admin) {
    admin = c.maintenance && !c.readOnly;
    if (c.maintenance || c.identity == 0) return 0;
    ObjInfo me;
    if (int rc = objInfo(conn, c.identity, me))
        return rc == DDCERR_NO_SUCH_ENTRY ? DDCERR_NOT_LOGGED_IN : rc;
    auto comps = splitPath(me.path);
    if (comps.empty()) return 0;
    int64_t tree;
    if (int rc = lookup(conn, {comps[0]}, tree)) return rc;
    Rights r;
    if (int rc = rightsOn(c, conn, tree, r)) return rc;
    admin = r.all;
    return 0;
}

namespace {

int passwordIn(const Ctx& c, const void* p, std::string& out) {
    return inStr(c, p, out, kMaxPassword, DDCERR_INVALID_PARAMETER);
}

int64_t targetIterations() {
    const char* env = std::getenv("ARBOR_PW_ITERATIONS");
    if (!env || !*env) return kIterations;
    char* end = nullptr;
    const long long n = std::strtoll(env, &end, 10);
    if (*end != 0) return kIterations;
    return std::clamp<int64_t>(n, kMinIterations, kMaxIterations);
}

bool derive(const std::string& pw, const unsigned char* salt, int64_t iter, unsigned char* out) {
    return PKCS5_PBKDF2_HMAC(pw.data(), static_cast<int>(pw.size()), salt,
                             static_cast<int>(kSaltLen), static_cast<int>(iter), EVP_sha256(),
                             static_cast<int>(kHashLen), out) == 1;
}

struct StoredHash {
    unsigned char salt[kSaltLen], hash[kHashLen];
    int64_t iter = 0;
};

// The object's stored hash: 0, DDCERR_FAILED_AUTHENTICATION when it has none.
int loadHash(Conn& conn, int64_t obj, StoredHash& h) {
    Stmt q(conn, "SELECT salt, hash, iter FROM pw WHERE obj=?");
    q.bind(1, obj);
    int rc = q.step();
    if (rc == SQLITE_DONE) return DDCERR_FAILED_AUTHENTICATION;
    if (rc != SQLITE_ROW) return mapSqlite(rc);
    if (q.bytes(0) != static_cast<int>(kSaltLen) || q.bytes(1) != static_cast<int>(kHashLen))
        return DDCERR_DATABASE_FORMAT;
    std::memcpy(h.salt, q.blob(0), kSaltLen);
    std::memcpy(h.hash, q.blob(1), kHashLen);
    h.iter = q.i64(2);
    if (h.iter < 1 || h.iter > kMaxIterations) return DDCERR_DATABASE_FORMAT;
    return 0;
}

int storePassword(Conn& conn, int64_t obj, const std::string& pw) {
    unsigned char salt[kSaltLen], hash[kHashLen];
    const int64_t iter = targetIterations();
    if (RAND_bytes(salt, sizeof salt) != 1 || !derive(pw, salt, iter, hash))
        return DDCERR_SYSTEM_FAILURE;
    Stmt q(conn, "INSERT OR REPLACE INTO pw(obj, salt, hash, iter) VALUES(?,?,?,?)");
    q.bind(1, obj).bindBlob(2, salt, sizeof salt).bindBlob(3, hash, sizeof hash);
    q.bind(4, iter);
    int rc = q.step();
    return rc == SQLITE_DONE ? 0 : mapSqlite(rc);
}

struct IntruderPolicy {
    int64_t attempts = kIntruderAttempts, reset = kIntruderResetSeconds,
            lockout = kIntruderLockoutSeconds;
};

IntruderPolicy intruderPolicy(Conn& conn) {
    IntruderPolicy p;
    Stmt q(conn, "SELECT key, value FROM meta WHERE key IN "
                 "('intruder_attempts', 'intruder_reset_seconds', 'intruder_lockout_seconds')");
    while (q.step() == SQLITE_ROW) {
        const std::string k = q.text(0);
        const int64_t v = std::max<int64_t>(0, q.i64(1));
        if (k == "intruder_attempts")
            p.attempts = v;
        else if (k == "intruder_reset_seconds")
            p.reset = v;
        else
            p.lockout = v;
    }
    return p;
}

// Stores made before intruder detection lack its table.
int intruderTable(Conn& conn) {
    return mapSqlite(conn.exec(kIntruderTableSql));
}

struct IntruderState {
    int64_t attempts = 0, first = 0, lockedUntil = 0;
    bool present = false;
};

IntruderState intruderState(Conn& conn, int64_t obj) {
    IntruderState st;
    Stmt q(conn, "SELECT attempts, first, locked_until FROM intruder WHERE obj=?");
    if (q.ok() != SQLITE_OK) return st; // no table yet: nothing recorded
    q.bind(1, obj);
    if (q.step() == SQLITE_ROW) {
        st = IntruderState{q.i64(0), q.i64(1), q.i64(2), true};
    }
    return st;
}

// The object's "Login Intruder Attempts" shows the count, where its classes
// allow the attribute.
int showAttempts(Conn& conn, int64_t obj, int64_t attempts) {
    if (int rc = conn.loadSchema()) return rc;
    std::vector<std::string> classes;
    if (int rc = objClasses(conn, obj, classes)) return rc;
    static const std::string kAttr = "login intruder attempts";
    bool allowed = false;
    for (const auto& cl : classes) {
        const ClassDef* cd = conn.schema().cls(cl);
        if (!cd) continue;
        for (const auto* list : {&cd->optional, &cd->mandatory})
            for (const auto& a : *list)
                allowed = allowed || fold(a) == kAttr;
    }
    if (!allowed) return 0;
    {
        Stmt d(conn, "DELETE FROM val WHERE obj=? AND attr=?");
        d.bind(1, obj).bind(2, kAttr);
        if (int rc = d.step(); rc != SQLITE_DONE) return mapSqlite(rc);
    }
    if (attempts <= 0) return 0;
    Stmt q(conn, "INSERT INTO val(obj, attr, seq, syntax, v, lv, ref, priv) "
                 "VALUES(?, ?, 0, ?, ?, ?, NULL, 0)");
    const std::string v = std::to_string(attempts);
    q.bind(1, obj).bind(2, kAttr).bind(3, int64_t{DDC_SYN_INTEGER}).bind(4, v).bind(5, v);
    int rc = q.step();
    return rc == SQLITE_DONE ? 0 : mapSqlite(rc);
}

int clearIntruder(Conn& conn, int64_t obj) {
    if (int rc = intruderTable(conn)) return rc;
    Stmt d(conn, "DELETE FROM intruder WHERE obj=?");
    d.bind(1, obj);
    if (int rc = d.step(); rc != SQLITE_DONE) return mapSqlite(rc);
    return showAttempts(conn, obj, 0);
}

// Records a failed check; a process that may not write the store records
// nothing (it can read every hash anyway).
void recordFailure(Conn& conn, int64_t obj) {
    if (conn.beginWrite() != 0) return;
    const IntruderPolicy p = intruderPolicy(conn);
    if (p.attempts == 0 || intruderTable(conn) != 0) return;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    IntruderState st = intruderState(conn, obj);
    if (!st.present || now - st.first >= p.reset) st = IntruderState{0, now, st.lockedUntil, true};
    ++st.attempts;
    if (st.attempts >= p.attempts) {
        st.lockedUntil = now + p.lockout;
        st.attempts = 0; // a new count starts after the lock-out
        st.first = now;
    }
    Stmt q(conn, "INSERT OR REPLACE INTO intruder(obj, attempts, first, locked_until) "
                 "VALUES(?,?,?,?)");
    q.bind(1, obj).bind(2, st.attempts).bind(3, st.first).bind(4, st.lockedUntil);
    if (q.step() != SQLITE_DONE) return;
    if (showAttempts(conn, obj, st.lockedUntil > now ? p.attempts : st.attempts) != 0) return;
    conn.commit();
}

// After a successful check: the count starts over and an old hash is redone
// with the current iteration count, unless the password changed meanwhile.
void afterSuccess(Conn& conn, int64_t obj, const std::string& pw, const StoredHash& h,
                  const IntruderState& st) {
    const bool upgrade = h.iter < targetIterations();
    if (!upgrade && !st.present) return;
    if (conn.beginWrite() != 0) return;
    if (upgrade) {
        StoredHash now;
        if (loadHash(conn, obj, now) != 0 || std::memcmp(now.hash, h.hash, kHashLen) != 0 ||
            storePassword(conn, obj, pw) != 0)
            return;
    }
    if (st.present && clearIntruder(conn, obj) != 0) return;
    conn.commit();
}

// Checks a password of obj with intruder detection: 0, or
// DDCERR_FAILED_AUTHENTICATION on a wrong password, when none is set, and
// while the object is locked out. Runs outside any transaction. checked
// receives the hash that matched.
int checkPassword(Conn& conn, int64_t obj, const std::string& pw, StoredHash* checked = nullptr) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const IntruderState st = intruderState(conn, obj);
    // Locked: not even a right password is taken, and no hash is computed.
    if (st.lockedUntil > now) return DDCERR_FAILED_AUTHENTICATION;
    StoredHash h;
    if (int rc = loadHash(conn, obj, h)) return rc;
    unsigned char got[kHashLen];
    if (!derive(pw, h.salt, h.iter, got)) return DDCERR_SYSTEM_FAILURE;
    if (CRYPTO_memcmp(h.hash, got, kHashLen) != 0) {
        recordFailure(conn, obj);
        conn.rollback();
        return DDCERR_FAILED_AUTHENTICATION;
    }
    afterSuccess(conn, obj, pw, h, st);
    conn.rollback();
    if (checked) *checked = h;
    return 0;
}

int needCurrent(const Ctx& c) {
    return c.current ? 0 : DDCERR_NO_SUCH_ENTRY;
}

// Checks a password, given in the context's form, of the current object.
int CheckCurrentPassword(const Ctx& c, const void* password) {
    if (int rc = needCurrent(c)) return rc;
    std::string pw;
    if (int rc = passwordIn(c, password, pw)) return rc;
    ConnLease l(c.store);
    if (int rc = l.open()) return rc;
    return checkPassword(*l, c.current, pw);
}

// Administrator rights from access to the store file (need: W_OK or R_OK);
// without write access they only read.
int LoginMaintenance(DDCContextHandle ctx, int need) {
    return withCtx(ctx, [&](Ctx& c) {
        const char* path = c.store->path().c_str();
        if (::access(path, need) != 0)
            return ::access(path, F_OK) != 0 ? DDCERR_NO_REFERRALS : DDCERR_NO_ACCESS;
        ConnLease l(c.store);
        if (int rc = l.open()) return rc;
        c.identity = 0;
        c.maintenance = true;
        c.readOnly = ::access(path, W_OK) != 0;
        return 0;
    });
}

} // namespace

} // namespace pdksa

using namespace pdksa;

extern "C" {

uint16_t DDCDotDelims[9] = {1, 1, '.', '.', '+', '=', '*', '\\', 0};
uint16_t DDCSlashDelims[9] = {0, 1, '.', '\\', '+', '=', '*', '\'', 0};

int DDSInit(int) {
    return 0;
}

int DDCCreateContext(int, DDCContextHandle* out) {
    if (!out) return DDCERR_INVALID_PARAMETER;
    try {
        auto c = std::make_shared<Ctx>();
        c->store = storeFor(defaultStorePath());
        *out = addCtx(std::move(c));
        return 0;
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
}

int DDCDuplicateContext(DDCContextHandle source, DDCContextHandle* out) {
    if (!out) return DDCERR_INVALID_PARAMETER;
    std::shared_ptr<Ctx> copy;
    int rc = withCtx(source, [&](Ctx& s) {
        if (s.identity != 0) {
            // A copy of a session whose object is gone would carry no rights.
            ConnLease l(s.store);
            if (l.open() == 0)
                if (int rc = sessionCheck(s, *l)) return rc;
        }
        copy = std::make_shared<Ctx>();
        copy->store = s.store;
        copy->flags = s.flags;
        copy->base = s.base;
        copy->current = s.current;
        copy->identity = s.identity;
        copy->maintenance = s.maintenance;
        copy->readOnly = s.readOnly;
        copy->codepage = s.codepage;
        copy->country = s.country;
        return 0;
    });
    if (rc) return rc;
    try {
        *out = addCtx(std::move(copy));
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

int DDCFreeContext(DDCContextHandle ctx) {
    return removeCtx(ctx) ? 0 : DDCERR_INVALID_CONTEXT;
}

int DDCSetContextFlags(DDCContextHandle ctx, uint32_t set, uint32_t clear) {
    return withCtx(ctx, [&](Ctx& c) {
        c.flags = (c.flags | set) & ~clear;
        c.resetIter();
        return 0;
    });
}

int DDCSetContextLocale(DDCContextHandle ctx, int codepage, int country, const char*,
                        const DDCUnicode*) {
    return withCtx(ctx, [&](Ctx& c) {
        c.codepage = codepage;
        c.country = country;
        return 0;
    });
}

int DDCSetContextBaseDN(DDCContextHandle ctx, const void* name, const DDCUnicode* delims) {
    return withCtx(ctx, [&](Ctx& c) {
        std::string s;
        NameForm form;
        if (delims) {
            if (!formFromTable(delims, form)) return DDCERR_INVALID_PARAMETER;
            if (name) {
                Ctx bytes; // a table means a byte string
                if (int rc = inStr(bytes, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME))
                    return rc;
            }
        } else if (name) {
            if (int rc = inStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
        }
        std::vector<std::string> base;
        if (!s.empty() && s != "\\") {
            ParsedName pn;
            if (int rc = parseName(s, delims ? &form : nullptr, pn)) return rc;
            if (pn.kind == ParsedName::Self) return 0;
            if (pn.kind == ParsedName::Dotted) {
                base = absolute(c, pn);
            } else {
                base = pn.components; // a base is always taken from the root
            }
        }
        c.base = std::move(base);
        c.resetIter();
        return 0;
    });
}

int DDCGetContextBaseDN(DDCContextHandle ctx, void* buf, size_t size) {
    if (!buf) return DDCERR_INVALID_PARAMETER;
    return withCtx(ctx, [&](Ctx& c) {
        const std::string full = c.base.empty() ? "\\" : joinPath(c.base);
        const size_t cap = size ? size : DDC_MAX_DN_BYTES;
        if (outSize(c, full) > cap) return DDCERR_INSUFFICIENT_BUFFER;
        outWrite(c, full, static_cast<unsigned char*>(buf));
        return 0;
    });
}

int DDCConnectToServerByName(DDCContextHandle ctx, const void* server) {
    return withCtx(ctx, [&](Ctx& c) {
        ConnLease l(c.store);
        if (int rc = l.open()) return rc;
        int64_t id;
        return resolveIn(c, *l, server, id);
    });
}

int DDCResolveName(DDCContextHandle ctx, uint32_t, const void* name) {
    return withCtx(ctx, [&](Ctx& c) {
        c.resetIter();
        ParsedName pn;
        if (int rc = ParseNameIn(c, name, pn)) return rc;
        auto comps = absolute(c, pn);
        if (utf16Length(joinPath(comps)) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
        ConnLease l(c.store);
        if (int rc = l.open()) return rc;
        int64_t id;
        if (int rc = lookup(*l, comps, id)) return rc;
        c.current = id;
        return 0;
    });
}

int DDCLogin(DDCContextHandle ctx, const void* password) {
    return withCtx(ctx, [&](Ctx& c) {
        if (int rc = CheckCurrentPassword(c, password)) return rc;
        c.identity = c.current;
        c.maintenance = false;
        c.readOnly = false;
        return 0;
    });
}

int DDCAuthenticateConnection(DDCContextHandle ctx) {
    return withCtx(ctx, [&](Ctx& c) {
        if (!c.loggedIn()) return DDCERR_NOT_LOGGED_IN;
        ConnLease l(c.store);
        // An unreachable store says nothing about the login: keep it.
        if (l.open() != 0) return 0;
        return sessionCheck(c, *l);
    });
}

int DDCLogout(DDCContextHandle ctx) {
    return withCtx(ctx, [&](Ctx& c) {
        c.identity = 0;
        c.maintenance = false;
        c.readOnly = false;
        return 0;
    });
}

int DDCVerifyPassword(DDCContextHandle ctx, const void* password) {
    return withCtx(ctx, [&](const Ctx& c) { return CheckCurrentPassword(c, password); });
}

int DDCChangePassword(DDCContextHandle ctx, const void* oldPassword, const void* newPassword) {
    return withCtx(ctx, [&](Ctx& c) {
        if (int rc = needCurrent(c)) return rc;
        if (!c.loggedIn()) return DDCERR_NO_ACCESS;
        std::string oldPw, newPw;
        if (int rc = passwordIn(c, oldPassword, oldPw)) return rc;
        if (int rc = passwordIn(c, newPassword, newPw)) return rc;
        ConnLease l(c.store);
        if (int rc = l.open()) return rc;
        if (int rc = sessionCheck(c, *l)) return rc;
        StoredHash checked;
        if (int rc = checkPassword(*l, c.current, oldPw, &checked)) return rc;
        if (int rc = l->beginWrite()) return rc;
        // The password that was checked must still be the one stored.
        StoredHash now;
        if (int rc = loadHash(*l, c.current, now)) return rc;
        if (std::memcmp(now.salt, checked.salt, kSaltLen) != 0 ||
            std::memcmp(now.hash, checked.hash, kHashLen) != 0)
            return DDCERR_FAILED_AUTHENTICATION;
        if (int rc = storePassword(*l, c.current, newPw)) return rc;
        return l->commit();
    });
}

int DDCGenerateKeyPair(DDCContextHandle ctx, const void* password) {
    return withCtx(ctx, [&](Ctx& c) {
        if (int rc = needCurrent(c)) return rc;
        std::string pw;
        if (int rc = passwordIn(c, password, pw)) return rc;
        ConnLease l(c.store);
        if (int rc = l.open()) return rc;
        if (int rc = l->beginWrite()) return rc;
        Rights r;
        if (int rc = rightsOn(c, *l, c.current, r)) return rc;
        if (!r.all && !((r.attrAll & (DDC_ATTR_WRITE | DDC_ATTR_SUPERVISOR))))
            return DDCERR_NO_ACCESS;
        if (int rc = storePassword(*l, c.current, pw)) return rc;
        // An administrator's reset also ends a lock-out.
        if (int rc = clearIntruder(*l, c.current)) return rc;
        return l->commit();
    });
}

int PDKLoginMaintenance(DDCContextHandle ctx) {
    // The real user must be able to write the file itself: then the
    // directory's rights protect nothing from this process anyway.
    return LoginMaintenance(ctx, W_OK);
}

int PDKLoginMaintenanceRead(DDCContextHandle ctx) {
    // Whoever may read the file reads every value in it anyway.
    return LoginMaintenance(ctx, R_OK);
}

int PDKShareStore(const char* path, uint32_t group) {
    if (!path || !*path) return DDCERR_INVALID_PARAMETER;
    return shareStore(path, static_cast<gid_t>(group));
}

int PDKGetStorePath(char* buf, size_t size) {
    if (!buf) return DDCERR_INVALID_PARAMETER;
    const std::string p = defaultStorePath();
    if (p.size() + 1 > size) return DDCERR_INSUFFICIENT_BUFFER;
    std::memcpy(buf, p.c_str(), p.size() + 1);
    return 0;
}

int PDKCreateStore(const char* path) {
    if (!path || !*path) return DDCERR_INVALID_PARAMETER;
    try {
        return createStore(path);
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
}

} // extern "C"
