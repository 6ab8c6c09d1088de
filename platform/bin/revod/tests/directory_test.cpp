// The support library's directory calls against a directory prepared the way
// the setup tool prepares it, and revod's USER check on top of them.
#include "kdx.h"
#include "msgsrv.h"
#include "pdksa.h"
#include "quillschema.h"
#include "revo_secret_store.h"

#include "directory.h"
#include "sample_tree.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <thread>

using namespace revotest;

namespace {

constexpr const char* kMail1 = "127.0.6.20";
constexpr const char* kMail2 = "127.0.6.21";
constexpr const char* kMail3 = "127.0.6.22";

std::string Ip(uint32_t a) {
    in_addr x{};
    x.s_addr = a;
    return inet_ntoa(x);
}

class Directory : public ::testing::Test {
  protected:
    static inline std::unique_ptr<TempDir> tmp_;
    static inline std::string dir_;
    static inline DDCContextHandle admin_ = 0;

    static int Create(const std::string& name, const char* cls,
                      const std::vector<arbortest::Value>& values = {}) {
        return arbortest::CreateObject(admin_, name, cls, values);
    }
    static int Messaging(const std::string& name, const std::string& host,
                         const std::string& context) {
        return Create("\\ACME\\Internet Services\\" + name, "Velmora:Messaging Server",
                      {{"Velmora:Host", host, DDC_SYN_DIST_NAME},
                       {"Velmora:Context", context, DDC_SYN_DIST_NAME},
                       {"Velmora:Postmaster", "\\ACME\\org\\Admin", DDC_SYN_DIST_NAME},
                       {"Velmora:Official Name", "example.org"}});
    }
    static int AddUser(const std::string& name, const std::vector<std::string>& addresses) {
        return arbortest::CreateMailUser(admin_, name, addresses);
    }

    static void SetUpTestSuite() {
        tmp_ = std::make_unique<TempDir>("revod-test");
        dir_ = tmp_->Str();
        // The tree, this server's container and object, and the administrator,
        // made the way an administrator makes them.
        ASSERT_EQ(
            0, arbortest::SampleTree(dir_).WithServer(kMail1).BuildWithArborctl("admin-password"));
        ASSERT_EQ(0, DDCCreateContext(1, &admin_));
        ASSERT_EQ(0, PDKLoginMaintenance(admin_));
        ASSERT_EQ(0, Create("\\ACME\\org\\eng", "Organizational Unit"));
        ASSERT_EQ(0, Create("\\ACME\\org\\eng\\lab", "Organizational Unit"));
        ASSERT_EQ(0, Create("\\ACME\\org\\eng\\MAIL2", "TWP Server",
                            {{"Network Address", "not-an-address"}, {"Network Address", kMail2}}));
        ASSERT_EQ(0, Create("\\ACME\\org\\MAIL3", "TWP Server",
                            {{"Network Address", std::string("tcp:") + kMail3 + ":689"}}));

        // What the setup tool makes: schema, "Internet Services", this server.
        quill::Site site;
        ASSERT_TRUE(quill::Site::FromConfig(site));
        quill::DefineSchema(admin_, site, nullptr);
        quill::ServerConfig cfg;
        cfg.msgServerName = site.msgServerName;
        cfg.officialName = "example.org";
        quill::CreateServer(admin_, site, "\\ACME\\org\\Admin", cfg, nullptr);
        // Two more messaging servers: one for eng, one for the whole of org.
        ASSERT_EQ(
            0, Messaging("MAIL2 Messaging Server", "\\ACME\\org\\eng\\MAIL2", "\\ACME\\org\\eng"));
        ASSERT_EQ(0, Messaging("MAIL3 Messaging Server", "\\ACME\\org\\MAIL3", "\\ACME\\org"));

        ASSERT_EQ(0, AddUser("\\ACME\\org\\sales\\bob", {"Bob@Example.org", "robert@example.org"}));
        ASSERT_EQ(0, AddUser("\\ACME\\org\\eng\\lab\\carol", {"carol@example.org"}));
        ASSERT_EQ(0, AddUser("\\ACME\\org\\dave", {"dave@example.org"}));
        ASSERT_EQ(0, Create("\\ACME\\org\\sales\\nomail", "User"));

        MSGSrvInit();
        ASSERT_EQ(1, KDXInit()) << "login as Internet Services";
    }
    static void TearDownTestSuite() {
        KDXShutdown();
        DDCFreeContext(admin_);
        tmp_.reset();
    }

