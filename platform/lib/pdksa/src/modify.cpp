// Changing objects: values with their syntaxes, creation, modification,
// removal and renaming, all checked against the schema and the rights.
#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <utility>

namespace pdksa {

namespace {

constexpr uint32_t kMaxEntries = 4096; // entries in one call
constexpr size_t kMaxAttrChars = 256;

// What the classes of an object allow and require (folded names).
struct ClassInfo {
    std::vector<std::string> chain;
    std::set<std::string> allowed, mandatory;
    std::vector<std::string> contain, naming;
};

ClassInfo ClassInfoFor(const Schema& s, const std::vector<std::string>& chain) {
    ClassInfo ci;
    ci.chain = chain;
    for (const auto& name : chain) {
        const ClassDef* c = s.Cls(name);
        if (!c) continue;
        for (const auto& a : c->mandatory) {
            ci.mandatory.insert(Fold(a));
            ci.allowed.insert(Fold(a));
        }
        for (const auto& a : c->optional)
            ci.allowed.insert(Fold(a));
        for (const auto& a : c->naming)
            ci.allowed.insert(Fold(a));
        if (ci.contain.empty())
            for (const auto& x : c->contain)
                ci.contain.push_back(Fold(x));
        if (ci.naming.empty())
            for (const auto& x : c->naming)
                ci.naming.push_back(Fold(x));
    }
    return ci;
}

bool ParseInt(std::string_view s, int64_t& out) {
    if (s.empty() || s.size() > 11) return false;
    size_t i = 0;
    bool neg = false;
    if (s[0] == '-' || s[0] == '+') neg = s[i++] == '-';
    if (i == s.size()) return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = neg ? -v : v;
    return out >= INT32_MIN && out <= INT32_MAX;
}

// The value of an entry, read by the attribute's syntax. missing is the
// code for a name that names no object (-601 when adding, -602 when
// removing: such a value cannot be there).
int MakeValue(Ctx& c, Conn& conn, const AttrDef& def, const DDCEntry& e, int missing, Value& out) {
    out = Value{};
    out.syntax = def.syntax;
    if (!e.value) return DDCERR_INVALID_PARAMETER;
    if (def.syntax == DDC_SYN_ACL) {
        std::string attr, trustee;
        if (e.syntax == DDC_SYN_ACL) {
            DDCACL acl;
            std::memcpy(&acl, e.value, sizeof acl);
            out.priv = acl.privileges;
            if (int rc =
                    InStr(c, acl.protectedAttrName, attr, kMaxAttrChars, DDCERR_SYNTAX_VIOLATION))
                return rc;
            if (int rc =
                    InStr(c, acl.trusteeName, trustee, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME))
                return rc;
        } else {
            std::string text;
            if (int rc = InStrN(c, e.value, e.length, text, DDC_MAX_VALUE_CHARS,
                                DDCERR_SYNTAX_VIOLATION))
                return rc;
            const size_t h1 = text.find('#');
            const size_t h2 = h1 == std::string::npos ? h1 : text.find('#', h1 + 1);
            int64_t priv;
            if (h2 == std::string::npos || !ParseInt(text.substr(0, h1), priv) || priv < 0)
                return DDCERR_SYNTAX_VIOLATION;
            out.priv = static_cast<uint32_t>(priv);
            attr = text.substr(h1 + 1, h2 - h1 - 1);
            trustee = text.substr(h2 + 1);
        }
        if (attr.empty()) return DDCERR_SYNTAX_VIOLATION;
        out.v = attr;
        out.lv = Fold(attr);
        int rc = ResolveText(c, conn, trustee, out.ref);
        return rc == DDCERR_NO_SUCH_ENTRY ? missing : rc;
    }
    std::string text;
    if (def.syntax == DDC_SYN_DIST_NAME) {
        if (int rc = InStrN(c, e.value, e.length, text, DDC_MAX_DN_CHARS, DDCERR_ILLEGAL_DS_NAME))
            return rc;
        int rc = ResolveText(c, conn, text, out.ref);
        return rc == DDCERR_NO_SUCH_ENTRY ? missing : rc;
    }
    if (int rc = InStrN(c, e.value, e.length, text, DDC_MAX_VALUE_CHARS, DDCERR_SYNTAX_VIOLATION))
        return rc;
    if (def.syntax == DDC_SYN_CLASS_NAME) {
        const ClassDef* cd = conn.schema().Cls(Fold(text));
        if (!cd) return DDCERR_NO_SUCH_CLASS;
        out.v = cd->name;
        out.lv = Fold(cd->name);
        return 0;
    }
    if (def.syntax == DDC_SYN_INTEGER) {
        int64_t n;
        if (!ParseInt(text, n)) return DDCERR_SYNTAX_VIOLATION;
        if ((def.flags & DDC_ATTRDEF_SIZED) &&
            (n < static_cast<int64_t>(static_cast<int32_t>(def.lower)) ||
             n > static_cast<int64_t>(static_cast<int32_t>(def.upper))))
            return DDCERR_SYNTAX_VIOLATION;
        out.v = std::to_string(n);
        out.lv = out.v;
        return 0;
    }
    if (def.flags & DDC_ATTRDEF_SIZED) {
        const size_t len = Utf16Length(text);
        if (len < def.lower || len > def.upper) return DDCERR_SYNTAX_VIOLATION;
    }
    out.v = text;
    out.lv = Fold(text);
    return 0;
}

// DDCERR_MISSING_MANDATORY when removing obj would take the last value of a
// mandatory attribute of another object (its values that name obj go with
// it): that object would break its own class's rules.
int SoleMandatoryValue(Conn& conn, int64_t obj) {
    std::vector<RefUse> uses;
    if (int rc = conn.ReferencesTo(obj, uses)) return rc;
    for (const auto& u : uses) {
        if (u.naming < u.total) continue; // other values remain
        std::vector<std::string> classes;
        if (int rc = ObjClasses(conn, u.holder, classes)) return rc;
        if (ClassInfoFor(conn.schema(), classes).mandatory.count(u.lattr))
            return DDCERR_MISSING_MANDATORY;
    }
    return 0;
}

// Working copy of the values of the attributes a call touches.
struct Work {
    std::vector<std::string> order; // folded names, first touch first
    std::unordered_map<std::string, std::vector<Value>> vals;

