#include "testtree.h"

#include "kdxcommon.h"

#include <pdksa.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;

namespace kdxtest {

namespace {

DDCEntry textValue(const char* attr, const void* value, uint32_t syntax = DDC_SYN_TEXT) {
    DDCEntry e{};
    e.operation = DDC_OP_ADD_VALUE;
    e.syntax = syntax;
    e.attrName = attr;
    e.value = value;
    return e;
}

int create(DDCContextHandle c, const std::string& name, const char* cls) {
    DDCEntry e = textValue("Object Class", cls, DDC_SYN_CLASS_NAME);
    return DDCCreateEntry(c, name.c_str(), 1, &e);
}

class Context {
  public:
    Context() {
        err_ = DDCCreateContext(1, &c_);
        if (err_ == 0) err_ = PDKLoginMaintenance(c_);
    }
    ~Context() {
        if (c_ != 0) DDCFreeContext(c_);
    }
    DDCContextHandle get() const { return c_; }
    int err() const { return err_; }

  private:
    DDCContextHandle c_ = 0;
    int err_ = 0;
};

#define TRY(expr)                                                                                  \
    do {                                                                                           \
        int rc_ = (expr);                                                                          \
        if (rc_ != 0) {                                                                            \
            std::fprintf(stderr, "testtree: %s failed: %d\n", #expr, rc_);                         \
            return rc_;                                                                            \
        }                                                                                          \
    } while (0)

} // namespace

TestTree TestTree::prepare() {
    TestTree t;
    char tmpl[] = "/tmp/kdxtreeXXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    t.dir = tmpl;
    t.store = (t.dir / "directory.db").string();
    t.conf = (t.dir / "arbor.conf").string();
    std::ofstream(t.conf) << "orb.base.tree-name=" << kTree
                          << "\norb.arbor.server-name=MAIL1\n"
                             "orb.arbor.server-context=ou=sales.o=org\n"
                             "arbor.directory.store="
                          << t.store << "\n";
    return t;
}

void TestTree::useEnvironment() const {
    setenv("ARBOR_CONF", conf.c_str(), 1);
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
}

void TestTree::remove() const {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

int TestTree::build() const {
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    TRY(PDKCreateStore(store.c_str()));
    Context ctx;
    TRY(ctx.err());
    DDCContextHandle c = ctx.get();

    DDCAttrDef text{0, DDC_SYN_TEXT, 0, 0, 0, 0};
    DDCAttrDef name{0, DDC_SYN_DIST_NAME, 0, 0, 0, 0};
    DDCAttrDef single{DDC_ATTRDEF_SINGLE_VALUED, DDC_SYN_TEXT, 0, 0, 0, 0};
    TRY(DDCDefineAttribute(c, "KDXTest:Text", &text));
    TRY(DDCDefineAttribute(c, "KDXTest:Member", &name));
    TRY(DDCDefineAttribute(c, "KDXTest:Single", &single));
    const void* top[] = {"Top", nullptr};
    const void* cn[] = {"CN", nullptr};
    const void* where[] = {"Tree Root", "Organization", "Organizational Unit", nullptr};
    const void* whereItem[] = {"Tree Root", "Organization", "Organizational Unit",
                               "KDXTest:Services", nullptr};
    const void* optional[] = {"KDXTest:Text", "KDXTest:Member", "KDXTest:Single", "CN", nullptr};
    DDCClassDef services{
        DDC_CLASS_CONTAINER | DDC_CLASS_EFFECTIVE, 0, 0, top, where, cn, nullptr, optional, 0};
    TRY(DDCDefineClass(c, "KDXTest:Services", &services));
    DDCClassDef item = services;
    item.containment = whereItem;
    TRY(DDCDefineClass(c, "KDXTest:Item", &item));

    TRY(create(c, std::string("\\") + kTree, "Tree Root"));
    TRY(create(c, std::string("\\") + kTree + "\\org", "Organization"));
    TRY(create(c, std::string("\\") + kTree + "\\org\\sales", "Organizational Unit"));
    {
        DDCEntry e[2] = {textValue("Object Class", "TWP Server", DDC_SYN_CLASS_NAME),
                         textValue("Network Address", "127.0.0.1")};
        TRY(DDCCreateEntry(c, kServerDN, 2, e));
    }
    TRY(create(c, kServices, "KDXTest:Services"));

    char pw[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(pw, sizeof pw);
    TRY(DDCResolveName(c, 68, kServices));
    TRY(DDCGenerateKeyPair(c, pw));

    // The rights the setup tool grants the login object at the tree root.
    DDCACL entry{31, DDC_ACL_ENTRY_RIGHTS, kServices};
    DDCACL attrs{47, DDC_ACL_ALL_ATTRIBUTES, kServices};
    DDCEntry acl[2] = {textValue("ACL", &entry, DDC_SYN_ACL),
                       textValue("ACL", &attrs, DDC_SYN_ACL)};
    acl[0].length = acl[1].length = 12;
    TRY(DDCResolveName(c, 68, (std::string("\\") + kTree).c_str()));
    TRY(DDCModifyEntry(c, 2, acl));
    return 0;
}

int TestTree::addItems(const std::string& container, const std::string& prefix, int n) const {
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    Context ctx;
    TRY(ctx.err());
    for (int i = 0; i < n; ++i)
        TRY(create(ctx.get(), container + "\\" + prefix + std::to_string(i), "KDXTest:Item"));
    return 0;
}

int run(const std::string& command, std::string& out) {
    out.clear();
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace kdxtest
