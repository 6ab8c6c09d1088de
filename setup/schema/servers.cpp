// This server's messaging server object, its agents with their default configuration,
// the links between them, and the update of an old web-mail agent.
#include "directory.h"
#include "quillschema.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

using namespace quill::detail;

namespace quill {

std::string AliasOptions(uint32_t aliasing) {
    // Generated alias forms also carry bit 4; "Manual" keeps its own value.
    unsigned long v = aliasing > kAliasManual ? (aliasing | 4u) : aliasing;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lu", v);
    return buf;
}

namespace {

constexpr const char* kQuotaText =
    "The user to whom this message was addressed has exceeded the allowed mailbox\nquota. Please "
    "resend the message at a later time.";

Entries Agent(const char* cls, const char* module) {
    Entries e;
    e.Class(cls);
    e.Add("Velmora:Module Name", DDC_SYN_TEXT, module);
    e.Add("Velmora:Module Version", DDC_SYN_TEXT, "1");
    return e;
}

// Where the text of an agent's default value comes from.
enum class From { Text, Store, Domain, AliasOptions };

struct AgentValue {
    const char* attr = nullptr; // null ends a row's values
    uint32_t syntax = DDC_SYN_TEXT;
    const char* text = nullptr; // for From::Text
    From from = From::Text;
};

constexpr AgentValue Plain(const char* attr, const char* text) {
    return {attr, DDC_SYN_TEXT, text, From::Text};
}
// Links to the server's own store agent.
constexpr AgentValue kRevoServer{"Velmora:REVO Server", DDC_SYN_DIST_NAME, nullptr, From::Store};
constexpr AgentValue kRevoQueueServer{"Velmora:REVO Queue Server", DDC_SYN_DIST_NAME, nullptr,
                                      From::Store};

// One agent below the messaging server: made when its switch is on, with these
// defaults in this order.
struct AgentRow {
    const char* name;
    const char* cls;
    const char* module;
    bool (*on)(const ServerConfig&);
    AgentValue values[10];
};

constexpr AgentRow kAgents[] = {
    {"REVO Agent",
     "Velmora:REVO Agent",
     "STORED.FLM",
     [](const ServerConfig&) { return true; },
     {Plain("Velmora:Queue Timeout", "5"), Plain("Velmora:Queue Interval", "30"),
      Plain("Velmora:Minimum Free Space", "2048"), Plain("Velmora:SCMS User Threshold", "2"),
      Plain("Velmora:SCMS Size Threshold", "2"), Plain("Velmora:Quota Message", kQuotaText),
      Plain("Velmora:Message Store", "/usr/quill/users"),
      Plain("Quill:SCMSDirectory", "/usr/quill/scms"),
      Plain("Quill:SpoolDirectory", "/usr/quill/spool")}},
    {"Address Book Agent",
     "Velmora:Addressbook Agent",
     "DIRBOOK.FLM",
     [](const ServerConfig& c) { return c.ldap; },
     {Plain("Velmora:LDAP Options", "1"), Plain("Velmora:Port", "389"),
      Plain("Velmora:Time Interval", "1"), kRevoServer}},
    {"Alias Agent",
     "Velmora:Alias Agent",
     "DIRALIAS.FLM",
     [](const ServerConfig& c) { return c.aliasing != kAliasNone; },
     {{"Velmora:Alias Options", DDC_SYN_TEXT, nullptr, From::AliasOptions},
      Plain("Velmora:Time Interval", "1"),
      kRevoServer}},
    {"AntiSpam Agent",
     "Velmora:AntiSpam Agent",
     "SPAMGATE.FLM",
     [](const ServerConfig& c) { return c.antiSpam; },
     {kRevoServer}},
    {"Calendar Agent",
     "QuillCalendarAgent",
     "DAYWARD.FLM",
     [](const ServerConfig& c) { return c.dayward; },
     {kRevoServer}},
    {"AutoReply Agent",
     "Velmora:AutoReply Agent",
     "REPLYD.FLM",
     [](const ServerConfig& c) { return c.forward; },
     {kRevoServer}},
    {"IMAP Agent",
     "Velmora:IMAP Agent",
     "IMAPSRV.FLM",
     [](const ServerConfig& c) { return c.imap; },
     {}},
    {"POP Agent",
     "Velmora:POP Agent",
     "POPSRV.FLM",
     [](const ServerConfig& c) { return c.pop; },
     {}},
    {"Proxy Agent",
     "Velmora:Proxy Agent",
     "FETCHD.FLM",
     [](const ServerConfig& c) { return c.proxy; },
     {Plain("Velmora:Time Interval", "3"), Plain("Velmora:Maximum Items", "3"), kRevoServer,
      kRevoQueueServer}},
    {"SMTP Agent",
     "Velmora:SMTP Agent",
     "SMTPSRV.FLM",
     [](const ServerConfig& c) { return c.smtp; },
     {{"Velmora:Domain", DDC_SYN_TEXT, nullptr, From::Domain},
      Plain("Velmora:Routing", "0"),
      Plain("Velmora:Message Limit", "0"),
      Plain("Velmora:SMTP Accept ETRN", "1"),
      Plain("Velmora:SMTP Send ETRN", "0"),
      Plain("Quill:RBL Host", kBlocklistZone),
      kRevoServer,
      kRevoQueueServer}},
};

void CreateAgents(DDCContextHandle ctx, const std::string& server, const ServerConfig& config,
                  const Progress& progress) {
    const std::string store = server + "\\REVO Agent";
    for (const AgentRow& row : kAgents) {
        if (!row.on(config)) continue;
        Entries e = Agent(row.cls, row.module);
        for (const AgentValue& v : row.values) {
            if (!v.attr) break;
            switch (v.from) {
            case From::Text:
                e.Add(v.attr, v.syntax, v.text);
                break;
            case From::Store:
                e.Add(v.attr, v.syntax, store);
                break;
            case From::Domain:
                e.Add(v.attr, v.syntax, config.officialName);
                break;
            case From::AliasOptions:
                e.Add(v.attr, v.syntax, AliasOptions(config.aliasing));
                break;
            }
        }
        CreateReported(ctx, server + "\\" + row.name, row.name, e, progress);
    }
}

void CreateLattice(DDCContextHandle ctx, const Site& site, const std::string& server,
                   const Progress& progress) {
    const std::string templates = site.Services() + "\\Templates";
    const std::string lattice = server + "\\Lattice Agent";
    Entries e = Agent("Quill:LatticeAgent", "LATTICED.FLM");
    e.Add("Velmora:Port", DDC_SYN_TEXT, "80");
    e.Add("Velmora:SSL Port", DDC_SYN_TEXT, "443");
    e.Add("Quill:Title", DDC_SYN_TEXT, "Quill Lattice Agent");
    e.Add("Quill:Template", DDC_SYN_DIST_NAME, templates + "\\Skyport");
    e.Add("Quill:Template", DDC_SYN_DIST_NAME, templates + "\\Webmail");
    e.Add("Quill:DefaultTemplate", DDC_SYN_DIST_NAME, templates + "\\Webmail");
    if (int rc = CreateReported(ctx, lattice, "Lattice Agent", e, progress);
        rc != 0 && rc != DDCERR_ENTRY_ALREADY_EXISTS) {
        ReportFailure(progress, "Creating the Lattice Agent", rc);
        return;
    }
    if (int rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_WRITE, lattice.c_str())) {
        ReportFailure(progress, "Finding " + lattice, rc);
        return;
    }
    const struct {
        const char* name;
        const char* cls;
        const char* module;
    } modules[] = {
        {"Quill Mail Module", "Quill:LWMailModule", "LWMAIL.FLM"},
        {"Quill Calendar Module", "Quill:LWCalModule", "LWCAL.FLM"},
        {"Quill Preferences Module", "Quill:LWPrefModule", "LWPREF.FLM"},
        {"Quill Task Managment Module", "Quill:LWTomModule", "LWTASK.FLM"},
    };
    for (const auto& m : modules)
        CreateReported(ctx, lattice + "\\" + m.name, m.name, Agent(m.cls, m.module), progress);
}

// Port numbers are kept as decimal text; anything else is left out.
bool PortText(const std::vector<std::string>& values, std::string& out) {
    if (values.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(values.front().c_str(), &end, 10);
    if (errno || end == values.front().c_str() || *end) return false;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lu", v);
    out = buf;
    return true;
}

// The store agent serves the agents that hand it mail; this server's object
// points at the messaging server.
void LinkAgents(DDCContextHandle ctx, const Site& site, const std::string& server,
                const ServerConfig& config, const Progress& progress) {
    Report(progress, Step::Heading, kMsgCreatingLinks);
    Entries clients;
    const struct {
        bool on;
        const char* name;
    } linked[] = {
        {config.smtp, "SMTP Agent"},         {config.antiSpam, "AntiSpam Agent"},
        {config.forward, "AutoReply Agent"}, {config.proxy, "Proxy Agent"},
        {config.ldap, "Address Book Agent"}, {config.aliasing != kAliasNone, "Alias Agent"},
    };
    for (const auto& l : linked)
        if (l.on) clients.Add("Velmora:Client", DDC_SYN_DIST_NAME, l.name);
    if (clients.Count() > 0) {
        // The client names are relative to the messaging server.
        int rc = DDCSetContextBaseDN(ctx, server.c_str(), DDCSlashDelims);
        if (rc == 0) rc = Modify(ctx, "REVO Agent", clients);
        DDCSetContextBaseDN(ctx, site.localTree.c_str(), DDCSlashDelims);
        Report(progress, Step::Heading, rc == 0 ? kMsgRevoLinked : kMsgRevoNotLinked);
    }

    Entries host;
    host.Clear("Velmora:Client");
    host.Add("Velmora:Messaging Server", DDC_SYN_DIST_NAME, server, DDC_OP_WRITE_VALUE);
    int rc = Modify(ctx, site.installHost, host);
    if (rc == DDCERR_ILLEGAL_ATTRIBUTE || rc == DDCERR_NO_SUCH_ATTRIBUTE) {
        // The server's class may not carry client links at all; then there is nothing
        // to clear, and the clear must not keep the messaging server link out.
        Entries link;
        link.Add("Velmora:Messaging Server", DDC_SYN_DIST_NAME, server, DDC_OP_WRITE_VALUE);
        rc = Modify(ctx, site.installHost, link);
    }
    Report(progress, Step::Heading, rc == 0 ? kMsgTwpLinked : kMsgTwpNotLinked);
}

} // namespace

void CreateServer(DDCContextHandle ctx, const Site& site, const std::string& adminName,
                  const ServerConfig& config, const Progress& progress) {
    const std::string container = site.Services();
    const std::string server = container + "\\" + config.msgServerName;

    if (int rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, container.c_str())) {
        ReportFailure(progress, "Finding " + container, rc);
        return;
    }
    Entries ms;
    ms.Class("Velmora:Messaging Server");
    ms.Add("Velmora:Postmaster", DDC_SYN_DIST_NAME, adminName);
    ms.Add("Velmora:Host", DDC_SYN_DIST_NAME, site.installHost);
    ms.Add("Velmora:Context", DDC_SYN_DIST_NAME,
           site.installContext.empty() ? site.localTree
                                       : site.localTree + "\\" + site.installContext);
    ms.Add("Velmora:Official Name", DDC_SYN_TEXT, config.officialName);
    ms.Add("Velmora:Work Directory", DDC_SYN_TEXT, "/usr/quill/work");
    ms.Add("Quill:DBFDirectory", DDC_SYN_TEXT, "/usr/quill/dbf");
    ms.Add("Quill:NLSDirectory", DDC_SYN_TEXT, "/usr/local/quill/nls");
    if (!config.dns1.empty()) ms.Add("Velmora:Resolver", DDC_SYN_TEXT, config.dns1);
    if (!config.dns2.empty()) ms.Add("Velmora:Resolver", DDC_SYN_TEXT, config.dns2);
    // Agents go below the server: without it there is nothing more to make.
    if (int rc = CreateReported(ctx, server, config.msgServerName, ms, progress);
        rc != 0 && rc != DDCERR_ENTRY_ALREADY_EXISTS) {
        ReportFailure(progress, "Creating " + config.msgServerName, rc);
        return;
    }
    if (int rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, server.c_str())) {
        ReportFailure(progress, "Finding " + server, rc);
        return;
    }
    CreateAgents(ctx, server, config, progress);
    if (config.lattice) CreateLattice(ctx, site, server, progress);

    LinkAgents(ctx, site, server, config, progress);
}

