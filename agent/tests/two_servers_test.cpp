// Two messaging servers as two "machines" on this host, sharing one
// directory: each has its own configuration file naming its own server
// object, its own revod (own address, own store) and its own dayward. The
// directory is made once with arborctl init, the second server joins it,
// quillsetup extends the schema once and configures each server; then users
// added through either configuration are found by both, and a reply
// submitted to either server changes the calendar on the user's own server.
#include "live_stack.h"
#include "peer.h"
#include "slapd.h"
#include "terminal.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>

using namespace agenttest;
using arbortest::Env;
using arbortest::ShellQuote;

namespace {

const char* kAdminPassword = "Adm1n-two";

// Where the shared directory is, as arborctl is told: its global options
// and the options of init and join; stop ends what was started for it, and
// killOne kills one server of a replicated directory (resumeOne restarts it).
struct DirectoryLocator {
    std::vector<std::string> global, command;
    std::string stop, killOne, resumeOne;
};

// A store file that both configuration files name.
DirectoryLocator StoreFile(const std::string& dir) {
    return {{"--store", dir + "/shared/directory.db"}, {}, "", "", ""};
}

using arbortest::SlapdScript;

std::vector<std::string> LdapOptions(std::map<std::string, std::string> env) {
    return {"--url",
            env["URL"],
            "--base",
            env["SUFFIX"],
            "--bind-dn",
            env["BIND_DN"],
            "--bind-password-file",
            env["BIND_PW_FILE"]};
}

// A private slapd with an empty suffix, for the LDAP store.
DirectoryLocator LdapServer(const std::string& dir) {
    const std::string folder = ShellQuote(dir + "/slapd");
    std::string out;
    if (arbortest::Run(SlapdScript() + " start " + folder + " 22621", &out) != 0)
        ADD_FAILURE() << "slapd: " << out;
    return {{},
            LdapOptions(arbortest::ReadSlapdEnv(dir + "/slapd/env")),
            SlapdScript() + " stop " + folder,
            "",
            ""};
}

// A replicated pair of slapd; the configuration files list both.
DirectoryLocator LdapPair(const std::string& dir) {
    const std::string folder = ShellQuote(dir + "/slapd");
    std::string out;
    if (arbortest::Run(SlapdScript() + " mirror " + folder + " 22627 22628", &out) != 0)
        ADD_FAILURE() << "slapd pair: " << out;
    const std::string first = ShellQuote(dir + "/slapd/1");
    return {{},
            LdapOptions(arbortest::ReadSlapdEnv(dir + "/slapd/env")),
            SlapdScript() + " mirror-stop " + folder,
            "kill -9 \"$(cat " + first + "/slapd.pid)\"",
            SlapdScript() + " resume " + first};
}

// The test's parameter: a kind of shared directory, made in a folder.
struct DirectoryKind {
    const char* name;
    DirectoryLocator (*make)(const std::string& dir);
};

void PrintTo(const DirectoryKind& k, std::ostream* os) {
    *os << k.name;
}

struct Machine {
    std::string server, context, address, dir;

