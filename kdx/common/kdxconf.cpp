// The configuration file rule shared by libkdx and the setup tool.
#include "kdxcommon.h"

#include "ascii.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kTreeKey = "orb.base.tree-name=";
constexpr std::string_view kServerKey = "orb.arbor.server-name=";
constexpr std::string_view kContextKey = "orb.arbor.server-context=";

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Reads one line without its line feed. Keeps at most `cap` bytes of it and
// reports through `overlong` that more followed, so that the tail of a long
// line is never taken for a line of its own.
bool ReadLine(FILE* f, std::string& line, size_t cap, bool& overlong) {
    line.clear();
    overlong = false;
    int c;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n') return true;
        if (line.size() < cap)
            line.push_back(static_cast<char>(c));
        else
            overlong = true;
    }
    return any;
}

bool CopyOut(std::string_view value, char* out, size_t size) {
    if (out == nullptr) return true;
    if (value.size() + 1 > size) return false;
    std::memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
    return true;
}

} // namespace

extern "C" const char* KDXConfPath(void) {
    const char* env = std::getenv("ARBOR_CONF");
    return (env != nullptr && *env != '\0') ? env : "/etc/arbor.conf";
}

extern "C" int KDXConfContextPath(const char* context, char* out, size_t outSize) {
    if (out == nullptr || outSize == 0) return -1;
    std::string_view ctx = context != nullptr ? context : "";

    // Split at dots that are neither escaped nor the first character.
    std::string parts[64];
    size_t nparts = 0;
    std::string cur;
    for (size_t i = 0; i < ctx.size(); ++i) {
        char c = ctx[i];
        if (c == '\\' && i + 1 < ctx.size() && ctx[i + 1] == '.') {
            cur.push_back('.'); // an escaped dot is part of the name
            ++i;
            continue;
        }
        if (c == '.' && i != 0) {
            if (nparts == std::size(parts)) return -1;
            parts[nparts++] = std::move(cur);
            cur.clear();
            continue;
        }
        cur.push_back(c);
    }
    if (nparts == std::size(parts)) return -1;
    parts[nparts++] = std::move(cur);

    std::string path = "\\";
    for (size_t i = nparts; i-- > 0;) {
        std::string_view p = parts[i];
        size_t eq = p.find('=');
        if (eq != std::string_view::npos) p.remove_prefix(eq + 1);
        if (p.empty()) continue; // "a..b" or a bare type: no empty component
        path.append(p);
        path.push_back('\\');
    }
    if (path.size() + 1 > outSize) return -1;
    std::memcpy(out, path.data(), path.size() + 1);
    return static_cast<int>(path.size());
}

extern "C" int KDXConfReadServerDN(const char* path, char* tree, size_t treeSize, char* serverDN,
                                   size_t serverDNSize) {
    if (path == nullptr) path = KDXConfPath();
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "r"));
    if (!f) return 0;

    std::string treeName, serverName, serverContext;
    int seenTree = 0, seenServer = 0, seenContext = 0;
    std::string line;
    bool overlong = false;
    while (ReadLine(f.get(), line, KDX_CONF_LINE_MAX, overlong)) {
        if (size_t cr = line.rfind('\r'); cr != std::string::npos) line.resize(cr);
        std::string_view key;
        std::string* target = nullptr;
        int* seen = nullptr;
        if (arbor::StartsWithNoCase(line, kTreeKey)) {
            key = kTreeKey, target = &treeName, seen = &seenTree;
        } else if (arbor::StartsWithNoCase(line, kServerKey)) {
            key = kServerKey, target = &serverName, seen = &seenServer;
        } else if (arbor::StartsWithNoCase(line, kContextKey)) {
            key = kContextKey, target = &serverContext, seen = &seenContext;
        } else {
            continue; // other lines (the store path among them) are not ours
        }
        // A truncated key line would yield a wrong name: refuse the file.
        if (overlong) return 0;
        size_t pos = key.size();
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        *target = line.substr(pos);
        ++*seen;
    }
    if (std::ferror(f.get())) return 0;
    // Exactly one of each key: a repeated key must not stand in for a missing one.
    if (seenTree != 1 || seenServer != 1 || seenContext != 1) return 0;

    char ctxPath[KDX_SERVER_DN_SIZE];
    if (KDXConfContextPath(serverContext.c_str(), ctxPath, sizeof ctxPath) < 0) return 0;
    std::string dn = "\\";
    dn += treeName;
    dn += ctxPath;
    dn += serverName;

    // Check both sizes first, so that a failure leaves both buffers untouched.
    if (tree != nullptr && treeName.size() + 1 > treeSize) return 0;
    if (serverDN != nullptr && dn.size() + 1 > serverDNSize) return 0;
    CopyOut(treeName, tree, treeSize);
    CopyOut(dn, serverDN, serverDNSize);
    return 1;
}
