// The product's schema as compiled-in tables. Class rows are referred to by their
// 1-based row number in QuillClass; the helpers below turn row numbers into the class
// bits of the two bit spaces, so every bit in the attribute rows follows from the one
// bit assignment in kClassBit.
#include "quilltables.h"

#include <initializer_list>

namespace {

struct ClassBit {
    int space; // 0: first space (A), 1: second space (B)
    int bit;
};

// Indexed by class row number (row 0 unused).
constexpr ClassBit kClassBit[QUILL_CLASS_COUNT + 1] = {
    {-1, 0}, //
    {0, 0},  {0, 1},  {0, 2},  {0, 4},  {0, 17},
    {0, 10}, {0, 11}, {0, 12}, {0, 7},  {0, 5}, // 1-10
    {0, 6},  {0, 3},  {0, 9},  {0, 8},  {0, 18},
    {0, 19}, {0, 20}, {0, 22}, {0, 23}, {0, 24}, // 11-20
    {0, 26}, {0, 25}, {0, 27}, {0, 28}, {0, 29},
    {0, 30}, {1, 0},  {1, 1},  {1, 2},  {1, 3}, // 21-30
    {1, 4},  {1, 5},  {1, 6},  {1, 7},  {0, 13},
    {0, 14}, {0, 21}, {0, 15}, {0, 15}, {0, 16}, // 31-40
};

constexpr uint32_t Bits(int space, std::initializer_list<int> rows) {
    uint32_t v = 0;
    for (int r : rows)
        if (kClassBit[r].space == space) v |= 1u << kClassBit[r].bit;
    return v;
}
constexpr uint32_t A(std::initializer_list<int> rows) {
    return Bits(0, rows);
}
constexpr uint32_t B(std::initializer_list<int> rows) {
    return Bits(1, rows);
}

constexpr bool kName = true;
constexpr bool kText = false;

constexpr QuillAttrRow At(const char* name, bool dn, unsigned flags, uint32_t lo, uint32_t hi,
                          std::initializer_list<int> mandatory,
                          std::initializer_list<int> optional) {
    return QuillAttrRow{name,
                        dn ? 1u : 0u,
                        (flags & 0x01) ? 1u : 0u,
                        (flags & 0x40) ? 1u : 0u,
                        lo,
                        hi,
                        A(mandatory),
                        A(optional),
                        B(optional)};
}

constexpr QuillAttrRow Named(const char* name) {
    return QuillAttrRow{name, 0, 0, 0, 0, 0, 0, 0, 0};
}

} // namespace

