// The context cache: copies of the login context with their work buffers,
// reused most recently released first. Also the server connection helpers,
// the core-protocol extension requests and the empty stream calls.
#include "internal.h"

#include <pdksa.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace kdx {

namespace {

std::mutex gLock;
bool gOpen = false; // guarded by gLock
std::vector<std::pair<uint32_t, unsigned char*>> gStack;

std::atomic<int> gRetrieved{0}, gAdded{0}, gReleased{0}, gDestroyed{0};

constexpr int kErrNotLoggedIn = -337;

} // namespace

CacheStats ReadCacheStats() {
    return CacheStats{gRetrieved.load(), gAdded.load(), gReleased.load(), gDestroyed.load()};
}

size_t CacheSize() {
    std::lock_guard<std::mutex> g(gLock);
    return gStack.size();
}

bool CacheOpen() {
    std::lock_guard<std::mutex> g(gLock);
    gOpen = true;
    gStack.reserve(kCacheMax);
    return true;
}

void CacheClose() {
    std::vector<std::pair<uint32_t, unsigned char*>> pairs;
    {
        std::lock_guard<std::mutex> g(gLock);
        gOpen = false;
        pairs.swap(gStack);
    }
    for (auto& p : pairs)
        FreePair(p.first, p.second);
}

void CacheLock() {
    gLock.lock();
}
void CacheUnlock() {
    gLock.unlock();
}

void FreePair(uint32_t context, unsigned char* buffer) {
    DDCFreeContext(context);
    std::free(buffer);
}

} // namespace kdx

extern "C" int GetCachedContext(uint32_t* context, unsigned char** workBuffer) {
    if (context == nullptr || workBuffer == nullptr) return KDX_ERR_NO_MEMORY;
    for (;;) {
        std::pair<uint32_t, unsigned char*> top;
        {
            std::lock_guard<std::mutex> g(kdx::gLock);
            if (!kdx::gOpen) return kdx::kErrNotLoggedIn; // not started, failed or shut down
            if (kdx::gStack.empty()) break;
            top = kdx::gStack.back();
            kdx::gStack.pop_back();
        }
        // A copy whose login object has been removed (and perhaps made again)
        // has no rights left: drop it, so that the copy below logs in afresh.
        if (DDCAuthenticateConnection(top.first) != 0) {
            kdx::FreePair(top.first, top.second);
            ++kdx::gDestroyed;
            continue;
        }
        *context = top.first;
        *workBuffer = top.second;
        ++kdx::gRetrieved;
        return 0;
    }

    uint32_t copy = 0;
    int err = DDCDuplicateContext(__atomic_load_n(&AuthContext, __ATOMIC_ACQUIRE), &copy);
    if (err != 0) {
        // The login context went bad (the session ended): log in afresh. Under
        // the lock, so that threads failing together log in one after another.
        std::lock_guard<std::mutex> g(kdx::gLock);
        DDCLogout(AuthContext);
        DDCFreeContext(AuthContext);
        if (AuthenticateKDX()) err = DDCDuplicateContext(AuthContext, &copy);
    }
    __atomic_store_n(&KDXTGid, 1, __ATOMIC_RELAXED);
    if (err != 0) return err; // no buffer for a context that was never made
    auto* buffer = static_cast<unsigned char*>(std::malloc(KDX_WORK_BUFFER_SIZE));
    if (buffer == nullptr) {
        DDCFreeContext(copy);
        return KDX_ERR_NO_MEMORY;
    }
    ++kdx::gAdded;
    *context = copy;
    *workBuffer = buffer;
    return 0;
}

extern "C" void ReleaseCachedContext(uint32_t context, unsigned char* workBuffer, int reset) {
    auto destroy = [&] {
        kdx::FreePair(context, workBuffer);
        ++kdx::gDestroyed;
    };
    bool room;
    {
        std::lock_guard<std::mutex> g(kdx::gLock);
        room = kdx::gOpen && kdx::gStack.size() < kdx::kCacheMax;
    }
    if (!room) {
        destroy();
        return;
    }
    if (reset) {
        // Reset outside the lock: the lock is never held across a directory call.
        char root[KDX_TREE_NAME_SIZE + 1];
        std::snprintf(root, sizeof root, "\\%s", kdx::gTreeName);
        if (DDCSetContextBaseDN(context, root, DDCSlashDelims) != 0) {
            kdx::FreePair(context, workBuffer); // not counted: it never reached the cache
            return;
        }
    }
    {
        std::lock_guard<std::mutex> g(kdx::gLock);
        if (kdx::gOpen && kdx::gStack.size() < kdx::kCacheMax) {
            kdx::gStack.emplace_back(context, workBuffer);
            ++kdx::gReleased;
            return;
        }
    }
    destroy(); // filled up meanwhile
}

