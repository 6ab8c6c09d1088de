// Programs from the build folder as child processes, and shell commands.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace arbortest {

using Env = std::map<std::string, std::string>;

// The build and source folders the test was registered from (ARBOR_BUILD_DIR,
// ARBOR_SOURCE_DIR), "." when run by hand without them.
std::string BuildDir();
std::string SourceDir();
// A program in the build folder, by its path there ("agent/dayward").
std::string Program(const std::string& relative);

// One child process. It dies with the test process, so a failed test leaves no
// server behind, and the destructor kills and reaps it if it still runs.
class Process {
  public:
    static constexpr int kTimedOut = -1000;

    Process() = default;
    ~Process();
    Process(Process&& o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }
    Process& operator=(Process&& o) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Runs path with args and the test's environment overridden by env; its
    // standard output and error go to outFile, appended to or replacing it.
    // False when no process could be made (a failed exec exits with 127).
    bool Start(const std::string& path, const std::vector<std::string>& args, const Env& env,
               const std::string& outFile, bool append = false);
    bool Running();
    void Signal(int sig);
    // Exit status, or minus the signal that ended it; kTimedOut when it still
    // runs after timeoutMs.
    int Wait(int timeoutMs);
    // SIGKILL and reap, when it still runs.
    void Kill();
    int Pid() const { return pid_; }

  private:
    int pid_ = -1;
    int status_ = kTimedOut;
};

// s as one word for the shell.
std::string ShellQuote(const std::string& s);

// Runs a shell command; returns its exit status (-1 when it did not exit)
// and, when out is given, its standard output.
int Run(const std::string& command, std::string* out = nullptr);

// The same with input on its standard input.
int RunWithInput(const std::string& command, std::string_view input, std::string* out = nullptr);

// Polls pred every 10 ms until it holds; false when it still does not after
// ms milliseconds.
bool WaitFor(const std::function<bool()>& pred, int ms = 15000);

// Reports as a test failure what a sanitizer wrote into a process's output.
void ExpectNoSanitizerReport(const std::string& outFile);

} // namespace arbortest
