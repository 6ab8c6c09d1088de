// Reading values, listing subordinates and entry information.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace pdksa {

namespace {

constexpr size_t kMaxNames = 1024;    // names in one read request
constexpr size_t kMaxAttrChars = 256; // characters of an attribute or class name

struct OutVal {
    std::string attr;
    uint32_t syntax;
    std::string text;
};

int RequestNames(const Ctx& c, const DDCReadRequest* req, std::vector<std::string>& out) {
    out.clear();
    if (!req) return DDCERR_INVALID_PARAMETER;
    if (!req->names) return 0;
    for (size_t i = 0; req->names[i]; ++i) {
        if (i == kMaxNames) return DDCERR_INVALID_PARAMETER;
        std::string s;
        if (int rc = InStr(c, req->names[i], s, kMaxAttrChars, DDCERR_NO_SUCH_ATTRIBUTE)) return rc;
        out.push_back(std::move(s));
    }
    return out.empty() ? DDCERR_INVALID_PARAMETER : 0;
}

int ValuesOf(const Ctx& c, Conn& conn, int64_t obj, const std::string& attr,
             std::vector<OutVal>& out) {
    const std::string lattr = Fold(attr);
    Store* store = conn.store();
    const bool cache = store && !conn.InTransaction();
    const uint64_t gen = cache ? store->Generation() : 0;
    const std::string key = cache ? std::to_string(obj) + "\n" + lattr : std::string();
    std::vector<Value> raw;
    if (!cache || !store->CachedValues(key, gen, raw)) {
        if (int rc = conn.ReadValues(obj, lattr, raw)) return rc;
        if (cache) store->CacheValues(key, gen, raw);
    }
    for (auto& r : raw) {
        OutVal v{attr, r.syntax, {}};
        if (v.syntax == DDC_SYN_DIST_NAME) {
            v.text = OutName(c, r.refPath);
        } else if (v.syntax == DDC_SYN_ACL) {
            v.text = std::to_string(r.priv) + "#" + r.v + "#" + OutName(c, r.refPath);
        } else {
            v.text = std::move(r.v);
        }
        out.push_back(std::move(v));
    }
    return 0;
}

// Attributes that hold secrets (the REVO shared secret, private keys): only
// the object itself and those with supervisor rights over it read them.
bool SecretAttribute(const std::string& lattr) {
    return lattr == "quill:acl" || lattr == "private key";
}

// Whether the context may read the secret attribute lattr of obj; the rights
// are looked up once per read.
int SecretReadable(const Ctx& c, Conn& conn, int64_t obj, const std::string& lattr,
                   std::optional<Rights>& rights, bool& ok) {
    ok = c.maintenance || (c.identity != 0 && c.identity == obj);
    if (ok) return 0;
    if (!rights) {
        rights.emplace();
        if (int rc = RightsOn(c, conn, obj, *rights)) return rc;
    }
    uint32_t r = rights->attrAll;
    if (auto it = rights->attr.find(lattr); it != rights->attr.end()) r |= it->second;
    ok = rights->all || (r & DDC_ATTR_SUPERVISOR) != 0;
    return 0;
}

// Every value the request asks for, in directory order. Secret attributes
// the context may not read are left out; withheld tells whether any was.
int Collect(const Ctx& c, Conn& conn, const std::vector<std::string>& names,
            std::vector<OutVal>& out, bool* withheld = nullptr) {
    out.clear();
    if (withheld) *withheld = false;
    std::optional<Rights> rights;
    auto allowed = [&](const std::string& attr, bool& ok) {
        ok = true;
        const std::string l = Fold(attr);
        if (!SecretAttribute(l)) return 0;
        if (int rc = SecretReadable(c, conn, c.current, l, rights, ok)) return rc;
        if (!ok && withheld) *withheld = true;
        return 0;
    };
    if (!names.empty()) {
        for (const auto& n : names) {
            bool ok;
            if (int rc = allowed(n, ok)) return rc;
            if (!ok) continue;
            if (int rc = ValuesOf(c, conn, c.current, n, out)) return rc;
        }
        return 0;
    }
    if (int rc = conn.LoadSchema()) return rc;
    std::vector<std::string> attrs;
    if (int rc = conn.AttrNames(c.current, attrs)) return rc;
    for (const auto& a : attrs) {
        bool ok;
        if (int rc = allowed(a, ok)) return rc;
        if (!ok) continue;
        const AttrDef* d = conn.schema().Attr(a);
        if (int rc = ValuesOf(c, conn, c.current, d ? d->name : a, out)) return rc;
    }
    return 0;
}

std::string JoinKey(int kind, const std::vector<std::string>& parts) {
    std::string k = std::to_string(kind);
    for (const auto& p : parts) {
        k.push_back('\n');
        k += Fold(p);
    }
    return k;
}

size_t Align(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

int Readable(const Ctx& c) {
    if (!c.current) return DDCERR_NO_SUCH_ENTRY;
    return c.LoggedIn() ? 0 : DDCERR_NO_ACCESS;
}

} // namespace

} // namespace pdksa

