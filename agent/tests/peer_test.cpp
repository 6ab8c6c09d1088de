// The real agent process against a scripted REVO server: registration, the
// queue entry exchange, part selection, the calendar-store sessions and
// shutdown, checked line by line.
#include "directory.h"
#include "peer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <sstream>

using namespace agenttest;

namespace {

const std::string kSender = "alice@example.com";
const std::string kBob = "bob@example.com";
const std::string kCarol = "carol@example.com";
const std::string kStranger = "dave@elsewhere.example";

std::string Reply(const std::string& uid, const std::string& attendees, int sequence = 0,
                  const std::string& kind = "VEVENT") {
    return "BEGIN:VCALENDAR\r\nPRODID:-//Test//EN\r\nVERSION:2.0\r\nMETHOD:REPLY\r\n"
           "BEGIN:" +
           kind + "\r\nUID:" + uid + "\r\nSEQUENCE:" + std::to_string(sequence) +
           "\r\nDTSTAMP:20261207T120000Z\r\nORGANIZER:mailto:" + kBob + "\r\n" + attendees +
           "END:" + kind + "\r\nEND:VCALENDAR\r\n";
}

std::string Cancel(const std::string& uid, const std::string& recurrenceId = "") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:CANCEL\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSEQUENCE:1\r\n" +
           (recurrenceId.empty() ? "" : "RECURRENCE-ID:" + recurrenceId + "\r\n") +
           "ORGANIZER:mailto:" + kBob + "\r\nATTENDEE:mailto:" + kCarol +
           "\r\nSTATUS:CANCELLED\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

Part TextPart(const std::string& subtype, const std::string& encoding, const std::string& body) {
    return Part{"text", subtype, "utf-8", encoding, "part", body};
}

Part CalPart(const std::string& body, const std::string& encoding = "7bit") {
    return TextPart("calendar", encoding, body);
}

std::string Attendee(const std::string& stat, const std::string& who = kSender) {
    return "ATTENDEE;PARTSTAT=" + stat + ":mailto:" + who + "\r\n";
}

// A reply in which the sender accepts.
std::string Accepted(const std::string& uid) {
    return Reply(uid, Attendee("ACCEPTED"));
}

// One agent on a directory whose REVO server is a scripted one.
class Agent {
  public:
    Agent(const std::string& revoAddr, bool startRevo = true) : addr_(revoAddr) {
        dirOk_ = MakeDirectory(dir_, revoAddr, {{"bob", kBob}, {"carol", kCarol}});
        if (startRevo) revo_ = std::make_unique<FakeRevo>(addr_, RevoPort());
    }
    ~Agent() {
        proc_.Signal(SIGKILL);
        proc_.Wait(5000);
        ExpectNoSanitizerReport(dir_ + "/out.txt");
        revo_.reset();
    }
    void Start() {
        proc_.Start(BuildDir() + "/agent/dayward", {}, DirectoryEnv(dir_), dir_ + "/out.txt");
    }
    void StartRevo() { revo_ = std::make_unique<FakeRevo>(addr_, RevoPort()); }
    // Starts the agent and waits for its registration.
    bool StartRegistered() {
        if (!dirOk_) return false;
        Start();
        return revo_->WaitRegistrations(1, 20000);
    }
    // The listener's port, from the registration line.
    int Port() {
        auto r = revo_->Registrations();
        if (r.empty()) return -1;
        std::istringstream in(r[0]);
        std::string verb;
        int queue = 0, port = -1;
        in >> verb >> queue >> port;
        return port;
    }
    TempDir tmp_{"dayward-test"};
    bool dirOk_ = false;
    std::string addr_, dir_ = tmp_.Str();
    std::unique_ptr<FakeRevo> revo_;
    Process proc_;
};

TEST(Registration, ChallengeDigestThenQwaitWithPortAndIdentity) {
    Agent a("127.0.7.10");
    ASSERT_TRUE(a.dirOk_);
    ASSERT_TRUE(a.revo_->Listening());
    a.Start();
    ASSERT_TRUE(a.revo_->WaitRegistrations(1, 20000)) << ReadFile(a.dir_ + "/out.txt");
    EXPECT_EQ(a.revo_->AuthFailures(), 0u);
    std::string line = a.revo_->Registrations()[0];
    std::string expectId = ServerDn(a.dir_) + "Calendar Agent5";
    int port = a.Port();
    EXPECT_EQ(line, "QWAIT 5 " + std::to_string(port) + " " + expectId);
    // The port is printed in host order: the listener answers on it.
    EntryResult r = OfferEntry(port, "Q1", {"Fx@y", "Lz@y 0"}, {"P0"},
                               {TextPart("plain", "7bit", "hello\r\n")});
    EXPECT_TRUE(r.done);
    EXPECT_TRUE(r.closed);
}

TEST(Registration, PlainGreetingSkipsAuth) {
    Agent a("127.0.7.11");
    ASSERT_TRUE(a.dirOk_);
    a.revo_->requireAuth = false;
    a.Start();
    ASSERT_TRUE(a.revo_->WaitRegistrations(1, 20000));
    EXPECT_EQ(a.revo_->Registrations()[0].rfind("QWAIT 5 ", 0), 0u);
}

TEST(Registration, WrongSecretIsRefusedAndNotRetried) {
    Agent a("127.0.7.12");
    ASSERT_TRUE(a.dirOk_);
    a.revo_->SetSecret("not-it");
    a.Start();
    for (int i = 0; i < 100 && a.revo_->AuthFailures() == 0; ++i)
        usleep(50000);
    EXPECT_EQ(a.revo_->AuthFailures(), 1u);
    EXPECT_FALSE(a.revo_->WaitRegistrations(1, 1500));
    EXPECT_TRUE(a.proc_.Running());
}

TEST(Registration, AbsentServerIsRetried) {
    Agent a("127.0.7.13", false);
    ASSERT_TRUE(a.dirOk_);
    a.Start();
    sleep(2); // the first attempt has failed by now
    a.StartRevo();
    ASSERT_TRUE(a.revo_->Listening());
    EXPECT_TRUE(a.revo_->WaitRegistrations(1, 20000));
}

// One agent serves every entry test; each test has its own calendar entries.
class Entries : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        agent_ = new Agent("127.0.7.20");
        ASSERT_TRUE(agent_->StartRegistered());
        port_ = agent_->Port();
    }
    static void TearDownTestSuite() {
        delete agent_;
        agent_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(agent_, nullptr);
        Mark();
    }
    // Store commands before this point are not the current step's.
    void Mark() { before_ = agent_->revo_->StoreLog().size(); }
    // Store commands since the test began.
    std::vector<std::string> store() {
        usleep(50000);
        auto all = agent_->revo_->StoreLog();
        return std::vector<std::string>(all.begin() + static_cast<long>(before_), all.end());
    }
    EntryResult Offer(const std::vector<std::string>& control, const std::vector<std::string>& s,
                      const std::vector<Part>& parts) {
        return OfferEntry(port_, "Q" + std::to_string(++serial_), control, s, parts);
    }
    static Agent* agent_;
    static int port_;
    static int serial_;
    size_t before_ = 0;
};
Agent* Entries::agent_ = nullptr;
int Entries::port_ = -1;
int Entries::serial_ = 0;

