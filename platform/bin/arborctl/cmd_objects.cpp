// Commands on objects: adduser, show, list, set, passwd, remove.
#include "arborctl.h"

#include "ascii.h"

#include <cstring>
#include <iostream>
#include <map>

namespace arborctl {
namespace {

constexpr const char* kEmailAttr = "Velmora:EMail Address";

// ---- adduser ----

// The directory takes "x=alice" as "alice": a name part's type prefix must be
// one the names of this tree use, so that a typo is not silently dropped.
bool KnownTypes(const std::string& name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        // Parts end at an unescaped backslash or dot.
        while (end < name.size() && name[end] != '\\' && name[end] != '.')
            ++end;
        const std::string part = name.substr(start, end - start);
        const size_t eq = part.find('=');
        if (eq != std::string::npos) {
            const std::string type = arbor::Upper(part.substr(0, eq));
            if (type != "CN" && type != "OU" && type != "O" && type != "T") return false;
        }
        start = end + 1;
    }
    return true;
}

constexpr const char* kAddUserHelp =
    "Usage: arborctl adduser NAME [--email ADDRESS]... [--surname TEXT]\n"
    "                        [--full-name TEXT] [--password-file FILE]\n\n"
    "Adds a user object NAME (relative names are taken in this server's container)\n"
    "with its e-mail addresses as values of \"Velmora:EMail Address\". That attribute\n"
    "belongs to the messaging product's schema: run the setup tool first, or add\n"
    "the user without --email. The password is the first line of FILE ('-' for\n"
    "standard input); without --password-file the user has no password and cannot\n"
    "log in. On any error nothing is created.\n";

int AddUser(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"adduser", "", kAddUserHelp, nullptr};
    Args a;
    if (int rc =
            ParseOrUsage(self, argv, {"email", "surname", "full-name", "password-file"}, {}, a))
        return rc;
    if (a.positional.size() != 1) return Usage(self, "give exactly one NAME");
    const std::string name = a.positional[0];
    if (!KnownTypes(name))
        return Fail("'" + name + "': a typed name part must be CN=, OU=, O= or T=");
    const auto emails = a.All("email");
    for (const auto& e : emails) {
        if (e.empty() || e.find('@') == std::string::npos ||
            e.find_first_of(" \t\r\n") != std::string::npos)
            return Fail("'" + e + "' is not an e-mail address");
    }
    std::string password, error;
    if (a.Has("password-file") && !ReadSecret(a.get("password-file"), password, error))
        return Fail(error);
    Directory d;
    if (int rc = d.Open(cli)) return rc;
    if (!emails.empty()) {
        uint32_t syntax;
        if (d.SyntaxOf(kEmailAttr, syntax) != 0)
            return Fail(std::string("the directory schema has no \"") + kEmailAttr +
                        "\" attribute yet: run the setup tool to extend the schema, or add the "
                        "user without --email");
    }
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& e : emails)
        values.emplace_back(kEmailAttr, e);
    if (a.Has("surname")) values.emplace_back("Surname", a.get("surname"));
    if (a.Has("full-name")) values.emplace_back("Full Name", a.get("full-name"));
    std::vector<DDCEntry> entries(values.size() + 1);
    entries[0].syntax = DDC_SYN_CLASS_NAME;
    entries[0].attrName = "Object Class";
    entries[0].value = "User";
    for (size_t i = 0; i < values.size(); ++i) {
        entries[i + 1].syntax = DDC_SYN_TEXT;
        entries[i + 1].attrName = values[i].first.c_str();
        entries[i + 1].value = values[i].second.c_str();
    }
    int rc = DDCCreateEntry(d.Ctx(), name.c_str(), static_cast<uint32_t>(entries.size()),
                            entries.data());
    if (rc == DDCERR_ILLEGAL_ATTRIBUTE && !emails.empty())
        return Fail(std::string("users may not hold \"") + kEmailAttr +
                    "\" values in this schema (the setup tool attaches it to the User class)");
    if (rc) return FailCode("cannot add " + name, rc);
    if (!password.empty()) {
        // The new object is current; take it out again if its password fails.
        if ((rc = DDCGenerateKeyPair(d.Ctx(), password.c_str())) != 0) {
            DDCRemoveEntry(d.Ctx(), name.c_str());
            return FailCode("cannot set the password of " + name, rc);
        }
    }
    alignas(8) char info[1024];
    const char* full = name.c_str();
    DDCContextHandle c = d.Ctx();
    DDCSetContextBaseDN(c, nullptr, DDCSlashDelims);
    if (DDCGetEntryInfo(c, DDC_INFO_NAME, sizeof info, info) == 0)
        std::memcpy(&full, info, sizeof full);
    std::cout << "Added user " << full << "\n";
    return kOk;
}

