// Start-up, login and shutdown: the login context that every other context
// of the process is copied from.
#include "internal.h"
#include "kdxcommon.h"

#include "ascii.h"

#include <pdksa.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

extern "C" {
int32_t Debug = 0;
int32_t DebugScreen = -1;
int32_t DoPW = 1;
int32_t ServerDNOverride = 0;
int32_t KDXReady = 0;
int32_t KDXFailed = 0;
int32_t KDXDoingInit = 0;
int32_t KDXIsLibrary = 0;
int32_t KDXTid = 0;
int32_t KDXTGid = 0;
uint32_t AuthContext = 0;
sem_t StartupSem;
char KDXLoginUser[257] = "Internet Services";
char KDXVersionNumberInternal[64];
int32_t Codepage = 437;
int32_t CountryID = 1;
char LocalNoMapStr[2] = "~";
uint16_t UniNoMapStr[2] = {0xFFFD, 0};
uint16_t ArborRoot[2] = {'\\', 0};
// DDCDotDelims and DDCSlashDelims come from the directory client library,
// which this library links: a second definition here would be a second object
// under one name.
int32_t gErr = 0;
}

namespace kdx {

char gTreeName[KDX_TREE_NAME_SIZE];
char gServerDN[KDX_SERVER_DN_SIZE];
char gReplicaName[KDX_SERVER_DN_SIZE];

namespace {

constexpr const char* kBanner = "Velmora Directory Database API";
constexpr const char* kRevision = "$Revision:   2.53  $";
constexpr int kAPIVersion = 1;
constexpr int kLoginAttempts = 120;

std::atomic<bool> gShutDown{false};
std::atomic<bool> gSemValid{false};
std::atomic<bool> gStartupOver{false};
std::atomic<bool> gAuthValid{false}; // AuthContext holds a context of ours
// A shutdown asked for while start-up runs: the login gives up at once.
std::atomic<bool> gStopStartup{false};
// Shutdown asked for on the start-up thread itself (a SIGTERM handler): it
// cannot wait for start-up, so start-up finishes the shutdown as it ends.
std::atomic<bool> gShutdownDeferred{false};
std::atomic<pthread_t> gStartupThread{};

bool OptionValue(std::string_view arg, std::string_view opt, std::string_view& rest) {
    if (!arbor::StartsWithNoCase(arg, opt)) return false;
    rest = arg.substr(opt.size());
    return true;
}

bool CopyBounded(std::string_view value, char* out, size_t size) {
    if (value.size() + 1 > size) return false;
    std::memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
    return true;
}

void PrintVersion() {
    std::printf("\r\n\n\n%s [%s]\n", kBanner, kRevision);
    std::printf("\r\n  API Version: %03d       [compatible with version %03d]\n", kAPIVersion,
                kAPIVersion);
}

void PrintUsage() {
    std::printf("\r\n%s usage:\n", kBanner);
    std::printf("\rKDX [-t:<tree>] [-s:<dn>] [-d] [-u:<user> -p:<password>] [-v] [-h | -?]\n");
    std::printf("\r-t:<tree>     - Use specified tree; can be different from\n");
    std::printf("\r                server tree; default:%s\n", gTreeName);
    std::printf("\r-s:<dn>       - Use specified DN as local server dn\n");
    std::printf("\r-d            - Turn on debug screen & output\n");
    std::printf("\r-u:<user>     - Use <user> to authenticate; must be a fully\n"
                "                distinguished name [e.g. CN=Admin.O=Velmora]\n");
    std::printf("\r-p:<password> - Use <password> as password to log into the directory\n");
    std::printf("\r-v            - Display version information\n");
    std::printf("\r-? | -h       - This help screen\n\n");
}

void PrintFailure() {
    std::printf("\r\n\n%s\n", kBanner);
    std::printf("\r  Directory authentication failed. Possible reasons:\n");
    std::printf("\r  - The %s object has been removed\n", "Internet Services");
    std::printf("\r  - The directory schema has not (yet) been extended\n");
    std::printf("\r  - The directory schema is extended, but the information has not been\n"
                "    replicated to this server yet.\n");
    std::printf("\r  - The %s object has been modified\n\n", "Internet Services");
    std::printf("\r  - [Tree:%s, ServerDN:%s]\n", gTreeName, gServerDN);
    std::printf("\nPlease contact technical support or re-install the product\n");
}

void ConnectReplica() {
    int err = DDCConnectToServerByName(AuthContext, gReplicaName);
    if (err != 0) Debugf("DDCConnectToServerByName(%s) failed:code=%d\n", gReplicaName, err);
}

// The steps of KDXShutdown after start-up is over.
void ReleaseAll() {
    if (gSemValid.exchange(false)) sem_destroy(&StartupSem);
    CacheClose();
    closelog();
    if (gAuthValid.exchange(false)) {
        DDCLogout(AuthContext);
        DDCFreeContext(AuthContext);
    }
}

// Ends KDXMain: start-up is over, whatever its outcome.
int EndMain(int result) {
    gStartupOver.store(true);
    if (gShutdownDeferred.exchange(false)) ReleaseAll();
    return result;
}

// Sleeps about a second, less when a shutdown comes.
void PauseBeforeRetry() {
    for (int i = 0; i < 20 && !gStopStartup.load(); ++i)
        usleep(50000);
}

} // namespace

void Debugf(const char* fmt, ...) {
    if (!__atomic_load_n(&Debug, __ATOMIC_RELAXED)) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

bool LoadFlag(const int32_t& flag) {
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE) != 0;
}
void StoreFlag(int32_t& flag, int32_t value) {
    __atomic_store_n(&flag, value, __ATOMIC_RELEASE);
}
bool IsReady() {
    return LoadFlag(KDXReady);
}

} // namespace kdx

