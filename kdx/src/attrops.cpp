// Attribute operations on one directory object named relative to a value
// structure's base.
#include "internal.h"
#include "malloc_ptr.h"

#include <pdksa.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <syslog.h>

namespace kdx {

bool HasContext(const KDXValueStruct* vs) {
    return vs != nullptr && (vs->Flags & KDX_VS_HAS_CONTEXT) && vs->NameBuffer != nullptr;
}

bool ConvertInto(KDXValueStruct* vs, const char* text, uint16_t* out, size_t outUnits) {
    int n = ToUtf16(text, out, outUnits);
    if (n < 0) {
        if (vs != nullptr) vs->Error = n;
        return false;
    }
    return true;
}

bool PrepareObject(KDXValueStruct* vs, const char* object, uint32_t flags, int site) {
    if (object == nullptr) return false;
    if (!ConvertInto(vs, object, Units(vs->NameBuffer), kNameUnits)) return false;
    if (DDCResolveName(vs->Context, flags, vs->NameBuffer) != 0) {
        Debugf("DDCResolveName[%d]: Object %s not found\n", site, object);
        return false;
    }
    if (DDCAuthenticateConnection(vs->Context) != 0) {
        Debugf("DDCAuthenticateConnection[%d]: Could not authenticate [O:%s]\n", site, object);
        return false;
    }
    return true;
}

} // namespace kdx

namespace {

using kdx::Debugf;

// Attribute names are short; a local buffer keeps the attribute part of the
// work buffer free for the value being written.
constexpr size_t kAttrNameUnits = 1024;

// Reads hand DDCReadToCB this bound on one value (bytes of its UTF-16 form
// with the zero); writes refuse what a read could not give back.
constexpr size_t kReadValueBytes = 10240;
constexpr size_t kMaxValueUnits = kReadValueBytes / 2 - 1;
static_assert(kMaxValueUnits == KDX_MAX_VALUE_UNITS);

// DDCReadToCB hands its entries over with the directory's types.
int ReadCallback(DDCContextHandle ctx, const DDCEntry* entry, void* arg) {
    return KDXAddValueCallback(reinterpret_cast<void*>(static_cast<uintptr_t>(ctx)), entry,
                               static_cast<KDXValueStruct*>(arg));
}

// Appends one UTF-16 value to the list, converted in the name part of the work buffer.
bool AppendUnits(KDXValueStruct* vs, const void* value) {
    if (value == nullptr) return false;
    char* out = reinterpret_cast<char*>(vs->NameBuffer);
    int n =
        kdx::ToUtf8(static_cast<const uint16_t*>(value), kdx::kNameUnits * 3, out, kdx::kNameBytes);
    if (n < 0) {
        vs->Error = n;
        return false;
    }
    return KDXAddValue(out, vs) == 1;
}

// Modification with one entry: add, remove (value given) or clear (value null).
int ModifyOne(const char* object, const char* attribute, const char* value, uint32_t op,
              uint32_t syntax, KDXValueStruct* vs, int site) {
    const bool needsValue = op != DDC_OP_CLEAR;
    if (!kdx::HasContext(vs) || attribute == nullptr || (needsValue && value == nullptr)) return 0;
    if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_WRITE, site)) return 0;
    uint16_t attr[kAttrNameUnits];
    if (!kdx::ConvertInto(vs, attribute, attr, kAttrNameUnits)) return 0;
    DDCEntry e{};
    e.operation = op;
    e.syntax = syntax;
    e.attrName = attr;
    if (needsValue) {
        int n = kdx::ToUtf16(value, kdx::Units(vs->AttrBuffer), kdx::kAttrUnits);
        if (n < 0 || static_cast<size_t>(n) > kMaxValueUnits) {
            vs->Error = n < 0 ? n : KDX_ERR_INSUFFICIENT_BUFFER;
            return 0;
        }
        e.length = static_cast<uint32_t>(n);
        e.value = vs->AttrBuffer;
    }
    int err = DDCModifyEntry(vs->Context, 1, &e);
    if (err != 0) {
        vs->Error = err;
        Debugf("DDCModify[%d] Object %s, Attribute %s failed\n", site, object, attribute);
        return 0;
    }
    return 1;
}

} // namespace

