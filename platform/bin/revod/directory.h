// revod's view of the directory: the scrambled shared secret and the check
// that an address belongs to a user whose mailbox lives on this server.
#pragma once

#include <functional>
#include <string>

namespace revo {

// Logs in to the directory (libkdx); false when there is none.
bool DirectoryOpen();
// "Quill:ACL" of "Internet Services", or the built-in default text.
std::string DirectorySecretText();
// "Quill:ACL" of "Internet Services"; empty when none is stored.
std::string DirectoryStoredSecretText();
// A check through MSGFindUser: the user's REVO server must be listenAddress
// (any address when it is the wildcard 0.0.0.0).
std::function<bool(const std::string&)> DirectoryUserCheck(const std::string& listenAddress);

} // namespace revo
