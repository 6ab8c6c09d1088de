// Removing a store: what init undoes when it fails half-way. Nothing of the
// store may be left, and a new one must be creatable in its place.
#include "ldap_client.h"
#include "pdksa.h"
#include "sample_tree.h"
#include "slapd.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

// This suite's slapd port, below the kernel's ephemeral range.
constexpr int kPort = 22626;

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

TEST(RemoveStore, AFileStoreGoesWithItsCompanionsAndCanBeMadeAgain) {
    arbortest::TempDir tmp{"pdksa-remove"};
    arbortest::SampleTree tree(tmp.Str());
    tree.WithServer().WithAdmin().WithoutConfig();
    ASSERT_EQ(tree.Build(), 0);
    ASSERT_TRUE(Exists(tree.store));
    EXPECT_EQ(PDKRemoveStore(tree.store.c_str()), 0);
    for (const char* suffix : {"", "-wal", "-shm", "-gen"})
        EXPECT_FALSE(Exists(tree.store + suffix)) << suffix;
    // Nothing there: nothing to do.
    EXPECT_EQ(PDKRemoveStore(tree.store.c_str()), 0);
    EXPECT_EQ(tree.Build(), 0);
    EXPECT_EQ(PDKRemoveStore(nullptr), DDCERR_INVALID_PARAMETER);
    EXPECT_EQ(PDKRemoveStore(""), DDCERR_INVALID_PARAMETER);
}

// The entries below the suffix, the suffix's own included.
std::vector<std::string> Entries(const arbortest::Slapd& slapd) {
    int rc;
    arbortest::Ldap ld =
        arbortest::LdapConnect(slapd.Env()["URL"], slapd.BindDn(), slapd.Password(), &rc);
    std::vector<std::string> dns;
    if (!ld || rc != LDAP_SUCCESS) return {"no connection"};
    char* attrs[] = {const_cast<char*>("1.1"), nullptr};
    LDAPMessage* raw = nullptr;
    rc = ldap_search_ext_s(ld.get(), slapd.Suffix().c_str(), LDAP_SCOPE_SUBTREE, "(objectClass=*)",
                           attrs, 0, nullptr, nullptr, nullptr, 0, &raw);
    arbortest::LdapMsg res(raw);
    for (LDAPMessage* e = ldap_first_entry(ld.get(), raw); e; e = ldap_next_entry(ld.get(), e)) {
        char* dn = ldap_get_dn(ld.get(), e);
        dns.emplace_back(dn ? dn : "");
        ldap_memfree(dn);
    }
    return dns;
}

TEST(RemoveStore, AnLdapStoreLeavesTheSuffixAsItFoundIt) {
    arbortest::TempDir tmp{"pdksa-remove"};
    arbortest::Slapd slapd;
    ASSERT_EQ(slapd.Start(tmp.Str() + "/slapd", kPort), "");
    slapd.Export();
    // The suffix's entry exists before, as an administrator may have made it.
    {
        int rc;
        auto ld = arbortest::LdapConnect(slapd.Env()["URL"], slapd.BindDn(), slapd.Password(), &rc);
        ASSERT_EQ(rc, LDAP_SUCCESS);
        ASSERT_EQ(arbortest::LdapAddSuffix(ld.get(), slapd.Suffix()), LDAP_SUCCESS);
    }
    arbortest::SampleTree tree(tmp.Str());
    tree.store = slapd.Url();
    tree.WithServer().WithAdmin().WithoutConfig();
    ASSERT_EQ(tree.Build(), 0);
    ASSERT_GT(Entries(slapd).size(), 30u); // the schema's definitions and the tree

    EXPECT_EQ(PDKRemoveStore(slapd.Url().c_str()), 0);
    EXPECT_EQ(Entries(slapd), std::vector<std::string>{slapd.Suffix()});
    EXPECT_EQ(PDKRemoveStore(slapd.Url().c_str()), 0);
    // A new tree in its place, not "already exists".
    EXPECT_EQ(tree.Build(), 0);
}

TEST(RemoveStore, AServerThatIsGoneIsAnError) {
    arbortest::TempDir tmp{"pdksa-remove"};
    arbortest::Slapd slapd;
    ASSERT_EQ(slapd.Start(tmp.Str() + "/slapd", kPort), "");
    slapd.Export();
    const std::string url = slapd.Url();
    ASSERT_TRUE(slapd.Stop());
    EXPECT_NE(PDKRemoveStore(url.c_str()), 0);
}

} // namespace
