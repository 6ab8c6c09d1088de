// The LDAP store: settings, the pool of bound handles, the change counter
// behind the read cache, and the making of a new tree.
#include "ldap_store.h"

#include "ascii.h"
#include "ldap_codec.h"
#include "ldap_conn.h"
#include "pdksa.h"
#include "text.h"

#include <ldap.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pdksa {

using ldapops::Entry;
using ldapops::Mod;

namespace {

constexpr const char* kFormat = "pdksa-ldap-1";
constexpr auto kPollEvery = std::chrono::milliseconds(250);
constexpr size_t kMaxIdle = 64;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The service password: the file's first line, at most 4 KiB.
int ReadPassword(const std::string& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return DDCERR_NO_ACCESS;
    char buf[4096];
    in.read(buf, sizeof buf);
    out.assign(buf, static_cast<size_t>(in.gcount()));
    out.resize(std::min(out.find_first_of("\r\n"), out.size()));
    return 0;
}

void SetOptions(LDAP* ld) {
    const int v3 = LDAP_VERSION3, limit = ldapops::kOpTimeoutSec;
    timeval net{ldapops::kNetworkTimeoutSec, 0}, op{ldapops::kOpTimeoutSec, 0};
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v3);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &op);
    ldap_set_option(ld, LDAP_OPT_TIMELIMIT, &limit);
}

// Binds one URL: 0, or the bind's LDAP code (LDAP_SERVER_DOWN and the like
// send the caller to the next URL).
int BindOne(const std::string& url, const LdapSettings& s, const std::string& pw,
            std::unique_ptr<LdapHandle>& out) {
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS || !ld) return LDAP_PARAM_ERROR;
    auto h = std::make_unique<LdapHandle>(ld);
    SetOptions(ld);
    berval cred{pw.size(), const_cast<char*>(pw.data())};
    int rc = ldap_sasl_bind_s(ld, s.bindDn.empty() ? nullptr : s.bindDn.c_str(), LDAP_SASL_SIMPLE,
                              &cred, nullptr, nullptr, nullptr);
    if (rc == LDAP_SUCCESS) out = std::move(h);
    return rc;
}

// The fixed schema and the tree's format mark, with one compare.
int CheckFormat(LdapHandle& h, const LdapSettings& s) {
    int rc = ldapops::Compare(h, s.SchemaDn(), "arborFormat", kFormat);
    switch (rc) {
    case LDAP_COMPARE_TRUE:
        return 0;
    case LDAP_COMPARE_FALSE:
    case LDAP_UNDEFINED_TYPE: // no fixed schema on this server
        return DDCERR_DATABASE_FORMAT;
    case LDAP_NO_SUCH_OBJECT:    // the suffix has no tree (yet)
    case LDAP_NO_SUCH_ATTRIBUTE: // a tree being made
        return DDCERR_NO_REFERRALS;
    default:
        return ldapops::Map(rc, h);
    }
}

} // namespace

LdapHandle::~LdapHandle() {
    // A copy made by fork() shares the parent's socket: an unbind would end
    // the parent's session. Leave it.
    if (ld_ && !Inherited()) ldap_unbind_ext_s(ld_, nullptr, nullptr);
}

bool IsLdapLocator(const std::string& locator) {
    return arbor::StartsWithNoCase(locator, "ldap://") ||
           arbor::StartsWithNoCase(locator, "ldapi://") ||
           arbor::StartsWithNoCase(locator, "ldaps://");
}

int LdapSettingsFor(const std::string& locator, LdapSettings& out) {
    out = LdapSettings{};
    std::istringstream words(locator);
    std::string url;
    while (words >> url) {
        LDAPURLDesc* d = nullptr;
        if (!IsLdapLocator(url) || ldap_url_parse(url.c_str(), &d) != LDAP_URL_SUCCESS)
            return DDCERR_INVALID_PARAMETER;
        if (out.base.empty() && d->lud_dn && *d->lud_dn) out.base = d->lud_dn;
        ldap_free_urldesc(d);
        out.urls.push_back(url);
    }
    if (out.urls.empty()) return DDCERR_INVALID_PARAMETER;
    auto pick = [](const char* env, const char* key) {
        std::string v = Env(env);
        return v.empty() ? ConfValue(key) : v;
    };
    if (out.base.empty()) out.base = pick("ARBOR_DIRECTORY_BASE", "arbor.directory.base=");
    out.bindDn = pick("ARBOR_DIRECTORY_BIND_DN", "arbor.directory.bind-dn=");
    out.passwordFile =
        pick("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", "arbor.directory.bind-password-file=");
    LDAPDN dn = nullptr;
    if (out.base.empty() || ldap_str2dn(out.base.c_str(), &dn, LDAP_DN_FORMAT_LDAPV3) != 0)
        return DDCERR_INVALID_PARAMETER;
    ldap_dnfree(dn);
    return 0;
}