using kdx::LoadFlag;
using kdx::StoreFlag;

extern "C" int ORBGetServerDN(char* treeName, char* serverDN) {
    return KDXConfReadServerDN(nullptr, treeName, KDX_TREE_NAME_SIZE, serverDN, KDX_SERVER_DN_SIZE);
}

extern "C" int AuthenticateKDX(void) {
    if (DoPW) KDXPasswordPlace(KDXVersionNumberInternal, 8, 3);

    uint32_t ctx = 0;
    if (DDCCreateContext(1, &ctx) != 0) {
        syslog(LOG_ERR, "DDCCreateContext failed");
        return 0;
    }
    __atomic_store_n(&AuthContext, ctx, __ATOMIC_RELEASE);
    kdx::gAuthValid.store(true);
    if (DDCSetContextLocale(AuthContext, Codepage, CountryID, LocalNoMapStr, UniNoMapStr) != 0)
        syslog(LOG_ERR, "DDCSetContextLocale failed\n");

    if (DoPW) {
        KDXPasswordPlace(KDXVersionNumberInternal, 11, 4);
        KDXVersionNumberInternal[KDX_PASSWORD_LENGTH] = '\0';
    }
    kdx::Debugf("Using tree: %s\n", kdx::gTreeName);

    char root[KDX_TREE_NAME_SIZE + 1];
    std::snprintf(root, sizeof root, "\\%s", kdx::gTreeName);
    if (DDCSetContextBaseDN(AuthContext, root, DDCSlashDelims) != 0) {
        syslog(LOG_ERR, "DDCSetContextBaseDN failed");
        return 0;
    }
    kdx::ConnectReplica();

    // A directory store that is not (yet) reachable answers -634; wait for it.
    int err = 0;
    for (int attempt = 1; attempt <= kdx::kLoginAttempts; ++attempt) {
        if (kdx::gStopStartup.load()) return 0;
        err = DDCResolveName(AuthContext, DDC_RESOLVE_WRITE, KDXLoginUser);
        if (err == 0) break;
        syslog(LOG_ERR, "DDCResolveName failed [err:%d]", err);
        kdx::PauseBeforeRetry();
        if (err != -634) break;
    }
    if (err == -634 || kdx::gStopStartup.load()) return 0;

    err = DDCLogin(AuthContext, KDXVersionNumberInternal);
    if (err != 0) {
        syslog(LOG_ERR, "DDCLogin failed [err:%d]", err);
        return 0;
    }
    if (DDCAuthenticateConnection(AuthContext) != 0) {
        syslog(LOG_ERR, "DDCAuthenticateConnection failed");
        return 0;
    }
    if (DDCSetContextFlags(AuthContext, 0, DDC_CTX_RESERVED) != 0) {
        syslog(LOG_ERR, "DDCSetContextFlags failed");
        return 0;
    }
    kdx::ConnectReplica();
    if (kdx::gStopStartup.load()) return 0; // shut down meanwhile: not ready after all
    StoreFlag(KDXReady, 1);
    return 1;
}

