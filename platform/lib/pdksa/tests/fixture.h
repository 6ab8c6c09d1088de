// Test fixture: a fresh store in a temporary directory with a small tree
// \ACME\org\sales, and helpers that speak the byte-string form.
#pragma once

#include "ldap_fixture.h"
#include "pdksa.h"
#include "sample_tree.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace pdksatest {

using Strings = std::vector<std::string>;

// Entries whose strings live as long as the builder.
struct Entries {
    std::vector<DDCEntry> list;
    std::deque<std::string> keep;
    std::deque<DDCACL> acls;

    Entries& Add(uint32_t op, const std::string& attr, const std::string& value,
                 uint32_t syntax = DDC_SYN_TEXT) {
        DDCEntry e{};
        e.operation = op;
        e.syntax = syntax;
        e.attrName = keep.emplace_back(attr).c_str();
        e.value = keep.emplace_back(value).c_str();
        e.length = static_cast<uint32_t>(value.size());
        list.push_back(e);
        return *this;
    }
    Entries& clear(const std::string& attr) {
        DDCEntry e{};
        e.operation = DDC_OP_CLEAR;
        e.attrName = keep.emplace_back(attr).c_str();
        list.push_back(e);
        return *this;
    }
    Entries& Acl(uint32_t op, uint32_t priv, const std::string& protectedAttr,
                 const std::string& trustee) {
        DDCACL& a = acls.emplace_back();
        a.privileges = priv;
        a.protectedAttrName = keep.emplace_back(protectedAttr).c_str();
        a.trusteeName = keep.emplace_back(trustee).c_str();
        DDCEntry e{};
        e.operation = op;
        e.syntax = DDC_SYN_ACL;
        e.attrName = keep.emplace_back("ACL").c_str();
        e.value = &a;
        e.length = 12;
        list.push_back(e);
        return *this;
    }
    uint32_t N() const { return static_cast<uint32_t>(list.size()); }
    const DDCEntry* data() const { return list.data(); }
};

class DirTest : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"pdksa-test"};
    std::filesystem::path dir = tmp.Path();
    arbortest::SampleTree tree = arbortest::SampleTree(dir.string()).WithoutConfig();
    std::string store = tree.store;
    DDCContextHandle admin = 0;
    std::vector<DDCContextHandle> owned;
    Slapd slapd;

    static bool OnLdap() { return arbortest::TestRunOnLdap(); }

    void SetUp() override {
        if (OnLdap()) {
            ASSERT_EQ(slapd.StartForTestRun((dir / "slapd").string()), "");
            store = tree.store = slapd.Url();
        }
        ASSERT_EQ(tree.Build(), 0);
        admin = Context();
        ASSERT_EQ(PDKLoginMaintenance(admin), 0);
    }

    void TearDown() override {
        for (auto c : owned)
            DDCFreeContext(c);
    }

    DDCContextHandle Context() {
        DDCContextHandle c = 0;
        EXPECT_EQ(DDCCreateContext(1, &c), 0);
        owned.push_back(c);
        return c;
    }

    static int Create(DDCContextHandle c, const std::string& name, const std::string& cls,
                      Entries extra = {}) {
        extra.Add(0, "Object Class", cls, DDC_SYN_CLASS_NAME);
        return DDCCreateEntry(c, name.c_str(), extra.N(), extra.data());
    }

    static int Modify(DDCContextHandle c, const std::string& name, const Entries& e) {
        if (int rc = DDCResolveName(c, DDC_RESOLVE_FOR_WRITE, name.c_str())) return rc;
        return DDCModifyEntry(c, e.N(), e.data());
    }

    // Grants trustee the rights priv on attr (or on the entry, with
    // DDC_ACL_ENTRY_RIGHTS) at the object on, through the context by.
    static int Grant(DDCContextHandle by, const std::string& on, uint32_t priv,
                     const std::string& attr, const std::string& trustee) {
        return Modify(by, on, Entries().Acl(DDC_OP_ADD_VALUE, priv, attr, trustee));
    }

    // A copy of c (base and login included), freed at the end of the test.
    DDCContextHandle Copy(DDCContextHandle c) {
        DDCContextHandle copy = 0;
        EXPECT_EQ(DDCDuplicateContext(c, &copy), 0);
        owned.push_back(copy);
        return copy;
    }

    int DefineAttr(const char* name, uint32_t syntax, uint32_t flags = 0, uint32_t lo = 0,
                   uint32_t hi = 0) {
        DDCAttrDef d{flags, syntax, lo, hi, 0, 0};
        return DDCDefineAttribute(admin, name, &d);
    }

    bool Exists(const std::string& name) {
        return DDCResolveName(admin, DDC_RESOLVE_FOR_READ, name.c_str()) == 0;
    }

    // One text of the entry information of c's current object; "" on failure.
    static std::string Info(DDCContextHandle c, uint32_t which) {
        alignas(8) char out[1024];
        const char* p = "";
        if (DDCGetEntryInfo(c, which, sizeof out, out) != 0)
            ADD_FAILURE() << "no entry information " << which;
        else
            std::memcpy(&p, out, sizeof p);
        return p;
    }

    // Values of one attribute, byte-string context; the code on failure.
    static int Read(DDCContextHandle c, const std::string& name, const std::string& attr,
                    std::vector<std::string>& out) {
        return arbortest::ReadValues(c, name, attr, out);
    }

    std::vector<std::string> Values(const std::string& name, const std::string& attr) {
        std::vector<std::string> out;
        int rc = Read(admin, name, attr, out);
        if (rc != 0 && rc != DDCERR_NO_SUCH_ATTRIBUTE) ADD_FAILURE() << "read failed " << rc;
        return out;
    }

    // The names below an object, listed in batches of at most size bytes; each
    // sees every name before the next batch is asked for. Char is char16_t on a
    // context in the UTF-16 form.
    template <class Char = char>
    static std::vector<std::basic_string<Char>>
    List(DDCContextHandle c, const Char* name, size_t size = 4096, const char* cls = nullptr,
         const char* pattern = nullptr,
         const std::function<void(const std::basic_string<Char>&)>& each = {}) {
        std::vector<std::basic_string<Char>> out;
        EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_FOR_READ, name), 0);
        DDCListRequest req{0, 0, 1, 0, cls, pattern, 0, 0};
        alignas(8) unsigned char buf[16384];
        int32_t n = 0;
        for (int guard = 0; guard < 100; ++guard) {
            EXPECT_EQ(DDCListToBuffer(c, &req, 8192, std::min(size, sizeof buf), buf, &n), 0);
            if (n <= 0) break;
            for (int32_t i = 0; i < n; ++i) {
                const Char* p;
                std::memcpy(&p, buf + i * sizeof p, sizeof p);
                out.emplace_back(p);
                if (each) each(out.back());
            }
        }
        return out;
    }

    // A user with a password, logged in on a new context.
    DDCContextHandle UserLogin(const std::string& name, const std::string& pw) {
        if (DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, name.c_str()) != 0) {
            EXPECT_EQ(Create(admin, name, "User"), 0);
        }
        EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, name.c_str()), 0);
        EXPECT_EQ(DDCGenerateKeyPair(admin, pw.c_str()), 0);
        DDCContextHandle c = Context();
        EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, name.c_str()), 0);
        EXPECT_EQ(DDCLogin(c, pw.c_str()), 0);
        return c;
    }
};

} // namespace pdksatest
