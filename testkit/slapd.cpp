#include "slapd.h"

#include "process.h"
#include "temp_dir.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace arbortest {

std::string SlapdScript() {
    return "bash " + ShellQuote(SourceDir() + "/tools/slapd.sh");
}

std::map<std::string, std::string> ReadSlapdEnv(const std::string& file) {
    std::map<std::string, std::string> env;
    std::istringstream in(ReadFile(file));
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos) {
            std::string v = line.substr(eq + 1);
            if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
            env[line.substr(0, eq)] = v;
        }
    return env;
}

namespace {

// tools/slapd.sh with args (after env, assignments for it); "" or its
// complaint.
std::string Script(const std::string& args, const std::string& env = "") {
    std::string out;
    if (Run(env + SlapdScript() + " " + args + " 2>&1", &out) == 0) return "";
    return out.empty() ? "slapd.sh failed" : out;
}

} // namespace

std::string Slapd::Start(const std::string& dir, int port, bool withSchema,
                         const std::string& suffix) {
    dir_ = dir;
    suffix_ = suffix;
    port_ = port;
    url_ = "ldap://127.0.0.1:" + std::to_string(port) + "/" + suffix;
    const std::string err =
        Script("start " + ShellQuote(dir) + " " + std::to_string(port) + " " + ShellQuote(suffix),
               withSchema ? "" : "ARBOR_LDAP_SCHEMA= ");
    running_ = err.empty();
    return err;
}

bool TestRunOnLdap() {
    const char* kind = std::getenv("ARBOR_TEST_STORE");
    return kind && std::string(kind) == "ldap";
}

std::string Slapd::StartForTestRun(const std::string& dir) {
    const char* port = std::getenv("ARBOR_TEST_LDAP_PORT");
    if (!port) return "no ARBOR_TEST_LDAP_PORT";
    std::string err = Start(dir, std::atoi(port));
    if (err.empty()) Export();
    return err;
}

std::string Slapd::StartPair(const std::string& dir, int port1, int port2,
                             const std::string& suffix) {
    dir_ = dir;
    suffix_ = suffix;
    pair_ = true;
    const std::string err = Script("mirror " + ShellQuote(dir) + " " + std::to_string(port1) + " " +
                                   std::to_string(port2) + " " + ShellQuote(suffix));
    if (!err.empty()) return err + ReadFile(dir + "/1/slapd.log") + ReadFile(dir + "/2/slapd.log");
    running_ = true;
    url_ = Env()["URL"];
    return "";
}

bool Slapd::Kill(int server) {
    const int pid = std::atoi(ReadFile(dir_ + "/" + std::to_string(server) + "/slapd.pid").c_str());
    if (pid <= 0 || ::kill(pid, SIGKILL) != 0) return false;
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ::kill(pid, 0) != 0;
}

std::string Slapd::Resume(int server) {
    return Script("resume " + ShellQuote(dir_ + "/" + std::to_string(server)));
}

std::string Slapd::Password() const {
    std::string pw = ReadFile(PasswordFile());
    pw.resize(std::min(pw.find('\n'), pw.size()));
    return pw;
}

// slapd again on the same configuration and data: what a restarted server is.
bool Slapd::Restart() {
    running_ = Script("resume " + ShellQuote(dir_)).empty();
    return running_;
}

bool Slapd::Stop() {
    if (!running_) return true;
    running_ = false;
    return Script((pair_ ? "mirror-stop " : "stop ") + ShellQuote(dir_)).empty();
}

void Slapd::Export() const {
    ::setenv("ARBOR_DIRECTORY_BIND_DN", BindDn().c_str(), 1);
    ::setenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", PasswordFile().c_str(), 1);
}

} // namespace arbortest
