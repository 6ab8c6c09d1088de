// The directory work of the setup tool without its screens: the schema passes, the
// product's containers, the server objects with their defaults, and their removal.
// Every call takes a context that is already logged in as the tree's administrator
// (byte-string form) and reports item by item through a progress callback.
#pragma once

#include "pdksa.h"
#include "quilltables.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Removes one attribute definition with a raw request (verb 13). 0 or a result code;
// -150 when the request buffer cannot be allocated.
extern "C" int DDCRemoveAttributeDefinition(DDCContextHandle ctx, const char* name);

namespace quill {

enum class Step {
    Clear,   // start a fresh progress area
    Heading, // a heading line (column 1)
    Item,    // an item's name on a new line (column 3)
    Result,  // result text appended to the current item
};
using Progress = std::function<void(Step, std::string_view)>;

// Where the tool works, from the tree name and this server's full name.
struct Site {
    std::string localTree;      // "\TREE"
    std::string serverDN;       // "\TREE\org\sales\MAIL1"
    std::string installHost;    // the server object to configure (serverDN)
    std::string installContext; // the server's container below the tree: "org\sales"
    std::string msgServerName;  // "MAIL1 Messaging Server"

    // Empty strings when serverDN does not start with "\<tree>\".
    static Site Make(std::string_view treeName, std::string_view serverDN);
    // From the configuration file (ARBOR_CONF or /etc/arbor.conf). False when unreadable.
    static bool FromConfig(Site& out);

