// The directory on an LDAP server: libkdx reads and MSGFindUser through the
// LDAP store, against raw libldap base searches of the same entries in the
// same run. A private slapd (tools/slapd.sh) holds a directory as the setup
// tool leaves it plus kUsers users in ten departments.
//
//   raw search     one synchronous base search of a user's entry for its
//                  values: the least a read from the server can cost
//   cold KDXRead   the first read of a user (name and values from the server)
//   warm KDXRead   a user read before (the process's read cache)
//   MSGFindUser    warm: the address index built
#include "find_user.h"
#include "kdx.h"
#include "msgsrv.h"
#include "pdksa.h"
#include "quillschema.h"
#include "slapd.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <ldap.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kUsers = 2000, kDepartments = 10;

struct World {
    arbortest::TempDir tmp{"ldap-bench"};
    arbortest::Slapd slapd;
    LDAP* ld = nullptr;
    std::vector<std::string> names, dns; // relative to the tree, and raw DNs
    double rawNs = 0;
    bool ok = false;

    World() { ok = Start() && Populate() && MSGSrvInit() && KDXInit() == 1 && Bind(); }
    ~World() {
        if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
        KDXShutdown();
    }

    bool Start() {
        const char* port = std::getenv("ARBOR_BENCH_LDAP_PORT");
        const std::string err =
            slapd.Start(tmp.Str() + "/slapd", port && *port ? std::atoi(port) : 22389);
        if (!err.empty()) std::fprintf(stderr, "slapd: %s\n", err.c_str());
        if (!err.empty()) return false;
        slapd.Export();
        const std::string conf = tmp.Str() + "/arbor.conf";
        std::ofstream(conf) << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
                               "orb.arbor.server-context=o=org\n";
        setenv("ARBOR_CONF", conf.c_str(), 1);
        setenv("ARBOR_DIRECTORY_URL", slapd.Url().c_str(), 1);
        return PDKCreateStore(slapd.Url().c_str()) == 0;
    }

    // The setup tool's schema and server, then the users with addresses.
    bool Populate() {
        DDCContextHandle c = 0;
        if (DDCCreateContext(1, &c) || PDKLoginMaintenance(c)) return false;
        auto create = [&](const std::string& name, const char* cls, const char* attr = nullptr,
                          const std::string& value = {}) {
            DDCEntry e[2] = {{0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls},
                             {0, DDC_SYN_TEXT, 0, 0, attr, 0, 0, value.c_str()}};
            return DDCCreateEntry(c, name.c_str(), attr ? 2 : 1, e);
        };
        int bad = create("\\ACME", "Tree Root") + create("\\ACME\\org", "Organization") +
                  create("\\ACME\\org\\Admin", "User") +
                  create("\\ACME\\org\\MAIL1", "TWP Server", "Network Address", "127.0.6.31");
        quill::Site site;
        if (bad || !quill::Site::FromConfig(site)) return false;
        quill::DefineSchema(c, site, nullptr);
        quill::ServerConfig cfg;
        cfg.msgServerName = site.msgServerName;
        cfg.officialName = "example.org";
        quill::CreateServer(c, site, "\\ACME\\org\\Admin", cfg, nullptr);
        const std::string root = slapd.Suffix();
        for (int d = 0; d < kDepartments && !bad; ++d) {
            const std::string dept = "dept" + std::to_string(d);
            bad = create("\\ACME\\org\\" + dept, "Organizational Unit");
            for (int u = 0; u < kUsers / kDepartments && !bad; ++u) {
                const std::string user = "user" + std::to_string(d * (kUsers / kDepartments) + u);
                bad = create("\\ACME\\org\\" + dept + "\\" + user, "User", "Velmora:EMail Address",
                             user + "@example.org");
                names.push_back("org\\" + dept + "\\" + user);
                // Where the store keeps it: folded names below the root object.
                dns.push_back("arborRdn=" + user + ",arborRdn=" + dept +
                              ",arborRdn=org,arborRdn=acme,arborId=1," + root);
            }
        }
        DDCFreeContext(c);
        if (bad) std::fprintf(stderr, "populating failed: %d\n", bad);
        return !bad;
    }

