// What the agent benchmarks share: the build folder they run from, a sample
// directory, authenticated sessions to revod, revod's start and stop, and
// the resident size of a process.
#pragma once

#include "directory.h"
#include "peer.h"
#include "revo_secret.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace benchstack {

using agenttest::Conn;
using agenttest::Process;

// The build folder: benchmarks run by hand, without ctest's environment, so
// it is found from this program's own place (bench/agent/<program>).
inline std::string TopBuild() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return ".";
    exe[n] = '\0';
    std::string p(exe);
    for (int i = 0; i < 3; ++i)
        p = p.substr(0, p.rfind('/'));
    return p;
}

// A directory naming revod on addr, with bob and carol as mail users; dir is
// empty when it could not be made.
struct World {
    World(const char* prefix, const char* addr) : tmp(prefix), dir(tmp.Str()), addr(addr) {
        if (!agenttest::MakeDirectory(dir, addr,
                                      {{"bob", "bob@example.com"}, {"carol", "carol@example.com"}}))
            dir.clear();
        env = agenttest::DirectoryEnv(dir);
    }
    std::string Program(const std::string& relative) const { return build + "/" + relative; }

    arbortest::TempDir tmp;
    std::string dir;
    const char* addr;
    std::map<std::string, std::string> env;
    std::string build = TopBuild();
};

inline std::string SecretBytes() {
    unsigned char s[REVO_SECRET_BYTES + 1];
    RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, s);
    return std::string(reinterpret_cast<char*>(s), RevoSecretLength(s));
}

// An authenticated session to revod on addr; null when refused.
inline std::unique_ptr<Conn> Session(const char* addr) {
    auto c = std::make_unique<Conn>(Conn::Connect(addr, agenttest::RevoPort()));
    std::string line;
    if (!c->Ok() || !c->ReadLine(line)) return nullptr;
    size_t lt = line.find('<'), gt = line.find('>');
    if (lt != std::string::npos) {
        c->Send("AUTH " + agenttest::DigestHex(line.substr(lt + 1, gt - lt - 1), SecretBytes()) +
                "\r\n");
        if (!c->ReadLine(line) || line.rfind("1000", 0) != 0) return nullptr;
    }
    return c;
}

// revod for the world's users with a fresh store, with the default secret;
// a session once it answers, null when it never does.
inline std::unique_ptr<Conn> StartRevod(const World& w, Process& revod, const std::string& store,
                                        const std::vector<std::string>& extra = {}) {
    for (const char* suffix : {"", "-wal", "-shm"})
        unlink((store + suffix).c_str());
    std::vector<std::string> args = {"--listen",         w.addr,
                                     "--port",           std::to_string(agenttest::RevoPort()),
                                     "--store",          store,
                                     "--user",           "bob@example.com",
                                     "--user",           "carol@example.com",
                                     "--default-secret", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    revod.Start(w.Program("platform/bin/revod/revod"), args, w.env, w.dir + "/revod.out");
    std::unique_ptr<Conn> c;
    for (int i = 0; i < 200 && !(c = Session(w.addr)); ++i)
        usleep(20000);
    return c;
}

inline void StopRevod(Process& revod) {
    revod.Signal(SIGTERM);
    if (revod.Wait(10000) == Process::kTimedOut) revod.Signal(SIGKILL);
    revod.Wait(5000);
}

inline long RssKiB(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// main() of an agent benchmark: the benchmarks in a world of their own.
inline int Main(int argc, char** argv, const char* prefix, const char* addr, World*& world) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    World w(prefix, addr);
    world = &w;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace benchstack
