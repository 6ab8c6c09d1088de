// How the LDAP store writes the directory's data into LDAP: names into DNs,
// typed values, hashes and definitions into octet strings, and look-up keys
// into filters. Pure functions, so every escape is tested without a server.
#pragma once

#include "store.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pdksa::ldapcodec {

// Fields of an octet-string value: each "<length>:<bytes>", so any byte,
// NUL and separators included, survives.
std::string Pack(const std::vector<std::string_view>& fields);
// False unless s is exactly n well-formed fields.
bool Unpack(std::string_view s, size_t n, std::vector<std::string_view>& out);
bool ParseInt(std::string_view s, int64_t& out);

// The RDN value of a folded relative name: the name itself where it is
// printable UTF-8, '%XX' for '%', control bytes and malformed UTF-8 (slapd
// takes only UTF-8 in DNs); then RFC 4514 escaping.
std::string RdnValue(std::string_view folded);
// RdnValue before the RFC 4514 escaping: the value as the entry holds it.
std::string RdnAttr(std::string_view folded);
// The inverse of RdnValue's '%XX' step (after the DN is parsed).
std::string RdnName(std::string_view value);
// "arborRdn=<a>,...,arborId=1,<base>" for a folded full path.
std::string DnOfPath(std::string_view lpath, const std::string& rootDn);
// The folded full path of a DN below rootDn; false when it is not one. Lossy
// for long names (see RdnAttr): DnNamesPath is the exact check.
bool PathOfDn(const std::string& dn, const std::string& rootDn, std::string& lpath);
// Whether dn is the DN of the folded full path lpath.
bool DnNamesPath(const std::string& dn, const std::string& rootDn, std::string_view lpath);
// Every byte but letters and digits as "\XX" (RFC 4515): safe in any filter.
std::string FilterValue(std::string_view v);

std::string EncodeValue(const std::string& lattr, size_t seq, const Value& v);
// The folded attribute and order of one stored value.
bool DecodeValue(std::string_view s, std::string& lattr, int64_t& seq, Value& v);
std::string EncodePassword(const PasswordHash& h);
bool DecodePassword(std::string_view s, PasswordHash& h);
std::string EncodeIntruder(const IntruderState& st);
bool DecodeIntruder(std::string_view s, IntruderState& st);
std::string EncodeAttrDef(const AttrDef& d);
bool DecodeAttrDef(std::string_view s, AttrDef& d);
std::string EncodeClassDef(const ClassDef& d);
bool DecodeClassDef(std::string_view s, ClassDef& d);

} // namespace pdksa::ldapcodec
