#include "process.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace arbortest {

namespace {

std::string FromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : ".";
}

int Decode(int st) {
    return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

} // namespace

std::string BuildDir() {
    return FromEnv("ARBOR_BUILD_DIR");
}

std::string SourceDir() {
    return FromEnv("ARBOR_SOURCE_DIR");
}

std::string Program(const std::string& relative) {
    return BuildDir() + "/" + relative;
}

Process::~Process() {
    Kill();
}

void Process::Kill() {
    if (Running()) {
        Signal(SIGKILL);
        Wait(5000);
    }
}

Process& Process::operator=(Process&& o) noexcept {
    if (this != &o) {
        Kill();
        pid_ = o.pid_;
        status_ = o.status_;
        o.pid_ = -1;
    }
    return *this;
}

bool Process::Start(const std::string& path, const std::vector<std::string>& args, const Env& env,
                    const std::string& outFile, bool append) {
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    Env all;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        const size_t eq = kv.find('=');
        if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env)
        all[k] = v;
    std::vector<std::string> envStore;
    for (const auto& [k, v] : all)
        envStore.push_back(k + "=" + v);
    std::vector<char*> argv, envp;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid > 0) {
        pid_ = pid;
        status_ = kTimedOut;
        return true;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(outFile.c_str(), flags, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

bool Process::Running() {
    if (pid_ <= 0) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) status_ = Decode(st);
    pid_ = -1;
    return false;
}

void Process::Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int Process::Wait(int timeoutMs) {
    for (int waited = 0; pid_ > 0; waited += 10) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_ || r < 0) {
            status_ = r == pid_ ? Decode(st) : kTimedOut;
            pid_ = -1;
            break;
        }
        if (waited >= timeoutMs) return kTimedOut;
        ::usleep(10000);
    }
    return status_;
}

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Run(const std::string& command, std::string* out) {
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    std::string got;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        got.append(buf, n);
    const int st = ::pclose(p);
    if (out) *out = std::move(got);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int RunWithInput(const std::string& command, std::string_view input, std::string* out) {
    const TempDir dir("arbor-input");
    const std::string file = dir / "input";
    WriteFile(file, input);
    return Run(command + " <" + ShellQuote(file), out);
}

void ExpectNoSanitizerReport(const std::string& outFile) {
    const std::string out = ReadFile(outFile);
    for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"})
        if (out.find(mark) != std::string::npos) ADD_FAILURE() << outFile << ":\n" << out;
}

bool WaitFor(const std::function<bool()>& pred, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

} // namespace arbortest
