// The support library's directory part against a small messaging model:
// user look-up, the index behind it and when it follows the directory, the
// REVO addresses of agents and this server's identity.
#include "kdx.h"
#include "msgsrv.h"
#include "pdksa.h"
#include "process.h"
#include "testtree.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using arbortest::Value;
using arbortest::WaitFor;
using kdxtest::TestTree;

constexpr const char* kSales = "\\ACME\\org\\sales";
constexpr const char* kEng = "\\ACME\\org\\eng";
constexpr const char* kMailServices = "\\ACME\\Mail Services";
// Serves sales from the test tree's MAIL1 (127.0.0.1).
constexpr const char* kMs1 = "\\ACME\\Mail Services\\MAIL1 Messaging Server";
// Serves eng, inside eng itself, from a host whose first address is junk.
constexpr const char* kMs2 = "\\ACME\\org\\eng\\ENG Messaging Server";
// Serves dark from a host without a usable address.
constexpr const char* kMs3 = "\\ACME\\Mail Services\\DARK Messaging Server";
constexpr const char* kIp1 = "127.0.0.1";
constexpr const char* kIp2 = "127.0.6.2";

std::string Ip(uint32_t a) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr x{};
    x.s_addr = a;
    inet_ntop(AF_INET, &x, text, sizeof text);
    return text;
}

class Users : public ::testing::Test {
  protected:
    static inline std::unique_ptr<TestTree> tree_;
    static inline DDCContextHandle admin_ = 0;
    static inline std::string dnBeforeLogin_;

    static int Create(const std::string& name, const char* cls, const std::vector<Value>& values) {
        return arbortest::CreateObject(admin_, name, cls, values);
    }
    static int Add(const std::string& name, const char* attr, const std::string& text,
                   uint32_t syntax = DDC_SYN_TEXT) {
        return arbortest::AddValue(admin_, name, {attr, text, syntax});
    }
    static int AddUser(const std::string& name, const std::vector<std::string>& addresses) {
        return arbortest::CreateMailUser(admin_, name, addresses);
    }
    static int Messaging(const std::string& name, const std::string& host,
                         const std::string& context) {
        std::vector<Value> v{{"Velmora:Host", host, DDC_SYN_DIST_NAME}};
        if (!context.empty()) v.push_back({"Velmora:Context", context, DDC_SYN_DIST_NAME});
        return Create(name, "Velmora:Messaging Server", v);
    }

    // The part of the product's schema the look-ups read.
    static void DefineSchema() {
        DDCAttrDef name{0, DDC_SYN_DIST_NAME, 0, 0, 0, 0};
        DDCAttrDef mail{DDC_ATTRDEF_SIZED, DDC_SYN_TEXT, 1, 255, 0, 0};
        for (const char* a :
             {"Velmora:Host", "Velmora:Context", "Velmora:Messaging Server", "Velmora:REVO Server"})
            ASSERT_EQ(0, DDCDefineAttribute(admin_, a, &name)) << a;
        ASSERT_EQ(0, DDCDefineAttribute(admin_, "Velmora:EMail Address", &mail));
        const void* top[] = {"Top", nullptr};
        const void* ou[] = {"OU", nullptr};
        const void* cn[] = {"CN", nullptr};
        const void* inTree[] = {"Tree Root", "Organization", "Organizational Unit", nullptr};
        const void* inServices[] = {"Velmora:Services", "Organization", "Organizational Unit",
                                    nullptr};
        const void* inServer[] = {"Velmora:Messaging Server", nullptr};
        const void* serverMust[] = {"OU", "Velmora:Host", nullptr};
        const void* serverMay[] = {"Velmora:Context", nullptr};
        const void* agentMay[] = {"Velmora:REVO Server", nullptr};
        const uint32_t box = DDC_CLASS_CONTAINER | DDC_CLASS_EFFECTIVE;
        DDCClassDef services{box, 0, 0, top, inTree, ou, ou, nullptr, 0};
        DDCClassDef server{box, 0, 0, top, inServices, ou, serverMust, serverMay, 0};
        DDCClassDef agent{DDC_CLASS_EFFECTIVE, 0, 0, top, inServer, cn, cn, agentMay, 0};
        ASSERT_EQ(0, DDCDefineClass(admin_, "Velmora:Services", &services));
        ASSERT_EQ(0, DDCDefineClass(admin_, "Velmora:Messaging Server", &server));
        ASSERT_EQ(0, DDCDefineClass(admin_, "Velmora:Mail Agent", &agent));
        const void* userMay[] = {"Velmora:EMail Address", nullptr};
        const void* hostMay[] = {"Velmora:Messaging Server", nullptr};
        ASSERT_EQ(0, DDCAddOptionalsToClass(admin_, "User", userMay));
        ASSERT_EQ(0, DDCAddOptionalsToClass(admin_, "TWP Server", hostMay));
    }

