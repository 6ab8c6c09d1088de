// The private slapd of tools/slapd.sh, reached through libldap: the ground
// the LDAP store stands on. It must serve its suffix to its root DN only,
// keep the suffix's contextCSN (syncprov) moving with every change, and,
// once stopped, make calls fail at once rather than hang.
#include "process.h"
#include "temp_dir.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A shell command's exit status (gtest's fixtures have a Run of their own).
int Sh(const std::string& command, std::string* out = nullptr) {
    return arbortest::Run(command, out);
}
using arbortest::ShellQuote;

constexpr const char* kSyncControl = "1.3.6.1.4.1.4203.1.9.1.1";

// A port nobody listens on right now (the kernel's pick).
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

std::string Script() {
    return "bash " + ShellQuote(arbortest::SourceDir() + "/tools/slapd.sh");
}

struct Unbind {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Ldap = std::unique_ptr<LDAP, Unbind>;
struct MsgFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Msg = std::unique_ptr<LDAPMessage, MsgFree>;

class SlapdTest : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"pdksa-slapd"};
    std::string dir = tmp.Str();
    std::map<std::string, std::string> env;

    void SetUp() override {
        const int port = FreePort();
        ASSERT_GT(port, 0);
        std::string out;
        ASSERT_EQ(Sh(Script() + " start " + ShellQuote(dir) + " " + std::to_string(port), &out), 0)
            << out << arbortest::ReadFile(dir + "/slapd.log");
        std::istringstream in(arbortest::ReadFile(dir + "/env"));
        for (std::string line; std::getline(in, line);)
            if (auto eq = line.find('='); eq != std::string::npos)
                env[line.substr(0, eq)] = line.substr(eq + 1);
        ASSERT_EQ(env["URL"], "ldap://127.0.0.1:" + std::to_string(port) + "/");
    }
    void TearDown() override { Stop(); }
    void Stop() { EXPECT_EQ(Sh(Script() + " stop " + ShellQuote(dir)), 0); }

    // A connection with the time-outs the store will use; rc is the bind's.
    Ldap Connect(const std::string& password, int& rc) {
        LDAP* raw = nullptr;
        rc = ldap_initialize(&raw, env["URL"].c_str());
        Ldap ld(raw);
        if (rc != LDAP_SUCCESS) return ld;
        int v3 = LDAP_VERSION3;
        timeval tv{2, 0};
        ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &v3);
        ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
        ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
        berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
        rc = ldap_sasl_bind_s(raw, env["BIND_DN"].c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                              nullptr, nullptr);
        return ld;
    }
    Ldap Admin() {
        int rc;
        Ldap ld = Connect(arbortest::ReadFile(env["BIND_PW_FILE"]), rc);
        EXPECT_EQ(rc, LDAP_SUCCESS) << ldap_err2string(rc);
        return ld;
    }

    // Values of attr on the entry dn (base search); rc is the search's.
    static std::vector<std::string> Read(LDAP* ld, const std::string& dn, const char* attr,
                                         int& rc) {
        char* attrs[] = {const_cast<char*>(attr), nullptr};
        timeval tv{2, 0};
        LDAPMessage* raw = nullptr;
        rc = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0,
                               nullptr, nullptr, &tv, 0, &raw);
        Msg res(raw);
        std::vector<std::string> out;
        if (rc != LDAP_SUCCESS) return out;
        LDAPMessage* e = ldap_first_entry(ld, raw);
        berval** vals = e ? ldap_get_values_len(ld, e, attr) : nullptr;
        for (size_t i = 0; vals && vals[i]; ++i)
            out.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
        ldap_value_free_len(vals);
        return out;
    }

    static int AddSuffix(LDAP* ld, const std::string& suffix) {
        char* classes[] = {const_cast<char*>("dcObject"), const_cast<char*>("organization"),
                           nullptr};
        char* o[] = {const_cast<char*>("arbor"), nullptr};
        char* dc[] = {const_cast<char*>("arbor"), nullptr};
        LDAPMod m1{LDAP_MOD_ADD, const_cast<char*>("objectClass"), {classes}};
        LDAPMod m2{LDAP_MOD_ADD, const_cast<char*>("o"), {o}};
        LDAPMod m3{LDAP_MOD_ADD, const_cast<char*>("dc"), {dc}};
        LDAPMod* mods[] = {&m1, &m2, &m3, nullptr};
        return ldap_add_ext_s(ld, suffix.c_str(), mods, nullptr, nullptr);
    }

    static int Describe(LDAP* ld, const std::string& dn, const char* text) {
        char* v[] = {const_cast<char*>(text), nullptr};
        LDAPMod m{LDAP_MOD_REPLACE, const_cast<char*>("description"), {v}};
        LDAPMod* mods[] = {&m, nullptr};
        return ldap_modify_ext_s(ld, dn.c_str(), mods, nullptr, nullptr);
    }
};

