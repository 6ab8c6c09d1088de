// Command dispatch and the helpers every command shares.
#include "arbor_version.h"
#include "arborctl.h"

#include "kdxcommon.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace arborctl {

namespace {

std::vector<Command>& Table() {
    static std::vector<Command> t;
    return t;
}

constexpr size_t kMaxSecret = 1024;

} // namespace

bool RegisterCommand(const Command& c) {
    Table().push_back(c);
    return true;
}

const std::vector<Command>& Commands() {
    return Table();
}

int Fail(const std::string& message) {
    std::cerr << "arborctl: " << message << "\n";
    return kFailed;
}

int FailCode(const std::string& what, int code) {
    return Fail(what + ": " + PDKErrorText(code) + " (" + std::to_string(code) + ")");
}

int Usage(const Command& c, const std::string& message) {
    std::cerr << "arborctl " << c.name << ": " << message << "\n"
              << "Try 'arborctl " << c.name << " --help'.\n";
    return kUsage;
}

bool ReadSecret(const std::string& file, std::string& out, std::string& error) {
    out.clear();
    std::string line;
    if (file == "-") {
        // Keep a typed password off the screen.
        termios old{};
        const bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &old) == 0;
        if (tty) {
            termios quiet = old;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
            std::cerr << "Password: " << std::flush;
        }
        std::getline(std::cin, line);
        if (tty) {
            tcsetattr(STDIN_FILENO, TCSANOW, &old);
            std::cerr << "\n";
        }
    } else {
        std::ifstream f(file);
        if (!f) {
            error = "cannot read the password file '" + file + "'";
            return false;
        }
        std::getline(f, line);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        error = "the password is empty";
        return false;
    }
    if (line.size() > kMaxSecret) {
        error = "the password is longer than " + std::to_string(kMaxSecret) + " bytes";
        return false;
    }
    out = std::move(line);
    return true;
}

bool Args::Has(std::string_view name) const {
    for (const auto& [k, v] : options)
        if (k == name) return true;
    return false;
}

std::string Args::get(std::string_view name, const std::string& dflt) const {
    for (const auto& [k, v] : options)
        if (k == name) return v;
    return dflt;
}

std::vector<std::string> Args::All(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : options)
        if (k == name) out.push_back(v);
    return out;
}

int ParseOrUsage(const Command& self, const std::vector<std::string>& in,
                 const std::vector<std::string>& withValue, const std::vector<std::string>& flags,
                 Args& out) {
    std::string error;
    return ParseArgs(in, withValue, flags, out, error) ? kOk : Usage(self, error);
}

