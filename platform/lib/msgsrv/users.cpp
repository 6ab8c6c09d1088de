// Directory part of the message-server support library: this server's
// identity, the REVO server addresses of agents, the look-up of local users
// and the source-revision register.
//
// The messaging model in the directory:
//  - a user is an object of class "User" with "Velmora:EMail Address" values
//    (compared without regard to case);
//  - the user's messaging server is the "Velmora:Messaging Server" object one
//    of whose "Velmora:Context" values names the user's container or one of
//    its ancestors (the nearest wins);
//  - a messaging server's REVO address is the "Network Address" (dotted
//    IPv4, or "tcp:IPv4:port") of the object its "Velmora:Host" names.
// Look-ups run against an in-memory index of the directory, rebuilt when it
// is older than kIndexMaxAge, and on a miss (an unknown address, or a user no
// server serves) when older than kMissMinAge, so that a user added to the
// directory, or a container a server takes on, is found within a second.
#include "ascii.h"
#include "kdx.h"
#include "msgsrv.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIndexMaxAge = std::chrono::seconds(30);
constexpr auto kMissMinAge = std::chrono::seconds(1);
constexpr int kMaxDepth = 64;
// Containers whose subordinates may hold users or messaging servers.
constexpr const char* kContainerClasses[] = {"Organization", "Organizational Unit",
                                             "Velmora:Services"};

// Canonical form of a full name for comparisons: lower case, component
// types ("OU=") dropped, no trailing backslash.
std::string NormalizeName(std::string_view dn) {
    std::string out;
    size_t i = 0;
    while (i < dn.size()) {
        size_t end = dn.find('\\', i);
        if (end == std::string_view::npos) end = dn.size();
        std::string_view comp = dn.substr(i, end - i);
        size_t eq = comp.find('=');
        if (eq != std::string_view::npos && eq > 0 && eq <= 8) comp.remove_prefix(eq + 1);
        if (!comp.empty()) {
            out += '\\';
            for (char c : comp)
                out += arbor::AsciiLower(c);
        }
        i = end + 1;
    }
    return out;
}

std::string ParentName(std::string_view dn) {
    size_t cut = dn.rfind('\\');
    return cut == std::string_view::npos ? std::string() : std::string(dn.substr(0, cut));
}

// An address as recipients write it: "<a@b>", "mailto:a@b", any case.
std::string NormalizeAddress(std::string_view a) {
    while (!a.empty() && (a.front() == ' ' || a.front() == '<'))
        a.remove_prefix(1);
    while (!a.empty() && (a.back() == ' ' || a.back() == '>'))
        a.remove_suffix(1);
    std::string out;
    for (char c : a)
        out += arbor::AsciiLower(c);
    if (out.rfind("mailto:", 0) == 0) out.erase(0, 7);
    return out;
}

bool ParseIPv4(const char* text, uint32_t& out) {
    in_addr a{};
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return false;
    out = a.s_addr;
    return true;
}

// Values appended to vs since index `from`, copied out and removed again.
std::vector<std::string> TakeValues(KDXValueStruct* vs, uint32_t from) {
    std::vector<std::string> out;
    for (uint32_t i = from; i < vs->Used; ++i)
        out.emplace_back(vs->Value[i]);
    while (vs->Used > from)
        KDXFreeValue(from, vs);
    return out;
}

// A "Network Address" value: dotted IPv4, or the "tcp:ADDRESS:PORT" form
// that directory tools also write (the port is the REVO port, not kept).
bool NetworkAddress(const std::string& value, uint32_t& ip) {
    if (ParseIPv4(value.c_str(), ip)) return true;
    if (value.size() > 4 &&
        (value.compare(0, 4, "tcp:") == 0 || value.compare(0, 4, "TCP:") == 0)) {
        const size_t colon = value.rfind(':');
        return colon > 4 && ParseIPv4(value.substr(4, colon - 4).c_str(), ip);
    }
    return false;
}

// First usable "Network Address" of the object named host.
bool HostAddress(const std::string& host, KDXValueStruct* vs, uint32_t& ip) {
    const uint32_t base = vs->Used;
    KDXRead(host.c_str(), "Network Address", vs);
    for (const auto& v : TakeValues(vs, base))
        if (NetworkAddress(v, ip)) return true;
    return false;
}

