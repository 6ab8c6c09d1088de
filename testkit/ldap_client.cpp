#include "ldap_client.h"

namespace arbortest {

Ldap LdapConnect(const std::string& url, const std::string& dn, const std::string& password,
                 int* rc) {
    int ignored;
    int& r = rc ? *rc : ignored;
    LDAP* raw = nullptr;
    r = ldap_initialize(&raw, url.c_str());
    Ldap ld(raw);
    if (r != LDAP_SUCCESS) return nullptr;
    const int v3 = LDAP_VERSION3;
    const timeval tv{2, 0};
    ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &v3);
    ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
    if (dn.empty()) return ld;
    berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
    r = ldap_sasl_bind_s(raw, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    return ld;
}

std::vector<std::string> LdapValues(LDAP* ld, const std::string& dn, const char* attr, int* rc) {
    char* attrs[] = {const_cast<char*>(attr), nullptr};
    timeval tv{2, 0};
    LDAPMessage* raw = nullptr;
    const int r = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                                    nullptr, nullptr, &tv, 0, &raw);
    LdapMsg res(raw);
    if (rc) *rc = r;
    std::vector<std::string> out;
    if (r != LDAP_SUCCESS) return out;
    LDAPMessage* e = ldap_first_entry(ld, raw);
    berval** vals = e ? ldap_get_values_len(ld, e, attr) : nullptr;
    for (size_t i = 0; vals && vals[i]; ++i)
        out.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
    ldap_value_free_len(vals);
    return out;
}

int LdapAddSuffix(LDAP* ld, const std::string& suffix) {
    char* classes[] = {const_cast<char*>("dcObject"), const_cast<char*>("organization"), nullptr};
    char* o[] = {const_cast<char*>("arbor"), nullptr};
    char* dc[] = {const_cast<char*>("arbor"), nullptr};
    LDAPMod m1{LDAP_MOD_ADD, const_cast<char*>("objectClass"), {classes}};
    LDAPMod m2{LDAP_MOD_ADD, const_cast<char*>("o"), {o}};
    LDAPMod m3{LDAP_MOD_ADD, const_cast<char*>("dc"), {dc}};
    LDAPMod* mods[] = {&m1, &m2, &m3, nullptr};
    return ldap_add_ext_s(ld, suffix.c_str(), mods, nullptr, nullptr);
}

int LdapDescribe(LDAP* ld, const std::string& dn, const char* text) {
    char* v[] = {const_cast<char*>(text), nullptr};
    LDAPMod m{LDAP_MOD_REPLACE, const_cast<char*>("description"), {v}};
    LDAPMod* mods[] = {&m, nullptr};
    return ldap_modify_ext_s(ld, dn.c_str(), mods, nullptr, nullptr);
}

} // namespace arbortest
