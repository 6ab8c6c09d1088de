// libkdx in library mode against a real directory store.
#include "internal.h"
#include "kdxcommon.h"
#include "testtree.h"

#include <pdksa.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using kdxtest::kServerDN;
using kdxtest::kServices;

namespace {

std::unique_ptr<kdxtest::TestTree> gTree;

class DirectoryEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        gTree = std::make_unique<kdxtest::TestTree>();
        ASSERT_EQ(gTree->Build(), 0);
        ASSERT_EQ(gTree->AddItems(kServices, "item", 3), 0);
        ASSERT_EQ(gTree->AddItems(arbortest::kUnitDN, "user", 25), 0);
        // Long names, so that a listing takes more than one batch.
        ASSERT_EQ(gTree->AddItems(kServices, std::string(58, 'x') + "-", 200), 0);
        gTree->UseEnvironment();
        ASSERT_EQ(KDXInit(), 1);
    }
    void TearDown() override {
        // Shutdown completes after a library-mode start-up, and runs once.
        EXPECT_EQ(KDXShutdown(), 1);
        EXPECT_EQ(KDXShutdown(), 0);
        uint32_t ctx;
        unsigned char* buf;
        EXPECT_NE(GetCachedContext(&ctx, &buf), 0);
        gTree.reset();
    }
};

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new DirectoryEnv);

std::vector<std::string> Values(const KDXValueStruct& vs) {
    return std::vector<std::string>(vs.Value, vs.Value + vs.Used);
}

// A structure on a base, destroyed at the end of the test.
class OnBase : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(KDXInitValueStruct(kServices, &vs_), &vs_); }
    void TearDown() override { KDXDestroyValueStruct(&vs_); }
    std::vector<std::string> Read(const char* obj, const char* attr) {
        KDXFreeValues(&vs_);
        KDXRead(obj, attr, &vs_);
        return Values(vs_);
    }
    void SetValues(std::initializer_list<const char*> list) {
        KDXFreeValues(&vs_);
        for (const char* v : list)
            KDXAddValue(v, &vs_);
    }
    // Sets the structure's values to list and writes them as attr of obj.
    int Write(const char* obj, const char* attr, std::initializer_list<const char*> list) {
        SetValues(list);
        return KDXWrite(obj, attr, &vs_);
    }
    KDXValueStruct vs_{};
};

using Strings = std::vector<std::string>;

TEST(Startup, LibraryModeStateAndServerInfo) {
    EXPECT_EQ(KDXReady, 1);
    EXPECT_EQ(KDXFailed, 0);
    EXPECT_EQ(KDXIsLibrary, 1);
    EXPECT_EQ(KDXInit(), 1); // a second call does not start again
    char dn[KDX_SERVER_DN_SIZE], tree[KDX_TREE_NAME_SIZE], tree2[KDX_TREE_NAME_SIZE];
    EXPECT_EQ(KDXGetServerInfo(dn, tree, tree2), 1);
    EXPECT_STREQ(dn, kServerDN);
    EXPECT_STREQ(tree, "ACME");
    EXPECT_STREQ(tree2, "ACME");
    char replica[KDX_SERVER_DN_SIZE] = "";
    EXPECT_EQ(KDXGetLocalReplicaName(replica), 1);
    EXPECT_STREQ(replica, kServerDN);
    EXPECT_EQ(KDXGetLocalReplicaName(nullptr), 1);
    EXPECT_EQ(ORBGetServerDN(tree, nullptr), 1);
}

