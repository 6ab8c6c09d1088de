#include "sample_tree.h"

#include "quillschema.h"
#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>

namespace arbortest {

SampleTree::SampleTree(const std::string& dir)
    : store(dir + "/directory.db"), conf(dir + "/arbor.conf") {}

SampleTree& SampleTree::WithServer(std::string address) {
    serverAddress = std::move(address);
    return *this;
}

SampleTree& SampleTree::WithAdmin() {
    admin = true;
    return *this;
}

SampleTree& SampleTree::WithMessaging(std::string address,
                                      std::vector<std::pair<std::string, std::string>> users) {
    serverAddress = std::move(address);
    admin = true;
    messaging = true;
    mailUsers = std::move(users);
    return *this;
}

SampleTree& SampleTree::WithoutConfig() {
    conf.clear();
    return *this;
}

void SampleTree::WriteConfig() const {
    WriteFile(conf, "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
                    "orb.arbor.server-context=ou=sales.o=org\narbor.directory.store=" +
                        store + "\n");
}

void SampleTree::UseEnvironment() const {
    for (const auto& [k, v] : Environment())
        setenv(k.c_str(), v.c_str(), 1);
}

Env SampleTree::Environment() const {
    Env env{{"ARBOR_DIRECTORY", store}};
    if (!conf.empty()) env["ARBOR_CONF"] = conf;
    return env;
}

int SampleTree::Build() const {
    if (!conf.empty()) WriteConfig();
    // The store is chosen when a context is made.
    UseEnvironment();
    if (int rc = PDKCreateStore(store.c_str())) return rc;
    MaintenanceContext ctx;
    if (ctx.Err()) return ctx.Err();
    std::vector<std::pair<std::string, std::string>> objects = {
        {kTreeDN, "Tree Root"}, {kOrgDN, "Organization"}, {kUnitDN, "Organizational Unit"}};
    if (admin) objects.emplace_back(kAdminDN, "User");
    for (const auto& [name, cls] : objects)
        if (int rc = CreateObject(ctx.get(), name, cls)) return rc;
    if (serverAddress.empty()) return 0;
    if (int rc =
            CreateObject(ctx.get(), kServerDN, "TWP Server", {{"Network Address", serverAddress}}))
        return rc;
    return messaging ? AddMessaging(ctx.get()) : 0;
}

int SampleTree::AddMessaging(DDCContextHandle c) const {
    quill::Site site;
    if (!quill::Site::FromConfig(site)) return -1;
    // Their own steps report through progress; the users below fail when
    // these did not do their part.
    quill::DefineSchema(c, site, nullptr);
    quill::ServerConfig cfg;
    cfg.msgServerName = site.msgServerName;
    cfg.officialName = "example.com";
    quill::CreateServer(c, site, kAdminDN, cfg, nullptr);
    for (const auto& [name, address] : mailUsers)
        if (int rc = CreateMailUser(c, std::string(kUnitDN) + "\\" + name, {address})) return rc;
    return 0;
}

int SampleTree::BuildWithArborctl(const std::string& adminPassword) const {
    UseEnvironment();
    const std::string arborctl = Program("platform/bin/arborctl/arborctl");
    const std::string pwFile = store + ".pw";
    WriteFile(pwFile, adminPassword + "\n");
    const std::string address = serverAddress.empty() ? "127.0.0.1" : serverAddress;
    const int rc = Run("'" + arborctl +
                       "' init --tree ACME --context ou=sales.o=org --server MAIL1"
                       " --address '" +
                       address + "' --password-file '" + pwFile + "' >/dev/null");
    std::error_code ec;
    std::filesystem::remove(pwFile, ec);
    return rc;
}

MaintenanceContext::MaintenanceContext() {
    err_ = DDCCreateContext(1, &c_);
    if (err_ == 0) err_ = PDKLoginMaintenance(c_);
}

MaintenanceContext::~MaintenanceContext() {
    if (c_ != 0) DDCFreeContext(c_);
}

int CreateObject(DDCContextHandle c, const std::string& name, const std::string& cls,
                 const std::vector<Value>& values) {
    std::vector<DDCEntry> e;
    e.push_back({0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls.c_str()});
    for (const Value& v : values)
        e.push_back({0, v.syntax, 0, 0, v.attr.c_str(), 0, 0, v.text.c_str()});
    return DDCCreateEntry(c, name.c_str(), static_cast<uint32_t>(e.size()), e.data());
}

int AddValue(DDCContextHandle c, const std::string& name, const Value& v) {
    if (int rc = DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, name.c_str())) return rc;
    DDCEntry e{DDC_OP_ADD_VALUE, v.syntax, 0, 0, v.attr.c_str(), 0, 0, v.text.c_str()};
    return DDCModifyEntry(c, 1, &e);
}

int CreateMailUser(DDCContextHandle c, const std::string& name,
                   const std::vector<std::string>& addresses) {
    std::vector<Value> values;
    for (const auto& a : addresses)
        values.push_back({"Velmora:EMail Address", a});
    return CreateObject(c, name, "User", values);
}

int ReadValues(DDCContextHandle c, const std::string& name, const std::string& attr,
               std::vector<std::string>& out) {
    out.clear();
    if (int rc = DDCResolveName(c, DDC_RESOLVE_FOR_READ, name.c_str())) return rc;
    const void* names[] = {attr.c_str(), nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    return DDCReadToCB(
        c, &req, 1, 10240,
        [](DDCContextHandle, const DDCEntry* e, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->emplace_back(
                static_cast<const char*>(e->value));
            return 0;
        },
        &out);
}

} // namespace arbortest
