// Raw requests (schema removal, core-protocol extensions) and result texts.
#include "internal.h"

#include <cstring>
#include <ctime>

namespace pdksa {
int RemoveAttributeDefinition(DDCContextHandle ctx, const std::string& name);
}

using namespace pdksa;

namespace {

constexpr size_t kMaxRequest = 65535 + 2;

struct Extension {
    const char* name;
    uint32_t number;
    unsigned char major, minor;
};

constexpr Extension kExtensions[] = {
    {DDC_EXT_ECHO_NAME, DDC_EXT_ECHO, 1, 0},
    {DDC_EXT_TIME_NAME, DDC_EXT_TIME, 1, 0},
};

int PutReply(const std::vector<unsigned char>& r, size_t replyMax, void* reply, size_t* replyLen) {
    if (r.size() > replyMax || (!reply && !r.empty())) return DDCERR_INSUFFICIENT_BUFFER;
    if (!r.empty()) std::memcpy(reply, r.data(), r.size());
    if (replyLen) *replyLen = r.size();
    return 0;
}

// Verb 13: a 32-bit zero, then a string as DDCWPutString writes it.
int RemoveAttrRequest(DDCContextHandle ctx, const unsigned char* req, size_t len) {
    if (len < 8) return DDCERR_ILLEGAL_REQUEST;
    uint32_t zero, bytes;
    std::memcpy(&zero, req, 4);
    std::memcpy(&bytes, req + 4, 4);
    if (zero != 0 || bytes < 2 || bytes % 2 != 0 || bytes > len - 8) return DDCERR_ILLEGAL_REQUEST;
    std::vector<uint16_t> units(bytes / 2);
    std::memcpy(units.data(), req + 8, bytes);
    if (units.back() != 0) return DDCERR_ILLEGAL_REQUEST;
    size_t n = 0;
    while (units[n] != 0)
        ++n;
    std::string name;
    if (!Utf16ToUtf8(units.data(), n, name)) return DDCERR_NO_CHARACTER_MAPPING;
    if (name.empty()) return DDCERR_NO_SUCH_ATTRIBUTE;
    return RemoveAttributeDefinition(ctx, name);
}

} // namespace

extern "C" {

int DDCWPutString(char** cur, char* limit, const char* str) {
    if (!cur || !*cur || !limit || !str || *cur > limit) return DDCERR_INVALID_PARAMETER;
    std::u16string u;
    const size_t n = strnlen(str, DDC_MAX_VALUE_CHARS * 3 + 1);
    if (n > DDC_MAX_VALUE_CHARS * 3) return DDCERR_INVALID_PARAMETER;
    if (!Utf8ToUtf16(std::string_view(str, n), u)) return DDCERR_NO_CHARACTER_MAPPING;
    u.push_back(0);
    const uint32_t bytes = static_cast<uint32_t>(u.size() * 2);
    const size_t total = (4 + bytes + 3) / 4 * 4;
    if (static_cast<size_t>(limit - *cur) < total) return DDCERR_INSUFFICIENT_BUFFER;
    char* p = *cur;
    std::memcpy(p, &bytes, 4);
    std::memcpy(p + 4, u.data(), bytes);
    std::memset(p + 4 + bytes, 0, total - 4 - bytes);
    *cur = p + total;
    return 0;
}

int DDCRequest(DDCContextHandle ctx, uint32_t verb, size_t reqLen, const void* req, size_t replyMax,
               void* reply, size_t* replyLen) {
    if (!req || reqLen > kMaxRequest) return DDCERR_INVALID_PARAMETER;
    if (!FindCtx(ctx)) return DDCERR_INVALID_CONTEXT;
    if (verb != 13) return DDCERR_ILLEGAL_REQUEST;
    // Copied first: the reply may go into the request's buffer.
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(req),
                                    static_cast<const unsigned char*>(req) + reqLen);
    if (int rc = RemoveAttrRequest(ctx, copy.data(), copy.size())) return rc;
    return PutReply({}, replyMax, reply, replyLen);
}

