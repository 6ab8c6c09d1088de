// Enumeration of a container's subordinates, and passwords.
#include "internal.h"
#include "malloc_ptr.h"

#include <pdksa.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <syslog.h>

namespace {

using kdx::Debugf;

const char* OrNull(const char* s) {
    return s != nullptr ? s : "NULL";
}

// Converts the two filters into the attribute part of the work buffer and
// builds the list request on them.
bool ListRequest(KDXValueStruct* vs, const char* classFilter, const char* nameFilter,
                 DDCListRequest& req) {
    req = DDCListRequest{};
    req.kind = 1;
    constexpr size_t kHalf = kdx::kAttrUnits / 2;
    uint16_t* cls = kdx::Units(vs->AttrBuffer);
    uint16_t* name = cls + kHalf;
    if (classFilter != nullptr) {
        if (!kdx::ConvertInto(vs, classFilter, cls, kHalf)) return false;
        req.classFilter = cls;
    }
    if (nameFilter != nullptr) {
        if (!kdx::ConvertInto(vs, nameFilter, name, kHalf)) return false;
        req.nameFilter = name;
    }
    return true;
}

char* HandOutName(KDXEnumStruct* es, KDXValueStruct* vs) {
    --es->Remaining;
    const auto* names = reinterpret_cast<const uint16_t* const*>(es->ResultBuffer);
    if (kdx::ToUtf8(names[es->Remaining], KDX_ENUM_RESULT_SIZE / 2, es->TextBuffer,
                    KDX_ENUM_TEXT_SIZE) < 0) {
        es->Active = 0;
        es->Remaining = 0;
        vs->Error = KDX_ERR_INSUFFICIENT_BUFFER;
        return nullptr;
    }
    return es->TextBuffer;
}

enum class PwOp { Verify, Change, Reset };

int PasswordOp(PwOp op, const char* object, const char* oldPw, const char* newPw,
               KDXValueStruct* vs, int site) {
    if (object == nullptr) return 0;
    if ((op == PwOp::Verify || op == PwOp::Change) && oldPw == nullptr) return 0;
    if (op != PwOp::Verify && newPw == nullptr) return 0;

    bool own = !kdx::HasContext(vs);
    uint32_t ctx;
    unsigned char* buf;
    if (own) {
        if (GetCachedContext(&ctx, &buf) != 0) {
            Debugf("DDCDuplicateContext[%d] failed\n", site);
            return 0;
        }
        // A fresh copy of the login context speaks byte strings; ours speak UTF-16.
        DDCSetContextFlags(ctx, DDC_CTX_UNICODE, DDC_CTX_RESERVED);
    } else {
        ctx = vs->Context;
        buf = vs->NameBuffer;
    }

    int result = 0;
    int err = 0;
    uint16_t* name = kdx::Units(buf);
    // Old and new password each take half of the attribute part.
    constexpr size_t kHalf = kdx::kAttrUnits / 2;
    uint16_t* pw1 = kdx::Units(buf + KDX_ATTR_BUFFER_OFFSET);
    uint16_t* pw2 = pw1 + kHalf;
    uint32_t flags = op == PwOp::Verify ? DDC_RESOLVE_FOR_READ : DDC_RESOLVE_FOR_WRITE;
    if ((err = kdx::ToUtf16(object, name, kdx::kNameUnits)) < 0 ||
        (oldPw != nullptr && (err = kdx::ToUtf16(oldPw, pw1, kHalf)) < 0) ||
        (newPw != nullptr && (err = kdx::ToUtf16(newPw, pw2, kHalf)) < 0)) {
        if (vs != nullptr) vs->Error = err;
    } else if (DDCResolveName(ctx, flags, name) != 0) {
        Debugf("DDCResolveName[%d]: Object %s not found\n", site, object);
    } else if (DDCAuthenticateConnection(ctx) != 0) {
        Debugf("DDCAuthenticateConnection[%d]: Could not authenticate [O:%s]\n", site, object);
    } else if (op == PwOp::Verify) {
        if (DDCVerifyPassword(ctx, pw1) == 0)
            result = 1;
        else
            Debugf("DDCVerifyPassword[%d] Object %s password match failed\n", site, object);
    } else if (op == PwOp::Change) {
        err = DDCChangePassword(ctx, pw1, pw2);
        if (err == 0) {
            result = 1;
        } else {
            Debugf("DDCChangePassword[%d] Object %s password change failed, error:%d\n", site,
                   object, err);
            if (vs != nullptr) vs->Error = err;
        }
    } else {
        err = DDCGenerateKeyPair(ctx, pw2);
        if (err == 0) {
            result = 1;
        } else {
            Debugf("DDCVerifyPassword[%d] Object %s password change failed\n", site, object);
            if (vs != nullptr) vs->Error = err;
        }
    }
    // Passwords do not linger in a buffer that goes back to the cache.
    std::fill(pw1, pw1 + kdx::kAttrUnits, uint16_t{0});
    if (own) ReleaseCachedContext(ctx, buf, 0);
    return result;
}

} // namespace

