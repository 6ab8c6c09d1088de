// The LDAP store's objects and values (see ldap_conn.h).
#include "ldap_conn.h"

#include "ldap_codec.h"
#include "pdksa.h"
#include "text.h"

#include <ldap.h>

#include <algorithm>

namespace pdksa {

namespace codec = ldapcodec;
using ldapops::Entry;
using ldapops::Mod;

namespace {

const std::vector<const char*> kObjAttrs = {"arborId",       "arborParent",   "arborName",
                                            "arborPath",     "arborClass",    "arborValue",
                                            "arborPassword", "arborIntruder", "entryCSN"};
constexpr int kRaceRetries = 5;

std::string IdFilter(int64_t id) {
    return "(arborId=" + std::to_string(id) + ")";
}

// The DN without its first RDN (escapes kept).
std::string ParentDn(const std::string& dn) {
    for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\') {
            ++i;
        } else if (dn[i] == ',') {
            return dn.substr(i + 1);
        }
    }
    return {};
}

// The derived, searchable attributes of an object's values.
std::vector<Mod> ValueMods(const std::map<std::string, std::vector<Value>>& vals) {
    Mod all{LDAP_MOD_REPLACE, "arborValue", {}}, refs{LDAP_MOD_REPLACE, "arborRef", {}},
        has{LDAP_MOD_REPLACE, "arborHas", {}}, ocs{LDAP_MOD_REPLACE, "arborOc", {}};
    std::set<int64_t> ids;
    std::set<std::string> classes;
    for (const auto& [lattr, vs] : vals) {
        if (vs.empty()) continue;
        has.values.push_back(lattr);
        for (size_t i = 0; i < vs.size(); ++i) {
            all.values.push_back(codec::EncodeValue(lattr, i, vs[i]));
            if (vs[i].ref > 0) ids.insert(vs[i].ref);
            if (lattr == "object class" && !vs[i].lv.empty()) classes.insert(vs[i].lv);
        }
    }
    for (int64_t id : ids)
        refs.values.push_back(std::to_string(id));
    ocs.values.assign(classes.begin(), classes.end());
    return {all, refs, has, ocs};
}

// An entry's relative name: the one it keeps when its RDN still says so
// (a rename cut short leaves it behind), else what the RDN says.
std::string NameOf(const std::string& dn, const std::string* stored) {
    if (stored && codec::DnNamesPath(dn, ParentDn(dn), Fold("\\" + *stored))) return *stored;
    std::string l;
    if (!codec::PathOfDn(dn, ParentDn(dn), l) || l.empty()) return "?";
    return l.substr(1);
}

} // namespace

int LdapConn::DisplayPath(const std::string& dn, const std::string& stored, std::string& path) {
    if (codec::DnNamesPath(dn, settings().RootDn(), Fold(stored))) {
        path = stored;
        return 0;
    }
    // A rename that failed half-way left this path behind: the DN is the
    // truth, the names come from the entries above.
    std::vector<std::string> comps;
    std::string cur = dn;
    const std::string root = settings().RootDn();
    for (size_t depth = 0; depth < 256 && Fold(cur) != Fold(root) && !cur.empty(); ++depth) {
        std::vector<Entry> es;
        if (int rc = ldapops::Search(*h_, cur, LDAP_SCOPE_BASE, "(objectClass=arborObject)",
                                     {"arborName"}, 0, es))
            return Map(rc);
        const std::string* name = es.empty() ? nullptr : es[0].First("arborname");
        comps.insert(comps.begin(), NameOf(cur, name));
        cur = ParentDn(cur);
    }
    path = JoinPath(comps);
    return 0;
}

