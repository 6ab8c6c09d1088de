// quillsetup: prepares a directory tree for the messaging server, from a command-line
// mode or from the main menu.
#include "arbor_version.h"
#include "ascii.h"
#include "forms.h"
#include "quillschema.h"
#include "state.h"
#include "ui.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

extern "C" {
DDCContextHandle AdminContext = 0;
char NELocalTree[514];
char NEServerDN[257];
char InstallHost[257];
char InstallContext[257];
char MsgServerName[257];
char X500Name[257];
char AdminPW[257];
char AdminName[257];
char OfficialName[257];
char DNSServer1[257];
char DNSServer2[257];
unsigned char DoSMTP = 1, DoPOP = 1, DoIMAP = 1, DoLattice = 1, DoForward = 1, DoDayward = 1,
              DoLDAP = 1, DoAntiSpam = 1, DoProxy = 1;
unsigned long Aliasing = 0;
int Exiting = 0;
int ProgressLine = 6;
int ccode = 0;
}

namespace {

quill::Site gSite;

template <size_t N> void Copy(char (&dst)[N], std::string_view src) {
    std::snprintf(dst, N, "%.*s", static_cast<int>(std::min(src.size(), N - 1)), src.data());
}

void Usage() {
    std::printf("\rQUILLSETUP $Revision:   2.78  $\n");
    std::printf("\rUsage: QUILLSETUP [-arbor | -full | -server | -remove | -pinstall | -h | -?]\n");
    std::printf("\r-add       Update the schema (Requires initial schema to be installed)\n");
    std::printf("\r-update    Update the schema and any replaced agents\n");
    std::printf("\r-arbor     Install/Upgrade the schema\n");
    std::printf("\r-full      Install/Upgrade the schema, add long namespace to volume\n");
    std::printf("\r           and configure the server for Ostara Quill.\n");
    std::printf("\r-pinstall  Same as -full.\n");
    std::printf("\r-server    Add long namespace and configure the server for Ostara Quill\n");
    std::printf("\r-remove    Removes the schema extensions and configured servers.\n");
}

bool Is(const char* arg, const char* form) {
    return arbor::EqualNoCase(arg, form);
}

void EndProgram(int status) {
    ui::EndScreen();
    if (AdminContext) {
        DDCLogout(AdminContext);
        DDCFreeContext(AdminContext);
        AdminContext = 0;
    }
    explicit_bzero(AdminPW, sizeof AdminPW);
    std::exit(status);
}

void TrimRight(std::string& s) {
    size_t end = s.find_last_not_of(" \t");
    s.erase(end == std::string::npos ? 0 : end + 1);
}

// Returns true when logged in.
bool LoginDialog() {
    bool firstPass = true;
    for (;;) {
        ui::ClearScreen();
        ui::TopLine("Please enter admin user DN (e.g. Admin.Velmora)", 0);
        ui::TopLine("Press <TAB> to switch fields, <ENTER> to accept", 1);
        std::string name, password;
        if (ui::LoginForm(name, password) == ui::FormEnd::Cancelled) EndProgram(0);
        TrimRight(name);
        TrimRight(password);
        Copy(X500Name, name);
        Copy(AdminPW, password);
        std::string full = name.empty() ? name : quill::FullAdminName(gSite.localTree, name);
        int rc = quill::Login(AdminContext, full, password);
        if (rc != 0 && firstPass) {
            // A name relative to this server's own container.
            std::string local = gSite.localTree + "\\" + gSite.installContext + "\\" + name;
            int rc2 = quill::Login(AdminContext, local, password);
            if (rc2 == 0) full = local;
            // Keep the first code unless the second name at least resolved.
            if (rc2 == 0 || rc2 != DDCERR_NO_SUCH_ENTRY) rc = rc2;
        }
        firstPass = false;
        explicit_bzero(password.data(), password.size());
        if (rc == 0) {
            Copy(AdminName, full);
            ui::TopLine(quill::Text(quill::kMsgAuthenticated), 0);
            ui::TopLine("", 1);
            return true;
        }
        char line[512];
        std::snprintf(line, sizeof line, "DS Error: %s", DirectoryErrorText(rc));
        ui::TopLine("", 1);
        ui::TopLine(line, 0);
        if (!ui::YesNo(quill::Text(quill::kMsgLoginRetry))) return false;
    }
}

void Define() {
    quill::DefineSchema(AdminContext, gSite, ui::Progress);
}

// True when the removal went through.
bool Remove() {
    auto confirm = [] {
        return ui::MessageBox(quill::Text(quill::kMsgRemoveServers),
                              quill::Text(quill::kMsgRemoveWarning), true) == 0;
    };
    quill::Removal r = quill::RemoveSchema(AdminContext, gSite, ui::Progress, confirm, &ccode);
    if (r == quill::Removal::ForeignContainer)
        ui::MessageBox(quill::Text(quill::kMsgServicesExist),
                       quill::Text(quill::kMsgServicesExistText), false);
    return r == quill::Removal::Done;
}

void ConfigureServer() {
    quill::ServerConfig cfg;
    cfg.msgServerName = MsgServerName;
    ui::ClearScreen();
    if (ui::ConfigForm(cfg) != ui::FormEnd::Accepted) return;
    Copy(MsgServerName, cfg.msgServerName);
    Copy(OfficialName, cfg.officialName);
    Copy(DNSServer1, cfg.dns1);
    Copy(DNSServer2, cfg.dns2);
    DoSMTP = cfg.smtp, DoPOP = cfg.pop, DoIMAP = cfg.imap, DoLattice = cfg.lattice;
    DoForward = cfg.forward, DoDayward = cfg.dayward, DoLDAP = cfg.ldap;
    DoAntiSpam = cfg.antiSpam, DoProxy = cfg.proxy;
    Aliasing = cfg.aliasing;
    ui::Progress(quill::Step::Clear, "");
    quill::CreateServer(AdminContext, gSite, AdminName, cfg, ui::Progress);
}

// The modes' refusal to configure a server twice.
void ConfigureUnlessConfigured() {
    if (quill::ServerConfigured(AdminContext, gSite)) {
        ui::MessageBox("", quill::Text(quill::kMsgAlreadyConfigured), false);
        return;
    }
    ConfigureServer();
}

void RunMode(const char* mode) {
    if (Is(mode, "-pinstall") || Is(mode, "-full")) {
        quill::MoveOldContainer(AdminContext, gSite, ui::Progress);
        if (Remove()) Define();
        ConfigureUnlessConfigured();
    } else if (Is(mode, "-arbor")) {
        quill::MoveOldContainer(AdminContext, gSite, ui::Progress);
        if (Remove()) Define();
    } else if (Is(mode, "-remove")) {
        Remove();
    } else if (Is(mode, "-server")) {
        ConfigureUnlessConfigured();
    } else if (Is(mode, "-add")) {
        Define();
    } else if (Is(mode, "-update")) {
        Define();
        quill::UpdateServer(AdminContext, gSite, ui::Progress);
    } else {
        return; // no mode: the main menu follows
    }
    Exiting = 1;
}

void MainMenu() {
    while (!Exiting) {
        switch (ui::MainMenu()) {
        case 4:
            Define();
            break;
        case 5:
            Remove();
            break;
        case 6:
            ConfigureServer();
            break;
        default:
            Exiting = 1;
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : nullptr;
    // The usage text goes to the console, so it is printed without the full screen.
    if (Is(mode, "-h") || Is(mode, "-?") || Is(mode, "/?") || Is(mode, "/h") ||
        Is(mode, "--help")) {
        Usage();
        return 0;
    }
    if (Is(mode, "--version")) {
        std::printf("quillsetup %s\n", ARBOR_VERSION);
        return 0;
    }
    DDSInit(1);
    if (!quill::Site::FromConfig(gSite)) {
        std::printf("QuillSetup:[Startup] cannot read the tree and server names from %s\n",
                    std::getenv("ARBOR_CONF") && *std::getenv("ARBOR_CONF")
                        ? std::getenv("ARBOR_CONF")
                        : "/etc/arbor.conf");
        return 1;
    }
    Copy(NELocalTree, gSite.localTree);
    Copy(NEServerDN, gSite.serverDN);
    int rc = DDCCreateContext(1, &AdminContext);
    if (rc != 0) {
        std::printf("QuillSetup:[Startup] DDCCreateContext failed [%ld]\n", static_cast<long>(rc));
        return -1;
    }
    rc = DDCSetContextFlags(AdminContext, 0, DDC_CTX_RESERVED);
    if (rc != 0) {
        std::printf("QuillSetup:[Startup] DDCSetContextFlags failed [%ld]\n",
                    static_cast<long>(rc));
        DDCFreeContext(AdminContext);
        return 0;
    }
    const DDCUnicode noMap[] = {0xFFFD, 0};
    DDCSetContextLocale(AdminContext, 437, 1, "~", noMap);
    DDCSetContextBaseDN(AdminContext, nullptr, DDCSlashDelims);
    DDCSetContextBaseDN(AdminContext, NELocalTree, DDCSlashDelims);
    Copy(InstallHost, gSite.installHost);
    Copy(InstallContext, gSite.installContext);
    Copy(MsgServerName, gSite.msgServerName);

    ui::Session screen;
    if (!LoginDialog()) Exiting = 1;
    if (!Exiting) RunMode(mode);
    MainMenu();
    EndProgram(0);
}
