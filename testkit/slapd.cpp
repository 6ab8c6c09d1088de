#include "slapd.h"

#include "process.h"
#include "temp_dir.h"

#include <cstdlib>

namespace arbortest {

namespace {

std::string Script() {
    return "bash " + ShellQuote(SourceDir() + "/tools/slapd.sh");
}

} // namespace

std::string Slapd::Start(const std::string& dir, int port, bool withSchema,
                         const std::string& suffix) {
    dir_ = dir;
    suffix_ = suffix;
    port_ = port;
    url_ = "ldap://127.0.0.1:" + std::to_string(port) + "/" + suffix;
    std::string out;
    const std::string cmd = std::string(withSchema ? "" : "ARBOR_LDAP_SCHEMA= ") + Script() +
                            " start " + ShellQuote(dir) + " " + std::to_string(port) + " " +
                            ShellQuote(suffix) + " 2>&1";
    if (Run(cmd, &out) != 0) return out.empty() ? "slapd.sh failed" : out;
    running_ = true;
    return "";
}

// slapd again on the same configuration and data: what a restarted server is.
bool Slapd::Restart() {
    // The command line the script's stop recognises as its own slapd.
    const std::string cmd = "/usr/sbin/slapd -F " + ShellQuote(dir_ + "/config") +
                            " -h ldap://127.0.0.1:" + std::to_string(port_) + "/ >>" +
                            ShellQuote(dir_ + "/slapd.log") + " 2>&1";
    if (Run(cmd) != 0) return false;
    running_ = true;
    // slapd writes its pid file itself (olcPidFile) once it listens.
    for (int i = 0; i < 100; ++i) {
        if (Run("ldapsearch -x -H ldap://127.0.0.1:" + std::to_string(port_) +
                "/ -o nettimeout=1 -s base -b '' >/dev/null 2>&1") == 0)
            return true;
        Run("sleep 0.1");
    }
    return false;
}

void Slapd::Stop() {
    if (!running_) return;
    Run(Script() + " stop " + ShellQuote(dir_) + " >/dev/null 2>&1");
    running_ = false;
}

void Slapd::Export() const {
    ::setenv("ARBOR_DIRECTORY_BIND_DN", BindDn().c_str(), 1);
    ::setenv("ARBOR_DIRECTORY_BIND_PASSWORD_FILE", PasswordFile().c_str(), 1);
}

} // namespace arbortest