extern "C" int KDXRead(const char* object, const char* attribute, KDXValueStruct* vs) {
    if (!kdx::HasContext(vs) || attribute == nullptr) return 0;
    if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_READ, 201)) return 0;
    if (!kdx::ConvertInto(vs, attribute, kdx::Units(vs->AttrBuffer), kdx::kAttrUnits)) return 0;
    const void* names[2] = {vs->AttrBuffer, nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    uint32_t before = vs->Used;
    // A value over the bound is skipped (and reported in Error); the others
    // are still read.
    int err = DDCReadToCB(vs->Context, &req, 1, kReadValueBytes, ReadCallback, vs);
    if (err != 0) vs->Error = err;
    // A failed growth drops the whole list, so Used may fall below its old value.
    return vs->Used > before ? static_cast<int>(vs->Used - before) : 0;
}

extern "C" int KDXReadDN(const char* object, const char* attribute, KDXValueStruct* vs) {
    if (!kdx::HasContext(vs) || attribute == nullptr) return 0;
    if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_READ, 202)) return 0;
    if (!kdx::ConvertInto(vs, attribute, kdx::Units(vs->AttrBuffer), kdx::kAttrUnits)) return 0;
    const void* names[2] = {vs->AttrBuffer, nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};

    // With the base at the root the directory hands back full names.
    alignas(8) unsigned char saved[DDC_MAX_DN_BYTES];
    if (DDCGetContextBaseDN(vs->Context, saved, sizeof saved) != 0) return 0;
    if (DDCSetContextBaseDN(vs->Context, ArborRoot, nullptr) != 0) return 0;

    alignas(8) unsigned char buf[2592];
    int count = 0;
    for (;;) {
        int32_t n = 0;
        int err = DDCReadToBuffer(vs->Context, &req, 1, 0, sizeof buf, buf, &n);
        if (err != 0) {
            Debugf("DDCReadDN[%d]: Object %s, Attribute %s failed, err:%d\n", 203, object,
                   attribute, err);
            vs->Error = err;
            break;
        }
        if (n <= 0) break;
        const auto* entries = reinterpret_cast<const DDCEntry*>(buf);
        for (int32_t i = 0; i < n; ++i)
            AppendUnits(vs, entries[i].value);
        count += n;
    }
    DDCSetContextBaseDN(vs->Context, saved, nullptr);
    return count;
}

extern "C" char* KDXReadEx(const char* object, const char* attribute, KDXEnumStruct* es,
                           KDXValueStruct* vs) {
    if (es == nullptr || attribute == nullptr || es->ResultBuffer == nullptr ||
        es->TextBuffer == nullptr || !kdx::HasContext(vs))
        return nullptr;
    if (es->Active == 0) {
        if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_READ, 204)) return nullptr;
        es->Active = 1;
        es->Remaining = 0;
    }
    auto handOut = [&]() -> char* {
        --es->Remaining;
        const auto* entries = reinterpret_cast<const DDCEntry*>(es->ResultBuffer);
        const auto* value = static_cast<const uint16_t*>(entries[es->Remaining].value);
        if (value == nullptr ||
            kdx::ToUtf8(value, KDX_ENUM_RESULT_SIZE / 2, es->TextBuffer, KDX_ENUM_TEXT_SIZE) < 0) {
            es->Active = 0;
            es->Remaining = 0;
            vs->Error = KDX_ERR_INSUFFICIENT_BUFFER;
            return nullptr;
        }
        return es->TextBuffer;
    };
    if (es->Remaining > 0) return handOut();

    if (!kdx::ConvertInto(vs, attribute, kdx::Units(vs->AttrBuffer), kdx::kAttrUnits)) {
        es->Active = 0;
        return nullptr;
    }
    const void* names[2] = {vs->AttrBuffer, nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    int32_t n = 0;
    int err = DDCReadToBuffer(vs->Context, &req, 1, 0, 20480, es->ResultBuffer, &n);
    if (err != 0) Debugf("DDCRead[%d]: Object %s, Attribute %s failed\n", 205, object, attribute);
    if (err != 0 || n <= 0) {
        es->Active = 0;
        es->Remaining = 0;
        return nullptr;
    }
    es->Remaining = n;
    return handOut();
}

