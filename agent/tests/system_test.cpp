// The whole road with real processes: the directory, revod and dayward.
// Messages go in through revoctl; calendars and mailboxes are read back with
// it. Also: nothing is lost when the agent is killed in the middle of entries.
#include "directory.h"
#include "live_stack.h"
#include "revo_secret.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace agenttest;

namespace {

const char* kAddr = "127.0.7.50";

std::string Meeting(const std::string& uid, const std::string& method = "REQUEST") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nMETHOD:" + method +
           "\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSEQUENCE:0\r\nDTSTAMP:20261201T090000Z\r\nDTSTART:20261207T140000Z\r\n"
           "DTEND:20261207T150000Z\r\nRRULE:FREQ=DAILY;COUNT=5\r\nSUMMARY:Design review\r\n"
           "ORGANIZER:mailto:bob@example.com\r\nATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:"
           "alice@example.com\r\nATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:carol@example.com\r\n"
           "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string ReplyText(const std::string& uid, const std::string& stat) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:REPLY\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSEQUENCE:0\r\nORGANIZER:mailto:bob@example.com\r\nATTENDEE;PARTSTAT=" + stat +
           ":mailto:alice@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string MimeMessage(const std::string& from, const std::string& to, const std::string& subject,
                        const std::string& calendar, const std::string& method, bool inBase64) {
    std::string body = inBase64 ? arbortest::Base64Encode(calendar) : calendar;
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
           subject + "\r\n--b1\r\nContent-Type: text/calendar; charset=utf-8; method=" + method +
           "\r\nContent-Transfer-Encoding: " + (inBase64 ? "base64" : "7bit") + "\r\n\r\n" + body +
           "\r\n--b1--\r\n";
}

std::string PlainMessage(const std::string& from, const std::string& to, const std::string& s) {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + s +
           "\r\nContent-Type: text/plain\r\n\r\nJust mail.\r\n";
}

class System : public LiveStack {
  protected:
    System() : LiveStack(kAddr, {"--default-secret"}) {}
    // Queues many entries over one session, as fast as the server takes them.
    void SubmitMany(const std::vector<std::pair<std::vector<std::string>, std::string>>& entries,
                    size_t killAfter = 0) {
        Conn c = Conn::Connect(kAddr, RevoPort());
        ASSERT_TRUE(c.Ok());
        std::string line;
        ASSERT_TRUE(c.ReadLine(line));
        size_t lt = line.find('<'), gt = line.find('>');
        ASSERT_NE(lt, std::string::npos) << line;
        unsigned char s[9];
        RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, s);
        c.Send("AUTH " +
               DigestHex(line.substr(lt + 1, gt - lt - 1),
                         std::string(reinterpret_cast<char*>(s), RevoSecretLength(s))) +
               "\r\n");
        ASSERT_TRUE(c.ReadLine(line));
        ASSERT_EQ(line.rfind("1000", 0), 0u) << line;
        for (const auto& [control, message] : entries) {
            std::string ctl;
            for (const auto& l : control)
                ctl += l + "\n";
            c.Send("QSTORE " + std::to_string(ctl.size()) + " " + std::to_string(message.size()) +
                   "\r\n" + ctl + message);
            ASSERT_TRUE(c.ReadLine(line));
            ASSERT_EQ(line.rfind("1000", 0), 0u) << line;
            if (--killAfter == 0) {
                agent_.Signal(SIGKILL);
                agent_.Wait(5000);
            }
        }
    }
};

TEST_F(System, RepliesCancelsRequestsAndMail) {
    Seed("bob@example.com", Meeting("m1@example.com"));
    Seed("carol@example.com", Meeting("m1@example.com"));
    ASSERT_EQ(StatusOf(Calendar("bob@example.com"), "alice@example.com"), "NEEDS-ACTION");

    // An attendee's reply in base64 reaches the organizer's calendar only.
    Submit("alice@example.com", {"bob@example.com"},
           MimeMessage("alice@example.com", "bob@example.com", "Accepted: Design review",
                       ReplyText("m1@example.com", "ACCEPTED"), "REPLY", true));
    // Ordinary mail and a request are delivered as usual.
    Submit("alice@example.com", {"bob@example.com"},
           PlainMessage("alice@example.com", "bob@example.com", "Lunch?"));
    Submit("bob@example.com", {"carol@example.com"},
           MimeMessage("bob@example.com", "carol@example.com", "Invitation: Design review",
                       Meeting("m2@example.com"), "REQUEST", false));
    // A cancellation from a stranger changes nothing and is delivered.
    Submit("mallory@elsewhere.example", {"carol@example.com"},
           MimeMessage("mallory@elsewhere.example", "carol@example.com", "Cancelled",
                       Meeting("m1@example.com", "CANCEL"), "CANCEL", false));
    ASSERT_TRUE(QueueEmpty(20000)) << ReadFile(dir_ + "/revod.out");

    std::string bob = Calendar("bob@example.com");
    EXPECT_EQ(StatusOf(bob, "alice@example.com"), "ACCEPTED") << bob;
    EXPECT_EQ(MailboxCount("bob@example.com"), 1u);   // the mail, not the reply
    EXPECT_EQ(MailboxCount("carol@example.com"), 2u); // the request and the stranger's
    EXPECT_NE(Calendar("carol@example.com").find("m1@example.com"), std::string::npos);

    // The organizer cancels the whole meeting: gone from carol's calendar.
    Submit("bob@example.com", {"carol@example.com"},
           MimeMessage("bob@example.com", "carol@example.com", "Cancelled",
                       Meeting("m1@example.com", "CANCEL"), "CANCEL", false));
    ASSERT_TRUE(QueueEmpty(20000));
    EXPECT_EQ(Calendar("carol@example.com").find("m1@example.com"), std::string::npos);
    EXPECT_EQ(MailboxCount("carol@example.com"), 2u);
}

TEST_F(System, NothingLostWhenTheAgentIsKilled) {
    Seed("bob@example.com", Meeting("k1@example.com"));
    const int kRounds = 3, kEach = 200;
    const std::vector<std::string> mailTo = {"Falice@example.com",
                                             "Lbob@example.com bob@example.com 0",
                                             "Lcarol@example.com carol@example.com 0"};
    const std::vector<std::string> replyTo = {"Falice@example.com",
                                              "Lbob@example.com bob@example.com 0"};
    std::string mail = PlainMessage("alice@example.com", "bob@example.com", "mail");
    std::string reply = MimeMessage("alice@example.com", "bob@example.com", "Re",
                                    ReplyText("k1@example.com", "ACCEPTED"), "REPLY", true);
    size_t mails = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::pair<std::vector<std::string>, std::string>> batch;
        for (int i = 0; i < kEach; ++i) {
            if (i % 2) {
                batch.emplace_back(mailTo, mail);
                ++mails;
            } else {
                batch.emplace_back(replyTo, reply);
            }
        }
        // The agent is killed while the batch is on its way through it.
        SubmitMany(batch, kEach / 2);
        StartAgent();
    }
    ASSERT_TRUE(QueueEmpty(60000)) << ReadFile(dir_ + "/revod.out");
    // Every mail delivered once to each recipient; no reply reached a mailbox.
    for (const char* user : {"bob@example.com", "carol@example.com"}) {
        auto entries = Mailbox(user);
        EXPECT_EQ(entries.size(), mails) << user;
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(std::unique(entries.begin(), entries.end()), entries.end()) << user;
    }
    EXPECT_EQ(StatusOf(Calendar("bob@example.com"), "alice@example.com"), "ACCEPTED");
}

} // namespace
