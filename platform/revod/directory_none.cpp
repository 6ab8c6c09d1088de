// Directory access for builds without the directory libraries.
#include "directory.h"

#include "revo_secret.h"

namespace revo {

bool DirectoryOpen() {
    return false;
}
std::string DirectorySecretText() {
    return REVO_DEFAULT_SECRET_TEXT;
}
std::string DirectoryStoredSecretText() {
    return {};
}
std::function<bool(const std::string&)> DirectoryUserCheck(const std::string&) {
    return {};
}

} // namespace revo
