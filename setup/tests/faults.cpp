// The interposed directory calls of faults.h: definitions in the program take
// precedence over the shared library's, which they call through RTLD_NEXT.
#include "faults.h"

#include "pdksa.h"

#include <dlfcn.h>

#include <cstring>

namespace quilltest::faults {
int generateKeyPair = 0;
int aclModification = 0;
int resolve = 0;
std::string resolveName;
} // namespace quilltest::faults

namespace {
template <class F> F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

using namespace quilltest;

extern "C" int DDCGenerateKeyPair(DDCContextHandle ctx, const void* password) {
    if (faults::generateKeyPair) return faults::generateKeyPair;
    static auto real = Next<int (*)(DDCContextHandle, const void*)>("DDCGenerateKeyPair");
    return real(ctx, password);
}

extern "C" int DDCModifyEntry(DDCContextHandle ctx, uint32_t n, const DDCEntry* entries) {
    if (faults::aclModification)
        for (uint32_t i = 0; i < n; ++i)
            if (entries[i].attrName &&
                std::strcmp(static_cast<const char*>(entries[i].attrName), "ACL") == 0)
                return faults::aclModification;
    static auto real = Next<int (*)(DDCContextHandle, uint32_t, const DDCEntry*)>("DDCModifyEntry");
    return real(ctx, n, entries);
}

extern "C" int DDCResolveName(DDCContextHandle ctx, uint32_t flags, const void* name) {
    if (faults::resolve && name && faults::resolveName == static_cast<const char*>(name))
        return faults::resolve;
    static auto real = Next<int (*)(DDCContextHandle, uint32_t, const void*)>("DDCResolveName");
    return real(ctx, flags, name);
}