// ---- show ----

constexpr const char* kShowHelp =
    "Usage: arborctl show NAME\n\n"
    "Prints the object's full name and class and every value of its attributes,\n"
    "one per line, in the order the directory keeps them.\n";

int Show(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"show", "", kShowHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, {}, {}, a)) return rc;
    if (a.positional.size() != 1) return Usage(self, "give exactly one NAME");
    Directory d;
    if (int rc = d.Open(cli, true)) return rc;
    const std::string& name = a.positional[0];
    if (int rc = DDCResolveName(d.Ctx(), DDC_RESOLVE_FOR_READ, name.c_str()))
        return FailCode(name, rc);
    DDCSetContextBaseDN(d.Ctx(), nullptr, DDCSlashDelims); // full names from here on
    alignas(8) char info[2048];
    if (int rc = DDCGetEntryInfo(d.Ctx(), DDC_INFO_BASE_CLASS | DDC_INFO_NAME, sizeof info, info))
        return FailCode(name, rc);
    const char* texts[2];
    std::memcpy(texts, info, sizeof texts);
    std::cout << texts[1] << "\n  class: " << texts[0] << "\n";
    DDCReadRequest req{0, nullptr, 0, 0, 0};
    std::vector<std::pair<std::string, std::string>> vals;
    int rc = DDCReadToCB(
        d.Ctx(), &req, 1, 0,
        [](DDCContextHandle, const DDCEntry* e, void* arg) {
            static_cast<std::vector<std::pair<std::string, std::string>>*>(arg)->emplace_back(
                static_cast<const char*>(e->attrName), static_cast<const char*>(e->value));
            return 0;
        },
        &vals);
    if (rc != 0 && rc != DDCERR_NO_SUCH_ATTRIBUTE) return FailCode(name, rc);
    for (const auto& [attr, value] : vals)
        std::cout << "  " << attr << ": " << value << "\n";
    return kOk;
}

// ---- list ----

constexpr const char* kListHelp =
    "Usage: arborctl list [NAME] [--class CLASS]\n\n"
    "Lists the objects directly below NAME (default: this server's container)\n"
    "with their classes, optionally only those of CLASS.\n";

int List(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"list", "", kListHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, {"class"}, {}, a)) return rc;
    if (a.positional.size() > 1) return Usage(self, "give at most one NAME");
    Directory d;
    if (int rc = d.Open(cli, true)) return rc;
    const std::string name = a.positional.empty() ? "." : a.positional[0];
    const std::string cls = a.get("class");
    if (int rc = DDCResolveName(d.Ctx(), DDC_RESOLVE_FOR_READ, name.c_str()))
        return FailCode(name, rc);
    DDCListRequest req{0, 0, 1, 0, cls.empty() ? nullptr : cls.c_str(), nullptr, 0, 0};
    std::vector<std::string> names;
    alignas(8) unsigned char buf[16384];
    for (;;) {
        int32_t n = 0;
        if (int rc = DDCListToBuffer(d.Ctx(), &req, 8192, sizeof buf, buf, &n))
            return FailCode(name, rc);
        if (n == 0) break;
        for (int32_t i = 0; i < n; ++i) {
            const char* p;
            std::memcpy(&p, buf + static_cast<size_t>(i) * sizeof p, sizeof p);
            names.emplace_back(p);
        }
    }
    // The container's full name, then each subordinate's class.
    alignas(8) char info[2048];
    DDCSetContextBaseDN(d.Ctx(), nullptr, DDCSlashDelims);
    if (DDCGetEntryInfo(d.Ctx(), DDC_INFO_NAME, sizeof info, info) != 0) return Fail(name);
    const char* full;
    std::memcpy(&full, info, sizeof full);
    const std::string container = full;
    std::cout << container << ": " << names.size() << (names.size() == 1 ? " object" : " objects")
              << "\n";
    for (const auto& n : names) {
        const std::string child = (container == "\\" ? "" : container) + "\\" + n;
        const char* c = "?";
        if (DDCResolveName(d.Ctx(), DDC_RESOLVE_FOR_READ, child.c_str()) == 0 &&
            DDCGetEntryInfo(d.Ctx(), DDC_INFO_BASE_CLASS, sizeof info, info) == 0)
            std::memcpy(&c, info, sizeof c);
        std::printf("  %-32s %s\n", n.c_str(), c);
    }
    return kOk;
}

// ---- set ----