bool ParseArgs(const std::vector<std::string>& in, const std::vector<std::string>& withValue,
               const std::vector<std::string>& flags, Args& out, std::string& error) {
    out = Args{};
    bool onlyPositional = false;
    for (size_t i = 0; i < in.size(); ++i) {
        const std::string& a = in[i];
        if (onlyPositional || a.size() < 2 || a.compare(0, 2, "--") != 0) {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPositional = true;
            continue;
        }
        std::string name = a.substr(2), value;
        const size_t eq = name.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        auto listed = [&](const std::vector<std::string>& l) {
            for (const auto& x : l)
                if (x == name) return true;
            return false;
        };
        if (listed(flags)) {
            if (inlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
        } else if (listed(withValue)) {
            if (!inlineValue) {
                if (i + 1 >= in.size()) {
                    error = "option --" + name + " needs a value";
                    return false;
                }
                value = in[++i];
            }
        } else {
            error = "unknown option --" + name;
            return false;
        }
        out.options.emplace_back(name, value);
    }
    return true;
}

Directory::~Directory() {
    if (ctx_) DDCFreeContext(ctx_);
}

int Directory::Open(const Cli& cli, bool readOnly) {
    if (int rc = DDCCreateContext(1, &ctx_)) return FailCode("cannot make a directory context", rc);
    if (int rc = readOnly ? PDKLoginMaintenanceRead(ctx_) : PDKLoginMaintenance(ctx_)) {
        if (rc == DDCERR_NO_REFERRALS)
            return Fail("no directory at " + cli.storePath + " (run 'arborctl init' first)");
        if (rc == DDCERR_NO_ACCESS)
            return Fail(std::string("no permission to ") + (readOnly ? "read" : "change") +
                        " the directory at " + cli.storePath);
        return FailCode("cannot open the directory at " + cli.storePath, rc);
    }
    char tree[KDX_TREE_NAME_SIZE], dn[KDX_SERVER_DN_SIZE];
    if (KDXConfReadServerDN(cli.confPath.c_str(), tree, sizeof tree, dn, sizeof dn) == 1) {
        std::string s = dn;
        const size_t cut = s.rfind('\\');
        base_ = cut == 0 ? "\\" : s.substr(0, cut);
    } else {
        base_ = "\\";
        if (::access(cli.confPath.c_str(), F_OK) == 0)
            std::cerr << "arborctl: warning: " << cli.confPath
                      << " does not name exactly one tree, server and context; "
                         "names are taken from the root\n";
    }
    if (int rc = DDCSetContextBaseDN(ctx_, base_.c_str(), DDCSlashDelims)) {
        return FailCode("bad server context in " + cli.confPath, rc);
    }
    return kOk;
}

int Directory::Read(const std::string& object, const std::string& attr,
                    std::vector<std::string>& out) {
    out.clear();
    if (int rc = DDCResolveName(ctx_, DDC_RESOLVE_FOR_READ, object.c_str())) return rc;
    const void* names[] = {attr.c_str(), nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    int rc = DDCReadToCB(
        ctx_, &req, 1, 0,
        [](DDCContextHandle, const DDCEntry* e, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->emplace_back(
                static_cast<const char*>(e->value));
            return 0;
        },
        &out);
    return rc == DDCERR_NO_SUCH_ATTRIBUTE ? 0 : rc;
}

int Directory::SyntaxOf(const std::string& attr, uint32_t& syntax) {
    DDCAttrDef def{};
    if (int rc = PDKGetAttributeDefinition(ctx_, attr.c_str(), &def)) return rc;
    syntax = def.syntax;
    return 0;
}

int Directory::Write(const std::string& object, const std::string& attr,
                     const std::vector<std::string>& values) {
    uint32_t syntax;
    if (int rc = SyntaxOf(attr, syntax)) return rc;
    if (syntax == DDC_SYN_ACL) syntax = DDC_SYN_TEXT; // written in its text form
    std::vector<DDCEntry> entries(values.size() + 1);
    entries[0].operation = DDC_OP_CLEAR;
    entries[0].attrName = attr.c_str();
    for (size_t i = 0; i < values.size(); ++i) {
        DDCEntry& e = entries[i + 1];
        e.operation = DDC_OP_WRITE_VALUE;
        e.syntax = syntax;
        e.attrName = attr.c_str();
        e.value = values[i].c_str();
        e.length = static_cast<uint32_t>(values[i].size());
    }
    if (int rc = DDCResolveName(ctx_, DDC_RESOLVE_FOR_WRITE, object.c_str())) return rc;
    return DDCModifyEntry(ctx_, static_cast<uint32_t>(entries.size()), entries.data());
}

namespace {

void PrintOverview() {
    std::cout << "Usage: arborctl [--conf FILE] [--store FILE] COMMAND [ARGS...]\n\n"
                 "Sets up and inspects the directory that the messaging server's programs\n"
                 "share. Object names are full (\\TREE\\org\\sales\\alice), relative to this\n"
                 "server's container (alice), or dotted (CN=alice.OU=sales.O=org).\n\n"
                 "Commands:\n";
    for (const auto& c : Commands()) {
        std::printf("  %-10s %s\n", c.name, c.summary);
    }
    std::cout << "\nGlobal options:\n"
                 "  --conf FILE   configuration file (default: $ARBOR_CONF or /etc/arbor.conf)\n"
                 "  --store FILE  directory store (default: $ARBOR_DIRECTORY, the\n"
                 "                arbor.directory.store line of the configuration file, or\n"
                 "                /var/lib/arbor/directory.db)\n\n"
                 "  --version     the release\n\n"
                 "'arborctl COMMAND --help' describes a command.\n";
}

} // namespace

} // namespace arborctl

int main(int argc, char** argv) {
    using namespace arborctl;
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    // Global options come before the command; they reach the library
    // through the environment that every program of the system reads.
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string name, value;
        if (a == "--conf" || a == "--store") {
            if (i + 1 >= args.size()) {
                std::cerr << "arborctl: option " << a << " needs a value\n";
                return kUsage;
            }
            name = a;
            value = args[++i];
        } else if (a.rfind("--conf=", 0) == 0 || a.rfind("--store=", 0) == 0) {
            name = a.substr(0, a.find('='));
            value = a.substr(a.find('=') + 1);
        } else {
            break;
        }
        if (value.empty()) {
            std::cerr << "arborctl: option " << name << " needs a value\n";
            return kUsage;
        }
        setenv(name == "--conf" ? "ARBOR_CONF" : "ARBOR_DIRECTORY", value.c_str(), 1);
    }
    if (i < args.size() && args[i] == "--version") {
        std::cout << "arborctl " ARBOR_VERSION "\n";
        return kOk;
    }
    if (i >= args.size() || args[i] == "--help" || args[i] == "-h" || args[i] == "help") {
        if (i + 1 < args.size() && args[i] == "help") {
            args[i] = args[i + 1];
            args[i + 1] = "--help";
        } else {
            PrintOverview();
            return i >= args.size() ? kUsage : kOk;
        }
    }
    Cli cli;
    cli.confPath = KDXConfPath();
    char store[4096];
    if (PDKGetStorePath(store, sizeof store) != 0) {
        std::cerr << "arborctl: the store path is too long\n";
        return kFailed;
    }
    cli.storePath = store;
    for (const auto& c : Commands()) {
        if (args[i] != c.name) continue;
        std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
        for (const auto& a : rest) {
            if (a == "--") break; // what follows is data, "-h" included
            if (a == "--help" || a == "-h") {
                std::cout << c.help;
                return kOk;
            }
        }
        return c.run(cli, rest);
    }
    std::cerr << "arborctl: unknown command '" << args[i] << "'\nTry 'arborctl --help'.\n";
    return kUsage;
}
