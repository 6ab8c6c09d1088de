// The replicated pair of tools/slapd.sh, reached through libldap: a write on
// either server is read on the other; with one server killed the survivor
// takes writes, and the dead one catches up once it runs again.
#include "ldap_client.h"
#include "process.h"
#include "slapd.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using arbortest::ShellQuote;
using Clock = std::chrono::steady_clock;

// Ports of this suite (the range the tests of this tree leave to the pair).
constexpr int kPort1 = 22623, kPort2 = 22624;

int Sh(const std::string& command, std::string* out = nullptr) {
    return arbortest::Run(command, out);
}
using arbortest::Ldap;
using arbortest::LdapDescribe;
using arbortest::SlapdScript;

class MirrorTest : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"slapd-mirror"};
    std::string dir = tmp.Str();
    arbortest::Slapd pair;
    std::map<std::string, std::string> env;

    void SetUp() override {
        const std::string err = pair.StartPair(dir, kPort1, kPort2);
        ASSERT_EQ(err, "");
        env = pair.Env();
        ASSERT_EQ(env["URL"], env["URL1"] + " " + env["URL2"]);
    }
    void TearDown() override { EXPECT_TRUE(pair.Stop()); }

    // The root DN's connection to one server (1 or 2), with time-outs so
    // that a dead server fails calls; null when the bind failed.
    Ldap Admin(int server, int* bindRc = nullptr) {
        int rc;
        Ldap ld = arbortest::LdapConnect(env["URL" + std::to_string(server)], env["BIND_DN"],
                                         pair.Password(), &rc);
        if (bindRc) *bindRc = rc;
        return rc == LDAP_SUCCESS ? std::move(ld) : nullptr;
    }

    // Values of attr on dn; empty when it is not there.
    static std::vector<std::string> Read(LDAP* ld, const std::string& dn, const char* attr) {
        return arbortest::LdapValues(ld, dn, attr);
    }

    // Polls server's copy of dn's attr until it holds want, for at most ms.
    bool Sees(int server, const std::string& dn, const char* attr, const std::string& want,
              int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        do {
            if (Ldap ld = Admin(server)) {
                const auto v = Read(ld.get(), dn, attr);
                if (v.size() == 1 && v[0] == want) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < end);
        return false;
    }

    static int Add(LDAP* ld, const std::string& dn, std::vector<const char*> classes,
                   const char* attr, const char* value) {
        classes.push_back(nullptr);
        char* v[] = {const_cast<char*>(value), nullptr};
        LDAPMod m1{
            LDAP_MOD_ADD, const_cast<char*>("objectClass"), {const_cast<char**>(classes.data())}};
        LDAPMod m2{LDAP_MOD_ADD, const_cast<char*>(attr), {v}};
        LDAPMod* mods[] = {&m1, &m2, nullptr};
        return ldap_add_ext_s(ld, dn.c_str(), mods, nullptr, nullptr);
    }
    int AddSuffix(LDAP* ld) { return arbortest::LdapAddSuffix(ld, env["SUFFIX"]); }
};

TEST_F(MirrorTest, WritesOnEitherServerReachTheOther) {
    Ldap one = Admin(1), two = Admin(2);
    ASSERT_TRUE(one && two);
    const std::string suffix = env["SUFFIX"];
    ASSERT_EQ(AddSuffix(one.get()), LDAP_SUCCESS);
    // Each side's consumer asks for the suffix again on its retry (every
    // second) until the suffix exists there: both directions are up once
    // a write each way went through.
    ASSERT_TRUE(Sees(2, suffix, "o", "arbor", 10000));
    ASSERT_EQ(LdapDescribe(two.get(), suffix, "ready"), LDAP_SUCCESS);
    ASSERT_TRUE(Sees(1, suffix, "description", "ready", 10000));
    // From now on each write is pushed to the other at once: within a second.
    ASSERT_EQ(LdapDescribe(two.get(), suffix, "from two"), LDAP_SUCCESS);
    EXPECT_TRUE(Sees(1, suffix, "description", "from two", 1000));
    ASSERT_EQ(LdapDescribe(one.get(), suffix, "from one"), LDAP_SUCCESS);
    EXPECT_TRUE(Sees(2, suffix, "description", "from one", 1000));
    const std::string unit = "ou=sales," + suffix;
    ASSERT_EQ(Add(two.get(), unit, {"organizationalUnit"}, "ou", "sales"), LDAP_SUCCESS);
    EXPECT_TRUE(Sees(1, unit, "ou", "sales", 1000));
    // Each server's own changes carry its serverID: the suffix's contextCSN
    // holds one value per server, on both.
    for (LDAP* ld : {one.get(), two.get()}) {
        const auto csn = Read(ld, suffix, "contextCSN");
        ASSERT_EQ(csn.size(), 2u);
        EXPECT_NE(csn[0].find("#001#"), csn[1].find("#001#"));
    }
    // One tree: the same entry cannot be made on both.
    EXPECT_EQ(Add(one.get(), unit, {"organizationalUnit"}, "ou", "sales"), LDAP_ALREADY_EXISTS);
}

