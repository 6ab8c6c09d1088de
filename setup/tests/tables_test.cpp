// The compiled-in schema tables, screen texts and error catalogue.
#include "quilltables.h"

#include <gtest/gtest.h>

#include <cctype>
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
    EXPECT_EQ(DirectoryErrorCount(), 583);
    EXPECT_STREQ(DirectoryErrorText(-654), "ERR_PARTITION_BUSY");
    EXPECT_STREQ(DirectoryErrorText(-2), "No description");
    EXPECT_STRNE(DirectoryErrorText(0), "No description");
    EXPECT_STREQ(DirectoryErrorText(0x89DA), "ERR_Q_HALTED or UNAUTHORIZED_LOGIN_TIME");
    EXPECT_STREQ(DirectoryErrorText(-669), "Passed in a bad password.");
    EXPECT_STREQ(DirectoryErrorText(-629), "Attempted to delete an entry containing subordinates, "
                                           "which the API call cannot do. First delete the "
                                           "subordinates.");
    EXPECT_STREQ(DirectoryErrorText(-301), "Client workstation does not have memory to allocate.");
    EXPECT_STREQ(DirectoryErrorText(-12), "UNI_INSUFFICIENT_BUFFER");
    EXPECT_STREQ(DirectoryErrorText(0xFFFFF), "DSERR_INSUFFICIENT_SPACE");
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
    EXPECT_EQ(total, 583);
    int named = 0;
    for (int32_t i = 0; i < DirectoryErrorCount(); ++i) {
        const char* t = DirectoryErrorText(DirectoryErrorCodeAt(i));
        bool symbolic = true;
        for (const char* p = t; *p; ++p)
            if (!(isupper(static_cast<unsigned char>(*p)) ||
                  isdigit(static_cast<unsigned char>(*p)) || *p == '_'))
                symbolic = false;
        named += symbolic;
    }
    EXPECT_EQ(named, 195);
}