    std::string Conf() const { return dir + "/arbor.conf"; }
    std::string ServerDn() const {
        return "\\ACME\\Internet Services\\" + server + " Messaging Server";
    }
    // What every program of this machine runs with: its configuration
    // file, nothing else names the directory.
    Env Environment() const {
        Env env{{"ARBOR_CONF", Conf()}, {"ASAN_OPTIONS", "detect_leaks=0"}};
        if (RevoPort() != 689) env["REVO_PORT"] = std::to_string(RevoPort());
        return env;
    }
    std::string EnvPrefix() const {
        std::string s;
        for (const auto& [k, v] : Environment())
            s += k + "=" + ShellQuote(v) + " ";
        return s;
    }
    Process revod, agent;
};

std::string Meeting(const std::string& uid, const std::string& organizer) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nMETHOD:REQUEST\r\n"
           "BEGIN:VEVENT\r\nUID:" +
           uid +
           "\r\nSEQUENCE:0\r\nDTSTAMP:20261201T090000Z\r\nDTSTART:20261207T140000Z\r\n"
           "DTEND:20261207T150000Z\r\nSUMMARY:Planning\r\nORGANIZER:mailto:" +
           organizer +
           "\r\nATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:alice@example.com\r\n"
           "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string Reply(const std::string& uid, const std::string& organizer, const std::string& stat) {
    const std::string ics =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:REPLY\r\nBEGIN:VEVENT\r\nUID:" + uid +
        "\r\nSEQUENCE:0\r\nORGANIZER:mailto:" + organizer + "\r\nATTENDEE;PARTSTAT=" + stat +
        ":mailto:alice@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    return "From: alice@example.com\r\nTo: " + organizer +
           "\r\nSubject: Re: Planning\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/calendar; charset=utf-8; method=REPLY\r\n\r\n" +
           ics;
}

class TwoServers : public ::testing::TestWithParam<DirectoryKind> {
  protected:
    void SetUp() override;
    void TearDown() override;

    // arborctl as machine m's administrator; its exit status, output in out.
    int Arborctl(const Machine& m, const std::vector<std::string>& args, bool withCommandArgs,
                 std::string* out = nullptr);
    void MakeDirectory();
    // quillsetup MODE on machine m, through its form with the defaults.
    void Quillsetup(const Machine& m, const std::string& mode);
    void StartServers(Machine& m);
    int Ctl(const Machine& m, const std::string& args, std::string* out = nullptr);
    void Submit(const Machine& m, const std::string& to, const std::string& message);
    void Seed(const Machine& m, const std::string& user, const std::string& ics);
    std::string Calendar(const Machine& m, const std::string& user);
    bool QueueEmpty(const Machine& m);
    // What m's MSGFindUser says of each address, one line each.
    std::vector<std::string> FindUsers(const Machine& m, const std::vector<std::string>& who);

    arbortest::TempDir tmp_{"two-servers"};
    const std::string dir_ = tmp_.Str();
    DirectoryLocator where_;
    Machine a_{"MAIL1", "ou=sales.o=org", "127.0.21.1", dir_ + "/a", {}, {}};
    Machine b_{"MAIL2", "ou=support.o=org", "127.0.21.2", dir_ + "/b", {}, {}};
    int serial_ = 0;
};

void TwoServers::SetUp() {
    // Only the configuration files name the directory.
    unsetenv("ARBOR_DIRECTORY");
    unsetenv("ARBOR_DIRECTORY_URL");
    unsetenv("ARBOR_CONF");
    where_ = GetParam().make(dir_);
    for (const Machine* m : {&a_, &b_})
        ASSERT_EQ(arbortest::Run("mkdir -p " + ShellQuote(m->dir)), 0);
    ASSERT_NO_FATAL_FAILURE(MakeDirectory());
    ASSERT_NO_FATAL_FAILURE(StartServers(a_));
    ASSERT_NO_FATAL_FAILURE(StartServers(b_));
}

void TwoServers::TearDown() {
    for (Machine* m : {&a_, &b_}) {
        m->agent.Kill();
        ExpectNoSanitizerReport(m->dir + "/agent.out");
        m->revod.Signal(SIGTERM);
        if (m->revod.Wait(5000) == Process::kTimedOut) m->revod.Kill();
        ExpectNoSanitizerReport(m->dir + "/revod.out");
    }
    if (!where_.stop.empty()) arbortest::Run(where_.stop);
}

int TwoServers::Arborctl(const Machine& m, const std::vector<std::string>& args,
                         bool withCommandArgs, std::string* out) {
    std::string cmd = m.EnvPrefix() + ShellQuote(BuildDir() + "/platform/bin/arborctl/arborctl");
    for (const auto& a : where_.global)
        cmd += " " + ShellQuote(a);
    for (const auto& a : args)
        cmd += " " + ShellQuote(a);
    if (withCommandArgs)
        for (const auto& a : where_.command)
            cmd += " " + ShellQuote(a);
    return arbortest::Run(cmd + " 2>&1", out);
}