TEST_F(Entries, ReplyInBase64RecordsTheStatusAndDropsTheRecipient) {
    agent_->revo_->AddEntry("r1@test", {101, kBob});
    std::vector<std::string> control = {"Vsomething first", "F" + kSender + " 1",
                                        "L" + kBob + " " + kBob + " 0", "Xtrailing line"};
    auto r =
        Offer(control, {"P0"},
              {CalPart(arbortest::Base64Encode(Reply("r1@test", Attendee("DECLINED"))), "base64")});
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.qbraw, 1);
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0], control[1], control[3]}));
    EXPECT_EQ(store(), (std::vector<std::string>{"USER " + kBob, "CSOPEN MAIN", "CSFIND 0 r1@test",
                                                 "CSATND 101 D " + kSender}));
}

TEST_F(Entries, StatusLettersAndCompletion) {
    const std::pair<const char*, const char*> stats[] = {{"NEEDS-ACTION", "N"},
                                                         {"ACCEPTED", "A"},
                                                         {"TENTATIVE", "T"},
                                                         {"DELEGATED", "G"},
                                                         {"IN-PROCESS", "I"}};
    int n = 200;
    for (const auto& [stat, letter] : stats) {
        std::string uid = "s" + std::to_string(n) + "@test";
        agent_->revo_->AddEntry(uid, {static_cast<unsigned long>(n), kBob});
        Mark();
        auto r = Offer({"F" + kSender, "L" + kBob + " 0"}, {"P0"},
                       {CalPart(Reply(uid, Attendee(stat)))});
        auto s = store();
        ASSERT_EQ(s.size(), 4u) << stat;
        EXPECT_EQ(s[3], "CSATND " + std::to_string(n) + " " + letter + " " + kSender);
        ++n;
    }

    // A completed task with another attendee still open: no completion.
    agent_->revo_->AddEntry("t1@test", {300, kBob});
    Mark();
    Offer({"F" + kSender, "L" + kBob + " 0"}, {"P0"},
          {CalPart(Reply("t1@test", Attendee("COMPLETED") + Attendee("IN-PROCESS", kCarol), 2,
                         "VTODO"))});
    auto s = store();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[2], "CSFIND 2 t1@test");
    EXPECT_EQ(s[3], "CSATND 300 C " + kSender);

    // Every attendee completed: CSCOMP with the current time.
    Mark();
    time_t t0 = time(nullptr);
    Offer({"F" + kSender, "L" + kBob + " 0"}, {"P0"},
          {TextPart(
              "calendar", "quoted-printable",
              arbortest::QuotedPrintableEncode(Reply(
                  "t1@test", Attendee("COMPLETED") + Attendee("COMPLETED", kCarol), 2, "VTODO")))});
    time_t t1 = time(nullptr);
    s = store();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[3], "CSATND 300 C " + kSender);
    ASSERT_EQ(s[4].rfind("CSCOMP 300 ", 0), 0u) << s[4];
    long when = std::stol(s[4].substr(11));
    EXPECT_GE(when, t0);
    EXPECT_LE(when, t1);
}

