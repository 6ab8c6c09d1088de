// A scripted peer for revod tests: the agent's side of every exchange, over
// the test kit's line connection.
#pragma once

#include "netio.h"
#include "revo_secret.h"
#include "server.h"

#include "line_conn.h"
#include "process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace revotest {

using arbortest::BuildDir;
using arbortest::LineConn;
using arbortest::Process;
using arbortest::ReadFile;
using arbortest::TempDir;
using arbortest::WaitFor;

inline uint16_t TestPort() {
    return static_cast<uint16_t>(arbortest::RevoPort());
}

// The stored text of an eight-byte secret, scrambled without filler.
inline std::string ScrambledSecret(const std::array<unsigned char, 8>& secret, char selector) {
    char text[33];
    RevoScrambleSecret(secret.data(), selector, nullptr, 0, text);
    return text;
}

// revod on addr with its store at storePath, every other setting left as is.
inline revo::ServerConfig ServeOn(const std::string& addr, const std::string& storePath) {
    revo::ServerConfig cfg;
    cfg.listen = addr;
    cfg.port = TestPort();
    cfg.storePath = storePath;
    return cfg;
}

// The word after a reply's code: the entry or message number it names.
inline std::string ReplyWord(const std::string& reply) {
    std::string_view rest = reply;
    rest.remove_prefix(std::min<size_t>(5, rest.size()));
    return std::string(revo::NextWord(rest));
}

class Client {
  public:
    // From source, or from addr itself when none is given.
    bool Connect(const std::string& addr, uint16_t port, const std::string& source = "") {
        conn_ = LineConn::Connect(addr, port, source.empty() ? addr : source);
        if (!conn_.Ok()) return false;
        greeting = Line();
        auto lt = greeting.find('<'), gt = greeting.find('>', lt);
        if (lt != std::string::npos)
            challenge = greeting.substr(lt + 1, gt == std::string::npos ? gt : gt - lt - 1);
        return !greeting.empty();
    }
    std::string Line() { return conn_.Line(); }
    bool Send(const std::string& raw) { return conn_.Send(raw); }
    std::string Cmd(const std::string& line) {
        Send(line + "\r\n");
        return Line();
    }
    // Lines up to and including the first one whose code is not in [lo, hi].
    std::vector<std::string> Listing(const std::string& line, int lo = 2000, int hi = 2999) {
        Send(line + "\r\n");
        std::vector<std::string> out;
        for (;;) {
            std::string l = Line();
            out.push_back(l);
            int code = std::atoi(l.c_str());
            if (l.empty() || code < lo || code > hi) return out;
        }
    }
    std::string Digest(const std::string& secretText) const {
        unsigned char secret[9];
        RevoUnscrambleSecret(secretText.c_str(), secret);
        char out[33];
        RevoChallengeDigest(challenge.data(), challenge.size(), secret, RevoSecretLength(secret),
                            out);
        return out;
    }
    std::string Auth(const std::string& secretText) { return Cmd("AUTH " + Digest(secretText)); }
    std::string Submit(const std::string& control, const std::string& message) {
        Send("QSTORE " + std::to_string(control.size()) + " " + std::to_string(message.size()) +
             "\r\n" + control + message);
        return Line();
    }
    // Stores one calendar entry in the open calendar: its number.
    std::string Put(const std::string& block) {
        Send("CSPUT " + std::to_string(block.size()) + "\r\n" + block);
        const std::string r = Line();
        EXPECT_EQ(0u, r.find("1000 ")) << r;
        return ReplyWord(r);
    }
    // Selects the user, whom the server names back as shown, and opens the
    // main calendar.
    bool OpenCalendar(const std::string& user, const std::string& shown = "") {
        const std::string selected = Cmd("USER " + user);
        EXPECT_EQ("1000 " + (shown.empty() ? user : shown) + " selected", selected);
        const std::string opened = Cmd("CSOPEN MAIN");
        EXPECT_EQ("1000 Calendar MAIN open", opened);
        return selected.rfind("1000 ", 0) == 0 && opened.rfind("1000 ", 0) == 0;
    }
    // The CSLIST line of an entry in the open calendar, "" when it is not listed.
    std::string EntryRow(const std::string& entry) {
        for (const auto& l : Listing("CSLIST"))
            if (l.rfind("2040 " + entry + " ", 0) == 0) return l;
        return "";
    }
    std::string ReadBytes(size_t n) {
        std::string s;
        conn_.ReadBytes(s, n);
        return s;
    }
    LineConn& Conn() { return conn_; }

    std::string greeting, challenge;

  private:
    LineConn conn_;
};

// One command and the reply it must get: a wanted reply that ends in a space
// is only the code, anything else the whole line.
struct Exchange {
    std::string cmd, reply;
};

inline void ExpectReply(const std::string& want, const std::string& got) {
    if (!want.empty() && want.back() == ' ')
        EXPECT_EQ(0u, got.find(want)) << got;
    else
        EXPECT_EQ(want, got);
}

inline void ExpectReplies(Client& c, const std::vector<Exchange>& script) {
    for (const auto& [cmd, want] : script) {
        SCOPED_TRACE(cmd.substr(0, 60));
        ExpectReply(want, c.Cmd(cmd));
    }
}