    static void Servers() {
        const std::string eng = kEng;
        ASSERT_EQ(0, Create(kMailServices, "Velmora:Services", {}));
        ASSERT_EQ(0, Create(eng, "Organizational Unit", {}));
        ASSERT_EQ(0, Create(eng + "\\HOST2", "TWP Server",
                            {{"Network Address", "not-an-address"},
                             {"Network Address", std::string("tcp:") + kIp2 + ":689"}}));
        ASSERT_EQ(0, Create("\\ACME\\org\\DARKHOST", "TWP Server", {{"Network Address", "none"}}));
        ASSERT_EQ(0, Create("\\ACME\\org\\dark", "Organizational Unit", {}));
        ASSERT_EQ(0, Messaging(kMs1, kdxtest::kServerDN, kSales));
        ASSERT_EQ(0, Messaging(kMs2, eng + "\\HOST2", eng));
        ASSERT_EQ(0, Messaging(kMs3, "\\ACME\\org\\DARKHOST", "\\ACME\\org\\dark"));
        ASSERT_EQ(0, Add(kdxtest::kServerDN, "Velmora:Messaging Server", kMs1, DDC_SYN_DIST_NAME));
        // The calendar agent lists the REVO agents of four servers, two of
        // them on MAIL1 and one on a server that cannot be reached.
        const std::string ms1 = kMs1, ms2 = kMs2, ms3 = kMs3;
        for (const std::string& a : {ms1 + "\\REVO Agent", ms1 + "\\Other Agent",
                                     ms3 + "\\REVO Agent", ms2 + "\\REVO Agent"})
            ASSERT_EQ(0, Create(a, "Velmora:Mail Agent", {}));
        ASSERT_EQ(0, Create(ms1 + "\\Calendar Agent", "Velmora:Mail Agent",
                            {{"Velmora:REVO Server", ms1 + "\\REVO Agent", DDC_SYN_DIST_NAME},
                             {"Velmora:REVO Server", ms1 + "\\Other Agent", DDC_SYN_DIST_NAME},
                             {"Velmora:REVO Server", ms3 + "\\REVO Agent", DDC_SYN_DIST_NAME},
                             {"Velmora:REVO Server", ms2 + "\\REVO Agent", DDC_SYN_DIST_NAME}}));
        ASSERT_EQ(0, Create(ms1 + "\\IMAP Agent", "Velmora:Mail Agent", {}));
    }

    static void People() {
        const std::string sales = kSales;
        ASSERT_EQ(0, AddUser(sales + "\\bob", {"Bob@Example.org", "robert@example.org"}));
        ASSERT_EQ(0, AddUser(sales + "\\J\xc3\xb6rg", {"J\xc3\xb6rg@example.org"}));
        ASSERT_EQ(0, AddUser(sales + "\\O'Neil \"Jr\"", {"o'neil@example.org"}));
        ASSERT_EQ(0, AddUser(sales + "\\nomail", {}));
        ASSERT_EQ(0, Create(std::string(kEng) + "\\lab", "Organizational Unit", {}));
        ASSERT_EQ(0, AddUser(std::string(kEng) + "\\lab\\carol", {"carol@example.org"}));
        ASSERT_EQ(0, AddUser("\\ACME\\org\\dark\\dora", {"dora@example.org"}));
        ASSERT_EQ(0, Create("\\ACME\\org\\unserved", "Organizational Unit", {}));
        ASSERT_EQ(0, AddUser("\\ACME\\org\\unserved\\frank", {"frank@example.org"}));
    }

    static void SetUpTestSuite() {
        tree_ = std::make_unique<TestTree>();
        ASSERT_EQ(0, tree_->Build());
        tree_->UseEnvironment();
        ASSERT_EQ(0, DDCCreateContext(1, &admin_));
        ASSERT_EQ(0, PDKLoginMaintenance(admin_));
        DefineSchema();
        Servers();
        People();
        MSGSrvInit();
        dnBeforeLogin_ = MSGGetServerDN(nullptr);
        ASSERT_EQ(1, KDXInit());
    }
    static void TearDownTestSuite() {
        KDXShutdown();
        DDCFreeContext(admin_);
        tree_.reset();
    }