TEST_F(Entries, ReplyFromSomeoneNotAnAttendeeChangesNothing) {
    agent_->revo_->AddEntry("r2@test", {102, kBob});
    std::vector<std::string> control = {"F" + kStranger, "L" + kBob + " 0"};
    auto r = Offer(control, {"P0"}, {CalPart(Accepted("r2@test"))});
    EXPECT_EQ(r.qmod, control);
    EXPECT_TRUE(store().empty());
}

TEST_F(Entries, CancelWholeEntryAndOneInstance) {
    agent_->revo_->AddEntry("c1@test", {401, kBob});
    agent_->revo_->AddEntry("c2@test 1796738400", {402, kBob});
    std::vector<std::string> control = {"F" + kBob, "L" + kCarol + " 0"};

    auto r = Offer(control, {"P0"}, {CalPart(Cancel("c1@test"))});
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));
    EXPECT_EQ(store(),
              (std::vector<std::string>{"USER " + kCarol, "CSOPEN MAIN", "CSFIND 1 c1@test",
                                        "CSORG 401", "CSDELE 401 RECURRING"}));

    // 2026-12-08 14:00:00 UTC as the instance.
    Mark();
    r = Offer(control, {"P0"}, {CalPart(Cancel("c2@test", "20261208T140000Z"))});
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));
    EXPECT_EQ(store(),
              (std::vector<std::string>{"USER " + kCarol, "CSOPEN MAIN",
                                        "CSFIND 1 c2@test 1796738400", "CSORG 402", "CSDELE 402"}));
}

TEST_F(Entries, CancelIsHonouredFromOrganizerOrRecipientOnly) {
    agent_->revo_->AddEntry("c3@test", {403, kBob});
    // From the recipient herself.
    std::vector<std::string> control = {"F" + kCarol, "L" + kCarol + " 0"};
    auto r = Offer(control, {"P0"}, {CalPart(Cancel("c3@test"))});
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));
    EXPECT_EQ(store().back(), "CSDELE 403 RECURRING");

    // From a third party: nothing deleted, the recipient keeps the message.
    Mark();
    control = {"F" + kStranger, "L" + kCarol + " 0"};
    r = Offer(control, {"P0"}, {CalPart(Cancel("c3@test"))});
    EXPECT_EQ(r.qmod, control);
    auto s = store();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back(), "CSORG 403");
}

