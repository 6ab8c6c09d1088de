// arborctl init: a new directory with its tree, this server's container and
// object, an administrator, and the configuration file that points at it.
#include "arborctl.h"

#include "ascii.h"
#include "kdxcommon.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace arborctl {
namespace {

constexpr const char* kHelp =
    "Usage: arborctl init --tree TREE --context CONTEXT --server NAME\n"
    "                     [--address ADDRESS] [--admin NAME] [--password-file FILE]\n"
    "                     [--group GROUP]\n"
    "                     [--url URL [--base DN] [--bind-dn DN] [--bind-password-file F]]\n\n"
    "Creates a new directory store and in it the tree TREE, the organisation and\n"
    "units of CONTEXT (dotted, leaf first, e.g. ou=sales.o=org), this server's\n"
    "object NAME of class \"TWP Server\" with its \"Network Address\" (default\n"
    "tcp:<host name>:689), and an administrator object (default \"Admin\", in the\n"
    "organisation) with supervisor rights over the tree. Then writes the\n"
    "configuration file: the tree, server name and context, and the store's path\n"
    "(made absolute).\n\n"
    "With --url the directory is an LDAP server (ldap://HOST:PORT/ or ldapi://...)\n"
    "instead of a store file: the tree is created on its empty suffix, and the\n"
    "configuration file gets the arbor.directory.url, .base, .bind-dn and\n"
    ".bind-password-file lines instead of the store's path.\n\n"
    "The store holds password hashes and secrets: it is readable by its owner only,\n"
    "unless --group names a group whose members may then read it (arborctl show\n"
    "and list work for them) but not change it.\n\n"
    "The administrator's password is the first line of FILE, or of standard input\n"
    "when FILE is '-' or not given; it is never taken from the command line.\n"
    "An existing store is never touched: remove it first to start over.\n"
    "On any error nothing is left behind.\n";

constexpr const char* kJoinHelp =
    "Usage: arborctl join --tree TREE --context CONTEXT --server NAME\n"
    "                     [--address ADDRESS] [--group GROUP]\n"
    "                     [--url URL [--base DN] [--bind-dn DN] [--bind-password-file F]]\n\n"
    "Adds another server to an existing directory, for a second messaging server on\n"
    "the same tree: creates the units of CONTEXT that are missing, and this\n"
    "server's object NAME of class \"TWP Server\" with its \"Network Address\" (as\n"
    "init does), then writes this server's configuration file naming the same\n"
    "directory: the store file (--store, $ARBOR_DIRECTORY) or the LDAP server of\n"
    "--url. Give each server a container of its own: a messaging server serves the\n"
    "users of its server's container. Then run the setup tool's -server mode on\n"
    "this server (the schema is already there).\n\n"
    "Whoever may change the directory (may write the store file, or read the LDAP\n"
    "bind password file) may add a server; no password is asked. A server object\n"
    "that exists already is refused.\n";

struct Level {
    std::string name;
    const char* cls;
};

bool ValidPlainName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (c == '\\' || c == '.' || c == '=' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

// The context's levels from the top down, with their classes.
bool ParseContext(const std::string& context, std::vector<Level>& out, std::string& error) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < context.size(); ++i) {
        if (context[i] == '\\' && i + 1 < context.size() && context[i + 1] == '.') {
            cur.push_back('.');
            ++i;
        } else if (context[i] == '.' && i > 0) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(context[i]);
        }
    }
    parts.push_back(cur);
    out.clear();
    for (size_t k = parts.size(); k-- > 0;) {
        std::string p = parts[k];
        const bool top = out.empty();
        const char* cls = top ? "Organization" : "Organizational Unit";
        const size_t eq = p.find('=');
        if (eq != std::string::npos) {
            const std::string type = arbor::Lower(p.substr(0, eq));
            if (type == "o" && top) {
                cls = "Organization";
            } else if (type == "ou" && !top) {
                cls = "Organizational Unit";
            } else {
                error = "context part '" + p + "': the top part must be o=NAME, the others ou=NAME";
                return false;
            }
            p = p.substr(eq + 1);
        }
        if (p.empty() || p.size() > 64 || p.find('\\') != std::string::npos) {
            error = "bad context part '" + parts[k] + "'";
            return false;
        }
        out.push_back({p, cls});
    }
    return true;
}

