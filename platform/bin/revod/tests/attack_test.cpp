// revod under hostile peers: idle and slow sockets, file modes, a missing
// secret, an agent that goes away, and a completion the store must refuse.
// Each case checks that nothing was lost and nothing changed that should not.
#include "test_util.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

using namespace revotest;

namespace {

constexpr const char* kAddr = "127.0.6.40";
constexpr const char* kFlood = "127.0.6.42";

std::string SecretText() {
    return ScrambledSecret({0x51, 0x22, 0x93, 0x14, 0xa5, 0x36, 0xc7, 0x48}, '6');
}

const std::string kControl = "Falice@example.org\nLbob@example.org bob@example.org 0\n";

// A raw socket from a chosen local address; -1 on failure.
int RawConnect(const std::string& source, uint16_t port) {
    return LineConn::Connect(kAddr, port, source).release();
}

// Everything the server sends until it closes the socket or timeoutMs pass
// (or, with oneLine, a line has come). closed tells whether it closed.
std::string Drain(int fd, int timeoutMs, bool& closed, bool oneLine = false) {
    std::string got;
    closed = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) return got;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;
            return got;
        }
        got.append(buf, static_cast<size_t>(n));
        if (oneLine && got.find('\n') != std::string::npos) return got;
    }
}

// The first line the server sends, without waiting longer than needed.
std::string FirstLine(int fd) {
    bool closed;
    return Drain(fd, 5000, closed, true);
}

// Sends data one byte every stepMs until the server ends the session (true)
// or maxMs pass (false); what the server sent goes to got.
bool TrickleUntilClosed(int fd, const std::string& data, int stepMs, int maxMs, std::string& got) {
    for (int waited = 0; waited < maxMs; waited += stepMs) {
        const char c = data[static_cast<size_t>(waited / stepMs) % data.size()];
        bool closed = false;
        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return true;
        got += Drain(fd, stepMs, closed);
        if (closed) return true;
    }
    return false;
}

class Attack : public ServerTest {
  protected:
    Attack() : ServerTest(kAddr, SecretText()) {
        cfg_.users = {"bob@example.org", "carol@example.org"};
        cfg_.retryDelayMs = 20;
        cfg_.offerTimeoutMs = 30000;
        cfg_.log = [this](const std::string& line) {
            std::lock_guard lock(logMu_);
            log_.push_back(line);
        };
    }
    // n raw sockets from one address, added to fds.
    void Flood(std::vector<int>& fds, const char* from, int n) {
        for (int i = 0; i < n; ++i) {
            const int fd = RawConnect(from, cfg_.port);
            EXPECT_GE(fd, 0) << from;
            if (fd >= 0) fds.push_back(fd);
        }
    }
    size_t LogLines(const std::string& part) {
        std::lock_guard lock(logMu_);
        return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }

    std::mutex logMu_;
    std::vector<std::string> log_;
};

// ---- sessions ------------------------------------------------------------