int LdapConn::Parse(const Entry& e, Obj& o) {
    o = Obj{};
    o.dn = e.dn;
    const std::string *id = e.First("arborid"), *parent = e.First("arborparent"),
                      *cls = e.First("arborclass");
    if (!id || !parent || !cls || !codec::ParseInt(*id, o.info.id) ||
        !codec::ParseInt(*parent, o.info.parent))
        return DDCERR_DATABASE_FORMAT;
    o.info.cls = *cls;
    if (o.info.id != kRootId) {
        const std::string* path = e.First("arborpath");
        if (int rc = DisplayPath(e.dn, path ? *path : std::string(), o.info.path)) return rc;
        auto comps = SplitPath(o.info.path);
        o.info.name = comps.empty() ? std::string() : comps.back();
    }
    if (const std::string* csn = e.First("entrycsn")) o.csn = *csn;
    if (const std::string* pw = e.First("arborpassword")) o.pw = *pw;
    if (const std::string* in = e.First("arborintruder")) o.intruder = *in;
    std::map<std::string, std::vector<std::pair<int64_t, Value>>> bySeq;
    for (const auto& raw : e.All("arborvalue")) {
        std::string lattr;
        int64_t seq;
        Value v;
        if (!codec::DecodeValue(raw, lattr, seq, v)) return DDCERR_DATABASE_FORMAT;
        bySeq[lattr].emplace_back(seq, std::move(v));
    }
    for (auto& [lattr, vs] : bySeq) {
        std::sort(vs.begin(), vs.end(), [](auto& a, auto& b) { return a.first < b.first; });
        auto& out = o.vals[lattr];
        for (auto& [seq, v] : vs)
            out.push_back(std::move(v));
    }
    return 0;
}

int LdapConn::Load(int64_t id, Obj& out) {
    if (id <= 0) return DDCERR_NO_SUCH_ENTRY;
    std::vector<Entry> es;
    if (int rc = ldapops::Search(*h_, settings().RootDn(), LDAP_SCOPE_SUBTREE, IdFilter(id),
                                 kObjAttrs, 2, es))
        return rc == LDAP_NO_SUCH_OBJECT ? DDCERR_NO_REFERRALS : Map(rc);
    if (es.empty()) return DDCERR_NO_SUCH_ENTRY;
    if (es.size() > 1) return DDCERR_DATABASE_FORMAT;
    return Parse(es[0], out);
}

int LdapConn::Get(int64_t id, const Obj*& out) {
    if (auto it = touched_.find(id); it != touched_.end()) {
        out = &it->second;
        return 0;
    }
    if (inTx_) {
        Obj* o = nullptr;
        const int rc = Touch(id, o);
        out = o;
        return rc;
    }
    const uint64_t gen = ls_->Generation();
    held_ = ls_->reads().Find(id, gen);
    if (!held_) {
        auto o = std::make_shared<Obj>();
        if (int rc = Load(id, *o)) return rc;
        ls_->reads().Keep(id, gen, o);
        held_ = std::move(o);
    }
    out = held_.get();
    return 0;
}

// Inside a change the object is read once and kept: what the call checks
// is what its modification asserts (entryCSN).
int LdapConn::Touch(int64_t id, Obj*& out) {
    if (auto it = touched_.find(id); it != touched_.end()) {
        out = &it->second;
        return 0;
    }
    Obj o;
    if (int rc = Load(id, o)) return rc;
    out = &(touched_[id] = std::move(o));
    return 0;
}

// Entries go out at commit in the order of their first change: parents
// before children.
void LdapConn::Changed(int64_t id) {
    if (std::find(order_.begin(), order_.end(), id) == order_.end()) order_.push_back(id);
}

int LdapConn::FillRefPaths(std::vector<Value>& vals) {
    std::map<int64_t, std::string> paths;
    for (const auto& v : vals)
        if (v.ref > 0) paths[v.ref];
    std::string filter;
    for (auto& [id, path] : paths) {
        if (auto it = touched_.find(id); it != touched_.end())
            path = it->second.info.path;
        else
            filter += IdFilter(id);
    }
    if (!filter.empty()) {
        std::vector<Entry> es;
        if (int rc = ldapops::Search(*h_, settings().RootDn(), LDAP_SCOPE_SUBTREE,
                                     "(|" + filter + ")", {"arborId", "arborPath"}, 0, es))
            return Map(rc);
        for (const auto& e : es) {
            int64_t id;
            const std::string* idText = e.First("arborid");
            if (!idText || !codec::ParseInt(*idText, id) || !paths.count(id)) continue;
            const std::string* stored = e.First("arborpath");
            if (id == kRootId) continue;
            if (int rc = DisplayPath(e.dn, stored ? *stored : std::string(), paths[id])) return rc;
        }
    }
    for (auto& v : vals)
        v.refPath = v.ref > 0 ? paths[v.ref] : std::string();
    return 0;
}

