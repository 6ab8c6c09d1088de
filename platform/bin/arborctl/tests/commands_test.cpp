// arborctl as a person uses it: the real program, its output and exit
// status, and what it leaves in the directory.
#include "pdksa.h"
#include "process.h"
#include "slapd.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using arbortest::ReadFile;

namespace {

struct Result {
    int status = -1;
    std::string out; // standard output and error together
};

// The run ended with status and its output holds text.
::testing::AssertionResult Ended(const Result& r, int status, const std::string& text = "") {
    if (r.status == status && r.out.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "status " << r.status << ", wanted " << status << " and \"" << text << "\" in:\n"
           << r.out;
}

class Arborctl : public ::testing::Test {
  protected:
    arbortest::TempDir tmp{"arborctl-test"};
    fs::path dir = tmp.Path();
    std::string conf = dir / "arbor.conf", store = dir / "state" / "directory.db";
    std::string program = arbortest::Program("platform/bin/arborctl/arborctl");

    void SetUp() override {
        setenv("ARBOR_CONF", conf.c_str(), 1);
        setenv("ARBOR_DIRECTORY", store.c_str(), 1);
        unsetenv("ARBOR_DIRECTORY_URL");
    }

    // Runs arborctl with the arguments (each quoted) and standard input;
    // prefix runs it through another program (setpriv, say).
    Result Run(const std::vector<std::string>& args, const std::string& input = "",
               const std::string& prefix = "") {
        const std::string in = (dir / "stdin").string();
        std::ofstream(in) << input;
        std::string cmd = prefix + arbortest::ShellQuote(program);
        for (const auto& a : args)
            cmd += " " + arbortest::ShellQuote(a);
        cmd += " <" + arbortest::ShellQuote(in) + " 2>&1";
        Result r;
        r.status = arbortest::Run(cmd, &r.out);
        return r;
    }

    Result Init(const std::string& password = "Adm1n-pass") {
        return Run({"init", "--tree", "ACME", "--context", "ou=sales.o=org", "--server", "MAIL1",
                    "--address", "tcp:10.0.0.5:689"},
                   password + "\n");
    }

    // A file's permission bits and group; no bits when it is not there.
    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    }
    static gid_t GroupOf(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_gid : gid_t(-1);
    }

    // Logs in through the library as the object with the password.
    static int Login(const std::string& name, const std::string& pw) {
        DDCContextHandle c;
        if (int rc = DDCCreateContext(1, &c)) return rc;
        int rc = DDCResolveName(c, DDC_RESOLVE_WRITE, name.c_str());
        if (rc == 0) rc = DDCLogin(c, pw.c_str());
        DDCFreeContext(c);
        return rc;
    }
};

TEST_F(Arborctl, InitBuildsTheTreeAndWritesTheConfiguration) {
    ASSERT_TRUE(Ended(Init(), 0, "\\ACME\\org\\sales\\MAIL1"));
    EXPECT_EQ(ReadFile(conf), "orb.base.tree-name=ACME\n"
                              "orb.arbor.server-name=MAIL1\n"
                              "orb.arbor.server-context=ou=sales.o=org\n"
                              "arbor.directory.store=" +
                                  store + "\n");
    Result r = Run({"show", "MAIL1"});
    EXPECT_TRUE(Ended(r, 0, "class: TWP Server"));
    EXPECT_TRUE(Ended(r, 0, "Network Address: tcp:10.0.0.5:689"));
    EXPECT_TRUE(Ended(Run({"show", "\\ACME"}), 0, "ACL: 31#[Entry Rights]#\\ACME\\org\\Admin"));
    r = Run({"list", "\\ACME\\org"});
    EXPECT_TRUE(Ended(r, 0, "Admin"));
    EXPECT_TRUE(Ended(r, 0, "Organizational Unit"));
    // The administrator logs in with the password given on standard input.
    EXPECT_EQ(Login("\\ACME\\org\\Admin", "Adm1n-pass"), 0);
    EXPECT_EQ(Login("\\ACME\\org\\Admin", "adm1n-pass"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(ReadFile(store).find("Adm1n-pass"), std::string::npos);
    // A second init leaves the directory as it was.
    const std::string before = ReadFile(store);
    EXPECT_TRUE(Ended(Init("other"), 1, "already exists"));
    EXPECT_EQ(Login("\\ACME\\org\\Admin", "Adm1n-pass"), 0);
}

TEST_F(Arborctl, TheStoreIsPrivateUnlessSharedAndReadsNeedNoWriteAccess) {
    const mode_t old = umask(0);
    ASSERT_TRUE(Ended(Init(), 0));
    EXPECT_EQ(ModeOf(store), 0600u);
    // The configuration names the store: just as private, whatever the umask.
    EXPECT_EQ(ModeOf(conf), 0600u);
    ASSERT_EQ(Run({"show", "MAIL1"}).status, 0);
    for (const char* suffix : {"-gen", "-wal", "-shm"})
        EXPECT_EQ(ModeOf(store + suffix) & 0077, 0u) << suffix;

    // Shared with a group: its members read, nobody else does.
    fs::remove_all(dir / "state");
    Result r = Run({"init", "--tree", "ACME", "--context", "ou=sales.o=org", "--server", "MAIL1",
                    "--group", "nogroup"},
                   "Adm1n-pass\n");
    umask(old);
    ASSERT_TRUE(Ended(r, 0));
    for (const std::string& file : {store, conf}) {
        EXPECT_EQ(ModeOf(file), 0640u) << file;
        EXPECT_EQ(GroupOf(file), 65534u) << file;
    }
    EXPECT_EQ(Run({"init", "--tree", "A", "--context", "o=x", "--server", "M", "--group",
                   "no-such-group-here"},
                  "pw\n")
                  .status,
              1);

    // A member of the group who may not write the file: show and list work,
    // changes are refused.
    std::string reader;
    if (geteuid() == 0) {
        for (const auto& d : {dir, dir / "state"})
            fs::permissions(d,
                            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        // Others may read the configuration here: the store alone must keep them out.
        fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
        reader = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    } else {
        ASSERT_EQ(chmod(store.c_str(), 0440), 0);
    }
    EXPECT_TRUE(Ended(Run({"show", "MAIL1"}, "", reader), 0, "Network Address: tcp:"));
    EXPECT_TRUE(Ended(Run({"list", "\\ACME\\org"}, "", reader), 0, "Admin"));
    EXPECT_TRUE(Ended(Run({"set", "MAIL1", "Network Address", "x"}, "", reader), 1,
                      "no permission to change"));
    EXPECT_TRUE(Ended(Run({"show", "MAIL1"}), 0, "Network Address: tcp:"));
    if (geteuid() == 0) { // others read nothing
        EXPECT_TRUE(
            Ended(Run({"show", "MAIL1"}, "", "setpriv --reuid=65534 --regid=65533 --clear-groups "),
                  1, "no permission to read"));
    }
}

TEST_F(Arborctl, InitWritesAnAbsoluteStorePath) {
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    Result r = Run({"--store", "rel/directory.db", "init", "--tree", "ACME", "--context",
                    "ou=sales.o=org", "--server", "MAIL1"},
                   "pw\n");
    fs::current_path(cwd);
    ASSERT_TRUE(Ended(r, 0));
    const std::string want = "arbor.directory.store=" + (dir / "rel" / "directory.db").string();
    EXPECT_NE(ReadFile(conf).find(want + "\n"), std::string::npos) << ReadFile(conf);
    // Another working directory finds the same store through the file.
    unsetenv("ARBOR_DIRECTORY");
    EXPECT_TRUE(Ended(Run({"show", "MAIL1"}), 0));
}

TEST_F(Arborctl, AddUserRefusesUnknownNameTypes) {
    ASSERT_EQ(Init().status, 0);
    for (const char* bad : {"x=y", "CN=y.Q=sales.O=org", "sales\\zz=y"})
        EXPECT_TRUE(Ended(Run({"adduser", bad}), 1, "typed name part")) << bad;
    EXPECT_EQ(Run({"show", "y"}).status, 1);
    EXPECT_EQ(Run({"adduser", "cn=yves"}).status, 0);
    EXPECT_EQ(Run({"adduser", "CN=zoe.OU=sales.O=org"}).status, 0);
    EXPECT_EQ(Run({"show", "zoe"}).status, 0);
}

TEST_F(Arborctl, BadInitChangesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
    };
    const std::vector<Case> cases = {
        {{"init", "--tree", "ACME", "--server", "M"}, "pw\n", 2},
        {{"init", "--tree", "ACME", "--context", "o=org", "--server", "M", "extra"}, "pw\n", 2},
        {{"init", "--tree", "ACME", "--context", "o=org", "--server", "M", "--bogus"}, "pw\n", 2},
        {{"init", "--tree", "A\\B", "--context", "o=org", "--server", "M"}, "pw\n", 1},
        {{"init", "--tree", "ACME", "--context", "cn=x.o=org", "--server", "M"}, "pw\n", 1},
        {{"init", "--tree", "ACME", "--context", "ou=x.ou=org", "--server", "M"}, "pw\n", 1},
        {{"init", "--tree", "ACME", "--context", "o=org", "--server", "M"}, "\n", 1},
        {{"init", "--tree", "ACME", "--context", "o=org", "--server", "M", "--password-file",
          "/nonexistent/pw"},
         "",
         1},
    };
    for (const auto& c : cases) {
        Result r = Run(c.args, c.input);
        SCOPED_TRACE(r.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find("arborctl"), std::string::npos); // says who complains
        EXPECT_FALSE(fs::exists(store));
        EXPECT_FALSE(fs::exists(conf));
    }
}

TEST_F(Arborctl, UsersGetEmailAddressesOnceTheSchemaHasThem) {
    ASSERT_EQ(Init().status, 0);
    EXPECT_TRUE(Ended(Run({"adduser", "alice", "--email", "alice@example.org"}), 1,
                      "Velmora:EMail Address"));
    EXPECT_EQ(Run({"show", "alice"}).status, 1); // not created
    // The product's schema adds the attribute and attaches it to users.
    {
        DDCContextHandle c;
        ASSERT_EQ(DDCCreateContext(1, &c), 0);
        ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "\\ACME\\org\\Admin"), 0);
        ASSERT_EQ(DDCLogin(c, "Adm1n-pass"), 0);
        DDCAttrDef d{DDC_ATTRDEF_SIZED, DDC_SYN_TEXT, 1, 255, 0, 0};
        ASSERT_EQ(DDCDefineAttribute(c, "Velmora:EMail Address", &d), 0);
        const void* opt[] = {"Velmora:EMail Address", nullptr};
        ASSERT_EQ(DDCAddOptionalsToClass(c, "User", opt), 0);
        DDCFreeContext(c);
    }
    const std::string pwFile = (dir / "alice.pw").string();
    std::ofstream(pwFile) << "alice-secret\n";
    ASSERT_TRUE(
        Ended(Run({"adduser", "alice", "--email", "alice@example.org",
                   "--email=a.smith@example.org", "--surname", "Smith", "--password-file", pwFile}),
              0, "\\ACME\\org\\sales\\alice"));
    EXPECT_TRUE(Ended(Run({"show", "CN=alice.OU=sales.O=org"}), 0,
                      "Velmora:EMail Address: alice@example.org\n"
                      "  Velmora:EMail Address: a.smith@example.org\n"));
    EXPECT_EQ(Login("\\ACME\\org\\sales\\alice", "alice-secret"), 0);
    // Duplicates and bad addresses are refused.
    EXPECT_EQ(Run({"adduser", "ALICE"}).status, 1);
    EXPECT_EQ(Run({"adduser", "bob", "--email", "not an address"}).status, 1);
    EXPECT_EQ(Run({"show", "bob"}).status, 1);
}

TEST_F(Arborctl, SetChangesValuesAllOrNothing) {
    ASSERT_EQ(Init().status, 0);
    ASSERT_EQ(Run({"adduser", "carol"}).status, 0);
    auto show = [&] { return Run({"show", "carol"}).out; };
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "1", "2"}).status, 0);
    EXPECT_NE(show().find("Telephone Number: 1\n  Telephone Number: 2\n"), std::string::npos);
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "--add", "3"}).status, 0);
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "--remove", "1"}).status, 0);
    EXPECT_NE(show().find("Telephone Number: 2\n  Telephone Number: 3\n"), std::string::npos);
    // One bad value: none of them is added.
    EXPECT_TRUE(Ended(Run({"set", "carol", "Telephone Number", "--add", "4", "2"}), 1,
                      "value already present"));
    EXPECT_EQ(show().find("Telephone Number: 4"), std::string::npos);
    // Names as values, any attribute the schema has, and refusals.
    ASSERT_EQ(Run({"set", "carol", "Group Membership", "MAIL1"}).status, 0);
    EXPECT_NE(show().find("Group Membership: \\ACME\\org\\sales\\MAIL1"), std::string::npos);
    EXPECT_EQ(Run({"set", "carol", "No Such Thing", "x"}).status, 1);
    EXPECT_EQ(Run({"set", "carol", "Version", "x"}).status, 1);  // not a user attribute
    EXPECT_EQ(Run({"set", "carol", "CN", "--clear"}).status, 1); // mandatory
    EXPECT_EQ(Run({"set", "carol", "Telephone Number", "--add"}).status, 2);
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "--clear"}).status, 0);
    EXPECT_EQ(show().find("Telephone Number"), std::string::npos);
    // After "--" even "-h" is a value, not a request for help.
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "--", "-h"}).status, 0);
    EXPECT_NE(show().find("Telephone Number: -h\n"), std::string::npos);
    ASSERT_EQ(Run({"set", "carol", "Telephone Number", "--clear"}).status, 0);
    EXPECT_EQ(Run({"remove", "sales"}).status, 1); // has subordinates
    EXPECT_EQ(Run({"remove", "carol"}).status, 0);
    EXPECT_EQ(Run({"show", "carol"}).status, 1);
}