// A store this run created goes again unless the run completes: a half-made
// one would only make the next init refuse ("already exists").
class StoreUndo {
  public:
    explicit StoreUndo(std::string locator) : locator_(std::move(locator)) {}
    ~StoreUndo() {
        if (!armed_) return;
        if (int rc = PDKRemoveStore(locator_.c_str()))
            FailCode("cannot remove the half-made directory at " + locator_ +
                         " (remove it before you start over)",
                     rc);
    }
    void Keep() { armed_ = false; }

  private:
    std::string locator_;
    bool armed_ = true;
};

int Create(DDCContextHandle c, const std::string& name, const char* cls,
           std::vector<std::pair<const char*, std::string>> values = {}) {
    std::vector<DDCEntry> e(values.size() + 1);
    e[0].syntax = DDC_SYN_CLASS_NAME;
    e[0].attrName = "Object Class";
    e[0].value = cls;
    for (size_t i = 0; i < values.size(); ++i) {
        e[i + 1].syntax = DDC_SYN_TEXT;
        e[i + 1].attrName = values[i].first;
        e[i + 1].value = values[i].second.c_str();
    }
    return DDCCreateEntry(c, name.c_str(), static_cast<uint32_t>(e.size()), e.data());
}

// Where the directory is, as the configuration file names it: a store file,
// or an LDAP server with the tree's base and the service's credentials.
struct Locator {
    std::string store;
    std::string url, base, bindDn, bindPasswordFile;
};

// What the command line asks for, checked.
struct InitOptions {
    std::string tree, context, server, adminName, address, group;
    std::vector<Level> levels;
    bool shared = false;
    gid_t groupId = 0;
    std::string password;
    Locator where;
};

// The names made in the new tree.
struct Made {
    std::string treeRoot, serverDN, adminDN;
};

constexpr int kGoOn = -1;

// Every value of the configuration file is one line of it: a control
// character (CR, LF, NUL and the others) would end the line early or add
// lines of its own.
int RefuseControlCharacters(const std::string& what, std::string_view value) {
    for (char ch : value)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
            return Fail("the " + what +
                        " holds a control character (CR, LF, NUL or another), which the "
                        "configuration file cannot hold");
    return kGoOn;
}

// The LDAP options into o.where; kGoOn, or the exit status of a refusal.
int ReadLdapOptions(const Command& self, const Args& a, InitOptions& o) {
    // $ARBOR_DIRECTORY_URL picks the LDAP server for every program: here too.
    const char* envUrl = std::getenv("ARBOR_DIRECTORY_URL");
    const bool url = a.Has("url") || (envUrl && *envUrl);
    for (const char* opt : {"base", "bind-dn", "bind-password-file"})
        if (a.Has(opt) && !url) return Usage(self, std::string("--") + opt + " needs --url");
    if (!url) return kGoOn;
    const char* dir = std::getenv("ARBOR_DIRECTORY");
    if (dir && *dir)
        return Usage(self, "--url ($ARBOR_DIRECTORY_URL) and a store file (--store, "
                           "$ARBOR_DIRECTORY) name two directories: give one");
    Locator& w = o.where;
    w.url = a.Has("url") ? a.get("url") : std::string(envUrl);
    w.base = a.get("base");
    w.bindDn = a.get("bind-dn");
    const std::pair<const char*, const std::string*> values[] = {
        {"URL", &w.url}, {"base DN", &w.base}, {"bind DN", &w.bindDn}};
    for (const auto& [what, v] : values)
        if (int rc = RefuseControlCharacters(what, *v); rc != kGoOn) return rc;
    if (w.url.rfind("ldap://", 0) != 0 && w.url.rfind("ldaps://", 0) != 0 &&
        w.url.rfind("ldapi://", 0) != 0)
        return Fail("'" + w.url + "' is not an LDAP URL (ldap://, ldaps:// or ldapi://)");
    if (a.Has("bind-password-file")) {
        const std::string given = a.get("bind-password-file");
        if (int rc = RefuseControlCharacters("bind password file", given); rc != kGoOn) return rc;
        std::error_code ec;
        w.bindPasswordFile = std::filesystem::absolute(given, ec).lexically_normal();
        if (ec || given.empty()) return Fail("bad bind password file '" + given + "'");
    }
    return kGoOn;
}

