// End to end: 10,000 messages of a realistic mix (90% ordinary mail of 1 to
// 200 KB, 10% iMIP replies and cancellations) submitted by 8 clients through
// revod and dayward, in revod's durable mode; messages per second and the
// time from submission to delivery or calendar update (p50, p99), against the
// same mix through revod with no agent registered. Then the resident size of
// revod and dayward, and revod's per idle authenticated session.
#include "stack.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

using namespace agenttest;
using namespace benchstack;

namespace {

using Clock = std::chrono::steady_clock;

const char* kAddr = "127.0.7.62";
constexpr int kMessages = 10000;
constexpr int kClients = 8;
constexpr int kCancels = 500; // of the iMIP tenth, half are cancellations

World* world;

std::unique_ptr<Conn> Session() {
    return benchstack::Session(kAddr);
}

// One message of the mix: its control lines and text.
struct Mail {
    std::string control, text;
};

std::string Calendar(const char* method, const std::string& uid, const char* attendee) {
    return std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:") + method +
           "\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nSEQUENCE:0\r\nDTSTART:20261207T140000Z\r\nDTEND:20261207T150000Z\r\n"
           "ORGANIZER:mailto:bob@example.com\r\nATTENDEE;PARTSTAT=ACCEPTED:mailto:" +
           attendee + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

// Mostly small, some large: 70% up to 10 KB, 25% up to 50 KB, 5% up to 200 KB.
size_t MailSize(std::mt19937& rng) {
    const int band = std::uniform_int_distribution<int>(0, 99)(rng);
    const size_t hi = band < 70 ? 10240 : band < 95 ? 51200 : 204800;
    const size_t lo = band < 70 ? 1024 : band < 95 ? 10240 : 51200;
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
}

// Message i of the mix: every tenth is iMIP, alternately a reply (alice to
// bob, the organizer) and a cancellation (bob to carol, an attendee).
Mail MakeMail(int i, std::mt19937& rng) {
    if (i % 10 == 9) {
        const bool cancel = (i / 10) % 2 == 1;
        const std::string uid = cancel ? "mix-c" + std::to_string(i / 20) : "mix-r";
        const std::string cal = cancel ? Calendar("CANCEL", uid, "carol@example.com")
                                       : Calendar("REPLY", uid, "alice@example.com");
        const std::string from = cancel ? "bob@example.com" : "alice@example.com";
        const std::string to = cancel ? "carol@example.com" : "bob@example.com";
        return {"F" + from + "\nL" + to + " " + to + " 0\n",
                "From: " + from + "\r\nTo: " + to + "\r\nMIME-Version: 1.0\r\n" +
                    "Content-Type: text/calendar; method=" + (cancel ? "CANCEL" : "REPLY") +
                    "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + arbortest::Base64Encode(cal)};
    }
    const std::string to = i % 2 ? "bob@example.com" : "carol@example.com";
    std::string body;
    const size_t size = MailSize(rng);
    while (body.size() < size)
        body += std::string(76, static_cast<char>('a' + body.size() % 26)) + "\r\n";
    return {"Fsender" + std::to_string(i % 97) + "@example.net\nL" + to + " " + to + " 0\n",
            "From: sender@example.net\r\nTo: " + to +
                "\r\nSubject: mix\r\nContent-Type: text/plain\r\n\r\n" + body};
}

// The calendars the iMIP tenth refers to: bob's meeting that the replies
// answer, and one entry in carol's calendar for each cancellation.
bool SeedCalendars() {
    auto put = [](Conn& c, const std::string& block) {
        std::string line;
        return c.Send("CSPUT " + std::to_string(block.size()) + "\r\n" + block) &&
               c.ReadLine(line) && line.rfind("1000", 0) == 0;
    };
    auto entry = [](const std::string& uid, const char* attendee) {
        return "KIND E\nUID " + uid +
               "\nSEQUENCE 0\nORGANIZER bob@example.com\nSUMMARY mix\nSTART 1796652000\n"
               "END 1796655600\nATTENDEE N " +
               attendee + "\n";
    };
    auto bob = Session();
    std::string line;
    if (!bob || !bob->Send("USER bob@example.com\r\nCSOPEN MAIN\r\n") || !bob->ReadLine(line) ||
        !bob->ReadLine(line) || !put(*bob, entry("mix-r", "alice@example.com")))
        return false;
    std::atomic<bool> ok{true};
    std::vector<std::thread> seeders;
    for (int t = 0; t < kClients; ++t)
        seeders.emplace_back([&, t] {
            auto c = Session();
            std::string l;
            if (!c || !c->Send("USER carol@example.com\r\nCSOPEN MAIN\r\n") || !c->ReadLine(l) ||
                !c->ReadLine(l)) {
                ok = false;
                return;
            }
            for (int k = t; k < kCancels; k += kClients)
                if (!put(*c, entry("mix-c" + std::to_string(k), "carol@example.com"))) ok = false;
        });
    for (auto& t : seeders)
        t.join();
    return ok;
}

// When each entry was submitted and when it left the queue.
class Tracker {
  public:
    void Submitted(int64_t id, Clock::time_point sent) {
        std::lock_guard lock(mu_);
        sent_[id] = sent;
        acked_[id] = Clock::now();
    }
    // Entries acknowledged before the listing began and missing from it are done.
    void Listed(const std::set<int64_t>& queued, Clock::time_point listedAt) {
        const auto now = Clock::now();
        std::lock_guard lock(mu_);
        for (auto it = acked_.begin(); it != acked_.end();) {
            if (it->second < listedAt && !queued.count(it->first)) {
                latencies_.push_back(std::chrono::duration<double>(now - sent_[it->first]).count());
                it = acked_.erase(it);
            } else {
                ++it;
            }
        }
    }
    size_t Done() {
        std::lock_guard lock(mu_);
        return latencies_.size();
    }
    double Percentile(double p) {
        std::lock_guard lock(mu_);
        if (latencies_.empty()) return 0;
        std::sort(latencies_.begin(), latencies_.end());
        return latencies_[static_cast<size_t>(p * (latencies_.size() - 1))];
    }

  private:
    std::mutex mu_;
    std::map<int64_t, Clock::time_point> sent_, acked_;
    std::vector<double> latencies_;
};

std::set<int64_t> Listing(Conn& c) {
    std::set<int64_t> ids;
    std::string line;
    c.Send("QLIST\r\n");
    while (c.ReadLine(line) && line.rfind("2030 ", 0) == 0)
        ids.insert(std::stoll(line.substr(5)));
    return ids;
}

// Client t submits every kClients-th message of the mix.
void Submit(int t, const std::vector<Mail>& mix, Tracker& tracker, std::atomic<int>& failed) {
    auto c = Session();
    if (!c) {
        ++failed;
        return;
    }
    std::string line;
    for (size_t i = static_cast<size_t>(t); i < mix.size(); i += kClients) {
        const Mail& m = mix[i];
        const auto sent = Clock::now();
        if (!c->Send("QSTORE " + std::to_string(m.control.size()) + " " +
                     std::to_string(m.text.size()) + "\r\n" + m.control + m.text) ||
            !c->ReadLine(line) || line.rfind("1000 ", 0) != 0) {
            ++failed;
            continue;
        }
        tracker.Submitted(std::stoll(line.substr(5)), sent);
    }
}

// revod's resident bytes per idle authenticated session.
double RevodBytesPerSession(int pid) {
    constexpr int kSessions = 200;
    const long before = RssKiB(pid);
    std::vector<std::unique_ptr<Conn>> open;
    for (int i = 0; i < kSessions; ++i)
        if (auto c = Session()) open.push_back(std::move(c));
    usleep(300000);
    return open.empty() ? 0 : (RssKiB(pid) - before) * 1024.0 / static_cast<double>(open.size());
}

struct MixResult {
    double rate = 0, p50 = 0, p99 = 0, revodKiB = 0, agentKiB = 0, revodPerSession = 0;
    std::string why;
};

// Submits the mix and watches the queue until every entry has left it.
void Drive(const std::vector<Mail>& mix, MixResult& r) {
    Tracker tracker;
    std::atomic<int> failed{0};
    auto watch = Session();
    const auto t0 = Clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < kClients; ++t)
        clients.emplace_back([&, t] { Submit(t, mix, tracker, failed); });
    while (watch && tracker.Done() + static_cast<size_t>(failed) < mix.size() &&
           Clock::now() - t0 < std::chrono::seconds(150)) {
        const auto listedAt = Clock::now();
        tracker.Listed(Listing(*watch), listedAt);
        usleep(20000);
    }
    for (auto& t : clients)
        t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (failed || tracker.Done() < mix.size()) {
        r.why = std::to_string(failed) + " submissions failed, " +
                std::to_string(mix.size() - tracker.Done()) + " not delivered";
        return;
    }
    r.rate = static_cast<double>(mix.size()) / secs;
    r.p50 = tracker.Percentile(0.5) * 1000;
    r.p99 = tracker.Percentile(0.99) * 1000;
}

MixResult RunMix(bool withAgent, const std::vector<Mail>& mix) {
    MixResult r;
    Process revod, agent;
    auto probe = StartRevod(*world, revod, world->dir + "/mix-" + std::to_string(getpid()) + ".db");
    if (!probe || !SeedCalendars()) {
        r.why = "revod did not start or refused the calendars";
        return r;
    }
    if (withAgent) {
        agent.Start(world->Program("agent/dayward"), {}, world->env, world->dir + "/agent.out");
        usleep(1000000); // registered by now
    }
    Drive(mix, r);
    r.revodKiB = static_cast<double>(RssKiB(revod.Pid()));
    if (withAgent) r.agentKiB = static_cast<double>(RssKiB(agent.Pid()));
    r.revodPerSession = RevodBytesPerSession(revod.Pid());
    agent.Signal(SIGKILL);
    agent.Wait(5000);
    StopRevod(revod);
    return r;
}

double gNoAgentRate = 0, gNoAgentP50 = 0, gNoAgentP99 = 0;

void Mix(benchmark::State& state, bool withAgent) {
    if (world->dir.empty()) {
        state.SkipWithError("no directory");
        return;
    }
    std::mt19937 rng(16);
    std::vector<Mail> mix;
    for (int i = 0; i < kMessages; ++i)
        mix.push_back(MakeMail(i, rng));
    for (auto _ : state) {
        MixResult r = RunMix(withAgent, mix);
        if (r.rate <= 0) {
            state.SkipWithError(r.why.c_str());
            return;
        }
        state.SetIterationTime(kMessages / r.rate);
        state.counters["messages_per_s"] = r.rate;
        state.counters["p50_ms"] = r.p50;
        state.counters["p99_ms"] = r.p99;
        state.counters["revod_rss_KiB"] = r.revodKiB;
        state.counters["revod_bytes_per_idle_session"] = r.revodPerSession;
        if (!withAgent) {
            gNoAgentRate = r.rate;
            gNoAgentP50 = r.p50;
            gNoAgentP99 = r.p99;
        } else {
            state.counters["dayward_rss_KiB"] = r.agentKiB;
            if (gNoAgentRate > 0) {
                state.counters["vs_no_agent"] = r.rate / gNoAgentRate;
                state.counters["p50_vs_no_agent"] = r.p50 / gNoAgentP50;
                state.counters["p99_vs_no_agent"] = r.p99 / gNoAgentP99;
            }
        }
    }
    state.SetLabel(withAgent ? "revod + dayward" : "baseline: revod, no agent registered");
}

} // namespace

BENCHMARK_CAPTURE(Mix, no_agent, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Mix, dayward, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return benchstack::Main(argc, argv, "dayward-mix", kAddr, world);
}