TEST_F(Entries, PartSelection) {
    agent_->revo_->AddEntry("p1@test", {501, kBob});
    std::string cal = Accepted("p1@test");
    std::vector<std::string> control = {"F" + kSender, "L" + kBob + " 0"};
    Part multi{"multipart", "alternative", "-", "7bit", "", ""};
    Part mixed{"multipart", "mixed", "-", "7bit", "", ""};
    Part plain = TextPart("plain", "7bit", "Please come.\r\n");
    Part calendar = CalPart(cal);

    // Alternatives text/plain and text/calendar: the calendar is used.
    auto r = Offer(control, {"P0", "P1", "P2", "2004"}, {multi, plain, calendar});
    EXPECT_EQ(r.qbraw, 1);
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));

    // A calendar attached to multipart/mixed is not looked at: no QMOD at all.
    r = Offer(control, {"P0", "P1", "P2", "2003"}, {mixed, plain, calendar});
    EXPECT_EQ(r.qbraw, 0);
    EXPECT_TRUE(r.qmod.empty());
    EXPECT_TRUE(r.done);

    // No calendar part: finished unchanged.
    r = Offer(control, {"P0"}, {plain});
    EXPECT_TRUE(r.qmod.empty());
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.lines.size(), 2u); // QMIME, QDONE

    // Case does not matter; over-long structure words are skipped, not cut.
    Part upper{"TEXT", "Calendar", "UTF-8", "7BIT", "x", cal};
    Part bogus{"text", "calendar", "utf-8", std::string(80, 'b'), "y", cal};
    Mark();
    r = Offer(control, {"P0"}, {bogus});
    EXPECT_EQ(r.qbraw, 0);
    r = Offer(control, {"P0"}, {upper});
    EXPECT_EQ(r.qbraw, 1);
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));
}

TEST_F(Entries, RecipientsThatAreNotLooked) {
    agent_->revo_->AddEntry("f1@test", {601, kBob});
    std::string cal = Accepted("f1@test");
    // Before any F line, with flag 0x80, or not a local user: all kept, no session.
    std::vector<std::string> control = {"L" + kBob + " early 0",
                                        "F" + kSender + " x",
                                        "F" + kStranger + " second sender",
                                        "M" + kBob + " " + kBob + " 128",
                                        "L" + kStranger + " 0",
                                        "L" + kBob + " 384"};
    auto r = Offer(control, {"P0"}, {CalPart(cal)});
    EXPECT_EQ(r.qmod, control);
    EXPECT_EQ(r.qbraw, 0);
    EXPECT_TRUE(store().empty());
}

TEST_F(Entries, TwoLocalRecipientsShareOneFetch) {
    agent_->revo_->AddEntry("two@test", {701, kBob});
    std::vector<std::string> control = {"F" + kSender, "L" + kBob + " 0", "Lnobody@x 0",
                                        "M" + kCarol + " 16"};
    auto r =
        Offer(control, {"P0"}, {CalPart(arbortest::Base64Encode(Accepted("two@test")), "base64")});
    EXPECT_EQ(r.qbraw, 1);
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0], control[2]}));
    auto s = store();
    EXPECT_EQ(std::count(s.begin(), s.end(), "CSATND 701 A " + kSender), 2);
    EXPECT_EQ(std::count(s.begin(), s.end(), "USER " + kCarol), 1);
}

TEST_F(Entries, RequestAndOrdinaryLinesGoBackByteForByte) {
    std::string req = "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nUID:q1@test\r\n"
                      "ORGANIZER:mailto:" +
                      kSender + "\r\nATTENDEE:mailto:" + kBob +
                      "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    std::vector<std::string> control = {"F" + kSender + "  \t odd  spacing ",
                                        "L" + kBob + " \"Bob B\" <bob> 0", "",
                                        "Z\x01\x7f binary-ish", "M" + kCarol + " 0"};
    auto r = Offer(control, {"P0"}, {CalPart(req)});
    EXPECT_EQ(r.qmod, control);
    EXPECT_EQ(r.qbraw, 1); // fetched once, then nothing to do
    auto s = store();
    EXPECT_TRUE(s.empty());
}

TEST_F(Entries, StoreThatRefusesKeepsTheRecipient) {
    agent_->revo_->AddEntry("u1@test", {801, kBob});
    std::vector<std::string> control = {"F" + kSender, "L" + kBob + " 0"};
    std::string cal = Accepted("u1@test");
    agent_->revo_->refuseUsers = true;
    auto r = Offer(control, {"P0"}, {CalPart(cal)});
    agent_->revo_->refuseUsers = false;
    EXPECT_EQ(r.qmod, control);
    EXPECT_EQ(store(), (std::vector<std::string>{"USER " + kBob}));

    // An entry the store does not know.
    Mark();
    r = Offer(control, {"P0"}, {CalPart(Accepted("unknown@test"))});
    EXPECT_EQ(r.qmod, control);
    EXPECT_EQ(store().size(), 3u);
}

