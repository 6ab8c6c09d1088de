// The store interface's contract, below the C interface: what every store
// must do the same way for the library above it to behave the same. Run per
// store implementation (the LDAP store joins the parameter list).
#include "ldap_fixture.h"
#include "pdksa.h"
#include "store.h"
#include "temp_dir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace pdksa;
using Strings = std::vector<std::string>;

// Makes an empty store in dir and gives its locator ("" on failure); the
// server it may need lives as long as the returned holder.
struct StoreKind {
    const char* name;
    std::function<std::string(const std::string& dir, std::shared_ptr<void>& holder)> make;
};

void PrintTo(const StoreKind& k, std::ostream* os) {
    *os << k.name;
}

const StoreKind kSqlite{"Sqlite", [](const std::string& dir, std::shared_ptr<void>&) {
                            const std::string path = dir + "/directory.db";
                            return CreateStore(path) == 0 ? path : std::string();
                        }};

const StoreKind kLdap{"Ldap", [](const std::string& dir, std::shared_ptr<void>& holder) {
                          auto slapd = std::make_shared<pdksatest::Slapd>();
                          holder = slapd;
                          const std::string err = slapd->Start(dir + "/slapd", 22611);
                          EXPECT_EQ(err, "");
                          slapd->Export();
                          const int rc = err.empty() ? CreateStore(slapd->Url()) : -1;
                          EXPECT_EQ(rc, 0);
                          return rc == 0 ? slapd->Url() : std::string();
                      }};

class StoreContract : public ::testing::TestWithParam<StoreKind> {
  protected:
    arbortest::TempDir tmp{"pdksa-contract"};
    std::shared_ptr<Store> store;
    std::unique_ptr<Conn> conn;
    std::shared_ptr<void> server;

    void SetUp() override {
        const std::string locator = GetParam().make(tmp.Str(), server);
        ASSERT_FALSE(locator.empty());
        store = StoreFor(locator);
        ASSERT_EQ(store->Acquire(conn), 0);
    }
    void TearDown() override {
        if (conn) store->release(std::move(conn));
    }

    int64_t Insert(int64_t parent, const std::string& path, const std::string& cls = "User") {
        const std::string rdn = SplitPath(path).back();
        int64_t id = 0;
        EXPECT_EQ(conn->InsertObject(parent, rdn, path, cls, id), 0) << path;
        return id;
    }
    int64_t Find(const std::string& path) {
        int64_t id = 0;
        const int rc = conn->FindPath(Fold(path), id);
        return rc == 0 ? id : rc;
    }
    static Value Text(const std::string& s, uint32_t syntax = DDC_SYN_TEXT) {
        Value v;
        v.syntax = syntax;
        v.v = s;
        v.lv = Fold(s);
        return v;
    }
    static Value Name(int64_t ref) {
        Value v;
        v.syntax = DDC_SYN_DIST_NAME;
        v.ref = ref;
        return v;
    }
    Strings Texts(int64_t obj, const std::string& lattr) {
        std::vector<Value> vals;
        EXPECT_EQ(conn->ReadValues(obj, lattr, vals), 0);
        Strings out;
        for (const auto& v : vals)
            out.push_back(v.syntax == DDC_SYN_DIST_NAME ? "->" + v.refPath : v.v);
        return out;
    }
};