// The REVO address of a messaging server object.
bool ServerAddress(const std::string& server, KDXValueStruct* vs, uint32_t& ip) {
    const uint32_t base = vs->Used;
    KDXReadDN(server.c_str(), "Velmora:Host", vs);
    for (const auto& host : TakeValues(vs, base))
        if (HostAddress(host, vs, ip)) return true;
    return false;
}

struct User {
    std::string name;      // full name
    std::string container; // normalized full name of its container
};

struct Index {
    std::unordered_map<std::string, User> users;        // by normalized address
    std::unordered_map<std::string, uint32_t> contexts; // normalized container -> IPv4
    Clock::time_point built{};
};

class IndexBuilder {
  public:
    explicit IndexBuilder(Index& index) : index_(index) {}
    void Run() {
        char tree[KDX_TREE_NAME_SIZE] = "";
        char server[KDX_SERVER_DN_SIZE] = "";
        if (!ORBGetServerDN(tree, server) || tree[0] == '\0') return;
        KDXValueStruct vs{};
        if (KDXInitValueStruct(nullptr, &vs) == nullptr) return;
        Walk(std::string("\\") + tree, &vs, 0);
        KDXDestroyValueStruct(&vs);
    }

  private:
    std::vector<std::string> List(const std::string& container, const char* cls,
                                  KDXValueStruct* vs) {
        const uint32_t base = vs->Used;
        KDXEnumerateObjects(container.c_str(), cls, nullptr, vs);
        return TakeValues(vs, base);
    }
    void Walk(const std::string& container, KDXValueStruct* vs, int depth) {
        if (depth > kMaxDepth) return;
        const std::string norm = NormalizeName(container);
        for (const auto& name : List(container, "User", vs)) {
            const std::string full = container + "\\" + name;
            const uint32_t base = vs->Used;
            KDXRead(full.c_str(), "Velmora:EMail Address", vs);
            for (const auto& address : TakeValues(vs, base))
                index_.users.emplace(NormalizeAddress(address), User{full, norm});
        }
        for (const auto& name : List(container, "Velmora:Messaging Server", vs)) {
            const std::string full = container + "\\" + name;
            uint32_t ip;
            if (!ServerAddress(full, vs, ip)) continue;
            const uint32_t base = vs->Used;
            KDXReadDN(full.c_str(), "Velmora:Context", vs);
            for (const auto& ctx : TakeValues(vs, base))
                index_.contexts.emplace(NormalizeName(ctx), ip);
        }
        for (const char* cls : kContainerClasses)
            for (const auto& name : List(container, cls, vs))
                Walk(container + "\\" + name, vs, depth + 1);
    }
    Index& index_;
};

std::mutex gIndexMu; // guards gIndex (the pointer)
std::shared_ptr<const Index> gIndex;
std::mutex gBuildMu; // one rebuild at a time

std::shared_ptr<const Index> CurrentIndex() {
    std::lock_guard lock(gIndexMu);
    return gIndex;
}

// Rebuilds unless another thread is doing so (it then keeps the old index)
// or wait is set (it then waits for that rebuild).
std::shared_ptr<const Index> Rebuild(bool wait) {
    std::unique_lock build(gBuildMu, std::defer_lock);
    if (wait)
        build.lock();
    else if (!build.try_lock())
        return CurrentIndex();
    auto fresh = std::make_shared<Index>();
    IndexBuilder(*fresh).Run();
    fresh->built = Clock::now();
    std::lock_guard lock(gIndexMu);
    gIndex = fresh;
    return fresh;
}

// A user found with the REVO address of the nearest container, going up,
// that a messaging server serves; user is null when there is none.
struct Match {
    const User* user = nullptr;
    uint32_t ip = 0;
};

Match FindInIndex(const Index& index, const std::string& key) {
    auto user = index.users.find(key);
    if (user == index.users.end()) return {};
    for (std::string c = user->second.container;; c = ParentName(c)) {
        if (auto hit = index.contexts.find(c); hit != index.contexts.end())
            return {&user->second, hit->second};
        if (c.empty()) return {};
    }
}

struct Revision {
    std::string source, revision;
};
std::mutex gRevisionMu;
std::vector<Revision> gRevisions;