TEST_F(Arborctl, ConfigurationWithTwoKeysWarnsAndTakesNamesFromTheRoot) {
    ASSERT_EQ(Init().status, 0);
    std::ofstream(conf, std::ios::trunc) << "orb.base.tree-name=ACME\n"
                                            "orb.arbor.server-name=MAIL1\n";
    EXPECT_TRUE(Ended(Run({"show", "MAIL1"}), 1, "warning"));
    EXPECT_TRUE(Ended(Run({"show", "\\ACME\\org\\sales\\MAIL1"}), 0));
}

TEST_F(Arborctl, EveryCommandExplainsItself) {
    for (const char* c : {"init", "join", "adduser", "show", "list", "set", "passwd", "remove"})
        EXPECT_TRUE(Ended(Run({c, "--help"}), 0, std::string("Usage: arborctl ") + c));
    EXPECT_TRUE(Ended(Run({"--help"}), 0, "adduser"));
    EXPECT_EQ(Run({}).status, 2);
    EXPECT_EQ(Run({"frobnicate"}).status, 2);
    // Without a directory every command says so.
    EXPECT_TRUE(Ended(Run({"show", "x"}), 1, "arborctl init"));
    EXPECT_FALSE(fs::exists(store));
}

// Every value that goes into the configuration file is one line of it: a
// control character would end the line early or add lines of its own.
TEST_F(Arborctl, InitRefusesControlCharactersForTheConfigurationFile) {
    const std::vector<std::string> base = {"init"};
    struct Case {
        std::vector<std::string> extra;
        const char* what;
    };
    const std::vector<Case> cases = {
        {{"--tree", "AC\x7fME", "--server", "MAIL1", "--context", "o=org"}, "tree name"},
        {{"--tree", "ACME", "--server", "MAIL\x7f", "--context", "o=org"}, "server name"},
        {{"--context", "ou=sales.o=org\narbor.directory.store=/tmp/x"}, "context"},
        {{"--context", "ou=sa\rles.o=org"}, "context"},
        {{"--context", "o=org\x7f"}, "context"},
        {{"--context", "o=org", "--url", "ldap://127.0.0.1:1/\nx=y"}, "URL"},
        {{"--context", "o=org", "--url", "ldap://127.0.0.1:1/", "--base", "dc=a\r"}, "base DN"},
        {{"--context", "o=org", "--url", "ldap://127.0.0.1:1/", "--bind-dn", "cn=a\x01"},
         "bind DN"},
        {{"--context", "o=org", "--url", "ldap://127.0.0.1:1/", "--bind-password-file", "pw\tfile"},
         "bind password file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = base;
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        if (std::find(args.begin(), args.end(), "--tree") == args.end())
            args.insert(args.end(), {"--tree", "ACME", "--server", "MAIL1"});
        // The LDAP cases name no store file.
        if (std::find(args.begin(), args.end(), "--url") != args.end())
            unsetenv("ARBOR_DIRECTORY");
        else
            setenv("ARBOR_DIRECTORY", store.c_str(), 1);
        Result r = Run(args, "pw\n");
        EXPECT_TRUE(Ended(r, 1, std::string("the ") + c.what + " holds a control character"));
        EXPECT_FALSE(fs::exists(store));
        EXPECT_FALSE(fs::exists(conf));
        EXPECT_FALSE(fs::exists(conf + ".arborctl-tmp"));
    }
    // The store path too, whichever way it is given.
    const std::string bad = (dir / "a\nb.db").string();
    EXPECT_TRUE(Ended(
        Run({"--store", bad, "init", "--tree", "ACME", "--context", "o=org", "--server", "MAIL1"},
            "pw\n"),
        1, "the store path holds a control character"));
    EXPECT_FALSE(fs::exists(bad));
    EXPECT_FALSE(fs::exists(conf));
}

TEST_F(Arborctl, InitTakesLdapOptionsOnlyWithOneUrl) {
    const std::vector<std::string> base = {"init",  "--tree",   "ACME", "--context",
                                           "o=org", "--server", "MAIL1"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args, "pw\n");
    };
    EXPECT_TRUE(Ended(with({"--base", "dc=arbor"}), 2, "--base needs --url"));
    EXPECT_TRUE(Ended(with({"--bind-dn", "cn=admin"}), 2, "--bind-dn needs --url"));
    // A store file and a URL are two directories.
    EXPECT_TRUE(Ended(with({"--url", "ldap://127.0.0.1:22629/"}), 2, "two directories"));
    // $ARBOR_DIRECTORY_URL names an LDAP server as --url does.
    setenv("ARBOR_DIRECTORY_URL", "ldap://127.0.0.1:22629/", 1);
    EXPECT_TRUE(Ended(with({}), 2, "two directories"));
    unsetenv("ARBOR_DIRECTORY");
    // Nobody listens there, with or without the LDAP store.
    EXPECT_TRUE(Ended(with({"--base", "dc=arbor"}), 1,
                      "cannot create the directory at ldap://127.0.0.1:22629/"));
    unsetenv("ARBOR_DIRECTORY_URL");
    EXPECT_TRUE(Ended(with({"--url", "http://127.0.0.1/"}), 1, "not an LDAP URL"));
    EXPECT_FALSE(fs::exists(conf));
    EXPECT_FALSE(fs::exists(store));
}