TEST_F(Entries, StoreSessionThatBreaksFailsOnlyThatUpdate) {
    agent_->revo_->AddEntry("b1@test", {901, kBob});
    std::vector<std::string> control = {"F" + kSender, "L" + kBob + " 0", "L" + kCarol + " 0"};
    std::string cal = Accepted("b1@test");
    for (const char* verb : {"CSOPEN", "CSFIND", "USER"}) {
        {
            std::lock_guard<std::mutex> l(agent_->revo_->Mu());
            agent_->revo_->dropAt = verb;
        }
        // The recipients stay, and the queue connection still ends with QDONE.
        auto r = Offer(control, {"P0"}, {CalPart(cal)});
        EXPECT_TRUE(r.done) << verb;
        EXPECT_TRUE(r.closed) << verb;
        EXPECT_EQ(r.qmod, control) << verb;
    }
    {
        std::lock_guard<std::mutex> l(agent_->revo_->Mu());
        agent_->revo_->dropAt.clear();
    }
    Mark();
    auto r = Offer(control, {"P0"}, {CalPart(cal)});
    EXPECT_EQ(r.qmod, (std::vector<std::string>{control[0]}));
}

TEST_F(Entries, MalformedOffers) {
    // Not an offer: QDONE at once.
    Conn c = Conn::Connect("127.0.7.1", port_);
    ASSERT_TRUE(c.Ok());
    c.Send("1000 hello\r\n");
    std::string line;
    ASSERT_TRUE(c.ReadLine(line));
    EXPECT_EQ(line, "QDONE");
    EXPECT_TRUE(c.WaitClosed());

    // A queue identifier too long for the agent is refused, not cut.
    Conn d = Conn::Connect("127.0.7.1", port_);
    d.Send("6020 " + std::string(40, 'Q') + " 10\r\nFa@b\r\n6021 end\r\n");
    ASSERT_TRUE(d.ReadLine(line));
    EXPECT_EQ(line, "QDONE");

    // More control text than announced is all kept.
    std::vector<std::string> control;
    control.push_back("F" + kSender);
    for (int i = 0; i < 50; ++i)
        control.push_back("Xline " + std::to_string(i) + std::string(100, 'x'));
    auto r = OfferEntry(port_, "Qshort", control, {"P0"}, {CalPart(Reply("none@test", ""))});
    EXPECT_EQ(r.qmod, control);
    // The agent is still serving.
    EXPECT_TRUE(agent_->proc_.Running());
}

// A plain (undecoded) part whose bytes stop short of what QBRAW announced: the
// agent drops the connection without QMOD or QDONE, so the server keeps the
// entry as it was.
TEST_F(Entries, PlainPartCutShortDropsTheConnection) {
    Conn c = Conn::Connect("127.0.7.1", port_);
    ASSERT_TRUE(c.Ok());
    const std::string control = "F" + kSender + "\r\nL" + kBob + " " + kBob + " 0\r\n";
    c.Send("6020 Qcut " + std::to_string(control.size()) + "\r\n" + control + "6021 end\r\n");
    std::string line;
    ASSERT_TRUE(c.ReadLine(line));
    EXPECT_EQ(line, "QMIME Qcut");
    c.Send("2002 text calendar US-ASCII 7bit \"\" 0 500\r\n1000 end\r\n");
    // Lines before the recipient go back at once.
    do
        ASSERT_TRUE(c.ReadLine(line));
    while (line.rfind("QMOD RAW ", 0) == 0);
    EXPECT_EQ(line, "QBRAW Qcut 0 500");
    c.Send("2021 500\r\nBEGIN:VCALENDAR\r\nMETHOD:REPLY\r\n");
    shutdown(c.Fd(), SHUT_WR);
    EXPECT_FALSE(c.ReadLine(line)) << line;
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_TRUE(store().empty());
    EXPECT_TRUE(agent_->proc_.Running());
}

TEST_F(Entries, ValuesThatCouldAddLinesOrArgumentsFailOnlyThatUpdate) {
    agent_->revo_->AddEntry("x", {950, kBob});
    std::vector<std::string> control = {"F" + kBob, "L" + kCarol + " 0", "L" + kBob + " 0"};
    // Unescaped, these UIDs hold a line feed, or a space that would make a
    // second argument (an instance time) of CSFIND.
    for (const char* uid :
         {"x\\nUSER bob@example.com\\nCSOPEN MAIN\\nCSDELE 950 RECURRING", "x 1796738400"}) {
        Mark();
        auto r = Offer(control, {"P0"}, {CalPart(Cancel(uid))});
        EXPECT_TRUE(r.done) << uid;
        EXPECT_EQ(r.qmod, control) << uid; // every recipient keeps the mail
        EXPECT_TRUE(store().empty()) << uid;
    }
    // The same through a reply.
    agent_->revo_->AddEntry("y@test", {951, kBob});
    Mark();
    std::vector<std::string> replyControl = {"F" + kSender, "L" + kBob + " 0"};
    auto r = Offer(replyControl, {"P0"},
                   {CalPart(Reply("y@test\\nCSATND 951 A " + kSender, Attendee("ACCEPTED")))});
    EXPECT_EQ(r.qmod, replyControl);
    EXPECT_TRUE(store().empty());
}