using namespace pdksa;

extern "C" {

int DDCReadToCB(DDCContextHandle ctx, const DDCReadRequest* req, int, size_t bufferSize,
                DDCReadCallback cb, void* arg) {
    if (!cb) return DDCERR_INVALID_PARAMETER;
    // The callback runs with the context unlocked so that it may call back
    // into the library on the same context.
    std::vector<OutVal> vals;
    Ctx form; // the string form, for use after the context is unlocked
    int rc = WithCtx(ctx, [&](Ctx& c) {
        if (int rc = Readable(c)) return rc;
        std::vector<std::string> names;
        if (int rc = RequestNames(c, req, names)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = SessionCheck(c, *l)) return rc;
        bool withheld;
        if (int rc = Collect(c, *l, names, vals, &withheld)) return rc;
        if (vals.empty()) return withheld ? DDCERR_NO_ACCESS : DDCERR_NO_SUCH_ATTRIBUTE;
        form.flags = c.flags;
        return 0;
    });
    if (rc) return rc;
    std::vector<unsigned char> attrBuf, valBuf;
    bool skipped = false;
    for (const auto& v : vals) {
        const size_t vs = OutSize(form, v.text);
        if (bufferSize && vs > bufferSize) {
            // One value too long for the caller must not hide the others.
            skipped = true;
            continue;
        }
        attrBuf.assign(OutSize(form, v.attr), 0);
        OutWrite(form, v.attr, attrBuf.data());
        valBuf.assign(vs, 0);
        OutWrite(form, v.text, valBuf.data());
        DDCEntry e{};
        e.syntax = v.syntax;
        e.length = static_cast<uint32_t>(OutUnits(form, v.text));
        e.attrName = attrBuf.data();
        e.value = valBuf.data();
        if (cb(ctx, &e, arg) != 0) return 0;
    }
    return skipped ? DDCERR_INSUFFICIENT_BUFFER : 0;
}

int DDCReadToBuffer(DDCContextHandle ctx, const DDCReadRequest* req, int, int, size_t bufferSize,
                    void* buf, int32_t* count) {
    if (!buf || !count) return DDCERR_INVALID_PARAMETER;
    if (reinterpret_cast<uintptr_t>(buf) % alignof(DDCEntry) != 0) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        *count = 0;
        if (int rc = Readable(c)) return rc;
        std::vector<std::string> names;
        if (int rc = RequestNames(c, req, names)) return rc;
        const std::string key = JoinKey(Ctx::kIterRead, names);
        c.StartIter(Ctx::kIterRead, key);
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = SessionCheck(c, *l)) return rc;
        std::vector<OutVal> vals;
        bool withheld;
        if (int rc = Collect(c, *l, names, vals, &withheld)) return rc;
        if (vals.empty() && c.iterPos == 0) {
            c.ResetIter();
            return withheld ? DDCERR_NO_ACCESS : DDCERR_NO_SUCH_ATTRIBUTE;
        }
        if (c.iterPos >= vals.size()) { // the end: the next call starts over
            c.ResetIter();
            return 0;
        }
        // Records first, strings after them; count how many fit.
        size_t n = 0, strBytes = 0;
        for (size_t i = c.iterPos; i < vals.size(); ++i) {
            const size_t add =
                Align(OutSize(c, vals[i].attr), 8) + Align(OutSize(c, vals[i].text), 8);
            if ((n + 1) * sizeof(DDCEntry) + strBytes + add > bufferSize) break;
            strBytes += add;
            ++n;
        }
        if (n == 0) return DDCERR_INSUFFICIENT_BUFFER;
        auto* base = static_cast<unsigned char*>(buf);
        size_t off = n * sizeof(DDCEntry);
        for (size_t k = 0; k < n; ++k) {
            const OutVal& v = vals[c.iterPos + k];
            DDCEntry e{};
            e.syntax = v.syntax;
            e.length = static_cast<uint32_t>(OutUnits(c, v.text));
            OutWrite(c, v.attr, base + off);
            e.attrName = base + off;
            off += Align(OutSize(c, v.attr), 8);
            OutWrite(c, v.text, base + off);
            e.value = base + off;
            off += Align(OutSize(c, v.text), 8);
            std::memcpy(base + k * sizeof(DDCEntry), &e, sizeof e);
        }
        c.iterPos += n;
        *count = static_cast<int32_t>(n);
        return 0;
    });
}

