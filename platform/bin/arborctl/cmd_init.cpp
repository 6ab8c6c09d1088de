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
#include <filesystem>
#include <iostream>

namespace arborctl {
namespace {

constexpr const char* kHelp =
    "Usage: arborctl init --tree TREE --context CONTEXT --server NAME\n"
    "                     [--address ADDRESS] [--admin NAME] [--password-file FILE]\n"
    "                     [--group GROUP]\n\n"
    "Creates a new directory store and in it the tree TREE, the organisation and\n"
    "units of CONTEXT (dotted, leaf first, e.g. ou=sales.o=org), this server's\n"
    "object NAME of class \"TWP Server\" with its \"Network Address\" (default\n"
    "tcp:<host name>:689), and an administrator object (default \"Admin\", in the\n"
    "organisation) with supervisor rights over the tree. Then writes the\n"
    "configuration file: the tree, server name and context, and the store's path\n"
    "(made absolute).\n\n"
    "The store holds password hashes and secrets: it is readable by its owner only,\n"
    "unless --group names a group whose members may then read it (arborctl show\n"
    "and list work for them) but not change it.\n\n"
    "The administrator's password is the first line of FILE, or of standard input\n"
    "when FILE is '-' or not given; it is never taken from the command line.\n"
    "An existing store is never touched: remove it first to start over.\n"
    "On any error nothing is left behind.\n";

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

class StoreUndo {
  public:
    explicit StoreUndo(std::string path) : path_(std::move(path)) {}
    ~StoreUndo() {
        if (armed_)
            for (const char* suffix : {"", "-wal", "-shm", "-gen"})
                ::unlink((path_ + suffix).c_str());
    }
    void Keep() { armed_ = false; }

  private:
    std::string path_;
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

// What the command line asks for, checked.
struct InitOptions {
    std::string tree, context, server, adminName, address, group;
    std::vector<Level> levels;
    bool shared = false;
    gid_t groupId = 0;
    std::string password;
};

// The names made in the new tree.
struct Made {
    std::string treeRoot, serverDN, adminDN;
};

constexpr int kGoOn = -1;

// The options into o; kGoOn, or the exit status of a refusal.
int ReadOptions(const std::vector<std::string>& argv, InitOptions& o) {
    static const Command self{"init", "", kHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(
            self, argv, {"tree", "context", "server", "address", "admin", "password-file", "group"},
            {}, a))
        return rc;
    if (!a.positional.empty()) return Usage(self, "unexpected argument '" + a.positional[0] + "'");
    o.tree = a.get("tree");
    o.context = a.get("context");
    o.server = a.get("server");
    if (o.tree.empty() || o.context.empty() || o.server.empty())
        return Usage(self, "--tree, --context and --server are required");
    if (!ValidPlainName(o.tree)) return Fail("bad tree name '" + o.tree + "'");
    if (!ValidPlainName(o.server)) return Fail("bad server name '" + o.server + "'");
    o.adminName = a.get("admin", "Admin");
    if (!ValidPlainName(o.adminName)) return Fail("bad administrator name '" + o.adminName + "'");
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
    if (!ReadSecret(a.get("password-file", "-"), o.password, error)) return Fail(error);
    return kGoOn;
}

// A new, empty store at the absolute form of the given path.
int CreateStore(const std::string& given, std::string& store) {
    // Every program reads the configuration from its own working directory:
    // only an absolute path names the same store for all of them.
    std::error_code ec;
    store = std::filesystem::absolute(given, ec).lexically_normal();
    if (ec || store.empty()) return Fail("cannot make the store path absolute: " + given);
    struct stat st {};
    if (::stat(store.c_str(), &st) == 0)
        return Fail("a directory store already exists at " + store +
                    " (remove it to start over, or choose another with --store)");
    const auto parent = std::filesystem::path(store).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (int rc = PDKCreateStore(store.c_str())) return FailCode("cannot create " + store, rc);
    return kGoOn;
}

// The tree, the context's levels, the server and the administrator with
// its password.
int CreateObjects(DDCContextHandle c, const InitOptions& o, Made& made) {
    std::string name = "\\" + o.tree;
    if (int rc = Create(c, name, "Tree Root")) return FailCode("tree " + name, rc);
    made.treeRoot = name;
    std::string org;
    for (const auto& l : o.levels) {
        name += "\\" + l.name;
        if (int rc = Create(c, name, l.cls)) return FailCode(name, rc);
        if (org.empty()) org = name;
    }
    made.serverDN = name + "\\" + o.server;
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

// The configuration file, replaced in one step. It names the store, so it is
// as private as the store: 0600, or 0640 for the group the store is shared
// with, whatever the umask.
int WriteConfiguration(const std::string& conf, const InitOptions& o, const std::string& store) {
    for (char ch : store)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
            return Fail("the store path holds a control character");
    std::string text = "orb.base.tree-name=" + o.tree + "\n" + "orb.arbor.server-name=" + o.server +
                       "\n" + "orb.arbor.server-context=" + o.context + "\n" +
                       "arbor.directory.store=" + store + "\n";
    const std::string tmp = conf + ".arborctl-tmp";
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Fail("cannot write the configuration file " + conf);
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
    if (!ok || std::rename(tmp.c_str(), conf.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return Fail("cannot write the configuration file " + conf);
    }
    return kGoOn;
}

int Run(Cli& cli, const std::vector<std::string>& argv) {
    InitOptions o;
    if (int rc = ReadOptions(argv, o); rc != kGoOn) return rc;
    std::string store;
    if (int rc = CreateStore(cli.storePath, store); rc != kGoOn) return rc;
    StoreUndo undo(store);

    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    DDCContextHandle c = 0;
    if (int rc = DDCCreateContext(1, &c)) return FailCode("context", rc);
    struct Free {
        DDCContextHandle c;
        ~Free() { DDCFreeContext(c); }
    } freeCtx{c};
    if (int rc = PDKLoginMaintenance(c)) return FailCode("cannot open the new store", rc);
    Made made;
    if (int rc = CreateObjects(c, o, made); rc != kGoOn) return rc;
    if (int rc = GrantSupervisor(c, made); rc != kGoOn) return rc;
    if (o.shared)
        if (int rc = PDKShareStore(store.c_str(), o.groupId))
            return FailCode("cannot share " + store + " with group " + o.group, rc);

    // The configuration file last: a store without one is removed again.
    const std::string conf = cli.confPath;
    if (int rc = WriteConfiguration(conf, o, store); rc != kGoOn) return rc;
    undo.Keep();
    std::cout << "Directory created at " << store << "\n"
              << "  tree:          " << made.treeRoot << "\n"
              << "  server:        " << made.serverDN << " (" << o.address << ")\n"
              << "  administrator: " << made.adminDN << "\n"
              << "  readable by:   "
              << (o.shared ? "its owner and group " + o.group : std::string("its owner only"))
              << "\n"
              << "Configuration written to " << conf << "\n";
    return kOk;
}

ARBORCTL_COMMAND(kInit, "init", "create a new directory and the configuration file", kHelp, Run);

} // namespace
} // namespace arborctl
