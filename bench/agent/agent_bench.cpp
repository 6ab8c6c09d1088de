// Entries per second through revod and dayward, for ordinary mail and for
// REPLY messages, with 1, 8 and 64 entries in flight, each beside the same run
// against a null agent (one that answers the offer with QMIME and QDONE at
// once) and, for replies, against a minimal client that does what the
// protocol requires of a reply (QMIME, QBRAW, then the store session:
// connect, AUTH, USER, CSOPEN, CSFIND, CSATND; QMOD RAW, QDONE); the
// end-to-end mix (mix_bench.cpp); and the agent's memory per open queue
// connection.
//
// Each case starts a fresh revod (--max-offers sets the entries in flight),
// lets the agent register, pauses it, queues the entries, then releases the
// agent and times until the queue is empty.
#include "stack.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using namespace agenttest;
using namespace benchstack;

namespace {

const char* kAddr = "127.0.7.60";
constexpr int kMailEntries = 1500;
constexpr int kReplyEntries = 800;

World* world;

std::unique_ptr<Conn> Session() {
    return benchstack::Session(kAddr);
}

std::string CalendarText(bool reply) {
    return std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:") +
           (reply ? "REPLY" : "REQUEST") +
           "\r\nBEGIN:VEVENT\r\nUID:bench@example.com\r\nSEQUENCE:0\r\n"
           "DTSTART:20261207T140000Z\r\nDTEND:20261207T150000Z\r\nSUMMARY:Weekly\r\n"
           "ORGANIZER:mailto:bob@example.com\r\nATTENDEE;PARTSTAT=ACCEPTED:mailto:"
           "alice@example.com\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string Message(bool reply) {
    if (!reply)
        return "From: alice@example.com\r\nTo: bob@example.com\r\nSubject: hello\r\n"
               "Content-Type: text/plain\r\n\r\n" +
               std::string(2000, 'x') + "\r\n";
    return "From: alice@example.com\r\nTo: bob@example.com\r\nSubject: Accepted\r\n"
           "MIME-Version: 1.0\r\nContent-Type: text/calendar; method=REPLY\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           arbortest::Base64Encode(CalendarText(true));
}

std::atomic<int> storeUpdates{0}; // replies the minimal client recorded

// The store session a reply needs, issued directly: false when any step is refused.
bool StoreSession() {
    auto s = Session();
    std::string line;
    if (!s || !s->Send("USER bob@example.com\r\n") || !s->ReadLine(line) ||
        line.rfind("1000", 0) != 0 || !s->Send("CSOPEN MAIN\r\n") || !s->ReadLine(line) ||
        line.rfind("1000", 0) != 0 || !s->Send("CSFIND 0 bench@example.com\r\n") ||
        !s->ReadLine(line) || line.rfind("1000 ", 0) != 0)
        return false;
    const std::string entry = line.substr(5, line.find(' ', 5) - 5);
    return s->Send("CSATND " + entry + " A alice@example.com\r\n") && s->ReadLine(line) &&
           line.rfind("1000", 0) == 0;
}

// The null agent: registers for queue 5 and answers every offer with QMIME
// and QDONE, one thread per connection as the agent does. With a store
// session, it also fetches the part and records the reply as dayward would,
// and hands back the sender's line only.
class NullAgent {
  public:
    explicit NullAgent(bool storeSession = false) : storeSession_(storeSession) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t al = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 2048);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &al);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { Loop(); });
    }
    ~NullAgent() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        acceptor_.join();
        close(fd_);
    }
    bool RegisterWith() {
        auto c = Session();
        std::string line;
        return c && c->Send("QWAIT 5 " + std::to_string(port_) + " null-agent5\r\n") &&
               c->ReadLine(line) && line.rfind("1000", 0) == 0;
    }
    std::atomic<bool> paused{true};

  private:
    void Loop() {
        while (!stop_) {
            if (paused) {
                usleep(1000);
                continue;
            }
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            std::thread([c, session = storeSession_] { Serve(Conn(c), session); }).detach();
        }
    }
    static void Serve(Conn c, bool session) {
        std::string line, id, part;
        if (!c.ReadLine(line) || line.rfind("6020 ", 0) != 0) return;
        id = line.substr(5, line.find(' ', 5) - 5);
        while (c.ReadLine(line) && line.rfind("6021", 0) != 0) {
        }
        c.Send("QMIME " + id + "\r\n");
        while (c.ReadLine(line) && line[0] == '2')
            if (part.empty() && line.rfind("2002 ", 0) == 0) {
                // The part's start and length are the last two words.
                const size_t b = line.rfind(' '), a = line.rfind(' ', b - 1);
                part = line.substr(a + 1);
            }
        std::string done = "QDONE\r\n";
        if (session) {
            std::string bytes;
            if (!c.Send("QBRAW " + id + " " + part + "\r\n") || !c.ReadLine(line) ||
                line.rfind("2021 ", 0) != 0 || !c.ReadBytes(bytes, std::stoul(line.substr(5))))
                return;
            if (StoreSession()) {
                ++storeUpdates;
                done = "QMOD RAW Falice@example.com\r\n" + done;
            }
        }
        c.Send(done);
        c.ReadLine(line);
    }
    bool storeSession_;
    int fd_;
    int port_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
};

