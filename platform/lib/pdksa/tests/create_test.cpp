// Creating objects: the base class and its chain, containment, values read
// by their syntaxes, rights, and that a refused creation leaves nothing.
#include "fixture.h"

using namespace pdksatest;

namespace {

const std::string kSales = "\\ACME\\org\\sales";

class Creation : public DirTest {
  protected:
    // Creation with exactly the entries given (no class added).
    int Raw(DDCContextHandle c, const std::string& name, const Entries& e) {
        return DDCCreateEntry(c, name.c_str(), e.N(), e.data());
    }
    // An effective class below Top with CN naming and the given optionals.
    int DefineClass(const char* name, const char* contain, std::vector<const char*> optional) {
        const void* sup[] = {"Top", nullptr};
        const void* where[] = {contain, nullptr};
        const void* cn[] = {"CN", nullptr};
        std::vector<const void*> opt(optional.begin(), optional.end());
        opt.push_back(nullptr);
        DDCClassDef d{DDC_CLASS_EFFECTIVE, 0, 0, sup, where, cn, cn, opt.data(), 0};
        return DDCDefineClass(admin, name, &d);
    }
};

TEST_F(Creation, TheFirstClassNamedIsTheBaseAndOthersMustBeInItsChain) {
    const std::string u = kSales + "\\u";
    EXPECT_EQ(Raw(admin, u, Entries().Add(0, "Surname", "x")), DDCERR_MISSING_MANDATORY);
    EXPECT_EQ(Raw(admin, u, Entries().Add(0, "Object Class", "", 20)), DDCERR_MISSING_MANDATORY);
    EXPECT_EQ(Create(admin, u, "Top"), DDCERR_NOT_EFFECTIVE_CLASS);
    EXPECT_EQ(Raw(admin, u,
                  Entries().Add(0, "Object Class", "User", 20).Add(0, "Object Class", "Group", 20)),
              DDCERR_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(
        Raw(admin, u,
            Entries().Add(0, "Object Class", "User", 20).Add(0, "Object Class", "No Such", 20)),
        DDCERR_NO_SUCH_CLASS);
    EXPECT_FALSE(Exists(u));

    // The chain may be named, in any case, and is written once, most
    // specific first.
    ASSERT_EQ(Raw(admin, u,
                  Entries().Add(0, "object class", "user", 20).Add(0, "Object Class", "TOP", 20)),
              0);
    EXPECT_EQ(Values(u, "Object Class"), (Strings{"User", "Top"}));
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, u.c_str()), 0);
    EXPECT_EQ(Info(admin, DDC_INFO_BASE_CLASS), "User");
}

