// revod throughput, in the durable mode (every change fsync'ed before it is
// acknowledged): entries offered to a null agent (one that answers QMIME and
// QDONE at once) with 1, 8 and 64 offers at a time, against the same queue
// delivered with no agent at all; submissions of 2 KB from 8 clients against
// the same submissions without fsync; and MSGFindUser on a directory of
// 10,000 users against a plain directory read of one attribute.
#include "find_user.h"
#include "kdx.h"
#include "msgsrv.h"
#include "netio.h"
#include "pdksa.h"
#include "quillschema.h"
#include "server.h"
#include "store.h"
#include "test_util.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kAddr = "127.0.6.30";
constexpr int kEntries = 2000;

using arbortest::LineConn;
using arbortest::TempDir;
using revotest::TestPort;

// A null agent: a fixed set of threads accepting on one listener, so that
// the agent side costs as little as it can and the measure is revod's.
class NullAgent {
  public:
    NullAgent() {
        int port = 0;
        fd_ = arbortest::ListenTcp(kAddr, 0, &port);
        port_ = static_cast<uint16_t>(port);
        for (int i = 0; i < 64; ++i)
            threads_.emplace_back([this] { Loop(); });
    }
    ~NullAgent() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        for (auto& t : threads_)
            t.join();
        ::close(fd_);
    }
    uint16_t Port() const { return port_; }
    int Done() const { return done_; }

  private:
    void Loop() {
        for (;;) {
            int fd = ::accept(fd_, nullptr, nullptr);
            if (fd < 0) {
                if (stop_) return;
                continue;
            }
            Serve(fd);
        }
    }
    void Serve(int fd) {
        LineConn c(fd);
        revotest::NullAgent(c);
        ++done_;
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> done_{0};
    std::vector<std::thread> threads_;
};

const std::string kMessage = "From: a@example.org\r\nSubject: bench\r\nContent-Type: "
                             "multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: "
                             "text/plain\r\n\r\nhello\r\n--b\r\nContent-Type: text/calendar\r\n\r\n"
                             "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n--b--\r\n";

size_t Queued(uint16_t port) {
    LineConn c = LineConn::Connect(kAddr, port);
    if (!c.Ok()) return SIZE_MAX;
    std::string l;
    c.ReadLine(l);
    c.Send("QLIST\r\n");
    size_t n = 0;
    while (c.ReadLine(l) && l.rfind("2030", 0) == 0)
        ++n;
    return n;
}

// CPU seconds of the whole process (revod's threads and the agent's).
double ProcessCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double gDrainCpu = 0; // CPU seconds spent while draining, summed

// Time from start-up until a pre-filled queue of kEntries is delivered.
double DrainSeconds(int offersAtOnce, NullAgent* agent,
                    revo::Store::Sync sync = revo::Store::Sync::Durable) {
    const TempDir tmp("revod-bench");
    const std::string dir = tmp.Str();
    std::string err;
    {
        auto store = revo::Store::Open(dir + "/s.db", revo::Store::Sync::NoFsync, err);
        if (agent) store->SaveAgent({5, "bench-agent", kAddr, agent->Port()});
        revo::ControlLines ctl = {"Fa@example.org", "Lbob@example.org bob@example.org 0",
                                  "Lcarol@example.org carol@example.org 0"};
        for (int i = 0; i < kEntries; ++i)
            store->Submit(ctl, kMessage);
    }
    revo::ServerConfig cfg;
    cfg.listen = kAddr;
    cfg.port = TestPort();
    cfg.storePath = dir + "/s.db";
    cfg.noAuth = true;
    cfg.maxOffers = offersAtOnce;
    cfg.sync = sync;
    const int before = agent ? agent->Done() : 0;
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = ProcessCpu();
    revo::Server server;
    server.Start(cfg, err);
    if (agent)
        while (agent->Done() - before < kEntries)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    while (Queued(cfg.port) != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    gDrainCpu += ProcessCpu() - cpu0;
    server.Stop();
    return s;
}

double gBaselinePerSecond = 0;

// What one commit's fsync costs here: 4 KB written over a log-like file and
// fdatasync'ed. One entry at a time cannot go faster than one of these each.
void BM_FsyncLatency(benchmark::State& state) {
    const TempDir tmp("revod-bench");
    const std::string path = tmp.Str() + "/log";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const std::string page(4096, 'x');
    for (int i = 0; i < 64; ++i) // the file exists at its size, as a reused log does
        if (::pwrite(fd, page.data(), page.size(), i * 4096) < 0) break;
    ::fsync(fd);
    int64_t i = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (::pwrite(fd, page.data(), page.size(), (i++ % 64) * 4096) < 0 || ::fdatasync(fd) != 0) {
            state.SkipWithError("write or fdatasync failed");
            break;
        }
    }
    const double perSync =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
        static_cast<double>(std::max<int64_t>(1, i));
    ::close(fd);
    state.counters["us_per_fdatasync"] = perSync * 1e6;
    state.SetLabel("the disk's bound: one durable commit at a time");
}

