// The sample tree as a configured server sees it, and what libkdx logs in
// with: the login object "Internet Services" and a small test schema.
#pragma once

#include "ldap_fixture.h"
#include "sample_tree.h"
#include "temp_dir.h"

#include <filesystem>
#include <string>

namespace kdxtest {

constexpr const char* kServerDN = arbortest::kServerDN;
constexpr const char* kServices = "\\ACME\\Internet Services";

struct TestTree {
    arbortest::TempDir tmp{"kdx-test"};
    std::filesystem::path dir = tmp.Path();
    arbortest::SampleTree sample = arbortest::SampleTree(dir.string()).WithServer();
    std::string store = sample.store; // store file, or LDAP URL
    std::string conf = sample.conf;   // configuration file
    pdksatest::Slapd slapd;

    // With ARBOR_TEST_STORE=ldap the tree lives on a slapd of its own on
    // ARBOR_TEST_LDAP_PORT (as the directory's own suites do).
    TestTree();

    // Creates the sample tree with MAIL1, the login object "Internet
    // Services" with the built-in password and its rights at the tree root,
    // and the test schema (KDXTest:Item objects with the attributes
    // KDXTest:Text, KDXTest:Member (names), KDXTest:Single).
    // Returns 0 or the first directory error.
    int Build() const;
    // Creates n KDXTest:Item objects named <prefix><i> below container.
    int AddItems(const std::string& container, const std::string& prefix, int n) const;
    // Points ARBOR_CONF / ARBOR_DIRECTORY at this tree.
    void UseEnvironment() const { sample.UseEnvironment(); }
};

} // namespace kdxtest
