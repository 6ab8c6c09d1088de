// Test fixtures for the agent's integration tests: processes, a scripted REVO
// peer that records every line the agent sends, and the queue side that offers
// entries to the agent's listener.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agenttest {

// A line-oriented TCP connection with a timeout on every read.
class Conn {
  public:
    explicit Conn(int fd = -1) : fd_(fd) {}
    ~Conn();
    Conn(Conn&& o) noexcept : fd_(o.fd_), buf_(std::move(o.buf_)) { o.fd_ = -1; }
    Conn& operator=(Conn&&) = delete;
    // From `source` when given (another loopback address, say).
    static Conn connectTo(const std::string& addr, int port, const std::string& source = "");
    bool ok() const { return fd_ != -1; }
    int fd() const { return fd_; }
    bool send(const std::string& s);
    // One line without its CR LF; false on timeout or end of stream.
    bool readLine(std::string& line, int timeoutMs = 10000);
    bool readBytes(std::string& out, size_t n, int timeoutMs = 10000);
    // True when the peer closes within the timeout (no more bytes arrive).
    bool waitClosed(int timeoutMs = 10000);
    void close();

  private:
    bool fill(int timeoutMs);
    int fd_;
    std::string buf_;
};

// Runs a program with extra environment; stdout and stderr go to a file.
class Process {
  public:
    Process() = default;
    ~Process();
    void start(const std::string& path, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outFile);
    bool running();
    void signal(int sig);
    // Exit status (or -signal), -1000 on timeout.
    int wait(int timeoutMs);
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
    int status_ = -1000;
};

std::string readFile(const std::string& path);
// Reports (as a test failure) what a sanitizer said in a process's output.
void expectNoSanitizerReport(const std::string& outFile);
std::string buildDir();
std::string makeTempDir();
void removeTree(const std::string& path);
// Runs a shell command; returns its exit status and its output in out.
int run(const std::string& cmd, std::string* out = nullptr);

// One calendar entry the scripted store knows.
struct StoreEntry {
    unsigned long number;
    std::string organizer;
};

// A scripted REVO server: greets, checks AUTH against the secret, takes QWAIT
// registrations and serves calendar-store sessions from a table, recording
// every command line.
class FakeRevo {
  public:
    FakeRevo(const std::string& addr, int port);
    ~FakeRevo();
    bool listening() const { return listenFd_ != -1; }

    // Greeting: "4242" with a challenge (default), or "1000".
    std::atomic<bool> requireAuth{true};
    std::atomic<bool> refuseUsers{false};
    // Close a store session, without a reply, at the first command with this verb.
    std::string dropAt;
    // The unscrambled secret the digest is checked against.
    void setSecret(const std::string& s);

    // Calendar store contents: "UID" or "UID instance" -> entry.
    void addEntry(const std::string& key, StoreEntry e);

    std::vector<std::string> registrations(); // QWAIT lines
    std::vector<std::string> storeLog();      // store commands, in order
    size_t authFailures() const { return authFailures_; }
    bool waitRegistrations(size_t n, int timeoutMs);
    bool waitStoreLines(size_t n, int timeoutMs);
    std::mutex& mu() { return mu_; }

  private:
    void acceptLoop();
    void serve(Conn c);
    int listenFd_ = -1;
    std::thread acceptor_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> registrations_;
    std::vector<std::string> store_;
    std::map<std::string, StoreEntry> entries_;
    std::string secret_;
    std::atomic<size_t> authFailures_{0};
    std::vector<std::thread> sessions_;
};

// What the agent did with one offered entry.
struct EntryResult {
    std::vector<std::string> lines; // every line the agent sent, without CR LF
    std::vector<std::string> qmod;  // the QMOD RAW arguments, in order
    int qbraw = 0;                  // number of QBRAW requests
    bool done = false;              // QDONE arrived
    bool closed = false;            // the agent closed the connection afterwards
};

// One MIME structure line and the part bytes QBRAW returns for it.
struct Part {
    std::string type, subtype, charset, encoding, name;
    std::string body; // bytes as stored (encoded)
};

// Offers one queue entry on a new connection to the agent's listener and
// answers QMIME from `structure` (2002 lines and 2003/2004 markers) and QBRAW
// from the part bodies. structure entries: a Part index as "P<n>", "2003" or
// "2004".
EntryResult offerEntry(int agentPort, const std::string& queueId,
                       const std::vector<std::string>& control,
                       const std::vector<std::string>& structure, const std::vector<Part>& parts,
                       const std::string& extraBeforeBody = "", const std::string& source = "");

// The TCP port a process listens on (the first one found), or -1.
int listeningPort(int pid);
// Blocked-signal masks of a process's threads, by thread id.
std::map<int, unsigned long long> blockedSignals(int pid);

std::string base64(const std::string& in);
std::string quotedPrintable(const std::string& in);
// Agent-side digest of a challenge, as the servers check it.
std::string digestHex(const std::string& challenge, const std::string& secret);

} // namespace agenttest
