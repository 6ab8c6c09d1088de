#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.10";

std::string SecretText(char selector, unsigned char first = 0x31) {
    const unsigned char secret[8] = {first, 0x7a, 0x05, 0xc4, 0x99, 0x10, 0xee, 0x42};
    const unsigned char filler[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};
    char out[33];
    RevoScrambleSecret(secret, selector, filler, sizeof filler, out);
    return out;
}

const std::string kCalendarPart = "BEGIN:VCALENDAR\r\nMETHOD:REPLY\r\nEND:VCALENDAR\r\n";

std::string AlternativeMessage() {
    return "From: alice@example.org\r\nSubject: Re: meeting\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/alternative; boundary=\"=_b\"\r\n\r\n"
           "--=_b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nAccepted.\r\n"
           "--=_b\r\nContent-Type: text/calendar; method=REPLY; charset=utf-8\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n" +
           kCalendarPart + "\r\n--=_b--\r\n";
}

const std::string kControl = "Falice@example.org\r\nLbob@example.org bob@example.org 0\r\n"
                             "Xsome other kind\r\nLcarol@example.org carol@example.org 16\r\n";

class RevodTest : public ServerTest {
  protected:
    RevodTest() : ServerTest(kAddr, SecretText('c')) {
        cfg_.users = {"bob@example.org", "Carol@Example.org"};
        cfg_.retryDelayMs = 20;
        cfg_.offerTimeoutMs = 30000; // never reached, even on a loaded machine
        cfg_.maxFailedOffers = 3;
    }
    size_t MailboxSize(const std::string& who) { return Mailbox(who).size(); }
};

TEST_F(RevodTest, AuthenticationGatesEverything) {
    Start();
    Client c;
    ASSERT_TRUE(c.Connect(kAddr, cfg_.port));
    EXPECT_EQ(0u, c.greeting.find("4242 "));
    EXPECT_FALSE(c.challenge.empty());
    // The digest of another secret, and the default secret, are refused.
    ExpectReplies(c, {{"QWAIT 5 4660 x", "4100 "},
                      {"USER bob@example.org", "4100 "},
                      {"AUTH " + c.Digest(SecretText('c', 0x32)), "4101 "},
                      {"AUTH " + c.Digest(REVO_DEFAULT_SECRET_TEXT), "4101 "},
                      {"AUTH " + c.Digest(cfg_.secretText), "1000 Authenticated"},
                      {"noop", "1000 OK"}});

    // Every connection has its own challenge; a replayed digest fails.
    Client d;
    ASSERT_TRUE(d.Connect(kAddr, cfg_.port));
    EXPECT_NE(c.challenge, d.challenge);
    // The third failure ends the session.
    ExpectReplies(d, {{"AUTH " + c.Digest(cfg_.secretText), "4101 "},
                      {"AUTH garbage", "4101 "},
                      {"AUTH", "5001 "}});
    EXPECT_EQ("", d.Line());
}

TEST_F(RevodTest, RegistrationWithoutAuthentication) {
    cfg_.noAuth = true;
    Start();
    Client c;
    ASSERT_TRUE(c.Connect(kAddr, cfg_.port));
    EXPECT_EQ("1000 revod ready", c.greeting);
    EXPECT_EQ("1000 Registered for queue 5", c.Cmd("QWAIT 5 4660 \\T\\MAILCalendar Agent5"));
}

TEST_F(RevodTest, SessionsBeyondTheLimitAreTurnedAway) {
    cfg_.maxSessions = 2;
    Start();
    auto c = Connected(3);
    EXPECT_EQ("5001 Too many sessions", c[2].greeting);
    EXPECT_EQ("1000 Authenticated", c[0].Auth(cfg_.secretText)) << "the others go on";
}

