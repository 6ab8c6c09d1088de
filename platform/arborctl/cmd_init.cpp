// arborctl init: a new directory with its tree, this server's container and
// object, an administrator, and the configuration file that points at it.
#include "arborctl.h"

#include "ascii.h"
#include "kdxcommon.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

bool validPlainName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (c == '\\' || c == '.' || c == '=' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

// The context's levels from the top down, with their classes.
bool parseContext(const std::string& context, std::vector<Level>& out, std::string& error) {
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
    void keep() { armed_ = false; }

  private:
    std::string path_;
    bool armed_ = true;
};

int create(DDCContextHandle c, const std::string& name, const char* cls,
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

int run(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"init", "", kHelp, nullptr};
    Args a;
    std::string error;
    if (!parseArgs(argv,
                   {"tree", "context", "server", "address", "admin", "password-file", "group"}, {},
                   a, error))
        return usage(self, error);
    if (!a.positional.empty()) return usage(self, "unexpected argument '" + a.positional[0] + "'");
    const std::string tree = a.get("tree"), context = a.get("context"), server = a.get("server");
    if (tree.empty() || context.empty() || server.empty())
        return usage(self, "--tree, --context and --server are required");
    if (!validPlainName(tree)) return fail("bad tree name '" + tree + "'");
    if (!validPlainName(server)) return fail("bad server name '" + server + "'");
    const std::string adminName = a.get("admin", "Admin");
    if (!validPlainName(adminName)) return fail("bad administrator name '" + adminName + "'");
    std::vector<Level> levels;
    if (!parseContext(context, levels, error)) return fail(error);
    // The path the configuration rule will compute must name the same levels.
    char path[1024];
    if (KDXConfContextPath(context.c_str(), path, sizeof path) < 0)
        return fail("the context is too long");
    std::string address = a.get("address");
    if (address.empty()) {
        char host[256] = "localhost";
        gethostname(host, sizeof host - 1);
        address = std::string("tcp:") + host + ":689";
    }
    bool shared = false;
    gid_t groupId = 0;
    if (a.has("group")) {
        const std::string g = a.get("group");
        const struct group* gr = g.empty() ? nullptr : ::getgrnam(g.c_str());
        if (!gr) return fail("no such group '" + g + "'");
        shared = true;
        groupId = gr->gr_gid;
    }
    std::string password;
    if (!readSecret(a.get("password-file", "-"), password, error)) return fail(error);

    // Every program reads the configuration from its own working directory:
    // only an absolute path names the same store for all of them.
    std::error_code ec;
    const std::string store = std::filesystem::absolute(cli.storePath, ec).lexically_normal();
    if (ec || store.empty()) return fail("cannot make the store path absolute: " + cli.storePath);
    struct stat st {};
    if (::stat(store.c_str(), &st) == 0)
        return fail("a directory store already exists at " + store +
                    " (remove it to start over, or choose another with --store)");
    const auto parent = std::filesystem::path(store).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (int rc = PDKCreateStore(store.c_str())) return failCode("cannot create " + store, rc);
    StoreUndo undo(store);

    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    DDCContextHandle c = 0;
    if (int rc = DDCCreateContext(1, &c)) return failCode("context", rc);
    struct Free {
        DDCContextHandle c;
        ~Free() { DDCFreeContext(c); }
    } freeCtx{c};
    if (int rc = PDKLoginMaintenance(c)) return failCode("cannot open the new store", rc);

    std::string name = "\\" + tree;
    if (int rc = create(c, name, "Tree Root")) return failCode("tree " + name, rc);
    const std::string treeRoot = name;
    std::string org;
    for (const auto& l : levels) {
        name += "\\" + l.name;
        if (int rc = create(c, name, l.cls)) return failCode(name, rc);
        if (org.empty()) org = name;
    }
    const std::string serverDN = name + "\\" + server;
    if (int rc = create(c, serverDN, "TWP Server", {{"Network Address", address}}))
        return failCode(serverDN, rc);
    const std::string adminDN = org + "\\" + adminName;
    if (int rc = create(c, adminDN, "User")) return failCode(adminDN, rc);
    if (int rc = DDCGenerateKeyPair(c, password.c_str())) return failCode("password", rc);
    // Supervisor over the whole tree: the tree's administrator.
    DDCACL entry{DDC_ENTRY_BROWSE | DDC_ENTRY_ADD | DDC_ENTRY_DELETE | DDC_ENTRY_RENAME |
                     DDC_ENTRY_SUPERVISOR,
                 DDC_ACL_ENTRY_RIGHTS, adminDN.c_str()};
    DDCACL attrs{DDC_ATTR_COMPARE | DDC_ATTR_READ | DDC_ATTR_WRITE | DDC_ATTR_SELF |
                     DDC_ATTR_SUPERVISOR,
                 DDC_ACL_ALL_ATTRIBUTES, adminDN.c_str()};
    DDCEntry acl[2] = {};
    for (int i = 0; i < 2; ++i) {
        acl[i].operation = DDC_OP_ADD_VALUE;
        acl[i].syntax = DDC_SYN_ACL;
        acl[i].attrName = "ACL";
        acl[i].length = 12;
        acl[i].value = i == 0 ? &entry : &attrs;
    }
    if (int rc = DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, treeRoot.c_str()))
        return failCode(treeRoot, rc);
    if (int rc = DDCModifyEntry(c, 2, acl)) return failCode("rights", rc);
    if (shared)
        if (int rc = PDKShareStore(store.c_str(), groupId))
            return failCode("cannot share " + store + " with group " + a.get("group"), rc);

    // The configuration file last, replaced in one step.
    const std::string conf = cli.confPath;
    const std::string tmp = conf + ".arborctl-tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << "orb.base.tree-name=" << tree << "\n"
          << "orb.arbor.server-name=" << server << "\n"
          << "orb.arbor.server-context=" << context << "\n"
          << "arbor.directory.store=" << store << "\n";
        f.close();
        if (!f) {
            ::unlink(tmp.c_str());
            return fail("cannot write the configuration file " + conf);
        }
    }
    if (std::rename(tmp.c_str(), conf.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return fail("cannot write the configuration file " + conf);
    }
    undo.keep();
    std::cout << "Directory created at " << store << "\n"
              << "  tree:          " << treeRoot << "\n"
              << "  server:        " << serverDN << " (" << address << ")\n"
              << "  administrator: " << adminDN << "\n"
              << "  readable by:   "
              << (shared ? "its owner and group " + a.get("group") : std::string("its owner only"))
              << "\n"
              << "Configuration written to " << conf << "\n";
    return kOk;
}

ARBORCTL_COMMAND(kInit, "init", "create a new directory and the configuration file", kHelp, run);

} // namespace
} // namespace arborctl
