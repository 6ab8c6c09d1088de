// A scripted peer for revod tests: the agent's side of every exchange.
#pragma once

#include "netio.h"
#include "revo_secret.h"
#include "server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace revotest {

// Tests bind the real REVO port (they run as root) unless REVO_PORT says otherwise.
inline uint16_t TestPort() {
    if (const char* p = std::getenv("REVO_PORT")) return static_cast<uint16_t>(std::atoi(p));
    return 689;
}

inline std::string TempDir() {
    char tmpl[] = "/tmp/revod-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

// Waits up to 15 s for pred to hold.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 15000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

class Client {
  public:
    bool Connect(const std::string& addr, uint16_t port) {
        std::string err;
        int fd = revo::ConnectTcp(addr, port, 3000, err, addr);
        if (fd < 0) return false;
        revo::SetTimeouts(fd, 10000);
        conn_ = std::make_unique<revo::LineConn>(fd);
        greeting = Line();
        auto lt = greeting.find('<'), gt = greeting.find('>', lt);
        if (lt != std::string::npos)
            challenge = greeting.substr(lt + 1, gt == std::string::npos ? gt : gt - lt - 1);
        return !greeting.empty();
    }
    std::string Line() {
        std::string l;
        return conn_->ReadLine(l, 1 << 20) == revo::LineConn::Read::Line ? l : std::string();
    }
    bool Send(const std::string& raw) { return conn_->SendAll(raw); }
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
    std::string ReadBytes(size_t n) {
        std::string s;
        conn_->ReadExact(n, s);
        return s;
    }
    revo::LineConn& conn() { return *conn_; }

    std::string greeting, challenge;

  private:
    std::unique_ptr<revo::LineConn> conn_;
};

// An entry as an agent receives it.
struct OfferedEntry {
    std::string qid;
    size_t size = 0;
    std::vector<std::string> control;
};

inline bool ReadOffer(revo::LineConn& c, OfferedEntry& e) {
    std::string l;
    if (c.ReadLine(l) != revo::LineConn::Read::Line || l.rfind("6020 ", 0) != 0) return false;
    std::string_view rest = std::string_view(l).substr(5);
    e.qid = std::string(revo::NextWord(rest));
    e.size = std::strtoul(std::string(rest).c_str(), nullptr, 10);
    for (;;) {
        if (c.ReadLine(l) != revo::LineConn::Read::Line) return false;
        if (l.rfind("6021", 0) == 0) return true;
        e.control.push_back(l);
    }
}

// A queue agent's listener: every connection is handed to the handler on
// its own thread.
class AgentListener {
  public:
    using Handler = std::function<void(revo::LineConn&)>;
    AgentListener(const std::string& addr, Handler h) : handler_(std::move(h)) {
        std::string err;
        fd_ = revo::ListenTcp(addr, 0, err, &port_);
        EXPECT_GE(fd_, 0) << err;
        thread_ = std::thread([this] { Loop(); });
    }
    ~AgentListener() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        std::lock_guard lock(mu_);
        for (auto& t : workers_)
            t.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void Loop() {
        for (;;) {
            int fd = ::accept(fd_, nullptr, nullptr);
            if (fd < 0) {
                if (stop_) return;
                continue;
            }
            revo::SetTimeouts(fd, 10000);
            ++connections_;
            std::lock_guard lock(mu_);
            workers_.emplace_back([this, fd] {
                revo::LineConn c(fd);
                handler_(c);
            });
        }
    }
    Handler handler_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::thread> workers_;
};

// Answers QMIME and finishes with QDONE at once, handing nothing back.
inline void NullAgent(revo::LineConn& c) {
    OfferedEntry e;
    if (!ReadOffer(c, e)) return;
    c.SendAll("QMIME " + e.qid + "\r\n");
    std::string l;
    while (c.ReadLine(l) == revo::LineConn::Read::Line && l.size() > 0 && l[0] == '2') {
    }
    c.SendAll("QDONE\r\n");
    c.ReadLine(l);
}

// Starts a program with extra environment (before the test's own), its
// standard output and error appended to outFile. The child dies with the
// test, so a failed run leaves no server behind. Returns the pid, or -1.
inline pid_t Spawn(const std::string& bin, std::vector<std::string> args,
                   const std::vector<std::string>& env, const std::string& outFile) {
    args.insert(args.begin(), bin);
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> all = env;
    for (char** e = environ; *e; ++e)
        all.emplace_back(*e);
    for (auto& e : all)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls from here on.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
    ::execve(bin.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

} // namespace revotest