int DDCTWPRequest(DDCContextHandle ctx, uint32_t verb, size_t reqLen, const void* req,
                  size_t replyMax, void* reply, size_t* replyLen) {
    if (verb == 13) return DDCRequest(ctx, verb, reqLen, req, replyMax, reply, replyLen);
    if (!req || reqLen + 2 > kMaxRequest) return DDCERR_INVALID_PARAMETER;
    if (!FindCtx(ctx)) return DDCERR_INVALID_CONTEXT;
    // The leading 16-bit word is not counted in reqLen.
    std::vector<unsigned char> r(static_cast<const unsigned char*>(req),
                                 static_cast<const unsigned char*>(req) + reqLen + 2);
    const unsigned char* body = r.data() + 2;
    std::vector<unsigned char> out;
    if (verb == DDC_TWP_EXTENSION_INFO) {
        if (reqLen < 2 || body[0] != 2 || body[1] > reqLen - 2) return DDCERR_ILLEGAL_REQUEST;
        std::string name(reinterpret_cast<const char*>(body + 2), body[1]);
        name.resize(strnlen(name.c_str(), name.size()));
        for (const auto& e : kExtensions) {
            if (Fold(name) != Fold(e.name)) continue;
            out.resize(7);
            std::memcpy(out.data(), &e.number, 4);
            out[4] = e.major, out[5] = e.minor, out[6] = 0;
            return PutReply(out, replyMax, reply, replyLen);
        }
        return DDCERR_NO_SUCH_ENTRY;
    }
    if (verb == DDC_TWP_EXTENSION_REQUEST) {
        if (reqLen < 8 || body[0] != 0 || body[1] != 0) return DDCERR_ILLEGAL_REQUEST;
        uint32_t number;
        uint16_t wanted;
        std::memcpy(&number, body + 2, 4);
        std::memcpy(&wanted, body + 6, 2);
        const unsigned char* data = body + 8;
        const size_t dataLen = reqLen - 8;
        std::vector<unsigned char> answer;
        if (number == DDC_EXT_ECHO) {
            answer.assign(data, data + dataLen);
        } else if (number == DDC_EXT_TIME) {
            const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
            for (int i = 7; i >= 0; --i)
                answer.push_back(static_cast<unsigned char>(now >> (8 * i)));
        } else {
            return DDCERR_NO_SUCH_ENTRY;
        }
        if (answer.size() > wanted) answer.resize(wanted);
        if (replyMax < 6) return DDCERR_INSUFFICIENT_BUFFER;
        if (answer.size() > replyMax - 6) answer.resize(replyMax - 6);
        const auto len = static_cast<uint16_t>(answer.size());
        out.resize(6);
        std::memcpy(out.data(), &number, 4);
        std::memcpy(out.data() + 4, &len, 2);
        out.insert(out.end(), answer.begin(), answer.end());
        return PutReply(out, replyMax, reply, replyLen);
    }
    return DDCERR_ILLEGAL_REQUEST;
}

const char* PDKErrorText(int code) {
    switch (code) {
    case 0:
        return "success";
    case DDCERR_NOT_ENOUGH_MEMORY:
        return "not enough memory";
    case DDCERR_NOT_LOGGED_IN:
        return "not logged in";
    case DDCERR_NO_SUCH_ENTRY:
        return "no such object";
    case DDCERR_NO_SUCH_VALUE:
        return "no such value";
    case DDCERR_NO_SUCH_ATTRIBUTE:
        return "no such attribute";
    case DDCERR_NO_SUCH_CLASS:
        return "no such class";
    case DDCERR_ENTRY_ALREADY_EXISTS:
        return "object already exists";
    case DDCERR_NOT_EFFECTIVE_CLASS:
        return "class cannot be the base class of an object";
    case DDCERR_ILLEGAL_ATTRIBUTE:
        return "attribute not allowed in the object's class";
    case DDCERR_MISSING_MANDATORY:
        return "a mandatory attribute is missing";
    case DDCERR_ILLEGAL_DS_NAME:
        return "malformed or over-long name";
    case DDCERR_ILLEGAL_CONTAINMENT:
        return "class not allowed in this container";
    case DDCERR_CANT_HAVE_MULTIPLE_VALUES:
        return "attribute is single-valued";
    case DDCERR_SYNTAX_VIOLATION:
        return "value does not fit the attribute's syntax or size";
    case DDCERR_DUPLICATE_VALUE:
        return "value already present";
    case DDCERR_ATTRIBUTE_ALREADY_EXISTS:
        return "attribute already defined";
    case DDCERR_DATABASE_FORMAT:
        return "the store is not a directory or is damaged";
    case DDCERR_ILLEGAL_REQUEST:
        return "malformed or unknown request";
    case DDCERR_OBJECT_CLASS_VIOLATION:
        return "object class violation";
    case DDCERR_ENTRY_IS_NOT_LEAF:
        return "object has subordinates";
    case DDCERR_SYSTEM_FAILURE:
        return "the store failed";
    case DDCERR_NO_REFERRALS:
        return "the directory store cannot be reached";
    case DDCERR_NO_CHARACTER_MAPPING:
        return "malformed text (not UTF-8 or UTF-16)";
    case DDCERR_CLASS_ALREADY_EXISTS:
        return "class already defined";
    case DDCERR_INSUFFICIENT_BUFFER:
        return "buffer too small";
    case DDCERR_SCHEMA_IS_NONREMOVABLE:
        return "standard schema cannot be removed";
    case DDCERR_SCHEMA_IS_IN_USE:
        return "definition is in use";
    case DDCERR_DUPLICATE_OPTIONAL:
        return "optional attribute already in the class";
    case DDCERR_FAILED_AUTHENTICATION:
        return "wrong password";
    case DDCERR_INVALID_CONTEXT:
        return "invalid context";
    case DDCERR_NO_ACCESS:
        return "no rights";
    case DDCERR_INVALID_PARAMETER:
        return "invalid parameter";
    default:
        return "unknown error";
    }
}

} // extern "C"
