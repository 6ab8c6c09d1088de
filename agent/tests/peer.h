// Test fixtures for the agent's integration tests: processes, a scripted REVO
// peer that records every line the agent sends, and the queue side that offers
// entries to the agent's listener.
#pragma once

#include "codec_oracle.h"
#include "line_conn.h"
#include "process.h"
#include "temp_dir.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agenttest {

using Conn = arbortest::LineConn;
using arbortest::BuildDir;
using arbortest::ExpectNoSanitizerReport;
using arbortest::Process;
using arbortest::ReadFile;
using arbortest::RevoPort;
using arbortest::Run;
using arbortest::TempDir;

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
    bool Listening() const { return acceptor_ && acceptor_->Listening(); }

    // Greeting: "4242" with a challenge (default), or "1000".
    std::atomic<bool> requireAuth{true};
    std::atomic<bool> refuseUsers{false};
    // Close a store session, without a reply, at the first command with this verb.
    std::string dropAt;
    // The unscrambled secret the digest is checked against.
    void SetSecret(const std::string& s);

    // Calendar store contents: "UID" or "UID instance" -> entry.
    void AddEntry(const std::string& key, StoreEntry e);

    std::vector<std::string> Registrations(); // QWAIT lines
    std::vector<std::string> StoreLog();      // store commands, in order
    size_t AuthFailures() const { return authFailures_; }
    bool WaitRegistrations(size_t n, int timeoutMs);
    bool WaitStoreLines(size_t n, int timeoutMs);
    std::mutex& Mu() { return mu_; }

  private:
    void Serve(Conn& c);
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> registrations_;
    std::vector<std::string> store_;
    std::map<std::string, StoreEntry> entries_;
    std::string secret_;
    std::atomic<size_t> authFailures_{0};
    // Last: its sessions use everything above.
    std::unique_ptr<arbortest::Acceptor> acceptor_;
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
EntryResult OfferEntry(int agentPort, const std::string& queueId,
                       const std::vector<std::string>& control,
                       const std::vector<std::string>& structure, const std::vector<Part>& parts,
                       const std::string& extraBeforeBody = "", const std::string& source = "");

// The TCP port a process listens on (the first one found), or -1.
int ListeningPort(int pid);
// Blocked-signal masks of a process's threads, by thread id.
std::map<int, unsigned long long> BlockedSignals(int pid);

// Agent-side digest of a challenge, as the servers check it.
std::string DigestHex(const std::string& challenge, const std::string& secret);

} // namespace agenttest
