#include "terminal.h"

#include "process.h"
#include "temp_dir.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quilltest {

using arbortest::ShellQuote;

std::string Output(const std::string& command, int* status) {
    std::string out;
    const int rc = arbortest::Run(command, &out);
    if (status) *status = rc;
    return out;
}

namespace {
std::atomic<int> gCounter{0};
}

Terminal::Terminal(const std::string& command, int width, int height) {
    int n = gCounter++;
    socket_ = "quilltest-" + std::to_string(getpid()) + "-" + std::to_string(n);
    // After the program: its status, and the terminal modes it left behind.
    std::string wrapped =
        "TERM=screen; export TERM; " + command + "; echo $? > " + ShellQuote(statusFile_ + ".tmp") +
        "; stty -a > " + ShellQuote(statusFile_ + ".stty") + " 2>&1; mv " +
        ShellQuote(statusFile_ + ".tmp") + " " + ShellQuote(statusFile_) + "; sleep 60";
    Tmux("-f /dev/null new-session -d -s main -x " + std::to_string(width) + " -y " +
         std::to_string(height) + " " + ShellQuote("sh -c " + ShellQuote(wrapped)));
}

Terminal::~Terminal() {
    Tmux("kill-server");
    // The server may leave its socket file behind.
    const char* tmpdir = std::getenv("TMUX_TMPDIR");
    std::string sockets = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tmux-" +
                          std::to_string(getuid()) + "/" + socket_;
    std::remove(sockets.c_str());
}

std::string Terminal::Tmux(const std::string& args) const {
    return Output("tmux -L " + socket_ + " " + args + " 2>/dev/null");
}

void Terminal::Keys(const std::vector<std::string>& keys) {
    for (const std::string& k : keys)
        Tmux("send-keys -t main " + k);
}

void Terminal::Type(const std::string& text) {
    Tmux("send-keys -t main -l " + ShellQuote(text));
}

std::string Terminal::Screen() const {
    return Tmux("capture-pane -p -t main");
}

bool Terminal::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    do {
        if (Screen().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

int Terminal::WaitExit(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream in(statusFile_);
        int status;
        if (in >> status) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    } while (std::chrono::steady_clock::now() < end);
    return -1000;
}

int Terminal::ShellPid() const {
    return std::atoi(Tmux("display-message -p -t main '#{pane_pid}'").c_str());
}

std::string Terminal::Modes() const {
    return arbortest::ReadFile(statusFile_ + ".stty");
}

} // namespace quilltest