// Many idle sockets from one address: an open authenticated session goes on,
// a new client from elsewhere gets in at once, one from the flooding address
// once the idle ones have had their chance, and the idle ones are ended.
TEST_F(Attack, IdleSocketFloodLocksNoOneOut) {
    cfg_.maxSessions = 30;
    cfg_.maxUnauthPerPeer = 5;
    cfg_.authTimeoutMs = 2000;
    Start();
    auto before = Login();

    std::vector<int> flood;
    Flood(flood, kFlood, 100);
    ASSERT_EQ(100u, flood.size());
    // Wait until the server has answered every one of them.
    std::vector<std::string> firstWords(flood.size());
    ASSERT_TRUE(WaitFor([&] {
        for (size_t i = 0; i < flood.size(); ++i) {
            bool closed;
            if (firstWords[i].size() < 5) firstWords[i] += Drain(flood[i], 1, closed);
        }
        return std::all_of(firstWords.begin(), firstWords.end(),
                           [](const std::string& w) { return w.size() >= 5; });
    }));
    // At most the per-address cap of them is held open at once.
    std::vector<bool> closed(flood.size(), false);
    auto held = [&] {
        int n = 0;
        for (size_t i = 0; i < flood.size(); ++i) {
            bool c = false;
            if (!closed[i]) Drain(flood[i], 1, c);
            closed[i] = closed[i] || c;
            n += !closed[i] && firstWords[i].rfind("4242 ", 0) == 0;
        }
        return n;
    };
    EXPECT_TRUE(WaitFor([&] { return held() <= cfg_.maxUnauthPerPeer; })) << held();
    EXPECT_GE(std::count_if(firstWords.begin(), firstWords.end(),
                            [](const std::string& w) { return w.rfind("4242 ", 0) == 0; }),
              cfg_.maxUnauthPerPeer);

    // Authenticated sessions, old and new, are served while the flood sits there.
    EXPECT_EQ("1000 OK", before->Cmd("NOOP"));
    auto fresh = Login();
    const std::string queued = fresh->Submit(kControl, "Subject: during the flood\r\n\r\nx");
    ASSERT_EQ(0u, queued.find("1000 ")) << queued;

    // From the flooding address itself: in, once the idle ones are no longer new.
    std::this_thread::sleep_for(std::chrono::milliseconds(cfg_.authTimeoutMs / 10 + 100));
    {
        Client fromFlood;
        ASSERT_TRUE(fromFlood.Connect(kAddr, cfg_.port, kFlood));
        ASSERT_EQ(0u, fromFlood.greeting.find("4242 ")) << fromFlood.greeting;
        EXPECT_EQ("1000 Authenticated", fromFlood.Auth(cfg_.secretText));
    }

    // Every idle socket is ended by the authentication deadline at the latest.
    for (size_t i = 0; i < flood.size(); ++i) {
        bool c = closed[i];
        if (!c) Drain(flood[i], 10 * cfg_.authTimeoutMs, c);
        EXPECT_TRUE(c) << i;
        ::close(flood[i]);
    }
    // Nothing lost: the one message is delivered once, nothing else queued.
    ASSERT_TRUE(WaitFor([&] { return Mailbox("bob@example.org").size() == 1; }));
    EXPECT_EQ(ReplyWord(queued), Mailbox("bob@example.org")[0]);
    EXPECT_EQ(0u, QueueSize());
    EXPECT_EQ("1000 OK", before->Cmd("NOOP")) << "the first session never noticed";
}

