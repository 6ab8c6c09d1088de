// libldap calls of the LDAP store with their limits and result mapping.
#pragma once

#include "ldap_store.h"

#include <map>
#include <string>
#include <vector>

namespace pdksa::ldapops {

constexpr int kNetworkTimeoutSec = 2; // connecting
constexpr int kOpTimeoutSec = 5;      // every operation, client and server side

struct Entry {
    std::string dn;
    std::map<std::string, std::vector<std::string>> attrs; // by lower-case name
    const std::string* First(const std::string& attr) const;
    const std::vector<std::string>& All(const std::string& attr) const;
};

// A directory code for an LDAP result; marks the handle dead when the
// server is gone or too slow, so that the pool drops it.
int Map(int ldapRc, LdapHandle& h);

// Searches; LDAP result codes. sizeLimit 0: none. A size limit reached
// counts as success with the entries so far.
int Search(LdapHandle& h, const std::string& base, int scope, const std::string& filter,
           const std::vector<const char*>& attrs, int sizeLimit, std::vector<Entry>& out);

// One modification of an attribute: op is LDAP_MOD_ADD / _DELETE / _REPLACE.
struct Mod {
    int op;
    std::string attr;
    std::vector<std::string> values;
};
// assertCsn: the modification applies only while the entry's entryCSN is
// still this (RFC 4528), so a read-check-write races nobody.
int Modify(LdapHandle& h, const std::string& dn, const std::vector<Mod>& mods,
           const std::string& assertCsn = "");
int Add(LdapHandle& h, const std::string& dn, const std::vector<Mod>& attrs);
int Delete(LdapHandle& h, const std::string& dn);
int Rename(LdapHandle& h, const std::string& dn, const std::string& newRdn);
int Compare(LdapHandle& h, const std::string& dn, const char* attr, const std::string& value);

// Atomically moves an integer attribute from its value to value + 1 (delete
// the old, add the new in one modification); retried when raced.
int Increment(LdapHandle& h, const std::string& dn, const char* attr, int64_t& now);

} // namespace pdksa::ldapops