// The options init and join share into o; kGoOn, or the exit status of a
// refusal.
int ReadServerOptions(const Command& self, const Args& a, InitOptions& o) {
    if (!a.positional.empty()) return Usage(self, "unexpected argument '" + a.positional[0] + "'");
    o.tree = a.get("tree");
    o.context = a.get("context");
    o.server = a.get("server");
    if (o.tree.empty() || o.context.empty() || o.server.empty())
        return Usage(self, "--tree, --context and --server are required");
    for (const auto& [what, v] : {std::pair<const char*, const std::string*>{"tree name", &o.tree},
                                  {"server name", &o.server},
                                  {"context", &o.context}})
        if (int rc = RefuseControlCharacters(what, *v); rc != kGoOn) return rc;
    if (!ValidPlainName(o.tree)) return Fail("bad tree name '" + o.tree + "'");
    if (!ValidPlainName(o.server)) return Fail("bad server name '" + o.server + "'");
    std::string error;
    if (!ParseContext(o.context, o.levels, error)) return Fail(error);
    // The path the configuration rule will compute must name the same levels.
    char path[1024];
    if (KDXConfContextPath(o.context.c_str(), path, sizeof path) < 0)
        return Fail("the context is too long");
    o.address = a.get("address");
    if (o.address.empty()) {
        char host[256] = "localhost";
        gethostname(host, sizeof host - 1);
        o.address = std::string("tcp:") + host + ":689";
    }
    if (a.Has("group")) {
        o.group = a.get("group");
        const struct group* gr = o.group.empty() ? nullptr : ::getgrnam(o.group.c_str());
        if (!gr) return Fail("no such group '" + o.group + "'");
        o.shared = true;
        o.groupId = gr->gr_gid;
    }
    return ReadLdapOptions(self, a, o);
}

const std::vector<std::string> kServerOptions = {"tree",    "context", "server",
                                                 "address", "group",   "url",
                                                 "base",    "bind-dn", "bind-password-file"};

// init's options into o; kGoOn, or the exit status of a refusal.
int ReadOptions(const std::vector<std::string>& argv, InitOptions& o) {
    static const Command self{"init", "", kHelp, nullptr};
    std::vector<std::string> withValue = kServerOptions;
    withValue.insert(withValue.end(), {"admin", "password-file"});
    Args a;
    if (int rc = ParseOrUsage(self, argv, withValue, {}, a)) return rc;
    if (int rc = ReadServerOptions(self, a, o); rc != kGoOn) return rc;
    o.adminName = a.get("admin", "Admin");
    if (!ValidPlainName(o.adminName)) return Fail("bad administrator name '" + o.adminName + "'");
    std::string error;
    if (!ReadSecret(a.get("password-file", "-"), o.password, error)) return Fail(error);
    return kGoOn;
}

// The absolute form of the store path, which must not exist yet.
int NewStorePath(const std::string& given, std::string& store) {
    // Every program reads the configuration from its own working directory:
    // only an absolute path names the same store for all of them.
    std::error_code ec;
    store = std::filesystem::absolute(given, ec).lexically_normal();
    if (ec || store.empty()) return Fail("cannot make the store path absolute: " + given);
    if (int rc = RefuseControlCharacters("store path", store); rc != kGoOn) return rc;
    struct stat st {};
    if (::stat(store.c_str(), &st) == 0)
        return Fail("a directory store already exists at " + store +
                    " (remove it to start over, or choose another with --store)");
    return kGoOn;
}

