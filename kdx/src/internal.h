// Library-internal state and helpers shared by the kdx sources.
#ifndef KDX_INTERNAL_H
#define KDX_INTERNAL_H

#include "kdx.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kdx {

// Capacities of the two parts of a context's work buffer.
constexpr size_t kNameBytes = KDX_ATTR_BUFFER_OFFSET;
constexpr size_t kAttrBytes = KDX_WORK_BUFFER_SIZE - KDX_ATTR_BUFFER_OFFSET;
constexpr size_t kNameUnits = kNameBytes / 2;
constexpr size_t kAttrUnits = kAttrBytes / 2;
constexpr size_t kCacheMax = 1000;

// Module state (startup.cpp).
extern char gTreeName[KDX_TREE_NAME_SIZE];
extern char gServerDN[KDX_SERVER_DN_SIZE];
extern char gReplicaName[KDX_SERVER_DN_SIZE];

// Decodes one UTF-8 character from in[0..len): bytes consumed, or 0 when the
// sequence is malformed.
int DecodeOne(const unsigned char* in, size_t len, uint16_t* out);
// Bounded conversions: units / bytes written without the terminating zero, or
// KDX_ERR_NO_CHARACTER_MAPPING / KDX_ERR_INSUFFICIENT_BUFFER (nothing usable written).
int ToUtf16(std::string_view utf8, uint16_t* out, size_t outUnits);
int ToUtf8(const uint16_t* in, size_t inUnits, char* out, size_t outBytes);

inline uint16_t* Units(unsigned char* p) {
    return reinterpret_cast<uint16_t*>(p);
}

// Context cache (cache.cpp).
struct CacheStats {
    int retrieved, added, released, destroyed;
};
CacheStats ReadCacheStats();
size_t CacheSize();
bool CacheOpen();  // make the cache lock (start-up)
void CacheClose(); // free every cached pair and the lock
void CacheLock();  // the re-login of a failed context copy runs under it
void CacheUnlock();
void FreePair(uint32_t context, unsigned char* buffer);

// Forms the UTF-16 base name of a value structure ("\tree\name", "\tree" or a
// full name) into out. Returns 0 or a KDX_ERR_* code.
int FormBase(const char* name, uint16_t* out, size_t outUnits);

// Console diagnostics, only while Debug is on.
void Debugf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The steps every operation on a named object starts with: convert the name
// into the structure's name buffer, resolve it with flags and authenticate.
// Debug messages name the call site.
bool PrepareObject(KDXValueStruct* vs, const char* object, uint32_t flags, int site);
// Converts text into out (outUnits UTF-16 units); records a failure in vs->Error.
bool ConvertInto(KDXValueStruct* vs, const char* text, uint16_t* out, size_t outUnits);
bool HasContext(const KDXValueStruct* vs);

bool IsReady();
bool LoadFlag(const int32_t& flag);
void StoreFlag(int32_t& flag, int32_t value);

} // namespace kdx

#endif
