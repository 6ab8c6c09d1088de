// quillsetup as an administrator uses it: the real program in a real terminal (tmux),
// against a real directory store.
#include "directory_fixture.h"
#include "kdxcommon.h"
#include "process.h"
#include "terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <iterator>
#include <set>
#include <sstream>

using arbortest::ShellQuote;
using quilltest::DirectoryTest;

using quilltest::Terminal;

namespace {

std::string Program() {
    return ShellQuote(arbortest::Program("setup/quillsetup"));
}

// The terminal modes a program left behind.
std::set<std::string> Modes(const Terminal& t) {
    std::istringstream words(t.Modes());
    return {std::istream_iterator<std::string>(words), {}};
}

class ToolTest : public DirectoryTest {
  protected:
    void SetUp() override {
        DirectoryTest::SetUp();
        log_ = (dir_ / "quillsetup.log").string();
    }

    // The shell's words that point a program at the test's directory.
    std::string DirectoryEnv() const {
        return "ARBOR_CONF=" + ShellQuote(conf_) + " ARBOR_DIRECTORY=" + ShellQuote(store_) + " ";
    }
    // quillsetup with the given mode, in a fresh terminal.
    std::unique_ptr<Terminal> Start(const std::string& mode) {
        auto t = std::make_unique<Terminal>(DirectoryEnv() + "QUILLSETUP_LOG=" + ShellQuote(log_) +
                                            " " + Program() + " " + mode);
        EXPECT_TRUE(t->WaitFor("Administrator name:")) << t->Screen();
        return t;
    }
    void Login(Terminal& t, const std::string& name = "Admin.org",
               const std::string& password = quilltest::kAdminPassword) {
        t.Type(name);
        t.Keys({"Tab"});
        t.Type(password);
        t.Keys({"Enter"});
    }
    std::unique_ptr<Terminal> StartLoggedIn(const std::string& mode) {
        auto t = Start(mode);
        Login(*t);
        return t;
    }
    std::string Log() const { return arbortest::ReadFile(log_); }
    int LogCount(const std::string& line) const {
        std::istringstream in(Log());
        std::string l;
        int n = 0;
        while (std::getline(in, l))
            n += l == line;
        return n;
    }
    // The modes end by themselves; the terminal must be back in line mode.
    void ExpectCleanExit(Terminal& t) {
        EXPECT_EQ(t.WaitExit(), 0) << t.Screen();
        const auto modes = Modes(t);
        for (const char* m : {"icanon", "echo", "isig", "icrnl"})
            EXPECT_TRUE(modes.count(m)) << m << " not restored:\n" << t.Modes();
    }
    void Arbor() { ExpectCleanExit(*StartLoggedIn("-arbor")); }
    // mode, logged in, shows these screens in turn and ends cleanly on keys.
    void Answer(const std::string& mode, const std::vector<std::string>& screens,
                const std::vector<std::string>& keys) {
        auto t = StartLoggedIn(mode);
        for (const std::string& s : screens)
            ASSERT_TRUE(t->WaitFor(s)) << t->Screen();
        t->Keys(keys);
        ExpectCleanExit(*t);
    }
    // -server with the form's defaults and an official domain.
    void ServerDefaults() {
        auto t = StartLoggedIn("-server");
        ASSERT_NO_FATAL_FAILURE(FormWithDomain(*t));
        t->Keys({"Enter"});
        ExpectCleanExit(*t);
    }
    // Waits for the server form and fills in the official domain.
    void FormWithDomain(Terminal& t, std::chrono::seconds wait = std::chrono::seconds(30)) {
        ASSERT_TRUE(t.WaitFor("Configuration Parameters", wait)) << t.Screen();
        t.Keys({"Tab"});
        t.Type("acme.example");
    }
    // One attribute read by the directory library in program mode.
    std::string ReadThroughKdx(const std::string& object, const std::string& attr) {
        int status = -1;
        std::string out = quilltest::Output(
            DirectoryEnv() + ShellQuote(arbortest::Program("setup/tests/quillsetup_kdx_reader")) +
                " " + ShellQuote(object) + " " + ShellQuote(attr),
            &status);
        EXPECT_EQ(status, 0) << object << " " << attr;
        return out;
    }