TEST_F(RevodTest, MalformedCommandsGetErrorReplies) {
    Start();
    auto c = Login();
    // CSFIND without a selected user; the session survives the long line.
    ExpectReplies(*c, {{"FROB", "4001 "},
                       {"", "4000 "},
                       {"QWAIT five 4660 id", "4000 "},
                       {"QWAIT 5 70000 id", "4000 "},
                       {"QWAIT 5 4660", "4000 "},
                       {"QSTORE 1", "4000 "},
                       {"MBREAD bob@example.org -", "4000 "},
                       {"CSFIND 1 uid", "4201 "},
                       {std::string(5000, 'A'), "4002 "},
                       {"NOOP", "1000 OK"}});
    // A control line that an agent could not read back is refused.
    EXPECT_EQ(0u, c->Submit("Fa@x\nL" + std::string(1200, 'b') + " 0\n", "x").find("4241 "));
    EXPECT_EQ(0u, c->Submit("Fa@x\n", "x").find("4243 "));
    EXPECT_EQ("1000 OK", c->Cmd("NOOP"));
}

// The whole exchange for one entry, checked from the agent's side.
TEST_F(RevodTest, EntryOfferedToAgentAndRecipientsHandedBack) {
    const std::string msg = AlternativeMessage();
    std::mutex mu;
    std::vector<std::string> structure;
    std::string raw, done;
    OfferedEntry seen;
    AgentListener agent(kAddr, [&](LineConn& c) {
        OfferedEntry e;
        ASSERT_TRUE(ReadOffer(c, e));
        std::vector<std::string> lines;
        c.Send("QMIME " + e.qid + "\r\n");
        std::string l;
        while (c.ReadLine(l)) {
            lines.push_back(l);
            if (l[0] != '2') break;
        }
        // The calendar part: fourth line, as the agent picks it.
        std::string_view cal = lines.at(2);
        std::string start, len;
        {
            size_t q2 = cal.rfind('"');
            std::string_view nums = cal.substr(q2 + 2);
            start = std::string(revo::NextWord(nums));
            len = std::string(revo::NextWord(nums));
        }
        c.Send("QBRAW " + e.qid + " " + start + " " + len + "\r\n");
        c.ReadLine(l);
        std::string bytes;
        ASSERT_EQ("2021 " + len, l);
        c.ReadBytes(bytes, std::stoul(len));
        // Keep the sender, the unknown line and carol; bob was "updated".
        c.Send("QMOD RAW " + e.control[0] + "\r\nQMOD RAW " + e.control[2] + "\r\nQMOD RAW " +
               e.control[3] + "\r\nQDONE\r\n");
        std::string reply;
        c.ReadLine(reply);
        std::lock_guard lock(mu);
        seen = e;
        structure = lines;
        raw = bytes;
        done = reply;
    });
    Start();
    Register(agent.Port());
    auto c = Login();
    EXPECT_EQ(0u, c->Submit(kControl, msg).find("1000 "));
    ASSERT_TRUE(WaitFor([&] { return MailboxSize("carol@example.org") == 1; }));
    EXPECT_EQ(0u, MailboxSize("bob@example.org"));
    EXPECT_EQ(0u, QueueSize());
    // Delivery comes before the reply to QDONE: the agent may still be finishing.
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(mu);
        return !done.empty();
    }));

    std::lock_guard lock(mu);
    EXPECT_EQ(
        (std::vector<std::string>{"Falice@example.org", "Lbob@example.org bob@example.org 0",
                                  "Xsome other kind", "Lcarol@example.org carol@example.org 16"}),
        seen.control);
    EXPECT_GE(seen.size, kControl.size() - 4) << "announced size holds the control text";
    ASSERT_EQ(5u, structure.size());
    EXPECT_EQ(0u, structure[0].find("2002 multipart alternative - 7bit \"\" "));
    EXPECT_EQ(0u, structure[1].find("2002 text plain utf-8 7bit \"\" "));
    EXPECT_EQ(0u, structure[2].find("2002 text calendar utf-8 8bit \"\" "));
    EXPECT_EQ(0u, structure[3].find("2004 "));
    EXPECT_EQ(0u, structure[4].find("1000 "));
    EXPECT_EQ(kCalendarPart, raw) << "QBRAW is byte-exact";
    EXPECT_EQ("1000 Entry done", done);

    // The delivered message is the submitted one, byte for byte.
    c->Send("MBREAD carol@example.org " + ReplyWord(c->Listing("MBLIST carol@example.org")[0]) +
            "\r\n");
    EXPECT_EQ("2021 " + std::to_string(msg.size()), c->Line());
    EXPECT_EQ(msg, c->ReadBytes(msg.size()));
}