void TwoServers::MakeDirectory() {
    const std::string pw = dir_ + "/admin.pw";
    arbortest::WriteFile(pw, std::string(kAdminPassword) + "\n");
    std::string out;
    ASSERT_EQ(Arborctl(a_,
                       {"init", "--tree", "ACME", "--context", a_.context, "--server", a_.server,
                        "--address", a_.address, "--password-file", pw},
                       true, &out),
              0)
        << out;
    // The second machine joins the tree: its own container and server object.
    ASSERT_EQ(Arborctl(b_,
                       {"join", "--tree", "ACME", "--context", b_.context, "--server", b_.server,
                        "--address", b_.address},
                       true, &out),
              0)
        << out;
    // The schema once, with the first server; then the second server alone.
    ASSERT_NO_FATAL_FAILURE(Quillsetup(a_, "-full"));
    ASSERT_NO_FATAL_FAILURE(Quillsetup(b_, "-server"));
    ASSERT_EQ(Arborctl(a_, {"secret"}, false, &out), 0) << out;
    // Users through either configuration: relative names are in that
    // machine's container, full names anywhere in the tree.
    ASSERT_EQ(Arborctl(a_, {"adduser", "bob", "--email", "bob@example.com"}, false, &out), 0)
        << out;
    ASSERT_EQ(Arborctl(a_, {"adduser", "\\ACME\\org\\support\\dave", "--email", "dave@example.com"},
                       false, &out),
              0)
        << out;
    ASSERT_EQ(Arborctl(b_, {"adduser", "carol", "--email", "carol@example.com"}, false, &out), 0)
        << out;
}

void TwoServers::Quillsetup(const Machine& m, const std::string& mode) {
    // The screen is cleared at the end: its log tells what was done.
    const std::string log = m.dir + "/quillsetup" + mode + ".log";
    quilltest::Terminal t("QUILLSETUP_LOG=" + ShellQuote(log) + " " + m.EnvPrefix() +
                          ShellQuote(BuildDir() + "/setup/quillsetup") + " " + mode);
    ASSERT_TRUE(t.WaitFor("Administrator name:")) << t.Screen();
    t.Type("Admin.org");
    t.Keys({"Tab"});
    t.Type(kAdminPassword);
    t.Keys({"Enter"});
    ASSERT_TRUE(t.WaitFor("Configuration Parameters", std::chrono::seconds(60))) << t.Screen();
    t.Keys({"Tab"});
    t.Type("example.com");
    t.Keys({"Enter"});
    EXPECT_EQ(t.WaitExit(), 0) << t.Screen();
    const std::string done = ReadFile(log);
    ASSERT_NE(done.find(m.server + " Messaging Server created"), std::string::npos) << done;
    ASSERT_NE(done.find("Links to TWP Server created"), std::string::npos) << done;
    // Every agent made (the schema pass has its one known repeated row).
    ASSERT_EQ(done.find("Agent not created"), std::string::npos) << done;
}

void TwoServers::StartServers(Machine& m) {
    // No --user: the directory says whose mailboxes are here.
    ASSERT_TRUE(m.revod.Start(BuildDir() + "/platform/bin/revod/revod",
                              {"--listen", m.address, "--port", std::to_string(RevoPort()),
                               "--store", m.dir + "/revod.db", "--retry-delay", "100"},
                              m.Environment(), m.dir + "/revod.out"));
    for (int i = 0; i < 400 && Ctl(m, "queue") != 0; ++i)
        usleep(50000);
    ASSERT_EQ(Ctl(m, "queue"), 0) << ReadFile(m.dir + "/revod.out");
    ASSERT_TRUE(
        m.agent.Start(BuildDir() + "/agent/dayward", {}, m.Environment(), m.dir + "/agent.out"));
    const std::string registered = "registered for queue 5";
    for (int i = 0; i < 400 && ReadFile(m.dir + "/revod.out").find(registered) == std::string::npos;
         ++i)
        usleep(50000);
    ASSERT_NE(ReadFile(m.dir + "/revod.out").find(registered), std::string::npos)
        << ReadFile(m.dir + "/revod.out") << ReadFile(m.dir + "/agent.out");
}