    std::vector<Value>* get(Conn& conn, int64_t obj, const std::string& lattr, int& rc) {
        rc = 0;
        auto it = vals.find(lattr);
        if (it != vals.end()) return &it->second;
        std::vector<Value> v;
        if (obj && (rc = conn.ReadValues(obj, lattr, v)) != 0) return nullptr;
        order.push_back(lattr);
        return &vals.emplace(lattr, std::move(v)).first->second;
    }
};

int ApplyEntry(Ctx& c, Conn& conn, int64_t obj, const ClassInfo& ci, const Rights* rights,
               const DDCEntry& e, uint32_t op, Work& w) {
    std::string attr;
    if (int rc = InStr(c, e.attrName, attr, kMaxAttrChars, DDCERR_NO_SUCH_ATTRIBUTE)) return rc;
    const std::string lattr = Fold(attr);
    const AttrDef* def = conn.schema().Attr(lattr);
    if (!def) return DDCERR_NO_SUCH_ATTRIBUTE;
    if (!ci.allowed.count(lattr)) return DDCERR_ILLEGAL_ATTRIBUTE;
    if (rights && !rights->CanWrite(lattr)) return DDCERR_NO_ACCESS;
    int rc;
    std::vector<Value>* vals = w.get(conn, obj, lattr, rc);
    if (!vals) return rc;
    Value v;
    auto find = [&](const Value& x) {
        const std::string k = x.Key();
        return std::find_if(vals->begin(), vals->end(),
                            [&](const Value& y) { return y.Key() == k; });
    };
    switch (op) {
    case DDC_OP_ADD_VALUE:
        if ((rc = MakeValue(c, conn, *def, e, DDCERR_NO_SUCH_ENTRY, v))) return rc;
        if (find(v) != vals->end()) return DDCERR_DUPLICATE_VALUE;
        if ((def->flags & DDC_ATTRDEF_SINGLE_VALUED) && !vals->empty())
            return DDCERR_CANT_HAVE_MULTIPLE_VALUES;
        vals->push_back(std::move(v));
        return 0;
    case DDC_OP_WRITE_VALUE:
        if ((rc = MakeValue(c, conn, *def, e, DDCERR_NO_SUCH_ENTRY, v))) return rc;
        if (find(v) != vals->end()) return 0;
        if (def->flags & DDC_ATTRDEF_SINGLE_VALUED) vals->clear();
        vals->push_back(std::move(v));
        return 0;
    case DDC_OP_REMOVE_VALUE: {
        if ((rc = MakeValue(c, conn, *def, e, DDCERR_NO_SUCH_VALUE, v))) return rc;
        auto it = find(v);
        if (it == vals->end()) return DDCERR_NO_SUCH_VALUE;
        vals->erase(it);
        return 0;
    }
    case DDC_OP_CLEAR:
        vals->clear();
        return 0;
    default:
        return DDCERR_INVALID_PARAMETER;
    }
}

int CheckAndWrite(Conn& conn, int64_t obj, const ClassInfo& ci, Work& w) {
    for (const auto& lattr : w.order) {
        const auto& vals = w.vals[lattr];
        const AttrDef* def = conn.schema().Attr(lattr);
        if (def && (def->flags & DDC_ATTRDEF_SINGLE_VALUED) && vals.size() > 1)
            return DDCERR_CANT_HAVE_MULTIPLE_VALUES;
        if (vals.empty() && ci.mandatory.count(lattr)) return DDCERR_MISSING_MANDATORY;
    }
    for (const auto& lattr : w.order)
        if (int rc = conn.WriteValues(obj, lattr, w.vals[lattr])) return rc;
    return 0;
}

int ModifyLocked(Ctx& c, Conn& conn, int64_t obj, uint32_t n, const DDCEntry* entries,
                 bool checkRights) {
    if (obj == kRootId) return DDCERR_NO_ACCESS;
    if (int rc = conn.LoadSchema()) return rc;
    ObjInfo o; // the current object may have gone since it was resolved
    if (int rc = conn.ObjectInfo(obj, o)) return rc;
    std::vector<std::string> classes;
    if (int rc = ObjClasses(conn, obj, classes)) return rc;
    const ClassInfo ci = ClassInfoFor(conn.schema(), classes);
    Rights r;
    if (checkRights)
        if (int rc = RightsOn(c, conn, obj, r)) return rc;
    Work w;
    for (uint32_t i = 0; i < n; ++i) {
        DDCEntry e;
        std::memcpy(&e, &entries[i], sizeof e);
        std::string attr;
        if (int rc = InStr(c, e.attrName, attr, kMaxAttrChars, DDCERR_NO_SUCH_ATTRIBUTE)) return rc;
        // The classes of an object are fixed when it is made.
        if (Fold(attr) == "object class") return DDCERR_OBJECT_CLASS_VIOLATION;
        if (int rc = ApplyEntry(c, conn, obj, ci, checkRights ? &r : nullptr, e, e.operation, w))
            return rc;
    }
    return CheckAndWrite(conn, obj, ci, w);
}

int CheckSchemaName(const std::string& s) {
    if (s.empty() || Utf16Length(s) > kMaxAttrChars) return DDCERR_INVALID_PARAMETER;
    for (char ch : s)
        if (static_cast<unsigned char>(ch) < 0x20) return DDCERR_INVALID_PARAMETER;
    if (s.front() == '[') return DDCERR_INVALID_PARAMETER; // reserved for the ACL names
    return 0;
}

// Reads a null-ended list of names (context form), at most 256 of them.
int NameList(const Ctx& c, const void* const* list, std::vector<std::string>& out) {
    out.clear();
    if (!list) return 0;
    for (size_t i = 0; list[i]; ++i) {
        if (i == 256) return DDCERR_INVALID_PARAMETER;
        std::string s;
        if (int rc = InStr(c, list[i], s, kMaxAttrChars, DDCERR_INVALID_PARAMETER)) return rc;
        if (int rc = CheckSchemaName(s)) return rc;
        out.push_back(std::move(s));
    }
    return 0;
}

// Runs a schema change as the tree's administrator in one transaction.
template <class F> int SchemaChange(DDCContextHandle ctx, F&& f) {
    return WithCtx(ctx, [&](Ctx& c) {
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = l->BeginWrite()) return rc;
        bool admin;
        if (int rc = IsTreeAdmin(c, *l, admin)) return rc;
        if (!admin) return DDCERR_NO_ACCESS;
        if (int rc = l->LoadSchema()) return rc;
        if (int rc = f(c, *l)) return rc;
        if (int rc = l->BumpSchema()) return rc;
        return l->Commit();
    });
}

// One entry of a creation, read once: its attribute and, for "Object Class",
// the folded class name. Reading stops at the first entry that cannot be read;
// its rc is reported where the entry would have been used.
struct CreateItem {
    DDCEntry e;
    std::string attr;
    bool isClass = false;
    std::string cls;
    int rc = 0;
};

std::vector<CreateItem> ReadCreateItems(Ctx& c, uint32_t n, const DDCEntry* entries) {
    std::vector<CreateItem> items;
    items.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        CreateItem& it = items.emplace_back();
        std::memcpy(&it.e, &entries[i], sizeof it.e);
        it.rc = InStr(c, it.e.attrName, it.attr, kMaxAttrChars, DDCERR_NO_SUCH_ATTRIBUTE);
        if (it.rc == 0 && Fold(it.attr) == "object class") {
            it.isClass = true;
            std::string cls;
            it.rc = InStrN(c, it.e.value, it.e.length, cls, kMaxAttrChars, DDCERR_NO_SUCH_CLASS);
            it.cls = Fold(cls);
        }
        if (it.rc) break;
    }
    return items;
}