// The LDAP store is chosen by the URL: init hands it to the store creation
// and names it in the configuration file. Until the library has that store,
// the creation answers an error and nothing is left behind.
TEST_F(Arborctl, InitWithUrlCreatesTheTreeThereOrLeavesNothing) {
    arbortest::Slapd slapd;
    ASSERT_EQ(slapd.Start((dir / "slapd").string(), 22622), "");
    unsetenv("ARBOR_DIRECTORY");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    Result r = Run({"init", "--tree", "ACME", "--context", "ou=sales.o=org", "--server", "MAIL1",
                    "--url", "ldap://127.0.0.1:22622/", "--base", "dc=arbor", "--bind-dn",
                    "cn=admin,dc=arbor", "--bind-password-file", "slapd/admin.pw"},
                   "pw\n");
    fs::current_path(cwd);
    if (r.status != 0) {
        EXPECT_TRUE(Ended(r, 1, "cannot create the directory at ldap://127.0.0.1:22622/"));
        EXPECT_FALSE(fs::exists(conf));
        EXPECT_FALSE(fs::exists(conf + ".arborctl-tmp"));
        EXPECT_FALSE(fs::exists(dir / "ldap:")); // the URL taken for a path
        return;
    }
    EXPECT_EQ(ReadFile(conf), "orb.base.tree-name=ACME\n"
                              "orb.arbor.server-name=MAIL1\n"
                              "orb.arbor.server-context=ou=sales.o=org\n"
                              "arbor.directory.url=ldap://127.0.0.1:22622/\n"
                              "arbor.directory.base=dc=arbor\n"
                              "arbor.directory.bind-dn=cn=admin,dc=arbor\n"
                              "arbor.directory.bind-password-file=" +
                                  slapd.PasswordFile() + "\n");
    EXPECT_TRUE(Ended(Run({"show", "MAIL1"}), 0, "class: TWP Server"));
}

