// Making the directory's tree on an empty suffix of a running slapd.
#include "ldap_codec.h"
#include "ldap_ops.h"
#include "pdksa.h"
#include "text.h"

#include <ldap.h>

#include <algorithm>

namespace pdksa {

using ldapops::Entry;
using ldapops::Mod;

namespace {

constexpr const char* kFormat = "pdksa-ldap-1";

int AddIfMissing(LdapHandle& h, const std::string& dn, const std::vector<Mod>& attrs) {
    int rc = ldapops::Add(h, dn, attrs);
    return rc == LDAP_ALREADY_EXISTS ? 0 : ldapops::Map(rc, h);
}

// The base entry when the suffix is empty, for the usual naming attributes.
int AddBase(LdapHandle& h, const std::string& base) {
    std::vector<Entry> es;
    int rc = ldapops::Search(h, base, LDAP_SCOPE_BASE, "(objectClass=*)", {"1.1"}, 0, es);
    if (rc != LDAP_NO_SUCH_OBJECT) return ldapops::Map(rc, h);
    LDAPDN dn = nullptr;
    if (ldap_str2dn(base.c_str(), &dn, LDAP_DN_FORMAT_LDAPV3) != 0 || !dn || !dn[0])
        return DDCERR_INVALID_PARAMETER;
    const LDAPAVA* ava = dn[0][0];
    const std::string type = Fold({ava->la_attr.bv_val, ava->la_attr.bv_len});
    const std::string value(ava->la_value.bv_val, ava->la_value.bv_len);
    ldap_dnfree(dn);
    std::vector<Mod> attrs;
    if (type == "dc")
        attrs = {{LDAP_MOD_ADD, "objectClass", {"dcObject", "organization"}},
                 {LDAP_MOD_ADD, "o", {value}}};
    else if (type == "o")
        attrs = {{LDAP_MOD_ADD, "objectClass", {"organization"}}};
    else if (type == "ou")
        attrs = {{LDAP_MOD_ADD, "objectClass", {"organizationalUnit"}}};
    else
        return DDCERR_INVALID_PARAMETER; // the administrator makes such a base
    return AddIfMissing(h, base, attrs);
}

int AddDefinitions(LdapHandle& h, const LdapSettings& s) {
    const std::vector<Mod> ou = {{LDAP_MOD_ADD, "objectClass", {"organizationalUnit"}}};
    if (int rc = AddIfMissing(h, "ou=attributes," + s.SchemaDn(), ou)) return rc;
    if (int rc = AddIfMissing(h, "ou=classes," + s.SchemaDn(), ou)) return rc;
    auto def = [&](const char* container, const std::string& name, const std::string& enc) {
        return AddIfMissing(
            h, "arborRdn=" + ldapcodec::RdnValue(Fold(name)) + "," + container + s.SchemaDn(),
            {{LDAP_MOD_ADD, "objectClass", {"arborDefinition"}},
             {LDAP_MOD_ADD, "arborDef", {enc}}});
    };
    for (const auto& a : StandardAttrs())
        if (int rc = def("ou=attributes,", a.name, ldapcodec::EncodeAttrDef(a))) return rc;
    for (const auto& c : StandardClasses())
        if (int rc = def("ou=classes,", c.name, ldapcodec::EncodeClassDef(c))) return rc;
    return 0;
}

// A connection of its own, bound as the store's pool binds.
int ConnectFor(const std::string& locator, LdapSettings& s, std::unique_ptr<LdapHandle>& hp) {
    if (int rc = LdapSettingsFor(locator, s)) return rc;
    return LdapStore(s, 0).Connect(hp);
}

} // namespace

// Each step may already be done (a creation cut short is completed by
// running it again); the format mark goes last, so a tree is used only
// once it is whole.
int CreateLdapStore(const std::string& locator) {
    LdapSettings s;
    std::unique_ptr<LdapHandle> hp;
    if (int rc = ConnectFor(locator, s, hp)) return rc;
    LdapHandle& h = *hp;
    if (int rc = AddBase(h, s.base)) return rc;
    int rc = ldapops::Compare(h, s.SchemaDn(), "arborFormat", kFormat);
    if (rc == LDAP_COMPARE_TRUE || rc == LDAP_COMPARE_FALSE) return DDCERR_ENTRY_ALREADY_EXISTS;
    if (rc == LDAP_UNDEFINED_TYPE) return DDCERR_DATABASE_FORMAT; // no fixed schema
    const std::vector<Mod> meta = {
        {LDAP_MOD_ADD, "objectClass", {"organizationalUnit", "arborMeta"}}};
    std::vector<Mod> schema = meta, counter = meta;
    schema.push_back({LDAP_MOD_ADD, "arborGeneration", {"1"}});
    counter.push_back({LDAP_MOD_ADD, "arborLastId", {"1"}});
    if ((rc = AddIfMissing(h, s.SchemaDn(), schema)) || (rc = AddDefinitions(h, s)) ||
        (rc = AddIfMissing(h, s.MetaDn(), counter)))
        return rc;
    rc = AddIfMissing(h, s.RootDn(),
                      {{LDAP_MOD_ADD, "objectClass", {"arborObject"}},
                       {LDAP_MOD_ADD, "arborId", {"1"}},
                       {LDAP_MOD_ADD, "arborParent", {"0"}},
                       {LDAP_MOD_ADD, "arborClass", {"[Root]"}}});
    if (rc) return rc;
    return ldapops::Map(
        ldapops::Modify(h, s.SchemaDn(), {{LDAP_MOD_ADD, "arborFormat", {kFormat}}}), h);
}

namespace {

// Deletes top and everything below it. A child's DN is its parent's with an
// RDN in front, so longest first deletes children before parents; a server's
// size limit may hold entries back, which the next pass finds.
int DeleteSubtree(LdapHandle& h, const std::string& top) {
    for (;;) {
        std::vector<Entry> es;
        int rc = ldapops::Search(h, top, LDAP_SCOPE_SUBTREE, "(objectClass=*)", {"1.1"}, 0, es);
        if (rc == LDAP_NO_SUCH_OBJECT || (rc == LDAP_SUCCESS && es.empty())) return 0;
        if (rc != LDAP_SUCCESS) return ldapops::Map(rc, h);
        std::sort(es.begin(), es.end(),
                  [](const Entry& a, const Entry& b) { return a.dn.size() > b.dn.size(); });
        size_t gone = 0;
        for (const Entry& e : es) {
            rc = ldapops::Delete(h, e.dn);
            if (rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_OBJECT)
                ++gone;
            else if (rc != LDAP_NOT_ALLOWED_ON_NONLEAF) // children the search held back
                return ldapops::Map(rc, h);
        }
        if (gone == 0) return DDCERR_SYSTEM_FAILURE; // no progress: do not spin
    }
}

} // namespace

// The format mark goes first, so that a removal cut short leaves no tree that
// looks whole.
int RemoveLdapStore(const std::string& locator) {
    LdapSettings s;
    std::unique_ptr<LdapHandle> hp;
    if (int rc = ConnectFor(locator, s, hp)) return rc;
    const int rc = ldapops::Modify(*hp, s.SchemaDn(), {{LDAP_MOD_DELETE, "arborFormat", {}}});
    if (rc != LDAP_SUCCESS && rc != LDAP_NO_SUCH_OBJECT && rc != LDAP_NO_SUCH_ATTRIBUTE)
        return ldapops::Map(rc, *hp);
    for (const std::string& top : {s.RootDn(), s.MetaDn(), s.SchemaDn()})
        if (int rc = DeleteSubtree(*hp, top)) return rc;
    return 0;
}

} // namespace pdksa
