// Value structures: a context copy, its work buffer, a base name and a growing
// list of UTF-8 values.
#include "internal.h"

#include <pdksa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>

namespace {

constexpr uint32_t kGrowBy = 20;

void FreeList(KDXValueStruct* vs) {
    for (uint32_t i = 0; i < vs->Used; ++i)
        std::free(vs->Value[i]);
    std::free(static_cast<void*>(vs->Value));
    vs->Value = nullptr;
    vs->Used = vs->Allocated = 0;
}

} // namespace

namespace kdx {

int FormBase(const char* name, uint16_t* out, size_t outUnits) {
    std::string base;
    if (name != nullptr && name[0] == '\\') {
        base = name;
    } else {
        base = "\\";
        base += gTreeName;
        if (name != nullptr) {
            base += '\\';
            base += name;
        }
    }
    int n = ToUtf16(base, out, outUnits);
    return n < 0 ? n : 0;
}

} // namespace kdx

extern "C" KDXValueStruct* KDXInitValueStruct(const char* baseName, KDXValueStruct* vs) {
    bool allocated = false;
    if (vs == nullptr) {
        vs = static_cast<KDXValueStruct*>(std::calloc(1, sizeof(KDXValueStruct)));
        if (vs == nullptr) {
            syslog(LOG_ERR, "Out of memory!\n");
            return nullptr;
        }
        allocated = true;
    } else {
        std::memset(vs, 0, sizeof *vs);
    }
    if (allocated) vs->Flags = KDX_VS_ALLOCATED;

    int err = GetCachedContext(&vs->Context, &vs->NameBuffer);
    if (err != 0) {
        syslog(LOG_ERR, "DDCDuplicateContext failed with code %d", err);
        if (allocated)
            std::free(vs);
        else
            vs->Error = err;
        return nullptr;
    }
    vs->AttrBuffer = vs->NameBuffer + KDX_ATTR_BUFFER_OFFSET;
    DDCSetContextFlags(vs->Context, DDC_CTX_UNICODE, DDC_CTX_RESERVED);
    vs->Flags |= KDX_VS_HAS_CONTEXT;

    err = kdx::FormBase(baseName, kdx::Units(vs->NameBuffer), kdx::kNameUnits);
    if (err == 0) err = DDCSetContextBaseDN(vs->Context, kdx::Units(vs->NameBuffer), nullptr);
    if (err == 0) {
        if (baseName != nullptr) vs->Flags |= KDX_VS_BASE_SET;
        return vs;
    }
    syslog(LOG_ERR, "[%d] DDCSetContextBaseDN %s failed", 101, baseName ? baseName : "(null)");
    // The context goes back (reset or freed) rather than being lost with the structure.
    ReleaseCachedContext(vs->Context, vs->NameBuffer, 1);
    if (allocated) {
        std::free(vs);
    } else {
        std::memset(vs, 0, sizeof *vs);
        vs->Error = err;
    }
    return nullptr;
}

extern "C" int KDXSetValueStructContext(const char* baseName, KDXValueStruct* vs) {
    if (vs == nullptr || !(vs->Flags & KDX_VS_HAS_CONTEXT)) return 0;
    const char* name = baseName;
    if (name != nullptr && name[0] != '\0')
        vs->Flags |= KDX_VS_BASE_SET;
    else
        name = nullptr;
    int err = kdx::FormBase(name, kdx::Units(vs->NameBuffer), kdx::kNameUnits);
    if (err == 0) err = DDCSetContextBaseDN(vs->Context, kdx::Units(vs->NameBuffer), nullptr);
    if (err != 0) {
        syslog(LOG_ERR, "[%d] DDCSetContextBaseDN %s failed", 102, baseName ? baseName : "(null)");
        vs->Error = err;
        return 0;
    }
    return 1;
}

extern "C" KDXValueStruct* KDXShareContext(KDXValueStruct* newVs, KDXValueStruct* source) {
    bool allocated = false;
    if (newVs == nullptr) {
        newVs = static_cast<KDXValueStruct*>(std::calloc(1, sizeof(KDXValueStruct)));
        if (newVs == nullptr) {
            syslog(LOG_ERR, "[%d] Out of memory!\n", 103);
            return nullptr;
        }
        allocated = true;
        newVs->Flags = KDX_VS_ALLOCATED;
    } else {
        std::memset(newVs, 0, sizeof *newVs);
    }
    if (source != nullptr && (source->Flags & KDX_VS_HAS_CONTEXT)) {
        newVs->Flags |= KDX_VS_HAS_CONTEXT | KDX_VS_SHARED;
        newVs->Context = source->Context;
        newVs->NameBuffer = source->NameBuffer;
        newVs->AttrBuffer = source->AttrBuffer;
        return newVs;
    }
    if (allocated) std::free(newVs);
    return nullptr;
}

extern "C" int KDXDestroyValueStruct(KDXValueStruct* vs) {
    if (vs == nullptr || !(vs->Flags & KDX_VS_HAS_CONTEXT)) return 0;
    if (!(vs->Flags & KDX_VS_SHARED))
        ReleaseCachedContext(vs->Context, vs->NameBuffer, (vs->Flags & KDX_VS_BASE_SET) ? 1 : 0);
    if (vs->Flags & KDX_VS_ALLOCATED) {
        FreeList(vs);
        std::free(vs);
    } else {
        FreeList(vs);
        std::memset(vs, 0, sizeof *vs);
    }
    return 1;
}

