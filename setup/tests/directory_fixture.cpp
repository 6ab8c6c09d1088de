#include "directory_fixture.h"

#include "pdksa.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quilltest {

namespace {
int ModifyOne(DDCContextHandle c, const std::string& name, DDCEntry e) {
    if (int rc = DDCResolveName(c, 68, name.c_str())) return rc;
    return DDCModifyEntry(c, 1, &e);
}
} // namespace

void DirectoryTest::SetUp() {
    char tmpl[] = "/tmp/quillsetup-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    store_ = (dir_ / "directory.db").string();
    conf_ = (dir_ / "arbor.conf").string();
    {
        std::ofstream out(conf_);
        out << "orb.base.tree-name=ACME\n"
            << "orb.arbor.server-name=MAIL1\n"
            << "orb.arbor.server-context=ou=sales.o=org\n"
            << "arbor.directory.store=" << store_ << "\n";
    }
    setenv("ARBOR_CONF", conf_.c_str(), 1);
    setenv("ARBOR_DIRECTORY", store_.c_str(), 1);
    ASSERT_EQ(PDKCreateStore(store_.c_str()), 0);
    DDCContextHandle m = 0;
    ASSERT_EQ(DDCCreateContext(1, &m), 0);
    contexts_.push_back(m);
    ASSERT_EQ(PDKLoginMaintenance(m), 0);
    auto create = [&](const char* name, const char* cls) {
        DDCEntry e{0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls};
        return DDCCreateEntry(m, name, 1, &e);
    };
    ASSERT_EQ(create("\\ACME", "Tree Root"), 0);
    ASSERT_EQ(create("\\ACME\\org", "Organization"), 0);
    ASSERT_EQ(create("\\ACME\\org\\sales", "Organizational Unit"), 0);
    ASSERT_EQ(create("\\ACME\\org\\sales\\MAIL1", "TWP Server"), 0);
    ASSERT_EQ(create("\\ACME\\org\\Admin", "User"), 0);
    ASSERT_EQ(DDCResolveName(m, 68, "\\ACME\\org\\Admin"), 0);
    ASSERT_EQ(DDCGenerateKeyPair(m, kAdminPassword), 0);
    DDCACL acl{DDC_ENTRY_SUPERVISOR | 0x0F, DDC_ACL_ENTRY_RIGHTS, "\\ACME\\org\\Admin"};
    ASSERT_EQ(ModifyOne(m, "\\ACME", {DDC_OP_ADD_VALUE, DDC_SYN_ACL, 0, 12, "ACL", 0, 0, &acl}), 0);
    ASSERT_TRUE(quill::Site::FromConfig(site_));
    admin_ = AdminContext();
}

void DirectoryTest::TearDown() {
    for (DDCContextHandle c : contexts_)
        DDCFreeContext(c);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
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
    if (DDCResolveName(admin_, 66, object.c_str()) != 0) return out;
    const void* names[] = {attr, nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    DDCReadToCB(
        admin_, &req, 1, 10240,
        [](DDCContextHandle, const DDCEntry* e, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->emplace_back(
                static_cast<const char*>(e->value));
            return 0;
        },
        &out);
    return out;
}

bool DirectoryTest::Exists(const std::string& object) {
    return DDCResolveName(admin_, 66, object.c_str()) == 0;
}

int DirectoryTest::Create(const std::string& name, const char* cls) {
    DDCEntry e{0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls};
    return DDCCreateEntry(admin_, name.c_str(), 1, &e);
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
