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

} // namespace

void CreateServer(DDCContextHandle ctx, const Site& site, const std::string& adminName,
                  const ServerConfig& config, const Progress& progress) {
    const std::string container = site.Services();
    const std::string server = container + "\\" + config.msgServerName;
    const std::string store = server + "\\REVO Agent";

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
    auto create = [&](const char* name, const Entries& e) {
        CreateReported(ctx, server + "\\" + name, name, e, progress);
    };
    {
        Entries e = Agent("Velmora:REVO Agent", "STORED.FLM");
        e.Add("Velmora:Queue Timeout", DDC_SYN_TEXT, "5");
        e.Add("Velmora:Queue Interval", DDC_SYN_TEXT, "30");
        e.Add("Velmora:Minimum Free Space", DDC_SYN_TEXT, "2048");
        e.Add("Velmora:SCMS User Threshold", DDC_SYN_TEXT, "2");
        e.Add("Velmora:SCMS Size Threshold", DDC_SYN_TEXT, "2");
        e.Add("Velmora:Quota Message", DDC_SYN_TEXT, kQuotaText);
        e.Add("Velmora:Message Store", DDC_SYN_TEXT, "/usr/quill/users");
        e.Add("Quill:SCMSDirectory", DDC_SYN_TEXT, "/usr/quill/scms");
        e.Add("Quill:SpoolDirectory", DDC_SYN_TEXT, "/usr/quill/spool");
        create("REVO Agent", e);
    }
    if (config.ldap) {
        Entries e = Agent("Velmora:Addressbook Agent", "DIRBOOK.FLM");
        e.Add("Velmora:LDAP Options", DDC_SYN_TEXT, "1");
        e.Add("Velmora:Port", DDC_SYN_TEXT, "389");
        e.Add("Velmora:Time Interval", DDC_SYN_TEXT, "1");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        create("Address Book Agent", e);
    }
    if (config.aliasing != kAliasNone) {
        Entries e = Agent("Velmora:Alias Agent", "DIRALIAS.FLM");
        e.Add("Velmora:Alias Options", DDC_SYN_TEXT, AliasOptions(config.aliasing));
        e.Add("Velmora:Time Interval", DDC_SYN_TEXT, "1");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        create("Alias Agent", e);
    }
    if (config.antiSpam) {
        Entries e = Agent("Velmora:AntiSpam Agent", "SPAMGATE.FLM");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        create("AntiSpam Agent", e);
    }
    if (config.dayward) {
        Entries e = Agent("QuillCalendarAgent", "DAYWARD.FLM");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        create("Calendar Agent", e);
    }
    if (config.forward) {
        Entries e = Agent("Velmora:AutoReply Agent", "REPLYD.FLM");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        create("AutoReply Agent", e);
    }
    if (config.imap) create("IMAP Agent", Agent("Velmora:IMAP Agent", "IMAPSRV.FLM"));
    if (config.pop) create("POP Agent", Agent("Velmora:POP Agent", "POPSRV.FLM"));
    if (config.proxy) {
        Entries e = Agent("Velmora:Proxy Agent", "FETCHD.FLM");
        e.Add("Velmora:Time Interval", DDC_SYN_TEXT, "3");
        e.Add("Velmora:Maximum Items", DDC_SYN_TEXT, "3");
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        e.Add("Velmora:REVO Queue Server", DDC_SYN_DIST_NAME, store);
        create("Proxy Agent", e);
    }
    if (config.smtp) {
        Entries e = Agent("Velmora:SMTP Agent", "SMTPSRV.FLM");
        e.Add("Velmora:Domain", DDC_SYN_TEXT, config.officialName);
        e.Add("Velmora:Routing", DDC_SYN_TEXT, "0");
        e.Add("Velmora:Message Limit", DDC_SYN_TEXT, "0");
        e.Add("Velmora:SMTP Accept ETRN", DDC_SYN_TEXT, "1");
        e.Add("Velmora:SMTP Send ETRN", DDC_SYN_TEXT, "0");
        e.Add("Quill:RBL Host", DDC_SYN_TEXT, kBlocklistZone);
        e.Add("Velmora:REVO Server", DDC_SYN_DIST_NAME, store);
        e.Add("Velmora:REVO Queue Server", DDC_SYN_DIST_NAME, store);
        create("SMTP Agent", e);
    }
    if (config.lattice) CreateLattice(ctx, site, server, progress);

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
