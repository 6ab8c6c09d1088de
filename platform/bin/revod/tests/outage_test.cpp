// The calendar agent stops for 30 seconds while mail keeps coming: with the
// real revod and the real dayward, every update reaches the calendar exactly
// once when the agent is back, and only ordinary mail reaches the mailbox.
#include "revo_secret_store.h"
#include "sample_tree.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.41";
constexpr int64_t kFirst = 1799053200; // 2027-01-04 09:00:00 UTC, the series' first instance

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
    static constexpr int kAttendees = 75, kInstances = 50;

    void SetUp() override;
    void StartAgent() {
        const size_t before = Registrations();
        ASSERT_TRUE(
            agent_.Start(BuildDir() + "/agent/dayward", {}, env_, dir_ + "/agent.out", true));
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
    std::unique_ptr<Client> OpenBobsCalendar() {
        auto c = Login();
        c->OpenCalendar("bob@example.com");
        return c;
    }
    void SeedCalendar();
    // The load: queued through submitter_, what is expected is recorded.
    std::string Submit(const std::string& from, const std::string& message);
    void Reply();
    void Cancel();
    void Mail();
    void CheckMailbox();
    void CheckCalendar();

    TempDir tmp_{"revod-test"};
    const std::string dir_ = tmp_.Str();
    std::string secret_;
    const uint16_t port_ = TestPort();
    arbortest::Env env_;
    RevodProcess revod_{kAddr, port_, dir_ + "/revod.out"};
    Process agent_; // killed before revod_ stops

    std::unique_ptr<Client> submitter_;
    std::map<std::string, std::string> expectStatus_; // attendee -> letter
    std::set<int64_t> cancelled_;
    std::set<std::string> mails_; // entries of ordinary mail
    std::set<std::string> updates_;
    int replies_ = 0, cancels_ = 0, plain_ = 0;
};

void Outage::SetUp() {
    const arbortest::SampleTree tree =
        arbortest::SampleTree(dir_).WithMessaging(kAddr, {{"bob", "bob@example.com"}});
    ASSERT_EQ(0, tree.Build());
    {
        // The secret both sides read from the directory: no built-in default.
        arbortest::MaintenanceContext admin;
        ASSERT_EQ(0, admin.Err());
        char text[33];
        ASSERT_EQ(0, RevoStoreNewSecret(admin.get(), "\\ACME\\Internet Services", text));
        secret_ = text;
    }
    env_ = tree.Environment();
    env_["REVO_PORT"] = std::to_string(port_);
    env_["ASAN_OPTIONS"] = "detect_leaks=0";
    ASSERT_NO_FATAL_FAILURE(
        revod_.Start({"--listen", kAddr, "--port", std::to_string(port_), "--store",
                      dir_ + "/revod.db", "--user", "bob@example.com"},
                     env_));
    StartAgent();
}

// Bob organizes a meeting; he also attends a series someone else runs.
void Outage::SeedCalendar() {
    auto c = OpenBobsCalendar();
    std::string team = "KIND E\nUID team@example.com\nSEQUENCE 0\nORGANIZER bob@example.com\n"
                       "SUMMARY Team\nSTART " +
                       std::to_string(kFirst) + "\nEND " + std::to_string(kFirst + 3600) + "\n";
    for (int i = 0; i < kAttendees; ++i)
        team += "ATTENDEE N a" + std::to_string(i) + "@partner.example\n";
    c->Put(team);
    std::string series = "KIND E\nUID series@example.com\nSEQUENCE 0\n"
                         "ORGANIZER org@partner.example\nSUMMARY Series\nSTART " +
                         std::to_string(kFirst) + "\nEND " + std::to_string(kFirst + 3600) +
                         "\nATTENDEE A bob@example.com\n";
    for (int i = 0; i < kInstances; ++i)
        series += "INSTANCE " + std::to_string(kFirst + i * 86400) + "\n";
    c->Put(series);
}

std::string Outage::Submit(const std::string& from, const std::string& message) {
    const std::string r =
        submitter_->Submit("F" + from + "\nLbob@example.com bob@example.com 0\n", message);
    EXPECT_EQ(0u, r.find("1000 ")) << r;
    return ReplyWord(r);
}

