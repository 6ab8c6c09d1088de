// The configuration file rule and the password assembly shared with the setup tool.
#include "kdxcommon.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class ConfFile : public ::testing::Test {
  protected:
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    int Read() {
        std::strcpy(tree_, "untouched");
        std::strcpy(dn_, "untouched");
        return KDXConfReadServerDN(path_.c_str(), tree_, sizeof tree_, dn_, sizeof dn_);
    }
    arbortest::TempDir tmp_{"kdx-test"};
    fs::path path_ = tmp_ / "arbor.conf";
    char tree_[KDX_TREE_NAME_SIZE];
    char dn_[KDX_SERVER_DN_SIZE];
};

TEST_F(ConfFile, ComposesServerDNFromThreeKeys) {
    Write("# comment\norb.base.tree-name=ACME\nORB.Arbor.Server-Name=  MAIL1\r\n"
          "arbor.directory.store=/x/y.db\norb.arbor.server-context=\tou=sales.o=org\n");
    ASSERT_EQ(Read(), 1);
    EXPECT_STREQ(tree_, "ACME");
    EXPECT_STREQ(dn_, "\\ACME\\org\\sales\\MAIL1");
}

TEST_F(ConfFile, LastLineWithoutLineFeedAndCutAtLastCarriageReturn) {
    Write("orb.base.tree-name=T\r\rx\r\norb.arbor.server-name=S\norb.arbor.server-context=org");
    ASSERT_EQ(Read(), 1);
    EXPECT_STREQ(tree_, "T\r\rx");
    EXPECT_STREQ(dn_, "\\T\r\rx\\org\\S");
}

TEST_F(ConfFile, RefusesMissingRepeatedOrOverlongKeysAndLeavesBuffersAlone) {
    const char* bad[] = {
        "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n", // two keys
        "orb.base.tree-name=A\norb.base.tree-name=B\norb.arbor.server-name=M\n",
        ("orb.base.tree-name=A\norb.arbor.server-name=M\norb.arbor.server-context=o\n"
         "orb.arbor.server-name=N\n"),
        "",
    };
    for (const char* text : bad) {
        Write(text);
        EXPECT_EQ(Read(), 0) << text;
        EXPECT_STREQ(tree_, "untouched");
        EXPECT_STREQ(dn_, "untouched");
    }
    // A key line too long to keep whole is refused, not truncated.
    Write("orb.base.tree-name=" + std::string(300, 'x') +
          "\norb.arbor.server-name=M\norb.arbor.server-context=o\n");
    EXPECT_EQ(Read(), 0);
    // The tail of an ignored long line must not count as a key line.
    Write("#" + std::string(255, ' ') +
          "orb.base.tree-name=EVIL\n"
          "orb.base.tree-name=A\norb.arbor.server-name=M\norb.arbor.server-context=o\n");
    ASSERT_EQ(Read(), 1);
    EXPECT_STREQ(tree_, "A");
}

TEST_F(ConfFile, MissingFileAndSmallBuffers) {
    EXPECT_EQ(Read(), 0);
    Write("orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\norb.arbor.server-context=o=org\n");
    char tree[4] = "abc", dn[8] = "1234567";
    EXPECT_EQ(KDXConfReadServerDN(path_.c_str(), tree, sizeof tree, dn, sizeof dn), 0);
    EXPECT_STREQ(tree, "abc");
    EXPECT_STREQ(dn, "1234567");
    // Either buffer may be null.
    char big[KDX_SERVER_DN_SIZE];
    EXPECT_EQ(KDXConfReadServerDN(path_.c_str(), nullptr, 0, big, sizeof big), 1);
    EXPECT_STREQ(big, "\\ACME\\org\\MAIL1");
}

TEST_F(ConfFile, PathComesFromEnvironment) {
    Write("orb.base.tree-name=E\norb.arbor.server-name=S\norb.arbor.server-context=c\n");
    setenv("ARBOR_CONF", path_.c_str(), 1);
    EXPECT_STREQ(KDXConfPath(), path_.c_str());
    EXPECT_EQ(KDXConfReadServerDN(nullptr, tree_, sizeof tree_, dn_, sizeof dn_), 1);
    EXPECT_STREQ(dn_, "\\E\\c\\S");
    unsetenv("ARBOR_CONF");
    EXPECT_STREQ(KDXConfPath(), "/etc/arbor.conf");
}

TEST(ContextPath, SplitsReversesAndDropsTypes) {
    char out[64];
    struct {
        const char* in;
        const char* want;
    } cases[] = {
        {"ou=sales.o=org", "\\org\\sales\\"},
        {"org", "\\org\\"},
        {"OU=a.OU=b.O=c", "\\c\\b\\a\\"},
        {".lead.x", "\\x\\.lead\\"},        // a dot in first place does not split
        {"ou=a\\.b.o=org", "\\org\\a.b\\"}, // escaped dot stays in the name
        {"", "\\"},
        {"a..b", "\\b\\a\\"},
    };
    for (auto& c : cases) {
        ASSERT_GE(KDXConfContextPath(c.in, out, sizeof out), 0) << c.in;
        EXPECT_STREQ(out, c.want) << c.in;
    }
    char tiny[5];
    EXPECT_EQ(KDXConfContextPath("ou=sales.o=org", tiny, sizeof tiny), -1);
}

TEST(BuiltinPassword, PiecesAddUpToTheWholeValue) {
    char whole[32];
    ASSERT_EQ(KDXPasswordCopy(whole, sizeof whole), 1);
    EXPECT_EQ(std::strlen(whole), static_cast<size_t>(KDX_PASSWORD_LENGTH));
    for (char c : std::string(whole))
        EXPECT_TRUE(c > ' ' && c < 0x7F);

    // Placed in the three steps the login uses, the same value results.
    char parts[16] = {};
    KDXPasswordPlace(parts, 0, 8);
    KDXPasswordPlace(parts, 8, 3);
    KDXPasswordPlace(parts, 11, 4);
    EXPECT_STREQ(parts, whole);

    char small[15];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(KDXPasswordCopy(small, sizeof small), 0);
    EXPECT_EQ(small[0], 'z');
    EXPECT_EQ(KDXPasswordChar(15), 0);
    EXPECT_EQ(KDXPasswordChar(-1), 0);
}

} // namespace