int TwoServers::Ctl(const Machine& m, const std::string& args, std::string* out) {
    return arbortest::Run(m.EnvPrefix() + ShellQuote(BuildDir() + "/platform/bin/revod/revoctl") +
                              " --server " + m.address + " --port " + std::to_string(RevoPort()) +
                              " " + args + " 2>&1",
                          out);
}

void TwoServers::Submit(const Machine& m, const std::string& to, const std::string& message) {
    const std::string file = dir_ + "/msg" + std::to_string(++serial_) + ".eml";
    arbortest::WriteFile(file, message);
    std::string out;
    ASSERT_EQ(Ctl(m, "submit --from alice@example.com --to " + to + " " + file, &out), 0) << out;
}

void TwoServers::Seed(const Machine& m, const std::string& user, const std::string& ics) {
    const std::string file = dir_ + "/seed" + std::to_string(++serial_) + ".ics";
    arbortest::WriteFile(file, ics);
    std::string out;
    ASSERT_EQ(Ctl(m, "calendar add " + user + " " + file, &out), 0) << out;
}

std::string TwoServers::Calendar(const Machine& m, const std::string& user) {
    std::string out;
    Ctl(m, "calendar show " + user, &out);
    return out;
}

bool TwoServers::QueueEmpty(const Machine& m) {
    for (int waited = 0; waited < 20000; waited += 100) {
        std::string out;
        if (Ctl(m, "queue", &out) == 0 && out.find("\n0 entries queued") != std::string::npos)
            return true;
        usleep(100000);
    }
    return false;
}

