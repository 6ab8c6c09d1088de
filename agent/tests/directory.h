// Test directories: a tree made with arborctl, the product schema and server
// objects, users with e-mail addresses, and this server's REVO address.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace agenttest {

// Builds a directory under dir whose messaging server's REVO address is
// revoAddr, with the given (name, e-mail address) users. False on failure.
bool MakeDirectory(const std::string& dir, const std::string& revoAddr,
                   const std::vector<std::pair<std::string, std::string>>& users);
// Environment for processes using that directory (ARBOR_CONF, ARBOR_DIRECTORY,
// REVO_PORT).
std::map<std::string, std::string> DirectoryEnv(const std::string& dir);
// Full name of the messaging server object, as the agent's identity uses it.
std::string ServerDn(const std::string& dir);

} // namespace agenttest