TEST(ValueStructs, BasesFlagsAndContextReturn) {
    KDXValueStruct* vs = KDXInitValueStruct(nullptr, nullptr);
    ASSERT_NE(vs, nullptr);
    EXPECT_EQ(vs->Flags, unsigned{KDX_VS_ALLOCATED | KDX_VS_HAS_CONTEXT});
    EXPECT_EQ(vs->AttrBuffer, vs->NameBuffer + KDX_ATTR_BUFFER_OFFSET);
    EXPECT_EQ(KDXRead("org\\sales\\MAIL1", "Network Address", vs), 1);
    EXPECT_STREQ(vs->Value[0], "127.0.0.1");

    // Relative base below the tree root, then a full one, then back to the root.
    ASSERT_EQ(KDXSetValueStructContext("org\\sales", vs), 1);
    EXPECT_TRUE(vs->Flags & KDX_VS_BASE_SET);
    EXPECT_EQ(KDXIsObject("MAIL1", vs), 1);
    ASSERT_EQ(KDXSetValueStructContext(kServerDN, vs), 1);
    EXPECT_EQ(KDXIsObject(".", vs), 1);
    ASSERT_EQ(KDXSetValueStructContext(nullptr, vs), 1);
    EXPECT_EQ(KDXIsObject("org", vs), 1);
    EXPECT_EQ(KDXIsObject("MAIL1", vs), 0);

    size_t cached = kdx::CacheSize();
    EXPECT_EQ(KDXDestroyValueStruct(vs), 1);
    EXPECT_EQ(kdx::CacheSize(), cached + 1);

    // The context comes back with its base reset to the tree root.
    KDXValueStruct mine;
    std::memset(&mine, 0xA5, sizeof mine); // set-up clears whatever was there
    ASSERT_EQ(KDXInitValueStruct(nullptr, &mine), &mine);
    EXPECT_EQ(mine.Flags, unsigned{KDX_VS_HAS_CONTEXT});
    EXPECT_EQ(mine.Used, 0u);
    EXPECT_EQ(KDXIsObject("org", &mine), 1);
    KDXAddValue("x", &mine);

    KDXValueStruct* shared = KDXShareContext(nullptr, &mine);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->Context, mine.Context);
    EXPECT_EQ(shared->Flags, unsigned{KDX_VS_ALLOCATED | KDX_VS_HAS_CONTEXT | KDX_VS_SHARED});
    EXPECT_EQ(shared->Used, 0u);
    EXPECT_EQ(KDXRead(kServerDN, "Network Address", shared), 1);
    cached = kdx::CacheSize();
    EXPECT_EQ(KDXDestroyValueStruct(shared), 1);
    EXPECT_EQ(kdx::CacheSize(), cached); // a sharer hands nothing back
    EXPECT_EQ(mine.Used, 1u);
    EXPECT_EQ(KDXDestroyValueStruct(&mine), 1);
    EXPECT_EQ(mine.Flags, 0u);
    EXPECT_EQ(mine.Value, nullptr);
    EXPECT_EQ(kdx::CacheSize(), cached + 1);
}

