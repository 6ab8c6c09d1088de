// Names, contexts, string forms, reads, lists and entry information.
#include "fixture.h"

#include <cstring>

using namespace pdksatest;

namespace {

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

class Names : public DirTest {
  protected:
    void SetUp() override {
        DirTest::SetUp();
        ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\Alice", "User"), 0);
        ASSERT_EQ(Create(admin, "\\ACME\\org\\Admin", "User"), 0);
    }
    int Resolve(DDCContextHandle c, const std::string& name) {
        return DDCResolveName(c, DDC_RESOLVE_FOR_READ, name.c_str());
    }
    static std::string FullName(DDCContextHandle c) { return Info(c, DDC_INFO_NAME); }
};

TEST_F(Names, FullRelativeDottedAndTypedFormsNameTheSameObject) {
    ASSERT_EQ(DDCSetContextBaseDN(admin, "ACME", DDCSlashDelims), 0);
    const char* forms[] = {
        "\\ACME\\org\\sales\\Alice",   "org\\sales\\Alice",       "\\acme\\ORG\\Sales\\alice",
        "CN=Alice.OU=sales.O=org",     "org\\OU=sales\\CN=Alice", "O=org\\OU=sales\\CN=alice",
        "\\ACME\\org\\sales\\Alice\\",
    };
    for (const char* f : forms) {
        SCOPED_TRACE(f);
        DDCResolveName(admin, DDC_RESOLVE_FOR_READ, "\\ACME");
        ASSERT_EQ(Resolve(admin, forms[0]), 0);
        const std::string want = FullName(admin);
        ASSERT_EQ(Resolve(admin, "\\ACME"), 0);
        ASSERT_EQ(Resolve(admin, f), 0);
        EXPECT_EQ(FullName(admin), want);
    }
    // Relative names follow the base; "." is the base itself.
    ASSERT_EQ(DDCSetContextBaseDN(admin, "\\ACME\\org\\sales", DDCSlashDelims), 0);
    EXPECT_EQ(Resolve(admin, "Alice"), 0);
    EXPECT_EQ(Resolve(admin, "Admin"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(Resolve(admin, "."), 0);
    EXPECT_EQ(FullName(admin), "\\ACME\\org\\sales");
    // Dotted names start at the tree root whatever the base.
    EXPECT_EQ(Resolve(admin, "CN=Admin.O=org"), 0);
    EXPECT_EQ(FullName(admin), "\\ACME\\org\\Admin");
    // A dotted base given with the dot table.
    ASSERT_EQ(DDCSetContextBaseDN(admin, "OU=sales.O=org", DDCDotDelims), 0);
    EXPECT_EQ(Resolve(admin, "Alice"), 0);
}

TEST_F(Names, BadNamesAreRefusedWithoutTouchingTheCurrentObject) {
    ASSERT_EQ(Resolve(admin, "\\ACME\\org"), 0);
    const std::string longComp(DDC_MAX_RDN_CHARS + 1, 'x');
    std::string longName = "\\ACME";
    while (longName.size() <= DDC_MAX_DN_CHARS)
        longName += "\\abcdefgh";
    const std::string bad[] = {
        "",     "\\ACME\\\\org", "\\ACME\\" + longComp, longName, "\\ACME\\a\x01z",
        "\xC3", "\xC0\x80",      "\xED\xA0\x80", // truncated, overlong and surrogate UTF-8
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b);
        const int rc = Resolve(admin, b);
        EXPECT_TRUE(rc == DDCERR_ILLEGAL_DS_NAME || rc == DDCERR_NO_CHARACTER_MAPPING) << rc;
    }
    EXPECT_EQ(FullName(admin), "\\ACME\\org");
    // A creation under a bad name changes nothing.
    EXPECT_EQ(Create(admin, "\\ACME\\" + longComp, "Organization"), DDCERR_ILLEGAL_DS_NAME);
    EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, nullptr), DDCERR_INVALID_PARAMETER);
}

