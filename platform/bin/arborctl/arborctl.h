// arborctl: set up and inspect a directory from the shell.
//
// Commands are entries of one table. A command in its own source file adds
// itself with one line:
//
//     ARBORCTL_COMMAND(kMyCommand, "name", "one-line summary", "usage and help text", run);
//
// where run is `int run(arborctl::Cli& cli, const std::vector<std::string>& args)`
// returning the exit status (0 success). The helpers below open the
// directory as its administrator and report errors the same way for every
// command.
#pragma once

#include "pdksa.h"

#include <string>
#include <string_view>
#include <vector>

namespace arborctl {

struct Cli {
    std::string program = "arborctl";
    std::string confPath;  // configuration file in use
    std::string storePath; // directory store in use
};

using CommandFn = int (*)(Cli&, const std::vector<std::string>&);

struct Command {
    const char* name;
    const char* summary;
    const char* help; // shown by "arborctl <name> --help"
    CommandFn run;
};

bool RegisterCommand(const Command& c);
const std::vector<Command>& Commands();

#define ARBORCTL_COMMAND(var, ...)                                                                 \
    [[maybe_unused]] static const bool var =                                                       \
        ::arborctl::RegisterCommand(::arborctl::Command{__VA_ARGS__})

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1; // the directory refused or the input was bad
constexpr int kUsage = 2;  // wrong command line

// Prints "arborctl: <message>" to standard error and returns kFailed.
int Fail(const std::string& message);
// The same with the directory's result code and its text.
int FailCode(const std::string& what, int code);
// Prints "<usage>" and a hint to standard error, returns kUsage.
int Usage(const Command& c, const std::string& message);

// A secret (password) from a file ("-": standard input), first line, without
// its line end; never from the command line. Empty secrets are refused.
bool ReadSecret(const std::string& file, std::string& out, std::string& error);

// Splits "--opt value" / "--opt=value" options from positional arguments.
// Options listed in flags take no value. Unknown options are errors.
struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool Has(std::string_view name) const;
    std::string get(std::string_view name, const std::string& dflt = "") const;
    std::vector<std::string> All(std::string_view name) const;
};
bool ParseArgs(const std::vector<std::string>& in, const std::vector<std::string>& withValue,
               const std::vector<std::string>& flags, Args& out, std::string& error);
// parseArgs for a command: kOk, or the command's usage status after printing
// what was wrong.
int ParseOrUsage(const Command& self, const std::vector<std::string>& in,
                 const std::vector<std::string>& withValue, const std::vector<std::string>& flags,
                 Args& out);

// The directory, opened as its administrator (whoever may write the store
// file), with the base at this server's container from the configuration
// file (the root when there is none). Byte-string form.
class Directory {
  public:
    ~Directory();
    // readOnly: enough to read (show, list); a process that may only read the
    // store file still reads everything, and changes nothing.
    int Open(const Cli& cli, bool readOnly = false);
    DDCContextHandle Ctx() const { return ctx_; }
    const std::string& Base() const { return base_; }
    // Values of one attribute of an object; DDCERR_NO_SUCH_ATTRIBUTE is no error.
    int Read(const std::string& object, const std::string& attr, std::vector<std::string>& out);
    // Replaces all values of an attribute in one modification.
    int Write(const std::string& object, const std::string& attr,
              const std::vector<std::string>& values);
    int SyntaxOf(const std::string& attr, uint32_t& syntax);

  private:
    DDCContextHandle ctx_ = 0;
    std::string base_;
};

} // namespace arborctl