// A new, empty directory where o.where says.
int CreateStore(const Locator& where) {
    if (!where.url.empty()) {
        // The configuration file is not in place yet: the library takes the
        // base and the service's credentials from the environment instead.
        for (const auto& [name, value] :
             {std::pair{"ARBOR_DIRECTORY_BASE", &where.base},
              std::pair{"ARBOR_DIRECTORY_BIND_DN", &where.bindDn},
              std::pair{"ARBOR_DIRECTORY_BIND_PASSWORD_FILE", &where.bindPasswordFile}})
            if (!value->empty()) setenv(name, value->c_str(), 1);
        if (int rc = PDKCreateStore(where.url.c_str()))
            return FailCode("cannot create the directory at " + where.url, rc);
        return kGoOn;
    }
    std::error_code ec;
    const auto parent = std::filesystem::path(where.store).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (int rc = PDKCreateStore(where.store.c_str()))
        return FailCode("cannot create " + where.store, rc);
    return kGoOn;
}

// The context's levels below the tree root; the first one is the
// organisation. Levels that exist already are kept when mayExist.
int CreateLevels(DDCContextHandle c, const std::string& treeRoot, const std::vector<Level>& levels,
                 bool mayExist, std::string& org, std::string& leaf) {
    std::string name = treeRoot;
    for (const auto& l : levels) {
        name += "\\" + l.name;
        const int rc = Create(c, name, l.cls);
        if (rc != 0 && !(mayExist && rc == DDCERR_ENTRY_ALREADY_EXISTS)) return FailCode(name, rc);
        if (org.empty()) org = name;
    }
    leaf = name;
    return kGoOn;
}

// The tree, the context's levels, the server and the administrator with
// its password.
int CreateObjects(DDCContextHandle c, const InitOptions& o, Made& made) {
    const std::string root = "\\" + o.tree;
    if (int rc = Create(c, root, "Tree Root")) return FailCode("tree " + root, rc);
    made.treeRoot = root;
    std::string org, leaf;
    if (int rc = CreateLevels(c, root, o.levels, false, org, leaf); rc != kGoOn) return rc;
    made.serverDN = leaf + "\\" + o.server;
    if (int rc = Create(c, made.serverDN, "TWP Server", {{"Network Address", o.address}}))
        return FailCode(made.serverDN, rc);
    made.adminDN = org + "\\" + o.adminName;
    if (int rc = Create(c, made.adminDN, "User")) return FailCode(made.adminDN, rc);
    if (int rc = DDCGenerateKeyPair(c, o.password.c_str())) return FailCode("password", rc);
    return kGoOn;
}

// Supervisor over the whole tree: the tree's administrator.
int GrantSupervisor(DDCContextHandle c, const Made& made) {
    DDCACL entry{DDC_ENTRY_BROWSE | DDC_ENTRY_ADD | DDC_ENTRY_DELETE | DDC_ENTRY_RENAME |
                     DDC_ENTRY_SUPERVISOR,
                 DDC_ACL_ENTRY_RIGHTS, made.adminDN.c_str()};
    DDCACL attrs{DDC_ATTR_COMPARE | DDC_ATTR_READ | DDC_ATTR_WRITE | DDC_ATTR_SELF |
                     DDC_ATTR_SUPERVISOR,
                 DDC_ACL_ALL_ATTRIBUTES, made.adminDN.c_str()};
    DDCEntry acl[2] = {};
    for (int i = 0; i < 2; ++i) {
        acl[i].operation = DDC_OP_ADD_VALUE;
        acl[i].syntax = DDC_SYN_ACL;
        acl[i].attrName = "ACL";
        acl[i].length = 12;
        acl[i].value = i == 0 ? &entry : &attrs;
    }
    if (int rc = DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, made.treeRoot.c_str()))
        return FailCode(made.treeRoot, rc);
    if (int rc = DDCModifyEntry(c, 2, acl)) return FailCode("rights", rc);
    return kGoOn;
}

