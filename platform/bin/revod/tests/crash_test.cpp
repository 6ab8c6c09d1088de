// revod killed with SIGKILL while it offers, delivers and accepts entries:
// after a restart every acknowledged message ends up in exactly one place.
#include "test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.11";

class RevodProcess {
  public:
    RevodProcess(std::string store, uint16_t port) : store_(std::move(store)), port_(port) {}
    ~RevodProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    void Start() {
        const char* build = std::getenv("ARBOR_BUILD_DIR");
        std::string bin = std::string(build ? build : ".") + "/platform/bin/revod/revod";
        std::vector<std::string> args = {
            bin,       "--listen",    kAddr,           "--port", std::to_string(port_),
            "--store", store_,        "--no-auth",     "--user", "bob@x.org",
            "--user",  "carol@x.org", "--retry-delay", "10",     "--max-offers",
            "8",       "--quiet"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(0, posix_spawn(&pid_, bin.c_str(), nullptr, nullptr, argv.data(), environ));
        ASSERT_TRUE(WaitFor([&] {
            Client c;
            return c.Connect(kAddr, port_);
        }));
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    std::string store_;
    uint16_t port_;
    pid_t pid_ = -1;
};

// Entries per mailbox, by entry number.
std::map<std::string, int> MailboxEntries(uint16_t port, const std::string& who) {
    std::map<std::string, int> out;
    Client c;
    if (!c.Connect(kAddr, port)) return out;
    for (const auto& l : c.Listing("MBLIST " + who)) {
        if (l.rfind("2031 ", 0) != 0) continue;
        std::string_view rest = std::string_view(l).substr(5);
        revo::NextWord(rest);
        ++out[std::string(revo::NextWord(rest))];
    }
    return out;
}

TEST(RevodCrash, EveryMessageInExactlyOnePlaceAfterKills) {
    const std::string dir = TempDir();
    const uint16_t port = TestPort();
    // The agent hands every line back, and now and then hangs up mid-entry.
    std::atomic<int> seen{0};
    AgentListener agent(kAddr, [&](revo::LineConn& c) {
        OfferedEntry e;
        if (!ReadOffer(c, e)) return;
        if (++seen % 7 == 0) return;
        std::string out = "QMIME " + e.qid + "\r\n";
        c.SendAll(out);
        std::string l;
        while (c.ReadLine(l) == revo::LineConn::Read::Line && !l.empty() && l[0] == '2') {
        }
        out.clear();
        for (const auto& line : e.control)
            out += "QMOD RAW " + line + "\r\n";
        c.SendAll(out + "QDONE\r\n");
        c.ReadLine(l);
    });
    RevodProcess revod(dir + "/store.db", port);
    revod.Start();
    {
        Client c;
        ASSERT_TRUE(c.Connect(kAddr, port));
        ASSERT_EQ("1000 Registered for queue 5",
                  c.Cmd("QWAIT 5 " + std::to_string(agent.port()) + " crash-agent"));
    }

    constexpr int kMessages = 300;
    std::mutex mu;
    std::vector<std::string> acknowledged;
    std::atomic<bool> submitting{true};
    std::thread submitter([&] {
        std::unique_ptr<Client> c;
        for (int i = 0; i < kMessages;) {
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
            if (r.rfind("1000 ", 0) != 0) { // killed under us: maybe stored, maybe not
                c.reset();
                ++i;
                continue;
            }
            std::lock_guard lock(mu);
            acknowledged.push_back(r.substr(5, r.find(' ', 5) - 5));
            ++i;
        }
        submitting = false;
    });

    for (int round = 1; round <= 3; ++round) {
        // Kill while offers and deliveries are under way.
        WaitFor([&] { return MailboxEntries(port, "bob@x.org").size() >= size_t(40 * round); });
        revod.Kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        revod.Start();
    }
    submitter.join();
    ASSERT_TRUE(WaitFor(
        [&] {
            Client c;
            return c.Connect(kAddr, port) && c.Listing("QLIST").size() == 1;
        },
        60000));

    auto bob = MailboxEntries(port, "bob@x.org");
    auto carol = MailboxEntries(port, "carol@x.org");
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
    std::filesystem::remove_all(dir);
}

} // namespace
