// Shared internals of the directory client: contexts and the helpers that
// the call families (names and reads, changes, schema, raw requests) share.
#pragma once

#include "pdksa.h"
#include "store.h"
#include "text.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace pdksa {

struct Ctx {
    std::mutex mu; // serialises calls on one context
    std::shared_ptr<Store> store;
    uint32_t flags = 0;
    std::vector<std::string> base; // display components, root first
    int64_t current = 0;           // resolved object
    int64_t identity = 0;          // logged-in object
    bool maintenance = false;      // administrator through file access
    bool readOnly = false;         // maintenance that may read but not change
    int codepage = 0, country = 0;
    // Continuation of the batch reads and lists.
    static constexpr int kIterRead = 1, kIterList = 2;
    int iterKind = 0;
    int64_t iterObj = 0;
    std::string iterKey;
    size_t iterPos = 0;
    std::string iterLast; // lists continue after this folded name

    bool Unicode() const { return (flags & DDC_CTX_UNICODE) != 0; }
    bool LoggedIn() const { return identity != 0 || maintenance; }
    void ResetIter() { iterKind = 0, iterObj = 0, iterKey.clear(), iterPos = 0, iterLast.clear(); }
    // A batch read or list (kind) with this key on the current
    // object goes on where it stopped; anything else starts over.
    void StartIter(int kind, const std::string& key) {
        if (iterKind == kind && iterObj == current && iterKey == key) return;
        ResetIter();
        iterKind = kind, iterObj = current, iterKey = key;
    }
};

std::shared_ptr<Ctx> FindCtx(DDCContextHandle h);
DDCContextHandle AddCtx(std::shared_ptr<Ctx> c);
bool RemoveCtx(DDCContextHandle h);

// Runs f(ctx) with the context locked; exceptions become result codes.
template <class F> int WithCtx(DDCContextHandle h, F&& f) {
    auto c = FindCtx(h);
    if (!c) return DDCERR_INVALID_CONTEXT;
    std::lock_guard lock(c->mu);
    try {
        return f(*c);
    } catch (const std::bad_alloc&) {
        return DDCERR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return DDCERR_SYSTEM_FAILURE;
    }
}

// Reads a zero-ended string of the context's form into UTF-8, reading at
// most maxUnits + 1 units. tooLong is the code for a string without a zero
// within that bound.
int InStr(const Ctx& c, const void* p, std::string& out, size_t maxUnits, int tooLong);
// Same with a given length in units (0: up to the zero).
int InStrN(const Ctx& c, const void* p, uint32_t length, std::string& out, size_t maxUnits,
           int tooLong);
// Encoded size (bytes, with the zero) of s in the context's form.
size_t OutSize(const Ctx& c, std::string_view s);
// Writes s with its zero at dst (outSize bytes).
void OutWrite(const Ctx& c, std::string_view s, unsigned char* dst);
size_t OutUnits(const Ctx& c, std::string_view s);

// Absolute components of a parsed name under the context's base.
std::vector<std::string> Absolute(const Ctx& c, const ParsedName& n);
// Reads and parses a name given in the context's form.
int ParseNameIn(const Ctx& c, const void* name, ParsedName& out);
// Parses and resolves a name given in the context's form.
int ResolveIn(Ctx& c, Conn& conn, const void* name, int64_t& id);
// Resolves absolute components.
int Lookup(Conn& conn, const std::vector<std::string>& comps, int64_t& id);
int ResolveText(Ctx& c, Conn& conn, const std::string& name, int64_t& id);
// How a stored object's path is given back: relative below the base.
std::string OutName(const Ctx& c, const std::string& path);

// Folded names of the object's classes, most specific first.
int ObjClasses(Conn& conn, int64_t id, std::vector<std::string>& out);

struct Rights {
    bool all = false;
    uint32_t entry = 0, attrAll = 0;
    std::unordered_map<std::string, uint32_t> attr;
    bool CanWrite(const std::string& lattr) const;
    bool EntryRight(uint32_t bit) const { return all || (entry & bit) != 0; }
};
int RightsOn(const Ctx& c, Conn& conn, int64_t obj, Rights& r);
// 0 unless the context is logged in as an object that has since been removed:
// then DDCERR_NOT_LOGGED_IN, for every call that needs the login. Ids are
// never reused, so an id that still exists is still the same object.
int SessionCheck(const Ctx& c, Conn& conn);
int IsTreeAdmin(const Ctx& c, Conn& conn, bool& admin);

} // namespace pdksa
