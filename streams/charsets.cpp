// Character sets: the UTF-8 identity pair, US-ASCII, and the single-byte sets
// (to and from the library's internal UTF-8).
#include "codec.h"
#include "generated/sbcs_tables.h"

#include <algorithm>
#include <cstring>

namespace lw {
namespace {

// Decode table expanded to UTF-8: the low three bytes hold the encoded
// character, the top byte its length (0 for a byte that is dropped).
struct Utf8Table {
    uint32_t e[256];
};

constexpr uint32_t kUndefined = 0xFFFF;

constexpr uint32_t Utf8Entry(uint32_t cp) {
    if (cp < 0x80) return (1u << 24) | cp;
    if (cp < 0x800) return (2u << 24) | ((0x80 | (cp & 0x3F)) << 8) | (0xC0 | (cp >> 6));
    return (3u << 24) | ((0x80 | (cp & 0x3F)) << 16) | ((0x80 | ((cp >> 6) & 0x3F)) << 8) |
           (0xE0 | (cp >> 12));
}

constexpr Utf8Table Expand(const uint16_t (&decode)[256], Undefined rule) {
    Utf8Table t{};
    for (int b = 0; b < 256; ++b) {
        uint32_t cp = decode[b];
        if (cp == kUndefined) {
            t.e[b] = rule == Undefined::Replaced ? Utf8Entry(0xFFFD) : 0;
        } else {
            t.e[b] = Utf8Entry(cp);
        }
    }
    return t;
}

// Byte by byte through the table. Each byte yields at most three bytes and the
// entry is stored whole (four bytes), so a block of k bytes needs 3k + 1 room.
uint32_t DecodeWith(const Utf8Table& t, LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(5)) return Finish(in, o, i);
        size_t k = std::min(n - i, (o.Room() - 1) / 3);
        unsigned char* p = o.p;
        for (const unsigned char* q = s + i; q != s + i + k; ++q) {
            uint32_t e = t.e[*q];
            std::memcpy(p, &e, 4); // little-endian: the character's bytes first
            p += e >> 24;
        }
        o.p = p;
        i += k;
    }
    return Finish(in, o, i);
}

// UTF-8 in, one byte out per character. Sequences are read by their lead byte
// (below 0xE0 two bytes, otherwise three) without validation.
uint32_t EncodeWith(const uint8_t (&index)[256], const uint8_t (*pages)[256], Unmappable rule,
                    LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(5)) return Finish(in, o, i);
        unsigned char c = s[i];
        if (c < 0x80) {
            size_t k = std::min(n - i, o.Room() - 5);
            size_t j = 0;
            while (j < k && s[i + j] < 0x80) {
                o.p[j] = s[i + j];
                ++j;
            }
            o.p += j;
            i += j;
            continue;
        }
        size_t need = c < 0xE0 ? 2 : 3;
        uint32_t cp;
        if (n - i < need) {
            if (!in->EOS) break;
            // A sequence cut off by the end of the stream is no character.
            i = n;
            if (rule == Unmappable::Question) o.Put('?');
            continue;
        }
        if (need == 2) {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
        } else {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
        }
        i += need;
        uint8_t b = pages[index[cp >> 8]][cp & 0xFF];
        if (b != 0) {
            o.Put(b);
        } else if (rule == Unmappable::Question) {
            o.Put('?');
        }
    }
    return Finish(in, o, i);
}

#define LW_SBCS_TABLE(id, undef, unmap)                                                            \
    constexpr Utf8Table k##id##Utf8 = Expand(sbcs::k##id##Decode, Undefined::undef);
LW_SBCS_SETS(LW_SBCS_TABLE)
#undef LW_SBCS_TABLE

} // namespace

#define LW_SBCS_CODECS(id, undef, unmap)                                                           \
    uint32_t Decode_##id(LWStream* in, LWStream* out) {                                            \
        return DecodeWith(k##id##Utf8, in, out);                                                   \
    }                                                                                              \
    uint32_t Encode_##id(LWStream* in, LWStream* out) {                                            \
        return EncodeWith(sbcs::k##id##Index, sbcs::k##id##Pages, Unmappable::unmap, in, out);     \
    }
LW_SBCS_SETS(LW_SBCS_CODECS)
#undef LW_SBCS_CODECS

uint32_t Utf8Copy(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(6)) return Finish(in, o, i);
        size_t k = std::min(n - i, o.Room() - 6);
        std::memcpy(o.p, in->Start + i, k);
        o.p += k;
        i += k;
    }
    return Finish(in, o, i);
}

// Both directions: ASCII passes, every other byte becomes '?'.
uint32_t AsciiConvert(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(5)) return Finish(in, o, i);
        size_t k = std::min(n - i, o.Room() - 5);
        for (size_t j = 0; j < k; ++j)
            o.p[j] = s[i + j] < 0x80 ? s[i + j] : '?';
        o.p += k;
        i += k;
    }
    return Finish(in, o, i);
}

} // namespace lw
