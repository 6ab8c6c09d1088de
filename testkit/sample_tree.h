// The sample directory the suites share: tree ACME with o=org and ou=sales,
// and, as a suite asks, this server's object MAIL1 in ou=sales, an
// administrator, the configuration file that names them, and the messaging
// server as the setup tool makes it with users that have e-mail addresses.
// Each suite adds only what it needs beyond that.
#pragma once

#include "process.h"

#include "pdksa.h"

#include <string>
#include <utility>
#include <vector>

namespace arbortest {

inline constexpr const char* kTreeDN = "\\ACME";
inline constexpr const char* kOrgDN = "\\ACME\\org";
inline constexpr const char* kUnitDN = "\\ACME\\org\\sales";
inline constexpr const char* kServerDN = "\\ACME\\org\\sales\\MAIL1";
inline constexpr const char* kAdminDN = "\\ACME\\org\\Admin";

struct SampleTree {
    std::string store;         // the directory store
    std::string conf;          // the configuration file ("" for none)
    std::string serverAddress; // MAIL1's network address; "" leaves MAIL1 out
    bool admin = false;        // \ACME\org\Admin, a user
    bool messaging = false;    // the setup tool's schema and messaging server
    // Users in ou=sales with their e-mail addresses (needs messaging).
    std::vector<std::pair<std::string, std::string>> mailUsers;

    // The store and configuration file in dir; just the tree and its two
    // containers until asked for more.
    explicit SampleTree(const std::string& dir);
    SampleTree& WithServer(std::string address = "127.0.0.1");
    SampleTree& WithAdmin();
    SampleTree& WithoutConfig();
    // The schema, "Internet Services" and this server's messaging server as
    // the setup tool makes them (with MAIL1 and the administrator), and these
    // (name, e-mail address) users.
    SampleTree& WithMessaging(std::string serverAddress,
                              std::vector<std::pair<std::string, std::string>> users);

    // Makes it through the client library: 0 or the first error.
    int Build() const;
    // Makes it as an administrator does, with arborctl init (which always
    // makes MAIL1 and the administrator, with this password); its exit status.
    int BuildWithArborctl(const std::string& adminPassword) const;
    // Points this process (ARBOR_CONF, ARBOR_DIRECTORY) at the tree.
    void UseEnvironment() const;
    // The same for a child process.
    Env Environment() const;
    void WriteConfig() const;

  private:
    int AddMessaging(DDCContextHandle c) const;
};

// A context logged in for maintenance, freed at the end of its scope.
class MaintenanceContext {
  public:
    MaintenanceContext();
    ~MaintenanceContext();
    MaintenanceContext(const MaintenanceContext&) = delete;
    MaintenanceContext& operator=(const MaintenanceContext&) = delete;
    DDCContextHandle get() const { return c_; }
    int Err() const { return err_; } // 0, or why there is no login

  private:
    DDCContextHandle c_ = 0;
    int err_ = 0;
};

// One value of an object: text unless another syntax is named.
struct Value {
    std::string attr, text;
    uint32_t syntax = DDC_SYN_TEXT;
};

// Creates name of class cls with the given values; 0 or the error.
int CreateObject(DDCContextHandle c, const std::string& name, const std::string& cls,
                 const std::vector<Value>& values = {});
// Adds a value to name; 0 or the error of the resolve or the change.
int AddValue(DDCContextHandle c, const std::string& name, const Value& v);
// Creates the user name with these e-mail addresses.
int CreateMailUser(DDCContextHandle c, const std::string& name,
                   const std::vector<std::string>& addresses);

// The values of attr on name as byte strings, read through c; 0 or the error
// of the resolve or the read.
int ReadValues(DDCContextHandle c, const std::string& name, const std::string& attr,
               std::vector<std::string>& out);

} // namespace arbortest