std::vector<std::string> TwoServers::FindUsers(const Machine& m,
                                               const std::vector<std::string>& who) {
    std::string cmd = m.EnvPrefix() + ShellQuote(BuildDir() + "/agent/tests/agent_find_user");
    for (const auto& w : who)
        cmd += " " + ShellQuote(w);
    std::string out;
    EXPECT_EQ(arbortest::Run(cmd, &out), 0) << out;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST_P(TwoServers, EachMachineIsItsOwnServerAndFindsEveryUser) {
    const std::vector<std::string> who = {"bob@example.com", "dave@example.com",
                                          "CAROL@example.com", "nobody@example.com"};
    // bob is in MAIL1's container, dave and carol in MAIL2's, whichever
    // machine added them; both machines see the same.
    for (const Machine* m : {&a_, &b_}) {
        SCOPED_TRACE(m->server);
        EXPECT_EQ(FindUsers(*m, who),
                  (std::vector<std::string>{
                      "server " + m->ServerDn(),
                      "bob@example.com \\ACME\\org\\sales\\bob 127.0.21.1",
                      "dave@example.com \\ACME\\org\\support\\dave 127.0.21.2",
                      "CAROL@example.com \\ACME\\org\\support\\carol 127.0.21.2",
                      "nobody@example.com -",
                  }));
    }
    // Each revod takes its own users only.
    std::string out;
    EXPECT_EQ(Ctl(a_, "calendar show bob@example.com", &out), 0) << out;
    EXPECT_NE(Ctl(b_, "calendar show bob@example.com", &out), 0) << out;
    EXPECT_EQ(Ctl(b_, "calendar show dave@example.com", &out), 0) << out;
    EXPECT_NE(Ctl(a_, "calendar show dave@example.com", &out), 0) << out;
}

TEST_P(TwoServers, RepliesReachTheCalendarOnTheUsersOwnServer) {
    Seed(a_, "bob@example.com", Meeting("p1@example.com", "bob@example.com"));
    Seed(b_, "dave@example.com", Meeting("p2@example.com", "dave@example.com"));
    Seed(b_, "carol@example.com", Meeting("p3@example.com", "carol@example.com"));
    // Each reply goes in at the server that is not its recipient's, and one
    // at the recipient's own.
    Submit(b_, "bob@example.com", Reply("p1@example.com", "bob@example.com", "ACCEPTED"));
    Submit(a_, "dave@example.com", Reply("p2@example.com", "dave@example.com", "DECLINED"));
    Submit(b_, "carol@example.com", Reply("p3@example.com", "carol@example.com", "TENTATIVE"));
    ASSERT_TRUE(QueueEmpty(a_)) << ReadFile(a_.dir + "/revod.out");
    ASSERT_TRUE(QueueEmpty(b_)) << ReadFile(b_.dir + "/revod.out");

    std::string bob = Calendar(a_, "bob@example.com"), dave = Calendar(b_, "dave@example.com"),
                carol = Calendar(b_, "carol@example.com");
    EXPECT_EQ(StatusOf(bob, "alice@example.com"), "ACCEPTED") << bob;
    EXPECT_EQ(StatusOf(dave, "alice@example.com"), "DECLINED") << dave;
    EXPECT_EQ(StatusOf(carol, "alice@example.com"), "TENTATIVE") << carol;
    // Applied replies are taken out of the entries: no mailbox got them.
    for (const Machine* m : {&a_, &b_})
        for (const char* user : {"bob@example.com", "dave@example.com", "carol@example.com"}) {
            std::string out;
            Ctl(*m, std::string("mailbox ") + user, &out);
            EXPECT_NE(out.find("\n0 message(s)"), std::string::npos) << m->server << " " << out;
        }
}

// With a replicated directory, the servers go on when one directory server
// dies: users are added and found, replies applied, through the other.
using TwoServersOnAPair = TwoServers;

TEST_P(TwoServersOnAPair, KeepWorkingWhenOneDirectoryServerDies) {
    Seed(b_, "dave@example.com", Meeting("k1@example.com", "dave@example.com"));
    ASSERT_EQ(arbortest::Run(where_.killOne), 0);
    std::string out;
    ASSERT_EQ(Arborctl(a_, {"adduser", "\\ACME\\org\\support\\erin", "--email", "erin@example.com"},
                       false, &out),
              0)
        << out;
    EXPECT_EQ(FindUsers(b_, {"erin@example.com"}).back(),
              "erin@example.com \\ACME\\org\\support\\erin 127.0.21.2");
    Submit(a_, "dave@example.com", Reply("k1@example.com", "dave@example.com", "ACCEPTED"));
    ASSERT_TRUE(QueueEmpty(a_)) << ReadFile(a_.dir + "/revod.out");
    std::string dave = Calendar(b_, "dave@example.com");
    EXPECT_EQ(StatusOf(dave, "alice@example.com"), "ACCEPTED") << dave;
    // Back again, the dead one has what was written meanwhile.
    ASSERT_EQ(arbortest::Run(where_.resumeOne, &out), 0) << out;
}

const auto kName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(SharedDirectory, TwoServers,
                         ::testing::Values(DirectoryKind{"StoreFile", StoreFile}), kName);
// The same machines on an LDAP server, and on a replicated pair.
INSTANTIATE_TEST_SUITE_P(LdapDirectory, TwoServers,
                         ::testing::Values(DirectoryKind{"LdapServer", LdapServer},
                                           DirectoryKind{"LdapPair", LdapPair}),
                         kName);
INSTANTIATE_TEST_SUITE_P(ReplicatedDirectory, TwoServersOnAPair,
                         ::testing::Values(DirectoryKind{"LdapPair", LdapPair}), kName);

} // namespace
