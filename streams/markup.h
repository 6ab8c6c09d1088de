// What the markup filters share: the escaping of text, bulk writes that
// flush as they go, the host's link prefixes, when a filter stops waiting
// for the end of a word or tag, and the link schemes no page may follow.
#pragma once

#include "codec.h"

#include <array>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lw::markup {

// Index of the first byte of s[0 .. n) that is one of C..., or n. Sixteen
// bytes at a time where the machine allows: text is mostly bytes that
// neither filter has to look at.
template <unsigned char... C> inline size_t FindAny(const unsigned char* s, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i hit = _mm_setzero_si128();
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(C))))), ...);
        const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (bits != 0) return i + static_cast<size_t>(__builtin_ctz(bits));
    }
#endif
    for (; i < n; ++i)
        if (((s[i] == C) || ...)) return i;
    return n;
}

// Replacement class of every byte: 0 for bytes copied as they are.
enum : uint8_t { kCopy = 0, kQuot, kAmp, kLt, kGt, kCr, kLf };

constexpr std::array<uint8_t, 256> kEscapeClass = [] {
    std::array<uint8_t, 256> t{};
    t['"'] = kQuot;
    t['&'] = kAmp;
    t['<'] = kLt;
    t['>'] = kGt;
    t['\r'] = kCr;
    t['\n'] = kLf;
    return t;
}();

// The longest replacement (&quot;): the margin of every escaping write.
constexpr size_t kEscapeMargin = 6;

// Writes n bytes as they are, flushing whenever the output fills. Returns
// false only when the consumer took nothing and no room appeared.
inline bool PutSpan(Out& o, const void* data, size_t n) {
    const auto* s = static_cast<const unsigned char*>(data);
    while (n > 0) {
        if (!o.Reserve(0)) return false;
        const size_t k = n < o.Room() ? n : o.Room();
        std::memcpy(o.p, s, k);
        o.p += k;
        s += k;
        n -= k;
    }
    return true;
}

inline bool PutText(Out& o, std::string_view t) {
    return PutSpan(o, t.data(), t.size());
}

// The replacement of each class (kEscapeClass) as one filter writes it:
// padded so that every replacement is written with one fixed-size copy.
struct EscapeSet {
    char text[7][8];
    uint8_t len[7];
};
constexpr EscapeSet kHtmlEscapes = {{"", "&quot;", "&amp;", "&lt;", "&gt;", "", "<BR>"},
                                    {0, 6, 5, 4, 4, 0, 4}};
constexpr EscapeSet kWmlEscapes = {{"", "&quot;", "&amp;", "&lt;", "&gt;", "", "<br/>"},
                                   {0, 6, 5, 4, 4, 0, 5}};

// Copies s[0 .. lim) to d up to its first byte that the escaping changes;
// returns the bytes copied. The wide path stores whole blocks, the bytes
// after that first one included: d has room for lim bytes, and what lies
// beyond the copied ones is overwritten next.
inline size_t CopyPlain(unsigned char* d, const unsigned char* s, size_t lim) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quot = _mm_set1_epi8('"'), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'),
                  gt = _mm_set1_epi8('>'), cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    for (; i + 16 <= lim; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quot), _mm_cmpeq_epi8(v, amp)),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), v);
        const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (bits != 0) return i + static_cast<size_t>(__builtin_ctz(bits));
    }
#endif
    for (; i < lim; ++i) {
        if (kEscapeClass[s[i]] != kCopy) return i;
        d[i] = s[i];
    }
    return lim;
}

// Escapes s[0 .. n) as `e` says: the markup characters become references,
// CR is dropped, LF becomes a line break. Returns the bytes done, fewer
// than n only when the output stalled.
inline size_t PutEscaped(Out& o, const unsigned char* s, size_t n, const EscapeSet& e) {
    static_assert(sizeof e.text[0] >= kEscapeMargin);
    size_t i = 0;
    while (i < n) {
        if (!o.Reserve(kEscapeMargin)) return i;
        const size_t room = o.Room() - kEscapeMargin;
        const size_t lim = n - i < room ? n - i : room;
        const size_t k = CopyPlain(o.p, s + i, lim);
        o.p += k;
        i += k;
        if (k == lim) continue;
        // At least kEscapeMargin bytes of room remain.
        const uint8_t c = kEscapeClass[s[i++]];
        std::memcpy(o.p, e.text[c], kEscapeMargin);
        o.p += e.len[c];
    }
    return n;
}

// A filter that finds no end for the word or tag in front of it waits for
// more input, except at the end of the stream or when waiting would free no
// room: the buffer is nearly full and this call has consumed next to nothing.
inline bool CannotWait(const LWStream* in, size_t consumed) {
    if (in->EOS) return true;
    const size_t capacity = static_cast<size_t>(in->End - in->Start);
    return consumed <= 50 && InLen(in) + 50 >= capacity;
}

// The host's two link prefixes (web, mail) from the input's URL block.
// Without one the console hears of it once and the prefixes are empty from
// then on.
struct Prefixes {
    std::string_view web;
    std::string_view mail;
};
Prefixes LinkPrefixes(LWStream* in);

// Whether an attribute value or address, read the way a browser reads it
// (character references decoded, white space and control bytes ignored,
// case ignored), names a scheme that runs script or carries its own
// document: javascript:, vbscript:, data:.
bool DangerousScheme(std::string_view value);

} // namespace lw::markup