namespace kdx {
namespace {

// Flags, configuration, the start-up semaphore, the signal, the log and the
// login defaults, before the options may change them.
void BeginStartup() {
    StoreFlag(KDXDoingInit, 1);
    StoreFlag(KDXTid, 1);
    StoreFlag(KDXTGid, 1);
    gStartupThread.store(pthread_self());
    gStartupOver.store(false);
    DDSInit(1);

    ORBGetServerDN(gTreeName, gServerDN);
    std::memcpy(gReplicaName, gServerDN, sizeof gReplicaName);

    if (!gSemValid.exchange(true)) sem_init(&StartupSem, 0, 0);
    std::signal(SIGTERM, KDXSigTermHandler);
    openlog("KDX", LOG_CONS, 0);

    std::strcpy(KDXLoginUser, "Internet Services");
    DoPW = 1;
}

enum class Option { Next, Stop, TooLong };

Option ApplyOption(std::string_view arg) {
    std::string_view rest;
    bool fits = true;
    if (OptionValue(arg, "-t:", rest)) {
        fits = CopyBounded(rest, gTreeName, sizeof gTreeName);
        if (fits) std::printf("\r\nKDX: Using tree %s\n", gTreeName);
    } else if (OptionValue(arg, "-s:", rest)) {
        fits = CopyBounded(rest, gServerDN, sizeof gServerDN);
        if (fits) {
            ServerDNOverride = 1;
            std::printf("\r\nKDX: Using server DN %s\n", gServerDN);
        }
    } else if (arbor::EqualNoCase(arg, "-d")) {
        std::printf("\r\nKDX: Debugging turned on\n");
        StoreFlag(Debug, 1);
        DebugScreen = 1;
    } else if (OptionValue(arg, "-u:", rest)) {
        fits = CopyBounded(rest, KDXLoginUser, sizeof KDXLoginUser);
        if (fits) Debugf("Login as user %s\n", KDXLoginUser);
    } else if (OptionValue(arg, "-p:", rest)) {
        fits = CopyBounded(rest, KDXVersionNumberInternal, sizeof KDXVersionNumberInternal);
        if (fits) DoPW = 0;
    } else if (arbor::EqualNoCase(arg, "-v")) {
        PrintVersion();
        return Option::Stop;
    } else if (arbor::EqualNoCase(arg, "-h") || arbor::EqualNoCase(arg, "-?")) {
        PrintUsage();
        return Option::Stop;
    }
    return fits ? Option::Next : Option::TooLong;
}

// The arguments from the second one, in order; false when start-up ends here.
bool ReadOptions(int argc, char** argv) {
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (argv[i] == nullptr) continue;
        switch (ApplyOption(argv[i])) {
        case Option::Next:
            break;
        case Option::Stop:
            return false;
        case Option::TooLong:
            // Never cut a name or password to fit: a shortened one means something else.
            std::printf("\r\nKDX: Option value too long: %.3s\n", argv[i]);
            StoreFlag(KDXFailed, 1);
            return false;
        }
    }
    return true;
}

int LoggedIn() {
    if (LoadFlag(KDXIsLibrary)) return EndMain(1);
    sem_post(&StartupSem);
    if (Debug) {
        CacheStats s = ReadCacheStats();
        std::printf("\rKDX Cache statistics:\nElements retrieved from cache : %d\n"
                    "Elements added to cache       : %d\n",
                    s.retrieved, s.added);
        std::printf("Elements destroyed            : %d\nElements released into cache  : %d\n",
                    s.destroyed, s.released);
    }
    StoreFlag(KDXTid, 0);
    return EndMain(0);
}

// A failed login is final: the semaphores and the login context go.
int LoginFailed() {
    PrintFailure();
    std::fflush(stdout);
    if (gSemValid.exchange(false)) sem_destroy(&StartupSem);
    CacheClose();
    if (gAuthValid.exchange(false)) {
        DDCLogout(AuthContext);
        DDCFreeContext(AuthContext);
    }
    StoreFlag(KDXFailed, 1);
    return EndMain(0);
}

} // namespace
} // namespace kdx