// Transactions ---------------------------------------------------------------

int LdapConn::BeginWrite() {
    Rollback();
    inTx_ = true;
    ls_->Bump();
    return 0;
}

int LdapConn::Commit() {
    int rc = Flush();
    Rollback();
    ls_->Bump();
    return rc;
}

void LdapConn::Rollback() {
    inTx_ = false;
    schemaBumped_ = false;
    touched_.clear();
    order_.clear();
    newPaths_.clear();
}

// A change outside BeginWrite..Commit is sent at once.
template <class F> int LdapConn::Write(F&& change) {
    if (inTx_) return change();
    inTx_ = true;
    int rc = change();
    if (rc == 0) return Commit();
    Rollback();
    // A call over several entries may have changed some before it failed:
    // nothing read before may be kept.
    ls_->Bump();
    return rc;
}

int LdapConn::FlushOne(const Obj& o) {
    std::vector<Mod> mods;
    if (o.valsDirty || o.isNew) mods = ValueMods(o.vals);
    if (o.pwDirty || o.isNew) mods.push_back({LDAP_MOD_REPLACE, "arborPassword", {}});
    if (o.pwDirty && !o.pw.empty()) mods.back().values.push_back(o.pw);
    if (o.intrDirty || o.isNew) mods.push_back({LDAP_MOD_REPLACE, "arborIntruder", {}});
    if (o.intrDirty && !o.intruder.empty()) mods.back().values.push_back(o.intruder);
    if (!o.isNew) return mods.empty() ? 0 : Map(ldapops::Modify(*h_, o.dn, mods, o.csn));
    std::vector<Mod> attrs;
    for (auto& m : mods)
        if (!m.values.empty()) attrs.push_back({LDAP_MOD_ADD, m.attr, m.values});
    attrs.push_back({LDAP_MOD_ADD, "objectClass", {"arborObject"}});
    attrs.push_back({LDAP_MOD_ADD, "arborId", {std::to_string(o.info.id)}});
    attrs.push_back({LDAP_MOD_ADD, "arborParent", {std::to_string(o.info.parent)}});
    attrs.push_back({LDAP_MOD_ADD, "arborClass", {o.info.cls}});
    attrs.push_back({LDAP_MOD_ADD, "arborName", {o.info.name}});
    attrs.push_back({LDAP_MOD_ADD, "arborPath", {o.info.path}});
    return Map(ldapops::Add(*h_, o.dn, attrs));
}

// Each entry's changes go as one operation, parents before children.
int LdapConn::Flush() {
    int rc = 0;
    for (int64_t id : order_) {
        if ((rc = FlushOne(touched_[id]))) break;
    }
    touched_.clear();
    order_.clear();
    newPaths_.clear();
    return rc;
}

// Objects ---------------------------------------------------------------------

int LdapConn::FindPath(const std::string& lpath, int64_t& id) {
    if (auto it = newPaths_.find(lpath); it != newPaths_.end()) {
        id = it->second;
        return 0;
    }
    std::vector<Entry> es;
    const std::string dn = codec::DnOfPath(lpath, settings().RootDn());
    // The whole object comes with its id, so the read that follows a name
    // look-up is answered from the cache instead of a second round trip.
    const uint64_t gen = inTx_ ? 0 : ls_->Generation();
    int rc =
        ldapops::Search(*h_, dn, LDAP_SCOPE_BASE, "(objectClass=arborObject)", kObjAttrs, 0, es);
    if (rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_INVALID_DN_SYNTAX) return DDCERR_NO_SUCH_ENTRY;
    if (rc) return Map(rc);
    const std::string* text = es.empty() ? nullptr : es[0].First("arborid");
    if (!text) return DDCERR_NO_SUCH_ENTRY;
    if (!codec::ParseInt(*text, id)) return DDCERR_DATABASE_FORMAT;
    if (!inTx_) {
        auto o = std::make_shared<Obj>();
        if (Parse(es[0], *o) == 0) ls_->reads().Keep(id, gen, std::move(o));
    }
    return 0;
}

