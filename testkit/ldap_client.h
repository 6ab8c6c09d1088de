// libldap for tests that look at a slapd directly, below the store: owned
// handles, a bound connection and the few operations the tests repeat.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>
#include <vector>

namespace arbortest {

struct LdapUnbind {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Ldap = std::unique_ptr<LDAP, LdapUnbind>;
struct LdapMsgFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using LdapMsg = std::unique_ptr<LDAPMessage, LdapMsgFree>;

// A v3 connection to url with 2 s time-outs, so that a dead server fails
// calls instead of hanging; bound as dn unless dn is empty. rc gets the
// last call's result; null only when url does not parse.
Ldap LdapConnect(const std::string& url, const std::string& dn, const std::string& password,
                 int* rc = nullptr);

// Values of attr on dn (a base search); rc gets the search's result.
std::vector<std::string> LdapValues(LDAP* ld, const std::string& dn, const char* attr,
                                    int* rc = nullptr);

// The suffix entry of tools/slapd.sh's tree (dc=arbor, o=arbor).
int LdapAddSuffix(LDAP* ld, const std::string& suffix);

// Replaces dn's description: the cheapest change to watch replicate.
int LdapDescribe(LDAP* ld, const std::string& dn, const char* text);

} // namespace arbortest