extern "C" int KDXWriteTyped(const char* object, const char* attribute, int syntax,
                             KDXValueStruct* vs) {
    if (!kdx::HasContext(vs) || attribute == nullptr) return 0;
    if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_WRITE, 206)) return 0;
    uint16_t attr[kAttrNameUnits];
    if (!kdx::ConvertInto(vs, attribute, attr, kAttrNameUnits)) return 0;

    size_t count = size_t{vs->Used} + 1;
    arbor::MallocPtr<DDCEntry> entries(
        static_cast<DDCEntry*>(std::calloc(count, sizeof(DDCEntry))));
    if (!entries) return 0;
    DDCEntry* e = entries.get();
    e[0].operation = 6;
    e[0].syntax = static_cast<uint32_t>(syntax);
    e[0].attrName = attr;

    // The copies are owned here; every path frees them.
    std::unique_ptr<arbor::MallocPtr<uint16_t>[]> copies(new (std::nothrow)
                                                             arbor::MallocPtr<uint16_t>[count]);
    if (!copies) return 0;
    for (uint32_t i = 0; i < vs->Used; ++i) {
        int n = kdx::ToUtf16(vs->Value[i], kdx::Units(vs->AttrBuffer), kdx::kAttrUnits);
        if (n < 0 || static_cast<size_t>(n) > kMaxValueUnits) {
            vs->Error = n < 0 ? n : KDX_ERR_INSUFFICIENT_BUFFER;
            return 0; // nothing written: the attribute must not end up holding less
        }
        size_t bytes = (static_cast<size_t>(n) + 1) * sizeof(uint16_t);
        copies[i].reset(static_cast<uint16_t*>(std::malloc(bytes)));
        if (!copies[i]) return 0;
        std::memcpy(copies[i].get(), vs->AttrBuffer, bytes);
        e[i + 1].operation = 5;
        e[i + 1].syntax = static_cast<uint32_t>(syntax);
        e[i + 1].length = static_cast<uint32_t>(n);
        e[i + 1].attrName = attr;
        e[i + 1].value = copies[i].get();
    }
    int err = DDCModifyEntry(vs->Context, static_cast<uint32_t>(count), e);
    if (err != 0) {
        vs->Error = err;
        Debugf("DDCModify[%d] Object %s, Attribute %s failed\n", 207, object, attribute);
        return 0;
    }
    return 1;
}

extern "C" int KDXWrite(const char* object, const char* attribute, KDXValueStruct* vs) {
    return KDXWriteTyped(object, attribute, KDX_SYNTAX_TEXT, vs);
}

extern "C" int KDXWriteDN(const char* object, const char* attribute, KDXValueStruct* vs) {
    return KDXWriteTyped(object, attribute, KDX_SYNTAX_DIST_NAME, vs);
}

extern "C" int KDXAdd(const char* object, const char* attribute, const char* value,
                      KDXValueStruct* vs) {
    return ModifyOne(object, attribute, value, DDC_OP_ADD_VALUE, DDC_SYN_TEXT, vs, 208);
}

extern "C" int KDXAddDN(const char* object, const char* attribute, const char* value,
                        KDXValueStruct* vs) {
    return ModifyOne(object, attribute, value, DDC_OP_ADD_VALUE, DDC_SYN_DIST_NAME, vs, 209);
}

extern "C" int KDXRemove(const char* object, const char* attribute, const char* value,
                         KDXValueStruct* vs) {
    return ModifyOne(object, attribute, value, DDC_OP_REMOVE_VALUE, DDC_SYN_TEXT, vs, 210);
}

