// dayward: the calendar queue agent of the REVO servers.
#include "../internal.h"

#include "arbor_version.h"
#include "kdx.h"
#include "msgsrv.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

// A whole decimal number from the environment within [low, high], or false.
bool EnvNumber(const char* name, long low, long high, long& out) {
    const char* p = getenv(name);
    if (!p || !*p) return false;
    char* end;
    long v = strtol(p, &end, 10);
    if (*end || v < low || v > high) return false;
    out = v;
    return true;
}

} // namespace

// The agent reads no command line; only these two answer before it starts.
int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("dayward %s\n", ARBOR_VERSION);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        printf("usage: dayward\n"
               "The calendar agent of the REVO servers. It reads /etc/arbor.conf (or\n"
               "$ARBOR_CONF), logs in to the directory and registers with every REVO\n"
               "server there; REVO_PORT, DAYWARD_MAX_CONNECTIONS and DAYWARD_IDLE_SECONDS\n"
               "change its port and limits. It runs until SIGTERM.\n");
        return 0;
    }
    Tid = 1;
    TGid = 1;
    MSGSrvInit();
    // Without the directory the agent knows no REVO server, no user and no
    // secret: mail would pass its queue unchanged for ever. Fail loudly, so
    // the service manager restarts it once the directory is back.
    if (!KDXInit()) {
        printf("\rDAYWARD: Directory login failed; cannot run without the directory\n");
        fflush(stdout);
        return 1;
    }
    signal(SIGTERM, DaywardShutdownSigHandler);
    RegisterSourceFileRevision("dayward", "$Revision:   1.12  $");
    openlog("Dayward", 0, LOG_MAIL);
    // REVO_PORT lets the agent and its servers run without root; the limits
    // on queue connections can be lowered (or raised) for tests and big sites.
    long v;
    if (EnvNumber("REVO_PORT", 1, 65535, v)) DaywardREVOPort = static_cast<int>(v);
    if (EnvNumber("DAYWARD_MAX_CONNECTIONS", 1, 100000, v))
        dayward::limits.maxQueueConnections = static_cast<int>(v);
    if (EnvNumber("DAYWARD_IDLE_SECONDS", 1, 86400, v))
        dayward::limits.idleTimeoutMs = static_cast<int>(v * 1000);
    DaywardReadConfiguration();
    RunQueueListener();
    DaywardReleaseGlobalState();
    // Hand the directory login and its cached contexts back before the process ends.
    KDXShutdown();
    return 0;
}
