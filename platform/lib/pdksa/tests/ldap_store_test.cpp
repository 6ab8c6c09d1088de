// What only the LDAP store has: its encodings of names and values, and a
// server that is missing, slow, restarted, wrongly set up or shared.
#include "ldap_codec.h"
#include "ldap_conn.h"
#include "ldap_fixture.h"
#include "ldap_store.h"
#include "pdksa.h"
#include "temp_dir.h"
#include "text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace pdksa;
namespace codec = pdksa::ldapcodec;
using Clock = std::chrono::steady_clock;

// Ports of this test alone (22611 is the contract suite's).
// kDeadPort: nobody listens there while the test that uses it runs.
constexpr int kPort = 22612, kOtherPort = 22613, kSilentPort = 22614, kDeadPort = 22613;

// Names that break DNs, filters or text handling if anything is missed.
std::vector<std::string> HostileNames() {
    return {"a,b",
            "a+b",
            "a=b",
            "star*",
            "(paren",
            "par)en",
            std::string("nul\0in", 6),
            "cr\rlf\n",
            " lead",
            "trail ",
            "#hash",
            "semi;colon",
            "<angle>",
            "quote\"",
            "per%41cent",
            "%",
            "bad\xff\xfe utf8",
            "over\xc0\xafshort",
            std::string(3000, 'x'),
            "ärger é"};
}

TEST(LdapCodec, HostileNamesMakeDnsThatParseBackExactly) {
    const std::string root = "arborId=1,dc=arbor";
    for (const auto& name : HostileNames()) {
        const std::string lpath = "\\org\\" + Fold(name);
        const std::string dn = codec::DnOfPath(lpath, root);
        LDAPDN parsed = nullptr;
        ASSERT_EQ(ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3), LDAP_SUCCESS) << dn;
        size_t rdns = 0;
        while (parsed[rdns])
            ++rdns;
        ldap_dnfree(parsed);
        EXPECT_EQ(rdns, 4u) << dn; // nothing split or joined an RDN
        EXPECT_TRUE(codec::DnNamesPath(dn, root, lpath)) << dn;
        EXPECT_FALSE(codec::DnNamesPath(dn, root, lpath + "x")) << dn;
        std::string back;
        ASSERT_TRUE(codec::PathOfDn(dn, root, back)) << dn;
        if (name.size() < 100) {
            EXPECT_EQ(back, lpath); // long ones are kept hashed
        }
        EXPECT_LT(dn.size(), 300u);
        // The DN is valid UTF-8 without control bytes: slapd takes nothing else.
        EXPECT_TRUE(ValidUtf8(dn)) << dn;
        for (char c : dn)
            EXPECT_GE(static_cast<unsigned char>(c), 0x20) << dn;
    }
    EXPECT_EQ(codec::RdnValue("a\\b"), "a\\\\b"); // never a component, escaped all the same
    EXPECT_NE(codec::RdnValue("%"), codec::RdnValue(""));
    // Long names that differ only at their end still have DNs of their own.
    EXPECT_NE(codec::RdnValue(std::string(500, 'a') + "b"), codec::RdnValue(std::string(501, 'a')));
    EXPECT_NE(codec::RdnValue("%25"), codec::RdnValue("%"));
    std::string path;
    EXPECT_FALSE(codec::PathOfDn("cn=x,arborId=1,dc=arbor", "arborId=1,dc=arbor", path));
    EXPECT_FALSE(codec::PathOfDn("arborRdn=x,dc=other", "arborId=1,dc=arbor", path));
}