TEST_F(Names, Utf16ContextsTakeAndGiveUtf16) {
    const DDCContextHandle c = Copy(admin);
    ASSERT_EQ(DDCSetContextFlags(c, DDC_CTX_UNICODE, DDC_CTX_RESERVED), 0);
    const std::u16string base = U16("\\ACME\\org");
    ASSERT_EQ(DDCSetContextBaseDN(c, base.c_str(), nullptr), 0);
    const std::u16string name = U16("sales\\Alice");
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, name.c_str()), 0);
    alignas(8) unsigned char out[1024];
    ASSERT_EQ(
        DDCGetEntryInfo(c, DDC_INFO_BASE_CLASS | DDC_INFO_RDN | DDC_INFO_NAME, sizeof out, out), 0);
    const char16_t* texts[3];
    std::memcpy(texts, out, sizeof texts);
    EXPECT_EQ(std::u16string(texts[0]), u"User");
    EXPECT_EQ(std::u16string(texts[1]), u"Alice");
    EXPECT_EQ(std::u16string(texts[2]), u"sales\\Alice"); // relative to the base
    // Non-ASCII names round-trip, and compare without regard to case.
    ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\\xC3\x89lodie \xE2\x82\xAC", "User"), 0);
    const std::u16string lower = u"sales\\\u00e9lodie \u20ac";
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, lower.c_str()), 0);
    // A lone surrogate is refused.
    const char16_t bad[] = {u's', 0xD800, 0};
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, bad), DDCERR_NO_CHARACTER_MAPPING);
    // Save and restore of the base in UTF-16.
    alignas(2) unsigned char saved[DDC_MAX_DN_BYTES];
    ASSERT_EQ(DDCGetContextBaseDN(c, saved, 0), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(saved)), base);
    ASSERT_EQ(DDCSetContextBaseDN(c, u"\\", nullptr), 0);
    ASSERT_EQ(DDCSetContextBaseDN(c, saved, nullptr), 0);
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, name.c_str()), 0);
}

TEST_F(Names, ValuesComeBackInOrderAndInBatches) {
    Entries e;
    for (int i = 0; i < 30; ++i)
        e.Add(DDC_OP_ADD_VALUE, "Telephone Number", "555-" + std::to_string(1000 + i));
    ASSERT_EQ(Modify(admin, "\\ACME\\org", e), 0);
    auto all = Values("\\ACME\\org", "Telephone Number");
    ASSERT_EQ(all.size(), 30u);
    EXPECT_EQ(all.front(), "555-1000");
    EXPECT_EQ(all.back(), "555-1029");

    // The batch form continues where it stopped and ends with 0 entries.
    const void* names[] = {"Telephone Number", nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    alignas(8) unsigned char buf[400];
    std::vector<std::string> got;
    int32_t n = -1;
    int batches = 0;
    do {
        ASSERT_EQ(DDCReadToBuffer(admin, &req, 1, 0, sizeof buf, buf, &n), 0);
        const auto* entries = reinterpret_cast<const DDCEntry*>(buf);
        for (int32_t i = 0; i < n; ++i)
            got.emplace_back(static_cast<const char*>(entries[i].value));
        ++batches;
    } while (n > 0 && batches < 100);
    EXPECT_EQ(got, all);
    EXPECT_GT(batches, 2);
    // Too small for a single value, and no value at all.
    EXPECT_EQ(DDCReadToBuffer(admin, &req, 1, 0, 16, buf, &n), DDCERR_INSUFFICIENT_BUFFER);
    const void* none[] = {"Description", nullptr};
    DDCReadRequest empty{0, none, 0, 0, 0};
    EXPECT_EQ(DDCReadToBuffer(admin, &empty, 1, 0, sizeof buf, buf, &n), DDCERR_NO_SUCH_ATTRIBUTE);
    // A stopping callback ends the read early.
    int calls = 0;
    ASSERT_EQ(DDCReadToCB(
                  admin, &req, 1, 10240,
                  [](DDCContextHandle, const DDCEntry*, void* arg) {
                      return ++*static_cast<int*>(arg) == 3 ? 1 : 0;
                  },
                  &calls),
              0);
    EXPECT_EQ(calls, 3);
}

TEST_F(Names, ListsFilterByClassAndNameInBatches) {
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\u" + std::to_string(10 + i), "User"), 0);
    ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\Team", "Group"), 0);
    auto list = [&](const char* cls, const char* name, size_t size) {
        return List(admin, "\\ACME\\org\\sales", size, cls, name);
    };
    EXPECT_EQ(list(nullptr, nullptr, 4096).size(), 14u);
    EXPECT_EQ(list(nullptr, nullptr, 64).size(), 14u); // many small batches
    EXPECT_EQ(list("group", nullptr, 4096), Strings{"Team"});
    EXPECT_EQ(list("Top", nullptr, 4096).size(), 14u); // superclasses match too
    EXPECT_EQ(list(nullptr, "U1*", 4096).size(), 10u);
    EXPECT_EQ(list("User", "*1", 4096), (Strings{"u11", "u21"}));
    EXPECT_TRUE(list(nullptr, nullptr, 4096).front() == "Alice");

    // Objects removed by someone else between two batches hide nothing.
    const DDCContextHandle other = Copy(admin);
    const auto seen = List<char>(admin, "\\ACME\\org\\sales", 96, nullptr, nullptr, [&](auto& n) {
        EXPECT_EQ(DDCRemoveEntry(other, ("\\ACME\\org\\sales\\" + n).c_str()), 0) << n;
    });
    EXPECT_EQ(seen.size(), 14u);
}

TEST_F(Names, NameValuesFollowRenamesAndGoWithTheirObject) {
    ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\Team", "Group",
                     Entries().Add(0, "Member", "\\ACME\\org\\sales\\Alice", DDC_SYN_DIST_NAME)),
              0);
    ASSERT_EQ(DDCSetContextBaseDN(admin, nullptr, DDCSlashDelims), 0);
    EXPECT_EQ(Values("\\ACME\\org\\sales\\Team", "Member"), Strings{"\\ACME\\org\\sales\\Alice"});
    // Renaming the container moves every name below it.
    ASSERT_EQ(DDCModifyRDN(admin, "\\ACME\\org\\sales", "Sales Dept", 1), 0);
    EXPECT_EQ(Values("\\ACME\\org\\Sales Dept\\Team", "Member"),
              Strings{"\\ACME\\org\\Sales Dept\\Alice"});
    EXPECT_EQ(Values("\\ACME\\org\\Sales Dept", "OU"), Strings{"Sales Dept"});
    EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, "\\ACME\\org\\sales"),
              DDCERR_NO_SUCH_ENTRY);
    // With a base, names below it come back relative.
    ASSERT_EQ(DDCSetContextBaseDN(admin, "\\ACME\\org", DDCSlashDelims), 0);
    EXPECT_EQ(Values("Sales Dept\\Team", "Member"), Strings{"Sales Dept\\Alice"});
    // Renaming onto an existing name, or out of the parent, is refused.
    EXPECT_EQ(DDCModifyRDN(admin, "Sales Dept\\Alice", "Team", 1), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_EQ(DDCModifyRDN(admin, "Sales Dept\\Alice", "\\ACME\\org\\Alice", 1),
              DDCERR_ILLEGAL_DS_NAME);
    // Keeping the old name as a second naming value.
    ASSERT_EQ(DDCModifyRDN(admin, "Sales Dept\\Alice", "Alicia", 0), 0);
    EXPECT_EQ(Values("Sales Dept\\Alicia", "CN"), (Strings{"Alice", "Alicia"}));
    // Removal: subordinates first; the member value goes with the object.
    EXPECT_EQ(DDCRemoveEntry(admin, "Sales Dept"), DDCERR_ENTRY_IS_NOT_LEAF);
    ASSERT_EQ(DDCRemoveEntry(admin, "Sales Dept\\Alicia"), 0);
    EXPECT_TRUE(Values("Sales Dept\\Team", "Member").empty());
}