extern "C" int KDXRemoveDN(const char* object, const char* attribute, const char* value,
                           KDXValueStruct* vs) {
    return ModifyOne(object, attribute, value, DDC_OP_REMOVE_VALUE, DDC_SYN_DIST_NAME, vs, 211);
}

extern "C" int KDXClear(const char* object, const char* attribute, KDXValueStruct* vs) {
    return ModifyOne(object, attribute, nullptr, DDC_OP_CLEAR, 0, vs, 212);
}

extern "C" int KDXIsObject(const char* object, KDXValueStruct* vs) {
    if (object == nullptr) return 0;
    if (kdx::HasContext(vs)) {
        if (!kdx::ConvertInto(vs, object, kdx::Units(vs->AttrBuffer), kdx::kAttrUnits)) return 0;
        if (DDCResolveName(vs->Context, DDC_RESOLVE_FOR_READ, vs->AttrBuffer) != 0) {
            Debugf("DDCResolve[%d]: Object %s does not exist\n", 213, object);
            return 0;
        }
        return 1;
    }
    uint32_t ctx;
    unsigned char* buf;
    if (GetCachedContext(&ctx, &buf) != 0) {
        Debugf("DDCDuplicateContext[%d] failed\n", 214);
        return 0;
    }
    // A fresh copy of the login context speaks byte strings; ours speak UTF-16.
    DDCSetContextFlags(ctx, DDC_CTX_UNICODE, DDC_CTX_RESERVED);
    int result = 0;
    if (kdx::ToUtf16(object, kdx::Units(buf), kdx::kNameUnits) >= 0) {
        if (DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, buf) == 0)
            result = 1;
        else
            Debugf("DDCResolve[%d]: Object %s does not exist\n", 215, object);
    }
    ReleaseCachedContext(ctx, buf, 0);
    return result;
}

extern "C" int KDXGetObjectDetails(const char* object, char* className, char* second,
                                   char* fullName, KDXValueStruct* vs) {
    if (!kdx::HasContext(vs)) return 0;
    if (!kdx::PrepareObject(vs, object, DDC_RESOLVE_FOR_READ, 216)) return 0;
    if (className == nullptr && second == nullptr && fullName == nullptr) return 1;

    alignas(8) unsigned char info[1024];
    if (DDCGetEntryInfo(vs->Context, 0x3800, sizeof info, info) != 0) {
        syslog(LOG_ERR, "DDCGetEntryInfo failed");
        return 0;
    }
    const auto* texts = reinterpret_cast<const uint16_t* const*>(info);
    char cls[KDX_DETAILS_SIZE], rdn[KDX_DETAILS_SIZE], name[KDX_DETAILS_SIZE];
    constexpr size_t kMaxUnits = sizeof info / 2;
    if (kdx::ToUtf8(texts[0], kMaxUnits, cls, sizeof cls) < 0 ||
        kdx::ToUtf8(texts[1], kMaxUnits, rdn, sizeof rdn) < 0 ||
        kdx::ToUtf8(texts[2], kMaxUnits, name, sizeof name) < 0) {
        vs->Error = KDX_ERR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::string full;
    if (name[0] == '\\') {
        full = name;
    } else {
        // A name relative to the base: put the base in front.
        alignas(8) unsigned char base[DDC_MAX_DN_BYTES];
        char base8[DDC_MAX_DN_BYTES * 2];
        if (DDCGetContextBaseDN(vs->Context, base, sizeof base) != 0 ||
            kdx::ToUtf8(kdx::Units(base), sizeof base / 2, base8, sizeof base8) < 0)
            return 0;
        full = base8;
        full += '\\';
        full += name;
    }
    if (full.size() + 1 > KDX_DETAILS_SIZE) {
        vs->Error = KDX_ERR_INSUFFICIENT_BUFFER;
        return 0;
    }
    if (className != nullptr) std::strcpy(className, cls);
    if (second != nullptr) std::strcpy(second, rdn);
    if (fullName != nullptr) std::memcpy(fullName, full.c_str(), full.size() + 1);
    return 1;
}