// MSGGetServerDN: the configuration file's server object name, and the
// messaging server it names once the directory could be read.
std::once_flag gConfOnce;
char gServerObject[KDX_SERVER_DN_SIZE] = "";
std::mutex gServerDNMu;
std::atomic<bool> gServerDNKnown{false};
char gMessagingServer[KDX_SERVER_DN_SIZE] = "";

} // namespace

extern "C" int MSGSrvInit(void) {
    std::call_once(gConfOnce, [] {
        if (!ORBGetServerDN(nullptr, gServerObject)) gServerObject[0] = '\0';
    });
    return 1;
}

extern "C" int RegisterSourceFileRevision(const char* source, const char* revision) {
    if (source == nullptr || revision == nullptr) return 0;
    std::lock_guard lock(gRevisionMu);
    for (auto& r : gRevisions)
        if (r.source == source) {
            r.revision = revision;
            return 1;
        }
    gRevisions.push_back({source, revision});
    return 1;
}

extern "C" const char* MSGGetServerDN(const char* /*unused*/) {
    if (gServerDNKnown.load(std::memory_order_acquire)) return gMessagingServer;
    MSGSrvInit();
    // Before the directory login the messaging server cannot be known yet:
    // answer with the server object's name without fixing it for the run.
    if (!KDXReady) return gServerObject;
    std::lock_guard lock(gServerDNMu);
    if (!gServerDNKnown.load(std::memory_order_relaxed)) {
        std::string found;
        KDXValueStruct vs{};
        if (gServerObject[0] != '\0' && KDXInitValueStruct(nullptr, &vs) != nullptr) {
            if (KDXReadDN(gServerObject, "Velmora:Messaging Server", &vs) > 0 && vs.Used > 0)
                found = vs.Value[0];
            KDXDestroyValueStruct(&vs);
        }
        const std::string& use = found.empty() ? std::string(gServerObject) : found;
        std::snprintf(gMessagingServer, sizeof gMessagingServer, "%s", use.c_str());
        gServerDNKnown.store(true, std::memory_order_release);
    }
    return gMessagingServer;
}

extern "C" int MSGReadIP(const char* object, const char* attribute, struct KDXValueStruct* vs) {
    if (object == nullptr || attribute == nullptr || vs == nullptr) return 0;
    const uint32_t base = vs->Used;
    KDXReadDN(object, attribute, vs);
    std::vector<uint32_t> seen;
    int found = 0;
    for (const auto& agent : TakeValues(vs, base)) {
        // The agent's messaging server is its parent object.
        const std::string server = ParentName(agent);
        uint32_t ip;
        if (server.empty() || !ServerAddress(server, vs, ip)) continue;
        bool dup = false;
        for (uint32_t s : seen)
            dup |= s == ip;
        if (dup) continue;
        seen.push_back(ip);
        char text[INET_ADDRSTRLEN];
        in_addr a{};
        a.s_addr = ip;
        if (inet_ntop(AF_INET, &a, text, sizeof text) && KDXAddValue(text, vs)) ++found;
    }
    return found;
}

extern "C" int MSGFindUser(const char* recipient, char* name, int /*flags*/, uint32_t* storeAddress,
                           struct KDXValueStruct* vs) {
    if (recipient == nullptr || recipient[0] == '\0') return 0;
    const std::string key = NormalizeAddress(recipient);
    auto index = CurrentIndex();
    const auto now = Clock::now();
    if (!index)
        index = Rebuild(true);
    else if (now - index->built > kIndexMaxAge)
        index = Rebuild(false);
    Match m = FindInIndex(*index, key);
    // A user the index does not know, or knows without a serving server,
    // may have been added since: look again in a fresh index.
    if (m.user == nullptr && now - index->built > kMissMinAge) {
        index = Rebuild(false);
        m = FindInIndex(*index, key);
    }
    if (m.user == nullptr) return 0;
    if (storeAddress) *storeAddress = m.ip;
    if (name) std::snprintf(name, 256, "%s", m.user->name.c_str());
    if (vs != nullptr && (vs->Flags & KDX_VS_HAS_CONTEXT)) {
        char text[INET_ADDRSTRLEN];
        in_addr a{};
        a.s_addr = m.ip;
        KDXAddValue(m.user->name.c_str(), vs);
        if (inet_ntop(AF_INET, &a, text, sizeof text)) KDXAddValue(text, vs);
    }
    return 1;
}
