// A directory store in a temporary folder, laid out as a configured server
// sees it, plus the configuration file that points at it.
#pragma once

#include <filesystem>
#include <string>

namespace kdxtest {

constexpr const char* kTree = "ACME";
constexpr const char* kServerDN = "\\ACME\\org\\sales\\MAIL1";
constexpr const char* kServices = "\\ACME\\Internet Services";

struct TestTree {
    std::filesystem::path dir;
    std::string store; // store file
    std::string conf;  // configuration file

    // Makes the folder and the configuration file (store not yet created).
    static TestTree prepare();
    // Creates the store: tree ACME, o=org, ou=sales, server MAIL1, the
    // login object "Internet Services" with the built-in password and its
    // rights at the tree root, and the test schema (KDXTest:Item objects with
    // the attributes KDXTest:Text, KDXTest:Member (names), KDXTest:Single).
    // Returns 0 or the first directory error.
    int build() const;
    // Creates n KDXTest:Item objects named <prefix><i> below container.
    int addItems(const std::string& container, const std::string& prefix, int n) const;
    // Points ARBOR_CONF / ARBOR_DIRECTORY at this tree.
    void useEnvironment() const;
    void remove() const;
};

// Runs a shell command, returns its exit status and standard output.
int run(const std::string& command, std::string& out);

} // namespace kdxtest
