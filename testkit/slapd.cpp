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

std::string Slapd::Start(const std::string& dir, int port, bool withSchema,
                         const std::string& suffix) {
    dir_ = dir;
    suffix_ = suffix;
    port_ = port;
    url_ = "ldap://127.0.0.1:" + std::to_string(port) + "/" + suffix;
    std::string out;
    const std::string cmd = std::string(withSchema ? "" : "ARBOR_LDAP_SCHEMA= ") + SlapdScript() +
                            " start " + ShellQuote(dir) + " " + std::to_string(port) + " " +
                            ShellQuote(suffix) + " 2>&1";
    if (Run(cmd, &out) != 0) return out.empty() ? "slapd.sh failed" : out;
    running_ = true;
    return "";
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
    std::string out;
    const std::string cmd = SlapdScript() + " mirror " + ShellQuote(dir) + " " +
                            std::to_string(port1) + " " + std::to_string(port2) + " " +
                            ShellQuote(suffix) + " 2>&1";
    if (Run(cmd, &out) != 0)
        return (out.empty() ? "slapd.sh failed" : out) + ReadFile(dir + "/1/slapd.log") +
               ReadFile(dir + "/2/slapd.log");
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
    std::string out;
    const std::string cmd =
        SlapdScript() + " resume " + ShellQuote(dir_ + "/" + std::to_string(server)) + " 2>&1";
    if (Run(cmd, &out) != 0) return out.empty() ? "slapd.sh failed" : out;
    return "";
}

std::string Slapd::Password() const {
    std::string pw = ReadFile(PasswordFile());
    pw.resize(std::min(pw.find('\n'), pw.size()));
    return pw;
}

// slapd again on the same configuration and data: what a restarted server is.
bool Slapd::Restart() {
    if (Run(SlapdScript() + " resume " + ShellQuote(dir_) + " >/dev/null 2>&1") != 0) return false;
    running_ = true;
    return true;
}

bool Slapd::Stop() {
    if (!running_) return true;
    running_ = false;
    return Run(SlapdScript() + (pair_ ? " mirror-stop " : " stop ") + ShellQuote(dir_) +
               " >/dev/null 2>&1") == 0;
}

void Slapd::Export() const {
    ::setenv("ARBOR_DIRECTORY_BIND_DN", BindDn().c_str(), 1);
    ::setenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", PasswordFile().c_str(), 1);
}

} // namespace arbortest
