#include "ldap_fixture.h"

#include "ldap_client.h"
#include "process.h"
#include "temp_dir.h"

#include <ldap.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace pdksatest {

namespace {

using arbortest::Ldap;

// A connection bound as ARBOR_DIRECTORY_BIND_DN; its base in base.
Ldap Bind(const std::string& url, std::string& base) {
    LDAPURLDesc* d = nullptr;
    if (ldap_url_parse(url.c_str(), &d) != LDAP_URL_SUCCESS) return nullptr;
    base = d->lud_dn ? d->lud_dn : "";
    ldap_free_urldesc(d);
    const char* dn = std::getenv("ARBOR_DIRECTORY_BIND_DN");
    const char* pwFile = std::getenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE");
    std::string pw = pwFile ? arbortest::ReadFile(pwFile) : "";
    pw.resize(std::min(pw.find('\n'), pw.size()));
    int rc;
    Ldap ld = arbortest::LdapConnect(url, dn ? dn : "", pw, &rc);
    return rc == LDAP_SUCCESS ? std::move(ld) : nullptr;
}

} // namespace

std::string LdapFilterValue(const std::string& v) {
    std::string out;
    char hex[4];
    for (unsigned char c : v) {
        if (std::isalnum(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(hex, sizeof hex, "\\%02x", c);
            out += hex;
        }
    }
    return out;
}

std::vector<std::string> LdapValues(const std::string& url, const std::string& filter,
                                    const char* attr) {
    std::vector<std::string> out;
    std::string base;
    Ldap ld = Bind(url, base);
    if (!ld) return out;
    char* attrs[] = {const_cast<char*>(attr), nullptr};
    LDAPMessage* res = nullptr;
    if (ldap_search_ext_s(ld.get(), base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 0,
                          nullptr, nullptr, nullptr, 0, &res) == LDAP_SUCCESS) {
        for (LDAPMessage* e = ldap_first_entry(ld.get(), res); e;
             e = ldap_next_entry(ld.get(), e)) {
            berval** vals = ldap_get_values_len(ld.get(), e, attr);
            for (size_t i = 0; vals && vals[i]; ++i)
                out.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
            ldap_value_free_len(vals);
        }
    }
    ldap_msgfree(res);
    return out;
}

bool LdapReplace(const std::string& url, const std::string& rdn, const char* attr,
                 const std::vector<std::string>& values) {
    std::string base;
    Ldap ld = Bind(url, base);
    if (!ld) return false;
    std::vector<berval> bvs;
    for (const auto& v : values)
        bvs.push_back(berval{v.size(), const_cast<char*>(v.data())});
    std::vector<berval*> ptrs;
    for (auto& b : bvs)
        ptrs.push_back(&b);
    ptrs.push_back(nullptr);
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
    mod.mod_type = const_cast<char*>(attr);
    mod.mod_bvalues = ptrs.data();
    LDAPMod* mods[] = {&mod, nullptr};
    const std::string dn = rdn + "," + base;
    return ldap_modify_ext_s(ld.get(), dn.c_str(), mods, nullptr, nullptr) == LDAP_SUCCESS;
}

} // namespace pdksatest