int LdapConn::ObjectInfo(int64_t id, ObjInfo& out) {
    const Obj* o;
    if (int rc = Get(id, o)) return rc;
    out = o->info;
    return 0;
}

int LdapConn::Children(int64_t parent, const std::string& classFilter,
                       std::vector<std::string>& names) {
    names.clear();
    const Obj* p;
    if (int rc = Get(parent, p)) return rc;
    if (!p->isNew) {
        std::string filter = "(objectClass=arborObject)";
        if (!classFilter.empty())
            filter = "(&" + filter + "(arborOc=" + codec::FilterValue(classFilter) + "))";
        std::vector<Entry> es;
        if (int rc = ldapops::Search(*h_, p->dn, LDAP_SCOPE_ONELEVEL, filter,
                                     {"arborName", "arborPath"}, 0, es))
            return Map(rc);
        for (const auto& e : es) {
            const std::string* stored = e.First("arborpath");
            std::string path;
            if (int rc = DisplayPath(e.dn, stored ? *stored : std::string(), path)) return rc;
            names.push_back(SplitPath(path).back());
        }
    }
    for (const auto& [id, o] : touched_) {
        if (!o.isNew || o.info.parent != parent) continue;
        auto oc = o.vals.find("object class");
        const bool match = classFilter.empty() ||
                           (oc != o.vals.end() &&
                            std::any_of(oc->second.begin(), oc->second.end(),
                                        [&](const Value& v) { return v.lv == classFilter; }));
        if (match) names.push_back(o.info.name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Fold(a) < Fold(b); });
    return 0;
}

int LdapConn::HasChildren(int64_t id, bool& any) {
    for (const auto& [oid, o] : touched_)
        if (o.isNew && o.info.parent == id) return any = true, 0;
    const Obj* p;
    if (int rc = Get(id, p)) return rc;
    any = false;
    if (p->isNew) return 0;
    std::vector<Entry> es;
    if (int rc = ldapops::Search(*h_, p->dn, LDAP_SCOPE_ONELEVEL, "(objectClass=arborObject)",
                                 {"1.1"}, 1, es))
        return Map(rc);
    any = !es.empty();
    return 0;
}

// The display names of every entry strictly below dn, by DN.
int LdapConn::SubtreeNames(const std::string& dn, std::map<std::string, std::string>& names) {
    std::vector<Entry> es;
    int rc = ldapops::Search(*h_, dn, LDAP_SCOPE_SUBORDINATE, "(objectClass=arborObject)",
                             {"arborName"}, 0, es);
    if (rc == LDAP_NO_SUCH_OBJECT) return 0;
    if (rc) return Map(rc);
    for (const auto& e : es) {
        names[e.dn] = NameOf(e.dn, e.First("arborname"));
    }
    return 0;
}

int LdapConn::SubtreePaths(const std::string& path, std::vector<std::string>& out) {
    out.clear();
    if (int rc = Flush()) return rc;
    std::map<std::string, std::string> names;
    if (int rc = SubtreeNames(codec::DnOfPath(Fold(path), settings().RootDn()), names)) return rc;
    for (const auto& [dn, name] : names) {
        std::string p = "\\" + name;
        for (std::string up = ParentDn(dn); names.count(up); up = ParentDn(up))
            p = "\\" + names[up] + p;
        out.push_back(path + p);
    }
    return 0;
}

