// The private slapd of tools/slapd.sh, reached through libldap: the ground
// the LDAP store stands on. It must serve its suffix to its root DN only,
// keep the suffix's contextCSN (syncprov) moving with every change, and,
// once stopped, make calls fail at once rather than hang.
#include "ldap_client.h"
#include "process.h"
#include "slapd.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// A shell command's exit status (gtest's fixtures have a Run of their own).
int Sh(const std::string& command, std::string* out = nullptr) {
    return arbortest::Run(command, out);
}
using arbortest::Ldap;
using arbortest::LdapAddSuffix;
using arbortest::LdapDescribe;
using arbortest::ShellQuote;
using arbortest::SlapdScript;

constexpr const char* kSyncControl = "1.3.6.1.4.1.4203.1.9.1.1";
// This suite's port, below the kernel's ephemeral range.
constexpr int kPort = 22625;

class SlapdTest : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"pdksa-slapd"};
    std::string dir = tmp.Str();
    std::map<std::string, std::string> env;

    void SetUp() override {
        std::string out;
        ASSERT_EQ(Sh(Start(), &out), 0) << out << arbortest::ReadFile(dir + "/slapd.log");
        env = arbortest::ReadSlapdEnv(dir + "/env");
        ASSERT_EQ(env["URL"], "ldap://127.0.0.1:" + std::to_string(kPort) + "/");
    }
    void TearDown() override { Stop(); }
    std::string Start() const {
        return SlapdScript() + " start " + ShellQuote(dir) + " " + std::to_string(kPort);
    }
    void Stop() { EXPECT_EQ(Sh(SlapdScript() + " stop " + ShellQuote(dir)), 0); }

    // A connection with the time-outs the store will use; rc is the bind's.
    Ldap Connect(const std::string& password, int& rc) {
        return arbortest::LdapConnect(env["URL"], env["BIND_DN"], password, &rc);
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
        return arbortest::LdapValues(ld, dn, attr, &rc);
    }
};

TEST_F(SlapdTest, ServesTheSuffixWithSyncprovToItsRootDnOnly) {
    int rc;
    Ldap anon = arbortest::LdapConnect(env["URL"], "", "");
    ASSERT_TRUE(anon);
    // The root DSE names the suffix and offers the sync control, which only
    // the syncprov overlay brings.
    EXPECT_EQ(Read(anon.get(), "", "namingContexts", rc), std::vector<std::string>{"dc=arbor"});
    ASSERT_EQ(rc, LDAP_SUCCESS);
    const auto controls = Read(anon.get(), "", "supportedControl", rc);
    EXPECT_NE(std::find(controls.begin(), controls.end(), kSyncControl), controls.end());

    Connect("not the password", rc);
    EXPECT_EQ(rc, LDAP_INVALID_CREDENTIALS);
    Ldap admin = Admin();
    ASSERT_EQ(LdapAddSuffix(admin.get(), env["SUFFIX"]), LDAP_SUCCESS);
    EXPECT_EQ(Read(admin.get(), env["SUFFIX"], "o", rc), std::vector<std::string>{"arbor"});
    // Nobody else reads the data.
    Read(anon.get(), env["SUFFIX"], "o", rc);
    EXPECT_EQ(rc, LDAP_NO_SUCH_OBJECT);
}

TEST_F(SlapdTest, ContextCsnMovesWithEveryChange) {
    Ldap ld = Admin();
    const std::string suffix = env["SUFFIX"];
    ASSERT_EQ(LdapAddSuffix(ld.get(), suffix), LDAP_SUCCESS);
    int rc;
    std::vector<std::string> last = Read(ld.get(), suffix, "contextCSN", rc);
    ASSERT_EQ(last.size(), 1u);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(LdapDescribe(ld.get(), suffix, text), LDAP_SUCCESS);
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
    ASSERT_EQ(LdapAddSuffix(ld.get(), env["SUFFIX"]), LDAP_SUCCESS);
    Stop();
    int rc;
    Read(ld.get(), env["SUFFIX"], "o", rc);
    EXPECT_EQ(rc, LDAP_SERVER_DOWN);
    Connect(arbortest::ReadFile(env["BIND_PW_FILE"]), rc);
    EXPECT_EQ(rc, LDAP_SERVER_DOWN);
    // Stopping again is harmless; a second start on the same folder works.
    Stop();
    EXPECT_EQ(Sh(Start()), 0);
}

TEST(SlapdScript, RefusesBadArgumentsAndADoubleStart) {
    arbortest::TempDir tmp{"pdksa-slapd"};
    const std::string d = ShellQuote(tmp.Str());
    for (const std::string& args : std::vector<std::string>{
             "", "start", "start " + d, "start " + d + " 0", "start " + d + " 70000",
             "start " + d + " 12x", "start " + d + " 4000 'dc=a;b'", "stop", "restart " + d})
        EXPECT_NE(Sh(SlapdScript() + " " + args + " 2>/dev/null"), 0) << args;
    const std::string port = std::to_string(kPort);
    ASSERT_EQ(Sh(SlapdScript() + " start " + d + " " + port + " >/dev/null"), 0);
    const std::string pid =
        std::to_string(std::atoi(arbortest::ReadFile(tmp.Str() + "/slapd.pid").c_str()));
    ASSERT_NE(pid, "0");
    EXPECT_EQ(Sh("kill -0 " + pid), 0);
    EXPECT_NE(Sh(SlapdScript() + " start " + d + " " + port + " 2>/dev/null"), 0);
    EXPECT_EQ(Sh(SlapdScript() + " stop " + d), 0);
    EXPECT_NE(Sh("kill -0 " + pid + " 2>/dev/null"), 0);
}

} // namespace