    // MSGFindUser as the agent calls it; "" when not found.
    static std::string Find(const std::string& address) {
        KDXValueStruct vs{};
        KDXInitValueStruct(nullptr, &vs);
        char name[256] = "";
        uint32_t ip = 0;
        int found = MSGFindUser(address.c_str(), name, 0, &ip, &vs);
        KDXFreeValues(&vs);
        KDXDestroyValueStruct(&vs);
        return found ? Ip(ip) : "";
    }
};

TEST_F(Directory, ServerIdentityIsTheMessagingServerObject) {
    const char* dn = MSGGetServerDN(nullptr);
    EXPECT_STREQ("\\ACME\\Internet Services\\MAIL1 Messaging Server", dn);
    EXPECT_EQ(dn, MSGGetServerDN(nullptr)) << "the same text for the whole run";
    EXPECT_EQ(1, RegisterSourceFileRevision("dayward", "$Revision:   1.12  $"));
    EXPECT_EQ(0, RegisterSourceFileRevision(nullptr, "x"));
}

TEST_F(Directory, ReadIPGivesEachAgentsMessagingServerAddress) {
    KDXValueStruct vs{};
    ASSERT_NE(nullptr, KDXInitValueStruct(MSGGetServerDN(nullptr), &vs));
    ASSERT_NE(0, MSGReadIP("Calendar Agent", "Velmora:REVO Server", &vs));
    ASSERT_EQ(1u, vs.Used);
    EXPECT_STREQ(kMail1, vs.Value[0]);
    KDXFreeValues(&vs);
    // An agent without the attribute, and an object that does not exist.
    EXPECT_EQ(0, MSGReadIP("IMAP Agent", "Velmora:REVO Server", &vs));
    EXPECT_EQ(0, MSGReadIP("No Such Agent", "Velmora:REVO Server", &vs));
    EXPECT_EQ(0u, vs.Used);
    KDXDestroyValueStruct(&vs);
}

TEST_F(Directory, FindUserByAddressAndNearestServingContainer) {
    EXPECT_EQ(kMail1, Find("bob@example.org"));
    EXPECT_EQ(kMail1, Find("BOB@EXAMPLE.ORG")) << "addresses compare without case";
    EXPECT_EQ(kMail1, Find("<robert@example.org>"));
    EXPECT_EQ(kMail1, Find("mailto:robert@example.org"));
    // sales is served by MAIL1 although MAIL3 serves all of org: nearest wins.
    EXPECT_EQ(kMail2, Find("carol@example.org")) << "served through an ancestor (eng)";
    EXPECT_EQ(kMail3, Find("dave@example.org"));
    EXPECT_EQ("", Find("nobody@example.org"));
    EXPECT_EQ("", Find(""));
    EXPECT_EQ(0, MSGFindUser(nullptr, nullptr, 0, nullptr, nullptr));

    // The name buffer and the structure get the user's full name.
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    char name[256];
    uint32_t ip;
    ASSERT_EQ(1, MSGFindUser("bob@example.org", name, 0, &ip, &vs));
    EXPECT_STREQ("\\ACME\\org\\sales\\bob", name);
    ASSERT_GE(vs.Used, 1u);
    EXPECT_STREQ(name, vs.Value[0]);
    KDXDestroyValueStruct(&vs);
}

TEST_F(Directory, NewUsersAreFoundSoon) {
    EXPECT_EQ("", Find("erin@example.org"));
    ASSERT_EQ(0, AddUser("\\ACME\\org\\sales\\erin", {"erin@example.org"}));
    EXPECT_TRUE(WaitFor([] { return Find("erin@example.org") == kMail1; }, 5000));
}

TEST_F(Directory, LookupsFromManyThreads) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const bool odd = (i + t) % 2;
                if (Find(odd ? "bob@example.org" : "carol@example.org") != (odd ? kMail1 : kMail2))
                    ++wrong;
                MSGGetServerDN(nullptr);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(Directory, RevodAnswersUserForThisServersUsersOnly) {
    auto check = revo::DirectoryUserCheck(kMail1);
    EXPECT_TRUE(check("bob@example.org"));
    EXPECT_FALSE(check("carol@example.org")) << "her mailbox is on MAIL2";
    EXPECT_FALSE(check("nobody@example.org"));
    EXPECT_TRUE(revo::DirectoryUserCheck("0.0.0.0")("carol@example.org"));

    revo::ServerConfig cfg = ServeOn(kMail1, dir_ + "/revod.db");
    cfg.noAuth = true;
    cfg.isLocalUser = check;
    revo::Server server;
    std::string err;
    ASSERT_TRUE(server.Start(cfg, err)) << err;
    Client c;
    ASSERT_TRUE(c.Connect(kMail1, cfg.port));
    EXPECT_EQ("1000 bob@example.org selected", c.Cmd("USER Bob@Example.org"));
    EXPECT_EQ(0u, c.Cmd("USER carol@example.org").find("4200 "));
    server.Stop();
}

TEST_F(Directory, SecretComesFromQuillAcl) {
    EXPECT_TRUE(revo::DirectoryOpen());
    EXPECT_EQ(REVO_DEFAULT_SECRET_TEXT, revo::DirectorySecretText()) << "none stored yet";
    // What arborctl's secret command does, twice: one value, the newest.
    char first[33], second[33];
    ASSERT_EQ(0, RevoStoreNewSecret(admin_, "\\ACME\\Internet Services", first));
    ASSERT_EQ(0, RevoStoreNewSecret(admin_, "\\ACME\\Internet Services", second));
    EXPECT_STRNE(first, second);
    EXPECT_EQ(second, revo::DirectorySecretText());
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    EXPECT_EQ(1, KDXRead("Internet Services", "Quill:ACL", &vs));
    KDXDestroyValueStruct(&vs);
    EXPECT_NE(0, RevoStoreNewSecret(admin_, "\\ACME\\No Such Container", first));

    // A server using the stored secret accepts a client that derives it too.
    revo::ServerConfig cfg = ServeOn(kMail1, dir_ + "/revod-secret.db");
    cfg.secretText = revo::DirectorySecretText();
    revo::Server server;
    std::string err;
    ASSERT_TRUE(server.Start(cfg, err)) << err;
    Client c;
    ASSERT_TRUE(c.Connect(kMail1, cfg.port));
    EXPECT_EQ(0u, c.Auth(REVO_DEFAULT_SECRET_TEXT).find("4101 "));
    EXPECT_EQ("1000 Authenticated", c.Auth(second));
    server.Stop();
}

} // namespace

namespace {

TEST_F(Directory, ArborctlSecretCommandStoresWhatServersRead) {
    const std::string cmd = BuildDir() + "/platform/bin/arborctl/arborctl --conf " + dir_ +
                            "/arbor.conf --store " + dir_ + "/directory.db secret --show 2>&1";
    std::string out;
    ASSERT_EQ(0, arbortest::Run(cmd, &out)) << out;
    // The last line is the scrambled text the directory now holds.
    ASSERT_GE(out.size(), 33u);
    const std::string text = out.substr(out.size() - 33, 32);
    EXPECT_EQ(text, revo::DirectorySecretText()) << out;
    unsigned char secret[9];
    ASSERT_EQ(1, RevoUnscrambleSecret(text.c_str(), secret));
    EXPECT_EQ(8u, RevoSecretLength(secret));
}

} // namespace
