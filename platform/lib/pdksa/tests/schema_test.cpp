// Schema definition and enforcement, rights, passwords and atomic changes.
#include "fixture.h"

#include <fstream>
#include <iterator>

using namespace pdksatest;

namespace {

class Schema : public DirTest {
  protected:
    int DefineClass(const char* name, const char* super, const char* contain, const char* naming,
                    const char* mandatory, uint32_t flags = DDC_CLASS_EFFECTIVE) {
        const void* s[] = {super, nullptr};
        const void* c[] = {contain, nullptr};
        const void* n[] = {naming, nullptr};
        const void* m[] = {mandatory, nullptr};
        DDCClassDef d{
            flags,   0, 0, s, contain ? c : nullptr, naming ? n : nullptr, mandatory ? m : nullptr,
            nullptr, 0};
        return DDCDefineClass(admin, name, &d);
    }
    int AddOptional(const char* cls, const char* attr) {
        const void* l[] = {attr, nullptr};
        return DDCAddOptionalsToClass(admin, cls, l);
    }
    // Removes an attribute definition through the raw request.
    int RemoveAttr(const char* name) {
        alignas(4) char buf[512] = {};
        char* cur = buf + 4;
        if (int rc = DDCWPutString(&cur, buf + sizeof buf, name)) return rc;
        return DDCRequest(admin, 13, static_cast<size_t>(cur - buf), buf, 512, buf, nullptr);
    }
};

TEST_F(Schema, DefinitionsAreCheckedAndRefusedTwice) {
    EXPECT_EQ(DefineAttr("X:Mail", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 8), 0);
    EXPECT_EQ(DefineAttr("x:mail", DDC_SYN_TEXT), DDCERR_ATTRIBUTE_ALREADY_EXISTS);
    EXPECT_EQ(DefineAttr("X:Bad", 99), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(DefineAttr("X:Single", DDC_SYN_TEXT, DDC_ATTRDEF_SINGLE_VALUED), 0);
    EXPECT_EQ(DefineClass("X:Box", "Top", "Organization", "CN", "CN"), 0);
    EXPECT_EQ(DefineClass("X:Box", "Top", "Organization", "CN", "CN"), DDCERR_CLASS_ALREADY_EXISTS);
    EXPECT_EQ(DefineClass("X:Orphan", "No Such", nullptr, nullptr, nullptr), DDCERR_NO_SUCH_CLASS);
    EXPECT_EQ(DefineClass("X:Odd", "Top", nullptr, "No Attr", nullptr), DDCERR_NO_SUCH_ATTRIBUTE);
    // A subclass inherits containment and naming.
    EXPECT_EQ(DefineClass("X:SmallBox", "X:Box", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(AddOptional("X:Box", "X:Mail"), 0);
    EXPECT_EQ(AddOptional("X:Box", "X:Mail"), DDCERR_DUPLICATE_OPTIONAL);
    EXPECT_EQ(AddOptional("X:Box", "No Attr"), DDCERR_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(AddOptional("No Class", "X:Mail"), DDCERR_NO_SUCH_CLASS);
    EXPECT_EQ(AddOptional("User", "X:Single"), 0); // standard classes can be extended

    ASSERT_EQ(Create(admin, "\\ACME\\org\\b1", "X:SmallBox",
                     Entries().Add(0, "X:Mail", "a@b").Add(0, "X:Mail", "c@d")),
              0);
    EXPECT_EQ(Values("\\ACME\\org\\b1", "Object Class"), (Strings{"X:SmallBox", "X:Box", "Top"}));
    EXPECT_EQ(Values("\\ACME\\org\\b1", "CN"), Strings{"b1"});

    // Removal: in use, standard, subclass still there.
    EXPECT_EQ(DDCRemoveClass(admin, "X:Box"), DDCERR_SCHEMA_IS_IN_USE);
    EXPECT_EQ(DDCRemoveClass(admin, "User"), DDCERR_SCHEMA_IS_NONREMOVABLE);
    EXPECT_EQ(DDCRemoveClass(admin, "X:SmallBox"), DDCERR_SCHEMA_IS_IN_USE);
    EXPECT_EQ(RemoveAttr("X:Mail"), DDCERR_SCHEMA_IS_IN_USE);
    EXPECT_EQ(RemoveAttr("CN"), DDCERR_SCHEMA_IS_NONREMOVABLE);
    ASSERT_EQ(DDCRemoveEntry(admin, "\\ACME\\org\\b1"), 0);
    EXPECT_EQ(DDCRemoveClass(admin, "X:SmallBox"), 0);
    EXPECT_EQ(DDCRemoveClass(admin, "X:Box"), 0);
    EXPECT_EQ(DDCRemoveClass(admin, "X:Box"), DDCERR_NO_SUCH_CLASS);
    EXPECT_EQ(RemoveAttr("X:Mail"), 0);
    EXPECT_EQ(RemoveAttr("X:Mail"), DDCERR_NO_SUCH_ATTRIBUTE);
    // An optional use goes with the definition.
    EXPECT_EQ(RemoveAttr("X:Single"), 0);
    EXPECT_EQ(DefineAttr("X:Single", DDC_SYN_TEXT), 0);
    EXPECT_EQ(Create(admin, "\\ACME\\org\\u1", "User", Entries().Add(0, "X:Single", "v")),
              DDCERR_ILLEGAL_ATTRIBUTE);
}

TEST_F(Schema, CreationEnforcesClassesContainmentMandatoryAndValues) {
    ASSERT_EQ(DefineAttr("X:Host", DDC_SYN_DIST_NAME, DDC_ATTRDEF_SINGLE_VALUED), 0);
    ASSERT_EQ(DefineAttr("X:Code", DDC_SYN_TEXT, DDC_ATTRDEF_SIZED, 1, 3), 0);
    ASSERT_EQ(DefineClass("X:Server", "Top", "Organizational Unit", "CN", "X:Host"), 0);
    ASSERT_EQ(AddOptional("X:Server", "X:Code"), 0);
    ASSERT_EQ(DefineClass("X:Abstract", "Top", "Organization", "CN", nullptr, 0), 0);

    const std::string ou = "\\ACME\\org\\sales";
    EXPECT_EQ(Create(admin, ou + "\\s", "No Class"), DDCERR_NO_SUCH_CLASS);
    EXPECT_EQ(Create(admin, "\\ACME\\org\\a", "X:Abstract"), DDCERR_NOT_EFFECTIVE_CLASS);
    EXPECT_EQ(Create(admin, "\\ACME\\org\\s", "X:Server",
                     Entries().Add(0, "X:Host", ou, DDC_SYN_DIST_NAME)),
              DDCERR_ILLEGAL_CONTAINMENT);
    EXPECT_EQ(Create(admin, "\\ACME\\o2", "Organizational Unit"), DDCERR_ILLEGAL_CONTAINMENT);
    // Each refusal of a server below the unit, by the values given with it.
    struct Given {
        const char* attr;
        std::string value;
        uint32_t syntax = DDC_SYN_TEXT;
    };
    const Given host{"X:Host", ou, DDC_SYN_DIST_NAME};
    const struct {
        const char* row;
        std::vector<Given> values;
        int want;
    } refused[] = {
        {"no mandatory host", {}, DDCERR_MISSING_MANDATORY},
        {"host names nothing",
         {{"X:Host", ou + "\\nobody", DDC_SYN_DIST_NAME}},
         DDCERR_NO_SUCH_ENTRY},
        {"code over its bound", {host, {"X:Code", "1234"}}, DDCERR_SYNTAX_VIOLATION},
        {"attribute not of the class", {host, {"Surname", "x"}}, DDCERR_ILLEGAL_ATTRIBUTE},
        {"attribute not defined", {host, {"Nope", "x"}}, DDCERR_NO_SUCH_ATTRIBUTE},
        {"two values of a single-valued attribute",
         {host, {"X:Host", "\\ACME\\org", DDC_SYN_DIST_NAME}},
         DDCERR_CANT_HAVE_MULTIPLE_VALUES},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.row);
        Entries e;
        for (const Given& g : r.values)
            e.Add(0, g.attr, g.value, g.syntax);
        EXPECT_EQ(Create(admin, ou + "\\s", "X:Server", e), r.want);
    }
    EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, (ou + "\\s").c_str()),
              DDCERR_NO_SUCH_ENTRY);
    ASSERT_EQ(Create(admin, ou + "\\s", "X:Server",
                     Entries().Add(0, "X:Host", ou, DDC_SYN_DIST_NAME).Add(0, "X:Code", "ab")),
              0);
    EXPECT_EQ(Create(admin, ou + "\\S", "User"), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_EQ(Create(admin, ou + "\\x\\y", "User"), DDCERR_NO_SUCH_ENTRY);

    // Modifications: mandatory, single-valued, integer syntax.
    EXPECT_EQ(Modify(admin, ou + "\\s", Entries().clear("X:Host")), DDCERR_MISSING_MANDATORY);
    EXPECT_EQ(Modify(admin, ou + "\\s",
                     Entries().Add(DDC_OP_ADD_VALUE, "X:Host", "\\ACME", DDC_SYN_DIST_NAME)),
              DDCERR_CANT_HAVE_MULTIPLE_VALUES);
    // Writing a single-valued attribute replaces its value.
    EXPECT_EQ(Modify(admin, ou + "\\s",
                     Entries().Add(DDC_OP_WRITE_VALUE, "X:Host", "\\ACME", DDC_SYN_DIST_NAME)),
              0);
    EXPECT_EQ(Values(ou + "\\s", "X:Host"), Strings{"\\ACME"});
    EXPECT_EQ(Modify(admin, "\\ACME\\org\\Admin", Entries()), DDCERR_NO_SUCH_ENTRY);
    ASSERT_EQ(Create(admin, ou + "\\srv", "TWP Server"), 0);
    EXPECT_EQ(Modify(admin, ou + "\\srv", Entries().Add(DDC_OP_ADD_VALUE, "Status", "12x")),
              DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(Modify(admin, ou + "\\srv", Entries().Add(DDC_OP_ADD_VALUE, "Status", "+007")), 0);
    EXPECT_EQ(Values(ou + "\\srv", "Status"), Strings{"7"});
    EXPECT_EQ(
        Modify(admin, ou + "\\srv", Entries().Add(DDC_OP_ADD_VALUE, "Object Class", "User", 20)),
        DDCERR_OBJECT_CLASS_VIOLATION);
}

TEST_F(Schema, ModificationsApplyAllOrNothing) {
    const std::string o = "\\ACME\\org";
    ASSERT_EQ(
        Modify(admin, o, Entries().Add(2, "Telephone Number", "1").Add(2, "Description", "d")), 0);
    // The third entry fails: the first two must not stick.
    EXPECT_EQ(Modify(admin, o,
                     Entries()
                         .Add(DDC_OP_ADD_VALUE, "Telephone Number", "2")
                         .clear("Description")
                         .Add(DDC_OP_REMOVE_VALUE, "Telephone Number", "99")),
              DDCERR_NO_SUCH_VALUE);
    EXPECT_EQ(Values(o, "Telephone Number"), Strings{"1"});
    EXPECT_EQ(Values(o, "Description"), Strings{"d"});
    EXPECT_EQ(Modify(admin, o, Entries().Add(DDC_OP_ADD_VALUE, "Telephone Number", "1")),
              DDCERR_DUPLICATE_VALUE);
    // Text compares without regard to case.
    EXPECT_EQ(Modify(admin, o, Entries().Add(DDC_OP_ADD_VALUE, "Description", "D")),
              DDCERR_DUPLICATE_VALUE);
    // Clear and rewrite in one call, as a whole-list write does.
    ASSERT_EQ(Modify(admin, o,
                     Entries()
                         .clear("Telephone Number")
                         .Add(DDC_OP_WRITE_VALUE, "Telephone Number", "a")
                         .Add(DDC_OP_WRITE_VALUE, "Telephone Number", "b")
                         .Add(DDC_OP_WRITE_VALUE, "Telephone Number", "a")),
              0);
    EXPECT_EQ(Values(o, "Telephone Number"), (Strings{"a", "b"}));
    EXPECT_EQ(Modify(admin, o, Entries().clear("Surname")), DDCERR_ILLEGAL_ATTRIBUTE);
    EXPECT_EQ(Modify(admin, o, Entries().Add(9, "Description", "x")), DDCERR_INVALID_PARAMETER);
}

TEST_F(Schema, PasswordsAreSaltedHashesAndLoginsCheckThem) {
    const std::string u = "\\ACME\\org\\sales\\Bob";
    ASSERT_EQ(Create(admin, u, "User"), 0);
    DDCContextHandle c = Context();
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, u.c_str()), 0);
    EXPECT_EQ(DDCLogin(c, "anything"), DDCERR_FAILED_AUTHENTICATION); // none set yet
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, u.c_str()), 0);
    ASSERT_EQ(DDCGenerateKeyPair(admin, "Sesame-Open-42"), 0);
    EXPECT_EQ(DDCLogin(c, "sesame-open-42"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCAuthenticateConnection(c), DDCERR_NOT_LOGGED_IN);
    ASSERT_EQ(DDCLogin(c, "Sesame-Open-42"), 0);
    EXPECT_EQ(DDCAuthenticateConnection(c), 0);
    EXPECT_EQ(DDCVerifyPassword(c, "Sesame-Open-42"), 0);
    EXPECT_EQ(DDCVerifyPassword(c, "wrong"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCChangePassword(c, "wrong", "new-one"), DDCERR_FAILED_AUTHENTICATION);
    ASSERT_EQ(DDCChangePassword(c, "Sesame-Open-42", "new-one"), 0);
    EXPECT_EQ(DDCVerifyPassword(c, "Sesame-Open-42"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCVerifyPassword(c, "new-one"), 0);
    // A user cannot reset another's password.
    ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\Eve", "User"), 0);
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, "\\ACME\\org\\sales\\Eve"), 0);
    EXPECT_EQ(DDCGenerateKeyPair(c, "x"), DDCERR_NO_ACCESS);
    // The clear text is nowhere in the store.
    DDCFreeContext(admin);
    owned.erase(owned.begin());
    // On LDAP: the server's database file.
    const std::string file = OnLdap() ? (dir / "slapd/data/data.mdb").string() : store;
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    for (const char* suffix : {"", "-wal"}) {
        std::ifstream f(file + suffix, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(bytes.find("new-one"), std::string::npos);
        EXPECT_EQ(bytes.find("Sesame-Open-42"), std::string::npos);
    }
}

TEST_F(Schema, ChangesNeedTheAdministratorOrAnAclGrant) {
    const std::string sales = "\\ACME\\org\\sales";
    DDCContextHandle bob = UserLogin(sales + "\\Bob", "pw-bob");
    // Logged in: may read, may not change.
    EXPECT_EQ(Values(sales + "\\Bob", "CN"), Strings{"Bob"});
    std::vector<std::string> out;
    EXPECT_EQ(Read(bob, sales, "OU", out), 0);
    EXPECT_EQ(Modify(bob, sales, Entries().Add(2, "Telephone Number", "1")), DDCERR_NO_ACCESS);
    EXPECT_EQ(Create(bob, sales + "\\Carl", "User"), DDCERR_NO_ACCESS);
    EXPECT_EQ(DDCRemoveEntry(bob, (sales + "\\Bob").c_str()), DDCERR_NO_ACCESS);
    EXPECT_EQ(DDCModifyRDN(bob, (sales + "\\Bob").c_str(), "Robert", 1), DDCERR_NO_ACCESS);
    DDCAttrDef d{0, DDC_SYN_TEXT, 0, 0, 0, 0};
    EXPECT_EQ(DDCDefineAttribute(bob, "X:Sneaky", &d), DDCERR_NO_ACCESS);

    // An attribute grant on the container covers that attribute below it.
    ASSERT_EQ(Grant(admin, sales, DDC_ATTR_WRITE, "Telephone Number", sales + "\\Bob"), 0);
    EXPECT_EQ(Modify(bob, sales + "\\Bob", Entries().Add(2, "Telephone Number", "42")), 0);
    EXPECT_EQ(Modify(bob, sales + "\\Bob", Entries().Add(2, "Surname", "B")), DDCERR_NO_ACCESS);
    // Entry rights allow creation; the read-back text of an ACL names the trustee.
    ASSERT_EQ(Modify(admin, sales,
                     Entries().Add(DDC_OP_ADD_VALUE, "ACL", "2#[Entry Rights]#" + sales + "\\Bob")),
              0);
    EXPECT_EQ(Create(bob, sales + "\\Carl", "User"), 0);
    EXPECT_EQ(Create(bob, "\\ACME\\org\\Carl", "User"), DDCERR_NO_ACCESS);
    auto acls = Values(sales, "ACL");
    ASSERT_EQ(acls.size(), 2u);
    EXPECT_EQ(acls[1], "2#[Entry Rights]#" + sales + "\\Bob");

    // Supervisor at the tree root: the tree's administrator, schema included.
    DDCContextHandle ann = UserLogin("\\ACME\\org\\Ann", "pw-ann");
    EXPECT_EQ(DDCDefineAttribute(ann, "X:Fine", &d), DDCERR_NO_ACCESS);
    ASSERT_EQ(Grant(admin, "\\ACME", 31, DDC_ACL_ENTRY_RIGHTS, "\\ACME\\org\\Ann"), 0);
    EXPECT_EQ(DDCDefineAttribute(ann, "X:Fine", &d), 0);
    EXPECT_EQ(DDCRemoveEntry(ann, (sales + "\\Carl").c_str()), 0);
    ASSERT_EQ(DDCResolveName(ann, DDC_RESOLVE_FOR_WRITE, (sales + "\\Bob").c_str()), 0);
    EXPECT_EQ(DDCGenerateKeyPair(ann, "reset"), 0);
    // The grant goes when the trustee goes.
    ASSERT_EQ(DDCRemoveEntry(ann, (sales + "\\Bob").c_str()), 0);
    EXPECT_EQ(Values(sales, "ACL").size(), 0u);
}

} // namespace