TEST_F(RevodTest, AgentThatHandsNothingBackLeavesEntryUnchanged) {
    AgentListener agent(kAddr, NullAgent);
    Start();
    Register(agent.Port());
    auto c = Login();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0u,
                  c->Submit(kControl, "Subject: " + std::to_string(i) + "\r\n\r\nx").find("1000 "));
    ASSERT_TRUE(WaitFor([&] {
        return MailboxSize("bob@example.org") == 5 && MailboxSize("carol@example.org") == 5;
    }));
    EXPECT_EQ(5, agent.Connections());
    EXPECT_EQ(0u, QueueSize());
}

// Agents admit queue connections only from the servers they list, so an
// offer must come from the address the server serves on, not from whatever
// address the kernel picks on the way to the agent.
TEST_F(RevodTest, OffersLeaveFromTheListenAddress) {
    const std::string agentAddr = "127.0.6.11";
    std::atomic<uint32_t> peer{0};
    AgentListener agent(agentAddr, [&](LineConn& c) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (getpeername(c.Fd(), reinterpret_cast<sockaddr*>(&a), &len) == 0)
            peer = a.sin_addr.s_addr;
        NullAgent(c);
    });
    Start();
    // Registered from the agent's own address: revod offers there.
    EXPECT_EQ("1000 Registered for queue 5",
              Login(agentAddr)->Cmd("QWAIT 5 " + std::to_string(agent.Port()) +
                                    " \\TREE\\org\\MAIL1Calendar Agent5"));
    EXPECT_EQ(0u, Login()->Submit(kControl, "Subject: x\r\n\r\nx").find("1000 "));
    ASSERT_TRUE(WaitFor([&] { return peer.load() != 0; }));
    in_addr expected{};
    inet_pton(AF_INET, kAddr, &expected);
    EXPECT_EQ(expected.s_addr, peer.load());
}

TEST_F(RevodTest, CommandErrorsDuringAnOffer) {
    // ID stands for the offered entry's queue identifier.
    const std::vector<Exchange> script = {
        {"QMIME 999", "4220 "},  {"QBRAW 999 0 1", "4220 "}, {"QBRAW ID 0 100000", "4221 "},
        {"QBRAW ID 5", "4000 "}, {"FROB", "4001 "},          {"QBRAW ID 0 0", "2021 0"}};
    std::vector<std::string> replies;
    std::mutex mu;
    AgentListener agent(kAddr, [&](LineConn& c) {
        OfferedEntry e;
        if (!ReadOffer(c, e)) return;
        std::vector<std::string> got;
        std::string l;
        for (const auto& step : script) {
            std::string s = step.cmd;
            if (s.find("ID") != std::string::npos) s.replace(s.find("ID"), 2, e.qid);
            c.Send(s + "\r\n");
            c.ReadLine(l);
            got.push_back(l);
        }
        c.Send("QDONE\r\n");
        c.ReadLine(l);
        std::lock_guard lock(mu);
        replies = got;
    });
    Start();
    Register(agent.Port());
    Login()->Submit(kControl, "Subject: x\r\n\r\nbody");
    ASSERT_TRUE(WaitFor([&] { return MailboxSize("bob@example.org") == 1; }));
    // Delivery comes before the reply to QDONE: the agent may still be finishing.
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(mu);
        return !replies.empty();
    }));
    std::lock_guard lock(mu);
    ASSERT_EQ(script.size(), replies.size());
    for (size_t i = 0; i < script.size(); ++i) {
        SCOPED_TRACE(script[i].cmd);
        ExpectReply(script[i].reply, replies[i]);
    }
}

