// Process globals, the configuration read and the shutdown handler.
#include "../internal.h"

#include "kdx.h"
#include "msgsrv.h"
#include "revo_secret.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {

int Exiting = 0;
int ServerSocket = -1;
int ServerSocketPort = 0;
int ServerSocketSSL = -1;
int ServerSocketSSLPort = 0;
struct ssl_ctx_st* SSLContext = nullptr;
int HighestSocket = 3;
char OfficialName[257] = "";
int Tid = 0;
int TGid = 0;
char REVOSecret[33] = {};

// Deepest use measured on a queue-connection thread (agent_stack_test: the
// directory look-up through SQLite, base64 decoding, parsing, a store
// session) is about 20 KiB in an optimised build and 37 KiB under
// AddressSanitizer: the 32 KiB once planned leaves no margin. Keep a wide one.
// Under ThreadSanitizer the runtime's static TLS (about 790 KiB) sits in the
// same block.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DAYWARD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DAYWARD_SANITIZED 1
#endif
#endif
#ifdef DAYWARD_SANITIZED
const unsigned long DaywardThreadStack = 4096UL * 1024;
#else
const unsigned long DaywardThreadStack = 256UL * 1024;
#endif

void DaywardReadConfiguration(void) {
    KDXValueStruct* vs = KDXInitValueStruct(MSGGetServerDN(nullptr), nullptr);
    if (vs && KDXRead(".", "Velmora:Official Name", vs) >= 1 && vs->Used >= 1 && vs->Value[0])
        snprintf(OfficialName, sizeof OfficialName, "%s", vs->Value[0]);
    else
        OfficialName[0] = '\0';
    if (vs) KDXFreeValues(vs);

    const char* scrambled = REVO_DEFAULT_SECRET_TEXT;
    if (vs) {
        KDXSetValueStructContext(nullptr, vs);
        if (KDXRead("Internet Services", "Quill:ACL", vs) >= 1 && vs->Used >= 1 && vs->Value[0])
            scrambled = vs->Value[0];
    }
    char text[33];
    snprintf(text, sizeof text, "%s", scrambled);
    UnscrambleSecret(text);
    if (vs) KDXDestroyValueStruct(vs);
}

} // extern "C"

namespace {

// Only async-signal-safe calls below this point until the handler returns.
void Say(const char* text) {
    size_t n = strlen(text);
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void SayCount(int value) {
    char digits[16];
    char* p = digits + sizeof digits;
    *--p = '\0';
    unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    if (value < 0) *--p = '-';
    Say("\rDAYWARD: Closing ");
    Say(p);
    Say(" client sockets\n");
}

} // namespace

extern "C" void DaywardShutdownSigHandler(int) {
    int savedErrno = errno;
    dayward::SetExiting();
    std::atomic_ref<int>(TGid).store(1);

    Say("\rDAYWARD: Closing server sockets\n");
    int s = std::atomic_ref<int>(ServerSocket).exchange(-1);
    if (s != -1) {
        syscall(SYS_shutdown, s, SHUT_RDWR); // wakes an accept blocked on it
        syscall(SYS_close, s);
    }
    s = std::atomic_ref<int>(ServerSocketSSL).exchange(-1);
    if (s != -1) syscall(SYS_close, s);

    // The client sockets are shut down, not closed: that fails every blocked
    // read or write on them at once, and their owners close them as they
    // release their connections, so no descriptor number is closed twice.
    // shutdown touches sockets only; a descriptor that is a file (the
    // directory's store lives in this process) refuses it and stays intact.
    // Raw system calls: the kernel orders these against the owners' own use.
    int highest = dayward::CurrentHighestSocket();
    SayCount(highest);
    for (int fd = 3; fd <= highest; ++fd)
        syscall(SYS_shutdown, fd, SHUT_RDWR);

    Say("\rDAYWARD: Waiting for threads to terminate\n");
    timeval tv{2, 0};
    select(0, nullptr, nullptr, nullptr, &tv);

    // OpenSSL's clean-up and closelog are not safe here; the main thread runs
    // them once the listener has returned (DaywardReleaseGlobalState).
    Say("\rDAYWARD: Removing SSL data\n");
    Say("\rDAYWARD: Shutdown complete\n");
    std::atomic_ref<int>(TGid).store(1);
    errno = savedErrno;
}

extern "C" void DaywardReleaseGlobalState(void) {
    if (SSLContext) {
        SSL_CTX_free(SSLContext);
        SSLContext = nullptr;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ERR_free_strings();
    ERR_remove_state(0);
    EVP_cleanup();
#pragma GCC diagnostic pop
    closelog();
}