extern "C" int KDXMain(int argc, char** argv) {
    kdx::BeginStartup();
    if (!kdx::ReadOptions(argc, argv)) return kdx::EndMain(0);
    kdx::CacheOpen();
    if (DoPW) KDXPasswordPlace(KDXVersionNumberInternal, 0, 8);
    return AuthenticateKDX() ? kdx::LoggedIn() : kdx::LoginFailed();
}

extern "C" int KDXInit(void) {
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&KDXDoingInit, &expected, 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        StoreFlag(KDXIsLibrary, 1);
        KDXMain(0, nullptr);
    }
    while (!LoadFlag(KDXReady)) {
        if (LoadFlag(KDXFailed)) return 0;
        usleep(100);
    }
    return LoadFlag(KDXFailed) ? 0 : 1;
}

extern "C" int KDXGetLocalReplicaName(char* out) {
    if (out != nullptr && out != kdx::gReplicaName)
        std::memcpy(out, kdx::gReplicaName, std::strlen(kdx::gReplicaName) + 1);
    return 1;
}

extern "C" int KDXGetServerInfo(char* serverDN, char* treeName, char* treeName2) {
    if (serverDN != nullptr) std::memcpy(serverDN, kdx::gServerDN, std::strlen(kdx::gServerDN) + 1);
    if (treeName != nullptr) std::memcpy(treeName, kdx::gTreeName, std::strlen(kdx::gTreeName) + 1);
    if (treeName2 != nullptr)
        std::memcpy(treeName2, kdx::gTreeName, std::strlen(kdx::gTreeName) + 1);
    return 1;
}

extern "C" int KDXShutdown(void) {
    if (kdx::gShutDown.exchange(true)) return 0;
    StoreFlag(KDXTGid, 1);
    if (LoadFlag(KDXDoingInit) && !kdx::gStartupOver.load()) {
        // Start-up still runs (perhaps waiting for the directory): it gives up
        // now. On its own thread (a SIGTERM handler) nothing can be waited
        // for; start-up then finishes the shutdown as it returns.
        kdx::gStopStartup.store(true);
        if (pthread_equal(pthread_self(), kdx::gStartupThread.load())) {
            kdx::gShutdownDeferred.store(true);
            // Ended meanwhile (the signal came after its last test)?
            if (kdx::gStartupOver.load() && kdx::gShutdownDeferred.exchange(false))
                kdx::ReleaseAll();
            return 1;
        }
        // Program mode posts StartupSem when start-up succeeds, library mode
        // and failures do not: wait for the end of start-up itself.
        while (!kdx::gStartupOver.load())
            usleep(250);
    }
    kdx::ReleaseAll();
    return 1;
}

extern "C" void KDXSigTermHandler(int) {
    KDXShutdown();
}

extern "C" int KDXGetAPIVersion(void) {
    return kdx::kAPIVersion;
}