std::string ConfigurationText(const InitOptions& o) {
    std::string text = "orb.base.tree-name=" + o.tree + "\n" + "orb.arbor.server-name=" + o.server +
                       "\n" + "orb.arbor.server-context=" + o.context + "\n";
    const Locator& w = o.where;
    if (w.url.empty()) return text + "arbor.directory.store=" + w.store + "\n";
    text += "arbor.directory.url=" + w.url + "\n";
    if (!w.base.empty()) text += "arbor.directory.base=" + w.base + "\n";
    if (!w.bindDn.empty()) text += "arbor.directory.bind-dn=" + w.bindDn + "\n";
    if (!w.bindPasswordFile.empty())
        text += "arbor.directory.bind-password-file=" + w.bindPasswordFile + "\n";
    return text;
}

// The configuration file, written beside its place before the directory is
// touched (the library reads the LDAP lines from it) and put in place in one
// step once all went well; gone again otherwise. It names the directory and
// its credentials, so it is 0600, or 0640 for the group the store is shared
// with, whatever the umask.
class PendingConfiguration {
  public:
    explicit PendingConfiguration(std::string conf)
        : conf_(std::move(conf)), tmp_(conf_ + ".arborctl-tmp") {}
    ~PendingConfiguration() {
        if (written_) ::unlink(tmp_.c_str());
    }
    const std::string& TempPath() const { return tmp_; }

    int Write(const InitOptions& o) {
        const std::string text = ConfigurationText(o);
        ::unlink(tmp_.c_str());
        const int fd =
            ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Fail("cannot write the configuration file " + conf_);
        written_ = true;
        bool ok = ::fchmod(fd, 0600) == 0;
        if (ok && o.shared)
            ok = ::fchown(fd, static_cast<uid_t>(-1), o.groupId) == 0 && ::fchmod(fd, 0640) == 0;
        for (size_t done = 0; ok && done < text.size();) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
        ok = ::fsync(fd) == 0 && ok;
        ok = ::close(fd) == 0 && ok;
        return ok ? kGoOn : Fail("cannot write the configuration file " + conf_);
    }
    int Commit() {
        if (std::rename(tmp_.c_str(), conf_.c_str()) != 0)
            return Fail("cannot write the configuration file " + conf_);
        written_ = false;
        return kGoOn;
    }

  private:
    std::string conf_, tmp_;
    bool written_ = false;
};

// A context on the directory o.where names, as its maintainer, for this
// process and the library: the pending configuration file is the one in use.
class MaintenanceSession {
  public:
    ~MaintenanceSession() {
        if (c_) DDCFreeContext(c_);
    }
    int Open(const Locator& where, const PendingConfiguration& conf, const std::string& what) {
        setenv("ARBOR_CONF", conf.TempPath().c_str(), 1);
        if (where.url.empty()) {
            unsetenv("ARBOR_DIRECTORY_URL");
            setenv("ARBOR_DIRECTORY", where.store.c_str(), 1);
        } else {
            unsetenv("ARBOR_DIRECTORY");
            setenv("ARBOR_DIRECTORY_URL", where.url.c_str(), 1);
        }
        if (int rc = DDCCreateContext(1, &c_)) return FailCode("context", rc);
        if (int rc = PDKLoginMaintenance(c_)) return FailCode("cannot open " + what, rc);
        return kGoOn;
    }
    DDCContextHandle get() const { return c_; }

  private:
    DDCContextHandle c_ = 0;
};

std::string Where(const Locator& w) {
    return w.url.empty() ? w.store : w.url;
}

