// The LDAP store's tests: the test kit's private slapd, and reads and writes
// on it past the directory library.
#pragma once

#include "slapd.h"

#include <string>
#include <vector>

namespace pdksatest {

using Slapd = arbortest::Slapd;

// Reads and writes on the suffix of url as the exported bind DN, past the
// directory library (what an administrator's ldapsearch/ldapmodify do).
// Values of attr on the entries matching filter, below the base.
std::vector<std::string> LdapValues(const std::string& url, const std::string& filter,
                                    const char* attr);
// Replaces attr's values on the entry rdn,<base>; false on failure.
bool LdapReplace(const std::string& url, const std::string& rdn, const char* attr,
                 const std::vector<std::string>& values);
// A filter's assertion value for any bytes.
std::string LdapFilterValue(const std::string& v);

} // namespace pdksatest