extern "C" int KDXOpenConnectionToServer(const char* serverName, uint32_t* context,
                                         unsigned char** workBuffer) {
    if (serverName == nullptr || context == nullptr || workBuffer == nullptr) return 0;
    uint32_t ctx;
    unsigned char* buf;
    if (GetCachedContext(&ctx, &buf) != 0) return 0;
    DDCSetContextFlags(ctx, 0, DDC_CTX_UNICODE | DDC_CTX_RESERVED);
    if (DDCConnectToServerByName(ctx, serverName) != 0 || DDCAuthenticateConnection(ctx) != 0) {
        // The pair goes back here, so a failed open leaves the caller nothing to release.
        DDCSetContextFlags(ctx, DDC_CTX_UNICODE, DDC_CTX_RESERVED);
        ReleaseCachedContext(ctx, buf, 0);
        return 0;
    }
    *context = ctx;
    *workBuffer = buf;
    return 1;
}

extern "C" int KDXCloseConnectionToServer(uint32_t context, unsigned char* workBuffer) {
    kdx::Debugf("KDXCloseConnectionToServer:Deleting handle [%d]\n", static_cast<int>(context));
    DDCSetContextFlags(context, DDC_CTX_UNICODE, DDC_CTX_RESERVED);
    ReleaseCachedContext(context, workBuffer, 0);
    return 1;
}

extern "C" int KDXGetTWPExtensionInfoByName(uint32_t context, const char* name, uint32_t* number,
                                            uint8_t* info1, uint8_t* info2, uint8_t* info3) {
    if (name == nullptr) return 0;
    size_t n = std::strlen(name);
    if (n > 255) return 0; // the length travels in one byte
    unsigned char req[4 + 256];
    req[0] = static_cast<unsigned char>(n >> 8);
    req[1] = static_cast<unsigned char>(n & 0xFF);
    req[2] = 2;
    req[3] = static_cast<unsigned char>(n);
    std::memcpy(req + 4, name, n + 1);
    unsigned char reply[296] = {};
    size_t replyLen = 0;
    if (DDCTWPRequest(context, 36, n + 2, req, sizeof reply, reply, &replyLen) != 0) return 0;
    if (replyLen < 7) return 0;
    if (number != nullptr) std::memcpy(number, reply, 4);
    if (info1 != nullptr) *info1 = reply[4];
    if (info2 != nullptr) *info2 = reply[5];
    if (info3 != nullptr) *info3 = reply[6];
    return 1;
}

extern "C" int KDXTWPExtensionRequest(uint32_t context, uint32_t extension, const void* data,
                                      uint32_t dataLength, void* reply, uint32_t* replyLength) {
    constexpr size_t kReplySize = 530, kReplyOffset = 6;
    if (replyLength == nullptr || (dataLength > 0 && data == nullptr)) return 0;
    if (dataLength > 0xFFFF - 6) return 0; // the length travels in 16 bits
    std::vector<unsigned char> req(10 + dataLength);
    uint32_t total = dataLength + 6;
    req[0] = static_cast<unsigned char>(total >> 8);
    req[1] = static_cast<unsigned char>(total & 0xFF);
    std::memcpy(&req[4], &extension, 4);
    uint16_t want =
        static_cast<uint16_t>(std::min<uint32_t>(*replyLength, kReplySize - kReplyOffset));
    std::memcpy(&req[8], &want, 2);
    if (dataLength > 0) std::memcpy(&req[10], data, dataLength);
    unsigned char buf[kReplySize] = {};
    size_t got = 0;
    if (DDCTWPRequest(context, 37, dataLength + 8, req.data(), kReplySize, buf, &got) != 0)
        return 0;
    if (got < kReplyOffset) return 0;
    uint16_t len;
    std::memcpy(&len, buf + 4, 2);
    // Copy no more than the reply holds and the caller has room for.
    if (len > got - kReplyOffset || len > *replyLength || (len > 0 && reply == nullptr)) return 0;
    if (len > 0) std::memcpy(reply, buf + kReplyOffset, len);
    *replyLength = len;
    return 1;
}

extern "C" void KDXOpenStream(void) {}
extern "C" void KDXReadStream(void) {}
extern "C" void KDXWriteStream(void) {}
extern "C" void KDXCloseStream(void) {}