int Run(Cli& cli, const std::vector<std::string>& argv) {
    InitOptions o;
    if (int rc = ReadOptions(argv, o); rc != kGoOn) return rc;
    if (o.where.url.empty())
        if (int rc = NewStorePath(cli.storePath, o.where.store); rc != kGoOn) return rc;
    PendingConfiguration conf(cli.confPath);
    if (int rc = conf.Write(o); rc != kGoOn) return rc;
    if (int rc = CreateStore(o.where); rc != kGoOn) return rc;
    StoreUndo undo(Where(o.where));

    MaintenanceSession c;
    if (int rc = c.Open(o.where, conf, "the new directory"); rc != kGoOn) return rc;
    Made made;
    if (int rc = CreateObjects(c.get(), o, made); rc != kGoOn) return rc;
    if (int rc = GrantSupervisor(c.get(), made); rc != kGoOn) return rc;
    if (o.shared && o.where.url.empty())
        if (int rc = PDKShareStore(o.where.store.c_str(), o.groupId))
            return FailCode("cannot share " + o.where.store + " with group " + o.group, rc);

    // The configuration file last: a store without one is removed again.
    if (int rc = conf.Commit(); rc != kGoOn) return rc;
    undo.Keep();
    std::cout << "Directory created at " << Where(o.where) << "\n"
              << "  tree:          " << made.treeRoot << "\n"
              << "  server:        " << made.serverDN << " (" << o.address << ")\n"
              << "  administrator: " << made.adminDN << "\n";
    // An LDAP server's access is its own configuration's.
    if (o.where.url.empty())
        std::cout << "  readable by:   "
                  << (o.shared ? "its owner and group " + o.group : std::string("its owner only"))
                  << "\n";
    std::cout << "Configuration written to " << cli.confPath << "\n";
    return kOk;
}

// ---- join ----

int ReadJoinOptions(const std::vector<std::string>& argv, InitOptions& o) {
    static const Command self{"join", "", kJoinHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, kServerOptions, {}, a)) return rc;
    return ReadServerOptions(self, a, o);
}

int Join(Cli& cli, const std::vector<std::string>& argv) {
    InitOptions o;
    if (int rc = ReadJoinOptions(argv, o); rc != kGoOn) return rc;
    if (o.where.url.empty()) {
        std::error_code ec;
        o.where.store = std::filesystem::absolute(cli.storePath, ec).lexically_normal();
        if (ec) return Fail("cannot make the store path absolute: " + cli.storePath);
        if (int rc = RefuseControlCharacters("store path", o.where.store); rc != kGoOn) return rc;
    }
    PendingConfiguration conf(cli.confPath);
    if (int rc = conf.Write(o); rc != kGoOn) return rc;
    MaintenanceSession c;
    if (int rc = c.Open(o.where, conf, "the directory at " + Where(o.where)); rc != kGoOn)
        return rc;
    const std::string root = "\\" + o.tree;
    if (int rc = DDCResolveName(c.get(), DDC_RESOLVE_FOR_READ, root.c_str()))
        return FailCode("no tree " + o.tree + " in the directory at " + Where(o.where), rc);
    std::string org, leaf;
    if (int rc = CreateLevels(c.get(), root, o.levels, true, org, leaf); rc != kGoOn) return rc;
    const std::string server = leaf + "\\" + o.server;
    if (int rc = Create(c.get(), server, "TWP Server", {{"Network Address", o.address}}))
        return FailCode(server, rc);
    if (int rc = conf.Commit(); rc != kGoOn) return rc;
    std::cout << "Server added to the directory at " << Where(o.where) << "\n"
              << "  server:        " << server << " (" << o.address << ")\n"
              << "Configuration written to " << cli.confPath << "\n";
    return kOk;
}

ARBORCTL_COMMAND(kInit, "init", "create a new directory and the configuration file", kHelp, Run);
ARBORCTL_COMMAND(kJoin, "join", "add another server to an existing directory", kJoinHelp, Join);

} // namespace
} // namespace arborctl