size_t Queued(Conn& c) {
    c.Send("QLIST\r\n");
    std::string line;
    size_t n = 0;
    while (c.ReadLine(line) && line.rfind("1000", 0) != 0)
        ++n;
    return n;
}

std::map<std::string, double> nullRate;    // "mail/8" -> entries per second
std::map<std::string, double> sessionRate; // "reply/8" -> the minimal client's

enum class Peer { Null, StoreSession, Dayward };

// One case: returns entries per second, or 0 on failure.
double RunCase(Peer peer, bool reply, int inFlight, int entries, std::string& why) {
    const bool real = peer == Peer::Dayward;
    Process revod;
    std::unique_ptr<Conn> ctl =
        StartRevod(*world, revod, world->dir + "/revod-" + std::to_string(getpid()) + ".db",
                   {"--max-offers", std::to_string(inFlight)});
    if (!ctl) {
        why = "revod did not start";
        return 0;
    }
    if (reply) {
        // The organizer's calendar holds the meeting the replies are for.
        std::string ics = world->dir + "/meeting.ics";
        std::ofstream(ics) << CalendarText(false);
        std::string cmd;
        for (const auto& [k, v] : world->env)
            cmd += k + "='" + v + "' ";
        Run(cmd + world->Program("platform/bin/revod/revoctl") + " --server " + kAddr + " --port " +
            std::to_string(RevoPort()) + " calendar add bob@example.com " + ics);
    }

    Process agent;
    std::unique_ptr<NullAgent> null;
    if (real) {
        agent.Start(world->Program("agent/dayward"), {}, world->env, world->dir + "/agent.out");
        usleep(1000000); // registered by now
        agent.Signal(SIGSTOP);
    } else {
        null = std::make_unique<NullAgent>(peer == Peer::StoreSession);
        null->RegisterWith();
    }

    std::vector<std::string> control = {"Falice@example.com", "Lbob@example.com bob@example.com 0"};
    std::string ctlText;
    for (const auto& l : control)
        ctlText += l + "\n";
    std::string msg = Message(reply);
    std::string line;
    for (int i = 0; i < entries; ++i) {
        ctl->Send("QSTORE " + std::to_string(ctlText.size()) + " " + std::to_string(msg.size()) +
                  "\r\n" + ctlText + msg);
        if (!ctl->ReadLine(line) || line.rfind("1000", 0) != 0) {
            why = "QSTORE refused: " + line;
            return 0;
        }
    }

    auto t0 = std::chrono::steady_clock::now();
    if (real)
        agent.Signal(SIGCONT);
    else
        null->paused = false;
    size_t left;
    while ((left = Queued(*ctl)) > 0) {
        usleep(20000); // a listing holds the store: not too often
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(120)) break;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (left > 0) why = std::to_string(left) + " entries left";
    agent.Signal(SIGKILL);
    agent.Wait(5000);
    null.reset();
    StopRevod(revod);
    return left ? 0 : entries / secs;
}