TEST_F(MirrorTest, TheSurvivorTakesWritesAndTheDeadOneCatchesUp) {
    const std::string suffix = env["SUFFIX"];
    {
        Ldap one = Admin(1);
        ASSERT_TRUE(one);
        ASSERT_EQ(AddSuffix(one.get()), LDAP_SUCCESS);
        ASSERT_TRUE(Sees(2, suffix, "o", "arbor", 10000));
    }
    // Killed, as a crash does: no clean shutdown.
    ASSERT_TRUE(pair.Kill(1));
    int rc = LDAP_SUCCESS;
    EXPECT_FALSE(Admin(1, &rc));
    EXPECT_EQ(rc, LDAP_SERVER_DOWN);

    Ldap two = Admin(2);
    ASSERT_TRUE(two);
    ASSERT_EQ(LdapDescribe(two.get(), suffix, "while one was down"), LDAP_SUCCESS);
    const std::string unit = "ou=support," + suffix;
    ASSERT_EQ(Add(two.get(), unit, {"organizationalUnit"}, "ou", "support"), LDAP_SUCCESS);

    // Once it runs again it has what it missed, and replicates as before.
    ASSERT_EQ(pair.Resume(1), "");
    EXPECT_NE(pair.Resume(1), "");
    EXPECT_TRUE(Sees(1, suffix, "description", "while one was down", 10000));
    EXPECT_TRUE(Sees(1, unit, "ou", "support", 10000));
    Ldap one = Admin(1);
    ASSERT_TRUE(one);
    ASSERT_EQ(LdapDescribe(one.get(), suffix, "back"), LDAP_SUCCESS);
    EXPECT_TRUE(Sees(2, suffix, "description", "back", 10000));
}

TEST(SlapdMirrorScript, RefusesBadArgumentsAndASecondPair) {
    arbortest::TempDir tmp{"slapd-mirror"};
    const std::string d = ShellQuote(tmp.Str());
    for (const std::string& args : std::vector<std::string>{
             "mirror", "mirror " + d, "mirror " + d + " 22623", "mirror " + d + " 22623 22623",
             "mirror " + d + " 0 22624", "mirror " + d + " 22623 70000",
             "mirror " + d + " 22623 22624 'dc=a;b'", "resume", "resume " + d + "/1",
             "mirror-stop"})
        EXPECT_NE(Sh(SlapdScript() + " " + args + " 2>/dev/null"), 0) << args;
    ASSERT_EQ(Sh(SlapdScript() + " mirror " + d + " 22623 22624 >/dev/null"), 0);
    EXPECT_NE(Sh(SlapdScript() + " mirror " + d + " 22623 22624 2>/dev/null"), 0);
    auto pid = [&](const char* n) {
        return std::to_string(std::atoi(arbortest::ReadFile(tmp.Str() + n).c_str()));
    };
    const std::string pid1 = pid("/1/slapd.pid"), pid2 = pid("/2/slapd.pid");
    ASSERT_NE(pid1, "0");
    ASSERT_NE(pid2, "0");
    EXPECT_EQ(Sh("kill -0 " + pid1 + " && kill -0 " + pid2), 0);
    EXPECT_EQ(Sh(SlapdScript() + " mirror-stop " + d), 0);
    EXPECT_NE(Sh("kill -0 " + pid1 + " 2>/dev/null"), 0);
    EXPECT_NE(Sh("kill -0 " + pid2 + " 2>/dev/null"), 0);
}

} // namespace