// Idle sockets from many addresses fill every place strangers may have; an
// address that has authenticated before (an agent's) still gets in.
TEST_F(Attack, ReserveKeepsRoomForKnownAddresses) {
    cfg_.maxSessions = 20; // two of them reserved
    cfg_.maxUnauthPerPeer = 5;
    cfg_.authTimeoutMs = 60000; // no idle socket is pushed out during the test
    Start();
    Login(); // kAddr is known from now on
    std::vector<int> flood;
    for (const char* from : {"127.0.6.43", "127.0.6.44", "127.0.6.45", "127.0.6.46"})
        Flood(flood, from, 5);
    ASSERT_EQ(20u, flood.size());
    size_t greeted = 0;
    for (int fd : flood)
        greeted += FirstLine(fd).rfind("4242 ", 0) == 0;
    EXPECT_EQ(18u, greeted) << "strangers fill all but the reserve";
    {
        const int fd = RawConnect("127.0.6.47", cfg_.port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(0u, FirstLine(fd).find("5001 ")) << "a stranger waits";
        ::close(fd);
    }
    auto known = Login();
    const std::string r = known->Submit(kControl, "Subject: reserve\r\n\r\nx");
    EXPECT_EQ(0u, r.find("1000 ")) << r;
    ASSERT_TRUE(WaitFor([&] { return Mailbox("bob@example.org").size() == 1; }));
    for (int fd : flood)
        ::close(fd);
}

// A newcomer never pushes out a session that is still within its grace.
TEST_F(Attack, FreshUnauthenticatedSessionsAreNotPushedOut) {
    cfg_.maxUnauthPerPeer = 2;
    cfg_.authTimeoutMs = 60000;
    Start();
    auto c = Connected(3);
    EXPECT_EQ("5001 Too many sessions", c[2].greeting);
    EXPECT_EQ("1000 Authenticated", c[0].Auth(cfg_.secretText));
    // The first no longer counts against its address.
    Client d;
    ASSERT_TRUE(d.Connect(kAddr, cfg_.port));
    EXPECT_EQ(0u, d.greeting.find("4242 "));
    EXPECT_EQ("1000 Authenticated", c[1].Auth(cfg_.secretText));
    EXPECT_EQ("1000 Authenticated", d.Auth(cfg_.secretText));
}

// A sender that trickles bytes, or never finishes a line or a submission,
// loses its session; the half-sent entry is not stored.
TEST_F(Attack, SlowSendersCannotHoldASession) {
    cfg_.authTimeoutMs = 1000;
    cfg_.idleTimeoutMs = 1000;
    cfg_.commandTimeoutMs = 1000;
    Start();
    std::string got;
    {
        // Busy but never authenticating: complete lines, each refused.
        const int fd = RawConnect(kAddr, cfg_.port);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(TrickleUntilClosed(fd, "NOOP\r\n", 50, 15000, got));
        EXPECT_NE(std::string::npos, got.find("4100 "));
        EXPECT_NE(std::string::npos, got.find("5001 ")) << got;
        ::close(fd);
    }
    {
        // Authenticated, a line that never ends.
        auto c = Login();
        got.clear();
        EXPECT_TRUE(TrickleUntilClosed(c->Conn().Fd(), "x", 50, 15000, got));
    }
    {
        // Authenticated, a submission whose bytes never all arrive.
        auto c = Login();
        ASSERT_TRUE(c->Send("QSTORE " + std::to_string(kControl.size()) + " 100\r\n"));
        got.clear();
        EXPECT_TRUE(
            TrickleUntilClosed(c->Conn().Fd(), kControl + "Subject: slow\r\n\r\n", 50, 15000, got));
        EXPECT_EQ(std::string::npos, got.find("1000 "));
    }
    // A session that keeps to the deadlines is served; nothing was stored.
    auto c = Login();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ("1000 OK", c->Cmd("NOOP"));
    EXPECT_EQ(0u, QueueSize());
    EXPECT_TRUE(Mailbox("bob@example.org").empty());
}

// ---- the store's files ------------------------------------------------------

TEST_F(Attack, StoreFilesAreOwnerOnlyUnderUmask022) {
    const mode_t old = ::umask(022);
    struct Restore {
        mode_t m;
        ~Restore() { ::umask(m); }
    } restore{old};
    // A store left world-readable by an earlier run is tightened too.
    const std::string earlier = dir_ + "/earlier.db";
    {
        std::ofstream(earlier).flush();
        std::ofstream(earlier + "-wal").flush();
        ::chmod(earlier.c_str(), 0644);
        ::chmod((earlier + "-wal").c_str(), 0644);
        std::string err;
        auto s = revo::Store::Open(earlier, revo::Store::Sync::Durable, err);
        ASSERT_TRUE(s) << err;
    }
    Start();
    auto c = Login();
    ASSERT_EQ(0u, c->Submit(kControl, "Subject: private\r\n\r\nx").find("1000 "));
    ASSERT_TRUE(WaitFor([&] { return Mailbox("bob@example.org").size() == 1; }));
    ASSERT_TRUE(c->OpenCalendar("bob@example.org"));
    c->Put("KIND E\nUID private-1\nSTART 1765188000\n");

    auto check = [&] {
        size_t files = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) {
            struct stat st {};
            ASSERT_EQ(0, ::stat(e.path().c_str(), &st));
            EXPECT_EQ(0600u, st.st_mode & 0777) << e.path();
            ++files;
        }
        EXPECT_GE(files, 2u);
    };
    check();
    server_->Stop();
    server_.reset();
    check();
}

