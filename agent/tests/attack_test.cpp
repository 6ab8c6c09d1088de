// The agent under hostile senders and hostile peers, with real processes:
// the directory, revod and dayward. Every test checks that nothing was lost
// (mail still reaches its recipients, later updates still apply) and that
// nothing changed that should not have.
#include "directory.h"
#include "pdksa.h"
#include "peer.h"
#include "revo_secret.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace agenttest;

namespace {

const char* kAddr = "127.0.7.70";

std::string event(const std::string& method, const std::string& uid, const std::string& extra,
                  const std::string& attendees = "ATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:"
                                                 "alice@example.com\r\nATTENDEE;PARTSTAT=NEEDS-"
                                                 "ACTION:mailto:carol@example.com\r\n",
                  const std::string& zones = "") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nMETHOD:" + method + "\r\n" +
           zones + "BEGIN:VEVENT\r\nUID:" + uid + "\r\nSEQUENCE:0\r\nDTSTAMP:20261201T090000Z\r\n" +
           extra + "SUMMARY:Design review\r\nORGANIZER:mailto:bob@example.com\r\n" + attendees +
           "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

const char* kDaily = "DTSTART:20261207T140000Z\r\nDTEND:20261207T150000Z\r\n"
                     "RRULE:FREQ=DAILY;COUNT=5\r\n";

std::string message(const std::string& from, const std::string& to, const std::string& calendar,
                    const std::string& method) {
    return "From: " + from + "\r\nTo: " + to +
           "\r\nSubject: calendar\r\nMIME-Version: 1.0\r\nContent-Type: text/calendar; "
           "charset=utf-8; method=" +
           method + "\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" + calendar;
}

class Attack : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = makeTempDir();
        ASSERT_TRUE(makeDirectory(dir_, kAddr,
                                  {{"bob", "bob@example.com"}, {"carol", "carol@example.com"}}));
        env_ = directoryEnv(dir_);
        env_["ASAN_OPTIONS"] = "detect_leaks=0";
        revod_.start(buildDir() + "/platform/revod/revod",
                     {"--listen", kAddr, "--port", std::to_string(revoPort()), "--store",
                      dir_ + "/revod.db", "--user", "bob@example.com", "--user",
                      "carol@example.com", "--secret-text", REVO_DEFAULT_SECRET_TEXT,
                      "--retry-delay", "100", "--max-failed-offers", "1000"},
                     env_, dir_ + "/revod.out");
        for (int i = 0; i < 400 && !ctl("queue"); ++i)
            usleep(50000);
        startAgent();
    }
    void TearDown() override {
        agent_.signal(SIGKILL);
        agent_.wait(5000);
        expectNoSanitizerReport(dir_ + "/agent.out");
        revod_.signal(SIGTERM);
        if (revod_.wait(5000) == -1000) revod_.signal(SIGKILL);
        revod_.wait(5000);
        removeTree(dir_);
    }
    // Starts the agent and waits until revod has its registration and the
    // agent listens; sets port_.
    void startAgent(const std::map<std::string, std::string>& extra = {}) {
        // One agent at a time: a test that stopped half-way must not leave one behind.
        if (agent_.running()) {
            agent_.signal(SIGKILL);
            agent_.wait(5000);
        }
        auto env = directoryEnv(dir_);
        env.insert(extra.begin(), extra.end());
        size_t before = registrations();
        agent_.start(buildDir() + "/agent/dayward", {}, env, dir_ + "/agent.out");
        port_ = -1;
        for (int i = 0; i < 400 && (registrations() == before || port_ == -1); ++i) {
            usleep(50000);
            port_ = listeningPort(agent_.pid());
        }
        ASSERT_GT(registrations(), before) << readFile(dir_ + "/revod.out");
        ASSERT_GT(port_, 0);
    }
    size_t registrations() {
        std::string log = readFile(dir_ + "/revod.out");
        size_t n = 0;
        for (size_t at = 0; (at = log.find("registered for queue 5", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    }
    bool ctl(const std::string& args, std::string* out = nullptr) {
        std::string cmd;
        for (const auto& [k, v] : env_)
            cmd += k + "='" + v + "' ";
        cmd += buildDir() + "/platform/revod/revoctl --server " + kAddr + " --port " +
               std::to_string(revoPort()) + " " + args;
        return run(cmd, out) == 0;
    }
    void submit(const std::string& from, const std::string& to, const std::string& msg) {
        std::string file = dir_ + "/msg" + std::to_string(++serial_) + ".eml";
        std::ofstream(file, std::ios::binary) << msg;
        std::string out;
        ASSERT_TRUE(ctl("submit --from " + from + " --to " + to + " " + file, &out)) << out;
    }
    void seed(const std::string& user, const std::string& ics) {
        std::string file = dir_ + "/seed" + std::to_string(++serial_) + ".ics";
        std::ofstream(file, std::ios::binary) << ics;
        std::string out;
        ASSERT_TRUE(ctl("calendar add " + user + " " + file, &out)) << out;
    }
    std::string calendar(const std::string& user) {
        std::string out;
        ctl("calendar show " + user, &out);
        return out;
    }
    size_t mailboxCount(const std::string& user) {
        std::string out;
        ctl("mailbox " + user, &out);
        size_t n = 0;
        std::istringstream in(out);
        std::string line;
        std::getline(in, line); // heading
        while (std::getline(in, line))
            if (line.find("message(s)") == std::string::npos) ++n;
        return n;
    }
    bool queueEmpty(int timeoutMs = 20000) {
        for (int w = 0; w < timeoutMs; w += 100) {
            std::string out;
            if (ctl("queue", &out) && out.find("\n0 entries queued") != std::string::npos)
                return true;
            usleep(100000);
        }
        return false;
    }
    // A reply that must still apply: the agent is registered and working.
    void expectRepliesStillApply(const std::string& uid) {
        submit("alice@example.com", "bob@example.com",
               message("alice@example.com", "bob@example.com",
                       event("REPLY", uid, "",
                             "ATTENDEE;PARTSTAT=ACCEPTED:mailto:alice@example.com\r\n"),
                       "REPLY"));
        ASSERT_TRUE(queueEmpty()) << readFile(dir_ + "/revod.out");
        std::string cal = calendar("bob@example.com");
        EXPECT_NE(cal.find("alice@example.com                        ACCEPTED"), std::string::npos)
            << cal;
    }
    std::string dir_;
    std::map<std::string, std::string> env_;
    Process revod_, agent_;
    int port_ = -1;
    int serial_ = 0;
};

// The number of the entry a "calendar show" listing gives for uid.
std::string entryNumber(const std::string& cal, const std::string& uid) {
    std::istringstream in(cal);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("entry ", 0) == 0 && line.find(" " + uid + " ") != std::string::npos)
            return line.substr(6, line.find(':') - 6);
    return "";
}

TEST_F(Attack, InjectionThroughTheUidRunsNoCommand) {
    seed("bob@example.com", event("REQUEST", "victim@example.com", kDaily));
    std::string victim = entryNumber(calendar("bob@example.com"), "victim@example.com");
    ASSERT_FALSE(victim.empty()) << calendar("bob@example.com");

    // An outside sender's CANCEL to carol whose UID unescapes to extra lines:
    // delete bob's whole entry, then re-register the agent at a dead port.
    std::string identity;
    for (char ch : serverDN(dir_) + "Calendar Agent5") {
        if (ch == '\\' || ch == ',' || ch == ';') identity += '\\';
        identity += ch;
    }
    std::string uid = "x\\nUSER bob@example.com\\nCSOPEN MAIN\\nCSDELE " + victim +
                      " RECURRING\\nQWAIT 5 1 " + identity;
    // Whether the server gets to the extra lines before the agent hangs up
    // is a race, so the attacker sends a few.
    const size_t kCopies = 8;
    for (size_t i = 0; i < kCopies; ++i)
        submit("mallory@elsewhere.example", "carol@example.com",
               message("mallory@elsewhere.example", "carol@example.com",
                       event("CANCEL", uid, kDaily), "CANCEL"));
    ASSERT_TRUE(queueEmpty()) << readFile(dir_ + "/revod.out");

    EXPECT_EQ(entryNumber(calendar("bob@example.com"), "victim@example.com"), victim);
    EXPECT_EQ(mailboxCount("carol@example.com"), kCopies); // delivered as usual
    // Still registered at its own port: the next reply is applied, not mailed.
    expectRepliesStillApply("victim@example.com");
    EXPECT_EQ(mailboxCount("bob@example.com"), 0u);
}

TEST_F(Attack, ForgedOfferFromAnotherAddressIsClosedUnread) {
    seed("carol@example.com", event("REQUEST", "forged@example.com", kDaily));
    // The forger plays a REVO server: an entry with bob's CANCEL for carol.
    Part cal{"text", "calendar", "utf-8",
             "7bit", "x",        event("CANCEL", "forged@example.com", kDaily)};
    EntryResult r =
        offerEntry(port_, "999", {"Fbob@example.com", "Lcarol@example.com carol@example.com 0"},
                   {"P0"}, {cal}, "", "127.0.0.2");
    EXPECT_TRUE(r.lines.empty()); // not even QMIME
    EXPECT_FALSE(r.done);
    EXPECT_NE(calendar("carol@example.com").find("forged@example.com"), std::string::npos);

    // The real server's entries still go through.
    seed("bob@example.com", event("REQUEST", "real@example.com", kDaily));
    expectRepliesStillApply("real@example.com");
}

TEST_F(Attack, ControlLineFloodDropsTheConnection) {
    // From an address the agent accepts (revod's own), a 6020 offer whose
    // control lines never end.
    Conn c = Conn::connectTo("127.0.0.1", port_);
    ASSERT_TRUE(c.ok());
    std::string lines;
    for (int i = 0; i < 1024; ++i)
        lines += "X" + std::string(1000, 'f') + "\r\n";
    bool sentAll = c.send("6020 1 100\r\n");
    const int kMiB = 32; // far beyond any limit and any socket buffer
    for (int i = 0; i < kMiB && sentAll; ++i)
        sentAll = c.send(lines);
    // The agent gave up on the connection without asking for anything.
    std::string line;
    EXPECT_FALSE(sentAll && !c.waitClosed(10000));
    EXPECT_FALSE(c.readLine(line, 100));
    EXPECT_TRUE(agent_.running());

    seed("bob@example.com", event("REQUEST", "after-flood@example.com", kDaily));
    expectRepliesStillApply("after-flood@example.com");
}

TEST_F(Attack, ReplyTheStoreRefusesIsDelivered) {
    seed("bob@example.com", event("REQUEST", "na@example.com", kDaily));
    std::string before = calendar("bob@example.com");
    // dave is not an attendee of bob's entry: the store refuses his status.
    submit("dave@elsewhere.example", "bob@example.com",
           message("dave@elsewhere.example", "bob@example.com",
                   event("REPLY", "na@example.com", "",
                         "ATTENDEE;PARTSTAT=ACCEPTED:mailto:dave@elsewhere.example\r\n"),
                   "REPLY"));
    ASSERT_TRUE(queueEmpty()) << readFile(dir_ + "/revod.out");
    EXPECT_EQ(mailboxCount("bob@example.com"), 1u); // the reply reached bob
    EXPECT_EQ(calendar("bob@example.com"), before);
    expectRepliesStillApply("na@example.com");
    EXPECT_EQ(mailboxCount("bob@example.com"), 1u);
}

TEST_F(Attack, InstanceCancelWithTimeZone) {
    const std::string zone =
        "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
        "END:DAYLIGHT\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;"
        "BYMONTH=10;BYDAY=-1SU\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"
        "END:VTIMEZONE\r\n";
    const std::string attendees = "ATTENDEE:mailto:carol@example.com\r\n";
    seed("carol@example.com",
         event("REQUEST", "tz@example.com",
               "DTSTART;TZID=Europe/Berlin:20261207T150000\r\n"
               "DTEND;TZID=Europe/Berlin:20261207T160000\r\nRRULE:FREQ=DAILY;COUNT=5\r\n",
               attendees, zone));
    std::string cal = calendar("carol@example.com");
    ASSERT_NE(cal.find("instance   2026-12-09 14:00:00Z"), std::string::npos) << cal;

    // Bob cancels the 9 December meeting at 15:00 Berlin time (14:00 UTC).
    submit("bob@example.com", "carol@example.com",
           message("bob@example.com", "carol@example.com",
                   event("CANCEL", "tz@example.com",
                         "RECURRENCE-ID;TZID=Europe/Berlin:20261209T150000\r\n", attendees, zone),
                   "CANCEL"));
    ASSERT_TRUE(queueEmpty()) << readFile(dir_ + "/revod.out");
    cal = calendar("carol@example.com");
    EXPECT_EQ(cal.find("instance   2026-12-09 14:00:00Z"), std::string::npos) << cal;
    for (const char* day : {"07", "08", "10", "11"})
        EXPECT_NE(cal.find(std::string("instance   2026-12-") + day + " 14:00:00Z"),
                  std::string::npos)
            << day << "\n"
            << cal;
    EXPECT_EQ(mailboxCount("carol@example.com"), 0u); // applied, so taken out
}

TEST_F(Attack, QueueConnectionsAreCappedAndIdleOnesEnd) {
    agent_.signal(SIGKILL);
    agent_.wait(5000);
    startAgent({{"DAYWARD_MAX_CONNECTIONS", "3"}, {"DAYWARD_IDLE_SECONDS", "4"}});

    std::vector<Conn> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(Conn::connectTo("127.0.0.1", port_));
        ASSERT_TRUE(idle.back().ok());
    }
    usleep(200000); // all three accepted and being served
    // One more is refused: closed without reading the offer it was sent.
    Conn extra = Conn::connectTo("127.0.0.1", port_);
    ASSERT_TRUE(extra.ok());
    extra.send("6020 7 10\r\nFa@b\r\n6021 end\r\n");
    std::string line;
    EXPECT_FALSE(extra.readLine(line, 3000)) << line;

    // The silent ones are ended, and their places are free again.
    for (auto& c : idle)
        EXPECT_TRUE(c.waitClosed(15000));
    EntryResult r = offerEntry(port_, "8", {"Fa@b", "Lz@y 0"}, {"P0"},
                               {Part{"text", "plain", "utf-8", "7bit", "x", "hello\r\n"}});
    EXPECT_TRUE(r.done);
    seed("bob@example.com", event("REQUEST", "capped@example.com", kDaily));
    expectRepliesStillApply("capped@example.com");
}

// A store that is missing only makes the directory library wait for it (two
// minutes) before the same failure; these fail at once.
TEST(DeadDirectory, AgentExitsWithAMessage) {
    for (bool corrupt : {true, false}) {
        std::string dir = makeTempDir();
        auto env = directoryEnv(dir);
        std::ofstream(dir + "/arbor.conf")
            << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
               "orb.arbor.server-context=ou=sales.o=org\narbor.directory.store="
            << dir << "/directory.db\n";
        if (corrupt)
            std::ofstream(dir + "/directory.db") << std::string(8192, 'z');
        else
            ASSERT_EQ(PDKCreateStore((dir + "/directory.db").c_str()), 0); // holds no tree
        Process agent;
        agent.start(buildDir() + "/agent/dayward", {}, env, dir + "/out.txt");
        int status = agent.wait(60000);
        std::string out = readFile(dir + "/out.txt");
        EXPECT_EQ(status, 1) << (corrupt ? "corrupt" : "empty") << "\n" << out;
        EXPECT_NE(out.find("DAYWARD: Directory login failed"), std::string::npos) << out;
        expectNoSanitizerReport(dir + "/out.txt");
        agent.signal(SIGKILL);
        agent.wait(5000);
        removeTree(dir);
    }
}

} // namespace