    // MSGFindUser as the agent calls it: the REVO address, "" when not found.
    static std::string Find(const std::string& address, std::string* name = nullptr) {
        KDXValueStruct vs{};
        KDXInitValueStruct(nullptr, &vs);
        char buf[256] = "";
        uint32_t ip = 0;
        const int found = MSGFindUser(address.c_str(), buf, 0, &ip, &vs);
        KDXFreeValues(&vs);
        KDXDestroyValueStruct(&vs);
        if (name) *name = found ? buf : "";
        return found ? Ip(ip) : "";
    }
};

TEST_F(Users, AddressesMatchWithoutAsciiCaseAndInTheirUsualWrappings) {
    std::string name;
    EXPECT_EQ(kIp1, Find("bob@example.org", &name));
    EXPECT_EQ(std::string(kSales) + "\\bob", name);
    for (const char* a : {"BOB@EXAMPLE.ORG", " <Bob@Example.Org> ", "MAILTO:bob@example.org",
                          "<mailto:ROBERT@example.org>"})
        EXPECT_EQ(kIp1, Find(a)) << a;
    // Only ASCII letters fold; the bytes of other characters stay as they are.
    EXPECT_EQ(kIp1, Find("J\xc3\xb6RG@EXAMPLE.ORG", &name));
    EXPECT_EQ(std::string(kSales) + "\\J\xc3\xb6rg", name);
    // carol's own container is not served; its parent is, by a server whose
    // host lists a junk address before the usable one.
    EXPECT_EQ(kIp2, Find("Carol@example.org", &name));
    EXPECT_EQ(std::string(kEng) + "\\lab\\carol", name);
}

TEST_F(Users, StrangersAndHostileAddressesFindNobody) {
    for (const std::string a :
         {"", " ", "<>", "mailto:", "nobody@example.org", "bob", "example.org",
          "bob@example.org\r\n", "bob@example.org\n", "bob@example.org\r\nL carol@example.org",
          "\"bob@example.org\"", "bob@example.org'", "'bob@example.org", "bob@example.org, x",
          "%@example.org", "_ob@example.org", "*@example.org", "bob@example.org%00"})
        EXPECT_EQ("", Find(a)) << a;
    EXPECT_EQ("", Find(std::string(1 << 20, 'a') + "@example.org"));
    EXPECT_EQ("", Find("bob@example.org" + std::string(1 << 16, ' ') + "x"));
    // A user whose only server cannot be reached.
    EXPECT_EQ("", Find("dora@example.org"));
    EXPECT_EQ(0, MSGFindUser(nullptr, nullptr, 0, nullptr, nullptr));
    // The outputs are optional.
    EXPECT_EQ(1, MSGFindUser("bob@example.org", nullptr, 0, nullptr, nullptr));
}

TEST_F(Users, QuotesAndLongNamesFromTheDirectoryStayInsideTheBuffers) {
    std::string name;
    EXPECT_EQ(kIp1, Find("O'NEIL@example.org", &name));
    EXPECT_EQ(std::string(kSales) + "\\O'Neil \"Jr\"", name);

    // A full name of 378 bytes (198 characters): the name buffer gets what
    // fits, the structure the whole name.
    std::string e, u;
    for (int i = 0; i < 60; ++i)
        e += "\xc3\xa9", u += "\xc3\xbc";
    const std::string deep = std::string(kSales) + "\\" + e + "\\" + e;
    ASSERT_EQ(0, Create(std::string(kSales) + "\\" + e, "Organizational Unit", {}));
    ASSERT_EQ(0, Create(deep, "Organizational Unit", {}));
    ASSERT_EQ(0, AddUser(deep + "\\" + u, {"long@example.org"}));
    const std::string full = deep + "\\" + u;
    ASSERT_GT(full.size(), 256u);
    ASSERT_TRUE(WaitFor([] { return Find("long@example.org") == kIp1; }, 5000));

    char buf[256 + 64];
    std::memset(buf, 'Z', sizeof buf);
    KDXValueStruct vs{};
    ASSERT_NE(nullptr, KDXInitValueStruct(nullptr, &vs));
    ASSERT_EQ(1, KDXAddValue("earlier", &vs));
    uint32_t ip = 0;
    ASSERT_EQ(1, MSGFindUser("long@example.org", buf, 0, &ip, &vs));
    EXPECT_EQ(kIp1, Ip(ip));
    EXPECT_EQ(std::string(256 + 64 - 256, 'Z'), std::string(buf + 256, 64)) << "past the buffer";
    const size_t len = strnlen(buf, 256);
    ASSERT_LT(len, 256u);
    EXPECT_EQ(full.substr(0, len), std::string(buf, len));
    // Values are appended after the caller's own.
    ASSERT_EQ(3u, vs.Used);
    EXPECT_STREQ("earlier", vs.Value[0]);
    EXPECT_EQ(full, vs.Value[1]);
    EXPECT_STREQ(kIp1, vs.Value[2]);
    KDXDestroyValueStruct(&vs);
}

