// revoctl against a running server: every command, and its refusals.
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.12";

std::string SecretText() {
    return ScrambledSecret({9, 8, 7, 6, 5, 4, 3, 2}, 'd');
}

class Revoctl : public ServerTest {
  protected:
    Revoctl() : ServerTest(kAddr, SecretText()) { cfg_.users = {"bob@example.org"}; }
    void SetUp() override { Start(); }
    // Runs revoctl with the server options; returns the exit status.
    int Run(const std::string& args, std::string* out = nullptr, bool secret = true) {
        return arbortest::Run(arbortest::Program("platform/bin/revod/revoctl") + " --server " +
                                  kAddr + " --port " + std::to_string(cfg_.port) +
                                  (secret ? " --secret-text " + cfg_.secretText : "") + " " + args +
                                  " 2>&1",
                              out);
    }
    std::string Write(const std::string& name, const std::string& text) {
        arbortest::WriteFile(dir_ + "/" + name, text);
        return dir_ + "/" + name;
    }
};

TEST_F(Revoctl, SubmitListAndShowMessages) {
    const std::string msg = "Subject: hello\r\n\r\nbody\r\n";
    std::string out;
    ASSERT_EQ(0, Run("submit --from alice@example.org --to bob@example.org --to "
                     "carol@example.org:128 " +
                         Write("m.eml", msg),
                     &out))
        << out;
    EXPECT_EQ(0u, out.find("queued "));
    ASSERT_TRUE(WaitFor([&] {
        Run("mailbox carol@example.org", &out);
        return out.find("1 message(s)") != std::string::npos;
    }));
    EXPECT_NE(std::string::npos, out.find("alice@example.org"));
    ASSERT_EQ(0, Run("mailbox bob@example.org --show 1", &out));
    EXPECT_EQ(msg, out) << "the message comes back byte for byte";
    ASSERT_EQ(0, Run("queue", &out));
    EXPECT_NE(std::string::npos, out.find("0 entries queued"));
}

TEST_F(Revoctl, CalendarAddAndShowFromIcs) {
    const std::string ics = "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\n"
                            "UID:weekly-1@example.org\r\nSEQUENCE:3\r\nSUMMARY:Weekly sync\r\n"
                            "DTSTART:20261210T100000Z\r\nDTEND:20261210T110000Z\r\n"
                            "RRULE:FREQ=WEEKLY;COUNT=3\r\n"
                            "ORGANIZER:mailto:org@example.org\r\n"
                            "ATTENDEE;PARTSTAT=ACCEPTED:mailto:bob@example.org\r\n"
                            "ATTENDEE;PARTSTAT=TENTATIVE:mailto:alice@example.org\r\n"
                            "END:VEVENT\r\nEND:VCALENDAR\r\n";
    std::string out;
    ASSERT_EQ(0, Run("calendar add bob@example.org " + Write("e.ics", ics), &out)) << out;
    ASSERT_EQ(0, Run("calendar show bob@example.org", &out));
    EXPECT_NE(std::string::npos, out.find("event weekly-1@example.org (sequence 3)")) << out;
    EXPECT_NE(std::string::npos, out.find("organizer: org@example.org"));
    EXPECT_NE(std::string::npos, out.find("instance   2026-12-10 10:00:00Z"));
    EXPECT_NE(std::string::npos, out.find("instance   2026-12-24 10:00:00Z"));
    EXPECT_EQ(std::string::npos, out.find("2026-12-31")) << "COUNT=3";
    EXPECT_NE(std::string::npos, out.find("alice@example.org"));
    EXPECT_NE(std::string::npos, out.find("TENTATIVE"));
    // The agent's view of the same entry: found by UID and instance (2026-12-17 10:00Z).
    Client c;
    ASSERT_TRUE(c.Connect(kAddr, cfg_.port));
    c.Auth(cfg_.secretText);
    c.Cmd("USER bob@example.org");
    c.Cmd("CSOPEN MAIN");
    EXPECT_EQ(0u,
              c.Cmd("CSFIND 3 weekly-1@example.org " + std::to_string(1797501600)).find("1000 "));

    // Adding it again replaces it.
    ASSERT_EQ(0, Run("calendar add bob@example.org " + Write("e.ics", ics), &out));
    ASSERT_EQ(0, Run("calendar show bob@example.org", &out));
    EXPECT_NE(std::string::npos, out.find("1 entry"));
}

TEST_F(Revoctl, BadInputGivesClearErrorsAndExitCodes) {
    std::string out;
    EXPECT_EQ(2, Run("", &out));
    EXPECT_EQ(2, Run("frobnicate", &out));
    EXPECT_NE(std::string::npos, out.find("unknown command"));
    EXPECT_EQ(2, Run("submit --from a@x.org " + Write("m", "x"), &out)) << "no recipient";
    EXPECT_EQ(2, Run("submit --to b@x.org " + Write("m", "x"), &out)) << "no sender";
    EXPECT_EQ(2, Run("submit --from a@x.org --to b@x.org:zz " + Write("m", "x"), &out));
    EXPECT_EQ(1, Run("submit --from a@x.org --to b@x.org /nonexistent/file", &out));
    EXPECT_NE(std::string::npos, out.find("cannot read"));
    EXPECT_EQ(1, Run("calendar show mallory@example.org", &out));
    EXPECT_NE(std::string::npos, out.find("4200"));
    EXPECT_EQ(1,
              Run("calendar add bob@example.org " + Write("bad.ics", "not a calendar\r\n"), &out));
    EXPECT_EQ(1, Run("mailbox bob@example.org --show 99", &out));
    EXPECT_EQ(1, Run("queue", &out, false)) << "the built-in secret is not this server's";
    EXPECT_NE(std::string::npos, out.find("authentication"));
    EXPECT_EQ(0, Run("--help", &out));
    EXPECT_NE(std::string::npos, out.find("usage:"));
    // A port from the environment is checked like --port: 70000 must not wrap to 4464.
    const std::string revoctl = arbortest::Program("platform/bin/revod/revoctl");
    for (const char* bad : {"70000", "0", "689x"}) {
        EXPECT_EQ(2, arbortest::Run("REVO_PORT=" + std::string(bad) + " " + revoctl + " queue 2>&1",
                                    &out))
            << bad;
        EXPECT_NE(std::string::npos, out.find("bad REVO_PORT")) << out;
    }
}

} // namespace
