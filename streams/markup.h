// What the markup filters share: the escaping of text, bulk writes that
// flush as they go, the host's link prefixes, when a filter stops waiting
// for the end of a word or tag, and the link schemes no page may follow.
#pragma once

#include "codec.h"

#include <array>
#include <cstring>
#include <string_view>

namespace lw::markup {

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

// Escapes s[0 .. n): the markup characters become references, CR is
// dropped and LF becomes `lf`. Runs of plain bytes are copied in bulk.
// Returns the bytes done, fewer than n only when the output stalled.
inline size_t PutEscaped(Out& o, const unsigned char* s, size_t n, std::string_view lf) {
    static constexpr std::string_view kRepl[] = {"", "&quot;", "&amp;", "&lt;", "&gt;", ""};
    size_t i = 0;
    while (i < n) {
        if (!o.Reserve(kEscapeMargin)) return i;
        const size_t room = o.Room() - kEscapeMargin;
        const size_t lim = n - i < room ? n - i : room;
        size_t k = 0;
        while (k < lim && kEscapeClass[s[i + k]] == kCopy)
            ++k;
        std::memcpy(o.p, s + i, k);
        o.p += k;
        i += k;
        if (i == n || k == lim) continue;
        const uint8_t c = kEscapeClass[s[i++]];
        const std::string_view r = c == kLf ? lf : kRepl[c];
        std::memcpy(o.p, r.data(), r.size());
        o.p += r.size();
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
