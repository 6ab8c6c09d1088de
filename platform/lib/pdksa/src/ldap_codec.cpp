// The LDAP store's encodings (see ldap_codec.h).
#include "ldap_codec.h"

#include "pdksa.h"
#include "text.h"

#include <ldap.h>
#include <openssl/sha.h>

#include <charconv>
#include <cstring>
#include <strings.h>

namespace pdksa::ldapcodec {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string& out, char prefix, unsigned char c) {
    out.push_back(prefix);
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence at s[i] (0: malformed).
size_t Utf8Len(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    return ValidUtf8(s.substr(i, n)) ? n : 0;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) {
        if (!s.empty()) s.push_back('\n');
        s += x;
    }
    return s;
}

std::vector<std::string> Split(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find('\n', i);
        if (j == std::string_view::npos) j = s.size();
        if (j > i) out.emplace_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

template <class T> bool ParseU32(std::string_view s, T& out) {
    int64_t v;
    if (!ParseInt(s, v) || v < 0 || v > UINT32_MAX) return false;
    out = static_cast<T>(v);
    return true;
}

bool SameText(const berval& a, const berval& b) {
    return a.bv_len == b.bv_len && strncasecmp(a.bv_val, b.bv_val, a.bv_len) == 0;
}

// The base's RDNs as the server spells them may differ in case only.
bool SameRdn(LDAPRDN a, LDAPRDN b) {
    size_t i = 0;
    for (; a[i] && b[i]; ++i)
        if (!SameText(a[i]->la_attr, b[i]->la_attr) || !SameText(a[i]->la_value, b[i]->la_value))
            return false;
    return !a[i] && !b[i];
}

} // namespace

std::string Pack(const std::vector<std::string_view>& fields) {
    std::string out;
    for (auto f : fields) {
        out += std::to_string(f.size());
        out.push_back(':');
        out.append(f);
    }
    return out;
}

bool Unpack(std::string_view s, size_t n, std::vector<std::string_view>& out) {
    out.clear();
    size_t i = 0;
    while (i < s.size() && out.size() < n) {
        size_t colon = s.find(':', i);
        if (colon == std::string_view::npos || colon == i || colon - i > 10) return false;
        size_t len = 0;
        auto [p, ec] = std::from_chars(s.data() + i, s.data() + colon, len);
        if (ec != std::errc() || p != s.data() + colon || len > s.size() - colon - 1) return false;
        out.push_back(s.substr(colon + 1, len));
        i = colon + 1 + len;
    }
    return i == s.size() && out.size() == n;
}

bool ParseInt(std::string_view s, int64_t& out) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

// back-mdb keeps an entry's RDN in a sorted duplicate item of at most 511
// bytes with its normalised form: a longer name keeps a short prefix and a
// SHA-256 of the whole ("%~" never starts an escape, so no plain name
// collides with it).
std::string RdnAttr(std::string_view folded) {
    constexpr size_t kMaxRdn = 120, kPrefix = 40;
    std::string enc;
    size_t cut = 0; // a unit boundary at most kPrefix bytes in
    for (size_t i = 0; i < folded.size();) {
        const auto c = static_cast<unsigned char>(folded[i]);
        const size_t n = Utf8Len(folded, i);
        if (n == 0 || c < 0x20 || c == 0x7f || c == '%') {
            AppendHex(enc, '%', c);
            ++i;
        } else {
            enc.append(folded.substr(i, n));
            i += n;
        }
        if (enc.size() <= kPrefix) cut = enc.size();
    }
    if (enc.empty()) return "%"; // never empty; no encoded name is a lone '%'
    if (enc.size() <= kMaxRdn) return enc;
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(folded.data()), folded.size(), md);
    enc.resize(cut);
    enc += "%~";
    for (unsigned char b : md) {
        enc.push_back(kHex[b >> 4]);
        enc.push_back(kHex[b & 15]);
    }
    return enc;
}

