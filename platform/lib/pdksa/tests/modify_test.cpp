// Changing and renaming objects: each operation on each syntax, rights per
// attribute, all or nothing, and what a rename carries with it.
#include "fixture.h"

#include <cstring>

using namespace pdksatest;

namespace {

const std::string kOrg = "\\ACME\\org";
const std::string kSales = "\\ACME\\org\\sales";

class Modify : public DirTest {
  protected:
    void SetUp() override {
        DirTest::SetUp();
        ASSERT_EQ(create(admin, kSales + "\\Bob", "User"), 0);
        ASSERT_EQ(create(admin, kSales + "\\Team", "Group",
                         Entries().add(0, "Member", kSales + "\\Bob", DDC_SYN_DIST_NAME)),
                  0);
    }
    bool exists(const std::string& name) { return DDCResolveName(admin, 66, name.c_str()) == 0; }
    int rename(DDCContextHandle c, const std::string& name, const std::string& to,
               int deleteOld = 1) {
        return DDCModifyRDN(c, name.c_str(), to.c_str(), deleteOld);
    }
};

TEST_F(Modify, EachOperationOnNamesTextsAndAcls) {
    const std::string team = kSales + "\\Team", bob = kSales + "\\Bob";
    // A name that names nothing cannot be there to remove.
    EXPECT_EQ(modify(admin, team, Entries().add(3, "Member", kSales + "\\Nobody", 1)),
              DDCERR_NO_SUCH_VALUE);
    EXPECT_EQ(modify(admin, team, Entries().add(2, "Member", kSales + "\\Nobody", 1)),
              DDCERR_NO_SUCH_ENTRY);
    // Names compare by the object they name, whatever form they are given in.
    EXPECT_EQ(modify(admin, team, Entries().add(2, "Member", "\\acme\\ORG\\sales\\bob", 1)),
              DDCERR_DUPLICATE_VALUE);
    ASSERT_EQ(modify(admin, team, Entries().add(3, "Member", "CN=Bob.OU=sales.O=org.T=ACME", 1)),
              0);
    EXPECT_TRUE(values(team, "Member").empty());
    // Texts: a write of a present value changes nothing, a removal ignores case.
    ASSERT_EQ(modify(admin, bob, Entries().add(2, "Surname", "Builder")), 0);
    ASSERT_EQ(modify(admin, bob, Entries().add(5, "Surname", "BUILDER").add(5, "Surname", "B2")),
              0);
    EXPECT_EQ(values(bob, "Surname"), (std::vector<std::string>{"Builder", "B2"}));
    ASSERT_EQ(modify(admin, bob, Entries().add(3, "Surname", "builder")), 0);
    EXPECT_EQ(values(bob, "Surname"), std::vector<std::string>{"B2"});
    EXPECT_EQ(modify(admin, bob, Entries().clear("Given Name")), 0) << "clearing nothing";
    // An ACL added in one form is removed in the other.
    ASSERT_EQ(modify(admin, team, Entries().acl(2, DDC_ATTR_WRITE, "Member", bob)), 0);
    EXPECT_EQ(modify(admin, team, Entries().add(3, "ACL", "2#Member#" + bob)),
              DDCERR_NO_SUCH_VALUE);
    ASSERT_EQ(modify(admin, team, Entries().add(3, "ACL", "4#member#" + bob)), 0);
    EXPECT_TRUE(values(team, "ACL").empty());
    // The classes are fixed; unknown operations are refused.
    for (uint32_t op : {2u, 3u, 5u})
        EXPECT_EQ(modify(admin, bob, Entries().add(op, "Object Class", "Top", 20)),
                  DDCERR_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(modify(admin, bob, Entries().clear("object class")), DDCERR_OBJECT_CLASS_VIOLATION);
    for (uint32_t op : {0u, 1u, 4u, 7u})
        EXPECT_EQ(modify(admin, bob, Entries().add(op, "Surname", "x")), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(values(bob, "Surname"), std::vector<std::string>{"B2"});
}

TEST_F(Modify, ARefusedChangeLeavesEveryValueAsItWas) {
    const std::string bob = kSales + "\\Bob";
    ASSERT_EQ(modify(admin, bob, Entries().add(2, "Surname", "B").add(2, "Telephone Number", "1")),
              0);
    // Refused by the final check (the naming value emptied) after good entries.
    EXPECT_EQ(
        modify(admin, bob, Entries().add(2, "Telephone Number", "2").clear("Surname").clear("CN")),
        DDCERR_MISSING_MANDATORY);
    // Refused by a value check after good entries.
    EXPECT_EQ(
        modify(admin, bob,
               Entries().add(2, "Telephone Number", "3").add(2, "Surname", std::string(65, 's'))),
        DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(values(bob, "Telephone Number"), std::vector<std::string>{"1"});
    EXPECT_EQ(values(bob, "Surname"), std::vector<std::string>{"B"});
    EXPECT_EQ(values(bob, "CN"), std::vector<std::string>{"Bob"});
    // The root cannot be changed; a current object removed since is gone.
    EXPECT_EQ(modify(admin, "\\", Entries().add(2, "Description", "x")), DDCERR_NO_ACCESS);
    DDCContextHandle other = context();
    ASSERT_EQ(PDKLoginMaintenance(other), 0);
    ASSERT_EQ(DDCResolveName(admin, 68, bob.c_str()), 0);
    ASSERT_EQ(DDCRemoveEntry(other, (kSales + "\\Team").c_str()), 0);
    ASSERT_EQ(DDCRemoveEntry(other, bob.c_str()), 0);
    Entries e;
    e.add(2, "Surname", "C");
    EXPECT_EQ(DDCModifyEntry(admin, e.n(), e.data()), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(DDCModifyEntry(admin, 4097, e.data()), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(DDCModifyEntry(admin, 1, nullptr), DDCERR_INVALID_PARAMETER);
}

TEST_F(Modify, AttributeRightsComeFromTheObjectAndItsAncestors) {
    const std::string bob = kSales + "\\Bob";
    ASSERT_EQ(create(admin, kOrg + "\\Ann", "User"), 0);
    DDCContextHandle ann = userLogin(kOrg + "\\Ann", "pw-ann");
    auto grant = [&](const std::string& on, uint32_t priv, const std::string& attr) {
        return modify(admin, on, Entries().acl(2, priv, attr, kOrg + "\\Ann"));
    };
    ASSERT_EQ(grant(kSales, DDC_ATTR_READ | DDC_ATTR_COMPARE, DDC_ACL_ALL_ATTRIBUTES), 0);
    ASSERT_EQ(grant(kOrg, DDC_ATTR_WRITE, "Surname"), 0);
    // One attribute granted: a change that also touches another is refused whole.
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Surname", "S").add(2, "Given Name", "G")),
              DDCERR_NO_ACCESS);
    EXPECT_TRUE(values(bob, "Surname").empty());
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Surname", "S")), 0);
    // A grant on a sibling's subtree gives nothing here.
    ASSERT_EQ(create(admin, kOrg + "\\hr", "Organizational Unit"), 0);
    ASSERT_EQ(grant(kOrg + "\\hr", DDC_ATTR_WRITE, DDC_ACL_ALL_ATTRIBUTES), 0);
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Given Name", "G")), DDCERR_NO_ACCESS);
    // Supervisor on one attribute is a write right on it.
    ASSERT_EQ(grant(bob, DDC_ATTR_SUPERVISOR, "Given Name"), 0);
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Given Name", "G")), 0);
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Full Name", "F")), DDCERR_NO_ACCESS);
    // All attributes on an ancestor.
    ASSERT_EQ(grant(kOrg, DDC_ATTR_WRITE, DDC_ACL_ALL_ATTRIBUTES), 0);
    EXPECT_EQ(modify(ann, bob, Entries().add(2, "Full Name", "F")), 0);
    // Entry rights are not attribute rights.
    ASSERT_EQ(create(admin, kOrg + "\\Cy", "User"), 0);
    DDCContextHandle cy = userLogin(kOrg + "\\Cy", "pw-cy");
    ASSERT_EQ(modify(admin, kSales,
                     Entries().acl(2, DDC_ENTRY_ADD | DDC_ENTRY_RENAME | DDC_ENTRY_DELETE,
                                   DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Cy")),
              0);
    EXPECT_EQ(modify(cy, bob, Entries().add(2, "Telephone Number", "1")), DDCERR_NO_ACCESS);
}

TEST_F(Modify, RenamesAreCheckedBeforeAnythingMoves) {
    const std::string bob = kSales + "\\Bob";
    EXPECT_EQ(rename(context(), bob, "Rob"), DDCERR_NO_ACCESS) << "not logged in";
    EXPECT_EQ(rename(admin, "\\", "x"), DDCERR_NO_ACCESS);
    EXPECT_EQ(rename(admin, "\\ACME", "\\"), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(rename(admin, bob, "."), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(rename(admin, bob, ""), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(rename(admin, kSales + "\\Nobody", "Rob"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(rename(admin, bob, kOrg + "\\Rob"), DDCERR_ILLEGAL_DS_NAME) << "another parent";
    EXPECT_EQ(rename(admin, bob, kSales + "\\Rob\\x"), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(rename(admin, bob, "team"), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_TRUE(exists(bob));
    // A new name within the parent, given in full or dotted.
    ASSERT_EQ(rename(admin, bob, kSales + "\\Rob"), 0);
    ASSERT_EQ(DDCSetContextBaseDN(admin, "\\ACME", DDCSlashDelims), 0);
    ASSERT_EQ(rename(admin, "org\\sales\\Rob", "CN=Robert.OU=sales.O=org"), 0);
    ASSERT_EQ(DDCSetContextBaseDN(admin, nullptr, DDCSlashDelims), 0);
    EXPECT_EQ(values(kSales + "\\Robert", "CN"), std::vector<std::string>{"Robert"});
    // Only the case changes: no clash with itself.
    ASSERT_EQ(rename(admin, kSales + "\\Robert", "ROBERT"), 0);
    EXPECT_EQ(values(kSales + "\\robert", "CN"), std::vector<std::string>{"ROBERT"});
    alignas(8) char info[512];
    ASSERT_EQ(DDCGetEntryInfo(admin, DDC_INFO_NAME, sizeof info, info), 0);
    const char* name;
    std::memcpy(&name, info, sizeof name);
    EXPECT_EQ(std::string(name), kSales + "\\ROBERT");
}

TEST_F(Modify, ARenameMovesItsSubtreeOnlyAndNamesFollow) {
    // "sal" is a prefix of "sales": its rename must not touch sales.
    ASSERT_EQ(create(admin, kOrg + "\\sal", "Organizational Unit"), 0);
    ASSERT_EQ(create(admin, kOrg + "\\sal\\Ann", "User"), 0);
    ASSERT_EQ(create(admin, kOrg + "\\salt", "Organizational Unit"), 0);
    ASSERT_EQ(modify(admin, kOrg,
                     Entries().acl(2, DDC_ATTR_WRITE, "Telephone Number", kOrg + "\\sal\\Ann")),
              0);
    ASSERT_EQ(rename(admin, kOrg + "\\sal", "pepper"), 0);
    for (const std::string& n : {kSales, kSales + "\\Bob", kSales + "\\Team", kOrg + "\\salt",
                                 kOrg + "\\pepper", kOrg + "\\pepper\\Ann"})
        EXPECT_TRUE(exists(n)) << n;
    for (const std::string& n : {kOrg + "\\sal", kOrg + "\\sal\\Ann"})
        EXPECT_FALSE(exists(n)) << n;
    // Names of syntax 1 and ACL trustees follow the object.
    EXPECT_EQ(values(kOrg, "ACL"),
              std::vector<std::string>{"4#Telephone Number#" + kOrg + "\\pepper\\Ann"});
    ASSERT_EQ(rename(admin, kSales + "\\Bob", "Rob"), 0);
    EXPECT_EQ(values(kSales + "\\Team", "Member"), std::vector<std::string>{kSales + "\\Rob"});
    // A single-valued naming attribute is replaced even when the old value is kept.
    ASSERT_EQ(rename(admin, "\\ACME", "ACME2", 0), 0);
    EXPECT_EQ(values("\\ACME2", "T"), std::vector<std::string>{"ACME2"});
    EXPECT_EQ(values("\\ACME2\\org\\sales\\Team", "Member"),
              std::vector<std::string>{"\\ACME2\\org\\sales\\Rob"});
}

TEST_F(Modify, ARenameNeverPushesANameBelowItPastTheLimit) {
    // 15 + 3 * 65 = 210 characters: within the limit of 256 until "sales"
    // grows by 59.
    std::string path = kSales;
    for (int i = 0; i < 3; ++i) {
        path += "\\" + std::string(64, char('a' + i));
        ASSERT_EQ(create(admin, path, i < 2 ? "Organizational Unit" : "User"), 0);
    }
    const std::string longer(64, 's');
    EXPECT_EQ(rename(admin, kSales, longer), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(values(kSales, "OU"), std::vector<std::string>{"sales"});
    // Shorter is fine, and so is a name that keeps the deepest one in bounds.
    ASSERT_EQ(rename(admin, kSales, std::string(40, 's')), 0);
    EXPECT_TRUE(exists(kOrg + "\\" + std::string(40, 's') + path.substr(kSales.size())));
}

TEST_F(Modify, RenamingNeedsTheRenameRight) {
    const std::string bob = kSales + "\\Bob";
    DDCContextHandle ann = userLogin(kOrg + "\\Ann", "pw-ann");
    ASSERT_EQ(modify(admin, kSales,
                     Entries().acl(2, DDC_ENTRY_ADD | DDC_ENTRY_DELETE | DDC_ENTRY_BROWSE,
                                   DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Ann")),
              0);
    EXPECT_EQ(rename(ann, bob, "Rob"), DDCERR_NO_ACCESS);
    ASSERT_EQ(modify(admin, bob,
                     Entries().acl(2, DDC_ENTRY_RENAME, DDC_ACL_ENTRY_RIGHTS, kOrg + "\\Ann")),
              0);
    EXPECT_EQ(rename(ann, kSales + "\\Team", "Crew"), DDCERR_NO_ACCESS);
    ASSERT_EQ(rename(ann, bob, "Rob"), 0);
    // The renamed object keeps its rights and its own login.
    DDCContextHandle rob = userLogin(kSales + "\\Rob", "pw-rob");
    ASSERT_EQ(rename(admin, kSales + "\\Rob", "Robert"), 0);
    EXPECT_EQ(DDCAuthenticateConnection(rob), 0);
    EXPECT_EQ(rename(ann, kSales + "\\Robert", "Bob"), 0);
}

} // namespace