// The base class is the first non-empty "Object Class" value.
int BaseClassOf(const std::vector<CreateItem>& items, std::string& base) {
    for (const CreateItem& it : items) {
        if (it.rc) return it.rc;
        if (it.isClass && !it.cls.empty()) {
            base = it.cls;
            return 0;
        }
    }
    return DDCERR_MISSING_MANDATORY;
}

// The parent must be of a class the new object's classes may be contained in;
// "top" stands for any object but the root.
int CheckContainment(Conn& conn, int64_t parent, const ClassInfo& ci) {
    std::vector<std::string> parentClasses;
    if (int rc = ObjClasses(conn, parent, parentClasses)) return rc;
    const bool contained = std::any_of(ci.contain.begin(), ci.contain.end(), [&](auto& x) {
        if (x == "top") return parent != kRootId;
        return std::find(parentClasses.begin(), parentClasses.end(), x) != parentClasses.end();
    });
    return contained ? 0 : DDCERR_ILLEGAL_CONTAINMENT;
}

// The given values, in their order. Class values may only name classes of the
// base class's chain (no auxiliary classes); the chain itself is written later.
int GatherValues(Ctx& c, Conn& conn, const ClassInfo& ci, const std::vector<CreateItem>& items,
                 Work& w) {
    for (const CreateItem& it : items) {
        if (it.rc) return it.rc;
        if (it.isClass) {
            if (!conn.schema().Cls(it.cls)) return DDCERR_NO_SUCH_CLASS;
            if (std::find(ci.chain.begin(), ci.chain.end(), it.cls) == ci.chain.end())
                return DDCERR_OBJECT_CLASS_VIOLATION;
            continue;
        }
        // Values are added; duplicates in one creation are an error too.
        if (int rc = ApplyEntry(c, conn, 0, ci, nullptr, it.e, DDC_OP_ADD_VALUE, w)) return rc;
    }
    return 0;
}

