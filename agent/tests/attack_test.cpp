// The agent under hostile senders and hostile peers, with real processes:
// the directory, revod and dayward. Every test checks that nothing was lost
// (mail still reaches its recipients, later updates still apply) and that
// nothing changed that should not have.
#include "directory.h"
#include "live_stack.h"
#include "pdksa.h"
#include "revo_secret.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace agenttest;

namespace {

const char* kAddr = "127.0.7.70";

std::string Event(const std::string& method, const std::string& uid, const std::string& extra,
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

std::string Message(const std::string& from, const std::string& to, const std::string& calendar,
                    const std::string& method) {
    return "From: " + from + "\r\nTo: " + to +
           "\r\nSubject: calendar\r\nMIME-Version: 1.0\r\nContent-Type: text/calendar; "
           "charset=utf-8; method=" +
           method + "\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" + calendar;
}

class Attack : public LiveStack {
  protected:
    Attack() : LiveStack(kAddr, {"--secret-text", REVO_DEFAULT_SECRET_TEXT}) {}
    // A reply that must still apply: the agent is registered and working.
    void ExpectRepliesStillApply(const std::string& uid) {
        Submit("alice@example.com", {"bob@example.com"},
               Message("alice@example.com", "bob@example.com",
                       Event("REPLY", uid, "",
                             "ATTENDEE;PARTSTAT=ACCEPTED:mailto:alice@example.com\r\n"),
                       "REPLY"));
        ASSERT_TRUE(QueueEmpty()) << ReadFile(dir_ + "/revod.out");
        std::string cal = Calendar("bob@example.com");
        EXPECT_NE(cal.find("alice@example.com                        ACCEPTED"), std::string::npos)
            << cal;
    }
};

// The number of the entry a "calendar show" listing gives for uid.
std::string EntryNumber(const std::string& cal, const std::string& uid) {
    std::istringstream in(cal);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("entry ", 0) == 0 && line.find(" " + uid + " ") != std::string::npos)
            return line.substr(6, line.find(':') - 6);
    return "";
}

TEST_F(Attack, InjectionThroughTheUidRunsNoCommand) {
    Seed("bob@example.com", Event("REQUEST", "victim@example.com", kDaily));
    std::string victim = EntryNumber(Calendar("bob@example.com"), "victim@example.com");
    ASSERT_FALSE(victim.empty()) << Calendar("bob@example.com");

    // An outside sender's CANCEL to carol whose UID unescapes to extra lines:
    // delete bob's whole entry, then re-register the agent at a dead port.
    std::string identity;
    for (char ch : ServerDn(dir_) + "Calendar Agent5") {
        if (ch == '\\' || ch == ',' || ch == ';') identity += '\\';
        identity += ch;
    }
    std::string uid = "x\\nUSER bob@example.com\\nCSOPEN MAIN\\nCSDELE " + victim +
                      " RECURRING\\nQWAIT 5 1 " + identity;
    // Whether the server gets to the extra lines before the agent hangs up
    // is a race, so the attacker sends a few.
    const size_t kCopies = 8;
    for (size_t i = 0; i < kCopies; ++i)
        Submit("mallory@elsewhere.example", {"carol@example.com"},
               Message("mallory@elsewhere.example", "carol@example.com",
                       Event("CANCEL", uid, kDaily), "CANCEL"));
    ASSERT_TRUE(QueueEmpty()) << ReadFile(dir_ + "/revod.out");

    EXPECT_EQ(EntryNumber(Calendar("bob@example.com"), "victim@example.com"), victim);
    EXPECT_EQ(MailboxCount("carol@example.com"), kCopies); // delivered as usual
    // Still registered at its own port: the next reply is applied, not mailed.
    ExpectRepliesStillApply("victim@example.com");
    EXPECT_EQ(MailboxCount("bob@example.com"), 0u);
}

TEST_F(Attack, ForgedOfferFromAnotherAddressIsClosedUnread) {
    Seed("carol@example.com", Event("REQUEST", "forged@example.com", kDaily));
    // The forger plays a REVO server: an entry with bob's CANCEL for carol.
    Part cal{"text", "calendar", "utf-8",
             "7bit", "x",        Event("CANCEL", "forged@example.com", kDaily)};
    EntryResult r =
        OfferEntry(port_, "999", {"Fbob@example.com", "Lcarol@example.com carol@example.com 0"},
                   {"P0"}, {cal}, "", "127.0.0.2");
    EXPECT_TRUE(r.lines.empty()); // not even QMIME
    EXPECT_FALSE(r.done);
    EXPECT_NE(Calendar("carol@example.com").find("forged@example.com"), std::string::npos);

    // The real server's entries still go through.
    Seed("bob@example.com", Event("REQUEST", "real@example.com", kDaily));
    ExpectRepliesStillApply("real@example.com");
}

TEST_F(Attack, ControlLineFloodDropsTheConnection) {
    // From an address the agent accepts (revod's own), a 6020 offer whose
    // control lines never end.
    Conn c = Conn::Connect("127.0.0.1", port_);
    ASSERT_TRUE(c.Ok());
    std::string lines;
    for (int i = 0; i < 1024; ++i)
        lines += "X" + std::string(1000, 'f') + "\r\n";
    bool sentAll = c.Send("6020 1 100\r\n");
    const int kMiB = 32; // far beyond any limit and any socket buffer
    for (int i = 0; i < kMiB && sentAll; ++i)
        sentAll = c.Send(lines);
    // The agent gave up on the connection without asking for anything.
    std::string line;
    EXPECT_FALSE(sentAll && !c.WaitClosed(10000));
    EXPECT_FALSE(c.ReadLine(line, 100));
    EXPECT_TRUE(agent_.Running());

    Seed("bob@example.com", Event("REQUEST", "after-flood@example.com", kDaily));
    ExpectRepliesStillApply("after-flood@example.com");
}

TEST_F(Attack, ReplyTheStoreRefusesIsDelivered) {
    Seed("bob@example.com", Event("REQUEST", "na@example.com", kDaily));
    std::string before = Calendar("bob@example.com");
    // dave is not an attendee of bob's entry: the store refuses his status.
    Submit("dave@elsewhere.example", {"bob@example.com"},
           Message("dave@elsewhere.example", "bob@example.com",
                   Event("REPLY", "na@example.com", "",
                         "ATTENDEE;PARTSTAT=ACCEPTED:mailto:dave@elsewhere.example\r\n"),
                   "REPLY"));
    ASSERT_TRUE(QueueEmpty()) << ReadFile(dir_ + "/revod.out");
    EXPECT_EQ(MailboxCount("bob@example.com"), 1u); // the reply reached bob
    EXPECT_EQ(Calendar("bob@example.com"), before);
    ExpectRepliesStillApply("na@example.com");
    EXPECT_EQ(MailboxCount("bob@example.com"), 1u);
}

TEST_F(Attack, InstanceCancelWithTimeZone) {
    const std::string zone =
        "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
        "END:DAYLIGHT\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;"
        "BYMONTH=10;BYDAY=-1SU\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"
        "END:VTIMEZONE\r\n";
    const std::string attendees = "ATTENDEE:mailto:carol@example.com\r\n";
    Seed("carol@example.com",
         Event("REQUEST", "tz@example.com",
               "DTSTART;TZID=Europe/Berlin:20261207T150000\r\n"
               "DTEND;TZID=Europe/Berlin:20261207T160000\r\nRRULE:FREQ=DAILY;COUNT=5\r\n",
               attendees, zone));
    std::string cal = Calendar("carol@example.com");
    ASSERT_NE(cal.find("instance   2026-12-09 14:00:00Z"), std::string::npos) << cal;

    // Bob cancels the 9 December meeting at 15:00 Berlin time (14:00 UTC).
    Submit("bob@example.com", {"carol@example.com"},
           Message("bob@example.com", "carol@example.com",
                   Event("CANCEL", "tz@example.com",
                         "RECURRENCE-ID;TZID=Europe/Berlin:20261209T150000\r\n", attendees, zone),
                   "CANCEL"));
    ASSERT_TRUE(QueueEmpty()) << ReadFile(dir_ + "/revod.out");
    cal = Calendar("carol@example.com");
    EXPECT_EQ(cal.find("instance   2026-12-09 14:00:00Z"), std::string::npos) << cal;
    for (const char* day : {"07", "08", "10", "11"})
        EXPECT_NE(cal.find(std::string("instance   2026-12-") + day + " 14:00:00Z"),
                  std::string::npos)
            << day << "\n"
            << cal;
    EXPECT_EQ(MailboxCount("carol@example.com"), 0u); // applied, so taken out
}

TEST_F(Attack, QueueConnectionsAreCappedAndIdleOnesEnd) {
    agent_.Signal(SIGKILL);
    agent_.Wait(5000);
    StartAgent({{"DAYWARD_MAX_CONNECTIONS", "3"}, {"DAYWARD_IDLE_SECONDS", "4"}});

    std::vector<Conn> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(Conn::Connect("127.0.0.1", port_));
        ASSERT_TRUE(idle.back().Ok());
    }
    usleep(200000); // all three accepted and being served
    // One more is refused: closed without reading the offer it was sent.
    Conn extra = Conn::Connect("127.0.0.1", port_);
    ASSERT_TRUE(extra.Ok());
    extra.Send("6020 7 10\r\nFa@b\r\n6021 end\r\n");
    std::string line;
    EXPECT_FALSE(extra.ReadLine(line, 3000)) << line;