extern "C" {

const QuillAttrRow QuillAttr[QUILL_ATTR_COUNT + 1] = {
    At("Velmora:Action", kText, 0x43, 1, 255, {}, {6}),
    At("Velmora:Agent Status", kText, 0x41, 0, 0, {}, {3, 24}),
    At("Velmora:Alias", kText, 0x40, 0, 0, {}, {1, 5}),
    At("Velmora:Authentication Required", kText, 0x43, 1, 1, {}, {13, 24}),
    At("Velmora:Configuration", kText, 0x40, 0, 0, {}, {2, 3, 24}),
    At("Velmora:Client", kName, 0x40, 0, 0, {}, {10, 24}),
    At("Velmora:Context", kName, 0x40, 0, 0, {2}, {24}),
    At("Velmora:Domain", kText, 0x42, 1, 255, {13}, {24, 34, 38, 39}),
    At("Velmora:EMail Address", kText, 0x42, 1, 255, {}, {6, 35}),
    At("Velmora:Disabled", kText, 0x43, 1, 1, {}, {2, 3, 24}),
    At("Velmora:Finger Message", kText, 0x41, 0, 0, {}, {8, 35, 36}),
    At("Velmora:Host", kName, 0x40, 0, 0, {2}, {24}),
    At("Velmora:IP Address", kText, 0x42, 7, 15, {}, {2}),
    At("Velmora:LDAP Server", kText, 0x42, 1, 255, {}, {2, 24}),
    At("Velmora:LDAP REVO Server", kName, 0x40, 0, 0, {}, {2}),
    At("Velmora:LDAP Search DN", kText, 0x43, 1, 255, {}, {2, 24}),
    At("Velmora:Message Limit", kText, 0x41, 0, 0, {}, {13, 14, 24, 28}),
    At("Velmora:Messaging Server", kName, 0x40, 0, 0, {}, {40}),
    At("Velmora:Module Name", kText, 0x41, 0, 0, {3}, {}),
    At("Velmora:Module Version", kText, 0x43, 1, 3, {3}, {}),
    At("Velmora:REVO Server", kName, 0x40, 0, 0, {}, {3}),
    At("Velmora:REVO Queue Server", kName, 0x40, 0, 0, {}, {3, 20, 21}),
    At("Velmora:Official Name", kText, 0x43, 1, 255, {2}, {24}),
    At("Velmora:Quota Message", kText, 0x41, 0, 0, {}, {10, 24}),
    At("Velmora:Postmaster", kName, 0x41, 0, 0, {2}, {24}),
    At("Velmora:Reply Message", kText, 0x40, 0, 0, {}, {7, 24, 35}),
    At("Velmora:URL", kText, 0x40, 0, 0, {}, {2, 24}),
    At("Velmora:Resolver", kText, 0x42, 7, 15, {}, {2}),
    At("Velmora:Routing", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:Server Status", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:Queue Interval", kText, 0x43, 1, 32, {}, {10}),
    At("Velmora:Queue Timeout", kText, 0x43, 1, 32, {}, {10}),
    At("Quill:ConfigVersion", kText, 0x41, 0, 0, {}, {1, 2, 3, 24}),
    At("Velmora:SSL Options", kText, 0x43, 1, 255, {}, {2, 24}),
    At("Velmora:UID", kText, 0x43, 1, 32, {}, {10, 34}),
    At("Velmora:Word", kText, 0x42, 1, 46, {}, {6, 24}),
    At("Velmora:Message Store", kText, 0x43, 1, 255, {10}, {24, 38, 39}),
    At("Velmora:Forwarding Address", kText, 0x42, 1, 255, {}, {24, 35}),
    At("Velmora:Forwarding Enabled", kText, 0x43, 1, 1, {}, {24, 35}),
    At("Quill:WapMessageSize", kText, 0x43, 1, 1, {}, {35}),
    At("Velmora:Vacation Message Enabled", kText, 0x43, 1, 1, {}, {24, 35}),
    At("Velmora:Reply Message", kText, 0x40, 0, 0, {}, {7, 35}),
    At("Velmora:Port", kText, 0x42, 1, 6, {}, {3}),
    At("Velmora:SSL Port", kText, 0x42, 1, 6, {}, {3}),
    At("Velmora:SNMP Description", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:SNMP Version", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:SNMP Organization", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:SNMP Location", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:SNMP Contact", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:SNMP Name", kText, 0x41, 0, 0, {}, {2}),
    At("Velmora:Messaging Disabled", kText, 0x43, 1, 1, {}, {24, 35, 36, 37, 38, 39}),
    At("Velmora:REVO Trusted Hosts", kText, 0x42, 7, 15, {}, {10}),
    At("Velmora:Use Quota", kText, 0x41, 0, 0, {}, {10, 24, 35}),
    At("Velmora:Quota Value", kText, 0x41, 0, 0, {}, {10, 24, 35}),
    At("Velmora:SCMS User Threshold", kText, 0x41, 0, 0, {}, {10}),
    At("Velmora:SCMS Size Threshold", kText, 0x41, 0, 0, {}, {10}),
    At("Velmora:SMTP Verify Address", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:SMTP Allow AUTH", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:SMTP Allow VRFY", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:SMTP Allow EXPN", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:Work Directory", kText, 0x43, 1, 255, {}, {2}),
    At("Velmora:Loglevel", kText, 0x43, 1, 2, {}, {2}),
    At("Velmora:Minimum Free Space", kText, 0x43, 1, 12, {}, {10}),
    At("Velmora:SMTP Send ETRN", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:SMTP Accept ETRN", kText, 0x43, 1, 1, {}, {13}),
    At("Velmora:Limit Remote Processing", kText, 0x43, 1, 1, {}, {10}),
    At("Velmora:Limit Remote Beg Weekday", kText, 0x43, 1, 2, {}, {10}),
    At("Velmora:Limit Remote End Weekday", kText, 0x43, 1, 2, {}, {10}),
    At("Velmora:Limit Remote Beg Weekend", kText, 0x43, 1, 2, {}, {10}),
    At("Velmora:Limit Remote End Weekend", kText, 0x43, 1, 2, {}, {10}),
    At("Velmora:Product Version", kText, 0x43, 1, 40, {}, {2, 3}),
    At("Velmora:Proxy List", kText, 0x00, 0, 0, {}, {35}),
    At("Velmora:Maximum Items", kText, 0x43, 1, 5, {}, {12}),
    At("Velmora:Time Interval", kText, 0x43, 1, 10, {}, {4, 5, 12}),
    At("Velmora:RelayHost", kText, 0x43, 1, 255, {}, {13}),
    At("Velmora:Alias Options", kText, 0x41, 0, 0, {}, {5, 24}),
    At("Velmora:LDAP Options", kText, 0x41, 0, 0, {}, {4}),
    At("Velmora:Custom Alias", kText, 0x41, 0, 0, {}, {5}),
    At("Velmora:Advertising Config", kText, 0x40, 0, 0, {}, {14, 24}),
    At("Velmora:Language", kText, 0x40, 0, 0, {}, {14, 24, 27, 35}),
    At("Velmora:Color", kText, 0x40, 0, 0, {}, {14, 24, 27, 35}),
    At("Velmora:Font", kText, 0x40, 0, 0, {}, {14, 24, 27, 35}),
    At("Velmora:Preferences", kText, 0x40, 0, 0, {}, {14, 24, 27, 35}),
    At("Velmora:Quota Warning", kText, 0x41, 0, 0, {}, {10, 24}),
    At("Velmora:Syslog Config", kText, 0x40, 0, 0, {}, {1, 40}),
    At("Velmora:RTS Handling", kText, 0x40, 0, 0, {}, {10, 24}),
    At("Velmora:Queue Tuning", kText, 0x40, 0, 0, {}, {10}),
    At("Velmora:Timeout", kText, 0x41, 0, 0, {}, {3, 24, 35}),
    At("Velmora:Privacy", kText, 0x40, 0, 0, {}, {3, 24, 35}),
    At("Velmora:Thread Limit", kText, 0x40, 0, 0, {}, {3}),
    At("Velmora:DBF Page Size", kText, 0x40, 0, 0, {}, {3}),
    At("Velmora:DBF Key Size", kText, 0x40, 0, 0, {}, {3}),
    At("Velmora:Addressbook Config", kText, 0x40, 0, 0, {}, {14, 24, 28, 35}),
    At("Velmora:Addressbook URL System", kText, 0x40, 0, 0, {}, {14, 24, 28}),
    At("Velmora:Addressbook URL Public", kText, 0x40, 0, 0, {}, {14, 24, 28, 35}),
    At("Velmora:Addressbook", kText, 0x40, 0, 0, {}, {24, 35}),
    At("Velmora:Server Standalone", kText, 0x40, 0, 0, {}, {2}),
    At("Velmora:Forward Undeliverable", kText, 0x40, 0, 0, {}, {10}),
    At("Velmora:Phrase", kText, 0x40, 0, 0, {}, {24, 35}),
    At("Velmora:Accounting Enabled", kText, 0x40, 0, 0, {}, {1, 2, 24}),
    At("Velmora:Accounting Data", kText, 0x40, 0, 0, {}, {2, 24, 35}),
    At("Velmora:Billing Data", kText, 0x40, 0, 0, {}, {2, 24, 35}),
    At("Quill:Blocked Address", kText, 0x40, 0, 0, {}, {13}),
    At("Quill:Allowed Address", kText, 0x40, 0, 0, {}, {13, 24}),
    At("Quill:UBE Configuration", kText, 0x40, 0, 0, {}, {13}),
    At("Quill:Recipient Limit", kText, 0x40, 0, 0, {}, {13, 14, 24, 28}),
    At("Quill:RBL Host", kText, 0x40, 0, 0, {}, {13}),
    At("Quill:Signature", kText, 0x40, 0, 0, {}, {14, 24, 35}),
    At("Quill:ConnMgr", kName, 0x40, 0, 0, {}, {2, 3}),
    At("Quill:ConnMgr Config", kText, 0x40, 0, 0, {}, {2, 3}),
    At("Quill:User Domain", kText, 0x42, 1, 255, {}, {13, 24}),
    At("Quill:RTS Antispam Config", kText, 0x40, 0, 0, {}, {10, 13}),
    At("Quill:Default Charset", kText, 0x40, 0, 0, {}, {1, 14, 24, 35, 38, 39}),
    At("Quill:Rule", kText, 0x40, 0, 0, {}, {17, 24, 35, 36, 38, 39}),
    At("Quill:ListDigestTime", kText, 0x40, 0, 0, {}, {18}),
    At("Quill:ListAbstract", kText, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListDescription", kText, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListConfiguration", kText, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListStore", kText, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListModerator", kName, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListOwner", kName, 0x40, 0, 0, {}, {18, 20, 21}),
    At("Quill:ListSignature", kText, 0x40, 0, 0, {}, {20, 21, 24}),
    At("Quill:ListSignatureHTML", kText, 0x40, 0, 0, {}, {20, 21, 24}),
    At("Quill:ListDigestVersion", kText, 0x40, 0, 0, {}, {20, 21}),
    At("Quill:ListMembers", kName, 0x40, 0, 0, {}, {21}),
    At("Quill:ListUserOptions", kText, 0x40, 0, 0, {}, {22}),
    At("Quill:ListUserAdminOptions", kText, 0x40, 0, 0, {}, {22}),
    At("Quill:ListUserPassword", kText, 0x40, 0, 0, {}, {22}),
    At("Quill:RelayDomain", kText, 0x40, 0, 0, {}, {13, 24}),
    At("Quill:SpoolDirectory", kText, 0x40, 0, 0, {}, {10}),
    At("Quill:SCMSDirectory", kText, 0x40, 0, 0, {}, {10}),
    At("Quill:DBFDirectory", kText, 0x40, 0, 0, {}, {2}),
    At("Quill:NLSDirectory", kText, 0x40, 0, 0, {}, {2}),
    At("Quill:BinDirectory", kText, 0x40, 0, 0, {}, {2}),
    At("Quill:ACL", kText, 0x40, 0, 0, {}, {1, 2, 3, 19, 20, 21, 24}),
    At("Quill:FeatureSet", kText, 0x40, 0, 0, {}, {1, 2, 3, 24, 35, 36, 38, 39}),
    At("Quill:WebmailPluginOrder", kText, 0x40, 0, 0, {}, {1, 14, 24}),
    At("Quill:PKeyFile", kText, 0x40, 0, 0, {}, {1, 2, 40}),
    At("Quill:CAFile", kText, 0x40, 0, 0, {}, {1, 2, 40}),
    At("Quill:ParentObject", kName, 0x40, 0, 0, {}, {2, 3, 24, 35, 36, 37, 38, 39}),
    At("Quill:FeatureInheritance", kText, 0x40, 0, 0, {}, {3, 24}),
    At("Quill:ListServerName", kText, 0x40, 0, 0, {}, {18}),
    At("Quill:ListWelcomeMessage", kText, 0x40, 0, 0, {}, {20}),
    At("Quill:Template", kName, 0x40, 0, 0, {}, {3, 24, 35}),
    At("Quill:DefaultTemplate", kName, 0x40, 0, 0, {}, {3, 24}),
    At("Quill:Timezone", kText, 0x40, 0, 0, {}, {3, 24, 35}),
    At("Quill:Locale", kText, 0x40, 0, 0, {}, {3, 24, 35}),
    At("Quill:PasswordConfig", kText, 0x40, 0, 0, {}, {24, 30, 35}),
    At("Quill:Title", kText, 0x40, 0, 0, {}, {24, 27, 35}),
    At("Quill:TOMManager", kName, 0x40, 0, 0, {}, {24, 35}),
    At("Quill:TOMContexts", kName, 0x40, 0, 0, {}, {24, 35}),
    At("Quill:TOMDomains", kText, 0x40, 0, 0, {}, {24, 35}),
    At("Quill:TOMOptions", kText, 0x40, 0, 0, {}, {24, 35}),
    At("Quill:Description", kText, 0x40, 0, 0, {}, {24}),
    At("Quill:StatServer1", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:StatServer2", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:StatServer3", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:StatServer4", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:StatServer5", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:StatServer6", kName, 0x40, 0, 0, {}, {34}),
    At("Quill:News", kText, 0x40, 0, 0, {}, {34}),
    At("Quill:Manager", kName, 0x40, 0, 0, {}, {2}),
    Named(nullptr),
};

// Class rows in table order; the comment gives the row number used by the attribute rows.
// clang-format off
const QuillClassRow QuillClass[QUILL_CLASS_COUNT + 1] = {
    /*  1 */ {"Velmora:Services", "Top", {"Top", "Organization", "Organizational Unit"}, "O", {"O"}, {}, 1, A({1}), B({1})},
    /*  2 */ {"Velmora:Messaging Server", "Top", {"Velmora:Services", "Organization", "Organizational Unit"}, "OU", {"OU", "Velmora:Postmaster", "Velmora:Host", "Velmora:Context", "Velmora:Official Name"}, {}, 1, A({2}), B({2})},
    /*  3 */ {"Velmora:Mail Agent", "Top", {"Velmora:Messaging Server"}, "CN", {"CN", "Velmora:Module Name", "Velmora:Module Version"}, {}, 0, A({3}), B({3})},
    /*  4 */ {"Velmora:Addressbook Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({4}), B({4})},
    /*  5 */ {"Velmora:Alias Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({5}), B({5})},
    /*  6 */ {"Velmora:AntiSpam Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({6}), B({6})},
    /*  7 */ {"Velmora:AutoReply Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({7}), B({7})},
    /*  8 */ {"Velmora:Finger Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({8}), B({8})},
    /*  9 */ {"Velmora:IMAP Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({9}), B({9})},
    /* 10 */ {"Velmora:REVO Agent", "Velmora:Mail Agent", {}, nullptr, {"Velmora:Message Store"}, {}, 0, A({10}), B({10})},
    /* 11 */ {"Velmora:POP Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({11}), B({11})},
    /* 12 */ {"Velmora:Proxy Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({12}), B({12})},
    /* 13 */ {"Velmora:SMTP Agent", "Velmora:Mail Agent", {}, nullptr, {"Velmora:Domain"}, {}, 0, A({13}), B({13})},
    /* 14 */ {"Velmora:WebMail Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({14}), B({14})},
    /* 15 */ {"Velmora:Signup Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({15}), B({15})},
    /* 16 */ {"Quill:ConnMgr Agent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({16}), B({16})},
    /* 17 */ {"Quill:RuleAgent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({17}), B({17})},
    /* 18 */ {"Quill:ListAgent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({18}), B({18})},
    /* 19 */ {"Quill:ListContainer", "Top", {"Velmora:Services"}, "OU", {"OU"}, {}, 1, A({19}), B({19})},
    /* 20 */ {"Quill:List", "Top", {"Quill:ListContainer", "Organization", "Organizational Unit"}, "OU", {"OU"}, {}, 1, A({20}), B({20})},
    /* 21 */ {"Quill:ArborList", "Top", {"Quill:ListContainer", "Organization", "Organizational Unit"}, "OU", {"OU"}, {}, 0, A({21}), B({21})},
    /* 22 */ {"Quill:ListUser", "User", {"Quill:List"}, "CN", {}, {}, 0, A({22}), B({22})},
    /* 23 */ {"Quill:ParentContainer", "Top", {"Velmora:Services"}, "OU", {"OU"}, {}, 1, A({23}), B({23})},
    /* 24 */ {"Quill:ParentObject", "Top", {"Quill:ParentContainer", "Organization", "Organizational Unit"}, "CN", {"CN"}, {}, 0, A({24}), B({24})},
    /* 25 */ {"Quill:TemplateContainer", "Top", {"Velmora:Services"}, "OU", {"OU"}, {}, 1, A({25}), B({25})},
    /* 26 */ {"Quill:LatticeTemplate", "Top", {"Quill:TemplateContainer", "Organization", "Organizational Unit"}, "CN", {"CN"}, {}, 0, A({26}), B({26})},
    /* 27 */ {"Quill:LatticeAgent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 1, A({27}), B({27})},
    /* 28 */ {"Quill:LWMailModule", "Velmora:Mail Agent", {"Quill:LatticeAgent"}, "CN", {}, {}, 0, A({28}), B({28})},
    /* 29 */ {"Quill:LWCalModule", "Velmora:Mail Agent", {"Quill:LatticeAgent"}, "CN", {}, {}, 0, A({29}), B({29})},
    /* 30 */ {"Quill:LWPrefModule", "Velmora:Mail Agent", {"Quill:LatticeAgent"}, "CN", {}, {}, 0, A({30}), B({30})},
    /* 31 */ {"Quill:LWTomModule", "Velmora:Mail Agent", {"Quill:LatticeAgent"}, "CN", {}, {}, 0, A({31}), B({31})},
    /* 32 */ {"QuillCalendarAgent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({32}), B({32})},
    /* 33 */ {"QuillAntiVirusAgent", "Velmora:Mail Agent", {}, nullptr, {}, {}, 0, A({33}), B({33})},
    /* 34 */ {"QuillSignupModule", "Velmora:Mail Agent", {"Quill:LatticeAgent"}, "CN", {}, {}, 0, A({34}), B({34})},
    /* 35 */ {"User", nullptr, {}, nullptr, {}, {}, 0, A({35}), B({35})},
    /* 36 */ {"Group", nullptr, {}, nullptr, {}, {}, 0, A({36}), B({36})},
    /* 37 */ {"Organizational Role", nullptr, {}, nullptr, {}, {}, 0, A({37}), B({37})},
    /* 38 */ {"Organization", nullptr, {}, nullptr, {}, {}, 0, A({38}), B({38})},
    /* 39 */ {"Organizational Unit", nullptr, {}, nullptr, {}, {}, 0, A({39}), B({39})},
    /* 40 */ {"TWP Server", nullptr, {}, nullptr, {}, {}, 0, A({40}), B({40})},
    QuillClassRow{},
};
// clang-format on

const QuillAttrRow QuillSpecialAttr[QUILL_SPECIAL_ATTR_COUNT + 1] = {
    At("Private Key", kText, 0, 0, 0, {}, {1, 24}),
    At("Public Key", kText, 0, 0, 0, {}, {1, 24}),
    At("Login Intruder Address", kText, 0, 0, 0, {}, {1, 24}),
    At("Login Intruder Attempts", kText, 0, 0, 0, {}, {1, 24}),
    Named(nullptr),
};

const QuillAttrRow QuillObsoleteAttr[QUILL_OBSOLETE_ATTR_COUNT + 1] = {
    Named("Velmora:Address"),
    Named("Velmora:Path"),
    Named("Velmora:Echo Message"),
    Named("Velmora:Group"),
    Named("Velmora:LDAP Password"),
    Named("Velmora:LDAP Server"),
    Named("Velmora:LDAP User"),
    Named("Velmora:SSL Key"),
    Named("Velmora:Title"),
    Named("Velmora:Color Scheme"),
    Named("Velmora:Regional Format"),
    Named("Velmora:List Format"),
    Named("Velmora:SSL Certificate"),
    Named("Velmora:Reply Settings"),
    Named("Velmora:Rule"),
    Named("Velmora:Shutdown"),
    Named("Velmora:Startup"),
    Named("Velmora:Title"),
    Named("Velmora:X509 Certificate"),
    Named("Velmora:Repository Stream"),
    Named("Velmora:LDIF Cycle Time"),
    Named("Velmora:Config Changed"),
    Named(nullptr),
};

#define OBSOLETE(name)                                                                             \
    QuillClassRow {                                                                                \
        name, nullptr, {}, nullptr, {}, {}, 0, 0, 0                                                \
    }

const QuillClassRow QuillObsoleteClass[QUILL_OBSOLETE_CLASS_COUNT + 1] = {
    OBSOLETE("Velmora:Repository"),
    OBSOLETE("Velmora:Repository Type"),
    OBSOLETE("Velmora:Repository Item"),
    OBSOLETE("Velmora:AntiVirus Agent"),
    OBSOLETE("Velmora:Rule Agent"),
    OBSOLETE("Velmora:BulkMail Agent"),
    OBSOLETE("Velmora:Certificate"),
    OBSOLETE("Velmora:Certificate Database"),
    OBSOLETE("Velmora:Directory Agent"),
    OBSOLETE("Quill:AutoSignatureAgent"),
    QuillClassRow{},
};

} // extern "C"