// The naming attribute takes the relative name unless given; then every
// mandatory attribute must have a value.
int CompleteValues(Conn& conn, const ClassInfo& ci, const std::string& rdn, Work& w) {
    if (!ci.naming.empty()) {
        int rc;
        std::vector<Value>* nv = w.get(conn, 0, ci.naming[0], rc);
        if (!nv) return rc;
        if (nv->empty()) {
            const AttrDef* nd = conn.schema().Attr(ci.naming[0]);
            if (!nd) return DDCERR_NO_SUCH_ATTRIBUTE;
            if ((nd->flags & DDC_ATTRDEF_SIZED) &&
                (Utf16Length(rdn) < nd->lower || Utf16Length(rdn) > nd->upper))
                return DDCERR_SYNTAX_VIOLATION;
            Value v;
            v.v = rdn;
            v.lv = Fold(rdn);
            nv->push_back(std::move(v));
        }
    }
    for (const auto& m : ci.mandatory) {
        if (m == "object class") continue;
        auto it = w.vals.find(m);
        if (it == w.vals.end() || it->second.empty()) return DDCERR_MISSING_MANDATORY;
    }
    return 0;
}

// The object row, its class chain as "Object Class" and the gathered values.
int InsertEntry(Conn& conn, int64_t parent, const std::string& rdn, const std::string& path,
                const ClassDef& bc, const ClassInfo& ci, Work& w, int64_t& id) {
    std::vector<Value> classVals;
    for (const auto& cl : ci.chain) {
        Value v;
        v.syntax = DDC_SYN_CLASS_NAME;
        v.v = conn.schema().Cls(cl)->name;
        v.lv = cl;
        classVals.push_back(std::move(v));
    }
    if (int rc = conn.InsertObject(parent, rdn, path, bc.name, id)) return rc;
    if (int rc = conn.WriteValues(id, "object class", classVals)) return rc;
    return CheckAndWrite(conn, id, ci, w);
}