TEST_F(Entries, CalendarPartTooLargeIsNotFetched) {
    agent_->revo_->AddEntry("big@test", {960, kBob});
    std::string cal = Accepted("big@test");
    cal.insert(cal.find("END:VEVENT"), "X-PAD:" + std::string(17 << 20, 'p') + "\r\n");
    std::vector<std::string> control = {"F" + kSender, "L" + kBob + " 0"};
    auto r = Offer(control, {"P0"}, {CalPart(cal)});
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.qbraw, 0);
    EXPECT_EQ(r.qmod, control);
    EXPECT_TRUE(store().empty());
}

// SIGTERM must find the main thread: a second one during the first
// shutdown pass (the main thread has it blocked while its handler runs)
// used to run the handler again on a worker, beside the first.
TEST(Shutdown, SignalsReachTheMainThreadOnly) {
    Agent a("127.0.7.31");
    ASSERT_TRUE(a.StartRegistered());
    // Workers: two queue connections in the middle of their entries.
    Conn c1 = Conn::Connect("127.0.7.1", a.Port());
    Conn c2 = Conn::Connect("127.0.7.1", a.Port());
    c1.Send("6020 Q1 10\r\nFa@b\r\n");
    c2.Send("6020 Q2 10\r\nFa@b\r\n");
    std::map<int, unsigned long long> masks;
    for (int i = 0; i < 100 && masks.size() < 3; ++i) {
        usleep(50000);
        masks = BlockedSignals(a.proc_.Pid());
    }
    ASSERT_GE(masks.size(), 3u);
    const unsigned long long term = 1ull << (SIGTERM - 1);
    for (const auto& [tid, mask] : masks)
        EXPECT_EQ((mask & term) != 0, tid != a.proc_.Pid()) << "thread " << tid;

    a.proc_.Signal(SIGTERM);
    usleep(500000);
    a.proc_.Signal(SIGTERM);
    EXPECT_EQ(a.proc_.Wait(30000), 0);
    // Every pass runs whole before the next one begins.
    std::string out = ReadFile(a.dir_ + "/out.txt");
    const std::string first = "\rDAYWARD: Closing server sockets\n",
                      last = "\rDAYWARD: Shutdown complete\n";
    int passes = 0;
    for (size_t at = 0; (at = out.find(first, at)) != std::string::npos; ++passes) {
        size_t end = out.find(last, at);
        ASSERT_NE(end, std::string::npos) << out;
        size_t next = out.find(first, at + 1);
        EXPECT_TRUE(next == std::string::npos || next > end) << out;
        at = end;
    }
    EXPECT_GE(passes, 2) << out;
}

TEST(Shutdown, SigtermPrintsFiveLinesInOrderAndEnds) {
    Agent a("127.0.7.30");
    ASSERT_TRUE(a.StartRegistered());
    // A queue connection in the middle of an entry.
    Conn c = Conn::Connect("127.0.7.1", a.Port());
    c.Send("6020 Q9 10\r\nFa@b\r\n");
    usleep(200000);
    a.proc_.Signal(SIGTERM);
    int status = a.proc_.Wait(20000);
    std::string out = ReadFile(a.dir_ + "/out.txt");
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(c.WaitClosed(1000));
    const char* lines[] = {"\rDAYWARD: Closing server sockets\n", "\rDAYWARD: Closing ",
                           "\rDAYWARD: Waiting for threads to terminate\n",
                           "\rDAYWARD: Removing SSL data\n", "\rDAYWARD: Shutdown complete\n"};
    size_t at = 0;
    for (const char* l : lines) {
        size_t f = out.find(l, at);
        ASSERT_NE(f, std::string::npos) << l << " in " << out;
        at = f + 1;
    }
    EXPECT_NE(out.find(" client sockets\n"), std::string::npos);
}

} // namespace