    std::string Services() const { return localTree + "\\Internet Services"; }
};

// The administrator's name as typed, dotted ("Admin.Org" or "Admin.Org.TREE"), turned
// into a full name below the tree ("\TREE\Org\Admin"). A name that already starts with
// a backslash is taken as it is.
std::string FullAdminName(std::string_view localTree, std::string_view typed);

// Resolve (write), login and connection check; 0 or the first failing result code.
int Login(DDCContextHandle ctx, const std::string& fullName, const std::string& password);

// The four schema passes, "Internet Services" with its password and rights, and the
// sub-containers and templates.
void DefineSchema(DDCContextHandle ctx, const Site& site, const Progress& progress);

// Renames an old "Velmora Services" container to "Internet Services".
void MoveOldContainer(DDCContextHandle ctx, const Site& site, const Progress& progress);

enum class Removal {
    Done,             // definitions and the product's objects removed
    ForeignContainer, // "Internet Services" exists but is not the product's container
    Declined,         // the subtree question was answered with no
};
// Removes the product's objects and schema. confirmSubtree is asked before a
// "Internet Services" with subordinates is deleted with its whole subtree.
Removal RemoveSchema(DDCContextHandle ctx, const Site& site, const Progress& progress,
                     const std::function<bool()>& confirmSubtree, int* lastCode = nullptr);

// True when the server object exists and names a messaging server.
bool ServerConfigured(DDCContextHandle ctx, const Site& site);

// Alias types of the configuration dialog.
enum : uint32_t {
    kAliasNone = 0,
    kAliasManual = 1,
    kAliasFirstLast = 8,
    kAliasFLastnam = 16,
    kAliasFirstDotLast = 32,
    kAliasDotFullname = 64,
    kAliasBarFullname = 128,
};

struct ServerConfig {
    std::string msgServerName; // name of the messaging server object
    std::string officialName;  // official domain
    std::string dns1, dns2;    // resolver addresses; empty: none
    bool smtp = true, pop = true, imap = true, lattice = true, forward = true, dayward = true,
         ldap = true, antiSpam = true, proxy = true;
    uint32_t aliasing = kAliasNone;
};

// The zone written to "Quill:RBL Host" of a new SMTP agent.
inline constexpr const char* kBlocklistZone = "bl.spamcop.net";
// "Velmora:Alias Options" of a new alias agent for the given alias type.
std::string AliasOptions(uint32_t aliasing);

// Creates the messaging server object, its agents with their defaults, and the links.
// adminName is the administrator's full name (the postmaster).
void CreateServer(DDCContextHandle ctx, const Site& site, const std::string& adminName,
                  const ServerConfig& config, const Progress& progress);

// Replaces this server's old web-mail agent by a web-client agent.
void UpdateServer(DDCContextHandle ctx, const Site& site, const Progress& progress);

// Rows of programMesgTable by name.
enum Msg : int {
    kMsgTitle = 0,
    kMsgProduct = 1,
    kMsgParameters = 2,
    kMsgLongNameAdding = 3,
    kMsgMenuAddSchema = 4,
    kMsgMenuRemoveSchema = 5,
    kMsgMenuConfigure = 6,
    kMsgMenuExit = 7,
    kMsgMainMenu = 8,
    kMsgLongNameAdded = 9,
    kMsgLoginPrompt = 10,
    kMsgLongNameNotAdded = 11,
    kMsgHelpKey = 12,
    kMsgLoginRetry = 13,
    kMsgNoHelp = 14,
    kMsgFieldRequired = 15,
    kMsgEnterDomain = 16,
    kMsgEnterServer = 17,
    kMsgContinue = 18,
    kMsgAliasManual = 19,
    kMsgAliasFirstLast = 20,
    kMsgAliasFLastnam = 21,
    kMsgAliasFirstDotLast = 22,
    kMsgAliasDotFullname = 23,
    kMsgAliasBarFullname = 24,
    kMsgAliasNone = 25,
    kMsgYes = 26,
    kMsgNo = 27,
    kMsgAlreadyConfigured = 28,
    kMsgRemoveWarning = 29,
    kMsgRemoveServers = 30,
    kMsgAreYouSure = 31,
    kMsgVolumeNotFound = 32,
    kMsgRemovingSchema = 33,
    kMsgConfiguringServer = 34,
    kMsgNameSpacePresent = 35,
    kMsgSelectVolume = 36,
    kMsgInvalidEntry = 37,
    kMsgInvalidDns = 38,
    kMsgPressAnyKey = 39,
    kMsgConfigCancelled = 40,
    kMsgConfigComplete = 41,
    kMsgDefiningAttributes = 42,
    kMsgCreated = 43,
    kMsgNotCreated = 44,
    kMsgDefiningClasses = 45,
    kMsgDefined = 46,
    kMsgAlreadyDefined = 47,
    kMsgDefinitionFailed = 48,
    kMsgAddingOptional = 49,
    kMsgAdded = 50,
    kMsgAlreadyAdded = 51,
    kMsgNotAdded = 52,
    kMsgSchemaExtended = 53,
    kMsgAddingSystemAttributes = 54,
    kMsgGrantingRights = 55,
    kMsgRemovingObsoleteClasses = 56,
    kMsgRemovingObsoleteAttributes = 57,
    kMsgRemovingClasses = 58,
    kMsgRemovingAttributes = 59,
    kMsgSchemaRemoved = 60,
    kMsgCreatingServer = 61,
    kMsgCreatingLinks = 62,
    kMsgRevoLinked = 63,
    kMsgRevoNotLinked = 64,
    kMsgTwpLinked = 65,
    kMsgTwpNotLinked = 66,
    kMsgPrimaryDns = 67,
    kMsgSecondaryDns = 68,
    kMsgDomain = 69,
    kMsgServerName = 70,
    kMsgEnableFeatures = 71,
    kMsgSmtp = 72,
    kMsgPop = 73,
    kMsgImap = 74,
    kMsgLattice = 75,
    kMsgForward = 76,
    kMsgAliasing = 77,
    kMsgFinger = 78,
    kMsgLdap = 79,
    kMsgAntiSpam = 80,
    kMsgProxy = 81,
    kMsgUpgrading = 82,
    kMsgAdminName = 83,
    kMsgPassword = 84,
    kMsgNotAuthenticated = 85,
    kMsgAuthenticated = 86,
    kMsgExitWithoutSaving = 87,
    kMsgServicesExist = 88,
    kMsgServicesExistText = 89,
};

// The screen text of a row of programMesgTable.
inline const char* Text(int row) {
    return row >= 0 && row < QUILL_MESSAGE_COUNT ? programMesgTable[row] : "";
}

} // namespace quill