// A write transaction with the schema loaded.
int BeginChange(ConnLease& l) {
    if (int rc = l.Open()) return rc;
    if (int rc = l->BeginWrite()) return rc;
    return l->LoadSchema();
}

// The full components of a renamed object: a relative name alone replaces
// the last component; any other name must name a sibling.
int RenamedComponents(const Ctx& c, const ParsedName& pn, const std::string& oldPath,
                      std::vector<std::string>& out) {
    const auto oldComps = SplitPath(oldPath);
    if (pn.kind == ParsedName::Relative && pn.components.size() == 1) {
        out = oldComps;
        out.back() = pn.components[0];
        return 0;
    }
    out = Absolute(c, pn);
    // Renaming only: the new name must stay below the same parent.
    if (out.size() != oldComps.size()) return DDCERR_ILLEGAL_DS_NAME;
    for (size_t i = 0; i + 1 < oldComps.size(); ++i)
        if (Fold(out[i]) != Fold(oldComps[i])) return DDCERR_ILLEGAL_DS_NAME;
    return 0;
}

// The new name and every name below it stay within the limit (a name past
// it could never be resolved again), and the new name is free unless only
// its case changes.
int CheckNewPath(Conn& conn, const ObjInfo& o, const std::vector<std::string>& newComps) {
    const std::string newPath = JoinPath(newComps);
    const size_t oldLen = Utf16Length(o.path), newLen = Utf16Length(newPath);
    if (newLen > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    if (newLen > oldLen) {
        std::vector<std::string> below;
        if (int rc = conn.SubtreePaths(o.path, below)) return rc;
        for (const auto& p : below)
            if (Utf16Length(p) - oldLen + newLen > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    }
    if (Fold(newPath) == Fold(o.path)) return 0;
    int64_t other;
    const int rc = Lookup(conn, newComps, other);
    if (rc == 0) return DDCERR_ENTRY_ALREADY_EXISTS;
    return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
}

// The new name becomes a value of the naming attribute: the same bounds as
// when it is written directly.
int CheckNamingBound(Conn& conn, const ClassInfo& ci, const std::string& rdn) {
    if (ci.naming.empty()) return 0;
    const AttrDef* nd = conn.schema().Attr(ci.naming[0]);
    if (nd && (nd->flags & DDC_ATTRDEF_SIZED) && nd->syntax != DDC_SYN_INTEGER &&
        (Utf16Length(rdn) < nd->lower || Utf16Length(rdn) > nd->upper))
        return DDCERR_SYNTAX_VIOLATION;
    return 0;
}

// The naming attribute follows the new name; the old value goes unless kept.
int FollowNamingValue(Conn& conn, int64_t id, const ClassInfo& ci, const std::string& oldRdn,
                      const std::string& rdn, bool deleteOld) {
    if (ci.naming.empty()) return 0;
    std::vector<Value> vals;
    if (int rc = conn.ReadValues(id, ci.naming[0], vals)) return rc;
    if (deleteOld)
        vals.erase(std::remove_if(vals.begin(), vals.end(),
                                  [&](const Value& v) { return v.lv == Fold(oldRdn); }),
                   vals.end());
    if (std::none_of(vals.begin(), vals.end(), [&](const Value& v) { return v.lv == Fold(rdn); })) {
        Value v;
        v.v = rdn;
        v.lv = Fold(rdn);
        const AttrDef* nd = conn.schema().Attr(ci.naming[0]);
        if (nd && (nd->flags & DDC_ATTRDEF_SINGLE_VALUED)) vals.clear();
        vals.push_back(std::move(v));
    }
    return conn.WriteValues(id, ci.naming[0], vals);
}

// A rename of the object id: checks, then the paths and the naming value.
int RenameLocked(Ctx& c, Conn& conn, int64_t id, const ParsedName& pn, bool deleteOld) {
    ObjInfo o;
    if (int rc = conn.ObjectInfo(id, o)) return rc;
    std::vector<std::string> newComps;
    if (int rc = RenamedComponents(c, pn, o.path, newComps)) return rc;
    if (int rc = CheckNewPath(conn, o, newComps)) return rc;
    Rights r;
    if (int rc = RightsOn(c, conn, id, r)) return rc;
    if (!r.EntryRight(DDC_ENTRY_RENAME)) return DDCERR_NO_ACCESS;
    const std::string rdn = newComps.back();
    std::vector<std::string> classes;
    if (int rc = ObjClasses(conn, id, classes)) return rc;
    const ClassInfo ci = ClassInfoFor(conn.schema(), classes);
    if (int rc = CheckNamingBound(conn, ci, rdn)) return rc;
    if (int rc = conn.RenameObject(id, o.path, rdn, JoinPath(newComps))) return rc;
    return FollowNamingValue(conn, id, ci, o.name, rdn, deleteOld);
}

} // namespace

int RemoveAttributeDefinition(DDCContextHandle ctx, const std::string& name) {
    return SchemaChange(ctx, [&](Ctx&, Conn& conn) {
        const std::string l = Fold(name);
        const AttrDef* a = conn.schema().Attr(l);
        if (!a) return DDCERR_NO_SUCH_ATTRIBUTE;
        if (a->standard) return DDCERR_SCHEMA_IS_NONREMOVABLE;
        bool used;
        if (int rc = conn.AttrInUse(l, used)) return rc;
        if (used) return DDCERR_SCHEMA_IS_IN_USE;
        for (const auto& [cl, cd] : conn.schema().classes) {
            auto has = [&](const std::vector<std::string>& v) {
                return std::any_of(v.begin(), v.end(),
                                   [&](const std::string& x) { return Fold(x) == l; });
            };
            if (has(cd.naming) || has(cd.mandatory)) return DDCERR_SCHEMA_IS_IN_USE;
        }
        // Optional uses go with the definition.
        for (const auto& [cl, cd] : conn.schema().classes) {
            std::vector<std::string> opt;
            for (const auto& x : cd.optional)
                if (Fold(x) != l) opt.push_back(x);
            if (opt.size() == cd.optional.size()) continue;
            if (int rc = conn.SetClassOptionals(cl, opt)) return rc;
        }
        return conn.RemoveAttrDef(l);
    });
}

} // namespace pdksa