void UpdateServer(DDCContextHandle ctx, const Site& site, const Progress& progress) {
    // With the base at the root every name read back is a full name.
    DDCSetContextBaseDN(ctx, nullptr, DDCSlashDelims);
    auto restore = [&] { DDCSetContextBaseDN(ctx, site.localTree.c_str(), DDCSlashDelims); };
    std::vector<std::string> ms = ReadValues(ctx, site.installHost, "Velmora:Messaging Server");
    if (ms.empty()) return restore();
    const std::string server = ms.front();
    const std::string lattice = server + "\\Lattice Agent";
    const std::string webmail = server + "\\WebMail Agent";
    if (Exists(ctx, lattice) || !Exists(ctx, webmail)) return restore();
    std::vector<std::string> port = ReadValues(ctx, webmail, "Velmora:Port");
    std::vector<std::string> queue = ReadValues(ctx, webmail, "Velmora:REVO Queue Server");
    std::vector<std::string> sslPort = ReadValues(ctx, webmail, "Velmora:SSL Port");

    CreateLattice(ctx, site, server, progress);

    // Writing replaces: clear and write in one modification, so a default value does
    // not stay beside the one carried over.
    auto write = [&](const std::string& object, const char* attr, uint32_t syntax,
                     const std::string& value) {
        Entries e;
        e.Clear(attr);
        e.Add(attr, syntax, value, DDC_OP_WRITE_VALUE);
        Report(progress, Step::Item, object.substr(object.rfind('\\') + 1) + ": " + attr);
        int rc = Modify(ctx, object, e);
        Report(progress, Step::Result, rc == 0 ? kMsgCreated : kMsgNotCreated);
        return rc;
    };
    bool ok = true;
    if (!queue.empty()) {
        for (const char* module : {"\\Quill Mail Module", "\\Quill Calendar Module"})
            if (ok)
                ok = write(lattice + module, "Velmora:REVO Queue Server", DDC_SYN_DIST_NAME,
                           queue.front()) != DDCERR_NO_SUCH_ENTRY;
    }
    std::string text;
    if (ok && PortText(port, text))
        ok = write(lattice, "Velmora:Port", DDC_SYN_TEXT, text) != DDCERR_NO_SUCH_ENTRY;
    if (ok && PortText(sslPort, text))
        ok = write(lattice, "Velmora:SSL Port", DDC_SYN_TEXT, text) != DDCERR_NO_SUCH_ENTRY;
    if (ok) {
        Entries e;
        e.Add("Velmora:Disabled", DDC_SYN_TEXT, "1", DDC_OP_WRITE_VALUE);
        Report(progress, Step::Item, "WebMail Agent: Velmora:Disabled");
        Report(progress, Step::Result, Modify(ctx, webmail, e) == 0 ? kMsgCreated : kMsgNotCreated);
    }
    restore();
}

} // namespace quill