void Throughput(benchmark::State& state, Peer peer, bool reply) {
    const bool real = peer == Peer::Dayward;
    const int inFlight = static_cast<int>(state.range(0));
    const std::string key = std::string(reply ? "reply/" : "mail/") + std::to_string(inFlight);
    if (world->dir.empty()) {
        state.SkipWithError("no directory");
        return;
    }
    for (auto _ : state) {
        std::string why;
        int n = reply ? kReplyEntries : kMailEntries;
        storeUpdates = 0;
        double rate = RunCase(peer, reply, inFlight, n, why);
        if (rate <= 0) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(n / rate);
        state.counters["entries_per_s"] = rate;
        if (peer == Peer::Null) nullRate[key] = rate;
        if (peer == Peer::StoreSession) {
            sessionRate[key] = rate;
            state.counters["recorded_share"] = static_cast<double>(storeUpdates) / n;
        }
        if (real && nullRate.count(key)) state.counters["vs_null_agent"] = rate / nullRate[key];
        if (real && sessionRate.count(key))
            state.counters["vs_store_session"] = rate / sessionRate[key];
    }
    state.SetLabel(real                 ? "dayward"
                   : peer == Peer::Null ? "null agent"
                                        : "minimal client: QMIME, QBRAW, store session, QDONE");
}

// Resident memory the agent adds for each open queue connection (its thread,
// its stack pages, its record), measured against the idle agent.
void MemoryPerConnection(benchmark::State& state) {
    const int kConnections = static_cast<int>(state.range(0));
    // Only the registration is needed: a scripted server tells the port.
    FakeRevo revo(kAddr, RevoPort());
    Process agent;
    agent.Start(world->Program("agent/dayward"), {}, world->env, world->dir + "/agent.out");
    int port = 0;
    if (revo.WaitRegistrations(1, 10000)) {
        std::istringstream in(revo.Registrations()[0]);
        std::string verb;
        int queue;
        in >> verb >> queue >> port;
    }
    for (auto _ : state) {
        if (!port) {
            state.SkipWithError("agent did not register");
            break;
        }
        long before = RssKiB(agent.Pid());
        std::vector<Conn> conns;
        conns.reserve(static_cast<size_t>(kConnections));
        for (int i = 0; i < kConnections; ++i) {
            conns.push_back(Conn::Connect("127.0.7.1", port));
            // Offered, so the connection's thread sits waiting for control lines.
            conns.back().Send("6020 Q" + std::to_string(i) + " 100\r\n");
        }
        usleep(500000);
        long after = RssKiB(agent.Pid());
        state.counters["bytes_per_connection"] =
            static_cast<double>(after - before) * 1024.0 / kConnections;
        state.counters["idle_agent_KiB"] = static_cast<double>(before);
    }
    agent.Signal(SIGKILL);
    agent.Wait(5000);
}

} // namespace

// 1, 8 and 64 entries in flight, each run once and timed by the case itself.
void InFlight(benchmark::internal::Benchmark* b) {
    b->Arg(1)->Arg(8)->Arg(64)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// Null agent first: every dayward case is reported against it.
BENCHMARK_CAPTURE(Throughput, null_mail, Peer::Null, false)->Apply(InFlight);
BENCHMARK_CAPTURE(Throughput, dayward_mail, Peer::Dayward, false)->Apply(InFlight);
BENCHMARK_CAPTURE(Throughput, null_reply, Peer::Null, true)->Apply(InFlight);
BENCHMARK_CAPTURE(Throughput, session_reply, Peer::StoreSession, true)->Apply(InFlight);
BENCHMARK_CAPTURE(Throughput, dayward_reply, Peer::Dayward, true)->Apply(InFlight);
BENCHMARK(MemoryPerConnection)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return benchstack::Main(argc, argv, "dayward-bench", kAddr, world);
}