using namespace pdksa;

extern "C" {

int DDCModifyEntry(DDCContextHandle ctx, uint32_t n, const DDCEntry* entries) {
    if (n > kMaxEntries || (n && !entries)) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        if (!c.current) return DDCERR_NO_SUCH_ENTRY;
        if (!c.LoggedIn()) return DDCERR_NO_ACCESS;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        if (int rc = l->BeginWrite()) return rc;
        if (int rc = ModifyLocked(c, *l, c.current, n, entries, true)) return rc;
        return l->Commit();
    });
}

int DDCCreateEntry(DDCContextHandle ctx, const void* name, uint32_t n, const DDCEntry* entries) {
    if (n > kMaxEntries || (n && !entries)) return DDCERR_INVALID_PARAMETER;
    return WithCtx(ctx, [&](Ctx& c) {
        if (!c.LoggedIn()) return DDCERR_NO_ACCESS;
        ParsedName pn;
        if (int rc = ParseNameIn(c, name, pn)) return rc;
        auto comps = Absolute(c, pn);
        if (comps.empty()) return DDCERR_ENTRY_ALREADY_EXISTS; // the root
        if (Utf16Length(JoinPath(comps)) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
        const std::string rdn = comps.back();
        comps.pop_back();

        ConnLease l(c.store);
        if (int rc = BeginChange(l)) return rc;
        Conn& conn = *l;
        int64_t parent;
        if (int rc = Lookup(conn, comps, parent)) return rc;
        comps.push_back(rdn);
        const std::string path = JoinPath(comps);
        {
            int64_t existing;
            int rc = Lookup(conn, comps, existing);
            if (rc == 0) return DDCERR_ENTRY_ALREADY_EXISTS;
            if (rc != DDCERR_NO_SUCH_ENTRY) return rc;
        }
        Rights r;
        if (int rc = RightsOn(c, conn, parent, r)) return rc;
        if (!r.EntryRight(DDC_ENTRY_ADD)) return DDCERR_NO_ACCESS;

        const std::vector<CreateItem> items = ReadCreateItems(c, n, entries);
        std::string base;
        if (int rc = BaseClassOf(items, base)) return rc;
        const Schema& schema = conn.schema();
        const ClassDef* bc = schema.Cls(base);
        if (!bc) return DDCERR_NO_SUCH_CLASS;
        if (!(bc->flags & DDC_CLASS_EFFECTIVE)) return DDCERR_NOT_EFFECTIVE_CLASS;
        const ClassInfo ci = ClassInfoFor(schema, schema.Chain(base));
        if (int rc = CheckContainment(conn, parent, ci)) return rc;

        Work w;
        if (int rc = GatherValues(c, conn, ci, items, w)) return rc;
        if (int rc = CompleteValues(conn, ci, rdn, w)) return rc;
        int64_t id = 0;
        if (int rc = InsertEntry(conn, parent, rdn, path, *bc, ci, w, id)) return rc;
        if (int rc = conn.Commit()) return rc;
        c.current = id;
        c.ResetIter();
        return 0;
    });
}

int DDCRemoveEntry(DDCContextHandle ctx, const void* name) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (!c.LoggedIn()) return DDCERR_NO_ACCESS;
        ConnLease l(c.store);
        if (int rc = l.Open()) return rc;
        Conn& conn = *l;
        if (int rc = conn.BeginWrite()) return rc;
        int64_t id;
        if (int rc = ResolveIn(c, conn, name, id)) return rc;
        if (id == kRootId) return DDCERR_NO_ACCESS;
        bool children;
        if (int rc = conn.HasChildren(id, children)) return rc;
        if (children) return DDCERR_ENTRY_IS_NOT_LEAF;
        Rights r;
        if (int rc = RightsOn(c, conn, id, r)) return rc;
        if (!r.EntryRight(DDC_ENTRY_DELETE)) return DDCERR_NO_ACCESS;
        if (int rc = conn.LoadSchema()) return rc;
        if (int rc = SoleMandatoryValue(conn, id)) return rc;
        // Values elsewhere that name the object go with it, so that no name
        // value ever points at nothing.
        if (int rc = conn.RemoveObject(id)) return rc;
        if (int rc = conn.Commit()) return rc;
        if (c.current == id) c.current = 0;
        if (c.identity == id) c.identity = 0;
        c.ResetIter();
        return 0;
    });
}