TEST_F(Names, ContextCopiesKeepBaseAndLoginAndAreIndependent) {
    ASSERT_EQ(DDCSetContextBaseDN(admin, "\\ACME\\org", DDCSlashDelims), 0);
    DDCContextHandle copy;
    ASSERT_EQ(DDCDuplicateContext(admin, &copy), 0);
    EXPECT_EQ(DDCAuthenticateConnection(copy), 0);
    EXPECT_EQ(DDCResolveName(copy, DDC_RESOLVE_FOR_READ, "Admin"), 0);
    ASSERT_EQ(DDCLogout(admin), 0);
    EXPECT_EQ(DDCAuthenticateConnection(admin), DDCERR_NOT_LOGGED_IN);
    EXPECT_EQ(DDCAuthenticateConnection(copy), 0);
    ASSERT_EQ(DDCFreeContext(copy), 0);
    EXPECT_EQ(DDCFreeContext(copy), DDCERR_INVALID_CONTEXT);
    EXPECT_EQ(DDCResolveName(copy, DDC_RESOLVE_FOR_READ, "Admin"), DDCERR_INVALID_CONTEXT);
    // Reads need a login.
    std::vector<std::string> out;
    EXPECT_EQ(Read(admin, "Admin", "CN", out), DDCERR_NO_ACCESS);
    // A current object removed through another context is gone for this one too.
    DDCContextHandle other = Context();
    ASSERT_EQ(PDKLoginMaintenance(other), 0);
    ASSERT_EQ(PDKLoginMaintenance(admin), 0);
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, "Admin"), 0);
    ASSERT_EQ(DDCRemoveEntry(other, "\\ACME\\org\\Admin"), 0);
    Entries e;
    e.Add(DDC_OP_ADD_VALUE, "Surname", "x");
    EXPECT_EQ(DDCModifyEntry(admin, e.N(), e.data()), DDCERR_NO_SUCH_ENTRY);
    alignas(8) char info[256];
    EXPECT_EQ(DDCGetEntryInfo(admin, DDC_INFO_NAME, sizeof info, info), DDCERR_NO_SUCH_ENTRY);
}