constexpr const char* kSetHelp =
    "Usage: arborctl set NAME ATTRIBUTE VALUE...      replace all values\n"
    "       arborctl set NAME ATTRIBUTE --add VALUE...\n"
    "       arborctl set NAME ATTRIBUTE --remove VALUE...\n"
    "       arborctl set NAME ATTRIBUTE --clear\n\n"
    "Changes the values of one attribute of any kind the schema defines at that\n"
    "time, in one step: all or nothing. Values that name objects may be full or\n"
    "relative names; rights (\"ACL\") are written as PRIVILEGES#ATTRIBUTE#TRUSTEE.\n";

int Set(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"set", "", kSetHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, {}, {"add", "remove", "clear"}, a)) return rc;
    const int modes = a.Has("add") + a.Has("remove") + a.Has("clear");
    if (modes > 1) return Usage(self, "give at most one of --add, --remove and --clear");
    if (a.positional.size() < 2) return Usage(self, "give NAME and ATTRIBUTE");
    const std::string name = a.positional[0], attr = a.positional[1];
    const std::vector<std::string> values(a.positional.begin() + 2, a.positional.end());
    if (a.Has("clear") && !values.empty()) return Usage(self, "--clear takes no values");
    if (!a.Has("clear") && values.empty()) return Usage(self, "give at least one VALUE");
    Directory d;
    if (int rc = d.Open(cli)) return rc;
    uint32_t syntax;
    if (d.SyntaxOf(attr, syntax) != 0)
        return Fail("the schema defines no attribute \"" + attr + "\"");
    if (syntax == DDC_SYN_ACL) syntax = DDC_SYN_TEXT;
    int rc;
    if (a.Has("add") || a.Has("remove")) {
        std::vector<DDCEntry> entries(values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            entries[i].operation = a.Has("add") ? DDC_OP_ADD_VALUE : DDC_OP_REMOVE_VALUE;
            entries[i].syntax = syntax;
            entries[i].attrName = attr.c_str();
            entries[i].value = values[i].c_str();
        }
        rc = DDCResolveName(d.Ctx(), DDC_RESOLVE_FOR_WRITE, name.c_str());
        if (rc == 0)
            rc = DDCModifyEntry(d.Ctx(), static_cast<uint32_t>(entries.size()), entries.data());
    } else {
        rc = d.Write(name, attr, values);
    }
    if (rc) return FailCode(name + ", " + attr, rc);
    return kOk;
}

// ---- passwd ----

constexpr const char* kPasswdHelp =
    "Usage: arborctl passwd NAME [--password-file FILE]\n\n"
    "Sets the password of object NAME to the first line of FILE, or of standard\n"
    "input. Only a salted hash is kept.\n";

int Passwd(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"passwd", "", kPasswdHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, {"password-file"}, {}, a)) return rc;
    if (a.positional.size() != 1) return Usage(self, "give exactly one NAME");
    std::string password, error;
    if (!ReadSecret(a.get("password-file", "-"), password, error)) return Fail(error);
    Directory d;
    if (int rc = d.Open(cli)) return rc;
    const std::string& name = a.positional[0];
    if (int rc = DDCResolveName(d.Ctx(), DDC_RESOLVE_FOR_WRITE, name.c_str()))
        return FailCode(name, rc);
    if (int rc = DDCGenerateKeyPair(d.Ctx(), password.c_str())) return FailCode(name, rc);
    return kOk;
}

// ---- remove ----

constexpr const char* kRemoveHelp =
    "Usage: arborctl remove NAME\n\n"
    "Removes object NAME, which must have no subordinates. Values of other objects\n"
    "that name it go with it.\n";

int Remove(Cli& cli, const std::vector<std::string>& argv) {
    static const Command self{"remove", "", kRemoveHelp, nullptr};
    Args a;
    if (int rc = ParseOrUsage(self, argv, {}, {}, a)) return rc;
    if (a.positional.size() != 1) return Usage(self, "give exactly one NAME");
    Directory d;
    if (int rc = d.Open(cli)) return rc;
    if (int rc = DDCRemoveEntry(d.Ctx(), a.positional[0].c_str()))
        return FailCode(a.positional[0], rc);
    return kOk;
}

ARBORCTL_COMMAND(kAddUser, "adduser", "add a user with e-mail addresses", kAddUserHelp, AddUser);
ARBORCTL_COMMAND(kShow, "show", "show an object and its attributes", kShowHelp, Show);
ARBORCTL_COMMAND(kList, "list", "list the objects in a container", kListHelp, List);
ARBORCTL_COMMAND(kSet, "set", "set, add, remove or clear attribute values", kSetHelp, Set);
ARBORCTL_COMMAND(kPasswd, "passwd", "set an object's password", kPasswdHelp, Passwd);
ARBORCTL_COMMAND(kRemove, "remove", "remove an object", kRemoveHelp, Remove);

} // namespace
} // namespace arborctl
