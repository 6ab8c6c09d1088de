// The calendar agent stops for 30 seconds while mail keeps coming: with the
// real revod and the real dayward, every update reaches the calendar exactly
// once when the agent is back, and only ordinary mail reaches the mailbox.
#include "pdksa.h"
#include "quillschema.h"
#include "revo_secret_store.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.41";
constexpr int64_t kFirst = 1799053200; // 2027-01-04 09:00:00 UTC, the series' first instance

std::string BuildDir() {
    const char* b = std::getenv("ARBOR_BUILD_DIR");
    return b ? b : ".";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Proc {
  public:
    ~Proc() { Stop(SIGKILL); }
    void Start(const std::string& bin, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::string& out) {
        pid_ = Spawn(bin, args, env, out);
        ASSERT_GT(pid_, 0);
    }
    void Stop(int sig) {
        if (pid_ <= 0) return;
        ::kill(pid_, sig);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

int Create(DDCContextHandle ctx, const std::string& name, const char* cls,
           const std::vector<std::pair<const char*, std::string>>& values = {}) {
    std::vector<DDCEntry> e;
    e.push_back({0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls});
    for (const auto& [attr, v] : values)
        e.push_back({0, DDC_SYN_TEXT, 0, 0, attr, 0, 0, v.c_str()});
    return DDCCreateEntry(ctx, name.c_str(), static_cast<uint32_t>(e.size()), e.data());
}

std::string Calendar(const std::string& method, const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nMETHOD:" + method +
           "\r\nBEGIN:VEVENT\r\n" + body + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string Mime(const std::string& from, const std::string& subject, const std::string& method,
                 const std::string& calendar) {
    return "From: " + from + "\r\nTo: bob@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/calendar; charset=utf-8; method=" + method +
           "\r\n\r\n" + calendar;
}

std::string Stamp(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    tm u{};
    gmtime_r(&tt, &u);
    char b[32];
    std::strftime(b, sizeof b, "%Y%m%dT%H%M%SZ", &u);
    return b;
}

class Outage : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = TempDir();
        port_ = TestPort();
        const std::string store = dir_ + "/directory.db", conf = dir_ + "/arbor.conf";
        std::ofstream(conf) << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
                               "orb.arbor.server-context=ou=sales.o=org\n"
                               "arbor.directory.store="
                            << store << "\n";
        setenv("ARBOR_CONF", conf.c_str(), 1);
        setenv("ARBOR_DIRECTORY", store.c_str(), 1);
        ASSERT_EQ(0, PDKCreateStore(store.c_str()));
        DDCContextHandle admin = 0;
        ASSERT_EQ(0, DDCCreateContext(1, &admin));
        ASSERT_EQ(0, PDKLoginMaintenance(admin));
        ASSERT_EQ(0, Create(admin, "\\ACME", "Tree Root"));
        ASSERT_EQ(0, Create(admin, "\\ACME\\org", "Organization"));
        ASSERT_EQ(0, Create(admin, "\\ACME\\org\\Admin", "User"));
        ASSERT_EQ(0, Create(admin, "\\ACME\\org\\sales", "Organizational Unit"));
        ASSERT_EQ(0, Create(admin, "\\ACME\\org\\sales\\MAIL1", "TWP Server",
                            {{"Network Address", kAddr}}));
        quill::Site site;
        ASSERT_TRUE(quill::Site::FromConfig(site));
        quill::DefineSchema(admin, site, nullptr);
        quill::ServerConfig cfg;
        cfg.msgServerName = site.msgServerName;
        cfg.officialName = "example.com";
        quill::CreateServer(admin, site, "\\ACME\\org\\Admin", cfg, nullptr);
        ASSERT_EQ(0, Create(admin, "\\ACME\\org\\sales\\bob", "User",
                            {{"Velmora:EMail Address", "bob@example.com"}}));
        // The secret both sides read from the directory: no built-in default.
        char text[33];
        ASSERT_EQ(0, RevoStoreNewSecret(admin, "\\ACME\\Internet Services", text));
        secret_ = text;
        DDCFreeContext(admin);

        env_ = {"ARBOR_CONF=" + conf, "ARBOR_DIRECTORY=" + store,
                "REVO_PORT=" + std::to_string(port_), "ASAN_OPTIONS=detect_leaks=0"};
        revod_.Start(BuildDir() + "/platform/bin/revod/revod",
                     {"--listen", kAddr, "--port", std::to_string(port_), "--store",
                      dir_ + "/revod.db", "--user", "bob@example.com"},
                     env_, dir_ + "/revod.out");
        ASSERT_TRUE(WaitFor([&] {
            Client c;
            return c.Connect(kAddr, port_);
        })) << ReadFile(dir_ + "/revod.out");
        StartAgent();
    }
    void TearDown() override {
        agent_.Stop(SIGKILL);
        revod_.Stop(SIGTERM);
        std::filesystem::remove_all(dir_);
    }
    void StartAgent() {
        const size_t before = Registrations();
        agent_.Start(BuildDir() + "/agent/dayward", {}, env_, dir_ + "/agent.out");
        ASSERT_TRUE(WaitFor([&] { return Registrations() > before; }, 30000))
            << ReadFile(dir_ + "/agent.out") << ReadFile(dir_ + "/revod.out");
    }
    size_t Registrations() {
        std::istringstream in(ReadFile(dir_ + "/revod.out"));
        size_t n = 0;
        for (std::string l; std::getline(in, l);)
            n += l.find("registered for queue 5") != std::string::npos;
        return n;
    }
    std::unique_ptr<Client> Login() {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->Connect(kAddr, port_));
        EXPECT_EQ("1000 Authenticated", c->Auth(secret_));
        return c;
    }
    void Put(Client& c, const std::string& block) {
        c.Send("CSPUT " + std::to_string(block.size()) + "\r\n" + block);
        std::string r = c.Line();
        ASSERT_EQ(0u, r.find("1000 ")) << r;
    }

    std::string dir_, secret_;
    uint16_t port_ = 0;
    std::vector<std::string> env_;
    Proc revod_, agent_;
};

TEST_F(Outage, AgentDownThirtySecondsUnderLoadLosesNoUpdate) {
    constexpr int kAttendees = 75, kInstances = 50;
    {
        // Bob organizes a meeting; he also attends a series someone else runs.
        auto c = Login();
        ASSERT_EQ("1000 bob@example.com selected", c->Cmd("USER bob@example.com"));
        ASSERT_EQ("1000 Calendar MAIN open", c->Cmd("CSOPEN MAIN"));
        std::string team = "KIND E\nUID team@example.com\nSEQUENCE 0\nORGANIZER bob@example.com\n"
                           "SUMMARY Team\nSTART " +
                           std::to_string(kFirst) + "\nEND " + std::to_string(kFirst + 3600) + "\n";
        for (int i = 0; i < kAttendees; ++i)
            team += "ATTENDEE N a" + std::to_string(i) + "@partner.example\n";
        Put(*c, team);
        std::string series = "KIND E\nUID series@example.com\nSEQUENCE 0\n"
                             "ORGANIZER org@partner.example\nSUMMARY Series\nSTART " +
                             std::to_string(kFirst) + "\nEND " + std::to_string(kFirst + 3600) +
                             "\nATTENDEE A bob@example.com\n";
        for (int i = 0; i < kInstances; ++i)
            series += "INSTANCE " + std::to_string(kFirst + i * 86400) + "\n";
        Put(*c, series);
    }

    std::map<std::string, std::string> expectStatus; // attendee -> letter
    std::set<int64_t> cancelled;
    std::set<std::string> mails; // entries of ordinary mail
    std::set<std::string> updates;
    int replies = 0, cancels = 0, plain = 0;
    auto c = Login();
    auto submit = [&](const std::string& from, const std::string& message) {
        const std::string r =
            c->Submit("F" + from + "\nLbob@example.com bob@example.com 0\n", message);
        EXPECT_EQ(0u, r.find("1000 ")) << r;
        return r.substr(5, r.find(' ', 5) - 5);
    };
    auto reply = [&] {
        const std::string who = "a" + std::to_string(replies) + "@partner.example";
        const bool yes = replies++ % 3 != 0;
        expectStatus[who] = yes ? "A" : "D";
        updates.insert(
            submit(who, Mime(who, "Re: Team", "REPLY",
                             Calendar("REPLY", "UID:team@example.com\r\nSEQUENCE:0\r\n"
                                               "ORGANIZER:mailto:bob@example.com\r\n"
                                               "ATTENDEE;PARTSTAT=" +
                                                   std::string(yes ? "ACCEPTED" : "DECLINED") +
                                                   ":mailto:" + who + "\r\n"))));
    };
    auto cancel = [&] {
        const int64_t when = kFirst + (cancels++) * 86400;
        cancelled.insert(when);
        updates.insert(submit(
            "org@partner.example",
            Mime("org@partner.example", "Cancelled", "CANCEL",
                 Calendar("CANCEL", "UID:series@example.com\r\nSEQUENCE:0\r\nRECURRENCE-ID:" +
                                        Stamp(when) + "\r\nDTSTART:" + Stamp(when) +
                                        "\r\nORGANIZER:mailto:org@partner.example\r\n"
                                        "ATTENDEE:mailto:bob@example.com\r\n"))));
    };
    auto mail = [&] {
        mails.insert(submit("carol@elsewhere.example",
                            "From: carol@elsewhere.example\r\nTo: bob@example.com\r\nSubject: "
                            "mail " +
                                std::to_string(plain++) + "\r\n\r\nJust mail.\r\n"));
    };

    // Replies and mail flow; the agent is killed in the middle of them.
    for (int i = 0; i < 20; ++i) {
        reply();
        mail();
    }
    agent_.Stop(SIGKILL);
    // Thirty seconds without the agent, mail arriving all the while.
    const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = 0; std::chrono::steady_clock::now() < back; ++i) {
        if (cancels < kInstances - 10 && i % 3 == 0)
            cancel();
        else if (replies < kAttendees - 15 && i % 3 == 1)
            reply();
        else if (i % 3 == 2)
            mail();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_FALSE(HasFailure());
    StartAgent();
    for (int i = 0; i < 5; ++i) {
        reply();
        cancel();
        mail();
    }
    c.reset();

    ASSERT_TRUE(WaitFor([&] { return Login()->Listing("QLIST").size() == 1; }, 120000))
        << ReadFile(dir_ + "/revod.out");

    // Only ordinary mail reached the mailbox, each message once.
    std::multiset<std::string> delivered;
    for (const auto& l : Login()->Listing("MBLIST bob@example.com")) {
        if (l.rfind("2031 ", 0) != 0) continue;
        std::string_view rest = std::string_view(l).substr(5);
        revo::NextWord(rest);
        delivered.emplace(revo::NextWord(rest));
    }
    EXPECT_EQ(std::multiset<std::string>(mails.begin(), mails.end()), delivered);
    for (const auto& u : updates)
        EXPECT_EQ(0u, delivered.count(u)) << "update " << u << " was delivered as mail";

    // Every update is in the calendar; nothing else changed.
    auto l = Login();
    ASSERT_EQ("1000 bob@example.com selected", l->Cmd("USER bob@example.com"));
    ASSERT_EQ("1000 Calendar MAIN open", l->Cmd("CSOPEN MAIN"));
    std::map<std::string, std::string> status;
    std::set<int64_t> instances;
    std::map<std::string, std::string> entryUid;
    for (const auto& line : l->Listing("CSLIST")) {
        std::istringstream f(line);
        std::string code, entry, a, b, rest;
        f >> code >> entry >> a >> b;
        if (code == "2040") {
            std::string seq, start, end, completed, uid;
            std::istringstream g(line);
            g >> code >> entry >> a >> seq >> start >> end >> completed >> uid;
            entryUid[entry] = uid;
        } else if (code == "2041" && entryUid[entry] == "series@example.com") {
            instances.insert(std::stoll(a));
        } else if (code == "2042" && entryUid[entry] == "team@example.com") {
            status[b] = a;
        }
    }
    ASSERT_EQ(size_t(kAttendees), status.size());
    for (int i = 0; i < kAttendees; ++i) {
        const std::string who = "a" + std::to_string(i) + "@partner.example";
        const auto want = expectStatus.count(who) ? expectStatus[who] : "N";
        EXPECT_EQ(want, status[who]) << who;
    }
    for (int i = 0; i < kInstances; ++i) {
        const int64_t t = kFirst + i * 86400;
        EXPECT_EQ(cancelled.count(t) == 0, instances.count(t) == 1) << "instance " << i;
    }
    EXPECT_GE(cancelled.size(), 30u);
    EXPECT_EQ(std::string::npos, ReadFile(dir_ + "/revod.out").find("passes queue"));
}

} // namespace