extern "C" int KDXAddValue(const char* text, KDXValueStruct* vs) {
    if (vs == nullptr || text == nullptr || text[0] == '\0') return 0;
    if (vs->Allocated < vs->Used + 1) {
        uint32_t slots = vs->Allocated + kGrowBy;
        void* grown = std::realloc(static_cast<void*>(vs->Value), slots * sizeof(char*));
        if (grown == nullptr) {
            // The list is dropped whole, its values freed rather than lost.
            FreeList(vs);
            return 0;
        }
        vs->Value = static_cast<char**>(grown);
        vs->Allocated = slots;
    }
    char* copy = strdup(text);
    if (copy == nullptr) return 0;
    vs->Value[vs->Used++] = copy;
    return 1;
}

extern "C" int KDXAddValueCallback(void* /*ignored*/, const void* entry, KDXValueStruct* vs) {
    if (vs == nullptr || entry == nullptr) return 0;
    const auto* e = static_cast<const DDCEntry*>(entry);
    if (e->value == nullptr) return 0;
    std::string local;
    char* out;
    size_t cap = kdx::kNameBytes;
    if (vs->NameBuffer != nullptr) {
        out = reinterpret_cast<char*>(vs->NameBuffer);
    } else {
        local.resize(cap);
        out = local.data();
    }
    // A length of 0 means "up to the zero".
    size_t len = e->length != 0 ? e->length : kdx::kNameBytes;
    int n = kdx::ToUtf8(static_cast<const uint16_t*>(e->value), len, out, cap);
    if (n < 0) {
        vs->Error = n; // a value too long for the work buffer is skipped, and said so
        return 0;
    }
    KDXAddValue(out, vs);
    return 0;
}

extern "C" int KDXFreeValue(uint32_t index, KDXValueStruct* vs) {
    if (vs == nullptr || index >= vs->Used) return 0;
    std::free(vs->Value[index]);
    std::memmove(&vs->Value[index], &vs->Value[index + 1], (vs->Used - index - 1) * sizeof(char*));
    --vs->Used;
    vs->Value[vs->Used] = nullptr;
    return 1;
}

extern "C" int KDXFreeValues(KDXValueStruct* vs) {
    if (vs == nullptr) return 0;
    if (vs->Allocated == 0) return 1;
    for (uint32_t i = 0; i < vs->Used; ++i) {
        std::free(vs->Value[i]);
        vs->Value[i] = nullptr;
    }
    if (vs->Allocated > kGrowBy) {
        std::free(static_cast<void*>(vs->Value));
        vs->Value = nullptr;
        vs->Allocated = 0;
    }
    vs->Used = 0;
    return 1;
}

extern "C" int KDXDumpValueStruct(int paged, KDXValueStruct* vs) {
    __atomic_store_n(&KDXTGid, 1, __ATOMIC_RELAXED);
    if (vs == nullptr) return 1;
    if (vs->Used == 0) std::printf("No data in structure\n");
    std::printf("ValueStruct: Used:%lu, Allocated:%lu\n", static_cast<unsigned long>(vs->Used),
                static_cast<unsigned long>(vs->Allocated));
    std::printf(" Has context:%s, allocated internally:%s\n",
                (vs->Flags & KDX_VS_HAS_CONTEXT) ? "Yes" : "No",
                (vs->Flags & KDX_VS_ALLOCATED) ? "Yes" : "No");
    int lines = 0;
    for (uint32_t i = 0; i < vs->Used; ++i) {
        std::printf("Value[%02lu] %-25s", static_cast<unsigned long>(i), vs->Value[i]);
        if (i % 2 == 0) {
            std::printf(" | ");
        } else {
            std::printf("\n");
            if (paged && Debug && ++lines % 21 == 0) {
                std::printf("<Press any key to continue>");
                std::fflush(stdout);
                std::getchar();
            }
        }
    }
    std::printf("\r\n");
    return 1;
}

extern "C" int KDXInitEnumStruct(KDXEnumStruct* es) {
    if (es == nullptr) return 0;
    es->TextBuffer = static_cast<char*>(std::malloc(KDX_ENUM_TEXT_SIZE));
    es->ResultBuffer = static_cast<unsigned char*>(std::malloc(KDX_ENUM_RESULT_SIZE));
    if (es->TextBuffer == nullptr || es->ResultBuffer == nullptr) {
        std::free(es->TextBuffer);
        std::free(es->ResultBuffer);
        es->TextBuffer = nullptr;
        es->ResultBuffer = nullptr;
        syslog(LOG_ERR, "[%d] KDXInitEnumStruct: Out of memory", 104);
        return 0;
    }
    es->Active = 0;
    es->Remaining = 0;
    return 1;
}

extern "C" int KDXDestroyEnumStruct(KDXEnumStruct* es) {
    if (es == nullptr) return 0;
    std::free(es->TextBuffer);
    std::free(es->ResultBuffer);
    es->TextBuffer = nullptr;
    es->ResultBuffer = nullptr;
    es->Remaining = 0;
    es->Active = 0;
    return 1;
}
