// A private slapd (tools/slapd.sh) for the LDAP store's tests, on a port of
// the test's own, and the settings a store needs to use it.
#pragma once

#include <string>
#include <vector>

namespace pdksatest {

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

// Reads and writes on the suffix of url as the exported bind DN, past the
// directory library (what an administrator's ldapsearch/ldapmodify do).
// Values of attr on the entries matching filter, below the base.
std::vector<std::string> LdapValues(const std::string& url, const std::string& filter,
                                    const char* attr);
// Replaces attr's values on the entry rdn,<base>; false on failure.
bool LdapReplace(const std::string& url, const std::string& rdn, const char* attr,
                 const std::vector<std::string>& values);
// A filter's assertion value for any bytes.
std::string LdapFilterValue(const std::string& v);

} // namespace pdksatest