int LdapConn::InsertObject(int64_t parent, const std::string& rdn, const std::string& path,
                           const std::string& cls, int64_t& id) {
    return Write([&] {
        // The counter moves before the add: a failed add loses an id, which
        // is harmless; ids are never given twice.
        if (int rc = Map(ldapops::Increment(*h_, settings().MetaDn(), "arborLastId", id)))
            return rc;
        Obj o;
        o.isNew = true;
        o.dn = codec::DnOfPath(Fold(path), settings().RootDn());
        o.info = ObjInfo{id, parent, rdn, path, cls};
        touched_[id] = std::move(o);
        order_.push_back(id);
        newPaths_[Fold(path)] = id;
        return 0;
    });
}

// The descendants' stored paths follow a rename; a failure here leaves
// paths that DisplayPath recognises as stale (the DNs moved atomically).
int LdapConn::FixSubtreePaths(const std::string& dn, const std::string& path) {
    std::map<std::string, std::string> names;
    if (int rc = SubtreeNames(dn, names)) return rc;
    for (const auto& [d, name] : names) {
        std::string p = "\\" + name;
        for (std::string up = ParentDn(d); names.count(up); up = ParentDn(up))
            p = "\\" + names[up] + p;
        if (int rc = Map(ldapops::Modify(*h_, d, {{LDAP_MOD_REPLACE, "arborPath", {path + p}}})))
            return rc;
    }
    return 0;
}

// One modrdn moves the entry and its subtree atomically; the names kept
// for display follow.
int LdapConn::RenameObject(int64_t id, const std::string& oldPath, const std::string& rdn,
                           const std::string& newPath) {
    if (int rc = Flush()) return rc;
    Obj o;
    if (int rc = Load(id, o)) return rc;
    if (Fold(o.info.path) != Fold(oldPath)) return DDCERR_NO_SUCH_ENTRY;
    std::string dn = o.dn;
    if (Fold(rdn) != Fold(o.info.name)) {
        if (int rc = Map(ldapops::Rename(*h_, o.dn, "arborRdn=" + codec::RdnValue(Fold(rdn)))))
            return rc;
        dn = codec::DnOfPath(Fold(newPath), settings().RootDn());
    }
    std::vector<Mod> mods = {{LDAP_MOD_REPLACE, "arborName", {rdn}},
                             {LDAP_MOD_REPLACE, "arborPath", {newPath}}};
    if (int rc = Map(ldapops::Modify(*h_, dn, mods))) return rc;
    return FixSubtreePaths(dn, newPath);
}

// Takes the values naming id out of one holder, as one modify asserted on
// what was read (another writer in between: read again).
int LdapConn::DropReferences(int64_t id, const std::string& holderDn) {
    int rc = 0;
    for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
        std::vector<Entry> es;
        if ((rc = ldapops::Search(*h_, holderDn, LDAP_SCOPE_BASE, "(objectClass=arborObject)",
                                  kObjAttrs, 0, es)))
            return rc == LDAP_NO_SUCH_OBJECT ? 0 : Map(rc);
        Obj o;
        if (es.empty() || (rc = Parse(es[0], o))) return rc;
        for (auto& [lattr, vs] : o.vals)
            vs.erase(
                std::remove_if(vs.begin(), vs.end(), [&](const Value& v) { return v.ref == id; }),
                vs.end());
        rc = ldapops::Modify(*h_, o.dn, ValueMods(o.vals), o.csn);
        if (rc != LDAP_ASSERTION_FAILED) return Map(rc);
    }
    return Map(rc);
}

// The references first, then the entry: a failure half-way leaves an object
// named by fewer values, and repeating the call completes the removal.
int LdapConn::RemoveObject(int64_t id) {
    if (int rc = Flush()) return rc;
    Obj o;
    if (int rc = Load(id, o)) return rc;
    std::vector<Entry> holders;
    const std::string filter = "(arborRef=" + std::to_string(id) + ")";
    if (int rc = ldapops::Search(*h_, settings().RootDn(), LDAP_SCOPE_SUBTREE, filter, {"1.1"}, 0,
                                 holders))
        return Map(rc);
    for (const auto& e : holders) {
        if (e.dn == o.dn) continue;
        if (int rc = DropReferences(id, e.dn)) return rc;
    }
    return Map(ldapops::Delete(*h_, o.dn));
}

