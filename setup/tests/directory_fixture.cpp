#include "directory_fixture.h"

#include "pdksa.h"
#include "sample_tree.h"

#include <cstring>

namespace quilltest {

void DirectoryTest::SetUp() {
    // The directory is made the way an administrator makes one: with arborctl init,
    // which also writes the configuration file.
    const arbortest::SampleTree tree =
        arbortest::SampleTree(dir_.string()).WithServer("tcp:127.0.0.1:689");
    store_ = tree.store;
    conf_ = tree.conf;
    ASSERT_EQ(tree.BuildWithArborctl(kAdminPassword), 0);
    ASSERT_TRUE(quill::Site::FromConfig(site_));
    admin_ = AdminContext();
}

void DirectoryTest::TearDown() {
    for (DDCContextHandle c : contexts_)
        DDCFreeContext(c);
}

DDCContextHandle DirectoryTest::AdminContext() {
    return LoginAs("\\ACME\\org\\Admin", kAdminPassword);
}

DDCContextHandle DirectoryTest::LoginAs(const std::string& name, const std::string& password) {
    DDCContextHandle c = 0;
    EXPECT_EQ(DDCCreateContext(1, &c), 0);
    contexts_.push_back(c);
    EXPECT_EQ(DDCSetContextBaseDN(c, "\\ACME", DDCSlashDelims), 0);
    EXPECT_EQ(quill::Login(c, name, password), 0) << name;
    return c;
}

std::vector<std::string> DirectoryTest::Values(const std::string& object, const char* attr) {
    std::vector<std::string> out;
    arbortest::ReadValues(admin_, object, attr, out);
    return out;
}

bool DirectoryTest::Exists(const std::string& object) {
    return DDCResolveName(admin_, DDC_RESOLVE_FOR_READ, object.c_str()) == 0;
}

int DirectoryTest::Create(const std::string& name, const char* cls) {
    return arbortest::CreateObject(admin_, name, cls);
}

void DirectoryTest::ServerWithOldWebMailAgent(const std::string& server) {
    quill::DefineSchema(admin_, site_, nullptr);
    quill::ServerConfig cfg;
    cfg.msgServerName = site_.msgServerName;
    cfg.officialName = "acme.example";
    cfg.lattice = false;
    quill::CreateServer(admin_, site_, arbortest::kAdminDN, cfg, nullptr);
    ASSERT_EQ(arbortest::CreateObject(
                  admin_, server + "\\WebMail Agent", "Velmora:WebMail Agent",
                  {{"Velmora:Module Name", "WEBMAIL.FLM"},
                   {"Velmora:Module Version", "1"},
                   {"Velmora:Port", "8080"},
                   {"Velmora:SSL Port", "8443"},
                   {"Velmora:REVO Queue Server", server + "\\REVO Agent", DDC_SYN_DIST_NAME}}),
              0);
}

quill::Progress Recorder::Callback() {
    return [this](quill::Step s, std::string_view text) {
        switch (s) {
        case quill::Step::Clear:
            break;
        case quill::Step::Heading:
            lines.emplace_back(text);
            break;
        case quill::Step::Item:
            lines.emplace_back("   " + std::string(text));
            break;
        case quill::Step::Result:
            if (!lines.empty()) lines.back() += text;
            break;
        }
    };
}

int Recorder::Count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines)
        n += l == line;
    return n;
}

int Recorder::CountSuffix(const std::string& suffix) const {
    // " created" must not count " not created", nor " added" count " already added".
    auto ends = [](const std::string& l, const std::string& s) {
        return l.size() >= s.size() && l.compare(l.size() - s.size(), s.size(), s) == 0;
    };
    int n = 0;
    for (const auto& l : lines) {
        if (!ends(l, suffix)) continue;
        std::string_view head(l.data(), l.size() - suffix.size());
        bool longer = false;
        for (const char* p : {" not", " already"})
            if (head.size() >= std::strlen(p) && head.substr(head.size() - std::strlen(p)) == p)
                longer = true;
        n += !longer;
    }
    return n;
}

} // namespace quilltest
