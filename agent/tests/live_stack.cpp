#include "live_stack.h"

#include "directory.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace agenttest {

void LiveStack::SetUp() {
    ASSERT_TRUE(
        MakeDirectory(dir_, addr_, {{"bob", "bob@example.com"}, {"carol", "carol@example.com"}}));
    env_ = DirectoryEnv(dir_);
    // Leak reports of the server and its client are their own business here.
    env_["ASAN_OPTIONS"] = "detect_leaks=0";
    std::vector<std::string> args = {"--listen",
                                     addr_,
                                     "--port",
                                     std::to_string(RevoPort()),
                                     "--store",
                                     dir_ + "/revod.db",
                                     "--user",
                                     "bob@example.com",
                                     "--user",
                                     "carol@example.com",
                                     "--retry-delay",
                                     "100",
                                     "--max-failed-offers",
                                     "1000"};
    args.insert(args.end(), secretArgs_.begin(), secretArgs_.end());
    ASSERT_TRUE(
        revod_.Start(BuildDir() + "/platform/bin/revod/revod", args, env_, dir_ + "/revod.out"));
    for (int i = 0; i < 400 && !Ctl("queue"); ++i)
        usleep(50000);
    StartAgent();
}

void LiveStack::TearDown() {
    agent_.Kill();
    ExpectNoSanitizerReport(dir_ + "/agent.out");
    revod_.Signal(SIGTERM);
    if (revod_.Wait(5000) == Process::kTimedOut) revod_.Kill();
}

void LiveStack::StartAgent(const std::map<std::string, std::string>& extra) {
    // One agent at a time: a test that stopped half-way must not leave one behind.
    agent_.Kill();
    ExpectNoSanitizerReport(dir_ + "/agent.out"); // from the run before, if any
    auto env = DirectoryEnv(dir_);
    env.insert(extra.begin(), extra.end());
    const size_t before = Registrations();
    ASSERT_TRUE(agent_.Start(BuildDir() + "/agent/dayward", {}, env, dir_ + "/agent.out"));
    // Registered once revod knows an agent for queue 5 (a slow start would
    // let entries pass the queue before the agent is there).
    port_ = -1;
    for (int i = 0; i < 400 && (Registrations() == before || port_ == -1); ++i) {
        usleep(50000);
        port_ = ListeningPort(agent_.Pid());
    }
    ASSERT_GT(Registrations(), before) << ReadFile(dir_ + "/revod.out");
    ASSERT_GT(port_, 0);
}

size_t LiveStack::Registrations() {
    const std::string log = ReadFile(dir_ + "/revod.out");
    size_t n = 0;
    for (size_t at = 0; (at = log.find("registered for queue 5", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

bool LiveStack::Ctl(const std::string& args, std::string* out) {
    std::string cmd;
    for (const auto& [k, v] : env_)
        cmd += k + "='" + v + "' ";
    cmd += BuildDir() + "/platform/bin/revod/revoctl --server " + addr_ + " --port " +
           std::to_string(RevoPort()) + " " + args;
    return arbortest::Run(cmd + " 2>&1", out) == 0;
}

void LiveStack::Submit(const std::string& from, const std::vector<std::string>& to,
                       const std::string& message) {
    const std::string file = dir_ + "/msg" + std::to_string(++serial_) + ".eml";
    std::ofstream(file, std::ios::binary) << message;
    std::string args = "submit --from " + from;
    for (const auto& t : to)
        args += " --to " + t;
    std::string out;
    ASSERT_TRUE(Ctl(args + " " + file, &out)) << out;
}

void LiveStack::Seed(const std::string& user, const std::string& ics) {
    const std::string file = dir_ + "/seed" + std::to_string(++serial_) + ".ics";
    std::ofstream(file, std::ios::binary) << ics;
    std::string out;
    ASSERT_TRUE(Ctl("calendar add " + user + " " + file, &out)) << out;
}

std::string LiveStack::Calendar(const std::string& user) {
    std::string out;
    Ctl("calendar show " + user, &out);
    return out;
}

std::string StatusOf(const std::string& listing, const std::string& who) {
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string kind, addr, status;
        f >> kind >> addr >> status;
        if (kind == "attendee" && addr == who) return status;
    }
    return "";
}

std::vector<std::string> LiveStack::Mailbox(const std::string& user) {
    std::string out;
    Ctl("mailbox " + user, &out);
    std::vector<std::string> entries;
    std::istringstream in(out);
    std::string line;
    std::getline(in, line); // heading
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, entry;
        f >> id >> entry;
        if (line.find("message(s)") == std::string::npos) entries.push_back(entry);
    }
    return entries;
}

bool LiveStack::QueueEmpty(int timeoutMs) {
    for (int w = 0; w < timeoutMs; w += 100) {
        std::string out;
        if (Ctl("queue", &out) && out.find("\n0 entries queued") != std::string::npos) return true;
        usleep(100000);
    }
    return false;
}

} // namespace agenttest