    const std::string services = "\\ACME\\Internet Services";
    const std::string server = services + "\\MAIL1 Messaging Server";
    std::string log_;
};

TEST(Usage, PrintedWithoutLoginForEveryHelpForm) {
    std::string expected =
        "\rQUILLSETUP $Revision:   2.78  $\n"
        "\rUsage: QUILLSETUP [-arbor | -full | -server | -remove | -pinstall | -h | -?]\n"
        "\r-add       Update the schema (Requires initial schema to be installed)\n"
        "\r-update    Update the schema and any replaced agents\n"
        "\r-arbor     Install/Upgrade the schema\n"
        "\r-full      Install/Upgrade the schema, add long namespace to volume\n"
        "\r           and configure the server for Ostara Quill.\n"
        "\r-pinstall  Same as -full.\n"
        "\r-server    Add long namespace and configure the server for Ostara Quill\n"
        "\r-remove    Removes the schema extensions and configured servers.\n";
    for (const char* form : {"-h", "-?", "/?", "/H"}) {
        int status = -1;
        // No configuration file at all: help needs none.
        std::string out = quilltest::Output("ARBOR_CONF=/nonexistent " + Program() + " " +
                                                ShellQuote(form) + " </dev/null",
                                            &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, expected) << form;
    }
}

TEST(Startup, MissingConfigurationIsReportedOnTheConsole) {
    int status = 0;
    std::string out =
        quilltest::Output("ARBOR_CONF=/nonexistent " + Program() + " -arbor </dev/null", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(out.rfind("QuillSetup:[Startup]", 0), 0u) << out;
}

TEST_F(ToolTest, ArborOnAFreshTreeThenAddOnTheExtendedOne) {
    Arbor();
    EXPECT_EQ(LogCount(" Schema extended"), 1);
    EXPECT_EQ(LogCount("   Velmora:Action created"), 1);
    EXPECT_EQ(LogCount("   Quill:ListContainer defined"), 1);
    EXPECT_TRUE(Exists(services + "\\Templates\\Skyport"));

    // Defining again changes nothing and says so item by item.
    std::filesystem::remove(log_);
    ExpectCleanExit(*StartLoggedIn("-add"));
    EXPECT_EQ(LogCount("   Velmora:Action not created"), 1);
    EXPECT_EQ(LogCount("   Velmora:Action created"), 0);
    EXPECT_EQ(LogCount("   Quill:ListContainer already defined"), 1);
    std::istringstream lines(Log());
    int fresh = 0;
    for (std::string l; std::getline(lines, l);)
        fresh += l.size() > 6 && l.compare(l.size() - 6, 6, " added") == 0 &&
                 l.find(" already added") == std::string::npos;
    EXPECT_EQ(fresh, 0);
    EXPECT_NE(Log().find("Velmora:EMail Address already added"), std::string::npos);
}

TEST_F(ToolTest, ArborAgainAsksBeforeDeletingTheContainersAndControlCKeepsThem) {
    Arbor();
    Answer("-arbor",
           {"Remove Messaging Server Objects?", "Press Enter to continue or <CTRL-C> to abort"},
           {"C-c"});
    EXPECT_TRUE(Exists(services + "\\Templates\\Webmail"));

    // Enter: the containers go and come back with a fresh definition.
    std::filesystem::remove(log_);
    Answer("-arbor", {"Remove Messaging Server Objects?"}, {"Enter"});
    EXPECT_EQ(LogCount(" Quill Schema extensions removed"), 1);
    EXPECT_EQ(LogCount("   Velmora:Action created"), 1);
    EXPECT_TRUE(Exists(services + "\\Templates\\Webmail"));
}

TEST_F(ToolTest, ServerWithDefaultsIsReadableThroughTheDirectoryLibrary) {
    Arbor();
    ServerDefaults();
    EXPECT_EQ(LogCount(" Links to TWP Server created"), 1);
    EXPECT_EQ(LogCount(" Links to REVO created"), 1);

    int status = -1;
    quilltest::Output(DirectoryEnv() + ShellQuote(arbortest::Program("kdx/kdx")) + " >/dev/null",
                      &status);
    EXPECT_EQ(status, 0) << "program mode of the directory library could not log in";
    EXPECT_EQ(ReadThroughKdx("Internet Services\\MAIL1 Messaging Server\\Calendar Agent",
                             "Velmora:REVO Server"),
              "\\ACME\\Internet Services\\MAIL1 Messaging Server\\REVO Agent\n");
    EXPECT_EQ(ReadThroughKdx("Internet Services\\MAIL1 Messaging Server", "Velmora:Official Name"),
              "acme.example\n");

    // A second -server is refused before the form.
    Answer("-server", {"This server is already configured.", "Press any key to terminate"},
           {"Enter"});
    EXPECT_EQ(Values(server + "\\REVO Agent", "Velmora:Client").size(), 5u);
}

TEST_F(ToolTest, ServerWithEverySwitchOffMakesOnlyTheServerAndItsStore) {
    Arbor();
    auto t = StartLoggedIn("-server");
    ASSERT_NO_FATAL_FAILURE(FormWithDomain(*t));
    t->Keys({"Tab", "Tab", "Tab"});
    // SMTP, POP, IMAP, Lattice, Forward; skip Aliasing; Finger, LDAP, AntiSpam, Proxy.
    for (int i = 0; i < 10; ++i) {
        if (i > 0) t->Keys({"Tab"});
        if (i != 5) t->Keys({"Space"});
    }
    ASSERT_TRUE(t->WaitFor("Proxy:     N")) << t->Screen();
    t->Keys({"Enter"});
    ExpectCleanExit(*t);
    EXPECT_TRUE(Exists(server + "\\REVO Agent"));
    for (const char* agent :
         {"SMTP Agent", "POP Agent", "IMAP Agent", "Lattice Agent", "AutoReply Agent",
          "Calendar Agent", "Address Book Agent", "AntiSpam Agent", "Proxy Agent", "Alias Agent"})
        EXPECT_FALSE(Exists(server + "\\" + agent)) << agent;
    EXPECT_TRUE(Values(server + "\\REVO Agent", "Velmora:Client").empty());
    EXPECT_EQ(Values(site_.installHost, "Velmora:Messaging Server").size(), 1u);
}

TEST_F(ToolTest, RemoveAsksAndControlCLeavesTheServerThenEnterTakesIt) {
    Arbor();
    ServerDefaults();
    Answer("-remove", {"In order to remove the schema, all configured Messaging"}, {"C-c"});
    EXPECT_TRUE(Exists(server + "\\Calendar Agent"));
    Answer("-remove", {"The process cannot be reversed!"}, {"Enter"});
    EXPECT_FALSE(Exists(services));
    EXPECT_TRUE(Values(site_.installHost, "Velmora:Messaging Server").empty());
}

TEST_F(ToolTest, ForeignInternetServicesIsLeftAlone) {
    ASSERT_EQ(Create(services, "Organization"), 0);
    Answer("-remove",
           {"'Internet Services' container exists",
            "Cannot install Quill since there is already a object"},
           {"x"});
    EXPECT_TRUE(Exists(services));
}

TEST_F(ToolTest, FailedLoginShowsTheErrorAndMayBeRetried) {
    auto t = Start("-add");
    Login(*t, "Admin.org", "wrong password");
    ASSERT_TRUE(t->WaitFor("DS Error: Passed in a bad password.")) << t->Screen();
    ASSERT_TRUE(t->WaitFor("Login failed, try again?"));
    t->Keys({"Enter"}); // Yes
    ASSERT_TRUE(t->WaitFor("Administrator name:"));
    // On the second pass the name relative to the server's container is not tried.
    Login(*t, "Nobody");
    ASSERT_TRUE(t->WaitFor("DS Error: Object passed in could not be found.")) << t->Screen();
    t->Keys({"Down", "Enter"}); // No
    ExpectCleanExit(*t);
    EXPECT_FALSE(Exists(services));
}

TEST_F(ToolTest, NameRelativeToTheServersContainerWorksOnTheFirstPass) {
    ASSERT_EQ(Create("\\ACME\\org\\sales\\Local", "User"), 0);
    ASSERT_EQ(DDCResolveName(admin_, DDC_RESOLVE_FOR_WRITE, "\\ACME\\org\\sales\\Local"), 0);
    ASSERT_EQ(DDCGenerateKeyPair(admin_, "local-pw"), 0);
    auto t = Start("-add");
    Login(*t, "Local", "local-pw");
    // Logged in, but without rights: every definition fails on screen, nothing breaks.
    ExpectCleanExit(*t);
    EXPECT_EQ(LogCount("Authenticated to Arbor"), 1);
    EXPECT_EQ(LogCount("   Velmora:Action not created"), 1);
    EXPECT_FALSE(Exists(services));
}

TEST_F(ToolTest, ControlCInTheLoginFormEndsAtOnce) {
    auto t = Start("");
    t->Type("Admin");
    t->Keys({"C-c"});
    ExpectCleanExit(*t);
    EXPECT_EQ(Log().find("Authenticated"), std::string::npos);
}

TEST_F(ToolTest, ATerminationSignalStillRestoresTheTerminal) {
    auto t = Start("-add");
    int shell = t->ShellPid();
    ASSERT_GT(shell, 0);
    // The shell's child is quillsetup, waiting in the login form.
    quilltest::Output("pkill -TERM -P " + std::to_string(shell) + " quillsetup");
    EXPECT_EQ(t->WaitExit(), 128 + SIGTERM);
    const auto modes = Modes(*t);
    for (const char* m : {"icanon", "echo", "isig"})
        EXPECT_TRUE(modes.count(m)) << m;
}

TEST_F(ToolTest, OverLongEntriesAreCutAndAMissingServerObjectIsReported) {
    Arbor();
    ASSERT_EQ(DDCRemoveEntry(admin_, site_.installHost.c_str()), 0);
    auto t = Start("-server");
    // 300 characters where 256 fit: the form refuses the rest, the login fails cleanly.
    Login(*t, std::string(300, 'A'), "x");
    ASSERT_TRUE(t->WaitFor("DS Error:")) << t->Screen();
    t->Keys({"Enter"});
    ASSERT_TRUE(t->WaitFor("Administrator name:"));
    Login(*t);
    ASSERT_TRUE(t->WaitFor("Configuration Parameters")) << t->Screen();
    t->Keys({"Tab"});
    t->Type(std::string(400, 'd'));
    t->Keys({"Tab"});
    t->Type("192.0.2.1192.0.2.1"); // 18 characters into a 15-character field
    t->Keys({"Enter"});
    ExpectCleanExit(*t);
    EXPECT_EQ(LogCount("   MAIL1 Messaging Server not created"), 1);
    // The failure is shown with its text and ends the step: no agents, no links.
    EXPECT_NE(Log().find("Creating MAIL1 Messaging Server failed: DS Error: "), std::string::npos)
        << Log();
    EXPECT_EQ(LogCount(" Links to TWP Server not created"), 0);
    EXPECT_EQ(LogCount("   REVO Agent not created") + LogCount("   REVO Agent created"), 0);
}

TEST_F(ToolTest, UpdateReplacesTheOldWebMailAgent) {
    ASSERT_NO_FATAL_FAILURE(ServerWithOldWebMailAgent(server));
    const std::string webmail = server + "\\WebMail Agent";
    ExpectCleanExit(*StartLoggedIn("-update"));
    EXPECT_EQ(Values(server + "\\Lattice Agent", "Velmora:Port"), std::vector<std::string>{"8080"});
    EXPECT_EQ(Values(webmail, "Velmora:Disabled"), std::vector<std::string>{"1"});
    EXPECT_TRUE(Exists(server + "\\Lattice Agent\\Quill Mail Module"));
}

TEST_F(ToolTest, MainMenuAddsTheSchemaAndExits) {
    auto t = StartLoggedIn("");
    ASSERT_TRUE(t->WaitFor("Exit QuillSetup")) << t->Screen();
    EXPECT_TRUE(t->WaitFor("Press <TAB> or the arrow keys to switch fields")) << t->Screen();
    t->Keys({"Enter"}); // Add Schema Extensions
    // The menu comes back once the definition is over.
    arbortest::WaitFor([&] { return LogCount(" Schema extended") != 0; }, 60000);
    ASSERT_EQ(LogCount(" Schema extended"), 1);
    t->Keys({"Down", "n", "Tab", "Enter"}); // three rows down: Exit
    ExpectCleanExit(*t);
    EXPECT_TRUE(Exists(services + "\\Templates"));
}

TEST_F(ToolTest, FullInstallsAndConfiguresAndControlCInTheFormCreatesNothing) {
    auto t = StartLoggedIn("-full");
    ASSERT_NO_FATAL_FAILURE(FormWithDomain(*t, std::chrono::seconds(60)));
    t->Keys({"Enter"});
    ExpectCleanExit(*t);
    EXPECT_TRUE(Exists(server + "\\Calendar Agent"));

    // Again: the configured server goes with the old container, then the form comes
    // back, and leaving it with Control-C creates no server.
    auto again = StartLoggedIn("-full");
    ASSERT_TRUE(again->WaitFor("Remove Messaging Server Objects?")) << again->Screen();
    again->Keys({"Enter"});
    ASSERT_TRUE(again->WaitFor("Configuration Parameters", std::chrono::seconds(60)))
        << again->Screen();
    again->Keys({"C-c"});
    ExpectCleanExit(*again);
    EXPECT_TRUE(Exists(services + "\\Templates"));
    EXPECT_FALSE(Exists(server));
}

} // namespace