extern "C" int KDXEnumerateObjects(const char* container, const char* classFilter,
                                   const char* nameFilter, KDXValueStruct* vs) {
    if (!kdx::HasContext(vs)) return 0;
    if (!kdx::PrepareObject(vs, container, DDC_RESOLVE_FOR_READ, 301)) return 0;
    arbor::MallocPtr<unsigned char> names(static_cast<unsigned char*>(std::malloc(1024)));
    if (!names) {
        syslog(LOG_ERR, "Out of memory!\n");
        return 0;
    }
    Debugf("KDXEnumerateObjects[%d]: Container %s, Type %s\n", 302, container, OrNull(classFilter));
    DDCListRequest req;
    if (!ListRequest(vs, classFilter, nameFilter, req)) return 0;
    int total = 0;
    for (;;) {
        int32_t n = 0;
        int err = DDCListToBuffer(vs->Context, &req, 8192, 512, names.get(), &n);
        if (err != 0) {
            Debugf("DDCList[%d]: Container %s failed\n", 303, container);
            vs->Error = err;
            break;
        }
        Debugf("DDCList[%d]: Found %d objects\n", 304, n);
        if (n <= 0) break;
        total += n;
        const auto* list = reinterpret_cast<const uint16_t* const*>(names.get());
        char* out = reinterpret_cast<char*>(vs->NameBuffer);
        for (int32_t i = 0; i < n; ++i) {
            if (kdx::ToUtf8(list[i], 512, out, kdx::kNameBytes) >= 0) KDXAddValue(out, vs);
        }
    }
    return total;
}

extern "C" char* KDXEnumerateObjectsEx(const char* container, const char* classFilter,
                                       const char* nameFilter, KDXEnumStruct* es,
                                       KDXValueStruct* vs) {
    if (es == nullptr || es->ResultBuffer == nullptr || es->TextBuffer == nullptr) return nullptr;
    if (!kdx::HasContext(vs)) {
        es->Active = 0;
        return nullptr;
    }
    if (es->Active == 0) {
        if (!kdx::PrepareObject(vs, container, DDC_RESOLVE_FOR_READ, 305)) return nullptr;
        Debugf("KDXEnumerateObjectsEx[%d]: Container %s, Type %s\n", 306, OrNull(container),
               OrNull(classFilter));
        es->Active = 1;
        es->Remaining = 0;
    }
    if (es->Remaining > 0) return HandOutName(es, vs);

    DDCListRequest req;
    int32_t n = 0;
    int err = ListRequest(vs, classFilter, nameFilter, req)
                  ? DDCListToBuffer(vs->Context, &req, 8192, 20480, es->ResultBuffer, &n)
                  : KDX_ERR_NO_CHARACTER_MAPPING;
    if (err == 0)
        Debugf("DDCList[%d]: Found %d objects\n", 307, n);
    else
        Debugf("DDCList[%d]: Container %s failed\n", 308, OrNull(container));
    if (err != 0 || n <= 0) {
        es->Active = 0;
        es->Remaining = 0;
        return nullptr;
    }
    es->Remaining = n;
    return HandOutName(es, vs);
}

extern "C" int KDXVerifyPassword(const char* object, const char* password, KDXValueStruct* vs) {
    return PasswordOp(PwOp::Verify, object, password, nullptr, vs, 311);
}

extern "C" int KDXChangePassword(const char* object, const char* oldPassword,
                                 const char* newPassword, KDXValueStruct* vs) {
    return PasswordOp(PwOp::Change, object, oldPassword, newPassword, vs, 312);
}

extern "C" int KDXChangePasswordEx(const char* object, const char* /*ignored*/,
                                   const char* newPassword, KDXValueStruct* vs) {
    return PasswordOp(PwOp::Reset, object, nullptr, newPassword, vs, 313);
}
