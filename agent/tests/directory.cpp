#include "directory.h"

#include "line_conn.h"
#include "sample_tree.h"

namespace agenttest {

std::map<std::string, std::string> DirectoryEnv(const std::string& dir) {
    std::map<std::string, std::string> env = arbortest::SampleTree(dir).Environment();
    if (arbortest::RevoPort() != 689) env["REVO_PORT"] = std::to_string(arbortest::RevoPort());
    return env;
}

std::string ServerDn(const std::string&) {
    return "\\ACME\\Internet Services\\MAIL1 Messaging Server";
}

bool MakeDirectory(const std::string& dir, const std::string& revoAddr,
                   const std::vector<std::pair<std::string, std::string>>& users) {
    return arbortest::SampleTree(dir).WithMessaging(revoAddr, users).Build() == 0;
}

} // namespace agenttest