TEST_F(Users, TheIndexFollowsTheDirectory) {
    // A second address of a known user, and a new user.
    EXPECT_EQ("", Find("bobby@example.org"));
    ASSERT_EQ(0, Add(std::string(kSales) + "\\bob", "Velmora:EMail Address", "bobby@example.org"));
    EXPECT_TRUE(WaitFor([] { return Find("bobby@example.org") == kIp1; }, 5000));
    ASSERT_EQ(0, AddUser(std::string(kEng) + "\\erin", {"erin@example.org"}));
    EXPECT_TRUE(WaitFor([] { return Find("erin@example.org") == kIp2; }, 5000));

    // A known user whose container a server takes on later: found as soon
    // as a new user would be, not only when the index has aged.
    EXPECT_EQ("", Find("frank@example.org"));
    ASSERT_EQ(0, Add(kMs2, "Velmora:Context", "\\ACME\\org\\unserved", DDC_SYN_DIST_NAME));
    EXPECT_TRUE(WaitFor([] { return Find("frank@example.org") == kIp2; }, 5000));
}

TEST_F(Users, LookupsFromManyThreadsWhileMissesRebuild) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&wrong, t] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
            for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
                if (Find("bob@example.org") != kIp1) ++wrong;
                if (Find("carol@example.org") != kIp2) ++wrong;
                if (!Find("ghost" + std::to_string(t * 100000 + i) + "@example.org").empty())
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(Users, ReadIPListsEachReachableServerOnceAfterTheCallersValues) {
    KDXValueStruct vs{};
    ASSERT_NE(nullptr, KDXInitValueStruct(kMs1, &vs));
    ASSERT_EQ(1, KDXAddValue("earlier", &vs));
    EXPECT_EQ(2, MSGReadIP("Calendar Agent", "Velmora:REVO Server", &vs));
    ASSERT_EQ(3u, vs.Used);
    EXPECT_STREQ("earlier", vs.Value[0]);
    EXPECT_STREQ(kIp1, vs.Value[1]);
    EXPECT_STREQ(kIp2, vs.Value[2]);
    // An agent without the attribute, and one that does not exist.
    EXPECT_EQ(0, MSGReadIP("IMAP Agent", "Velmora:REVO Server", &vs));
    EXPECT_EQ(0, MSGReadIP("No Such Agent", "Velmora:REVO Server", &vs));
    EXPECT_EQ(3u, vs.Used);
    EXPECT_EQ(0, MSGReadIP(nullptr, "Velmora:REVO Server", &vs));
    EXPECT_EQ(0, MSGReadIP("Calendar Agent", nullptr, &vs));
    EXPECT_EQ(0, MSGReadIP("Calendar Agent", "Velmora:REVO Server", nullptr));
    KDXDestroyValueStruct(&vs);
}

TEST_F(Users, ServerIdentityIsTheServerObjectUntilTheLoginThenItsMessagingServer) {
    EXPECT_EQ(kdxtest::kServerDN, dnBeforeLogin_);
    const char* dn = MSGGetServerDN(nullptr);
    EXPECT_STREQ(kMs1, dn);
    EXPECT_EQ(dn, MSGGetServerDN(nullptr)) << "the same text for the whole run";
    EXPECT_EQ(1, RegisterSourceFileRevision("users_test", "$Revision:   1.1  $"));
    EXPECT_EQ(1, RegisterSourceFileRevision("users_test", "$Revision:   1.2  $"));
    EXPECT_EQ(0, RegisterSourceFileRevision(nullptr, "x"));
    EXPECT_EQ(0, RegisterSourceFileRevision("x", nullptr));
}

} // namespace