// A port on addr that nothing listens on.
inline uint16_t DeadPort(const char* addr) {
    uint16_t port = 0;
    std::string err;
    ::close(revo::ListenTcp(addr, 0, err, &port));
    return port;
}

// The queue entry of each message in a mailbox, one per message.
inline std::vector<std::string> MailboxEntries(Client& c, const std::string& who) {
    std::vector<std::string> out;
    for (const auto& l : c.Listing("MBLIST " + who)) {
        if (l.rfind("2031 ", 0) != 0) continue;
        std::string_view rest = std::string_view(l).substr(5);
        revo::NextWord(rest);
        out.emplace_back(revo::NextWord(rest));
    }
    return out;
}

// An entry as an agent receives it.
struct OfferedEntry {
    std::string qid;
    size_t size = 0;
    std::vector<std::string> control;
};

inline bool ReadOffer(LineConn& c, OfferedEntry& e) {
    std::string l;
    if (!c.ReadLine(l) || l.rfind("6020 ", 0) != 0) return false;
    std::string_view rest = std::string_view(l).substr(5);
    e.qid = std::string(revo::NextWord(rest));
    e.size = std::strtoul(std::string(rest).c_str(), nullptr, 10);
    for (;;) {
        if (!c.ReadLine(l)) return false;
        if (l.rfind("6021", 0) == 0) return true;
        e.control.push_back(l);
    }
}

// Skips the 2xxx lines of a reply; false when the connection ends first.
inline bool SkipListing(LineConn& c) {
    std::string l;
    while (c.ReadLine(l))
        if (l.empty() || l[0] != '2') return true;
    return false;
}

// A queue agent's listener: every connection is handed to the handler on
// its own thread.
using AgentListener = arbortest::Acceptor;

// revod in the test process: a configuration listening on addr with its
// store in a fresh directory, for each test to adjust before Start().
class ServerTest : public ::testing::Test {
  protected:
    ServerTest(const char* addr, std::string secretText) : cfg_(ServeOn(addr, dir_ + "/store.db")) {
        cfg_.secretText = std::move(secretText);
    }
    void TearDown() override {
        if (server_) server_->Stop();
    }
    void Start() {
        server_ = std::make_unique<revo::Server>();
        std::string err;
        ASSERT_TRUE(server_->Start(cfg_, err)) << err;
    }
    // A client, authenticated unless the server asks for none.
    std::unique_ptr<Client> Login(const std::string& source = "") {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->Connect(cfg_.listen, cfg_.port, source));
        if (!cfg_.noAuth) {
            EXPECT_EQ("1000 Authenticated", c->Auth(cfg_.secretText)) << c->greeting;
        }
        return c;
    }

    // n clients connected, none logged in.
    std::vector<Client> Connected(size_t n) {
        std::vector<Client> v(n);
        for (Client& c : v)
            EXPECT_TRUE(c.Connect(cfg_.listen, cfg_.port));
        return v;
    }
    // The queue entry of each message in who's mailbox.
    std::vector<std::string> Mailbox(const std::string& who) {
        return MailboxEntries(*Login(), who);
    }
    size_t QueueSize() { return Login()->Listing("QLIST").size() - 1; }
    // Registers the agent listening on port for queue.
    void Register(uint16_t port, int queue = 5) {
        EXPECT_EQ("1000 Registered for queue " + std::to_string(queue),
                  Login()->Cmd("QWAIT " + std::to_string(queue) + " " + std::to_string(port) +
                               " \\TREE\\org\\MAIL1Calendar Agent5"));
    }

    TempDir tmp_{"revod-test"};
    const std::string dir_ = tmp_.Str();
    revo::ServerConfig cfg_;
    std::unique_ptr<revo::Server> server_;
};

// revod as a process of its own, its output appended to out; stopped with
// SIGTERM at the end of its scope, and killed if it does not go.
class RevodProcess {
  public:
    RevodProcess(std::string addr, uint16_t port, std::string out)
        : addr_(std::move(addr)), port_(port), out_(std::move(out)) {}
    ~RevodProcess() { Stop(); }
    // Starts it with args and waits until it takes connections on addr:port.
    void Start(const std::vector<std::string>& args, const arbortest::Env& env = {}) {
        ASSERT_TRUE(
            proc_.Start(arbortest::Program("platform/bin/revod/revod"), args, env, out_, true));
        ASSERT_TRUE(WaitFor([&] {
            Client c;
            return c.Connect(addr_, port_);
        })) << ReadFile(out_);
    }
    void Kill() { proc_.Kill(); }
    void Stop() {
        proc_.Signal(SIGTERM);
        if (proc_.Wait(30000) == Process::kTimedOut) proc_.Kill();
    }

  private:
    std::string addr_;
    uint16_t port_;
    std::string out_;
    Process proc_;
};

// Answers QMIME and finishes with QDONE at once, handing nothing back.
inline void NullAgent(LineConn& c) {
    OfferedEntry e;
    if (!ReadOffer(c, e)) return;
    c.Send("QMIME " + e.qid + "\r\n");
    SkipListing(c);
    c.Send("QDONE\r\n");
    c.Line();
}

} // namespace revotest
