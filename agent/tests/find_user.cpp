// One "machine"'s view of the directory, as its agents get it: logs in as
// they do (the configuration file of $ARBOR_CONF), prints this server's
// messaging server, then for each address given what MSGFindUser answers:
//
//     server \ACME\Internet Services\MAIL1 Messaging Server
//     bob@example.com \ACME\org\sales\bob 127.0.21.1
//     nobody@example.com -
//
// Exit status 2 when the login failed.
#include "kdx.h"
#include "msgsrv.h"

#include <arpa/inet.h>

#include <cstdio>

int main(int argc, char** argv) {
    MSGSrvInit();
    if (!KDXInit()) {
        std::fprintf(stderr, "find_user: no directory login\n");
        return 2;
    }
    std::printf("server %s\n", MSGGetServerDN(nullptr));
    for (int i = 1; i < argc; ++i) {
        char name[256] = "";
        uint32_t ip = 0;
        if (!MSGFindUser(argv[i], name, 0, &ip, nullptr)) {
            std::printf("%s -\n", argv[i]);
            continue;
        }
        char text[INET_ADDRSTRLEN] = "";
        in_addr a{};
        a.s_addr = ip;
        inet_ntop(AF_INET, &a, text, sizeof text);
        std::printf("%s %s %s\n", argv[i], name, text);
    }
    KDXShutdown();
    return 0;
}
