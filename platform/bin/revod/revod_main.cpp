// revod: command line, signals, and the directory look-ups (secret, users).
#include "server.h"

#include "arbor_version.h"

#include "netio.h"
#include "revo_secret.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

#include "directory.h"

namespace {

const char* kUsage =
    "usage: revod [options]\n"
    "  --listen ADDR          IPv4 address to listen on (default 0.0.0.0)\n"
    "  --port N               port (default $REVO_PORT, else 689)\n"
    "  --store PATH           SQLite store file (default ./revod.db)\n"
    "  --no-auth              greet with 1000: no AUTH needed\n"
    "  --secret-text TEXT     scrambled shared secret (32 hex digits) instead of the\n"
    "                         directory's \"Quill:ACL\" value\n"
    "  --default-secret       accept the built-in test secret when no other is given\n"
    "                         (without a secret revod refuses to start)\n"
    "  --user ADDR            a local user (repeatable); without it the directory decides\n"
    "  --max-offers N         queue offers in progress at once (default 64)\n"
    "  --max-failed-offers N  offers an agent takes and fails before the entry passes its\n"
    "                         queue unchanged (5)\n"
    "  --retry-delay MS       delay after a failed offer, doubled after each further one (1000)\n"
    "  --max-retry-delay MS   longest delay between offers of one entry (60000)\n"
    "  --hold-time MS         how long entries wait for an agent that cannot be reached\n"
    "                         before they pass its queue unchanged (3600000)\n"
    "  --offer-timeout MS     silence from an agent that ends an offer (120000)\n"
    "  --max-sessions N       client sessions at once (1000)\n"
    "  --reserved-sessions N  of those, kept for authenticated sessions and addresses\n"
    "                         that authenticated lately (a tenth)\n"
    "  --max-unauth-per-peer N  unauthenticated sessions at once from one address (64)\n"
    "  --auth-timeout MS      time from connection to authentication (10000)\n"
    "  --idle-timeout MS      wait for an authenticated session's next command (900000)\n"
    "  --command-timeout MS   time to receive a command's data and send its reply (300000)\n"
    "  --sync durable|no-fsync  durable: on disk (fsync) before acknowledged;\n"
    "                         no-fsync: survives crashes of revod, not power loss (durable)\n"
    "  --quiet                no log lines on standard error\n"
    "  --help                 this text\n"
    "  --version              the release\n";

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}

bool Number(const char* s, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi) return false;
    out = v;
    return true;
}

struct Options {
    revo::ServerConfig cfg;
    bool quiet = false, haveSecret = false;
    long reserved = -1;
};

// The options that take a number: name, range, and where it goes.
struct NumberOption {
    const char* name;
    long lo, hi;
    void (*set)(Options&, long);
};
constexpr NumberOption kNumberOptions[] = {
    {"--port", 1, 65535, [](Options& o, long v) { o.cfg.port = static_cast<uint16_t>(v); }},
    {"--max-offers", 1, 4096, [](Options& o, long v) { o.cfg.maxOffers = static_cast<int>(v); }},
    {"--max-failed-offers", 1, 1000,
     [](Options& o, long v) { o.cfg.maxFailedOffers = static_cast<int>(v); }},
    {"--retry-delay", 0, 3600000,
     [](Options& o, long v) { o.cfg.retryDelayMs = static_cast<int>(v); }},
    {"--max-retry-delay", 0, 86400000,
     [](Options& o, long v) { o.cfg.maxRetryDelayMs = static_cast<int>(v); }},
    {"--hold-time", 0, 30L * 86400000, [](Options& o, long v) { o.cfg.holdTimeMs = v; }},
    {"--max-sessions", 1, 100000,
     [](Options& o, long v) { o.cfg.maxSessions = static_cast<int>(v); }},
    {"--reserved-sessions", 0, 100000, [](Options& o, long v) { o.reserved = v; }},
    {"--max-unauth-per-peer", 1, 100000,
     [](Options& o, long v) { o.cfg.maxUnauthPerPeer = static_cast<int>(v); }},
    {"--auth-timeout", 100, 3600000,
     [](Options& o, long v) { o.cfg.authTimeoutMs = static_cast<int>(v); }},
    {"--idle-timeout", 100, 86400000,
     [](Options& o, long v) { o.cfg.idleTimeoutMs = static_cast<int>(v); }},
    {"--command-timeout", 100, 86400000,
     [](Options& o, long v) { o.cfg.commandTimeoutMs = static_cast<int>(v); }},
    {"--offer-timeout", 100, 86400000,
     [](Options& o, long v) { o.cfg.offerTimeoutMs = static_cast<int>(v); }},
};