int DDCModifyRDN(DDCContextHandle ctx, const void* name, const void* newName, int deleteOldRDN) {
    return WithCtx(ctx, [&](Ctx& c) {
        if (!c.LoggedIn()) return DDCERR_NO_ACCESS;
        ParsedName pn;
        if (int rc = ParseNameIn(c, newName, pn)) return rc;
        if (pn.kind == ParsedName::Self) return DDCERR_ILLEGAL_DS_NAME;
        ConnLease l(c.store);
        if (int rc = BeginChange(l)) return rc;
        Conn& conn = *l;
        int64_t id;
        if (int rc = ResolveIn(c, conn, name, id)) return rc;
        if (id == kRootId) return DDCERR_NO_ACCESS;
        if (int rc = RenameLocked(c, conn, id, pn, deleteOldRDN != 0)) return rc;
        return conn.Commit();
    });
}

int DDCDefineAttribute(DDCContextHandle ctx, const void* name, const DDCAttrDef* def) {
    if (!def) return DDCERR_INVALID_PARAMETER;
    switch (def->syntax) {
    case DDC_SYN_DIST_NAME:
    case DDC_SYN_TEXT:
    case DDC_SYN_INTEGER:
    case DDC_SYN_ACL:
    case DDC_SYN_CLASS_NAME:
        break;
    default:
        return DDCERR_INVALID_PARAMETER;
    }
    if ((def->flags & DDC_ATTRDEF_SIZED) && def->syntax != DDC_SYN_INTEGER &&
        def->lower > def->upper)
        return DDCERR_INVALID_PARAMETER;
    return SchemaChange(ctx, [&](Ctx& c, Conn& conn) {
        std::string s;
        if (int rc = InStr(c, name, s, kMaxAttrChars, DDCERR_INVALID_PARAMETER)) return rc;
        if (int rc = CheckSchemaName(s)) return rc;
        if (conn.schema().Attr(Fold(s))) return DDCERR_ATTRIBUTE_ALREADY_EXISTS;
        return conn.InsertAttrDef(
            Fold(s), AttrDef{s, def->flags, def->syntax, def->lower, def->upper, false});
    });
}