// Values ----------------------------------------------------------------------

int LdapConn::ReadValues(int64_t obj, const std::string& lattr, std::vector<Value>& out) {
    out.clear();
    const Obj* o;
    if (int rc = Get(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
    if (auto it = o->vals.find(lattr); it != o->vals.end()) out = it->second;
    return FillRefPaths(out);
}

int LdapConn::WriteValues(int64_t obj, const std::string& lattr, const std::vector<Value>& vals) {
    return Write([&] {
        Obj* o;
        if (int rc = Touch(obj, o)) return rc;
        if (vals.empty())
            o->vals.erase(lattr);
        else
            o->vals[lattr] = vals;
        o->valsDirty = true;
        Changed(obj);
        return 0;
    });
}

int LdapConn::AttrNames(int64_t obj, std::vector<std::string>& out) {
    out.clear();
    const Obj* o;
    if (int rc = Get(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
    for (const auto& [lattr, vs] : o->vals)
        if (!vs.empty()) out.push_back(lattr);
    return 0;
}

int LdapConn::AclGrants(int64_t obj, int64_t trustee,
                        std::vector<std::pair<std::string, uint32_t>>& out) {
    out.clear();
    const Obj* o;
    if (int rc = Get(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
    if (auto it = o->vals.find("acl"); it != o->vals.end())
        for (const auto& v : it->second)
            if (v.ref == trustee) out.emplace_back(v.lv, v.priv);
    return 0;
}

int LdapConn::ReferencesTo(int64_t obj, std::vector<RefUse>& out) {
    out.clear();
    std::vector<Entry> es;
    const std::string filter = "(arborRef=" + std::to_string(obj) + ")";
    if (int rc = ldapops::Search(*h_, settings().RootDn(), LDAP_SCOPE_SUBTREE, filter,
                                 {"arborId", "arborValue"}, 0, es))
        return Map(rc);
    for (const auto& e : es) {
        int64_t holder;
        const std::string* id = e.First("arborid");
        if (!id || !codec::ParseInt(*id, holder)) return DDCERR_DATABASE_FORMAT;
        if (holder == obj) continue;
        std::map<std::string, std::pair<int64_t, int64_t>> counts;
        for (const auto& raw : e.All("arborvalue")) {
            std::string lattr;
            int64_t seq;
            Value v;
            if (!codec::DecodeValue(raw, lattr, seq, v)) return DDCERR_DATABASE_FORMAT;
            auto& [naming, total] = counts[lattr];
            naming += v.ref == obj;
            ++total;
        }
        for (const auto& [lattr, c] : counts)
            if (c.first > 0) out.push_back(RefUse{holder, lattr, c.first, c.second});
    }
    return 0;
}

int LdapConn::Exists(const std::string& filter, bool& found) {
    std::vector<Entry> es;
    if (int rc =
            ldapops::Search(*h_, settings().RootDn(), LDAP_SCOPE_SUBTREE, filter, {"1.1"}, 1, es))
        return Map(rc);
    found = !es.empty();
    return 0;
}

int LdapConn::AttrInUse(const std::string& lattr, bool& used) {
    return Exists("(arborHas=" + codec::FilterValue(lattr) + ")", used);
}

int LdapConn::ClassInUse(const std::string& lclass, bool& used) {
    return Exists("(arborOc=" + codec::FilterValue(lclass) + ")", used);
}

// Schema ----------------------------------------------------------------------

int LdapConn::SchemaGeneration(int64_t& gen) {
    const uint64_t storeGen = inTx_ ? 0 : ls_->Generation();
    if (!inTx_ && ls_->reads().SchemaGeneration(storeGen, gen)) return 0;
    std::vector<Entry> es;
    if (int rc = ldapops::Search(*h_, settings().SchemaDn(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                 {"arborGeneration"}, 0, es))
        return rc == LDAP_NO_SUCH_OBJECT ? DDCERR_NO_REFERRALS : Map(rc);
    const std::string* g = es.empty() ? nullptr : es[0].First("arborgeneration");
    if (!g || !codec::ParseInt(*g, gen)) return DDCERR_DATABASE_FORMAT;
    if (!inTx_) ls_->reads().KeepSchemaGeneration(storeGen, gen);
    return 0;
}

int LdapConn::ReadSchema(Schema& s) {
    for (const char* container : {"ou=attributes,", "ou=classes,"}) {
        std::vector<Entry> es;
        if (int rc = ldapops::Search(*h_, container + settings().SchemaDn(), LDAP_SCOPE_ONELEVEL,
                                     "(objectClass=arborDefinition)", {"arborDef"}, 0, es))
            return Map(rc);
        const bool attrs = container[3] == 'a';
        for (const auto& e : es) {
            const std::string* def = e.First("arbordef");
            AttrDef a;
            ClassDef c;
            if (!def || (attrs ? !codec::DecodeAttrDef(*def, a) : !codec::DecodeClassDef(*def, c)))
                return DDCERR_DATABASE_FORMAT;
            if (attrs)
                s.attrs.emplace(Fold(a.name), std::move(a));
            else
                s.classes.emplace(Fold(c.name), std::move(c));
        }
    }
    return 0;
}

// Definitions change at once, not at Commit: the generation moves first, so
// that a call failing half-way still makes every process read the schema
// again, and once more when the call ends (BumpSchema).
int LdapConn::SchemaWrite() {
    if (schemaBumped_) return 0;
    int64_t gen;
    if (int rc = Map(ldapops::Increment(*h_, settings().SchemaDn(), "arborGeneration", gen)))
        return rc;
    schemaBumped_ = inTx_;
    return 0;
}

int LdapConn::SchemaAdd(const char* container, const std::string& lname, const std::string& def,
                        int exists) {
    if (int rc = SchemaWrite()) return rc;
    const std::string dn =
        "arborRdn=" + codec::RdnValue(lname) + "," + container + settings().SchemaDn();
    int rc = ldapops::Add(
        *h_, dn,
        {{LDAP_MOD_ADD, "objectClass", {"arborDefinition"}}, {LDAP_MOD_ADD, "arborDef", {def}}});
    return rc == LDAP_ALREADY_EXISTS ? exists : Map(rc);
}

int LdapConn::InsertAttrDef(const std::string& lname, const AttrDef& def) {
    return SchemaAdd("ou=attributes,", lname, codec::EncodeAttrDef(def),
                     DDCERR_ATTRIBUTE_ALREADY_EXISTS);
}

int LdapConn::InsertClassDef(const std::string& lname, const ClassDef& def) {
    return SchemaAdd("ou=classes,", lname, codec::EncodeClassDef(def), DDCERR_CLASS_ALREADY_EXISTS);
}

int LdapConn::SetClassOptionals(const std::string& lname,
                                const std::vector<std::string>& optional) {
    if (int rc = SchemaWrite()) return rc;
    const std::string dn =
        "arborRdn=" + codec::RdnValue(lname) + ",ou=classes," + settings().SchemaDn();
    int rc = 0;
    for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
        std::vector<Entry> es;
        if ((rc = ldapops::Search(*h_, dn, LDAP_SCOPE_BASE, "(objectClass=*)",
                                  {"arborDef", "entryCSN"}, 0, es)))
            return rc == LDAP_NO_SUCH_OBJECT ? DDCERR_NO_SUCH_CLASS : Map(rc);
        const std::string *def = es[0].First("arbordef"), *csn = es[0].First("entrycsn");
        ClassDef c;
        if (!def || !csn || !codec::DecodeClassDef(*def, c)) return DDCERR_DATABASE_FORMAT;
        c.optional = optional;
        rc = ldapops::Modify(*h_, dn, {{LDAP_MOD_REPLACE, "arborDef", {codec::EncodeClassDef(c)}}},
                             *csn);
        if (rc != LDAP_ASSERTION_FAILED) break;
    }
    return Map(rc);
}

int LdapConn::RemoveAttrDef(const std::string& lname) {
    if (int rc = SchemaWrite()) return rc;
    return Map(ldapops::Delete(*h_, "arborRdn=" + codec::RdnValue(lname) + ",ou=attributes," +
                                        settings().SchemaDn()));
}

int LdapConn::RemoveClassDef(const std::string& lname) {
    if (int rc = SchemaWrite()) return rc;
    return Map(ldapops::Delete(*h_, "arborRdn=" + codec::RdnValue(lname) + ",ou=classes," +
                                        settings().SchemaDn()));
}

int LdapConn::BumpSchema() {
    int64_t gen;
    return Map(ldapops::Increment(*h_, settings().SchemaDn(), "arborGeneration", gen));
}

// Passwords and intruder state --------------------------------------------------

int LdapConn::ReadPassword(int64_t obj, PasswordHash& out) {
    const Obj* o;
    if (int rc = Get(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? DDCERR_FAILED_AUTHENTICATION : rc;
    if (o->pw.empty()) return DDCERR_FAILED_AUTHENTICATION;
    return codec::DecodePassword(o->pw, out) ? 0 : DDCERR_DATABASE_FORMAT;
}

int LdapConn::WritePassword(int64_t obj, const PasswordHash& h) {
    return Write([&] {
        Obj* o;
        if (int rc = Touch(obj, o)) return rc;
        o->pw = codec::EncodePassword(h);
        o->pwDirty = true;
        Changed(obj);
        return 0;
    });
}

// Store options on ou=meta ("intruder_attempts=7"); what is missing or
// unreadable keeps its default.
int LdapConn::ReadIntruderPolicy(IntruderPolicy& p) {
    p = IntruderPolicy{};
    std::vector<Entry> es;
    if (int rc = ldapops::Search(*h_, settings().MetaDn(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                 {"arborOption"}, 0, es))
        return Map(rc);
    for (const auto& opt : es.empty() ? std::vector<std::string>{} : es[0].All("arboroption")) {
        const size_t eq = opt.find('=');
        int64_t v;
        if (eq == std::string::npos || !codec::ParseInt(opt.substr(eq + 1), v)) continue;
        const std::string k = opt.substr(0, eq);
        v = std::max<int64_t>(0, v);
        if (k == "intruder_attempts")
            p.attempts = v;
        else if (k == "intruder_reset_seconds")
            p.reset = v;
        else if (k == "intruder_lockout_seconds")
            p.lockout = v;
    }
    return 0;
}

int LdapConn::ReadIntruder(int64_t obj, IntruderState& st) {
    st = IntruderState{};
    const Obj* o;
    if (int rc = Get(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
    if (!o->intruder.empty() && !codec::DecodeIntruder(o->intruder, st)) st = IntruderState{};
    return 0;
}

int LdapConn::WriteIntruder(int64_t obj, const IntruderState& st) {
    return Write([&] {
        Obj* o;
        if (int rc = Touch(obj, o)) return rc;
        o->intruder = codec::EncodeIntruder(st);
        o->intrDirty = true;
        Changed(obj);
        return 0;
    });
}

int LdapConn::ClearIntruder(int64_t obj) {
    return Write([&] {
        Obj* o;
        if (int rc = Touch(obj, o)) return rc == DDCERR_NO_SUCH_ENTRY ? 0 : rc;
        if (o->intruder.empty()) return 0;
        o->intruder.clear();
        o->intrDirty = true;
        Changed(obj);
        return 0;
    });
}

std::unique_ptr<Conn> MakeLdapConn(LdapStore* store, std::unique_ptr<LdapHandle> h) {
    return std::make_unique<LdapConn>(store, std::move(h));
}

bool LdapConnDead(Conn& c) {
    return static_cast<LdapConn&>(c).handle().dead;
}

} // namespace pdksa