TEST_F(RevodTest, DroppedConnectionBeforeQDoneOffersAgain) {
    std::atomic<int> offers{0};
    std::mutex mu;
    std::vector<std::vector<std::string>> controls;
    AgentListener agent(kAddr, [&](LineConn& c) {
        OfferedEntry e;
        if (!ReadOffer(c, e)) return;
        {
            std::lock_guard lock(mu);
            controls.push_back(e.control);
        }
        if (++offers == 1) {
            // Half-way through: ask for the structure, then vanish. The
            // QMOD RAW lines already sent must not count.
            c.Send("QMIME " + e.qid + "\r\nQMOD RAW " + e.control[0] + "\r\n");
            return;
        }
        c.Send("QMOD RAW " + e.control[0] + "\r\nQMOD RAW " + e.control[1] + "\r\nQDONE\r\n");
        std::string l;
        c.ReadLine(l);
    });
    Start();
    Register(agent.Port());
    Login()->Submit(kControl, "Subject: x\r\n\r\nbody");
    ASSERT_TRUE(WaitFor([&] { return MailboxSize("bob@example.org") == 1; }));
    EXPECT_EQ(2, offers.load());
    EXPECT_EQ(0u, MailboxSize("carol@example.org"));
    std::lock_guard lock(mu);
    ASSERT_EQ(2u, controls.size());
    EXPECT_EQ(controls[0], controls[1]) << "the second offer is the unchanged entry";
}

TEST_F(RevodTest, BrokenAgentsDoNotStopMail) {
    // Entries wait for an agent that cannot be reached, but not for ever.
    cfg_.holdTimeMs = 300;
    std::atomic<int> offers{0};
    AgentListener agent(kAddr, [&](LineConn& c) {
        OfferedEntry e;
        ReadOffer(c, e);
        ++offers; // and hang up
    });
    Start();
    Register(agent.Port(), 5);
    // A second, later queue whose agent is not listening at all.
    Register(DeadPort(kAddr), 7);
    Login()->Submit(kControl, "Subject: x\r\n\r\nbody");
    ASSERT_TRUE(WaitFor([&] { return MailboxSize("bob@example.org") == 1; }));
    EXPECT_EQ(cfg_.maxFailedOffers, offers.load());
    EXPECT_EQ(1u, MailboxSize("carol@example.org"));
    EXPECT_EQ(0u, QueueSize());
}

TEST_F(RevodTest, QueueAndRegistrationsSurviveARestart) {
    AgentListener agent(kAddr, NullAgent);
    // A failed offer would stall the entry for a minute: delivery proves the
    // restarted server offered to the registration it had kept.
    cfg_.retryDelayMs = 60000;
    Start();
    Register(agent.Port());
    server_->Stop();
    server_.reset();
    cfg_.maxOffers = 1;
    Start();
    {
        auto c = Login();
        for (int i = 0; i < 3; ++i)
            c->Submit(kControl, "Subject: x\r\n\r\nbody");
    }
    ASSERT_TRUE(WaitFor([&] { return MailboxSize("bob@example.org") == 3; }));
    EXPECT_EQ(3, agent.Connections()) << "the registration was kept";
}

// Calendar-store commands on a seeded calendar, as the agent uses them.
class CalendarTest : public RevodTest {
  protected:
    void SetUp() override {
        RevodTest::SetUp();
        Start();
        c_ = Login();
        ASSERT_TRUE(c_->OpenCalendar("Bob@Example.org", "bob@example.org"));
        meeting_ = c_->Put("KIND E\nUID meeting-1@example.org\nSEQUENCE 2\n"
                           "ORGANIZER mailto:Org@Example.org\nSUMMARY Weekly sync\n"
                           "START 1765188000\nEND 1765191600\nINSTANCE 1765188000\n"
                           "INSTANCE 1765792800\nINSTANCE 1766397600\n"
                           "ATTENDEE N alice@example.org\nATTENDEE A bob@example.org\n");
        task_ = c_->Put("KIND T\nUID task-7\nSEQUENCE 0\nORGANIZER bob@example.org\n"
                        "SUMMARY Write report\nSTART 1765188000\nEND 0\n"
                        "ATTENDEE N alice@example.org\n");
    }
    std::vector<std::string> List() { return c_->Listing("CSLIST"); }
    bool Has(const std::string& line) {
        auto l = List();
        return std::find(l.begin(), l.end(), line) != l.end();
    }
    std::unique_ptr<Client> c_;
    std::string meeting_, task_;
};