// Characters above U+FFFF take two UTF-16 units, four UTF-8 bytes and one
// SQLite character: every operation must agree on where names split.
TEST_F(Names, CharactersAboveUFFFFSurviveEveryOperation) {
    const std::string emoji = "\xF0\x9F\x98\x80"; // U+1F600
    const std::string dept = "\\ACME\\org\\dept2-em" + emoji + "ji";
    ASSERT_EQ(Create(admin, dept, "Organizational Unit"), 0);
    ASSERT_EQ(Create(admin, dept + "\\alice", "User"), 0);
    ASSERT_EQ(Create(admin, dept + "\\" + emoji + "bob", "User"), 0);
    ASSERT_EQ(Create(admin, dept + "\\team", "Group",
                     Entries().Add(0, "Member", dept + "\\alice", DDC_SYN_DIST_NAME)),
              0);
    EXPECT_EQ(Values(dept, "OU"), Strings{"dept2-em" + emoji + "ji"});
    EXPECT_EQ(Resolve(admin, "\\ACME\\ORG\\DEPT2-EM" + emoji + "JI\\" + emoji + "BOB"), 0);

    // Renaming the container rewrites the paths below it.
    const std::string renamed = "\\ACME\\org\\renamed2-em" + emoji + "ji";
    ASSERT_EQ(DDCModifyRDN(admin, dept.c_str(), ("renamed2-em" + emoji + "ji").c_str(), 1), 0);
    EXPECT_EQ(Resolve(admin, dept + "\\alice"), DDCERR_NO_SUCH_ENTRY);
    ASSERT_EQ(Resolve(admin, renamed + "\\alice"), 0);
    EXPECT_EQ(FullName(admin), renamed + "\\alice");
    ASSERT_EQ(Resolve(admin, renamed + "\\" + emoji + "bob"), 0);
    EXPECT_EQ(FullName(admin), renamed + "\\" + emoji + "bob");
    EXPECT_EQ(Values(renamed + "\\team", "Member"), Strings{renamed + "\\alice"});
    // A rename that shortens the name, below a name with such characters.
    ASSERT_EQ(
        DDCModifyRDN(admin, (renamed + "\\" + emoji + "bob").c_str(), (emoji + "b").c_str(), 1), 0);
    ASSERT_EQ(DDCModifyRDN(admin, renamed.c_str(), (emoji + emoji).c_str(), 1), 0);
    const std::string shortName = "\\ACME\\org\\" + emoji + emoji;
    EXPECT_EQ(Values(shortName + "\\" + emoji + "b", "CN"), Strings{emoji + "b"});

    // The UTF-16 form: surrogate pairs in names, lists and values.
    const DDCContextHandle c = Copy(admin);
    ASSERT_EQ(DDCSetContextFlags(c, DDC_CTX_UNICODE, 0), 0);
    const std::u16string wide = u"\\ACME\\org\\\U0001F600\U0001F600\\alice";
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, wide.c_str()), 0);
    const auto listed = List(c, u"\\ACME\\org\\\U0001F600\U0001F600");
    EXPECT_EQ(listed, (std::vector<std::u16string>{u"alice", u"team", u"\U0001F600b"}));

    // Removal of the subtree, leaf first.
    for (const std::string& n :
         {shortName + "\\alice", shortName + "\\team", shortName + "\\" + emoji + "b", shortName})
        EXPECT_EQ(DDCRemoveEntry(admin, n.c_str()), 0) << n;
    EXPECT_EQ(Resolve(admin, shortName), DDCERR_NO_SUCH_ENTRY);
}

TEST_F(Names, RenamingChecksTheNamingAttributesBounds) {
    const std::string sales = "\\ACME\\org\\sales";
    EXPECT_EQ(DDCModifyRDN(admin, (sales + "\\Alice").c_str(), std::string(100, 'a').c_str(), 1),
              DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(DDCModifyRDN(admin, (sales + "\\Alice").c_str(), std::string(65, 'a').c_str(), 1),
              DDCERR_SYNTAX_VIOLATION);
    EXPECT_EQ(Resolve(admin, sales + "\\Alice"), 0);
    EXPECT_EQ(Values(sales + "\\Alice", "CN"), Strings{"Alice"});
    ASSERT_EQ(DDCModifyRDN(admin, (sales + "\\Alice").c_str(), std::string(64, 'a').c_str(), 1), 0);
    EXPECT_EQ(Values(sales + "\\" + std::string(64, 'a'), "CN"), Strings{std::string(64, 'a')});
    // The same bound as a direct write.
    EXPECT_EQ(Modify(admin, sales + "\\" + std::string(64, 'a'),
                     Entries().Add(DDC_OP_ADD_VALUE, "CN", std::string(65, 'b'))),
              DDCERR_SYNTAX_VIOLATION);
}

} // namespace
