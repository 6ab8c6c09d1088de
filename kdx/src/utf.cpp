// UTF-8 <-> UTF-16 conversion. The directory speaks UTF-16 without surrogate
// handling, so three-byte forms are the longest either way.
#include "internal.h"

#include <cstring>

namespace kdx {

namespace {

bool IsCont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

} // namespace

// Decodes one character from in[0..len). Returns bytes consumed, or 0 when the
// sequence is malformed (truncated, stray continuation, overlong, four-byte).
int DecodeOne(const unsigned char* in, size_t len, uint16_t* out) {
    unsigned char c = in[0];
    if (c < 0x80) {
        *out = c;
        return 1;
    }
    if (c < 0xC2) return 0; // continuation byte as lead, or overlong two-byte form
    if (c < 0xE0) {
        if (len < 2 || !IsCont(in[1])) return 0;
        *out = static_cast<uint16_t>(((c & 0x1F) << 6) | (in[1] & 0x3F));
        return 2;
    }
    if (c < 0xF0) {
        if (len < 3 || !IsCont(in[1]) || !IsCont(in[2])) return 0;
        uint16_t u =
            static_cast<uint16_t>(((c & 0x0F) << 12) | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
        if (u < 0x800) return 0; // overlong
        *out = u;
        return 3;
    }
    return 0; // no four-byte forms in a UTF-16 directory without surrogates
}

int ToUtf16(std::string_view utf8, uint16_t* out, size_t outUnits) {
    if (outUnits == 0) return KDX_ERR_INSUFFICIENT_BUFFER;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size(), i = 0, o = 0;
    while (i < n) {
        uint16_t u;
        int used = DecodeOne(p + i, n - i, &u);
        if (used == 0 || u == 0) return KDX_ERR_NO_CHARACTER_MAPPING;
        if (o + 1 >= outUnits) return KDX_ERR_INSUFFICIENT_BUFFER;
        out[o++] = u;
        i += static_cast<size_t>(used);
    }
    out[o] = 0;
    return static_cast<int>(o);
}

int ToUtf8(const uint16_t* in, size_t inUnits, char* out, size_t outBytes) {
    if (outBytes == 0) return KDX_ERR_INSUFFICIENT_BUFFER;
    size_t o = 0;
    for (size_t i = 0; i < inUnits && in[i] != 0; ++i) {
        char tmp[3];
        int k = UTF8EncodeChar(in[i], tmp);
        if (o + static_cast<size_t>(k) + 1 > outBytes) return KDX_ERR_INSUFFICIENT_BUFFER;
        std::memcpy(out + o, tmp, static_cast<size_t>(k));
        o += static_cast<size_t>(k);
    }
    out[o] = '\0';
    return static_cast<int>(o);
}

} // namespace kdx

extern "C" int UTF8EncodeChar(uint16_t unit, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    if (unit < 0x80) {
        o[0] = static_cast<unsigned char>(unit);
        return 1;
    }
    if (unit < 0x800) {
        o[0] = static_cast<unsigned char>(0xC0 | (unit >> 6));
        o[1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
        return 2;
    }
    o[0] = static_cast<unsigned char>(0xE0 | (unit >> 12));
    o[1] = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    return 3;
}

extern "C" int UTF8DecodeChar(const char* in, uint16_t* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    // Look no further than a zero byte: a truncated sequence at the end of a
    // text must not pull in the bytes after its terminator.
    size_t avail = 1;
    if (p[0] != 0 && p[1] != 0) avail = (p[2] != 0) ? 3 : 2;
    int used = kdx::DecodeOne(p, avail, out);
    if (used == 0) {
        *out = 0xFFFD;
        return 1;
    }
    return used;
}

extern "C" int UTF8Encode(const uint16_t* in, char* out) {
    int o = 0;
    for (; *in != 0; ++in)
        o += UTF8EncodeChar(*in, out + o);
    out[o] = '\0';
    return o;
}

extern "C" int UTF8Decode(const char* in, uint16_t* out) {
    int o = 0;
    while (*in != 0) {
        in += UTF8DecodeChar(in, out + o);
        ++o;
    }
    out[o] = 0;
    return o;
}

extern "C" int UniStrlen(const uint16_t* text) {
    int n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

extern "C" int UnicodeLen(const char* text) {
    return static_cast<int>(std::strlen(text));
}
