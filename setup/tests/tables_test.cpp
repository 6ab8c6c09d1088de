// The compiled-in schema tables, screen texts and error catalogue.
#include "quilltables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <string>

namespace {

const QuillClassRow* FindClass(const char* name) {
    for (const QuillClassRow* c = QuillClass; c->name; ++c)
        if (std::strcmp(c->name, name) == 0) return c;
    return nullptr;
}

template <typename Row> int Rows(const Row* t) {
    int n = 0;
    while (t[n].name)
        ++n;
    return n;
}

// The optional attributes a class receives from the definition pass.
std::set<std::string> OptionalsOf(const QuillClassRow& c) {
    std::set<std::string> out;
    for (const QuillAttrRow* a = QuillAttr; a->name; ++a)
        if ((a->optionalBits & c.bits) || (a->optionalBits2 & c.bits2)) out.insert(a->name);
    return out;
}

TEST(SchemaTables, CountsAndTerminators) {
    EXPECT_EQ(Rows(QuillAttr), 162);
    EXPECT_EQ(Rows(QuillClass), 40);
    EXPECT_EQ(Rows(QuillSpecialAttr), 4);
    EXPECT_EQ(Rows(QuillObsoleteAttr), 22);
    EXPECT_EQ(Rows(QuillObsoleteClass), 10);
    // Only the one deliberately repeated name may appear twice.
    std::set<std::string> seen;
    std::set<std::string> twice;
    for (const QuillAttrRow* a = QuillAttr; a->name; ++a)
        if (!seen.insert(a->name).second) twice.insert(a->name);
    EXPECT_EQ(twice, std::set<std::string>{"Velmora:Reply Message"});
    EXPECT_STREQ(QuillAttr[25].name, "Velmora:Reply Message");
    EXPECT_STREQ(QuillAttr[41].name, "Velmora:Reply Message");
}

TEST(SchemaTables, EveryClassHasExactlyOneBitInOneSpace) {
    std::set<std::pair<int, uint32_t>> used;
    for (const QuillClassRow* c = QuillClass; c->name; ++c) {
        int ones = __builtin_popcount(c->bits) + __builtin_popcount(c->bits2);
        EXPECT_EQ(ones, 1) << c->name;
        auto key = c->bits ? std::make_pair(0, c->bits) : std::make_pair(1, c->bits2);
        bool fresh = used.insert(key).second;
        // Organization and Organizational Unit deliberately share a bit.
        if (std::strcmp(c->name, "Organizational Unit") != 0) {
            EXPECT_TRUE(fresh) << c->name;
        }
    }
    EXPECT_EQ(FindClass("Velmora:Services")->bits, 1u << 0);
    EXPECT_EQ(FindClass("Velmora:Alias Agent")->bits, 1u << 17);
    EXPECT_EQ(FindClass("Quill:LatticeAgent")->bits2, 1u << 0);
    EXPECT_EQ(FindClass("Quill:LatticeAgent")->bits, 0u);
    EXPECT_EQ(FindClass("QuillSignupModule")->bits2, 1u << 7);
    EXPECT_EQ(FindClass("TWP Server")->bits, 1u << 16);
}

TEST(SchemaTables, OrganizationAndUnitReceiveTheSameOptionals) {
    const QuillClassRow* o = FindClass("Organization");
    const QuillClassRow* ou = FindClass("Organizational Unit");
    ASSERT_TRUE(o && ou);
    EXPECT_EQ(o->bits, ou->bits);
    auto a = OptionalsOf(*o);
    EXPECT_EQ(a, OptionalsOf(*ou));
    EXPECT_TRUE(a.count("Velmora:Domain"));
    EXPECT_TRUE(a.count("Quill:ParentObject"));
    EXPECT_EQ(a.size(), 7u);
}

TEST(SchemaTables, AttachmentsFollowTheRows) {
    auto twp = OptionalsOf(*FindClass("TWP Server"));
    EXPECT_EQ(twp, (std::set<std::string>{"Velmora:Messaging Server", "Velmora:Syslog Config",
                                          "Quill:PKeyFile", "Quill:CAFile"}));
    auto user = OptionalsOf(*FindClass("User"));
    EXPECT_TRUE(user.count("Velmora:EMail Address"));
    EXPECT_TRUE(user.count("Quill:WapMessageSize"));
    EXPECT_FALSE(user.count("Velmora:Domain"));
    auto agent = OptionalsOf(*FindClass("Velmora:Mail Agent"));
    EXPECT_TRUE(agent.count("Velmora:REVO Server"));
    EXPECT_TRUE(agent.count("Velmora:Port"));
    // Second-space classes: the lattice agent's attributes come only from words 8.
    auto lattice = OptionalsOf(*FindClass("Quill:LatticeAgent"));
    EXPECT_EQ(lattice, (std::set<std::string>{"Velmora:Language", "Velmora:Color", "Velmora:Font",
                                              "Velmora:Preferences", "Quill:Title"}));
    auto pref = OptionalsOf(*FindClass("Quill:LWPrefModule"));
    EXPECT_EQ(pref, std::set<std::string>{"Quill:PasswordConfig"});
    // Mandatory bits are recorded though the passes never read them.
    const QuillAttrRow& store = QuillAttr[36];
    EXPECT_STREQ(store.name, "Velmora:Message Store");
    EXPECT_EQ(store.mandatoryBits, FindClass("Velmora:REVO Agent")->bits);
}

TEST(SchemaTables, FlagsAndBounds) {
    for (const QuillAttrRow* a = QuillAttr; a->name; ++a)
        EXPECT_LE(a->lower, a->upper) << a->name;
    const QuillAttrRow& action = QuillAttr[0];
    EXPECT_TRUE(action.flag01 && action.flag40);
    EXPECT_EQ(action.lower, 1u);
    EXPECT_EQ(action.upper, 255u);
    const QuillAttrRow& proxy = QuillAttr[71];
    EXPECT_STREQ(proxy.name, "Velmora:Proxy List");
    EXPECT_FALSE(proxy.flag01 || proxy.flag40 || proxy.lower);
    const QuillAttrRow& ip = QuillAttr[12];
    EXPECT_STREQ(ip.name, "Velmora:IP Address");
    EXPECT_EQ(ip.lower, 7u);
    EXPECT_FALSE(ip.flag01);
    EXPECT_TRUE(QuillAttr[5].isDN);  // Velmora:Client
    EXPECT_FALSE(QuillAttr[4].isDN); // Velmora:Configuration
    EXPECT_STREQ(QuillAttr[161].name, "Quill:Manager");
}

TEST(SchemaTables, ClassRowsCarryTheirDefinitions) {
    const QuillClassRow* ms = FindClass("Velmora:Messaging Server");
    EXPECT_STREQ(ms->superclass, "Top");
    EXPECT_STREQ(ms->containment[0], "Velmora:Services");
    EXPECT_STREQ(ms->mandatory[4], "Velmora:Official Name");
    EXPECT_EQ(ms->container, 1u);
    const QuillClassRow* listUser = FindClass("Quill:ListUser");
    EXPECT_STREQ(listUser->superclass, "User");
    EXPECT_STREQ(listUser->mandatory[0], "");
    for (int i = 34; i < 40; ++i)
        EXPECT_EQ(QuillClass[i].superclass, nullptr);
    for (int i = 0; i < 34; ++i)
        EXPECT_NE(QuillClass[i].superclass, nullptr);
    EXPECT_STREQ(QuillObsoleteAttr[17].name, "Velmora:Title");
    EXPECT_STREQ(QuillObsoleteClass[9].name, "Quill:AutoSignatureAgent");
}

TEST(ScreenTexts, EveryRowHasText) {
    for (int i = 0; i < QUILL_MESSAGE_COUNT; ++i) {
        ASSERT_NE(programMesgTable[i], nullptr) << i;
        EXPECT_GT(std::strlen(programMesgTable[i]), 0u) << i;
    }
    EXPECT_STREQ(programMesgTable[4], "Add Schema Extensions");
    EXPECT_STREQ(programMesgTable[75], "Lattice: ");
    EXPECT_STREQ(programMesgTable[86], "Authenticated to Arbor");
    EXPECT_STREQ(programMesgTable[43], " created");
}

TEST(ErrorCatalogue, KnownCodesAndUnknownOnes) {
    // Known rows are checked in SampleRowsAsListed; here the gaps between them.
    EXPECT_EQ(DirectoryErrorCount(), 583);
    EXPECT_STREQ(DirectoryErrorText(-2), "No description");
    EXPECT_STRNE(DirectoryErrorText(0), "No description");
    EXPECT_STREQ(DirectoryErrorText(-327), "No description");
    EXPECT_STREQ(DirectoryErrorText(0x8900), "No description");
    EXPECT_STREQ(DirectoryErrorText(INT32_MIN), "No description");
    EXPECT_STREQ(DirectoryErrorText(INT32_MAX), "No description");
    // A long-form file server code means what its short form means.
    EXPECT_STREQ(DirectoryErrorText(0xFFF02), DirectoryErrorText(0x89FE));
}

TEST(ErrorCatalogue, RangesHoldTheirCounts) {
    struct Range {
        int32_t lo, hi, count;
    } ranges[] = {{-702, -601, 102},    {-354, -301, 53},      {-106, -1, 20},
                  {0, 0xF8, 39},        {0x101, 0x402, 48},    {0x7760, 0x77A1, 23},
                  {0x8800, 0x88FF, 97}, {0x8901, 0x89FF, 101}, {0xFFF01, 0xFFFFF, 100}};
    int total = 0;
    for (const Range& r : ranges) {
        int n = 0;
        for (int32_t c = r.lo; c <= r.hi; ++c)
            if (std::strcmp(DirectoryErrorText(c), "No description") != 0) ++n;
        EXPECT_EQ(n, r.count) << r.lo;
        total += n;
    }
    EXPECT_EQ(total, 583); // the symbolic names among them are counted in EveryRowIsWellFormed
}

bool Symbolic(const std::string& t) {
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// Every row: codes in ascending order (so each once), and a text that is
// plain printable ASCII without surrounding blanks; a symbolic name is never
// given to two codes.
TEST(ErrorCatalogue, EveryRowIsWellFormed) {
    std::set<std::string> names;
    for (int32_t i = 0; i < DirectoryErrorCount(); ++i) {
        const int32_t code = DirectoryErrorCodeAt(i);
        if (i > 0) {
            EXPECT_LT(DirectoryErrorCodeAt(i - 1), code) << i;
        }
        const std::string t = DirectoryErrorText(code);
        ASSERT_FALSE(t.empty()) << code;
        EXPECT_NE(t, "No description") << code;
        for (char c : t)
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << code << ": " << t;
        EXPECT_NE(t.front(), ' ') << code;
        EXPECT_NE(t.back(), ' ') << code;
        EXPECT_EQ(t.find("  "), std::string::npos) << code << ": " << t;
        if (Symbolic(t)) {
            EXPECT_TRUE(names.insert(t).second) << code << ": " << t;
        }
    }
    EXPECT_EQ(names.size(), 195u);
    EXPECT_EQ(DirectoryErrorCodeAt(0), -702);
    EXPECT_EQ(DirectoryErrorCodeAt(DirectoryErrorCount() - 1), 0xFFFFF);
}

// A sample spread over the table: both ends, each range, names cut short or
// misspelt as they are listed, and the sentences the system acts on.
TEST(ErrorCatalogue, SampleRowsAsListed) {
    const struct {
        int32_t code;
        const char* text;
    } sample[] = {
        {-702, "ERR_INVALID_PARAMETER"},
        {-684, "ERR_SECURE_TWP_VIOLATION"},
        {-672, "Client has no rights to do the function returning the error."},
        {-669, "Passed in a bad password."},
        {-654, "ERR_PARTITION_BUSY"},
        {-653, "Attempted to create a schema definition for a class containing a duplicate "
               "optional name."},
        {-645, "Attempted to add a class already existing in the schema."},
        {-634, "Server has no objects that match request and has no referals on which to search "
               "for the object."},
        {-629, "Attempted to delete an entry containing subordinates, which the API call cannot "
               "do. First delete the subordinates."},
        {-613, "ERR_SYNTAX_VIOLATION"},
        {-603, "The requested attribute could not be found."},
        {-602, "The requested attribute value could not be found."},
        {-601, "Object passed in could not be found. Check context relative to the passed-in "
               "name."},
        {-351, "ERR_ATTEMPT_TO_ATHENTICATE_0"},
        {-332, "ERR_NO_SERVER_FOUND"},
        {-301, "Client workstation does not have memory to allocate."},
        {-12, "UNI_INSUFFICIENT_BUFFER"},
        {0x40, "FWPSE_NO_AVAILABLE_SPX_CONNECTI"},
        {0x46, "FWPSE_ALREADY_ATTACH_TO_A_PRINT"},
        {0xC8, "MISSING_EA_KEY"},
        {0xDC, "EA_KEY_LIMIT"},
        {0xF8, "ERR_SM_DELETE_FAILED"},
        {0x30F, "FWPSE_CMD_NOT_SUPPORTED"},
        {0x402, "FWPSE_UNAUTHORIZED_PRINTER"},
        {0x8812, "SCAN_COMPLETE"},
        {0x8834, "NO_USER_NAME"},
        {0x8875, "INVALID_DRIVE_NUM"},
        {0x8901, "ERR_INSUFFICIENT_SPACE"},
        {0x897E, "TWP_BOUNDARY_CHECK_FAILED"},
        {0x89A0, "DIRECTORY_NOT_EMPTY"},
        {0x89DA, "ERR_Q_HALTED or UNAUTHORIZED_LOGIN_TIME"},
        {0x89DD, "TALLY_CORRUPT"},
        {0x89E7, "E_NO_MORE_USERS"},
        {0x89EE, "OBJECT_ALREADY_EXISTS"},
        {0xFFF08, "DSERR_NO_PROPERTY_WRITE_RIGHTS"},
        {0xFFF20, "DSERR_NO_LOGIN_CONN_AVAILABLE"},
        {0xFFF88, "DSERR_VOLUME_FLAG_NOT_SET"},
        {0xFFFFF, "DSERR_INSUFFICIENT_SPACE"},
    };
    for (const auto& row : sample)
        EXPECT_STREQ(DirectoryErrorText(row.code), row.text) << row.code;
    // Codes listed as explained by a sentence carry no symbolic name.
    for (int32_t code : {-683, -601, -354, -106, -1, 0, 0x101, 0x7760, 0x8800, 0x88FF, 0x8978,
                         0x89FF, 0xFFF01, 0xFFF89})
        EXPECT_FALSE(Symbolic(DirectoryErrorText(code))) << code;
}

} // namespace