    bool Bind() {
        std::string pw;
        std::ifstream(slapd.PasswordFile()) >> pw;
        berval cred{static_cast<ber_len_t>(pw.size()), pw.data()};
        int v3 = LDAP_VERSION3;
        return ldap_initialize(&ld, slapd.Url().c_str()) == LDAP_SUCCESS &&
               ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v3) == LDAP_OPT_SUCCESS &&
               ldap_sasl_bind_s(ld, slapd.BindDn().c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                                nullptr, nullptr) == LDAP_SUCCESS;
    }
};

World& SharedWorld() {
    static World w;
    return w;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Rates(benchmark::State& state, double seconds, double baselineNs) {
    const double n = static_cast<double>(state.iterations());
    state.counters["reads_per_s"] = n / seconds;
    if (baselineNs > 0) state.counters["x_raw_search"] = seconds * 1e9 / n / baselineNs;
}

void BM_RawSearch(benchmark::State& state) {
    World& w = SharedWorld();
    if (!w.ok) return state.SkipWithError("no directory");
    char attr[] = "arborValue";
    char* attrs[] = {attr, nullptr};
    size_t i = 0, bad = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        LDAPMessage* res = nullptr;
        const std::string& dn = w.dns[i++ % w.dns.size()];
        if (ldap_search_ext_s(w.ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                              nullptr, nullptr, nullptr, 0, &res) != LDAP_SUCCESS ||
            ldap_count_entries(w.ld, res) != 1)
            ++bad;
        ldap_msgfree(res);
    }
    const double s = Seconds(t0);
    w.rawNs = s * 1e9 / static_cast<double>(state.iterations());
    Rates(state, s, 0);
    state.SetLabel("baseline: libldap base search of the same entry");
    if (bad) state.SkipWithError("raw search failed");
}

// Every iteration reads a user no call has read yet.
void BM_KDXReadCold(benchmark::State& state) {
    World& w = SharedWorld();
    if (!w.ok) return state.SkipWithError("no directory");
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    size_t i = 0, bad = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        bad += KDXRead(w.names[i++].c_str(), "Velmora:EMail Address", &vs) != 1;
        KDXFreeValues(&vs);
    }
    Rates(state, Seconds(t0), w.rawNs);
    state.counters["vs_goal_1.5x"] = state.counters["x_raw_search"] / 1.5;
    KDXDestroyValueStruct(&vs);
    state.SetLabel("first read of each user");
    if (bad) state.SkipWithError("KDXRead failed");
}

// The same 64 users over and over: every read a cache hit.
void BM_KDXReadWarm(benchmark::State& state) {
    World& w = SharedWorld();
    if (!w.ok) return state.SkipWithError("no directory");
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    for (size_t i = 0; i < 64; ++i) {
        KDXRead(w.names[i].c_str(), "Velmora:EMail Address", &vs);
        KDXFreeValues(&vs);
    }
    size_t i = 0, bad = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        bad += KDXRead(w.names[i++ % 64].c_str(), "Velmora:EMail Address", &vs) != 1;
        KDXFreeValues(&vs);
    }
    const double s = Seconds(t0);
    Rates(state, s, w.rawNs);
    state.counters["vs_goal_100000"] = static_cast<double>(state.iterations()) / s / 100000.0;
    KDXDestroyValueStruct(&vs);
    state.SetLabel("cache hits");
    if (bad) state.SkipWithError("KDXRead failed");
}

void BM_FindUserWarm(benchmark::State& state) {
    World& w = SharedWorld();
    if (!w.ok) return state.SkipWithError("no directory");
    // The index, and every user once, before the clock starts.
    const auto run = arborbench::TimeFindUser(state, kUsers, kUsers);
    state.counters["lookups_per_s"] = run.perSecond;
    state.counters["vs_goal_50000"] = run.perSecond / 50000.0;
    state.counters["found_share"] = run.foundShare;
    if (w.rawNs > 0) state.counters["x_raw_search"] = 1e9 / run.perSecond / w.rawNs;
    state.SetLabel("warm: index built");
}

} // namespace

BENCHMARK(BM_RawSearch)->Iterations(4000);
BENCHMARK(BM_KDXReadCold)->Iterations(kUsers);
BENCHMARK(BM_KDXReadWarm);
BENCHMARK(BM_FindUserWarm);

BENCHMARK_MAIN();
