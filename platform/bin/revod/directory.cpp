// Directory access through libkdx and the support library.
#include "directory.h"

#include "kdx.h"
#include "msgsrv.h"
#include "pdksa.h"
#include "revo_secret.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <string_view>

namespace revo {

bool DirectoryOpen() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        // Without a store file the login would retry for minutes: treat a
        // missing store as no directory at all. A directory on an LDAP
        // server is there by configuration; a late server is retried.
        char path[1024];
        struct stat st {};
        if (PDKGetStorePath(path, sizeof path) != 0) return;
        const std::string_view where(path);
        const bool server = where.starts_with("ldap://") || where.starts_with("ldapi://") ||
                            where.starts_with("ldaps://");
        if (!server && stat(path, &st) != 0) return;
        MSGSrvInit();
        ok = KDXInit() == 1;
        if (ok) // hand the cached directory contexts back at exit
            std::atexit([] { KDXShutdown(); });
    });
    return ok;
}

std::string DirectoryStoredSecretText() {
    std::string text;
    KDXValueStruct vs{};
    if (KDXInitValueStruct(nullptr, &vs) == nullptr) return text;
    if (KDXRead("Internet Services", "Quill:ACL", &vs) > 0 && vs.Used > 0 && vs.Value[0])
        text = vs.Value[0];
    KDXDestroyValueStruct(&vs);
    return text;
}

std::string DirectorySecretText() {
    std::string text = DirectoryStoredSecretText();
    return text.empty() ? REVO_DEFAULT_SECRET_TEXT : text;
}

std::function<bool(const std::string&)> DirectoryUserCheck(const std::string& listenAddress) {
    in_addr mine{};
    const bool any = inet_pton(AF_INET, listenAddress.c_str(), &mine) != 1 || mine.s_addr == 0;
    return [any, mine](const std::string& address) {
        char name[256];
        uint32_t store = 0;
        if (!MSGFindUser(address.c_str(), name, 0, &store, nullptr)) return false;
        return any || store == mine.s_addr;
    };
}

} // namespace revo