// ---- the secret -------------------------------------------------------------

TEST_F(Attack, NoSecretNoStart) {
    cfg_.secretText.clear();
    revo::Server s;
    std::string err;
    EXPECT_FALSE(s.Start(cfg_, err));
    EXPECT_NE(std::string::npos, err.find("secret"));
    // A text that unscrambles to nothing is no secret either.
    cfg_.secretText = "0000000000000000000000000000000z";
    err.clear();
    EXPECT_FALSE(s.Start(cfg_, err));
    EXPECT_NE(std::string::npos, err.find("empty secret"));
    // Asked for explicitly, the built-in secret is accepted, and only it.
    cfg_.secretText.clear();
    cfg_.defaultSecret = true;
    Start();
    Client c;
    ASSERT_TRUE(c.Connect(kAddr, cfg_.port));
    EXPECT_EQ(0u, c.Auth(SecretText()).find("4101 "));
    EXPECT_EQ("1000 Authenticated", c.Auth(REVO_DEFAULT_SECRET_TEXT));
}

struct ProcessRun {
    int status = -1;
    std::string err;
};

// Runs revod with the arguments until it exits or is stopped after waitMs.
ProcessRun RunRevod(const std::vector<std::string>& args, const std::string& errFile, int waitMs,
                    const std::function<void()>& whileUp = {}) {
    Process revod;
    ProcessRun r;
    // No directory: the secret can come from nowhere else.
    if (!revod.Start(arbortest::Program("platform/bin/revod/revod"), args,
                     {{"ARBOR_DIRECTORY", "/nonexistent/directory.db"},
                      {"ARBOR_CONF", "/nonexistent/arbor.conf"},
                      {"ASAN_OPTIONS", "detect_leaks=0"}},
                     errFile, true))
        return r;
    const int status = revod.Wait(waitMs);
    if (status == Process::kTimedOut) {
        if (whileUp) whileUp();
        revod.Signal(SIGTERM);
        revod.Wait(30000);
        r.status = -1;
    } else {
        r.status = status >= 0 ? status : -2;
    }
    r.err = ReadFile(errFile);
    return r;
}

TEST_F(Attack, RevodRefusesToStartWithoutASecret) {
    const std::vector<std::string> base = {
        "--listen",       kAddr,    "--port",         std::to_string(cfg_.port), "--store",
        dir_ + "/bin.db", "--user", "bob@example.org"};
    ProcessRun refused = RunRevod(base, dir_ + "/err1", 15000);
    EXPECT_EQ(2, refused.status) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("no shared secret")) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("--default-secret")) << refused.err;

    auto args = base;
    args.push_back("--default-secret");
    std::string authReply;
    ProcessRun up = RunRevod(args, dir_ + "/err2", 1500, [&] {
        WaitFor([&] {
            Client c;
            if (!c.Connect(kAddr, cfg_.port)) return false;
            authReply = c.Auth(REVO_DEFAULT_SECRET_TEXT);
            return true;
        });
    });
    EXPECT_EQ(-1, up.status) << "still running: " << up.err;
    EXPECT_EQ("1000 Authenticated", authReply);
    EXPECT_NE(std::string::npos, up.err.find("WARNING: using the built-in default secret"))
        << up.err;
}

// ---- completion ---------------------------------------------------------------