// Every code that shows its symbolic name, as the administrator's documentation lists them.
const struct {
    int32_t code;
    const char* name;
} kSymbolic[] = {
    {-702, "ERR_INVALID_PARAMETER"},
    {-701, "ERR_SYNCHRONIZATION_DISABLED"},
    {-700, "ERR_OBSOLETE_API"},
    {-699, "ERR_FATAL"},
    {-698, "ERR_REPLICA_IN_SKULK"},
    {-697, "ERR_DS_CANNOT_RELOAD"},
    {-696, "ERR_DS_LOADER_BUSY"},
    {-695, "ERR_AGENT_ALREADY_REGISTERED"},
    {-694, "ERR_LOST_ENTRY"},
    {-693, "ERR_MISSING_REFERENCE"},
    {-692, "ERR_INCORRECT_BASE_CLASS"},
    {-691, "ERR_MOD_TIME_NOT_CURRENT"},
    {-690, "ERR_INVALID_RDN"},
    {-689, "ERR_INVALID_SUBORDINATE_COUNT"},
    {-688, "ERR_CACHE_OVERFLOW"},
    {-687, "ERR_CANNOT_ABORT"},
    {-686, "ERR_NOT_LEAF_PARTITION"},
    {-685, "ERR_MOVE_IN_PROGRESS"},
    {-684, "ERR_SECURE_TWP_VIOLATION"},
    {-682, "ERR_AUDITING_FAILED"},
    {-680, "ERR_TRANSPORT_MODIFIED"},
    {-679, "ERR_PARTITION_ALREADY_EXISTS"},
    {-678, "ERR_DUPLICATE_ACL"},
    {-677, "ERR_INVALID_IDENTITY"},
    {-676, "ERR_INVALID_CONN_HANDLE"},
    {-675, "ERR_INVALID_TASK"},
    {-674, "ERR_INVALID_NAME_SERVICE"},
    {-673, "ERR_REPLICA_NOT_ON"},
    {-671, "ERR_NO_SUCH_PARENT"},
    {-670, "ERR_INVALID_CONTEXT"},
    {-666, "ERR_INCOMPATIBLE_DS_VERSION"},
    {-665, "ERR_NEW_EPOCH"},
    {-664, "ERR_OLD_EPOCH"},
    {-662, "ERR_DS_VOLUME_IO_FAILURE"},
    {-661, "ERR_DS_VOLUME_NOT_MOUNTED"},
    {-660, "ERR_RECORD_IN_USE"},
    {-656, "ERR_CRUCIAL_REPLICA"},
    {-655, "ERR_MULTIPLE_REPLICAS"},
    {-654, "ERR_PARTITION_BUSY"},
    {-646, "ERR_BAD_NAMING_ATTRIBUTES"},
    {-640, "ERR_INVALID_CERTIFICATE"},
    {-639, "ERR_INCOMPLETE_AUTHENTICATION"},
    {-638, "ERR_NO_CHARACTER_MAPPING"},
    {-637, "ERR_PREVIOUS_MOVE_IN_PROGRESS"},
    {-636, "ERR_UNREACHABLE_SERVER"},
    {-633, "ERR_INVALID_ENTRY_FOR_ROOT"},
    {-632, "ERR_SYSTEM_FAILURE"},
    {-631, "ERR_ILLEGAL_REPLICA_TYPE"},
    {-630, "ERR_DIFFERENT_TREE"},
    {-628, "ERR_OBJECT_CLASS_VIOLATION"},
    {-625, "ERR_TRANSPORT_FAILURE"},
    {-623, "ERR_SYNTAX_INVALID_IN_NAME"},
    {-621, "ERR_TRANSACTIONS_DISABLED"},
    {-620, "ERR_COMPARISON_FAILED"},
    {-617, "ERR_DATABASE_FORMAT"},
    {-613, "ERR_SYNTAX_VIOLATION"},
    {-351, "ERR_ATTEMPT_TO_ATHENTICATE_0"},
    {-350, "ERR_NOT_CONTEXT_OWNER"},
    {-345, "ERR_INVALID_DS_VERSION"},
    {-337, "ERR_NOT_LOGGED_IN"},
    {-336, "ERR_DATA_STORE_FAILURE"},
    {-332, "ERR_NO_SERVER_FOUND"},
    {-12, "UNI_INSUFFICIENT_BUFFER"},
    {0x40, "FWPSE_NO_AVAILABLE_SPX_CONNECTI"},
    {0x41, "FWPSE_SPX_NOT_INITIALIZED"},
    {0x42, "FWPSE_NO_SUCH_PSERVER"},
    {0x43, "FWPSE_UNABLE_TO_GET_SERVER_ADDR"},
    {0x44, "FWPSE_UNABLE_TO_CONNECT_TO_SERV"},
    {0x45, "FWPSE_NO_AVAILABLE_IPX_SOCKETS"},
    {0x46, "FWPSE_ALREADY_ATTACH_TO_A_PRINT"},
    {0x47, "FWPSE_IPX_NOT_INITIALIZED"},
    {0xC8, "MISSING_EA_KEY"},
    {0xC9, "EA_NOT_FOUND"},
    {0xCA, "INVALID_EA_HANDLE_TYPE"},
    {0xCB, "EA_NO_KEY_NO_DATA"},
    {0xCC, "EA_NUMBER_MISMATCH"},
    {0xCD, "EXTENT_NUMBER_OUT_OF_RANGE"},
    {0xCE, "EA_BAD_DIR_NUM"},
    {0xCF, "INVALID_EA_HANDLE"},
    {0xD0, "EA_POSITION_OUT_OF_RANGE"},
    {0xD1, "EA_ACCESS_DENIED"},
    {0xD2, "DATA_PAGE_ODD_SIZE"},
    {0xD3, "EA_VOLUME_NOT_MOUNTED"},
    {0xD4, "BAD_PAGE_BOUNDARY"},
    {0xD5, "INSPECT_FAILURE"},
    {0xD6, "EA_ALREADY_CLAIMED"},
    {0xD7, "ODD_BUFFER_SIZE"},
    {0xD8, "NO_SCORECARDS"},
    {0xD9, "BAD_EDS_SIGNATURE"},
    {0xDA, "EA_SPACE_LIMIT"},
    {0xDB, "EA_KEY_CORRUPT"},
    {0xDC, "EA_KEY_LIMIT"},
    {0xF0, "ERR_INVALID_SM_ID"},
    {0xF1, "ERR_SM_ALREADY_REGISTERED"},
    {0xF2, "ERR_SM_CREATE_FAILED"},
    {0xF3, "ERR_SM_CLOSE_FAILED"},
    {0xF4, "ERR_SM_WRITE_NO_SPACE"},
    {0xF5, "ERR_SM_WRITE_IO_ERROR"},
    {0xF6, "ERR_SM_READ_IO_ERROR"},
    {0xF7, "ERR_SM_OPEN_FAILED"},
    {0xF8, "ERR_SM_DELETE_FAILED"},
    {0x30F, "FWPSE_CMD_NOT_SUPPORTED"},
    {0x402, "FWPSE_UNAUTHORIZED_PRINTER"},
    {0x8812, "SCAN_COMPLETE"},
    {0x8813, "UNSUPPORTED_NAME_FORMAT_TYPE"},
    {0x8814, "HANDLE_ALREADY_LICENSED"},
    {0x8815, "HANDLE_ALREADY_UNLICENSED"},
    {0x8816, "INVALID_TWP_PACKET_LENGTH"},
    {0x8817, "SETTING_UP_TIMEOUT"},
    {0x8818, "SETTING_SIGNALS"},
    {0x8819, "SERVER_CONNECTION_LOST"},
    {0x881A, "OUT_OF_HEAP_SPACE"},
    {0x881B, "INVALID_SERVICE_REQUEST"},
    {0x881C, "INVALID_TASK_NUMBER"},
    {0x881D, "INVALID_MESSAGE_LENGTH"},
    {0x881E, "EA_SCAN_DONE"},
    {0x881F, "BAD_CONNECTION_NUMBER"},
    {0x8834, "NO_USER_NAME"},
    {0x8861, "SIGNATURE_LEVEL_CONFLICT"},
    {0x8864, "INVALID_MATCH_DATA"},
    {0x8865, "MATCH_FAILED"},
    {0x8866, "NO_MORE_ENTRIES"},
    {0x8867, "INSUFFICIENT_RESOURCES"},
    {0x8868, "STRING_TRANSLATION"},
    {0x8869, "ACCESS_VIOLATION"},
    {0x886A, "NOT_AUTHENTICATED"},
    {0x886B, "INVALID_LEVEL"},
    {0x886C, "RESOURCE_LOCK_ERROR"},
    {0x886D, "INVALID_NAME_FORMAT"},
    {0x886E, "OBJECT_EXISTS"},
    {0x886F, "OBJECT_NOT_FOUND"},
    {0x8870, "UNSUPPORTED_TRAN_TYPE"},
    {0x8871, "INVALID_STRING_TYPE"},
    {0x8872, "INVALID_OWNER"},
    {0x8873, "UNSUPPORTED_AUTHENTICATOR"},
    {0x8874, "IO_PENDING"},
    {0x8875, "INVALID_DRIVE_NUM"},
    {0x8901, "ERR_INSUFFICIENT_SPACE"},
    {0x8977, "ERR_BUFFER_TOO_SMALL"},
    {0x8979, "ERR_NO_ITEMS_FOUND"},
    {0x897A, "ERR_CONN_ALREADY_TEMP"},
    {0x897B, "ERR_CONN_ALREADY_LOGGED_IN"},
    {0x897C, "ERR_CONN_NOT_AUTHENTICATED"},
    {0x897D, "ERR_CONN_NOT_LOGGED_IN"},
    {0x897E, "TWP_BOUNDARY_CHECK_FAILED"},
    {0x897F, "ERR_LOCK_WAITING"},
    {0x8999, "DIRECTORY_FULL"},
    {0x89A0, "DIRECTORY_NOT_EMPTY"},
    {0x89A3, "ERR_TRANSACTION_RESTARTED"},
    {0x89A4, "ERR_RENAME_DIR_INVALID"},
    {0x89A5, "ERR_INVALID_OPENCREATE_MODE"},
    {0x89A6, "ERR_ALREADY_IN_USE"},
    {0x89A7, "ERR_INVALID_RESOURCE_TAG"},
    {0x89A8, "ERR_ACCESS_DENIED"},
    {0x89BE, "INVALID_DATA_STREAM"},
    {0x89BF, "INVALID_NAME_SPACE"},
    {0x89C0, "NO_ACCOUNTING_PRIVILEGES"},
    {0x89C3, "ERR_TOO_MANY_HOLDS"},
    {0x89C4, "ACCOUNTING_DISABLED"},
    {0x89D0, "ERR_Q_IO_FAILURE"},
    {0x89D1, "ERR_NO_QUEUE"},
    {0x89D2, "ERR_NO_Q_SERVER"},
    {0x89D3, "ERR_NO_Q_RIGHTS"},
    {0x89D4, "ERR_Q_FULL"},
    {0x89D5, "ERR_NO_Q_JOB"},
    {0x89D6, "ERR_NO_Q_JOB_RIGHTS"},
    {0x89DD, "TALLY_CORRUPT"},
    {0x89E7, "E_NO_MORE_USERS"},
    {0x89EA, "NO_SUCH_MEMBER"},
    {0x89ED, "PROPERTY_ALREADY_EXISTS"},
    {0x89EE, "OBJECT_ALREADY_EXISTS"},
    {0xFFF08, "DSERR_NO_PROPERTY_WRITE_RIGHTS"},
    {0xFFF12, "DSERR_OBJECT_ALREADY_EXISTS"},
    {0xFFF13, "DSERR_PROPERTY_ALREADY_EXISTS"},
    {0xFFF20, "DSERR_NO_LOGIN_CONN_AVAILABLE"},
    {0xFFF2A, "DSERR_NO_Q_JOB_RIGHTS"},
    {0xFFF2B, "DSERR_NO_Q_JOB"},
    {0xFFF2C, "DSERR_Q_FULL"},
    {0xFFF2D, "DSERR_NO_Q_RIGHTS"},
    {0xFFF2E, "DSERR_NO_Q_SERVER"},
    {0xFFF2F, "DSERR_NO_QUEUE"},
    {0xFFF30, "DSERR_Q_IO_FAILURE"},
    {0xFFF3C, "DSERR_ACCOUNTING_DISABLED"},
    {0xFFF3D, "DSERR_TOO_MANY_HOLDS"},
    {0xFFF40, "DSERR_NO_ACCOUNTING_PRIVILEGES"},
    {0xFFF41, "DSERR_INVALID_NAME_SPACE"},
    {0xFFF42, "DSERR_INVALID_DATA_STREAM"},
    {0xFFF58, "DSERR_ACCESS_DENIED"},
    {0xFFF59, "DSERR_INVALID_RESOURCE_TAG"},
    {0xFFF5A, "DSERR_ALREADY_IN_USE"},
    {0xFFF5B, "DSERR_INVALID_OPENCREATE_MODE"},
    {0xFFF5C, "DSERR_RENAME_DIR_INVALID"},
    {0xFFF5D, "DSERR_TRANSACTION_RESTARTED"},
    {0xFFF88, "DSERR_VOLUME_FLAG_NOT_SET"},
    {0xFFFFF, "DSERR_INSUFFICIENT_SPACE"},
};

TEST(ErrorCatalogue, EverySymbolicNameAsListed) {
    for (const auto& s : kSymbolic)
        EXPECT_STREQ(DirectoryErrorText(s.code), s.name) << s.code;
}

} // namespace