TEST_P(StoreContract, ObjectsByPathIdAndParent) {
    ASSERT_EQ(conn->BeginWrite(), 0);
    EXPECT_TRUE(conn->InTransaction());
    const int64_t org = Insert(kRootId, "\\ACME", "Organization");
    const int64_t b = Insert(org, "\\ACME\\bob");
    const int64_t a = Insert(org, "\\ACME\\Ärger", "Group");
    const int64_t c = Insert(org, "\\ACME\\carol");
    ASSERT_EQ(conn->WriteValues(a, "object class", {Text("Group", DDC_SYN_CLASS_NAME)}), 0);
    ASSERT_EQ(conn->Commit(), 0);
    EXPECT_FALSE(conn->InTransaction());

    EXPECT_EQ(Find("\\acme\\BOB"), b);
    EXPECT_EQ(Find("\\acme\\ärger"), a);
    EXPECT_EQ(Find("\\acme\\dave"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(Find(""), kRootId);
    ObjInfo o;
    ASSERT_EQ(conn->ObjectInfo(c, o), 0);
    EXPECT_EQ(o.parent, org);
    EXPECT_EQ(o.name, "carol");
    EXPECT_EQ(o.path, "\\ACME\\carol");
    EXPECT_EQ(o.cls, "User");
    EXPECT_EQ(conn->ObjectInfo(c + 100, o), DDCERR_NO_SUCH_ENTRY);

    Strings names;
    ASSERT_EQ(conn->Children(org, "", names), 0);
    EXPECT_EQ(names, (Strings{"bob", "carol", "Ärger"})); // folded byte order
    ASSERT_EQ(conn->Children(org, "group", names), 0);
    EXPECT_EQ(names, Strings{"Ärger"});
    bool any = false;
    ASSERT_EQ(conn->HasChildren(org, any), 0);
    EXPECT_TRUE(any);
    ASSERT_EQ(conn->HasChildren(b, any), 0);
    EXPECT_FALSE(any);
}

TEST_P(StoreContract, RenameMovesTheSubtreeAndNameValuesFollow) {
    ASSERT_EQ(conn->BeginWrite(), 0);
    const int64_t org = Insert(kRootId, "\\ACME", "Organization");
    const int64_t ou = Insert(org, "\\ACME\\Sales", "Organizational Unit");
    const int64_t bob = Insert(ou, "\\ACME\\Sales\\bob");
    const int64_t deep = Insert(bob, "\\ACME\\Sales\\bob\\x");
    const int64_t other = Insert(org, "\\ACME\\Salesmen"); // shares the prefix only
    ASSERT_EQ(conn->WriteValues(other, "member", {Name(bob)}), 0);
    ASSERT_EQ(
        conn->RenameObject(ou, "\\ACME\\Sales", "Vertrieb für Süd", "\\ACME\\Vertrieb für Süd"), 0);
    ASSERT_EQ(conn->Commit(), 0);

    EXPECT_EQ(Find("\\ACME\\Sales\\bob"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(Find("\\acme\\vertrieb für süd\\BOB"), bob);
    EXPECT_EQ(Find("\\ACME\\Vertrieb für Süd\\bob\\x"), deep);
    EXPECT_EQ(Find("\\ACME\\Salesmen"), other);
    Strings below;
    ASSERT_EQ(conn->SubtreePaths("\\ACME\\Vertrieb für Süd", below), 0);
    std::sort(below.begin(), below.end());
    EXPECT_EQ(below,
              (Strings{"\\ACME\\Vertrieb für Süd\\bob", "\\ACME\\Vertrieb für Süd\\bob\\x"}));
    EXPECT_EQ(Texts(other, "member"), Strings{"->\\ACME\\Vertrieb für Süd\\bob"});
}

TEST_P(StoreContract, ValuesKeepTheirOrderAndRemovalTakesReferences) {
    ASSERT_EQ(conn->BeginWrite(), 0);
    const int64_t org = Insert(kRootId, "\\ACME", "Organization");
    const int64_t bob = Insert(org, "\\ACME\\bob");
    const int64_t grp = Insert(org, "\\ACME\\staff", "Group");
    const int64_t role = Insert(org, "\\ACME\\boss", "Organizational Role");
    ASSERT_EQ(conn->WriteValues(bob, "telephone number", {Text("3"), Text("1"), Text("2")}), 0);
    ASSERT_EQ(conn->WriteValues(bob, "description", {Text("x")}), 0);
    ASSERT_EQ(conn->WriteValues(grp, "member", {Name(bob), Name(role)}), 0);
    ASSERT_EQ(conn->WriteValues(role, "role occupant", {Name(bob)}), 0);
    ASSERT_EQ(conn->Commit(), 0);
    EXPECT_EQ(Texts(bob, "telephone number"), (Strings{"3", "1", "2"}));
    Strings attrs;
    ASSERT_EQ(conn->AttrNames(bob, attrs), 0);
    EXPECT_EQ(attrs, (Strings{"description", "telephone number"}));

    std::vector<RefUse> uses;
    ASSERT_EQ(conn->ReferencesTo(bob, uses), 0);
    ASSERT_EQ(uses.size(), 2u);
    std::sort(uses.begin(), uses.end(), [](auto& x, auto& y) { return x.holder < y.holder; });
    EXPECT_EQ(uses[0].holder, grp);
    EXPECT_EQ(uses[0].lattr, "member");
    EXPECT_EQ(uses[0].naming, 1);
    EXPECT_EQ(uses[0].total, 2);
    EXPECT_EQ(uses[1].holder, role);

    ASSERT_EQ(conn->BeginWrite(), 0);
    ASSERT_EQ(conn->WriteValues(bob, "description", {}), 0); // no values: gone
    ASSERT_EQ(conn->AttrNames(bob, attrs), 0);
    EXPECT_EQ(attrs, Strings{"telephone number"});
    ASSERT_EQ(conn->RemoveObject(bob), 0);
    ASSERT_EQ(conn->Commit(), 0);
    EXPECT_EQ(Find("\\ACME\\bob"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(Texts(grp, "member"), Strings{"->\\ACME\\boss"});
    EXPECT_TRUE(Texts(role, "role occupant").empty());
    // Ids are never given out again.
    ASSERT_EQ(conn->BeginWrite(), 0);
    EXPECT_GT(Insert(org, "\\ACME\\bob"), role);
    ASSERT_EQ(conn->Commit(), 0);
}

TEST_P(StoreContract, RollbackDropsChangesAndCommitMovesTheCounter) {
    std::unique_ptr<Conn> other;
    ASSERT_EQ(store->Acquire(other), 0);
    ASSERT_TRUE(store->CanAnnounce());
    const uint64_t before = store->Generation();
    ASSERT_EQ(conn->BeginWrite(), 0);
    Insert(kRootId, "\\Gone", "Organization");
    conn->Rollback();
    EXPECT_FALSE(conn->InTransaction());
    EXPECT_EQ(Find("\\Gone"), DDCERR_NO_SUCH_ENTRY);

    const uint64_t started = store->Generation();
    ASSERT_EQ(conn->BeginWrite(), 0);
    const int64_t id = Insert(kRootId, "\\Kept", "Organization");
    EXPECT_GT(store->Generation(), started); // moved before the change is made
    ASSERT_EQ(conn->Commit(), 0);
    EXPECT_GT(store->Generation(), before);
    int64_t seen = 0;
    EXPECT_EQ(other->FindPath(Fold("\\Kept"), seen), 0);
    EXPECT_EQ(seen, id);
    store->release(std::move(other));
}

TEST_P(StoreContract, SchemaDefinitionsAndTheirUse) {
    ASSERT_EQ(conn->LoadSchema(), 0);
    const int64_t gen = conn->schema().generation;
    ASSERT_NE(conn->schema().Attr("cn"), nullptr);
    EXPECT_TRUE(conn->schema().Attr("cn")->standard);
    EXPECT_EQ(conn->schema().Chain("user"), (Strings{"user", "top"}));

    ASSERT_EQ(conn->BeginWrite(), 0);
    AttrDef a{"Velmora:Colour", DDC_ATTRDEF_SINGLE_VALUED, DDC_SYN_TEXT, 0, 0, false};
    ASSERT_EQ(conn->InsertAttrDef("velmora:colour", a), 0);
    ClassDef c{"Velmora:Thing", DDC_CLASS_EFFECTIVE, "Top", {"Organization"}, {"CN"},
               {"CN"},          {"Velmora:Colour"},  false};
    ASSERT_EQ(conn->InsertClassDef("velmora:thing", c), 0);
    ASSERT_EQ(conn->SetClassOptionals("user", {"Velmora:Colour", "Surname"}), 0);
    ASSERT_EQ(conn->BumpSchema(), 0);
    ASSERT_EQ(conn->Commit(), 0);
    ASSERT_EQ(conn->LoadSchema(), 0);
    EXPECT_GT(conn->schema().generation, gen);
    const AttrDef* got = conn->schema().Attr("velmora:colour");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->name, "Velmora:Colour");
    EXPECT_EQ(got->flags, a.flags);
    EXPECT_FALSE(got->standard);
    const ClassDef* thing = conn->schema().Cls("velmora:thing");
    ASSERT_NE(thing, nullptr);
    EXPECT_EQ(thing->contain, Strings{"Organization"});
    EXPECT_EQ(thing->optional, Strings{"Velmora:Colour"});
    EXPECT_EQ(conn->schema().Cls("user")->optional, (Strings{"Velmora:Colour", "Surname"}));

    bool used = true;
    ASSERT_EQ(conn->AttrInUse("velmora:colour", used), 0);
    EXPECT_FALSE(used);
    ASSERT_EQ(conn->BeginWrite(), 0);
    const int64_t t = Insert(kRootId, "\\T", "Velmora:Thing");
    ASSERT_EQ(conn->WriteValues(t, "object class", {Text("Velmora:Thing", DDC_SYN_CLASS_NAME)}), 0);
    ASSERT_EQ(conn->WriteValues(t, "velmora:colour", {Text("red")}), 0);
    ASSERT_EQ(conn->Commit(), 0);
    ASSERT_EQ(conn->AttrInUse("velmora:colour", used), 0);
    EXPECT_TRUE(used);
    ASSERT_EQ(conn->ClassInUse("velmora:thing", used), 0);
    EXPECT_TRUE(used);
    ASSERT_EQ(conn->ClassInUse("group", used), 0);
    EXPECT_FALSE(used);
}

TEST_P(StoreContract, PasswordsAndIntruderState) {
    ASSERT_EQ(conn->BeginWrite(), 0);
    const int64_t bob = Insert(kRootId, "\\bob");
    PasswordHash h;
    EXPECT_EQ(conn->ReadPassword(bob, h), DDCERR_FAILED_AUTHENTICATION);
    for (size_t i = 0; i < PasswordHash::kSaltLen; ++i)
        h.salt[i] = static_cast<unsigned char>(i);
    for (size_t i = 0; i < PasswordHash::kHashLen; ++i)
        h.hash[i] = static_cast<unsigned char>(255 - i);
    h.hash[7] = 0; // bytes, not text: a zero must survive
    h.iter = 1234;
    ASSERT_EQ(conn->WritePassword(bob, h), 0);
    IntruderState st{3, 1000, 2000, true};
    ASSERT_EQ(conn->WriteIntruder(bob, st), 0);
    ASSERT_EQ(conn->Commit(), 0);

    PasswordHash got;
    ASSERT_EQ(conn->ReadPassword(bob, got), 0);
    EXPECT_EQ(0, std::memcmp(got.salt, h.salt, sizeof h.salt));
    EXPECT_EQ(0, std::memcmp(got.hash, h.hash, sizeof h.hash));
    EXPECT_EQ(got.iter, 1234);
    IntruderState now;
    ASSERT_EQ(conn->ReadIntruder(bob, now), 0);
    EXPECT_TRUE(now.present);
    EXPECT_EQ(now.attempts, 3);
    EXPECT_EQ(now.lockedUntil, 2000);
    IntruderPolicy p;
    ASSERT_EQ(conn->ReadIntruderPolicy(p), 0);
    EXPECT_EQ(p.attempts, IntruderPolicy{}.attempts);

    ASSERT_EQ(conn->BeginWrite(), 0);
    ASSERT_EQ(conn->ClearIntruder(bob), 0);
    ASSERT_EQ(conn->RemoveObject(bob), 0);
    ASSERT_EQ(conn->Commit(), 0);
    ASSERT_EQ(conn->ReadIntruder(bob, now), 0);
    EXPECT_FALSE(now.present);
    EXPECT_EQ(conn->ReadPassword(bob, got), DDCERR_FAILED_AUTHENTICATION);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values(kSqlite, kLdap),
                         [](const auto& info) { return std::string(info.param.name); });

// A store that is not there, or is something else, says so on every call.
TEST(SqliteStoreReach, MissingAndForeignFiles) {
    arbortest::TempDir tmp{"pdksa-contract"};
    std::unique_ptr<Conn> c;
    EXPECT_EQ(StoreFor(tmp.Str() + "/none.db")->Acquire(c), DDCERR_NO_REFERRALS);
    arbortest::WriteFile(tmp.Str() + "/empty.db", "");
    EXPECT_EQ(StoreFor(tmp.Str() + "/empty.db")->Acquire(c), DDCERR_NO_REFERRALS);
    arbortest::WriteFile(tmp.Str() + "/text.db", "not a database, not at all, no.....");
    EXPECT_EQ(StoreFor(tmp.Str() + "/text.db")->Acquire(c), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(c, nullptr);
}

} // namespace
