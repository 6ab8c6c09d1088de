// libldap calls of the LDAP store (see ldap_ops.h).
#include "ldap_ops.h"

#include "ldap_codec.h"
#include "pdksa.h"

#include <ldap.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace pdksa::ldapops {

namespace {

struct MsgFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Msg = std::unique_ptr<LDAPMessage, MsgFree>;

timeval OpTimeout() {
    return timeval{kOpTimeoutSec, 0};
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void ReadEntry(LDAP* ld, LDAPMessage* e, Entry& out) {
    if (char* dn = ldap_get_dn(ld, e)) {
        out.dn = dn;
        ldap_memfree(dn);
    }
    BerElement* ber = nullptr;
    for (char* a = ldap_first_attribute(ld, e, &ber); a; a = ldap_next_attribute(ld, e, ber)) {
        auto& vals = out.attrs[Lower(a)];
        if (berval** bv = ldap_get_values_len(ld, e, a)) {
            for (size_t i = 0; bv[i]; ++i)
                vals.emplace_back(bv[i]->bv_val, bv[i]->bv_len);
            ldap_value_free_len(bv);
        }
        ldap_memfree(a);
    }
    if (ber) ber_free(ber, 0);
}

// LDAPMod arrays over the Mods' strings, alive as long as this is.
class ModArray {
  public:
    explicit ModArray(const std::vector<Mod>& mods) {
        for (const auto& m : mods) {
            auto& bvs = vals_.emplace_back();
            for (const auto& v : m.values)
                bvs.push_back(berval{v.size(), const_cast<char*>(v.data())});
            ptrs_.emplace_back();
        }
        for (size_t i = 0; i < mods.size(); ++i) {
            for (auto& bv : vals_[i])
                ptrs_[i].push_back(&bv);
            ptrs_[i].push_back(nullptr);
            LDAPMod m{};
            m.mod_op = mods[i].op | LDAP_MOD_BVALUES;
            m.mod_type = const_cast<char*>(mods[i].attr.c_str());
            m.mod_bvalues = ptrs_[i].data();
            mods_.push_back(m);
        }
        for (auto& m : mods_)
            list_.push_back(&m);
        list_.push_back(nullptr);
    }
    LDAPMod** get() { return list_.data(); }

  private:
    std::vector<std::vector<berval>> vals_;
    std::vector<std::vector<berval*>> ptrs_;
    std::vector<LDAPMod> mods_;
    std::vector<LDAPMod*> list_;
};

} // namespace

const std::string* Entry::First(const std::string& attr) const {
    auto it = attrs.find(attr);
    return it == attrs.end() || it->second.empty() ? nullptr : &it->second.front();
}

const std::vector<std::string>& Entry::All(const std::string& attr) const {
    static const std::vector<std::string> kNone;
    auto it = attrs.find(attr);
    return it == attrs.end() ? kNone : it->second;
}

int Map(int rc, LdapHandle& h) {
    switch (rc) {
    case LDAP_SUCCESS:
        return 0;
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_DECODING_ERROR:
    case LDAP_ENCODING_ERROR:
        h.dead = true;
        return DDCERR_NO_REFERRALS;
    case LDAP_UNAVAILABLE:
    case LDAP_BUSY:
    case LDAP_UNWILLING_TO_PERFORM:
    case LDAP_ASSERTION_FAILED: // raced another writer: the caller tries again
        return DDCERR_NO_REFERRALS;
    case LDAP_NO_SUCH_OBJECT:
        return DDCERR_NO_SUCH_ENTRY;
    case LDAP_ALREADY_EXISTS:
        return DDCERR_ENTRY_ALREADY_EXISTS;
    case LDAP_INVALID_CREDENTIALS:
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_STRONG_AUTH_REQUIRED:
        return DDCERR_NO_ACCESS;
    case LDAP_UNDEFINED_TYPE:
    case LDAP_OBJECT_CLASS_VIOLATION:
    case LDAP_NO_SUCH_ATTRIBUTE:
        return DDCERR_DATABASE_FORMAT;
    case LDAP_INVALID_DN_SYNTAX:
    case LDAP_NAMING_VIOLATION:
        return DDCERR_ILLEGAL_DS_NAME;
    case LDAP_NO_MEMORY:
        return DDCERR_NOT_ENOUGH_MEMORY;
    case LDAP_NOT_ALLOWED_ON_NONLEAF:
        return DDCERR_ENTRY_IS_NOT_LEAF;
    default:
        return DDCERR_SYSTEM_FAILURE;
    }
}

int Search(LdapHandle& h, const std::string& base, int scope, const std::string& filter,
           const std::vector<const char*>& attrs, int sizeLimit, std::vector<Entry>& out) {
    out.clear();
    std::vector<char*> names;
    for (const char* a : attrs)
        names.push_back(const_cast<char*>(a));
    names.push_back(nullptr);
    timeval tv = OpTimeout();
    LDAPMessage* raw = nullptr;
    int rc = ldap_search_ext_s(h.get(), base.c_str(), scope, filter.c_str(), names.data(), 0,
                               nullptr, nullptr, &tv, sizeLimit, &raw);
    Msg res(raw);
    if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return rc;
    for (LDAPMessage* e = ldap_first_entry(h.get(), raw); e; e = ldap_next_entry(h.get(), e))
        ReadEntry(h.get(), e, out.emplace_back());
    return LDAP_SUCCESS;
}

int Modify(LdapHandle& h, const std::string& dn, const std::vector<Mod>& mods,
           const std::string& assertCsn) {
    ModArray arr(mods);
    LDAPControl* ctrl = nullptr;
    if (!assertCsn.empty()) {
        const std::string f = "(entryCSN=" + ldapcodec::FilterValue(assertCsn) + ")";
        if (int rc = ldap_create_assertion_control(h.get(), const_cast<char*>(f.c_str()), 1, &ctrl))
            return rc;
    }
    LDAPControl* ctrls[] = {ctrl, nullptr};
    int rc = ldap_modify_ext_s(h.get(), dn.c_str(), arr.get(), ctrl ? ctrls : nullptr, nullptr);
    if (ctrl) ldap_control_free(ctrl);
    return rc;
}

int Add(LdapHandle& h, const std::string& dn, const std::vector<Mod>& attrs) {
    ModArray arr(attrs);
    return ldap_add_ext_s(h.get(), dn.c_str(), arr.get(), nullptr, nullptr);
}

int Delete(LdapHandle& h, const std::string& dn) {
    return ldap_delete_ext_s(h.get(), dn.c_str(), nullptr, nullptr);
}

int Rename(LdapHandle& h, const std::string& dn, const std::string& newRdn) {
    return ldap_rename_s(h.get(), dn.c_str(), newRdn.c_str(), nullptr, 1, nullptr, nullptr);
}

int Compare(LdapHandle& h, const std::string& dn, const char* attr, const std::string& value) {
    berval bv{value.size(), const_cast<char*>(value.data())};
    return ldap_compare_ext_s(h.get(), dn.c_str(), attr, &bv, nullptr, nullptr);
}

int Increment(LdapHandle& h, const std::string& dn, const char* attr, int64_t& now) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<Entry> es;
        if (int rc = Search(h, dn, LDAP_SCOPE_BASE, "(objectClass=*)", {attr}, 0, es)) return rc;
        const std::string* cur = es.empty() ? nullptr : es[0].First(Lower(attr));
        int64_t v = 0;
        if (!cur || !ldapcodec::ParseInt(*cur, v)) return LDAP_NO_SUCH_ATTRIBUTE;
        now = v + 1;
        int rc = Modify(
            h, dn, {{LDAP_MOD_DELETE, attr, {*cur}}, {LDAP_MOD_ADD, attr, {std::to_string(now)}}});
        if (rc != LDAP_NO_SUCH_ATTRIBUTE) return rc; // raced: read again
    }
    return LDAP_BUSY;
}

} // namespace pdksa::ldapops
