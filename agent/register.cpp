// Registration with the REVO servers, challenge-digest authentication and the
// shared secret.
#include "internal.h"

#include "kdx.h"
#include "msgsrv.h"
#include "revo_secret.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kAgentQueue = 5;
constexpr const char* kAgentObject = "Calendar Agent";
constexpr int kConnectRetrySeconds = 15;

// The AUTH argument for the challenge in a 4242 greeting text: the text after
// the first "<" up to the next ">". False when the greeting has no "<".
bool AuthDigest(const char* greeting, char out[33]) {
    const char* lt = strchr(greeting, '<');
    if (!lt) return false;
    const char* challenge = lt + 1;
    const char* gt = strchr(challenge, '>');
    size_t len = gt ? static_cast<size_t>(gt - challenge) : strlen(challenge);

    MD5Context ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, challenge, static_cast<unsigned>(len));
    MD5Update(&ctx, REVOSecret, static_cast<unsigned>(strnlen(REVOSecret, sizeof REVOSecret)));
    unsigned char d[16];
    MD5Final(d, &ctx);
    for (int i = 0; i < 16; ++i)
        snprintf(out + 2 * i, 3, "%02x", d[i]);
    return true;
}

void CloseSocket(REVOConnection* c) {
    if (c->Socket != -1) {
        close(c->Socket);
        c->Socket = -1;
    }
}

} // namespace

extern "C" {

int DaywardREVOPort = 689;

void MD5Init(MD5Context* context) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (md && EVP_DigestInit_ex(md, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(md);
        md = nullptr;
    }
    context->State = md;
}

void MD5Update(MD5Context* context, const void* bytes, unsigned int length) {
    if (context->State && length)
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context->State), bytes, length);
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
    auto* md = static_cast<EVP_MD_CTX*>(context->State);
    unsigned int n = 0;
    if (!md || EVP_DigestFinal_ex(md, digest, &n) != 1 || n != 16) memset(digest, 0, 16);
    EVP_MD_CTX_free(md);
    context->State = nullptr;
}

int UnscrambleSecret(const char* text) {
    if (!text || !*text) return 0;
    unsigned char out[REVO_SECRET_BYTES + 1];
    if (!RevoUnscrambleSecret(text, out)) return 0;
    memcpy(REVOSecret, out, sizeof out);
    return 1;
}

void StartRegistrationThreads(int port) {
    KDXValueStruct* vs = KDXInitValueStruct(MSGGetServerDN(nullptr), nullptr);
    if (!vs) return;
    if (MSGReadIP(kAgentObject, "Velmora:REVO Server", vs)) {
        for (unsigned i = 0; i < vs->Used; ++i) {
            auto* reg = static_cast<REVORegistration*>(calloc(1, sizeof(REVORegistration)));
            if (!reg) continue;
            reg->Queue = kAgentQueue;
            reg->Port = port;
            snprintf(reg->Address, sizeof reg->Address, "%s", vs->Value[i]);
            dayward::AllowQueuePeer(reg->Address);
            if (!dayward::StartDetached(RegisterREVOServer, reg)) free(reg);
        }
    }
    KDXDestroyValueStruct(vs);
}

void* RegisterREVOServer(void* arg) {
    // Take what we need from the request and free it at once: a failed read or
    // write below ends this thread through the release of its connection.
    auto* reg = static_cast<REVORegistration*>(arg);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(reg->Address);
    a.sin_port = htons(static_cast<uint16_t>(DaywardREVOPort));
    const int queue = reg->Queue;
    const int port = reg->Port;
    free(reg);

    auto* c = static_cast<REVOConnection*>(calloc(1, sizeof(REVOConnection)));
    if (!c) return nullptr;
    c->Socket = -1;

    // Connect, retrying an absent server every 15 seconds until shutdown.
    for (;;) {
        c->Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (c->Socket == -1) {
            free(c);
            return nullptr;
        }
        if (connect(c->Socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
        CloseSocket(c);
        dayward::PauseSeconds(kConnectRetrySeconds);
        if (dayward::IsExiting()) break;
    }
    if (dayward::IsExiting()) {
        CloseSocket(c);
        dayward::EndConnection(c);
    }

    char buffer[1024];
    int code = REVOReadLine(c, buffer, sizeof buffer, 1);
    if (code == REVO_AUTH_CHALLENGE) {
        char digest[33];
        if (AuthDigest(buffer, digest)) {
            dayward::Command("AUTH").Word(digest).Send(c);
            code = REVOReadLine(c, buffer, sizeof buffer, 1);
        } else {
            code = -1;
        }
    }
    if (code != REVO_OK) {
        CloseSocket(c);
        dayward::EndConnection(c);
    }

    char identity[256];
    const char* dn = MSGGetServerDN(nullptr);
    snprintf(identity, sizeof identity, "%s%s%d", dn ? dn : "", kAgentObject, queue);
    // The registration carries the port as getsockname gave it, in network
    // byte order in the low 16 bits; QWAIT wants the number itself.
    int hostPort = ((port & 0xff) << 8) | ((port >> 8) & 0xff);
    // The identity comes from the directory: it stands on the line only if
    // it cannot end it.
    if (!dayward::Command("QWAIT")
             .Number(static_cast<unsigned long>(queue))
             .Number(static_cast<unsigned long>(hostPort))
             .Text(identity)
             .Send(c)) {
        CloseSocket(c);
        dayward::EndConnection(c);
    }
    code = REVOReadLine(c, buffer, sizeof buffer, 1);
    CloseSocket(c);
    if (code == REVO_OK) {
        free(c);
        return nullptr;
    }
    dayward::EndConnection(c);
}

int REVOAuthenticate(REVOConnection* c, sockaddr_in* address, char* buffer) {
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(DaywardREVOPort));
    c->Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (c->Socket == -1) return 0;
    if (connect(c->Socket, reinterpret_cast<sockaddr*>(address), sizeof *address) != 0) {
        CloseSocket(c);
        return 0;
    }
    int one = 1;
    setsockopt(c->Socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    int code = REVOReadLine(c, buffer, 1023, 1);
    if (code == REVO_OK) return 1;
    if (code == REVO_AUTH_CHALLENGE) {
        char digest[33];
        if (AuthDigest(buffer, digest)) {
            if (dayward::Command("AUTH").Word(digest).Send(c) &&
                REVOReadLine(c, buffer, 1023, 1) == REVO_OK)
                return 1;
        }
    }
    CloseSocket(c);
    return 0;
}

} // extern "C"