// Only letters, digits and "\XX" escapes: nothing a filter could read as
// syntax, and the escapes decode to the value itself.
TEST(LdapCodec, FilterValuesCannotChangeTheFilter) {
    for (const auto& v : HostileNames()) {
        const std::string f = codec::FilterValue(v);
        std::string back;
        for (size_t i = 0; i < f.size(); ++i) {
            if (std::isalnum(static_cast<unsigned char>(f[i]))) {
                back.push_back(f[i]);
                continue;
            }
            ASSERT_EQ(f[i], '\\') << f;
            ASSERT_LT(i + 2, f.size()) << f;
            back.push_back(static_cast<char>(std::stoi(f.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        }
        EXPECT_EQ(back, v);
    }
}

TEST(LdapCodec, PackedFieldsRejectDamage) {
    Value v;
    v.syntax = DDC_SYN_TEXT;
    v.v = std::string("x:\0y", 4);
    v.lv = v.v;
    const std::string enc = codec::EncodeValue("desc", 3, v);
    std::string lattr;
    int64_t seq = 0;
    Value back;
    ASSERT_TRUE(codec::DecodeValue(enc, lattr, seq, back));
    EXPECT_EQ(lattr, "desc");
    EXPECT_EQ(seq, 3);
    EXPECT_EQ(back.v, v.v);
    for (const std::string& bad :
         {enc.substr(0, enc.size() - 1), enc + "x", std::string("99:ab"), std::string("-1:"),
          std::string(":"), std::string(""), std::string("99999999999999999999:x")})
        EXPECT_FALSE(codec::DecodeValue(bad, lattr, seq, back)) << bad;
    PasswordHash h;
    h.iter = 5;
    PasswordHash got;
    ASSERT_TRUE(codec::DecodePassword(codec::EncodePassword(h), got));
    EXPECT_FALSE(codec::DecodePassword(codec::Pack({"1", "short", "x", "5"}), got));
    EXPECT_FALSE(codec::DecodePassword(
        codec::Pack({"2", std::string(16, 'a'), std::string(32, 'b'), "5"}), got));
}

// A store on a private slapd with the tree made.
class LdapStoreTest : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"pdksa-ldap"};
    pdksatest::Slapd slapd;
    std::shared_ptr<Store> store;

    void SetUp() override {
        ASSERT_EQ(slapd.Start(tmp.Str() + "/slapd", kPort), "");
        slapd.Export();
        ASSERT_EQ(CreateStore(slapd.Url()), 0);
        store = StoreFor(slapd.Url());
    }
    // A second store object on the same server: another process's view.
    std::shared_ptr<Store> Another() {
        LdapSettings s;
        EXPECT_EQ(LdapSettingsFor(slapd.Url(), s), 0);
        return std::make_shared<LdapStore>(s, 0);
    }
    static int64_t Insert(Conn& c, int64_t parent, const std::string& path) {
        int64_t id = 0;
        EXPECT_EQ(c.InsertObject(parent, SplitPath(path).back(), path, "User", id), 0) << path;
        return id;
    }
    static Value Text(const std::string& s) {
        Value v;
        v.v = s;
        v.lv = Fold(s);
        return v;
    }
};

TEST_F(LdapStoreTest, HostileNamesAreStoredFoundAndListedAsGiven) {
    ConnLease l(store);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l->BeginWrite(), 0);
    const int64_t org = Insert(*l, kRootId, "\\Org");
    std::vector<int64_t> ids;
    for (const auto& name : HostileNames())
        ids.push_back(Insert(*l, org, "\\Org\\" + name));
    ASSERT_EQ(l->Commit(), 0);
    const auto names = HostileNames();
    for (size_t i = 0; i < names.size(); ++i) {
        int64_t id = 0;
        ASSERT_EQ(l->FindPath(Fold("\\Org\\" + names[i]), id), 0) << names[i];
        EXPECT_EQ(id, ids[i]);
        ObjInfo o;
        ASSERT_EQ(l->ObjectInfo(id, o), 0);
        EXPECT_EQ(o.name, names[i]);
        EXPECT_EQ(o.path, "\\Org\\" + names[i]);
    }
    std::vector<std::string> listed;
    ASSERT_EQ(l->Children(org, "", listed), 0);
    EXPECT_EQ(listed.size(), names.size());
    // A pattern is a value like any other, never a wildcard.
    ASSERT_EQ(l->Children(org, "*", listed), 0);
    EXPECT_TRUE(listed.empty());
    int64_t id = 0;
    EXPECT_EQ(l->FindPath(Fold("\\Org\\star"), id), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(l->FindPath(Fold("\\Org\\*"), id), DDCERR_NO_SUCH_ENTRY);
    ASSERT_EQ(l->BeginWrite(), 0);
    ASSERT_EQ(l->WriteValues(ids[0], "description", {Text("x")}), 0);
    ASSERT_EQ(l->Commit(), 0);
    bool used = true;
    ASSERT_EQ(l->AttrInUse("*", used), 0);
    EXPECT_FALSE(used);
    ASSERT_EQ(l->AttrInUse("description", used), 0);
    EXPECT_TRUE(used);
}

TEST_F(LdapStoreTest, RenameToAHostileNameKeepsTheSubtree) {
    ConnLease l(store);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l->BeginWrite(), 0);
    const int64_t org = Insert(*l, kRootId, "\\Org");
    const int64_t ou = Insert(*l, org, "\\Org\\Sales");
    const int64_t bob = Insert(*l, ou, "\\Org\\Sales\\bob");
    ASSERT_EQ(l->Commit(), 0);
    ASSERT_EQ(l->BeginWrite(), 0);
    ASSERT_EQ(l->RenameObject(ou, "\\Org\\Sales", "S,+=*(x", "\\Org\\S,+=*(x"), 0);
    ASSERT_EQ(l->Commit(), 0);
    ObjInfo o;
    ASSERT_EQ(l->ObjectInfo(bob, o), 0);
    EXPECT_EQ(o.path, "\\Org\\S,+=*(x\\bob");
    int64_t id = 0;
    ASSERT_EQ(l->FindPath(Fold("\\org\\s,+=*(X\\BOB"), id), 0);
    EXPECT_EQ(id, bob);
}

