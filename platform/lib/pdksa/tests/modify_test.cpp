// Changing and renaming objects: each operation on each syntax, rights per
// attribute, all or nothing, and what a rename carries with it.
#include "fixture.h"

using namespace pdksatest;

namespace {

const std::string kOrg = "\\ACME\\org";
const std::string kSales = "\\ACME\\org\\sales";

class Modification : public DirTest {
  protected:
    void SetUp() override {
        DirTest::SetUp();
        ASSERT_EQ(Create(admin, kSales + "\\Bob", "User"), 0);
        ASSERT_EQ(Create(admin, kSales + "\\Team", "Group",
                         Entries().Add(0, "Member", kSales + "\\Bob", DDC_SYN_DIST_NAME)),
                  0);
    }
    int Rename(DDCContextHandle c, const std::string& name, const std::string& to,
               int deleteOld = 1) {
        return DDCModifyRDN(c, name.c_str(), to.c_str(), deleteOld);
    }
};

TEST_F(Modification, EachOperationOnNamesTextsAndAcls) {
    const std::string team = kSales + "\\Team", bob = kSales + "\\Bob";
    // A name that names nothing cannot be there to remove.
    EXPECT_EQ(Modify(admin, team, Entries().Add(3, "Member", kSales + "\\Nobody", 1)),
              DDCERR_NO_SUCH_VALUE);
    EXPECT_EQ(Modify(admin, team, Entries().Add(2, "Member", kSales + "\\Nobody", 1)),
              DDCERR_NO_SUCH_ENTRY);
    // Names compare by the object they name, whatever form they are given in.
    EXPECT_EQ(Modify(admin, team, Entries().Add(2, "Member", "\\acme\\ORG\\sales\\bob", 1)),
              DDCERR_DUPLICATE_VALUE);
    ASSERT_EQ(Modify(admin, team, Entries().Add(3, "Member", "CN=Bob.OU=sales.O=org.T=ACME", 1)),
              0);
    EXPECT_TRUE(Values(team, "Member").empty());
    // Texts: a write of a present value changes nothing, a removal ignores case.
    ASSERT_EQ(Modify(admin, bob, Entries().Add(2, "Surname", "Builder")), 0);
    ASSERT_EQ(Modify(admin, bob, Entries().Add(5, "Surname", "BUILDER").Add(5, "Surname", "B2")),
              0);
    EXPECT_EQ(Values(bob, "Surname"), (Strings{"Builder", "B2"}));
    ASSERT_EQ(Modify(admin, bob, Entries().Add(3, "Surname", "builder")), 0);
    EXPECT_EQ(Values(bob, "Surname"), Strings{"B2"});
    EXPECT_EQ(Modify(admin, bob, Entries().clear("Given Name")), 0) << "clearing nothing";
    // An ACL added in one form is removed in the other.
    ASSERT_EQ(Grant(admin, team, DDC_ATTR_WRITE, "Member", bob), 0);
    EXPECT_EQ(Modify(admin, team, Entries().Add(3, "ACL", "2#Member#" + bob)),
              DDCERR_NO_SUCH_VALUE);
    ASSERT_EQ(Modify(admin, team, Entries().Add(3, "ACL", "4#member#" + bob)), 0);
    EXPECT_TRUE(Values(team, "ACL").empty());
    // The classes are fixed; unknown operations are refused.
    for (uint32_t op : {2u, 3u, 5u})
        EXPECT_EQ(Modify(admin, bob, Entries().Add(op, "Object Class", "Top", 20)),
                  DDCERR_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(Modify(admin, bob, Entries().clear("object class")), DDCERR_OBJECT_CLASS_VIOLATION);
    for (uint32_t op : {0u, 1u, 4u, 7u})
        EXPECT_EQ(Modify(admin, bob, Entries().Add(op, "Surname", "x")), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(Values(bob, "Surname"), Strings{"B2"});
}

TEST_F(Modification, ARefusedChangeLeavesEveryValueAsItWas) {
    const std::string bob = kSales + "\\Bob";
    ASSERT_EQ(Modify(admin, bob, Entries().Add(2, "Surname", "B").Add(2, "Telephone Number", "1")),
              0);
    // Refused by the final check (the naming value emptied) after good entries.
    EXPECT_EQ(
        Modify(admin, bob, Entries().Add(2, "Telephone Number", "2").clear("Surname").clear("CN")),
        DDCERR_MISSING_MANDATORY);
    // Refused by a value check after good entries.
    EXPECT_EQ(
        Modify(admin, bob,
               Entries().Add(2, "Telephone Number", "3").Add(2, "Surname", std::string(65, 's'))),
        DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(Values(bob, "Telephone Number"), Strings{"1"});
    EXPECT_EQ(Values(bob, "Surname"), Strings{"B"});
    EXPECT_EQ(Values(bob, "CN"), Strings{"Bob"});
    // The root cannot be changed; a current object removed since is gone.
    EXPECT_EQ(Modify(admin, "\\", Entries().Add(2, "Description", "x")), DDCERR_NO_ACCESS);
    DDCContextHandle other = Context();
    ASSERT_EQ(PDKLoginMaintenance(other), 0);
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, bob.c_str()), 0);
    ASSERT_EQ(DDCRemoveEntry(other, (kSales + "\\Team").c_str()), 0);
    ASSERT_EQ(DDCRemoveEntry(other, bob.c_str()), 0);
    Entries e;
    e.Add(2, "Surname", "C");
    EXPECT_EQ(DDCModifyEntry(admin, e.N(), e.data()), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(DDCModifyEntry(admin, 4097, e.data()), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(DDCModifyEntry(admin, 1, nullptr), DDCERR_INVALID_PARAMETER);
}

TEST_F(Modification, AttributeRightsComeFromTheObjectAndItsAncestors) {
    const std::string bob = kSales + "\\Bob";
    ASSERT_EQ(Create(admin, kOrg + "\\Ann", "User"), 0);
    DDCContextHandle ann = UserLogin(kOrg + "\\Ann", "pw-ann");
    auto grant = [&](const std::string& on, uint32_t priv, const std::string& attr) {
        return Grant(admin, on, priv, attr, kOrg + "\\Ann");
    };
    ASSERT_EQ(grant(kSales, DDC_ATTR_READ | DDC_ATTR_COMPARE, DDC_ACL_ALL_ATTRIBUTES), 0);
    ASSERT_EQ(grant(kOrg, DDC_ATTR_WRITE, "Surname"), 0);
    // One attribute granted: a change that also touches another is refused whole.
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Surname", "S").Add(2, "Given Name", "G")),
              DDCERR_NO_ACCESS);
    EXPECT_TRUE(Values(bob, "Surname").empty());
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Surname", "S")), 0);
    // A grant on a sibling's subtree gives nothing here.
    ASSERT_EQ(Create(admin, kOrg + "\\hr", "Organizational Unit"), 0);
    ASSERT_EQ(grant(kOrg + "\\hr", DDC_ATTR_WRITE, DDC_ACL_ALL_ATTRIBUTES), 0);
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Given Name", "G")), DDCERR_NO_ACCESS);
    // Supervisor on one attribute is a write right on it.
    ASSERT_EQ(grant(bob, DDC_ATTR_SUPERVISOR, "Given Name"), 0);
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Given Name", "G")), 0);
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Full Name", "F")), DDCERR_NO_ACCESS);
    // All attributes on an ancestor.
    ASSERT_EQ(grant(kOrg, DDC_ATTR_WRITE, DDC_ACL_ALL_ATTRIBUTES), 0);
    EXPECT_EQ(Modify(ann, bob, Entries().Add(2, "Full Name", "F")), 0);
    // Entry rights are not attribute rights.
    ASSERT_EQ(Create(admin, kOrg + "\\Cy", "User"), 0);
    DDCContextHandle cy = UserLogin(kOrg + "\\Cy", "pw-cy");
    ASSERT_EQ(Grant(admin, kSales, DDC_ENTRY_ADD | DDC_ENTRY_RENAME | DDC_ENTRY_DELETE,
                    DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Cy"),
              0);
    EXPECT_EQ(Modify(cy, bob, Entries().Add(2, "Telephone Number", "1")), DDCERR_NO_ACCESS);
}

TEST_F(Modification, RenamesAreCheckedBeforeAnythingMoves) {
    const std::string bob = kSales + "\\Bob";
    EXPECT_EQ(Rename(Context(), bob, "Rob"), DDCERR_NO_ACCESS) << "not logged in";
    EXPECT_EQ(Rename(admin, "\\", "x"), DDCERR_NO_ACCESS);
    EXPECT_EQ(Rename(admin, "\\ACME", "\\"), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(Rename(admin, bob, "."), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(Rename(admin, bob, ""), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(Rename(admin, kSales + "\\Nobody", "Rob"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(Rename(admin, bob, kOrg + "\\Rob"), DDCERR_ILLEGAL_DS_NAME) << "another parent";
    EXPECT_EQ(Rename(admin, bob, kSales + "\\Rob\\x"), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(Rename(admin, bob, "team"), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_TRUE(Exists(bob));
    // A new name within the parent, given in full or dotted.
    ASSERT_EQ(Rename(admin, bob, kSales + "\\Rob"), 0);
    ASSERT_EQ(DDCSetContextBaseDN(admin, "\\ACME", DDCSlashDelims), 0);
    ASSERT_EQ(Rename(admin, "org\\sales\\Rob", "CN=Robert.OU=sales.O=org"), 0);
    ASSERT_EQ(DDCSetContextBaseDN(admin, nullptr, DDCSlashDelims), 0);
    EXPECT_EQ(Values(kSales + "\\Robert", "CN"), Strings{"Robert"});
    // Only the case changes: no clash with itself.
    ASSERT_EQ(Rename(admin, kSales + "\\Robert", "ROBERT"), 0);
    EXPECT_EQ(Values(kSales + "\\robert", "CN"), Strings{"ROBERT"});
    EXPECT_EQ(Info(admin, DDC_INFO_NAME), kSales + "\\ROBERT");
}

TEST_F(Modification, ARenameMovesItsSubtreeOnlyAndNamesFollow) {
    // "sal" is a prefix of "sales": its rename must not touch sales.
    ASSERT_EQ(Create(admin, kOrg + "\\sal", "Organizational Unit"), 0);
    ASSERT_EQ(Create(admin, kOrg + "\\sal\\Ann", "User"), 0);
    ASSERT_EQ(Create(admin, kOrg + "\\salt", "Organizational Unit"), 0);
    ASSERT_EQ(Grant(admin, kOrg, DDC_ATTR_WRITE, "Telephone Number", kOrg + "\\sal\\Ann"), 0);
    ASSERT_EQ(Rename(admin, kOrg + "\\sal", "pepper"), 0);
    for (const std::string& n : {kSales, kSales + "\\Bob", kSales + "\\Team", kOrg + "\\salt",
                                 kOrg + "\\pepper", kOrg + "\\pepper\\Ann"})
        EXPECT_TRUE(Exists(n)) << n;
    for (const std::string& n : {kOrg + "\\sal", kOrg + "\\sal\\Ann"})
        EXPECT_FALSE(Exists(n)) << n;
    // Names of syntax 1 and ACL trustees follow the object.
    EXPECT_EQ(Values(kOrg, "ACL"), Strings{"4#Telephone Number#" + kOrg + "\\pepper\\Ann"});
    ASSERT_EQ(Rename(admin, kSales + "\\Bob", "Rob"), 0);
    EXPECT_EQ(Values(kSales + "\\Team", "Member"), Strings{kSales + "\\Rob"});
    // A single-valued naming attribute is replaced even when the old value is kept.
    ASSERT_EQ(Rename(admin, "\\ACME", "ACME2", 0), 0);
    EXPECT_EQ(Values("\\ACME2", "T"), Strings{"ACME2"});
    EXPECT_EQ(Values("\\ACME2\\org\\sales\\Team", "Member"), Strings{"\\ACME2\\org\\sales\\Rob"});
}

TEST_F(Modification, ARenameNeverPushesANameBelowItPastTheLimit) {
    // 15 + 3 * 65 = 210 characters: within the limit of 256 until "sales"
    // grows by 59.
    std::string path = kSales;
    for (int i = 0; i < 3; ++i) {
        path += "\\" + std::string(64, char('a' + i));
        ASSERT_EQ(Create(admin, path, i < 2 ? "Organizational Unit" : "User"), 0);
    }
    const std::string longer(64, 's');
    EXPECT_EQ(Rename(admin, kSales, longer), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(Values(kSales, "OU"), Strings{"sales"});
    // Shorter is fine, and so is a name that keeps the deepest one in bounds.
    ASSERT_EQ(Rename(admin, kSales, std::string(40, 's')), 0);
    EXPECT_TRUE(Exists(kOrg + "\\" + std::string(40, 's') + path.substr(kSales.size())));
}

TEST_F(Modification, RenamingNeedsTheRenameRight) {
    const std::string bob = kSales + "\\Bob";
    DDCContextHandle ann = UserLogin(kOrg + "\\Ann", "pw-ann");
    ASSERT_EQ(Grant(admin, kSales, DDC_ENTRY_ADD | DDC_ENTRY_DELETE | DDC_ENTRY_BROWSE,
                    DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Ann"),
              0);
    EXPECT_EQ(Rename(ann, bob, "Rob"), DDCERR_NO_ACCESS);
    ASSERT_EQ(Grant(admin, bob, DDC_ENTRY_RENAME, DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Ann"), 0);
    EXPECT_EQ(Rename(ann, kSales + "\\Team", "Crew"), DDCERR_NO_ACCESS);
    ASSERT_EQ(Rename(ann, bob, "Rob"), 0);
    // The renamed object keeps its rights and its own login.
    DDCContextHandle rob = UserLogin(kSales + "\\Rob", "pw-rob");
    ASSERT_EQ(Rename(admin, kSales + "\\Rob", "Robert"), 0);
    EXPECT_EQ(DDCAuthenticateConnection(rob), 0);
    EXPECT_EQ(Rename(ann, kSales + "\\Robert", "Bob"), 0);
}

} // namespace