void Outage::Reply() {
    const std::string who = "a" + std::to_string(replies_) + "@partner.example";
    const bool yes = replies_++ % 3 != 0;
    expectStatus_[who] = yes ? "A" : "D";
    updates_.insert(Submit(
        who, Mime(who, "Re: Team", "REPLY",
                  Calendar("REPLY", "UID:team@example.com\r\nSEQUENCE:0\r\n"
                                    "ORGANIZER:mailto:bob@example.com\r\nATTENDEE;PARTSTAT=" +
                                        std::string(yes ? "ACCEPTED" : "DECLINED") +
                                        ":mailto:" + who + "\r\n"))));
}

void Outage::Cancel() {
    const int64_t when = kFirst + (cancels_++) * 86400;
    cancelled_.insert(when);
    updates_.insert(
        Submit("org@partner.example",
               Mime("org@partner.example", "Cancelled", "CANCEL",
                    Calendar("CANCEL", "UID:series@example.com\r\nSEQUENCE:0\r\nRECURRENCE-ID:" +
                                           Stamp(when) + "\r\nDTSTART:" + Stamp(when) +
                                           "\r\nORGANIZER:mailto:org@partner.example\r\n"
                                           "ATTENDEE:mailto:bob@example.com\r\n"))));
}

void Outage::Mail() {
    mails_.insert(Submit("carol@elsewhere.example",
                         "From: carol@elsewhere.example\r\nTo: bob@example.com\r\nSubject: mail " +
                             std::to_string(plain_++) + "\r\n\r\nJust mail.\r\n"));
}

// Only ordinary mail reached the mailbox, each message once.
void Outage::CheckMailbox() {
    const std::vector<std::string> entries = MailboxEntries(*Login(), "bob@example.com");
    const std::multiset<std::string> delivered(entries.begin(), entries.end());
    EXPECT_EQ(std::multiset<std::string>(mails_.begin(), mails_.end()), delivered);
    for (const auto& u : updates_)
        EXPECT_EQ(0u, delivered.count(u)) << "update " << u << " was delivered as mail";
}

// Every update is in the calendar; nothing else changed.
void Outage::CheckCalendar() {
    std::map<std::string, std::string> status;
    std::set<int64_t> instances;
    std::map<std::string, std::string> entryUid;
    for (const auto& line : OpenBobsCalendar()->Listing("CSLIST")) {
        std::istringstream f(line);
        std::string code, entry, a, b;
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
        const auto want = expectStatus_.count(who) ? expectStatus_[who] : "N";
        EXPECT_EQ(want, status[who]) << who;
    }
    for (int i = 0; i < kInstances; ++i) {
        const int64_t t = kFirst + i * 86400;
        EXPECT_EQ(cancelled_.count(t) == 0, instances.count(t) == 1) << "instance " << i;
    }
    EXPECT_GE(cancelled_.size(), 30u);
}

TEST_F(Outage, AgentDownThirtySecondsUnderLoadLosesNoUpdate) {
    ASSERT_NO_FATAL_FAILURE(SeedCalendar());
    submitter_ = Login();
    // Replies and mail flow; the agent is killed in the middle of them.
    for (int i = 0; i < 20; ++i) {
        Reply();
        Mail();
    }
    agent_.Kill();
    // Thirty seconds without the agent, mail arriving all the while.
    const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = 0; std::chrono::steady_clock::now() < back; ++i) {
        if (cancels_ < kInstances - 10 && i % 3 == 0)
            Cancel();
        else if (replies_ < kAttendees - 15 && i % 3 == 1)
            Reply();
        else if (i % 3 == 2)
            Mail();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_FALSE(HasFailure());
    StartAgent();
    for (int i = 0; i < 5; ++i) {
        Reply();
        Cancel();
        Mail();
    }
    submitter_.reset();

    ASSERT_TRUE(WaitFor([&] { return Login()->Listing("QLIST").size() == 1; }, 120000))
        << ReadFile(dir_ + "/revod.out");
    CheckMailbox();
    CheckCalendar();
    EXPECT_EQ(std::string::npos, ReadFile(dir_ + "/revod.out").find("passes queue"));
}

} // namespace