std::string RdnValue(std::string_view folded) {
    const std::string enc = RdnAttr(folded);
    std::string out;
    for (size_t i = 0; i < enc.size(); ++i) {
        const char c = enc[i];
        const bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == enc.size() && c == ' ');
        if (edge || std::strchr(",+\"\\<>;=", c)) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string RdnName(std::string_view value) {
    if (value == "%") return {};
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        int hi, lo;
        if (value[i] == '%' && i + 2 < value.size() && (hi = HexDigit(value[i + 1])) >= 0 &&
            (lo = HexDigit(value[i + 2])) >= 0) {
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

std::string DnOfPath(std::string_view lpath, const std::string& rootDn) {
    std::string dn = rootDn;
    for (const auto& comp : SplitPath(lpath))
        dn = "arborRdn=" + RdnValue(comp) + "," + dn;
    return dn;
}

// The arborRdn values of dn below rootDn, leaf first; false when dn is not
// an object's DN below it.
bool RdnValues(const std::string& dn, const std::string& rootDn, std::vector<std::string>& out) {
    LDAPDN parsed = nullptr, root = nullptr;
    out.clear();
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
    bool ok = ldap_str2dn(rootDn.c_str(), &root, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS;
    size_t n = 0, rootN = 0;
    while (parsed && parsed[n])
        ++n;
    while (ok && root && root[rootN])
        ++rootN;
    ok = ok && n >= rootN;
    for (size_t i = 0; ok && i < rootN; ++i)
        ok = SameRdn(parsed[n - rootN + i], root[i]);
    for (size_t i = 0; ok && i + rootN < n; ++i) {
        LDAPAVA* ava = parsed[i][0];
        ok = ava && !parsed[i][1] && !(ava->la_flags & LDAP_AVA_BINARY) &&
             SameText(ava->la_attr, berval{8, const_cast<char*>("arborRdn")});
        if (ok) out.emplace_back(ava->la_value.bv_val, ava->la_value.bv_len);
    }
    ldap_dnfree(parsed);
    ldap_dnfree(root);
    return ok;
}

bool PathOfDn(const std::string& dn, const std::string& rootDn, std::string& lpath) {
    std::vector<std::string> rdns;
    if (!RdnValues(dn, rootDn, rdns)) return false;
    std::vector<std::string> comps;
    for (auto it = rdns.rbegin(); it != rdns.rend(); ++it)
        comps.push_back(RdnName(*it));
    lpath = JoinPath(comps);
    return true;
}

bool DnNamesPath(const std::string& dn, const std::string& rootDn, std::string_view lpath) {
    std::vector<std::string> rdns;
    if (!RdnValues(dn, rootDn, rdns)) return false;
    const auto comps = SplitPath(lpath);
    if (comps.size() != rdns.size()) return false;
    for (size_t i = 0; i < comps.size(); ++i)
        if (RdnAttr(comps[i]) != rdns[rdns.size() - 1 - i]) return false;
    return true;
}

std::string FilterValue(std::string_view v) {
    std::string out;
    for (char ch : v) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            out.push_back(ch);
        else
            AppendHex(out, '\\', c);
    }
    return out;
}

std::string EncodeValue(const std::string& lattr, size_t seq, const Value& v) {
    const bool name = v.syntax == DDC_SYN_DIST_NAME;
    const std::string s = std::to_string(seq), syn = std::to_string(v.syntax),
                      ref = std::to_string(v.ref), priv = std::to_string(v.priv);
    return Pack({lattr, s, syn, ref, priv, name ? "" : v.v, name ? "" : v.lv});
}

bool DecodeValue(std::string_view s, std::string& lattr, int64_t& seq, Value& v) {
    std::vector<std::string_view> f;
    if (!Unpack(s, 7, f) || !ParseInt(f[1], seq) || !ParseU32(f[2], v.syntax) ||
        !ParseInt(f[3], v.ref) || !ParseU32(f[4], v.priv))
        return false;
    lattr = f[0];
    v.v = f[5];
    v.lv = f[6];
    return true;
}

std::string EncodePassword(const PasswordHash& h) {
    const std::string iter = std::to_string(h.iter);
    return Pack({"1",
                 {reinterpret_cast<const char*>(h.salt), sizeof h.salt},
                 {reinterpret_cast<const char*>(h.hash), sizeof h.hash},
                 iter});
}

bool DecodePassword(std::string_view s, PasswordHash& h) {
    std::vector<std::string_view> f;
    if (!Unpack(s, 4, f) || f[0] != "1" || f[1].size() != sizeof h.salt ||
        f[2].size() != sizeof h.hash || !ParseInt(f[3], h.iter) || h.iter <= 0)
        return false;
    std::memcpy(h.salt, f[1].data(), sizeof h.salt);
    std::memcpy(h.hash, f[2].data(), sizeof h.hash);
    return true;
}

std::string EncodeIntruder(const IntruderState& st) {
    const std::string a = std::to_string(st.attempts), f = std::to_string(st.first),
                      l = std::to_string(st.lockedUntil);
    return Pack({a, f, l});
}

bool DecodeIntruder(std::string_view s, IntruderState& st) {
    std::vector<std::string_view> f;
    if (!Unpack(s, 3, f) || !ParseInt(f[0], st.attempts) || !ParseInt(f[1], st.first) ||
        !ParseInt(f[2], st.lockedUntil))
        return false;
    st.present = true;
    return true;
}

std::string EncodeAttrDef(const AttrDef& d) {
    const std::string fl = std::to_string(d.flags), sy = std::to_string(d.syntax),
                      lo = std::to_string(d.lower), up = std::to_string(d.upper);
    return Pack({d.name, fl, sy, lo, up, d.standard ? "1" : "0"});
}

bool DecodeAttrDef(std::string_view s, AttrDef& d) {
    std::vector<std::string_view> f;
    if (!Unpack(s, 6, f) || !ParseU32(f[1], d.flags) || !ParseU32(f[2], d.syntax) ||
        !ParseU32(f[3], d.lower) || !ParseU32(f[4], d.upper))
        return false;
    d.name = f[0];
    d.standard = f[5] == "1";
    return true;
}

std::string EncodeClassDef(const ClassDef& d) {
    const std::string fl = std::to_string(d.flags), co = Join(d.contain), na = Join(d.naming),
                      ma = Join(d.mandatory), op = Join(d.optional);
    return Pack({d.name, fl, d.super, co, na, ma, op, d.standard ? "1" : "0"});
}

bool DecodeClassDef(std::string_view s, ClassDef& d) {
    std::vector<std::string_view> f;
    if (!Unpack(s, 8, f) || !ParseU32(f[1], d.flags)) return false;
    d.name = f[0];
    d.super = f[2];
    d.contain = Split(f[3]);
    d.naming = Split(f[4]);
    d.mandatory = Split(f[5]);
    d.optional = Split(f[6]);
    d.standard = f[7] == "1";
    return true;
}

} // namespace pdksa::ldapcodec