int DDCListToBuffer(DDCContextHandle ctx, const DDCListRequest* req, uint32_t, size_t bufferSize,
                    void* buf, int32_t* count) {
    if (!buf || !count || !req) return DDCERR_INVALID_PARAMETER;
    if (reinterpret_cast<uintptr_t>(buf) % alignof(void*) != 0) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        *count = 0;
        if (int rc = Readable(c)) return rc;
        std::string classFilter, nameFilter;
        if (req->classFilter) {
            if (int rc =
                    InStr(c, req->classFilter, classFilter, kMaxAttrChars, DDCERR_NO_SUCH_CLASS))
                return rc;
        }
        if (req->nameFilter) {
            if (int rc =
                    InStr(c, req->nameFilter, nameFilter, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME))
                return rc;
        }
        const std::string key = JoinKey(Ctx::kIterList, {classFilter, nameFilter});
        c.StartIter(Ctx::kIterList, key);
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = SessionCheck(c, *l)) return rc;
        std::vector<std::string> names;
        {
            std::vector<std::string> children;
            if (int rc = l->Children(c.current, Fold(classFilter), children)) return rc;
            const std::string pattern = Fold(nameFilter);
            // A batch continues after the last name handed out, so objects
            // added or removed meanwhile neither repeat nor hide others.
            for (auto& n : children) {
                const std::string f = Fold(n);
                if (c.iterPos > 0 && f <= c.iterLast) continue;
                if (nameFilter.empty() || GlobMatch(f, pattern)) names.push_back(std::move(n));
            }
        }
        if (names.empty()) {
            c.ResetIter();
            return 0;
        }
        size_t n = 0, strBytes = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t add = Align(OutSize(c, names[i]), 8);
            if ((n + 1) * sizeof(void*) + strBytes + add > bufferSize) break;
            strBytes += add;
            ++n;
        }
        if (n == 0) return DDCERR_INSUFFICIENT_BUFFER;
        auto* base = static_cast<unsigned char*>(buf);
        size_t off = n * sizeof(void*);
        for (size_t k = 0; k < n; ++k) {
            const void* p = base + off;
            OutWrite(c, names[k], base + off);
            off += Align(OutSize(c, names[k]), 8);
            std::memcpy(base + k * sizeof(void*), &p, sizeof p);
        }
        c.iterPos += n;
        c.iterLast = Fold(names[n - 1]);
        *count = static_cast<int32_t>(n);
        return 0;
    });
}

int DDCGetEntryInfo(DDCContextHandle ctx, uint32_t selector, size_t size, void* out) {
    constexpr uint32_t kKnown = DDC_INFO_BASE_CLASS | DDC_INFO_RDN | DDC_INFO_NAME;
    if (!out || (selector & ~kKnown) != 0 || selector == 0) return DDCERR_INVALID_PARAMETER;
    if (reinterpret_cast<uintptr_t>(out) % alignof(void*) != 0) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        if (int rc = Readable(c)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = SessionCheck(c, *l)) return rc;
        ObjInfo o;
        if (int rc = l->ObjectInfo(c.current, o)) return rc;
        std::vector<std::string> texts;
        if (selector & DDC_INFO_BASE_CLASS) texts.push_back(o.cls);
        if (selector & DDC_INFO_RDN) texts.push_back(o.name.empty() ? "\\" : o.name);
        if (selector & DDC_INFO_NAME) texts.push_back(OutName(c, o.path));
        size_t need = texts.size() * sizeof(void*);
        for (const auto& t : texts)
            need += Align(OutSize(c, t), 8);
        if (need > size) return DDCERR_INSUFFICIENT_BUFFER;
        auto* base = static_cast<unsigned char*>(out);
        size_t off = texts.size() * sizeof(void*);
        for (size_t k = 0; k < texts.size(); ++k) {
            const void* p = base + off;
            OutWrite(c, texts[k], base + off);
            off += Align(OutSize(c, texts[k]), 8);
            std::memcpy(base + k * sizeof(void*), &p, sizeof p);
        }
        return 0;
    });
}

int PDKGetAttributeDefinition(DDCContextHandle ctx, const void* name, DDCAttrDef* def) {
    if (!def) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        std::string s;
        if (int rc = InStr(c, name, s, kMaxAttrChars, DDCERR_NO_SUCH_ATTRIBUTE)) return rc;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = l->LoadSchema()) return rc;
        const AttrDef* a = l->schema().Attr(Fold(s));
        if (!a) return DDCERR_NO_SUCH_ATTRIBUTE;
        *def = DDCAttrDef{a->flags, a->syntax, a->lower, a->upper, 0, 0};
        return 0;
    });
}

} // extern "C"