TEST_F(SlapdTest, ServesTheSuffixWithSyncprovToItsRootDnOnly) {
    int rc;
    Ldap anon;
    {
        LDAP* raw = nullptr;
        ASSERT_EQ(ldap_initialize(&raw, env["URL"].c_str()), LDAP_SUCCESS);
        anon.reset(raw);
        int v3 = LDAP_VERSION3;
        ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &v3);
    }
    // The root DSE names the suffix and offers the sync control, which only
    // the syncprov overlay brings.
    EXPECT_EQ(Read(anon.get(), "", "namingContexts", rc), std::vector<std::string>{"dc=arbor"});
    ASSERT_EQ(rc, LDAP_SUCCESS);
    const auto controls = Read(anon.get(), "", "supportedControl", rc);
    EXPECT_NE(std::find(controls.begin(), controls.end(), kSyncControl), controls.end());

    Connect("not the password", rc);
    EXPECT_EQ(rc, LDAP_INVALID_CREDENTIALS);
    Ldap admin = Admin();
    ASSERT_EQ(AddSuffix(admin.get(), env["SUFFIX"]), LDAP_SUCCESS);
    EXPECT_EQ(Read(admin.get(), env["SUFFIX"], "o", rc), std::vector<std::string>{"arbor"});
    // Nobody else reads the data.
    Read(anon.get(), env["SUFFIX"], "o", rc);
    EXPECT_EQ(rc, LDAP_NO_SUCH_OBJECT);
}

TEST_F(SlapdTest, ContextCsnMovesWithEveryChange) {
    Ldap ld = Admin();
    const std::string suffix = env["SUFFIX"];
    ASSERT_EQ(AddSuffix(ld.get(), suffix), LDAP_SUCCESS);
    int rc;
    std::vector<std::string> last = Read(ld.get(), suffix, "contextCSN", rc);
    ASSERT_EQ(last.size(), 1u);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(Describe(ld.get(), suffix, text), LDAP_SUCCESS);
        const auto now = Read(ld.get(), suffix, "contextCSN", rc);
        ASSERT_EQ(now.size(), 1u);
        // CSNs start with a UTC time stamp: later changes sort later.
        EXPECT_GT(now[0], last[0]) << text;
        last = now;
    }
    // A read changes nothing.
    Read(ld.get(), suffix, "description", rc);
    EXPECT_EQ(Read(ld.get(), suffix, "contextCSN", rc), last);
}

TEST_F(SlapdTest, StoppedServerFailsCallsInsteadOfHanging) {
    Ldap ld = Admin();
    ASSERT_EQ(AddSuffix(ld.get(), env["SUFFIX"]), LDAP_SUCCESS);
    Stop();
    int rc;
    Read(ld.get(), env["SUFFIX"], "o", rc);
    EXPECT_EQ(rc, LDAP_SERVER_DOWN);
    Connect(arbortest::ReadFile(env["BIND_PW_FILE"]), rc);
    EXPECT_EQ(rc, LDAP_SERVER_DOWN);
    // Stopping again is harmless; a second start on the same folder works.
    Stop();
    EXPECT_EQ(Sh(Script() + " start " + ShellQuote(dir) + " " + std::to_string(FreePort())), 0);
}

TEST(SlapdScript, RefusesBadArgumentsAndADoubleStart) {
    arbortest::TempDir tmp{"pdksa-slapd"};
    const std::string d = ShellQuote(tmp.Str());
    for (const std::string& args : std::vector<std::string>{
             "", "start", "start " + d, "start " + d + " 0", "start " + d + " 70000",
             "start " + d + " 12x", "start " + d + " 4000 'dc=a;b'", "stop", "restart " + d})
        EXPECT_NE(Sh(Script() + " " + args + " 2>/dev/null"), 0) << args;
    const std::string port = std::to_string(FreePort());
    ASSERT_EQ(Sh(Script() + " start " + d + " " + port + " >/dev/null"), 0);
    const std::string pid =
        std::to_string(std::atoi(arbortest::ReadFile(tmp.Str() + "/slapd.pid").c_str()));
    ASSERT_NE(pid, "0");
    EXPECT_EQ(Sh("kill -0 " + pid), 0);
    EXPECT_NE(Sh(Script() + " start " + d + " " + port + " 2>/dev/null"), 0);
    EXPECT_EQ(Sh(Script() + " stop " + d), 0);
    EXPECT_NE(Sh("kill -0 " + pid + " 2>/dev/null"), 0);
}

} // namespace