// The generation another store object sees moves within a bounded time of a
// change made through this one, so its cached reads go stale in time.
TEST_F(LdapStoreTest, AChangeIsSeenThroughAnotherStoreObject) {
    auto other = Another();
    ConnLease mine(other);
    ASSERT_EQ(mine.Open(), 0);
    int64_t id = 0;
    EXPECT_EQ(mine->FindPath(Fold("\\Org"), id), DDCERR_NO_SUCH_ENTRY);
    const uint64_t before = other->Generation();
    other->CacheId(Fold("\\Org"), before, -1); // "not there", as a reader would keep it
    {
        ConnLease l(store);
        ASSERT_EQ(l.Open(), 0);
        ASSERT_EQ(l->BeginWrite(), 0);
        id = Insert(*l, kRootId, "\\Org");
        ASSERT_EQ(l->Commit(), 0);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int64_t cached = 0;
    while (other->CachedId(Fold("\\Org"), other->Generation(), cached) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(other->CachedId(Fold("\\Org"), other->Generation(), cached));
    int64_t seen = 0;
    ASSERT_EQ(mine->FindPath(Fold("\\Org"), seen), 0);
    EXPECT_EQ(seen, id);
}

// Objects read outside a change are kept for the generation they were read
// in: a change made in this process shows at once, one made by another
// within the poll interval; rights (ACL values) the same as other values.
TEST_F(LdapStoreTest, KeptObjectsFollowChangesHereAndElsewhere) {
    int64_t id = 0;
    auto write = [&](const std::string& text, uint32_t priv) {
        ConnLease l(store);
        ASSERT_EQ(l.Open(), 0);
        ASSERT_EQ(l->BeginWrite(), 0);
        if (id == 0) id = Insert(*l, kRootId, "\\Org");
        ASSERT_EQ(l->WriteValues(id, "description", {Text(text)}), 0);
        Value acl = Text("[Entry Rights]");
        acl.syntax = DDC_SYN_ACL;
        acl.ref = id;
        acl.priv = priv;
        ASSERT_EQ(l->WriteValues(id, "acl", {acl}), 0);
        ASSERT_EQ(l->Commit(), 0);
    };
    auto read = [&](const std::shared_ptr<Store>& s) {
        ConnLease l(s);
        EXPECT_EQ(l.Open(), 0);
        std::vector<Value> v;
        std::vector<std::pair<std::string, uint32_t>> grants;
        EXPECT_EQ(l->ReadValues(id, "description", v), 0);
        EXPECT_EQ(l->AclGrants(id, id, grants), 0);
        return (v.empty() ? std::string() : v[0].v) + "/" +
               (grants.empty() ? std::string() : std::to_string(grants[0].second));
    };
    write("one", 1);
    auto other = Another();
    EXPECT_EQ(read(store), "one/1");
    EXPECT_EQ(read(other), "one/1"); // both now keep the object
    write("two", 2);
    EXPECT_EQ(read(store), "two/2");
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (read(other) != "two/2" && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(read(other), "two/2");
}

// Two calls change one object at once: the later commit must not overwrite
// what the other wrote since it read the object.
TEST_F(LdapStoreTest, ARacingWriterFailsInsteadOfLosingAnUpdate) {
    ConnLease a(store), b(store);
    ASSERT_EQ(a.Open(), 0);
    ASSERT_EQ(b.Open(), 0);
    ASSERT_EQ(a->BeginWrite(), 0);
    const int64_t bob = Insert(*a, kRootId, "\\bob");
    ASSERT_EQ(a->Commit(), 0);

    ASSERT_EQ(a->BeginWrite(), 0);
    std::vector<Value> vals;
    ASSERT_EQ(a->ReadValues(bob, "description", vals), 0); // a's view
    ASSERT_EQ(b->BeginWrite(), 0);
    ASSERT_EQ(b->WriteValues(bob, "description", {Text("from b")}), 0);
    ASSERT_EQ(b->Commit(), 0);
    ASSERT_EQ(a->WriteValues(bob, "telephone number", {Text("1")}), 0);
    EXPECT_EQ(a->Commit(), DDCERR_NO_REFERRALS); // the caller's retry reads again
    ASSERT_EQ(a->ReadValues(bob, "description", vals), 0);
    ASSERT_EQ(vals.size(), 1u);
    EXPECT_EQ(vals[0].v, "from b");
    ASSERT_EQ(a->ReadValues(bob, "telephone number", vals), 0);
    EXPECT_TRUE(vals.empty());
}

TEST_F(LdapStoreTest, ServerRestartedMidUse) {
    std::unique_ptr<Conn> c1, c2;
    ASSERT_EQ(store->Acquire(c1), 0);
    ASSERT_EQ(store->Acquire(c2), 0);
    store->release(std::move(c2)); // idle in the pool when the server goes
    slapd.Stop();
    int64_t id = 0;
    EXPECT_EQ(c1->FindPath("", id), DDCERR_NO_REFERRALS);
    store->release(std::move(c1));
    std::unique_ptr<Conn> c;
    EXPECT_EQ(store->Acquire(c), DDCERR_NO_REFERRALS);
    ASSERT_TRUE(slapd.Restart());
    // The first call after the restart works: no stale handle is handed out.
    ASSERT_EQ(store->Acquire(c), 0);
    EXPECT_EQ(c->FindPath("", id), 0);
    EXPECT_EQ(id, kRootId);
    store->release(std::move(c));
}

TEST_F(LdapStoreTest, CreatingTwiceIsRefusedAndLeavesTheTree) {
    EXPECT_EQ(CreateStore(slapd.Url()), DDCERR_ENTRY_ALREADY_EXISTS);
    std::unique_ptr<Conn> c;
    ASSERT_EQ(store->Acquire(c), 0);
    ASSERT_EQ(c->LoadSchema(), 0);
    EXPECT_NE(c->schema().Cls("user"), nullptr);
    store->release(std::move(c));
    bool readOnly = true;
    EXPECT_EQ(store->MaintenanceAccess(true, readOnly), 0);
    EXPECT_FALSE(readOnly);
    EXPECT_EQ(ShareStore(slapd.Url(), 0), 0);
}

TEST_F(LdapStoreTest, WrongCredentialsAreRefused) {
    const std::string pw = tmp.Str() + "/wrong.pw";
    arbortest::WriteFile(pw, "not the password\n");
    ::setenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", pw.c_str(), 1);
    std::unique_ptr<Conn> c;
    EXPECT_EQ(StoreFor(slapd.Url())->Acquire(c), DDCERR_NO_ACCESS);
    ::setenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", (tmp.Str() + "/none.pw").c_str(), 1);
    auto missing = StoreFor(slapd.Url());
    EXPECT_EQ(missing->Acquire(c), DDCERR_NO_ACCESS);
    bool readOnly;
    EXPECT_EQ(missing->MaintenanceAccess(false, readOnly), DDCERR_NO_ACCESS);
    slapd.Export();
}

TEST_F(LdapStoreTest, FailoverTakesTheNextUrl) {
    const std::string urls =
        "ldap://127.0.0.1:" + std::to_string(kDeadPort) + "/dc=arbor " + slapd.Url();
    std::unique_ptr<Conn> c;
    auto s = StoreFor(urls);
    ASSERT_EQ(s->Acquire(c), 0);
    int64_t id = 0;
    EXPECT_EQ(c->FindPath("", id), 0);
    s->release(std::move(c));
}

// A suffix without the tree is a store not made yet (-634, as an empty
// file is); a server without the fixed schema is not a directory (-617).
TEST(LdapStoreSetup, SuffixWithoutTreeAndServerWithoutSchema) {
    arbortest::TempDir tmp{"pdksa-ldap"};
    pdksatest::Slapd bare, noSchema;
    ASSERT_EQ(bare.Start(tmp.Str() + "/bare", kPort), "");
    ASSERT_EQ(noSchema.Start(tmp.Str() + "/noschema", kOtherPort, false), "");
    bare.Export();
    std::unique_ptr<Conn> c;
    EXPECT_EQ(StoreFor(bare.Url())->Acquire(c), DDCERR_NO_REFERRALS);
    noSchema.Export();
    EXPECT_EQ(StoreFor(noSchema.Url())->Acquire(c), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(CreateStore(noSchema.Url()), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(StoreFor(noSchema.Url())->Acquire(c), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(c, nullptr);
}

// Nothing listening, or a peer that takes the connection and never answers:
// -634 within the time-outs, never a hang.
TEST(LdapStoreReach, UnreachableAndSilentServersFailInBoundedTime) {
    ::setenv("ARBOR_DIRECTORY_BIND_DN", "cn=admin,dc=arbor", 1);
    ::unsetenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE");
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kSilentPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 8), 0); // accepted by the kernel, never read
    for (int port : {kDeadPort, kSilentPort}) {
        auto s = StoreFor("ldap://127.0.0.1:" + std::to_string(port) + "/dc=arbor");
        const auto start = Clock::now();
        std::unique_ptr<Conn> c;
        EXPECT_EQ(s->Acquire(c), DDCERR_NO_REFERRALS) << port;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << port;
        s->Generation(); // a poll that cannot reach the server does not hang either
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(40)) << port;
    }
    ::close(fd);
}

TEST(LdapStoreSettings, LocatorEnvironmentAndConfiguration) {
    arbortest::TempDir tmp{"pdksa-ldap"};
    const std::string conf = tmp.Str() + "/arbor.conf";
    arbortest::WriteFile(conf, "arbor.directory.url=ldap://10.0.0.1/\n"
                               "arbor.directory.base=dc=conf\n"
                               "arbor.directory.bind-dn=cn=svc,dc=conf\n"
                               "arbor.directory.bind-password-file=/etc/arbor/dir.pw\n");
    ::setenv("ARBOR_CONF", conf.c_str(), 1);
    for (const char* name : {"ARBOR_DIRECTORY_URL", "ARBOR_DIRECTORY", "ARBOR_DIRECTORY_BASE",
                             "ARBOR_DIRECTORY_BIND_DN", "ARBOR_DIRECTORY_BIND_PASSWORD_FILE"})
        ::unsetenv(name);
    EXPECT_EQ(DefaultStorePath(), "ldap://10.0.0.1/");
    LdapSettings s;
    ASSERT_EQ(LdapSettingsFor(DefaultStorePath(), s), 0);
    EXPECT_EQ(s.base, "dc=conf");
    EXPECT_EQ(s.bindDn, "cn=svc,dc=conf");
    EXPECT_EQ(s.passwordFile, "/etc/arbor/dir.pw");
    ::setenv("ARBOR_DIRECTORY_URL", "ldap://a:1/dc=url ldapi://%2Frun%2Fslapd.sock", 1);
    ::setenv("ARBOR_DIRECTORY_BIND_DN", "cn=env", 1);
    ASSERT_EQ(LdapSettingsFor(DefaultStorePath(), s), 0);
    EXPECT_EQ(s.urls.size(), 2u);
    EXPECT_EQ(s.base, "dc=url"); // the URL's DN wins
    EXPECT_EQ(s.bindDn, "cn=env");
    for (const char* bad : {"ldap://a:1/ http://b/", "ldap://a:1/dc=x,,", "ldap://[::1"})
        EXPECT_EQ(LdapSettingsFor(bad, s), DDCERR_INVALID_PARAMETER) << bad;
    std::unique_ptr<Conn> c;
    EXPECT_EQ(StoreFor("ldap://a:1/ http://b/")->Acquire(c), DDCERR_INVALID_PARAMETER);
    ::setenv("ARBOR_DIRECTORY", "/x/dir.db", 1);
    ::unsetenv("ARBOR_DIRECTORY_URL");
    EXPECT_EQ(DefaultStorePath(), "/x/dir.db");
    ::unsetenv("ARBOR_DIRECTORY");
    ::unsetenv("ARBOR_CONF");
    ::unsetenv("ARBOR_DIRECTORY_BIND_DN");
}

} // namespace
