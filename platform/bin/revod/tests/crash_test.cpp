// revod killed with SIGKILL while it offers, delivers and accepts entries:
// after a restart every acknowledged message ends up in exactly one place.
#include "test_util.h"

#include <gtest/gtest.h>

#include <map>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.11";

// Messages per queue entry in a mailbox.
std::map<std::string, int> MailboxCounts(uint16_t port, const std::string& who) {
    std::map<std::string, int> out;
    Client c;
    if (!c.Connect(kAddr, port)) return out;
    for (const auto& entry : MailboxEntries(c, who))
        ++out[entry];
    return out;
}

// The agent hands every line back, and now and then hangs up mid-entry.
void HandBackAll(LineConn& c, std::atomic<int>& seen) {
    OfferedEntry e;
    if (!ReadOffer(c, e)) return;
    if (++seen % 7 == 0) return;
    c.Send("QMIME " + e.qid + "\r\n");
    SkipListing(c);
    std::string out;
    for (const auto& line : e.control)
        out += "QMOD RAW " + line + "\r\n";
    c.Send(out + "QDONE\r\n");
    c.Line();
}

// Submits n messages, each for bob and carol, reconnecting after every
// failure; the entries the server acknowledged go to acknowledged.
void SubmitThroughKills(uint16_t port, int n, std::mutex& mu,
                        std::vector<std::string>& acknowledged) {
    std::unique_ptr<Client> c;
    for (int i = 0; i < n;) {
        if (!c) {
            c = std::make_unique<Client>();
            if (!c->Connect(kAddr, port)) {
                c.reset();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
        }
        std::string r = c->Submit("Fsender@x.org\nLbob@x.org bob@x.org 0\n"
                                  "Mcarol@x.org carol@x.org 0\n",
                                  "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n");
        ++i;
        if (r.rfind("1000 ", 0) != 0) { // killed under us: maybe stored, maybe not
            c.reset();
            continue;
        }
        std::lock_guard lock(mu);
        acknowledged.push_back(ReplyWord(r));
    }
}

TEST(RevodCrash, EveryMessageInExactlyOnePlaceAfterKills) {
    const TempDir dir("revod-test");
    const uint16_t port = TestPort();
    std::atomic<int> seen{0};
    AgentListener agent(kAddr, [&](LineConn& c) { HandBackAll(c, seen); });
    // One store, started again after each kill.
    RevodProcess revod(kAddr, port, dir / "revod.out");
    const auto start = [&] {
        revod.Start({"--listen", kAddr, "--port", std::to_string(port), "--store", dir / "store.db",
                     "--no-auth", "--user", "bob@x.org", "--user", "carol@x.org", "--retry-delay",
                     "10", "--max-offers", "8", "--quiet"});
    };
    start();
    {
        Client c;
        ASSERT_TRUE(c.Connect(kAddr, port));
        ASSERT_EQ("1000 Registered for queue 5",
                  c.Cmd("QWAIT 5 " + std::to_string(agent.Port()) + " crash-agent"));
    }

    constexpr int kMessages = 300;
    std::mutex mu;
    std::vector<std::string> acknowledged;
    std::thread submitter([&] { SubmitThroughKills(port, kMessages, mu, acknowledged); });
    for (int round = 1; round <= 3; ++round) {
        // Kill while offers and deliveries are under way.
        WaitFor([&] { return MailboxCounts(port, "bob@x.org").size() >= size_t(40 * round); });
        revod.Kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        start();
    }
    submitter.join();
    ASSERT_TRUE(WaitFor(
        [&] {
            Client c;
            return c.Connect(kAddr, port) && c.Listing("QLIST").size() == 1;
        },
        60000));

    auto bob = MailboxCounts(port, "bob@x.org");
    auto carol = MailboxCounts(port, "carol@x.org");
    std::lock_guard lock(mu);
    EXPECT_GT(acknowledged.size(), size_t(kMessages / 2));
    for (const auto& id : acknowledged) {
        EXPECT_EQ(1, bob[id]) << "entry " << id;
        EXPECT_EQ(1, carol[id]) << "entry " << id;
    }
    // Entries stored but not acknowledged are delivered once as well.
    for (const auto& [id, n] : bob)
        EXPECT_EQ(1, n) << "entry " << id;
    EXPECT_EQ(bob.size(), carol.size());
    EXPECT_GE(bob.size(), acknowledged.size());
}

} // namespace