int LdapStore::Connect(std::unique_ptr<LdapHandle>& out) const {
    if (settingsRc_) return settingsRc_;
    std::string pw;
    if (!settings_.passwordFile.empty())
        if (int rc = ReadPassword(settings_.passwordFile, pw)) return rc;
    const size_t n = settings_.urls.size(), start = urlIndex_.load();
    int last = DDCERR_NO_REFERRALS;
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (start + k) % n;
        int rc = BindOne(settings_.urls[i], settings_, pw, out);
        if (rc == LDAP_SUCCESS) {
            urlIndex_.store(i);
            return 0;
        }
        LdapHandle scratch(nullptr);
        last = ldapops::Map(rc, scratch);
        if (last == DDCERR_NO_ACCESS) return last; // wrong credentials: the same everywhere
        last = DDCERR_NO_REFERRALS;
    }
    return last;
}

int LdapStore::Acquire(std::unique_ptr<Conn>& out) {
    {
        std::lock_guard lock(mu_);
        while (!idle_.empty()) {
            out = std::move(idle_.back());
            idle_.pop_back();
            if (!static_cast<LdapConn&>(*out).handle().Inherited()) return 0;
            out.reset();
        }
    }
    std::unique_ptr<LdapHandle> h;
    if (int rc = Connect(h)) return rc;
    if (int rc = CheckFormat(*h, settings_)) return rc;
    out = MakeLdapConn(this, std::move(h));
    return 0;
}

void LdapStore::release(std::unique_ptr<Conn> c) {
    auto& lc = static_cast<LdapConn&>(*c);
    if (lc.handle().Inherited()) return;
    lc.Rollback(); // a call never leaves a change open
    std::lock_guard lock(mu_);
    if (lc.handle().dead) {
        // The server went away: the idle handles to it are as dead, and
        // each would fail one more call. The next Acquire reconnects.
        idle_.clear();
        return;
    }
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(c));
}

// The service account is the store's administrator: whoever may read its
// password could bind as it anyway.
int LdapStore::MaintenanceAccess(bool, bool& readOnly) {
    if (settingsRc_) return settingsRc_;
    if (settings_.passwordFile.empty() || ::access(settings_.passwordFile.c_str(), R_OK) != 0)
        return DDCERR_NO_ACCESS;
    readOnly = false;
    return 0;
}

// The suffix's contextCSN (every value, with several providers): any
// change of it is a change of the tree. Unreadable: move on, so that no
// cached read is trusted while the server cannot be asked.
uint64_t LdapStore::Poll() const {
    if (pollHandle_ && (pollHandle_->dead || pollHandle_->Inherited())) {
        if (pollHandle_->Inherited()) (void)pollHandle_.release(); // the parent's
        pollHandle_.reset();
    }
    std::vector<Entry> es;
    int rc = pollHandle_ ? 0 : Connect(pollHandle_);
    if (rc == 0)
        rc = ldapops::Map(ldapops::Search(*pollHandle_, settings_.base, LDAP_SCOPE_BASE,
                                          "(objectClass=*)", {"contextCSN"}, 0, es),
                          *pollHandle_);
    if (rc != 0) {
        pollHandle_.reset();
        return ++gen_;
    }
    std::vector<std::string> csns =
        es.empty() ? std::vector<std::string>{} : es[0].All("contextcsn");
    std::sort(csns.begin(), csns.end());
    std::string now;
    for (const auto& c : csns)
        now += c + " ";
    if (now != csn_ || now.empty()) {
        csn_ = now;
        return ++gen_;
    }
    return gen_.load();
}

bool LdapReadCache::Current(uint64_t gen) {
    if (gen < gen_) return false; // read before a change this process saw
    if (gen > gen_ || objs_.size() >= kMaxObjects) {
        objs_.clear();
        schemaGen_ = -1;
        gen_ = gen;
    }
    return true;
}

std::shared_ptr<const LdapObj> LdapReadCache::Find(int64_t id, uint64_t gen) {
    std::lock_guard lock(mu_);
    if (gen != gen_) return nullptr;
    auto it = objs_.find(id);
    return it == objs_.end() ? nullptr : it->second;
}

void LdapReadCache::Keep(int64_t id, uint64_t gen, std::shared_ptr<const LdapObj> o) {
    std::lock_guard lock(mu_);
    if (Current(gen)) objs_[id] = std::move(o);
}

bool LdapReadCache::SchemaGeneration(uint64_t gen, int64_t& out) {
    std::lock_guard lock(mu_);
    if (gen != gen_ || schemaGen_ < 0) return false;
    out = schemaGen_;
    return true;
}

void LdapReadCache::KeepSchemaGeneration(uint64_t gen, int64_t value) {
    std::lock_guard lock(mu_);
    if (Current(gen)) schemaGen_ = value;
}

uint64_t LdapStore::Generation() const {
    const auto now = std::chrono::steady_clock::now();
    const auto last =
        std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(polled_.load()));
    if (now - last < kPollEvery) return gen_.load();
    std::unique_lock lock(pollMu_, std::try_to_lock);
    if (!lock.owns_lock()) return gen_.load(); // another thread is asking
    const uint64_t g = Poll();
    polled_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    return g;
}

void LdapStore::Bump() {
    ++gen_;
    polled_.store(0); // the next reader asks the server again
}

} // namespace pdksa