void BM_DeliverWithoutAgent(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        double s = DrainSeconds(64, nullptr);
        state.SetIterationTime(s);
        total += s;
    }
    gBaselinePerSecond = kEntries * state.iterations() / total;
    state.counters["entries_per_s"] = gBaselinePerSecond;
    state.SetLabel("baseline: the same queue delivered with no agent registered");
}

void BM_OfferToNullAgent(benchmark::State& state) {
    NullAgent agent;
    double total = 0;
    gDrainCpu = 0;
    for (auto _ : state) {
        double s = DrainSeconds(static_cast<int>(state.range(0)), &agent);
        state.SetIterationTime(s);
        total += s;
    }
    const double rate = kEntries * state.iterations() / total;
    state.counters["entries_per_s"] = rate;
    state.counters["vs_no_agent"] = gBaselinePerSecond > 0 ? rate / gBaselinePerSecond : 0;
    state.counters["vs_goal"] = rate / (state.range(0) >= 64 ? 20000.0 : 5000.0);
    // Both sides run in this process: CPU per entry bounds the rate on an idle machine.
    state.counters["cpu_us_per_entry"] =
        gDrainCpu * 1e6 / (static_cast<double>(kEntries) * state.iterations());
}

// The same offers without fsync: what durability costs at each concurrency.
void BM_OfferToNullAgentNoFsync(benchmark::State& state) {
    NullAgent agent;
    double total = 0;
    for (auto _ : state) {
        double s =
            DrainSeconds(static_cast<int>(state.range(0)), &agent, revo::Store::Sync::NoFsync);
        state.SetIterationTime(s);
        total += s;
    }
    state.counters["entries_per_s"] = kEntries * state.iterations() / total;
    state.SetLabel("--sync no-fsync");
}

// ---- submissions ---------------------------------------------------------------

constexpr int kClients = 8;
constexpr int kPerClient = 500;

// Seconds for kClients clients to submit kPerClient messages of 2 KB each,
// every client waiting for each acknowledgement as a mail server would.
double SubmitSeconds(revo::Store::Sync sync) {
    const TempDir tmp("revod-bench");
    revo::ServerConfig cfg;
    cfg.listen = kAddr;
    cfg.port = TestPort();
    cfg.storePath = tmp.Str() + "/s.db";
    cfg.noAuth = true;
    cfg.sync = sync;
    revo::Server server;
    std::string err;
    if (!server.Start(cfg, err)) return 0;
    const std::string ctl = "Fa@example.org\nLbob@example.org bob@example.org 0\n";
    const std::string msg = "Subject: bench\r\n\r\n" + std::string(2048 - 19, 'x');
    const std::string command = "QSTORE " + std::to_string(ctl.size()) + " " +
                                std::to_string(msg.size()) + "\r\n" + ctl + msg;
    std::atomic<int> failed{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            LineConn c = LineConn::Connect(kAddr, cfg.port);
            std::string l;
            if (!c.ReadLine(l)) {
                ++failed;
                return;
            }
            for (int n = 0; n < kPerClient; ++n)
                if (!c.Send(command) || !c.ReadLine(l) || l.rfind("1000 ", 0) != 0) ++failed;
        });
    for (auto& t : clients)
        t.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    server.Stop();
    return failed ? 0 : s;
}

double gSubmitNoFsync = 0;

void BM_SubmitNoFsync(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        const double s = SubmitSeconds(revo::Store::Sync::NoFsync);
        if (s <= 0) {
            state.SkipWithError("a submission failed");
            return;
        }
        state.SetIterationTime(s);
        total += s;
    }
    gSubmitNoFsync = kClients * kPerClient * state.iterations() / total;
    state.counters["messages_per_s"] = gSubmitNoFsync;
    state.SetLabel("baseline: the same submissions with --sync no-fsync");
}

void BM_SubmitDurable(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        const double s = SubmitSeconds(revo::Store::Sync::Durable);
        if (s <= 0) {
            state.SkipWithError("a submission failed");
            return;
        }
        state.SetIterationTime(s);
        total += s;
    }
    const double rate = kClients * kPerClient * state.iterations() / total;
    state.counters["messages_per_s"] = rate;
    state.counters["vs_no_fsync"] = gSubmitNoFsync > 0 ? rate / gSubmitNoFsync : 0;
    state.counters["vs_goal_20000"] = rate / 20000.0;
    state.SetLabel("8 clients, 2 KB, fsync before each acknowledgement");
}