TEST_F(CalendarTest, SessionSetUpRefusals) {
    // A refused USER deselects; bob's entries are invisible to carol, by UID
    // and by number.
    ExpectReplies(*c_, {{"USER mallory@example.org", "4200 "},
                        {"CSOPEN MAIN", "4201 "},
                        {"USER carol@example.org", "1000 "},
                        {"CSOPEN OTHER", "4202 "},
                        {"CSFIND 2 meeting-1@example.org", "4203 "},
                        {"csopen main", "1000 Calendar MAIN open"},
                        {"CSFIND 2 meeting-1@example.org", "4210 "},
                        {"CSORG " + meeting_, "4210 "},
                        {"CSDELE " + meeting_ + " RECURRING", "4210 "}});
}

TEST_F(CalendarTest, FindMatchesUidInstanceAndSequence) {
    const std::string found = "1000 " + meeting_ + " Found";
    // An older sequence is refused, UIDs are exact, an instance must be one.
    ExpectReplies(*c_, {{"CSFIND 2 meeting-1@example.org", found},
                        {"CSFIND 3 meeting-1@example.org", found},
                        {"CSFIND 1 meeting-1@example.org", "4211 "},
                        {"CSFIND 2 MEETING-1@example.org", "4210 "},
                        {"CSFIND 2 meeting-1@example.org 1765792800", found},
                        {"CSFIND 2 meeting-1@example.org 1765792801", "4210 "},
                        {"CSFIND x meeting-1@example.org", "4000 "},
                        {"CSFIND 2", "4000 "}});
}

TEST_F(CalendarTest, AttendeeStatusAndCompletion) {
    EXPECT_EQ("1000 Status recorded", c_->Cmd("CSATND " + meeting_ + " D ALICE@example.org"));
    EXPECT_TRUE(Has("2042 " + meeting_ + " D alice@example.org"));
    EXPECT_TRUE(Has("2042 " + meeting_ + " A bob@example.org")) << "others untouched";
    ExpectReplies(*c_, {{"CSATND " + meeting_ + " A eve@example.org", "4212 "},
                        {"CSATND " + meeting_ + " Z alice@example.org", "4000 "},
                        {"CSATND 99999 A alice@example.org", "4210 "},
                        {"CSATND " + task_ + " C alice@example.org", "1000 Status recorded"},
                        {"CSCOMP " + task_ + " 1765200000", "1000 Completed"}});
    EXPECT_EQ("2040 " + task_ + " T 0 1765188000 0 1765200000 task-7 bob@example.org Write report",
              c_->EntryRow(task_));
}

TEST_F(CalendarTest, OrganizerAndDeletion) {
    EXPECT_EQ("2001 org@example.org is the organizer", c_->Cmd("CSORG " + meeting_));
    // One instance: the one CSFIND found.
    c_->Cmd("CSFIND 2 meeting-1@example.org 1765792800");
    EXPECT_EQ("1000 Instance deleted", c_->Cmd("CSDELE " + meeting_));
    EXPECT_FALSE(Has("2041 " + meeting_ + " 1765792800"));
    EXPECT_TRUE(Has("2041 " + meeting_ + " 1765188000"));
    EXPECT_TRUE(Has("2041 " + meeting_ + " 1766397600"));
    // The whole entry with its instances.
    c_->Cmd("CSFIND 2 meeting-1@example.org");
    EXPECT_EQ("1000 Entry deleted", c_->Cmd("CSDELE " + meeting_ + " RECURRING"));
    EXPECT_EQ(0u, c_->Cmd("CSFIND 2 meeting-1@example.org").find("4210 "));
    EXPECT_EQ(0u, c_->Cmd("CSORG " + meeting_).find("4210 "));
    auto l = List();
    EXPECT_EQ(std::string::npos, (l.size() > 0 ? l[0] : "").find("meeting-1"));
    // Deleting an entry's last instance removes the entry.
    c_->Cmd("CSFIND 0 task-7 1765188000");
    EXPECT_EQ("1000 Instance deleted", c_->Cmd("CSDELE " + task_));
    EXPECT_EQ("1000 0 entries", List().back());
}

} // namespace
