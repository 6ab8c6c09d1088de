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
constexpr size_t kSaltLen = PasswordHash::kSaltLen, kHashLen = PasswordHash::kHashLen;
constexpr size_t kMaxPassword = 1024;

} // namespace

std::shared_ptr<Ctx> FindCtx(DDCContextHandle h) {
    std::shared_lock lock(gMu);
    auto it = gCtx.find(h);
    return it == gCtx.end() ? nullptr : it->second;
}

DDCContextHandle AddCtx(std::shared_ptr<Ctx> c) {
    std::unique_lock lock(gMu);
    DDCContextHandle h;
    do {
        h = gNext++;
        if (gNext == 0 || gNext > 0x7FFFFFFF) gNext = 1;
    } while (gCtx.count(h));
    gCtx.emplace(h, std::move(c));
    return h;
}

bool RemoveCtx(DDCContextHandle h) {
    std::unique_lock lock(gMu);
    return gCtx.erase(h) != 0;
}

int InStr(const Ctx& c, const void* p, std::string& out, size_t maxUnits, int tooLong) {
    return InStrN(c, p, 0, out, maxUnits, tooLong);
}

int InStrN(const Ctx& c, const void* p, uint32_t length, std::string& out, size_t maxUnits,
           int tooLong) {
    out.clear();
    if (!p) return DDCERR_INVALID_PARAMETER;
    if (c.Unicode()) {
        const auto* u = static_cast<const uint16_t*>(p);
        size_t n = 0;
        // A stated length never lets the scan run past the bound.
        const size_t limit = length ? std::min<size_t>(length, maxUnits + 1) : maxUnits + 1;
        while (n < limit && u[n] != 0)
            ++n;
        if (n > maxUnits) return tooLong;
        if (!Utf16ToUtf8(u, n, out)) return DDCERR_NO_CHARACTER_MAPPING;
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
    if (!ValidUtf8(out)) return DDCERR_NO_CHARACTER_MAPPING;
    if (Utf16Length(out) > maxUnits) return tooLong;
    return 0;
}

size_t OutUnits(const Ctx& c, std::string_view s) {
    return c.Unicode() ? Utf16Length(s) : s.size();
}

size_t OutSize(const Ctx& c, std::string_view s) {
    return c.Unicode() ? 2 * (Utf16Length(s) + 1) : s.size() + 1;
}

void OutWrite(const Ctx& c, std::string_view s, unsigned char* dst) {
    if (c.Unicode()) {
        std::u16string u;
        Utf8ToUtf16(s, u);
        u.push_back(0);
        std::memcpy(dst, u.data(), u.size() * 2);
    } else {
        std::memcpy(dst, s.data(), s.size());
        dst[s.size()] = 0;
    }
}

std::vector<std::string> Absolute(const Ctx& c, const ParsedName& n) {
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

int Lookup(Conn& conn, const std::vector<std::string>& comps, int64_t& id) {
    if (comps.size() > DDC_MAX_DN_CHARS / 2) return DDCERR_ILLEGAL_DS_NAME;
    const std::string lpath = Fold(JoinPath(comps));
    Store* store = conn.store();
    // Inside a write transaction the cache may lag this connection's own
    // changes, so only plain reads use it.
    const bool cache = store && !conn.InTransaction();
    const uint64_t gen = cache ? store->Generation() : 0;
    if (cache && store->CachedId(lpath, gen, id)) return 0;
    if (int rc = conn.FindPath(lpath, id)) return rc;
    if (cache) store->CacheId(lpath, gen, id);
    return 0;
}

int ResolveText(Ctx& c, Conn& conn, const std::string& name, int64_t& id) {
    ParsedName pn;
    if (int rc = ParseName(name, nullptr, pn)) return rc;
    auto comps = Absolute(c, pn);
    if (Utf16Length(JoinPath(comps)) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    return Lookup(conn, comps, id);
}

int ParseNameIn(const Ctx& c, const void* name, ParsedName& out) {
    std::string s;
    if (int rc = InStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
    return ParseName(s, nullptr, out);
}

int ResolveIn(Ctx& c, Conn& conn, const void* name, int64_t& id) {
    std::string s;
    if (int rc = InStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
    return ResolveText(c, conn, s, id);
}

std::string OutName(const Ctx& c, const std::string& path) {
    if (c.base.empty()) return path.empty() ? "\\" : path;
    auto comps = SplitPath(path);
    if (comps.size() > c.base.size()) {
        bool under = true;
        for (size_t i = 0; i < c.base.size() && under; ++i)
            under = Fold(comps[i]) == Fold(c.base[i]);
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

int ObjClasses(Conn& conn, int64_t id, std::vector<std::string>& out) {
    out.clear();
    if (id == kRootId) {
        out.push_back("[root]");
        return 0;
    }
    std::vector<Value> vals;
    if (int rc = conn.ReadValues(id, "object class", vals)) return rc;
    for (auto& v : vals)
        out.push_back(std::move(v.lv));
    return 0;
}

bool Rights::CanWrite(const std::string& lattr) const {
    if (all) return true;
    uint32_t r = attrAll;
    if (auto it = attr.find(lattr); it != attr.end()) r |= it->second;
    return (r & (DDC_ATTR_WRITE | DDC_ATTR_SUPERVISOR)) != 0;
}

int SessionCheck(const Ctx& c, Conn& conn) {
    if (c.maintenance || c.identity == 0) return 0;
    ObjInfo me;
    int rc = conn.ObjectInfo(c.identity, me);
    return rc == DDCERR_NO_SUCH_ENTRY ? DDCERR_NOT_LOGGED_IN : rc;
}

int RightsOn(const Ctx& c, Conn& conn, int64_t obj, Rights& r) {
    r = Rights{};
    if (c.maintenance) {
        r.all = !c.readOnly;
        return 0;
    }
    if (c.identity == 0) return 0;
    if (int rc = SessionCheck(c, conn)) return rc;
    static const std::string kEntry = Fold(DDC_ACL_ENTRY_RIGHTS);
    static const std::string kAll = Fold(DDC_ACL_ALL_ATTRIBUTES);
    // ACL values on the object and every ancestor grant to the trustee.
    std::vector<std::pair<std::string, uint32_t>> grants;
    for (int64_t id = obj; id != 0;) {
        if (int rc = conn.AclGrants(id, c.identity, grants)) return rc;
        for (const auto& [lv, priv] : grants) {
            if (lv == kEntry)
                r.entry |= priv;
            else if (lv == kAll)
                r.attrAll |= priv;
            else
                r.attr[lv] |= priv;
        }
        ObjInfo o;
        int rc = conn.ObjectInfo(id, o);
        if (rc == DDCERR_NO_SUCH_ENTRY) break;
        if (rc) return rc;
        id = o.parent;
    }
    if (r.entry & DDC_ENTRY_SUPERVISOR) r.all = true;
    return 0;
}

int IsTreeAdmin(const Ctx& c, Conn& conn, bool& admin) {
    admin = c.maintenance && !c.readOnly;
    if (c.maintenance || c.identity == 0) return 0;
    ObjInfo me;
    if (int rc = conn.ObjectInfo(c.identity, me))
        return rc == DDCERR_NO_SUCH_ENTRY ? DDCERR_NOT_LOGGED_IN : rc;
    auto comps = SplitPath(me.path);
    if (comps.empty()) return 0;
    int64_t tree;
    if (int rc = Lookup(conn, {comps[0]}, tree)) return rc;
    Rights r;
    if (int rc = RightsOn(c, conn, tree, r)) return rc;
    admin = r.all;
    return 0;
}

namespace {

int PasswordIn(const Ctx& c, const void* p, std::string& out) {
    return InStr(c, p, out, kMaxPassword, DDCERR_INVALID_PARAMETER);
}

int64_t TargetIterations() {
    const char* env = std::getenv("ARBOR_PW_ITERATIONS");
    if (!env || !*env) return kIterations;
    char* end = nullptr;
    const long long n = std::strtoll(env, &end, 10);
    if (*end != 0) return kIterations;
    return std::clamp<int64_t>(n, kMinIterations, kMaxIterations);
}

bool Derive(const std::string& pw, const unsigned char* salt, int64_t iter, unsigned char* out) {
    return PKCS5_PBKDF2_HMAC(pw.data(), static_cast<int>(pw.size()), salt,
                             static_cast<int>(kSaltLen), static_cast<int>(iter), EVP_sha256(),
                             static_cast<int>(kHashLen), out) == 1;
}

// The object's stored hash: 0, DDCERR_FAILED_AUTHENTICATION when it has none.
int LoadHash(Conn& conn, int64_t obj, PasswordHash& h) {
    if (int rc = conn.ReadPassword(obj, h)) return rc;
    if (h.iter < 1 || h.iter > kMaxIterations) return DDCERR_DATABASE_FORMAT;
    return 0;
}

int StorePassword(Conn& conn, int64_t obj, const std::string& pw) {
    PasswordHash h;
    h.iter = TargetIterations();
    if (RAND_bytes(h.salt, sizeof h.salt) != 1 || !Derive(pw, h.salt, h.iter, h.hash))
        return DDCERR_SYSTEM_FAILURE;
    return conn.WritePassword(obj, h);
}

// What is recorded for the object; a store that cannot say has nothing.
IntruderState LoadIntruderState(Conn& conn, int64_t obj) {
    IntruderState st;
    if (conn.ReadIntruder(obj, st) != 0) st = IntruderState{};
    return st;
}

// The object's "Login Intruder Attempts" shows the count, where its classes
// allow the attribute.
int ShowAttempts(Conn& conn, int64_t obj, int64_t attempts) {
    if (int rc = conn.LoadSchema()) return rc;
    std::vector<std::string> classes;
    if (int rc = ObjClasses(conn, obj, classes)) return rc;
    static const std::string kAttr = "login intruder attempts";
    bool allowed = false;
    for (const auto& cl : classes) {
        const ClassDef* cd = conn.schema().Cls(cl);
        if (!cd) continue;
        for (const auto* list : {&cd->optional, &cd->mandatory})
            for (const auto& a : *list)
                allowed = allowed || Fold(a) == kAttr;
    }
    if (!allowed) return 0;
    std::vector<Value> vals;
    if (attempts > 0) {
        Value v;
        v.syntax = DDC_SYN_INTEGER;
        v.v = v.lv = std::to_string(attempts);
        vals.push_back(std::move(v));
    }
    return conn.WriteValues(obj, kAttr, vals);
}

int ClearIntruder(Conn& conn, int64_t obj) {
    if (int rc = conn.ClearIntruder(obj)) return rc;
    return ShowAttempts(conn, obj, 0);
}

// Records a failed check; a process that may not write the store records
// nothing (it can read every hash anyway).
void RecordFailure(Conn& conn, int64_t obj) {
    if (conn.BeginWrite() != 0) return;
    IntruderPolicy p;
    if (conn.ReadIntruderPolicy(p) != 0 || p.attempts == 0) return;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    IntruderState st = LoadIntruderState(conn, obj);
    if (!st.present || now - st.first >= p.reset) st = IntruderState{0, now, st.lockedUntil, true};
    ++st.attempts;
    if (st.attempts >= p.attempts) {
        st.lockedUntil = now + p.lockout;
        st.attempts = 0; // a new count starts after the lock-out
        st.first = now;
    }
    if (conn.WriteIntruder(obj, st) != 0) return;
    if (ShowAttempts(conn, obj, st.lockedUntil > now ? p.attempts : st.attempts) != 0) return;
    conn.Commit();
}

// After a successful check: the count starts over and an old hash is redone
// with the current iteration count, unless the password changed meanwhile.
void AfterSuccess(Conn& conn, int64_t obj, const std::string& pw, const PasswordHash& h,
                  const IntruderState& st) {
    const bool upgrade = h.iter < TargetIterations();
    if (!upgrade && !st.present) return;
    if (conn.BeginWrite() != 0) return;
    if (upgrade) {
        PasswordHash now;
        if (LoadHash(conn, obj, now) != 0 || std::memcmp(now.hash, h.hash, kHashLen) != 0 ||
            StorePassword(conn, obj, pw) != 0)
            return;
    }
    if (st.present && ClearIntruder(conn, obj) != 0) return;
    conn.Commit();
}

// Checks a password of obj with intruder detection: 0, or
// DDCERR_FAILED_AUTHENTICATION on a wrong password, when none is set, and
// while the object is locked out. Runs outside any transaction. checked
// receives the hash that matched.
int CheckPassword(Conn& conn, int64_t obj, const std::string& pw, PasswordHash* checked = nullptr) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const IntruderState st = LoadIntruderState(conn, obj);
    // Locked: not even a right password is taken, and no hash is computed.
    if (st.lockedUntil > now) return DDCERR_FAILED_AUTHENTICATION;
    PasswordHash h;
    if (int rc = LoadHash(conn, obj, h)) return rc;
    unsigned char got[kHashLen];
    if (!Derive(pw, h.salt, h.iter, got)) return DDCERR_SYSTEM_FAILURE;
    if (CRYPTO_memcmp(h.hash, got, kHashLen) != 0) {
        RecordFailure(conn, obj);
        conn.Rollback();
        return DDCERR_FAILED_AUTHENTICATION;
    }
    AfterSuccess(conn, obj, pw, h, st);
    conn.Rollback();
    if (checked) *checked = h;
    return 0;
}

int NeedCurrent(const Ctx& c) {
    return c.current ? 0 : DDCERR_NO_SUCH_ENTRY;
}

// Checks a password, given in the context's form, of the current object.
int CheckCurrentPassword(const Ctx& c, const void* password) {
    if (int rc = NeedCurrent(c)) return rc;
    std::string pw;
    if (int rc = PasswordIn(c, password, pw)) return rc;
    ConnLease l(c.store);
    if (int rc = l.Open()) return rc;
    return CheckPassword(*l, c.current, pw);
}

// Administrator rights from control of the store itself; without the
// right to change it they only read.
int LoginMaintenance(DDCContextHandle ctx, bool needWrite) {
    return WithCtx(ctx, [&](Ctx& c) {
        bool readOnly = true;
        if (int rc = c.store->MaintenanceAccess(needWrite, readOnly)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        c.identity = 0;
        c.maintenance = true;
        c.readOnly = readOnly;
        return 0;
    });
}

// A store's administration through the C interface: a path required, memory
// running out answered rather than thrown across.
int OnStorePath(const char* path, int (*fn)(const std::string&)) {
    if (!path || !*path) return DDCERR_INVALID_PARAMETER;
    try {
        return fn(path);
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
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
        c->store = StoreFor(DefaultStorePath());
        *out = AddCtx(std::move(c));
        return 0;
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
}

int DDCDuplicateContext(DDCContextHandle source, DDCContextHandle* out) {
    if (!out) return DDCERR_INVALID_PARAMETER;
    std::shared_ptr<Ctx> copy;
    int rc = WithCtx(source, [&](Ctx& s) {
        if (s.identity != 0) {
            // A copy of a session whose object is gone would carry no rights.
            ConnLease l(s.store);
            if (l.Open() == 0)
                if (int rc = SessionCheck(s, *l)) return rc;
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
        *out = AddCtx(std::move(copy));
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

int DDCFreeContext(DDCContextHandle ctx) {
    return RemoveCtx(ctx) ? 0 : DDCERR_INVALID_CONTEXT;
}

int DDCSetContextFlags(DDCContextHandle ctx, uint32_t set, uint32_t clear) {
    return WithCtx(ctx, [&](Ctx& c) {
        c.flags = (c.flags | set) & ~clear;
        c.ResetIter();
        return 0;
    });
}

int DDCSetContextLocale(DDCContextHandle ctx, int codepage, int country, const char*,
                        const DDCUnicode*) {
    return WithCtx(ctx, [&](Ctx& c) {
        c.codepage = codepage;
        c.country = country;
        return 0;
    });
}

int DDCSetContextBaseDN(DDCContextHandle ctx, const void* name, const DDCUnicode* delims) {
    return WithCtx(ctx, [&](Ctx& c) {
        std::string s;
        NameForm form;
        if (delims) {
            if (!FormFromTable(delims, form)) return DDCERR_INVALID_PARAMETER;
            if (name) {
                Ctx bytes; // a table means a byte string
                if (int rc = InStr(bytes, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME))
                    return rc;
            }
        } else if (name) {
            if (int rc = InStr(c, name, s, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME)) return rc;
        }
        std::vector<std::string> base;
        if (!s.empty() && s != "\\") {
            ParsedName pn;
            if (int rc = ParseName(s, delims ? &form : nullptr, pn)) return rc;
            if (pn.kind == ParsedName::Self) return 0;
            if (pn.kind == ParsedName::Dotted) {
                base = Absolute(c, pn);
            } else {
                base = pn.components; // a base is always taken from the root
            }
        }
        c.base = std::move(base);
        c.ResetIter();
        return 0;
    });
}

int DDCGetContextBaseDN(DDCContextHandle ctx, void* buf, size_t size) {
    if (!buf) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        const std::string full = c.base.empty() ? "\\" : JoinPath(c.base);
        const size_t cap = size ? size : DDC_MAX_DN_BYTES;
        if (OutSize(c, full) > cap) return DDCERR_INSUFFICIENT_BUFFER;
        OutWrite(c, full, static_cast<unsigned char*>(buf));
        return 0;
    });
}

int DDCConnectToServerByName(DDCContextHandle ctx, const void* server) {
    return WithCtx(ctx, [&](Ctx& c) {
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        int64_t id;
        return ResolveIn(c, *l, server, id);
    });
}

int DDCResolveName(DDCContextHandle ctx, uint32_t, const void* name) {
    return WithCtx(ctx, [&](Ctx& c) {
        c.ResetIter();
        ParsedName pn;
        if (int rc = ParseNameIn(c, name, pn)) return rc;
        auto comps = Absolute(c, pn);
        if (Utf16Length(JoinPath(comps)) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        int64_t id;
        if (int rc = Lookup(*l, comps, id)) return rc;
        c.current = id;
        return 0;
    });
}

int DDCLogin(DDCContextHandle ctx, const void* password) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (int rc = CheckCurrentPassword(c, password)) return rc;
        c.identity = c.current;
        c.maintenance = false;
        c.readOnly = false;
        return 0;
    });
}

int DDCAuthenticateConnection(DDCContextHandle ctx) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (!c.LoggedIn()) return DDCERR_NOT_LOGGED_IN;
        ConnLease l(c.store);
        // An unreachable store says nothing about the login: keep it.
        if (l.Open() != 0) return 0;
        return SessionCheck(c, *l);
    });
}

int DDCLogout(DDCContextHandle ctx) {
    return WithCtx(ctx, [&](Ctx& c) {
        c.identity = 0;
        c.maintenance = false;
        c.readOnly = false;
        return 0;
    });
}

int DDCVerifyPassword(DDCContextHandle ctx, const void* password) {
    return WithCtx(ctx, [&](const Ctx& c) { return CheckCurrentPassword(c, password); });
}

int DDCChangePassword(DDCContextHandle ctx, const void* oldPassword, const void* newPassword) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (int rc = NeedCurrent(c)) return rc;
        if (!c.LoggedIn()) return DDCERR_NO_ACCESS;
        std::string oldPw, newPw;
        if (int rc = PasswordIn(c, oldPassword, oldPw)) return rc;
        if (int rc = PasswordIn(c, newPassword, newPw)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = SessionCheck(c, *l)) return rc;
        PasswordHash checked;
        if (int rc = CheckPassword(*l, c.current, oldPw, &checked)) return rc;
        if (int rc = l->BeginWrite()) return rc;
        // The password that was checked must still be the one stored.
        PasswordHash now;
        if (int rc = LoadHash(*l, c.current, now)) return rc;
        if (std::memcmp(now.salt, checked.salt, kSaltLen) != 0 ||
            std::memcmp(now.hash, checked.hash, kHashLen) != 0)
            return DDCERR_FAILED_AUTHENTICATION;
        if (int rc = StorePassword(*l, c.current, newPw)) return rc;
        return l->Commit();
    });
}

int DDCGenerateKeyPair(DDCContextHandle ctx, const void* password) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (int rc = NeedCurrent(c)) return rc;
        std::string pw;
        if (int rc = PasswordIn(c, password, pw)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = l->BeginWrite()) return rc;
        Rights r;
        if (int rc = RightsOn(c, *l, c.current, r)) return rc;
        if (!r.all && !((r.attrAll & (DDC_ATTR_WRITE | DDC_ATTR_SUPERVISOR))))
            return DDCERR_NO_ACCESS;
        if (int rc = StorePassword(*l, c.current, pw)) return rc;
        // An administrator's reset also ends a lock-out.
        if (int rc = ClearIntruder(*l, c.current)) return rc;
        return l->Commit();
    });
}

int PDKLoginMaintenance(DDCContextHandle ctx) {
    // The real user must be able to write the file itself: then the
    // directory's rights protect nothing from this process anyway.
    return LoginMaintenance(ctx, true);
}

int PDKLoginMaintenanceRead(DDCContextHandle ctx) {
    // Whoever may read the file reads every value in it anyway.
    return LoginMaintenance(ctx, false);
}

int PDKShareStore(const char* path, uint32_t group) {
    if (!path || !*path) return DDCERR_INVALID_PARAMETER;
    return ShareStore(path, static_cast<gid_t>(group));
}

int PDKRemoveStore(const char* path) {
    return OnStorePath(path, RemoveStore);
}

int PDKGetStorePath(char* buf, size_t size) {
    if (!buf) return DDCERR_INVALID_PARAMETER;
    const std::string p = DefaultStorePath();
    if (p.size() + 1 > size) return DDCERR_INSUFFICIENT_BUFFER;
    std::memcpy(buf, p.c_str(), p.size() + 1);
    return 0;
}

int PDKCreateStore(const char* path) {
    return OnStorePath(path, CreateStore);
}

} // extern "C"
