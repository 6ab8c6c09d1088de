// A private slapd (tools/slapd.sh) for tests and benchmarks, on a port of
// the test's own, and the settings a store needs to use it.
#pragma once

#include <string>

namespace arbortest {

class Slapd {
  public:
    // Starts it in dir (ARBOR_LDAP_SCHEMA= when !withSchema); "" or the
    // script's complaint.
    std::string Start(const std::string& dir, int port, bool withSchema = true,
                      const std::string& suffix = "dc=arbor");
    // Starts it again on its data (after Stop); false when it does not come up.
    bool Restart();
    void Stop();
    ~Slapd() { Stop(); }

    // ldap://127.0.0.1:PORT/<suffix>
    std::string Url() const { return url_; }
    std::string Suffix() const { return suffix_; }
    std::string BindDn() const { return "cn=admin," + suffix_; }
    std::string PasswordFile() const { return dir_ + "/admin.pw"; }
    // Makes the store's settings reach StoreFor/CreateStore: the bind DN and
    // password file through the environment (the base is in the URL).
    void Export() const;

  private:
    std::string dir_, suffix_, url_;
    int port_ = 0;
    bool running_ = false;
};

} // namespace arbortest