// ---- MSGFindUser on 10,000 users -------------------------------------------

constexpr int kUsers = 10000;
std::unique_ptr<TempDir> gTmp;
std::string gDirectory;

// A directory as the setup tool leaves it (schema, "Internet Services",
// this server's messaging server) plus kUsers users in ten departments.
bool MakeDirectory() {
    if (!gDirectory.empty()) return true;
    gTmp = std::make_unique<TempDir>("revod-bench");
    gDirectory = gTmp->Str();
    const std::string store = gDirectory + "/directory.db", conf = gDirectory + "/arbor.conf";
    std::ofstream(conf) << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n"
                           "orb.arbor.server-context=o=org\narbor.directory.store="
                        << store << "\n";
    setenv("ARBOR_CONF", conf.c_str(), 1);
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    DDCContextHandle c = 0;
    if (PDKCreateStore(store.c_str()) || DDCCreateContext(1, &c) || PDKLoginMaintenance(c))
        return false;
    auto create = [&](const std::string& name, const char* cls, const char* attr = nullptr,
                      const std::string& value = {}) {
        DDCEntry e[2] = {{0, DDC_SYN_CLASS_NAME, 0, 0, "Object Class", 0, 0, cls},
                         {0, DDC_SYN_TEXT, 0, 0, attr, 0, 0, value.c_str()}};
        return DDCCreateEntry(c, name.c_str(), attr ? 2 : 1, e);
    };
    create("\\ACME", "Tree Root");
    create("\\ACME\\org", "Organization");
    create("\\ACME\\org\\Admin", "User");
    create("\\ACME\\org\\MAIL1", "TWP Server", "Network Address", "127.0.6.31");
    quill::Site site;
    if (!quill::Site::FromConfig(site)) return false;
    quill::DefineSchema(c, site, nullptr);
    quill::ServerConfig cfg;
    cfg.msgServerName = site.msgServerName;
    cfg.officialName = "example.org";
    quill::CreateServer(c, site, "\\ACME\\org\\Admin", cfg, nullptr);
    for (int d = 0; d < 10; ++d) {
        const std::string dept = "\\ACME\\org\\dept" + std::to_string(d);
        create(dept, "Organizational Unit");
        for (int u = 0; u < kUsers / 10; ++u) {
            const std::string id = std::to_string(d * (kUsers / 10) + u);
            create(dept + "\\user" + id, "User", "Velmora:EMail Address",
                   "user" + id + "@example.org");
        }
    }
    DDCFreeContext(c);
    MSGSrvInit();
    return KDXInit() == 1;
}

std::string UserName(int i) {
    const int per = kUsers / 10;
    return "org\\dept" + std::to_string((i % kUsers) / per) + "\\user" + std::to_string(i % kUsers);
}

double gReadRate = 0;

void BM_DirectoryReadBaseline(benchmark::State& state) {
    if (!MakeDirectory()) {
        state.SkipWithError("cannot build the directory");
        return;
    }
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    int i = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string user = UserName(i * 7);
        benchmark::DoNotOptimize(KDXRead(user.c_str(), "Velmora:EMail Address", &vs));
        KDXFreeValues(&vs);
        ++i;
    }
    gReadRate = state.iterations() /
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    KDXDestroyValueStruct(&vs);
    state.counters["reads_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel("baseline: KDXRead of one user's address");
}

void BM_FindUser(benchmark::State& state) {
    if (!MakeDirectory()) {
        state.SkipWithError("cannot build the directory");
        return;
    }
    const auto run = arborbench::TimeFindUser(state, kUsers, 1); // builds the index
    const double rate = run.perSecond;
    state.SetItemsProcessed(state.iterations());
    state.counters["vs_kdxread"] = gReadRate > 0 ? rate / gReadRate : 0;
    state.counters["vs_goal_50000"] = rate / 50000.0;
    state.counters["found_share"] = run.foundShare;
    state.SetLabel("index look-up, against the KDXRead baseline");
    state.counters["lookups_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_FsyncLatency)->Iterations(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeliverWithoutAgent)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OfferToNullAgent)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_OfferToNullAgentNoFsync)
    ->Arg(1)
    ->Arg(64)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SubmitNoFsync)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SubmitDurable)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_DirectoryReadBaseline);
BENCHMARK(BM_FindUser);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    gTmp.reset();
    return 0;
}