    // The silent ones are ended, and their places are free again.
    for (auto& c : idle)
        EXPECT_TRUE(c.WaitClosed(15000));
    EntryResult r = OfferEntry(port_, "8", {"Fa@b", "Lz@y 0"}, {"P0"},
                               {Part{"text", "plain", "utf-8", "7bit", "x", "hello\r\n"}});
    EXPECT_TRUE(r.done);
    Seed("bob@example.com", Event("REQUEST", "capped@example.com", kDaily));
    ExpectRepliesStillApply("capped@example.com");
}

// A store that is missing only makes the directory library wait for it (two
// minutes) before the same failure; these fail at once.
TEST(DeadDirectory, AgentExitsWithAMessage) {
    for (bool corrupt : {true, false}) {
        TempDir tmp("dayward-test");
        const std::string dir = tmp.Str();
        auto env = DirectoryEnv(dir);
        std::ofstream(dir + "/arbor.conf")
            << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
               "orb.arbor.server-context=ou=sales.o=org\narbor.directory.store="
            << dir << "/directory.db\n";
        if (corrupt)
            std::ofstream(dir + "/directory.db") << std::string(8192, 'z');
        else
            ASSERT_EQ(PDKCreateStore((dir + "/directory.db").c_str()), 0); // holds no tree
        Process agent;
        agent.Start(BuildDir() + "/agent/dayward", {}, env, dir + "/out.txt");
        int status = agent.Wait(60000);
        std::string out = ReadFile(dir + "/out.txt");
        EXPECT_EQ(status, 1) << (corrupt ? "corrupt" : "empty") << "\n" << out;
        EXPECT_NE(out.find("DAYWARD: Directory login failed"), std::string::npos) << out;
        ExpectNoSanitizerReport(dir + "/out.txt");
        agent.Signal(SIGKILL);
        agent.Wait(5000);
    }
}

} // namespace
