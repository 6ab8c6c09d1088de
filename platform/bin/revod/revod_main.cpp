// revod: command line, signals, and the directory look-ups (secret, users).
#include "server.h"

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
    "  --sync full|normal     full: survive power loss, not only crashes (normal)\n"
    "  --quiet                no log lines on standard error\n"
    "  --help                 this text\n";

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

} // namespace

int main(int argc, char** argv) {
    revo::ServerConfig cfg;
    cfg.storePath = "revod.db";
    if (const char* p = std::getenv("REVO_PORT")) {
        long v;
        if (!Number(p, 1, 65535, v)) {
            std::fprintf(stderr, "revod: REVO_PORT is not a port number: %s\n", p);
            return 2;
        }
        cfg.port = static_cast<uint16_t>(v);
    }
    bool quiet = false, haveSecret = false;
    long reserved = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "revod: %s needs %s\n", a.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        long v;
        auto num = [&](long lo, long hi) {
            const char* s = value("a number");
            if (!Number(s, lo, hi, v)) {
                std::fprintf(stderr, "revod: bad value for %s: %s\n", a.c_str(), s);
                std::exit(2);
            }
            return v;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--listen") {
            cfg.listen = value("an address");
        } else if (a == "--port") {
            cfg.port = static_cast<uint16_t>(num(1, 65535));
        } else if (a == "--store") {
            cfg.storePath = value("a path");
        } else if (a == "--no-auth") {
            cfg.noAuth = true;
        } else if (a == "--secret-text") {
            cfg.secretText = value("a text");
            haveSecret = true;
            if (cfg.secretText.empty()) {
                std::fprintf(stderr, "revod: --secret-text must not be empty\n");
                return 2;
            }
        } else if (a == "--default-secret") {
            cfg.defaultSecret = true;
        } else if (a == "--user") {
            cfg.users.push_back(value("an address"));
        } else if (a == "--max-offers") {
            cfg.maxOffers = static_cast<int>(num(1, 4096));
        } else if (a == "--max-failed-offers") {
            cfg.maxFailedOffers = static_cast<int>(num(1, 1000));
        } else if (a == "--retry-delay") {
            cfg.retryDelayMs = static_cast<int>(num(0, 3600000));
        } else if (a == "--max-retry-delay") {
            cfg.maxRetryDelayMs = static_cast<int>(num(0, 86400000));
        } else if (a == "--hold-time") {
            cfg.holdTimeMs = num(0, 30L * 86400000);
        } else if (a == "--max-sessions") {
            cfg.maxSessions = static_cast<int>(num(1, 100000));
        } else if (a == "--reserved-sessions") {
            reserved = num(0, 100000);
        } else if (a == "--max-unauth-per-peer") {
            cfg.maxUnauthPerPeer = static_cast<int>(num(1, 100000));
        } else if (a == "--auth-timeout") {
            cfg.authTimeoutMs = static_cast<int>(num(100, 3600000));
        } else if (a == "--idle-timeout") {
            cfg.idleTimeoutMs = static_cast<int>(num(100, 86400000));
        } else if (a == "--command-timeout") {
            cfg.commandTimeoutMs = static_cast<int>(num(100, 86400000));
        } else if (a == "--offer-timeout") {
            cfg.offerTimeoutMs = static_cast<int>(num(100, 86400000));
        } else if (a == "--sync") {
            std::string s = value("full or normal");
            if (s != "full" && s != "normal") {
                std::fprintf(stderr, "revod: --sync takes full or normal\n");
                return 2;
            }
            cfg.sync = s == "full" ? revo::Store::Sync::Full : revo::Store::Sync::Normal;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "revod: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (reserved >= cfg.maxSessions) {
        std::fprintf(stderr, "revod: --reserved-sessions must be below --max-sessions\n");
        return 2;
    }
    cfg.reservedSessions = static_cast<int>(reserved);
    static std::mutex logMu;
    if (!quiet)
        cfg.log = [](const std::string& line) {
            std::lock_guard lock(logMu);
            std::fprintf(stderr, "revod: %s\n", line.c_str());
        };

    // The directory is consulted only for what the command line leaves open.
    const bool needUsers = cfg.users.empty();
    const bool needSecret = !haveSecret && !cfg.noAuth;
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
            return 2;
        }
        std::fprintf(stderr, "revod: WARNING: using the built-in default secret "
                             "(--default-secret): for tests only\n");
    }

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