// The command line into o; -1 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
    revo::ServerConfig& cfg = o.cfg;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "revod: %s needs %s\n", a.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        const NumberOption* numeric = nullptr;
        for (const auto& n : kNumberOptions)
            if (a == n.name) numeric = &n;
        if (numeric) {
            const char* s = value("a number");
            long v;
            if (!Number(s, numeric->lo, numeric->hi, v)) {
                std::fprintf(stderr, "revod: bad value for %s: %s\n", a.c_str(), s);
                std::exit(2);
            }
            numeric->set(o, v);
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("revod " ARBOR_VERSION);
            return 0;
        } else if (a == "--listen") {
            cfg.listen = value("an address");
        } else if (a == "--store") {
            cfg.storePath = value("a path");
        } else if (a == "--no-auth") {
            cfg.noAuth = true;
        } else if (a == "--secret-text") {
            cfg.secretText = value("a text");
            o.haveSecret = true;
            if (cfg.secretText.empty()) {
                std::fprintf(stderr, "revod: --secret-text must not be empty\n");
                return 2;
            }
        } else if (a == "--default-secret") {
            cfg.defaultSecret = true;
        } else if (a == "--user") {
            cfg.users.push_back(value("an address"));
        } else if (a == "--sync") {
            // full and normal: the names of earlier versions.
            const std::string s = value("durable or no-fsync");
            if (s == "durable" || s == "full") {
                cfg.sync = revo::Store::Sync::Durable;
            } else if (s == "no-fsync" || s == "normal") {
                cfg.sync = revo::Store::Sync::NoFsync;
            } else {
                std::fprintf(stderr, "revod: --sync takes durable or no-fsync\n");
                return 2;
            }
        } else if (a == "--quiet") {
            o.quiet = true;
        } else {
            std::fprintf(stderr, "revod: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return -1;
}

// The directory is consulted only for what the command line leaves open;
// false when there is no secret and the built-in one is not allowed.
bool FromDirectory(Options& o) {
    revo::ServerConfig& cfg = o.cfg;
    const bool needUsers = cfg.users.empty();
    const bool needSecret = !o.haveSecret && !cfg.noAuth;
    if (needSecret || needUsers) {
        if (revo::DirectoryOpen()) {
            if (needSecret) cfg.secretText = revo::DirectoryStoredSecretText();
            if (needUsers) cfg.isLocalUser = revo::DirectoryUserCheck(cfg.listen);
        } else if (cfg.log) {
            cfg.log("no directory: no local users unless --user is given");
        }
    }
    // Never a silent fallback to a secret everyone can read in the sources.
    if (needSecret && cfg.secretText.empty()) {
        if (!cfg.defaultSecret) {
            std::fprintf(stderr,
                         "revod: no shared secret: the directory holds none (\"Quill:ACL\" of "
                         "\"Internet Services\"; arborctl secret stores one) and --secret-text "
                         "is not given. Refusing to start; --default-secret accepts the built-in "
                         "test secret.\n");
            return false;
        }
        std::fprintf(stderr, "revod: WARNING: using the built-in default secret "
                             "(--default-secret): for tests only\n");
    }
    return true;
}

// Serves until SIGTERM or SIGINT.
int Serve(const revo::ServerConfig& cfg) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    revo::Server server;
    std::string err;
    if (!server.Start(cfg, err)) {
        std::fprintf(stderr, "revod: %s\n", err.c_str());
        return 1;
    }
    while (!gStop)
        pause();
    server.Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    o.cfg.storePath = "revod.db";
    if (const char* p = std::getenv("REVO_PORT")) {
        long v;
        if (!Number(p, 1, 65535, v)) {
            std::fprintf(stderr, "revod: REVO_PORT is not a port number: %s\n", p);
            return 2;
        }
        o.cfg.port = static_cast<uint16_t>(v);
    }
    if (int status = ParseArgs(argc, argv, o); status >= 0) return status;
    if (o.reserved >= o.cfg.maxSessions) {
        std::fprintf(stderr, "revod: --reserved-sessions must be below --max-sessions\n");
        return 2;
    }
    o.cfg.reservedSessions = static_cast<int>(o.reserved);
    static std::mutex logMu;
    if (!o.quiet)
        o.cfg.log = [](const std::string& line) {
            std::lock_guard lock(logMu);
            std::fprintf(stderr, "revod: %s\n", line.c_str());
        };
    if (!FromDirectory(o)) return 2;
    return Serve(o.cfg);
}