TEST_F(Attack, TaskCompletesOnlyWhenEveryStoredAttendeeHas) {
    Start();
    auto c = Login();
    ASSERT_TRUE(c->OpenCalendar("bob@example.org"));
    const std::string task = c->Put("KIND T\nUID report-1\nORGANIZER bob@example.org\n"
                                    "SUMMARY Report\nSTART 1765188000\n"
                                    "ATTENDEE N alice@example.org\nATTENDEE A carol@example.org\n");
    const std::string solo = c->Put("KIND T\nUID solo-1\nSTART 1765188000\n");
    const std::string untouched = c->EntryRow(task);

    // Alice's reply lists only her: carol has not completed.
    ExpectReplies(*c, {{"CSATND " + task + " C alice@example.org", "1000 Status recorded"},
                       {"CSCOMP " + task + " 1765200000", "4213 "}});
    EXPECT_EQ(untouched, c->EntryRow(task)) << "not completed";
    // Carol completes too: now the task is.
    ExpectReplies(*c, {{"CSATND " + task + " C carol@example.org", "1000 Status recorded"},
                       {"CSCOMP " + task + " 1765200000", "1000 Completed"}});
    EXPECT_NE(std::string::npos, c->EntryRow(task).find(" 1765200000 report-1 "))
        << c->EntryRow(task);
    // Without attendees there is no one to wait for; another user's entry stays theirs.
    EXPECT_EQ("1000 Completed", c->Cmd("CSCOMP " + solo + " 1765200001"));
    ASSERT_TRUE(c->OpenCalendar("carol@example.org"));
    EXPECT_EQ(0u, c->Cmd("CSCOMP " + task + " 1").find("4210 "));
}

// ---- an agent that goes away ----------------------------------------------------

// Entries wait for a registered agent that cannot be reached (the retries
// doubling), however often they fail, and the agent gets every one of them,
// once, as soon as it registers again.
TEST_F(Attack, EntriesWaitForAnUnreachableAgent) {
    cfg_.maxFailedOffers = 2;
    cfg_.retryDelayMs = 30000; // only a new registration brings them back in time
    cfg_.maxRetryDelayMs = 30000;
    Start();
    Register(DeadPort(kAddr));
    constexpr int kEntries = 10;
    std::set<std::string> submitted;
    {
        auto c = Login();
        for (int i = 0; i < kEntries; ++i) {
            std::string r = c->Submit(kControl, "Subject: " + std::to_string(i) + "\r\n\r\nx");
            ASSERT_EQ(0u, r.find("1000 ")) << r;
            submitted.insert(ReplyWord(r));
        }
    }
    ASSERT_TRUE(WaitFor([&] { return LogLines("offer ") >= size_t(kEntries); }));
    EXPECT_EQ(size_t(kEntries), QueueSize());
    EXPECT_TRUE(Mailbox("bob@example.org").empty()) << "nothing passed the agent";

    std::mutex mu;
    std::multiset<std::string> offered;
    AgentListener agent(kAddr, [&](LineConn& c) {
        OfferedEntry e;
        if (!ReadOffer(c, e)) return;
        {
            std::lock_guard lock(mu);
            offered.insert(e.qid);
        }
        c.Send("QMOD RAW " + e.control[0] + "\r\nQDONE\r\n"); // bob's copy was "applied"
        std::string l;
        c.ReadLine(l);
    });
    Register(agent.Port()); // the same identity: the registration is replaced
    ASSERT_TRUE(WaitFor([&] { return QueueSize() == 0; }));
    std::lock_guard lock(mu);
    EXPECT_EQ(std::multiset<std::string>(submitted.begin(), submitted.end()), offered);
    EXPECT_TRUE(Mailbox("bob@example.org").empty()) << "every entry went through the agent";
    EXPECT_EQ(0u, LogLines("passes queue"));
}

// After the hold time they pass unchanged, so mail is not held for ever.
TEST_F(Attack, HeldEntriesPassAfterTheHoldTime) {
    cfg_.holdTimeMs = 500;
    cfg_.retryDelayMs = 50;
    cfg_.maxRetryDelayMs = 100;
    Start();
    Register(DeadPort(kAddr));
    const std::string r = Login()->Submit(kControl, "Subject: held\r\n\r\nx");
    ASSERT_EQ(0u, r.find("1000 "));
    ASSERT_TRUE(WaitFor([&] { return Mailbox("bob@example.org").size() == 1; }));
    EXPECT_GE(LogLines("offer "), 3u) << "retried while held";
    EXPECT_EQ(1u, LogLines("agent unreachable for the hold time"));
}

} // namespace
