// A private slapd (tools/slapd.sh) for tests and benchmarks, on a port of
// the test's own, and the settings a store needs to use it.
#pragma once

#include <map>
#include <string>

namespace arbortest {

// tools/slapd.sh as the start of a shell command.
std::string SlapdScript();

// The script's env file: NAME=value lines, quotes around a value taken off.
std::map<std::string, std::string> ReadSlapdEnv(const std::string& file);

// ARBOR_TEST_STORE=ldap: this run's suites use the LDAP store, each on a
// slapd of its own (StartForTestRun) instead of a SQLite file.
bool TestRunOnLdap();

class Slapd {
  public:
    // Starts it in dir on ARBOR_TEST_LDAP_PORT and exports its settings;
    // "" or the complaint.
    std::string StartForTestRun(const std::string& dir);
    // Starts it in dir (ARBOR_LDAP_SCHEMA= when !withSchema); "" or the
    // script's complaint.
    std::string Start(const std::string& dir, int port, bool withSchema = true,
                      const std::string& suffix = "dc=arbor");
    // A replicated pair in dir/1 and dir/2 (Url() lists both); "" or the
    // script's complaint.
    std::string StartPair(const std::string& dir, int port1, int port2,
                          const std::string& suffix = "dc=arbor");
    // Starts it again on its data (after Stop); false when it does not come up.
    bool Restart();
    // Kills server 1 or 2 of a pair as a crash does, and waits until it is gone.
    bool Kill(int server);
    // Starts server 1 or 2 of a pair again on what it kept; "" or the complaint.
    std::string Resume(int server);
    // Stops it (both of a pair); false when the script failed to.
    bool Stop();
    ~Slapd() { Stop(); }

    // ldap://127.0.0.1:PORT/<suffix>
    std::string Url() const { return url_; }
    std::string Suffix() const { return suffix_; }
    std::string BindDn() const { return "cn=admin," + suffix_; }
    std::string PasswordFile() const { return dir_ + "/admin.pw"; }
    std::string Password() const;
    // What the script wrote into dir/env (URL1 and URL2 for a pair).
    std::map<std::string, std::string> Env() const { return ReadSlapdEnv(dir_ + "/env"); }
    // Makes the store's settings reach StoreFor/CreateStore: the bind DN and
    // password file through the environment (the base is in the URL).
    void Export() const;

  private:
    std::string dir_, suffix_, url_;
    int port_ = 0;
    bool running_ = false, pair_ = false;
};

} // namespace arbortest