TEST_F(Creation, TheParentsClassesDecideWhereAnObjectMayGo) {
    EXPECT_EQ(Create(admin, "\\", "Tree Root"), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_EQ(Create(admin, "\\Other", "Organization"), DDCERR_ILLEGAL_CONTAINMENT);
    EXPECT_EQ(Create(admin, "\\Other", "Tree Root"), 0);
    EXPECT_EQ(Create(admin, kSales + "\\o", "Organization"), DDCERR_ILLEGAL_CONTAINMENT);
    ASSERT_EQ(Create(admin, kSales + "\\Bob", "User"), 0);
    EXPECT_EQ(Create(admin, kSales + "\\Bob\\x", "User"), DDCERR_ILLEGAL_CONTAINMENT);
    EXPECT_EQ(Create(admin, kSales + "\\east", "Organizational Unit"), 0);
    EXPECT_EQ(Create(admin, kSales + "\\east\\west", "Organizational Unit"), 0);
    EXPECT_EQ(Create(admin, kSales + "\\nowhere\\x", "User"), DDCERR_NO_SUCH_ENTRY);

    // "Top" as containment: below any object, never below the root.
    ASSERT_EQ(DefineClass("X:Note", "Top", {}), 0);
    EXPECT_EQ(Create(admin, kSales + "\\Bob\\note", "X:Note"), 0);
    EXPECT_EQ(Create(admin, "\\note", "X:Note"), DDCERR_ILLEGAL_CONTAINMENT);
    EXPECT_FALSE(Exists("\\note"));
}

TEST_F(Creation, ValuesAreReadByTheAttributesSyntaxAndBounds) {
    const std::string s = kSales + "\\srv";
    auto with = [&](const std::string& attr, const std::string& v, uint32_t syn = DDC_SYN_TEXT) {
        return Create(admin, s, "TWP Server", Entries().Add(0, attr, v, syn));
    };
    for (const char* bad :
         {"", "-", "+", "1x", "2147483648", "-2147483649", "99999999999", "123456789012", " 1"})
        EXPECT_EQ(with("Status", bad), DDCERR_SYNTAX_VIOLATION) << bad;
    ASSERT_EQ(with("Status", "-2147483648"), 0);
    EXPECT_EQ(Values(s, "Status"), Strings{"-2147483648"});
    ASSERT_EQ(DDCRemoveEntry(admin, s.c_str()), 0);
    // Lengths count UTF-16 units: 32 euro signs fit "Telephone Number"
    // (1 to 32), 17 characters above U+FFFF do not.
    std::string euros, emoji;
    for (int i = 0; i < 32; ++i)
        euros += "\xe2\x82\xac";
    for (int i = 0; i < 17; ++i)
        emoji += "\xf0\x9f\x98\x80";
    const std::string u = kSales + "\\u";
    auto phone = [&](const std::string& v) {
        return Create(admin, u, "User", Entries().Add(0, "Telephone Number", v));
    };
    EXPECT_EQ(phone(euros + "1"), DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(phone(emoji), DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(phone(""), DDCERR_SYNTAX_VIOLATION);
    ASSERT_EQ(phone(euros), 0);
    EXPECT_EQ(Values(u, "Telephone Number"), Strings{euros});

    // Signed bounds of a sized integer; a class-name value names a class.
    ASSERT_EQ(DefineAttr("X:Level", DDC_SYN_INTEGER, DDC_ATTRDEF_SIZED, uint32_t(-1), 5), 0);
    ASSERT_EQ(DefineAttr("X:Kind", DDC_SYN_CLASS_NAME), 0);
    ASSERT_EQ(DefineClass("X:Thing", "Organizational Unit", {"X:Level", "X:Kind"}), 0);
    const std::string t = kSales + "\\t";
    for (const char* bad : {"-2", "6"})
        EXPECT_EQ(Create(admin, t, "X:Thing", Entries().Add(0, "X:Level", bad)),
                  DDCERR_SYNTAX_VIOLATION)
            << bad;
    EXPECT_EQ(Create(admin, t, "X:Thing", Entries().Add(0, "X:Kind", "No Such")),
              DDCERR_NO_SUCH_CLASS);
    ASSERT_EQ(Create(admin, t, "X:Thing",
                     Entries().Add(0, "X:Level", "-1").Add(0, "X:Kind", "organizational unit")),
              0);
    EXPECT_EQ(Values(t, "X:Level"), Strings{"-1"});
    EXPECT_EQ(Values(t, "X:Kind"), Strings{"Organizational Unit"});
}

TEST_F(Creation, LengthsNullValuesDuplicatesAndTheNamingValue) {
    const std::string u = kSales + "\\Bob";
    // A given length cuts the value.
    Entries cut;
    cut.Add(0, "Surname", "Builder-and-more");
    cut.list[0].length = 7;
    ASSERT_EQ(Create(admin, u, "User", cut), 0);
    EXPECT_EQ(Values(u, "Surname"), Strings{"Builder"});
    EXPECT_EQ(Values(u, "CN"), Strings{"Bob"});
    // A naming value given replaces the relative name as its value.
    ASSERT_EQ(Create(admin, kSales + "\\Rob", "User", Entries().Add(0, "CN", "Robert")), 0);
    EXPECT_EQ(Values(kSales + "\\Rob", "CN"), Strings{"Robert"});
    // A relative name too long for the naming attribute (CN: 1 to 64).
    EXPECT_EQ(Create(admin, kSales + "\\" + std::string(65, 'x'), "User"), DDCERR_SYNTAX_VIOLATION);
    // Duplicates within one creation, compared without regard to case.
    EXPECT_EQ(Create(admin, kSales + "\\Dup", "User",
                     Entries().Add(0, "Telephone Number", "ab").Add(0, "Telephone Number", "AB")),
              DDCERR_DUPLICATE_VALUE);
    Entries null;
    null.Add(0, "Surname", "x");
    null.list[0].value = nullptr;
    EXPECT_EQ(Create(admin, kSales + "\\Null", "User", null), DDCERR_INVALID_PARAMETER);
    EXPECT_FALSE(Exists(kSales + "\\Dup"));
    EXPECT_FALSE(Exists(kSales + "\\Null"));
    // Malformed calls.
    Entries one;
    one.Add(0, "Object Class", "User", 20);
    EXPECT_EQ(DDCCreateEntry(admin, (kSales + "\\x").c_str(), 1, nullptr),
              DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(DDCCreateEntry(admin, (kSales + "\\x").c_str(), 4097, one.data()),
              DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(DDCCreateEntry(admin, nullptr, one.N(), one.data()), DDCERR_INVALID_PARAMETER);
    EXPECT_FALSE(Exists(kSales + "\\x"));
}

TEST_F(Creation, AclValuesInBothFormsNameExistingTrustees) {
    ASSERT_EQ(Create(admin, kSales + "\\Bob", "User"), 0);
    const std::string g = kSales + "\\g";
    for (const char* bad : {"x#CN#\\ACME", "2#CN", "-1#CN#\\ACME", "2##\\ACME", "#CN#\\ACME"})
        EXPECT_EQ(Create(admin, g, "Group", Entries().Add(0, "ACL", bad)), DDCERR_SYNTAX_VIOLATION)
            << bad;
    EXPECT_EQ(Create(admin, g, "Group", Entries().Acl(0, 2, "CN", kSales + "\\Nobody")),
              DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(
        Create(
            admin, g, "Group",
            Entries().Acl(0, 2, "CN", kSales + "\\Bob").Add(0, "ACL", "2#cn#" + kSales + "\\bob")),
        DDCERR_DUPLICATE_VALUE);
    ASSERT_EQ(Create(admin, g, "Group",
                     Entries()
                         .Acl(0, DDC_ATTR_WRITE, "Member", kSales + "\\Bob")
                         .Add(0, "ACL", "4#[Entry Rights]#" + kSales + "\\Bob")),
              0);
    EXPECT_EQ(Values(g, "ACL"),
              (Strings{"4#Member#" + kSales + "\\Bob", "4#[Entry Rights]#" + kSales + "\\Bob"}));
    EXPECT_FALSE(Exists("\\ACME\\org\\g"));
}

TEST_F(Creation, CreatingNeedsAddRightsOnTheParentAndMakesTheObjectCurrent) {
    DDCContextHandle bob = UserLogin(kSales + "\\Bob", "pw-bob");
    DDCContextHandle anon = Context();
    EXPECT_EQ(Create(anon, kSales + "\\x", "User"), DDCERR_NO_ACCESS);
    // Rights other than adding do not let anyone create.
    ASSERT_EQ(Grant(admin, kSales, DDC_ENTRY_BROWSE | DDC_ENTRY_DELETE | DDC_ENTRY_RENAME,
                    DDC_ACL_ENTRY_RIGHTS, kSales + "\\Bob"),
              0);
    EXPECT_EQ(Create(bob, kSales + "\\x", "User"), DDCERR_NO_ACCESS);
    // An add grant on an ancestor covers its subtree, nothing beside it.
    ASSERT_EQ(Create(admin, "\\ACME\\org\\hr", "Organizational Unit"), 0);
    ASSERT_EQ(
        Grant(admin, "\\ACME\\org\\hr", DDC_ENTRY_ADD, DDC_ACL_ENTRY_RIGHTS, kSales + "\\Bob"), 0);
    ASSERT_EQ(Create(admin, "\\ACME\\org\\hr\\team", "Organizational Unit"), 0);
    EXPECT_EQ(Create(bob, kSales + "\\x", "User"), DDCERR_NO_ACCESS);
    ASSERT_EQ(Create(bob, "\\ACME\\org\\hr\\team\\Carl", "User", Entries().Add(0, "Surname", "C")),
              0);
    // The new object is current: a modification goes to it.
    Entries tel;
    tel.Add(DDC_OP_ADD_VALUE, "Telephone Number", "7");
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, kSales.c_str()), 0);
    ASSERT_EQ(Create(admin, kSales + "\\Dora", "User"), 0);
    ASSERT_EQ(DDCModifyEntry(admin, tel.N(), tel.data()), 0);
    EXPECT_EQ(Values(kSales + "\\Dora", "Telephone Number"), Strings{"7"});
    // A refused creation leaves the current object as it was.
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, kSales.c_str()), 0);
    EXPECT_EQ(Create(admin, kSales + "\\Dora", "User"), DDCERR_ENTRY_ALREADY_EXISTS);
    ASSERT_EQ(DDCModifyEntry(admin, tel.N(), tel.data()), 0);
    EXPECT_EQ(Values(kSales, "Telephone Number"), Strings{"7"});
}

} // namespace