int DDCDefineClass(DDCContextHandle ctx, const void* name, const DDCClassDef* def) {
    if (!def) return DDCERR_INVALID_PARAMETER;
    return SchemaChange(ctx, [&](Ctx& c, Conn& conn) {
        const Schema& schema = conn.schema();
        std::string s;
        if (int rc = InStr(c, name, s, kMaxAttrChars, DDCERR_INVALID_PARAMETER)) return rc;
        if (int rc = CheckSchemaName(s)) return rc;
        if (schema.Cls(Fold(s))) return DDCERR_CLASS_ALREADY_EXISTS;
        std::vector<std::string> supers, contain, naming, mandatory, optional;
        if (int rc = NameList(c, def->superClasses, supers)) return rc;
        if (int rc = NameList(c, def->containment, contain)) return rc;
        if (int rc = NameList(c, def->naming, naming)) return rc;
        if (int rc = NameList(c, def->mandatory, mandatory)) return rc;
        if (int rc = NameList(c, def->optional, optional)) return rc;
        if (supers.size() > 1) return DDCERR_OBJECT_CLASS_VIOLATION;
        if (supers.empty()) supers.push_back("Top");
        const ClassDef* sup = schema.Cls(Fold(supers[0]));
        if (!sup) return DDCERR_NO_SUCH_CLASS;
        for (auto& x : contain) {
            const ClassDef* cd = schema.Cls(Fold(x));
            if (!cd) return DDCERR_NO_SUCH_CLASS;
            x = cd->name;
        }
        for (auto* list : {&naming, &mandatory, &optional})
            for (auto& x : *list) {
                const AttrDef* ad = schema.Attr(Fold(x));
                if (!ad) return DDCERR_NO_SUCH_ATTRIBUTE;
                x = ad->name;
            }
        ClassDef cd{s, def->flags, sup->name, contain, naming, mandatory, optional, false};
        return conn.InsertClassDef(Fold(s), cd);
    });
}

int DDCAddOptionalsToClass(DDCContextHandle ctx, const void* className,
                           const void* const* optionalNames) {
    if (!optionalNames) return DDCERR_INVALID_PARAMETER;
    return SchemaChange(ctx, [&](Ctx& c, Conn& conn) {
        const Schema& schema = conn.schema();
        std::string s;
        if (int rc = InStr(c, className, s, kMaxAttrChars, DDCERR_NO_SUCH_CLASS)) return rc;
        const ClassDef* cd = schema.Cls(Fold(s));
        if (!cd) return DDCERR_NO_SUCH_CLASS;
        std::vector<std::string> names;
        if (int rc = NameList(c, optionalNames, names)) return rc;
        if (names.empty()) return DDCERR_INVALID_PARAMETER;
        std::vector<std::string> opt = cd->optional;
        for (const auto& n : names) {
            const AttrDef* ad = schema.Attr(Fold(n));
            if (!ad) return DDCERR_NO_SUCH_ATTRIBUTE;
            auto same = [&](const std::string& x) { return Fold(x) == Fold(n); };
            if (std::any_of(opt.begin(), opt.end(), same) ||
                std::any_of(cd->mandatory.begin(), cd->mandatory.end(), same))
                return DDCERR_DUPLICATE_OPTIONAL;
            opt.push_back(ad->name);
        }
        return conn.SetClassOptionals(Fold(s), opt);
    });
}

int DDCRemoveClass(DDCContextHandle ctx, const void* className) {
    return SchemaChange(ctx, [&](Ctx& c, Conn& conn) {
        std::string s;
        if (int rc = InStr(c, className, s, kMaxAttrChars, DDCERR_NO_SUCH_CLASS)) return rc;
        const std::string l = Fold(s);
        const ClassDef* cd = conn.schema().Cls(l);
        if (!cd) return DDCERR_NO_SUCH_CLASS;
        if (cd->standard) return DDCERR_SCHEMA_IS_NONREMOVABLE;
        for (const auto& [ol, other] : conn.schema().classes)
            if (Fold(other.super) == l) return DDCERR_SCHEMA_IS_IN_USE;
        bool used;
        if (int rc = conn.ClassInUse(l, used)) return rc;
        if (used) return DDCERR_SCHEMA_IS_IN_USE;
        return conn.RemoveClassDef(l);
    });
}

} // extern "C"