TEST_F(Arborctl, JoinAddsAServerAndWritesItsConfiguration) {
    ASSERT_EQ(Init().status, 0);
    const std::string conf2 = (dir / "second.conf").string();
    auto join = [&](const std::string& context, const std::string& server,
                    const std::string& tree = "ACME") {
        return Run({"--conf", conf2, "join", "--tree", tree, "--context", context, "--server",
                    server, "--address", "10.0.0.6"});
    };
    ASSERT_TRUE(Ended(join("ou=support.o=org", "MAIL2"), 0, "\\ACME\\org\\support\\MAIL2"));
    EXPECT_EQ(ReadFile(conf2), "orb.base.tree-name=ACME\n"
                               "orb.arbor.server-name=MAIL2\n"
                               "orb.arbor.server-context=ou=support.o=org\n"
                               "arbor.directory.store=" +
                                   store + "\n");
    // The second configuration alone finds the same directory, from its own
    // container.
    unsetenv("ARBOR_DIRECTORY");
    Result r = Run({"--conf", conf2, "show", "MAIL2"});
    EXPECT_TRUE(Ended(r, 0, "Network Address: 10.0.0.6"));
    EXPECT_TRUE(Ended(Run({"--conf", conf2, "show", "\\ACME\\org\\sales\\MAIL1"}), 0));
    // Existing units are kept; a server is not made twice; the tree must be there.
    EXPECT_TRUE(Ended(join("ou=sales.o=org", "MAIL3"), 0, "\\ACME\\org\\sales\\MAIL3"));
    const std::string before = ReadFile(conf2);
    EXPECT_TRUE(Ended(join("ou=support.o=org", "MAIL2"), 1, "already exists"));
    EXPECT_TRUE(Ended(join("o=org", "MAIL4", "OTHER"), 1, "no tree OTHER"));
    EXPECT_EQ(ReadFile(conf2), before);
    EXPECT_FALSE(fs::exists(conf2 + ".arborctl-tmp"));
    // No directory to join.
    EXPECT_TRUE(Ended(Run({"--store", (dir / "none.db").string(), "--conf", conf2, "join", "--tree",
                           "ACME", "--context", "o=org", "--server", "M"}),
                      1, "cannot open the directory"));
    EXPECT_FALSE(fs::exists(dir / "none.db"));
}

} // namespace
