// Drives a program in a real terminal: a private tmux server per instance, keys sent
// with send-keys, the screen read with capture-pane.
#pragma once

#include "temp_dir.h"

#include <chrono>
#include <string>
#include <vector>

namespace quilltest {

class Terminal {
  public:
    // Starts command (a shell command line) in a fresh 120x40 terminal. The command's
    // exit status is collected when it ends.
    explicit Terminal(const std::string& command, int width = 120, int height = 40);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Keys in tmux notation ("Tab", "Enter", "C-c", "Space"), one per argument.
    void Keys(const std::vector<std::string>& keys);
    // Literal text.
    void Type(const std::string& text);
    std::string Screen() const;
    // Polls the screen until it holds text; false after the timeout.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits for the program to end; its exit status, or -1000 on timeout.
    int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(90));

    // Process id of the shell that runs the command in the terminal.
    int ShellPid() const;
    // "stty -a" of the terminal after the program ended (valid once WaitExit returned).
    std::string Modes() const;

  private:
    std::string Tmux(const std::string& args) const;
    std::string socket_;
    arbortest::TempDir tmp_{"quilltest-status"};
    std::string statusFile_ = (tmp_ / "status").string();
};

// Standard output of a shell command; its exit status in status.
std::string Output(const std::string& command, int* status = nullptr);

} // namespace quilltest
