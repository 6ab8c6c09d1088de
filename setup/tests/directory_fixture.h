// A real directory for the setup tests: a fresh store and configuration file in a
// temporary directory, with the tree \ACME\org\sales, this server's object MAIL1 and
// the administrator \ACME\org\Admin.
#pragma once

#include "quillschema.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quilltest {

inline constexpr const char* kAdminPassword = "Quill-admin-7";

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A context with its base at the tree, logged in as the administrator.
    DDCContextHandle AdminContext();
    // A context logged in as the given object.
    DDCContextHandle LoginAs(const std::string& name, const std::string& password);
    // Values of an attribute read by the administrator; empty when none.
    std::vector<std::string> Values(const std::string& object, const char* attr);
    bool Exists(const std::string& object);
    int Create(const std::string& name, const char* cls);
    // The schema and the messaging server as the tool makes them without the
    // lattice agent, and beside them the web mail agent of an older version.
    void ServerWithOldWebMailAgent(const std::string& server);

    arbortest::TempDir tmp_{"quillsetup-test"};
    std::filesystem::path dir_ = tmp_.Path();
    std::string conf_, store_;
    quill::Site site_;
    DDCContextHandle admin_ = 0;

  private:
    std::vector<DDCContextHandle> contexts_;
};

// Progress events as "heading" / "   item result" lines, as the screen shows them.
struct Recorder {
    std::vector<std::string> lines;
    quill::Progress Callback();
    int Count(const std::string& line) const;
    int CountSuffix(const std::string& suffix) const;
};

} // namespace quilltest