TEST(ValueStructs, BadBaseFailsWithoutLosingTheContext) {
    size_t cached = kdx::CacheSize();
    KDXValueStruct vs{};
    EXPECT_EQ(KDXInitValueStruct("bad\xC3", &vs), nullptr);
    EXPECT_EQ(vs.Error, KDX_ERR_NO_CHARACTER_MAPPING);
    EXPECT_EQ(vs.Flags, 0u);
    EXPECT_EQ(KDXDestroyValueStruct(&vs), 0);
    std::string huge(40000, 'a');
    EXPECT_EQ(KDXInitValueStruct(huge.c_str(), &vs), nullptr);
    EXPECT_EQ(vs.Error, KDX_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(KDXInitValueStruct(huge.c_str(), nullptr), nullptr);
    EXPECT_EQ(kdx::CacheSize(), cached); // handed back, not leaked
}

TEST_F(OnBase, ReadAppendsInDirectoryOrderAndRecordsErrors) {
    ASSERT_EQ(Write("item0", "KDXTest:Text", {"a", "b", "c"}), 1);
    SetValues({"x", "y"});
    EXPECT_EQ(KDXRead("item0", "KDXTest:Text", &vs_), 3);
    EXPECT_EQ(Values(vs_), (Strings{"x", "y", "a", "b", "c"}));

    vs_.Error = 0;
    EXPECT_EQ(KDXRead("nosuch", "KDXTest:Text", &vs_), 0);
    EXPECT_EQ(vs_.Error, 0); // a failed resolve leaves Error alone
    EXPECT_EQ(KDXRead("item1", "KDXTest:Text", &vs_), 0);
    EXPECT_EQ(vs_.Error, DDCERR_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(KDXRead("item0", nullptr, &vs_), 0);
    EXPECT_EQ(vs_.Used, 5u);
    // "." is the base object itself.
    EXPECT_EQ(Read(".", "Object Class").front(), "KDXTest:Services");
}

TEST_F(OnBase, WriteReplacesAllValuesInOneModification) {
    ASSERT_EQ(Write("item1", "KDXTest:Text", {"one", "two", "three"}), 1);
    ASSERT_EQ(Write("item1", "KDXTest:Text", {"new", "two"}), 1);
    EXPECT_EQ(Read("item1", "KDXTest:Text"), (Strings{"new", "two"}));

    // A name that does not resolve fails the one modification: the old values stay.
    SetValues({"\\ACME\\org"});
    ASSERT_EQ(KDXWriteDN("item1", "KDXTest:Member", &vs_), 1);
    SetValues({"\\ACME\\org\\sales", "\\ACME\\nowhere"});
    EXPECT_EQ(KDXWriteDN("item1", "KDXTest:Member", &vs_), 0);
    EXPECT_NE(vs_.Error, 0);
    KDXFreeValues(&vs_);
    EXPECT_EQ(KDXReadDN("item1", "KDXTest:Member", &vs_), 1);
    EXPECT_TRUE(strcasecmp(vs_.Value[0], "\\ACME\\org") == 0) << vs_.Value[0];
    // A single-valued attribute takes the last value written.
    EXPECT_EQ(Write("item1", "KDXTest:Single", {"p", "q"}), 1);
    EXPECT_EQ(Read("item1", "KDXTest:Single"), Strings{"q"});

    // A malformed value stops the whole write before anything is sent.
    EXPECT_EQ(Write("item1", "KDXTest:Text", {"fine", "bad\xE2\x82"}), 0);
    EXPECT_EQ(vs_.Error, KDX_ERR_NO_CHARACTER_MAPPING);
    EXPECT_EQ(Read("item1", "KDXTest:Text"), (Strings{"new", "two"}));

    // An empty list only clears.
    KDXFreeValues(&vs_);
    EXPECT_EQ(KDXWrite("item1", "KDXTest:Text", &vs_), 1);
    EXPECT_TRUE(Read("item1", "KDXTest:Text").empty());
}

TEST_F(OnBase, WritesAndReadsAgreeOnTheLongestValue) {
    const std::string longest(KDX_MAX_VALUE_UNITS, 'v');
    const std::string over(6000, 'w');
    ASSERT_EQ(Write("item1", "KDXTest:Text", {"a", longest.c_str()}), 1);
    EXPECT_EQ(Read("item1", "KDXTest:Text"), (Strings{"a", longest}));
    // One value over the bound: nothing is written.
    SetValues({"b", over.c_str()});
    vs_.Error = 0;
    EXPECT_EQ(KDXWrite("item1", "KDXTest:Text", &vs_), 0);
    EXPECT_EQ(vs_.Error, KDX_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(KDXAdd("item1", "KDXTest:Text", over.c_str(), &vs_), 0);
    EXPECT_EQ(Read("item1", "KDXTest:Text"), (Strings{"a", longest}));

    // Put there by other means, an over-long value hides none of the others.
    arbortest::MaintenanceContext m;
    ASSERT_EQ(m.Err(), 0);
    ASSERT_EQ(DDCResolveName(m.get(), DDC_RESOLVE_FOR_WRITE,
                             (std::string(kServices) + "\\item1").c_str()),
              0);
    DDCEntry e[2] = {};
    e[0] = DDCEntry{DDC_OP_ADD_VALUE, DDC_SYN_TEXT, 0, 0, "KDXTest:Text", 0, 0, over.c_str()};
    e[1] = DDCEntry{DDC_OP_ADD_VALUE, DDC_SYN_TEXT, 0, 0, "KDXTest:Text", 0, 0, "z"};
    ASSERT_EQ(DDCModifyEntry(m.get(), 2, e), 0);
    KDXFreeValues(&vs_);
    vs_.Error = 0;
    EXPECT_EQ(KDXRead("item1", "KDXTest:Text", &vs_), 3);
    EXPECT_EQ(Values(vs_), (Strings{"a", longest, "z"}));
    EXPECT_EQ(vs_.Error, -649);
    ASSERT_EQ(KDXClear("item1", "KDXTest:Text", &vs_), 1);
}

TEST_F(OnBase, AddRemoveClearAndNames) {
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", "v1", &vs_), 1);
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", "v2", &vs_), 1);
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", "V1", &vs_), 0); // text compares without case
    EXPECT_EQ(vs_.Error, DDCERR_DUPLICATE_VALUE);
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", nullptr, &vs_), 0);
    EXPECT_EQ(KDXRemove("item2", "KDXTest:Text", "v1", &vs_), 1);
    EXPECT_EQ(KDXRemove("item2", "KDXTest:Text", "v1", &vs_), 0);
    EXPECT_EQ(Read("item2", "KDXTest:Text"), Strings{"v2"});
    EXPECT_EQ(KDXClear("item2", "KDXTest:Text", &vs_), 1);
    EXPECT_TRUE(Read("item2", "KDXTest:Text").empty());
    EXPECT_EQ(KDXAdd("nosuch", "KDXTest:Text", "v", &vs_), 0);

    // Names: stored as objects, read back as full names whatever the base.
    EXPECT_EQ(KDXAddDN("item2", "KDXTest:Member", "\\ACME\\org\\sales\\user1", &vs_), 1);
    EXPECT_EQ(KDXAddDN("item2", "KDXTest:Member", "\\ACME\\Internet Services\\item0", &vs_), 1);
    KDXFreeValues(&vs_);
    EXPECT_EQ(KDXReadDN("item2", "KDXTest:Member", &vs_), 2);
    Strings got = Values(vs_);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(strcasecmp(got[0].c_str(), "\\ACME\\Internet Services\\item0") == 0) << got[0];
    EXPECT_TRUE(strcasecmp(got[1].c_str(), "\\ACME\\org\\sales\\user1") == 0) << got[1];
    // The base is back in place after the read.
    EXPECT_EQ(KDXIsObject("item2", &vs_), 1);
    EXPECT_EQ(KDXRemoveDN("item2", "KDXTest:Member", "\\ACME\\org\\sales\\user1", &vs_), 1);
    KDXFreeValues(&vs_);
    EXPECT_EQ(KDXReadDN("item2", "KDXTest:Member", &vs_), 1);
}

TEST_F(OnBase, ReadExHandsOutEachBatchLastFirst) {
    ASSERT_EQ(Write("item0", "KDXTest:Text", {"a", "b", "c"}), 1);
    KDXEnumStruct es;
    ASSERT_EQ(KDXInitEnumStruct(&es), 1);
    auto readAll = [&](Strings got = {}) {
        while (char* v = KDXReadEx("item0", "KDXTest:Text", &es, &vs_))
            got.push_back(v);
        return got;
    };
    EXPECT_EQ(readAll(), (Strings{"c", "b", "a"}));
    EXPECT_EQ(es.Active, 0);

    // More values than one batch holds: every value exactly once, each batch reversed.
    KDXFreeValues(&vs_);
    for (int i = 0; i < 300; ++i) {
        char v[128];
        std::snprintf(v, sizeof v, "%03d-%0100d", i, 0);
        KDXAddValue(v, &vs_);
    }
    ASSERT_EQ(KDXWrite("item0", "KDXTest:Text", &vs_), 1);
    const Strings got = readAll();
    ASSERT_EQ(got.size(), 300u);
    EXPECT_GT(std::stoi(got[0]), std::stoi(got[1])) << "first batch not reversed";
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 300u);
    int descents = 0;
    for (size_t i = 1; i < got.size(); ++i)
        descents += std::stoi(got[i]) > std::stoi(got[i - 1]);
    EXPECT_GE(descents, 1) << "expected more than one batch";
    EXPECT_EQ(KDXReadEx("nosuch", "KDXTest:Text", &es, &vs_), nullptr);
    EXPECT_EQ(KDXDestroyEnumStruct(&es), 1);
}

TEST_F(OnBase, ObjectsAndTheirDetails) {
    for (const char* name : {"item0", "CN=item0", "ITEM0"})
        EXPECT_EQ(KDXIsObject(name, &vs_), 1) << name;
    EXPECT_EQ(KDXIsObject("nothing", &vs_), 0);
    EXPECT_EQ(KDXIsObject(kServerDN, nullptr), 1); // the cache holds a context now
    size_t cached = kdx::CacheSize();
    EXPECT_EQ(KDXIsObject(kServerDN, nullptr), 1);
    EXPECT_EQ(KDXIsObject("org\\sales", nullptr), 1);
    EXPECT_EQ(KDXIsObject("\\ACME\\nothing", nullptr), 0);
    EXPECT_EQ(kdx::CacheSize(), cached);

    char cls[KDX_DETAILS_SIZE], rdn[KDX_DETAILS_SIZE], full[KDX_DETAILS_SIZE];
    ASSERT_EQ(KDXGetObjectDetails("item1", cls, rdn, full, &vs_), 1);
    EXPECT_STREQ(cls, "KDXTest:Item");
    EXPECT_STREQ(rdn, "item1");
    EXPECT_STREQ(full, "\\ACME\\Internet Services\\item1");
    ASSERT_EQ(KDXGetObjectDetails(kServerDN, cls, nullptr, full, &vs_), 1);
    EXPECT_STREQ(cls, "TWP Server");
    EXPECT_STREQ(full, kServerDN);
    EXPECT_EQ(KDXGetObjectDetails("item1", nullptr, nullptr, nullptr, &vs_), 1);
    EXPECT_EQ(KDXGetObjectDetails("nothing", nullptr, nullptr, nullptr, &vs_), 0);
    EXPECT_EQ(KDXGetObjectDetails("item1", cls, nullptr, nullptr, nullptr), 0);
}

TEST_F(OnBase, BadNamesAndValuesAreRefusedAndWriteNothing) {
    ASSERT_EQ(Write("item2", "KDXTest:Text", {"keep"}), 1);
    std::string longName(20000, 'n');
    vs_.Error = 0;
    EXPECT_EQ(KDXRead(longName.c_str(), "KDXTest:Text", &vs_), 0);
    EXPECT_EQ(vs_.Error, KDX_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(KDXIsObject(longName.c_str(), nullptr), 0);
    std::string longValue(12000, 'v');
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", longValue.c_str(), &vs_), 0);
    EXPECT_EQ(vs_.Error, KDX_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", "\xC3(", &vs_), 0);
    EXPECT_EQ(vs_.Error, KDX_ERR_NO_CHARACTER_MAPPING);
    EXPECT_EQ(KDXAdd("item2", "KDXTest:T\xFFxt", "v", &vs_), 0);
    EXPECT_EQ(KDXRead("item\xE2", "KDXTest:Text", &vs_), 0);
    EXPECT_EQ(Read("item2", "KDXTest:Text"), Strings{"keep"});

    // Non-ASCII text travels both ways.
    EXPECT_EQ(KDXAdd("item2", "KDXTest:Text", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", &vs_), 1);
    EXPECT_EQ(Read("item2", "KDXTest:Text"), (Strings{"keep", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"}));
}

TEST(Enumeration, AllAtOnceWithFilters) {
    KDXValueStruct vs{};
    ASSERT_NE(KDXInitValueStruct("org", &vs), nullptr);
    KDXAddValue("before", &vs);
    EXPECT_EQ(KDXEnumerateObjects("sales\\MAIL1", nullptr, nullptr, &vs), 0); // empty container
    EXPECT_EQ(vs.Used, 1u);
    KDXFreeValues(&vs);

    EXPECT_EQ(KDXEnumerateObjects("sales", nullptr, nullptr, &vs), 26);
    std::set<std::string> names(vs.Value, vs.Value + vs.Used);
    EXPECT_EQ(names.size(), 26u);
    EXPECT_TRUE(names.count("user24"));
    EXPECT_TRUE(names.count("MAIL1"));
    KDXFreeValues(&vs);
    EXPECT_EQ(KDXEnumerateObjects("sales", "KDXTest:Item", nullptr, &vs), 25);
    KDXFreeValues(&vs);
    EXPECT_EQ(KDXEnumerateObjects("sales", "TWP Server", nullptr, &vs), 1);
    KDXFreeValues(&vs);
    EXPECT_EQ(KDXEnumerateObjects("sales", nullptr, "user1*", &vs), 11);
    KDXFreeValues(&vs);
    EXPECT_EQ(KDXEnumerateObjects("nosuch", nullptr, nullptr, &vs), 0);
    KDXDestroyValueStruct(&vs);
}

TEST(Enumeration, OneAtATimeLastOfEachBatchFirst) {
    KDXValueStruct vs{};
    ASSERT_NE(KDXInitValueStruct(nullptr, &vs), nullptr);
    KDXEnumStruct es;
    ASSERT_EQ(KDXInitEnumStruct(&es), 1);
    Strings got;
    while (char* n = KDXEnumerateObjectsEx("org\\sales", "KDXTest:Item", nullptr, &es, &vs))
        got.push_back(n);
    ASSERT_EQ(got.size(), 25u);
    // One batch, handed out from its end: the directory lists by name.
    Strings sorted = got;
    std::sort(sorted.begin(), sorted.end(),
              [](auto& a, auto& b) { return strcasecmp(a.c_str(), b.c_str()) > 0; });
    EXPECT_EQ(got, sorted);
    EXPECT_EQ(es.Active, 0);
    // Starts over afterwards.
    EXPECT_NE(KDXEnumerateObjectsEx("org\\sales", nullptr, "MAIL*", &es, &vs), nullptr);
    EXPECT_EQ(KDXEnumerateObjectsEx("ignored", nullptr, "MAIL*", &es, &vs), nullptr);
    EXPECT_EQ(KDXEnumerateObjectsEx("org\\sales", nullptr, nullptr, nullptr, &vs), nullptr);

    // Several batches: every name once, each batch from its end.
    got.clear();
    while (char* n = KDXEnumerateObjectsEx(kServices, nullptr, "x*", &es, &vs))
        got.push_back(n);
    ASSERT_EQ(got.size(), 200u);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 200u);
    auto number = [](const std::string& n) { return std::stoi(n.substr(n.find('-') + 1)); };
    int rises = 0;
    for (size_t i = 1; i < got.size(); ++i)
        rises += number(got[i]) > number(got[i - 1]);
    EXPECT_GE(rises, 1) << "one batch only";
    EXPECT_LT(rises, 200 / 2);
    EXPECT_EQ(KDXEnumerateObjects(kServices, nullptr, "x*", &vs), 200);
    KDXFreeValues(&vs);
    KDXDestroyEnumStruct(&es);
    KDXDestroyValueStruct(&vs);
}

TEST(Passwords, VerifyChangeAndReset) {
    char builtin[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(builtin, sizeof builtin);
    EXPECT_EQ(KDXVerifyPassword("Internet Services", builtin, nullptr), 1);
    size_t cached = kdx::CacheSize();
    EXPECT_GE(cached, 1u);
    EXPECT_EQ(KDXVerifyPassword("Internet Services", builtin, nullptr), 1);
    EXPECT_EQ(KDXVerifyPassword("Internet Services", "wrong", nullptr), 0);
    EXPECT_EQ(KDXVerifyPassword("nosuch", "wrong", nullptr), 0);
    EXPECT_EQ(kdx::CacheSize(), cached);

    // Reset without the old password (the login object has the rights), then change.
    EXPECT_EQ(KDXChangePasswordEx("org\\sales\\user3", nullptr, "S\xC3\xA9same1", nullptr), 1);
    EXPECT_EQ(KDXVerifyPassword("org\\sales\\user3", "S\xC3\xA9same1", nullptr), 1);
    KDXValueStruct vs{};
    ASSERT_NE(KDXInitValueStruct("org\\sales", &vs), nullptr);
    EXPECT_EQ(KDXChangePassword("user3", "not it", "other", &vs), 0);
    EXPECT_NE(vs.Error, 0);
    EXPECT_EQ(KDXChangePassword("user3", "S\xC3\xA9same1", "other", &vs), 1);
    EXPECT_EQ(KDXVerifyPassword("user3", "other", &vs), 1);
    EXPECT_EQ(KDXVerifyPassword("user3", "S\xC3\xA9same1", &vs), 0);
    EXPECT_EQ(KDXVerifyPassword("user3", "bad\xC3", &vs), 0);
    KDXDestroyValueStruct(&vs);
    EXPECT_EQ(kdx::CacheSize(), cached);
}

TEST(Cache, HoldsAThousandPairsAndFreesTheRest) {
    std::vector<std::pair<uint32_t, unsigned char*>> pairs(1001);
    for (auto& p : pairs)
        ASSERT_EQ(GetCachedContext(&p.first, &p.second), 0);
    EXPECT_EQ(kdx::CacheSize(), 0u);
    kdx::CacheStats before = kdx::ReadCacheStats();
    // Most recently released first.
    ReleaseCachedContext(pairs[0].first, pairs[0].second, 0);
    ReleaseCachedContext(pairs[1].first, pairs[1].second, 1);
    uint32_t ctx;
    unsigned char* buf;
    ASSERT_EQ(GetCachedContext(&ctx, &buf), 0);
    EXPECT_EQ(ctx, pairs[1].first);
    EXPECT_EQ(buf, pairs[1].second);
    ReleaseCachedContext(ctx, buf, 0);
    for (size_t i = 2; i < pairs.size(); ++i)
        ReleaseCachedContext(pairs[i].first, pairs[i].second, 0);
    kdx::CacheStats after = kdx::ReadCacheStats();
    EXPECT_EQ(kdx::CacheSize(), 1000u);
    EXPECT_EQ(after.released - before.released, 1001); // 1000 pairs, one of them twice
    EXPECT_EQ(after.destroyed - before.destroyed, 1);
    EXPECT_EQ(after.retrieved - before.retrieved, 1);

    // A pair whose base cannot be reset is freed, not cached and not counted.
    ASSERT_EQ(GetCachedContext(&ctx, &buf), 0);
    DDCFreeContext(ctx);
    before = kdx::ReadCacheStats();
    ReleaseCachedContext(ctx, buf, 1);
    after = kdx::ReadCacheStats();
    EXPECT_EQ(after.released, before.released);
    EXPECT_EQ(after.destroyed, before.destroyed);
    EXPECT_EQ(kdx::CacheSize(), 999u);
}

// When the login context can no longer be copied, the library logs in afresh.
TEST(Cache, LogsInAgainWhenTheLoginContextIsGone) {
    std::vector<std::pair<uint32_t, unsigned char*>> drained;
    while (kdx::CacheSize() > 0) {
        drained.emplace_back();
        ASSERT_EQ(GetCachedContext(&drained.back().first, &drained.back().second), 0);
    }
    uint32_t old = AuthContext;
    ASSERT_EQ(DDCFreeContext(old), 0);
    uint32_t ctx = 0;
    unsigned char* buf = nullptr;
    kdx::CacheStats before = kdx::ReadCacheStats();
    ASSERT_EQ(GetCachedContext(&ctx, &buf), 0);
    EXPECT_EQ(kdx::ReadCacheStats().added, before.added + 1);
    ReleaseCachedContext(ctx, buf, 0);
    for (auto& p : drained)
        ReleaseCachedContext(p.first, p.second, 0);
    // The new copy carries the login.
    KDXValueStruct* vs = KDXInitValueStruct(nullptr, nullptr);
    ASSERT_NE(vs, nullptr);
    EXPECT_EQ(KDXRead(kServerDN, "Network Address", vs), 1);
    KDXDestroyValueStruct(vs);
}

TEST(ServerConnections, OpenCloseAndExtensions) {
    uint32_t ctx = 0;
    unsigned char* buf = nullptr;
    size_t cached = kdx::CacheSize();
    EXPECT_EQ(KDXOpenConnectionToServer("\\ACME\\org\\nosuch", &ctx, &buf), 0);
    EXPECT_EQ(kdx::CacheSize(), cached);
    ASSERT_EQ(KDXOpenConnectionToServer(kServerDN, &ctx, &buf), 1);
    ASSERT_NE(buf, nullptr);

    char reply[64];
    uint32_t len = sizeof reply;
    ASSERT_EQ(KDXTWPExtensionRequest(ctx, DDC_EXT_ECHO, "hello", 5, reply, &len), 1);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::string(reply, len), "hello");
    len = 3; // the caller's room bounds the reply
    std::memset(reply, 'z', sizeof reply);
    EXPECT_EQ(KDXTWPExtensionRequest(ctx, DDC_EXT_ECHO, "hello", 5, reply, &len), 1);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(std::string(reply, 4), "helz");
    EXPECT_EQ(KDXTWPExtensionRequest(ctx, 0x7777, "x", 1, reply, &len), 0);
    std::string longName(300, 'x');
    uint32_t number = 0;
    EXPECT_EQ(
        KDXGetTWPExtensionInfoByName(ctx, longName.c_str(), &number, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(
        KDXGetTWPExtensionInfoByName(ctx, "no such extension", &number, nullptr, nullptr, nullptr),
        0);

    EXPECT_EQ(kdx::CacheSize(), cached - 1);
    EXPECT_EQ(KDXCloseConnectionToServer(ctx, buf), 1);
    EXPECT_EQ(kdx::CacheSize(), cached);
}

TEST(Threads, StructurelessCallsFromManyThreads) {
    char builtin[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(builtin, sizeof builtin);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            KDXValueStruct vs{};
            if (KDXInitValueStruct("org\\sales", &vs) == nullptr) {
                ++failures;
                return;
            }
            for (int i = 0; i < 20; ++i) {
                std::string user = "org\\sales\\user" + std::to_string((t * 20 + i) % 25);
                if (KDXIsObject(user.c_str(), nullptr) != 1) ++failures;
                if (KDXVerifyPassword("Internet Services", builtin, nullptr) != 1) ++failures;
                KDXFreeValues(&vs);
                if (KDXRead("MAIL1", "Network Address", &vs) != 1) ++failures;
            }
            KDXDestroyValueStruct(&vs);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

// Runs last: it removes and makes again the login object itself, as a
// reinstallation of the setup tool does under a running process.
TEST(Cache, LogsInAgainWhenTheLoginObjectIsRemovedAndMadeAgain) {
    // Copies of the old login wait in the cache.
    std::vector<std::pair<uint32_t, unsigned char*>> pairs(3);
    for (auto& p : pairs)
        ASSERT_EQ(GetCachedContext(&p.first, &p.second), 0);
    for (auto& p : pairs)
        ReleaseCachedContext(p.first, p.second, 0);

    arbortest::MaintenanceContext maintenance;
    ASSERT_EQ(maintenance.Err(), 0);
    const DDCContextHandle m = maintenance.get();
    for (;;) {
        alignas(8) unsigned char buf[16384];
        int32_t count = 0;
        DDCListRequest req{0, 0, 1, 0, nullptr, nullptr, 0, 0};
        ASSERT_EQ(DDCResolveName(m, DDC_RESOLVE_FOR_READ, kServices), 0);
        ASSERT_EQ(DDCListToBuffer(m, &req, 8192, sizeof buf, buf, &count), 0);
        if (count == 0) break;
        for (int32_t i = 0; i < count; ++i) {
            const char* name;
            std::memcpy(&name, buf + i * sizeof name, sizeof name);
            ASSERT_EQ(DDCRemoveEntry(m, (std::string(kServices) + "\\" + name).c_str()), 0);
        }
    }
    ASSERT_EQ(DDCRemoveEntry(m, kServices), 0);
    ASSERT_EQ(arbortest::CreateObject(m, kServices, "KDXTest:Services"), 0); // and makes it current
    char pw[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(pw, sizeof pw);
    ASSERT_EQ(DDCGenerateKeyPair(m, pw), 0);
    DDCACL attrs{47, DDC_ACL_ALL_ATTRIBUTES, kServices};
    DDCEntry acl{DDC_OP_ADD_VALUE, DDC_SYN_ACL, 0, 12, "ACL", 0, 0, &attrs};
    ASSERT_EQ(DDCResolveName(m, DDC_RESOLVE_FOR_WRITE, "\\ACME"), 0);
    ASSERT_EQ(DDCModifyEntry(m, 1, &acl), 0);

    // The stale copies are dropped and the library logs in as the new object,
    // whose rights let it write.
    KDXValueStruct* vs = KDXInitValueStruct(nullptr, nullptr);
    ASSERT_NE(vs, nullptr);
    KDXAddValue("fresh", vs);
    EXPECT_EQ(KDXWrite(kServices, "KDXTest:Text", vs), 1);
    KDXFreeValues(vs);
    EXPECT_EQ(KDXRead(kServices, "KDXTest:Text", vs), 1);
    EXPECT_EQ(Values(*vs), Strings{"fresh"});
    KDXDestroyValueStruct(vs);
}

} // namespace
