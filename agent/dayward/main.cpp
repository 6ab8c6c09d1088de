// dayward: the calendar queue agent of the REVO servers.
#include "../internal.h"

#include "kdx.h"
#include "msgsrv.h"

#include <csignal>
#include <cstdlib>
#include <syslog.h>

int main() {
    Tid = 1;
    TGid = 1;
    MSGSrvInit();
    KDXInit();
    signal(SIGTERM, DaywardShutdownSigHandler);
    RegisterSourceFileRevision("dayward", "$Revision:   1.12  $");
    openlog("Dayward", 0, LOG_MAIL);
    // REVO_PORT lets the agent and its servers run without root.
    if (const char* p = getenv("REVO_PORT")) {
        char* end;
        long v = strtol(p, &end, 10);
        if (*p && !*end && v > 0 && v < 65536) DaywardREVOPort = static_cast<int>(v);
    }
    DaywardReadConfiguration();
    RunQueueListener();
    DaywardReleaseGlobalState();
    // Hand the directory login and its cached contexts back before the process ends.
    KDXShutdown();
    return 0;
}
