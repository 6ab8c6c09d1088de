#include "directory.h"

#include "pdksa.h"
#include "quillschema.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace agenttest {

namespace {

int create(DDCContextHandle ctx, const std::string& name, const char* cls,
           const std::vector<std::pair<const char*, std::string>>& values = {}) {
    std::vector<DDCEntry> e;
    e.push_back({0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls});
    for (const auto& [attr, v] : values)
        e.push_back({0, DDC_SYN_TEXT, 0, 0, attr, 0, 0, v.c_str()});
    return DDCCreateEntry(ctx, name.c_str(), static_cast<uint32_t>(e.size()), e.data());
}

} // namespace

int revoPort() {
    if (getuid() == 0) return 689;
    const char* p = getenv("REVO_PORT");
    return p ? atoi(p) : 17689;
}

std::map<std::string, std::string> directoryEnv(const std::string& dir) {
    std::map<std::string, std::string> env = {{"ARBOR_CONF", dir + "/arbor.conf"},
                                              {"ARBOR_DIRECTORY", dir + "/directory.db"}};
    if (revoPort() != 689) env["REVO_PORT"] = std::to_string(revoPort());
    return env;
}

std::string serverDN(const std::string&) {
    return "\\ACME\\Internet Services\\MAIL1 Messaging Server";
}

bool makeDirectory(const std::string& dir, const std::string& revoAddr,
                   const std::vector<std::pair<std::string, std::string>>& users) {
    const std::string store = dir + "/directory.db", conf = dir + "/arbor.conf";
    std::ofstream(conf) << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
                           "orb.arbor.server-context=ou=sales.o=org\n"
                           "arbor.directory.store="
                        << store << "\n";
    // The store is chosen when a context is made.
    setenv("ARBOR_CONF", conf.c_str(), 1);
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    if (PDKCreateStore(store.c_str()) != 0) return false;
    DDCContextHandle admin = 0;
    if (DDCCreateContext(1, &admin) != 0) return false;
    bool ok = PDKLoginMaintenance(admin) == 0 && create(admin, "\\ACME", "Tree Root") == 0 &&
              create(admin, "\\ACME\\org", "Organization") == 0 &&
              create(admin, "\\ACME\\org\\Admin", "User") == 0 &&
              create(admin, "\\ACME\\org\\sales", "Organizational Unit") == 0 &&
              create(admin, "\\ACME\\org\\sales\\MAIL1", "TWP Server",
                     {{"Network Address", revoAddr}}) == 0;
    if (ok) {
        // What the setup tool makes: schema, "Internet Services", this server.
        quill::Site site;
        ok = quill::Site::FromConfig(site);
        if (ok) {
            quill::DefineSchema(admin, site, nullptr);
            quill::ServerConfig cfg;
            cfg.msgServerName = site.msgServerName;
            cfg.officialName = "example.com";
            quill::CreateServer(admin, site, "\\ACME\\org\\Admin", cfg, nullptr);
        }
        for (const auto& [name, address] : users)
            ok = ok && create(admin, "\\ACME\\org\\sales\\" + name, "User",
                              {{"Velmora:EMail Address", address}}) == 0;
    }
    DDCFreeContext(admin);
    return ok;
}

} // namespace agenttest
