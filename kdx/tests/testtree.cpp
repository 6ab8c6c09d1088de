#include "testtree.h"

#include "kdxcommon.h"

#include <pdksa.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kdxtest {

namespace {

DDCEntry Value(const char* attr, const void* value, uint32_t syntax) {
    DDCEntry e{};
    e.operation = DDC_OP_ADD_VALUE;
    e.syntax = syntax;
    e.attrName = attr;
    e.value = value;
    return e;
}

#define TRY(expr)                                                                                  \
    do {                                                                                           \
        int rc_ = (expr);                                                                          \
        if (rc_ != 0) {                                                                            \
            std::fprintf(stderr, "testtree: %s failed: %d\n", #expr, rc_);                         \
            return rc_;                                                                            \
        }                                                                                          \
    } while (0)

int DefineSchema(DDCContextHandle c) {
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
    return 0;
}

} // namespace

TestTree::TestTree() {
    if (!arbortest::TestRunOnLdap()) return;
    const std::string err = slapd.StartForTestRun((dir / "slapd").string());
    if (!err.empty()) std::fprintf(stderr, "testtree: slapd: %s\n", err.c_str());
    // A failed start leaves a URL nobody answers: Build fails, never SQLite.
    store = sample.store = err.empty() ? slapd.Url() : "ldap://127.0.0.1:1/dc=none";
}

int TestTree::Build() const {
    TRY(sample.Build());
    arbortest::MaintenanceContext ctx;
    TRY(ctx.Err());
    DDCContextHandle c = ctx.get();
    TRY(DefineSchema(c));
    TRY(arbortest::CreateObject(c, kServices, "KDXTest:Services"));

    char pw[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(pw, sizeof pw);
    TRY(DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, kServices));
    TRY(DDCGenerateKeyPair(c, pw));

    // The rights the setup tool grants the login object at the tree root.
    DDCACL entry{31, DDC_ACL_ENTRY_RIGHTS, kServices};
    DDCACL attrs{47, DDC_ACL_ALL_ATTRIBUTES, kServices};
    DDCEntry acl[2] = {Value("ACL", &entry, DDC_SYN_ACL), Value("ACL", &attrs, DDC_SYN_ACL)};
    acl[0].length = acl[1].length = 12;
    TRY(DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, arbortest::kTreeDN));
    TRY(DDCModifyEntry(c, 2, acl));
    return 0;
}

int TestTree::AddItems(const std::string& container, const std::string& prefix, int n) const {
    UseEnvironment();
    arbortest::MaintenanceContext ctx;
    TRY(ctx.Err());
    for (int i = 0; i < n; ++i)
        TRY(arbortest::CreateObject(ctx.get(), container + "\\" + prefix + std::to_string(i),
                                    "KDXTest:Item"));
    return 0;
}

} // namespace kdxtest
