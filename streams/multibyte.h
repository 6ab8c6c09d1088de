// What the East Asian character sets share: their double-byte tables, UTF-8
// writing on decode, character reading on encode, and the ASCII runs both
// directions copy whole. Private to the stream library.
#pragma once

#include "codec.h"
#include "generated/mbcs_tables.h"

#include <algorithm>
#include <cstring>

namespace lw::mbcs {

constexpr uint32_t kEmpty = 0xFFFD; // no character at this position

// A decode table in Utf8Entry form, every row present (0 where a row is not
// consulted or a position is empty), so a look-up is one bounds check and
// one load. Rows are 94 columns (7-bit form) or 157 (Big5).
template <size_t R, size_t C> struct Dense { uint32_t e[R][C]; };

template <size_t R, size_t P, size_t C>
constexpr Dense<R, C> Expand(const uint8_t (&rows)[R], const uint16_t (&decode)[P][C]) {
    Dense<R, C> t{};
    for (size_t r = 0; r < R; ++r) {
        if (rows[r] == 0xFF) continue;
        for (size_t c = 0; c < C; ++c) {
            const uint32_t cp = decode[rows[r]][c];
            t.e[r][c] = cp == kEmpty ? 0 : Utf8Entry(cp);
        }
    }
    return t;
}

inline constexpr auto kJisDense = Expand(kJIS0208Rows, kJIS0208Decode);
inline constexpr auto kKscDense = Expand(kKSC5601Rows, kKSC5601Decode);
inline constexpr auto kGbDense = Expand(kGB2312Rows, kGB2312Decode);
inline constexpr auto kCns1Dense = Expand(kCNS1Rows, kCNS1Decode);
inline constexpr auto kCns2Dense = Expand(kCNS2Rows, kCNS2Decode);
inline constexpr auto kCns3Dense = Expand(kCNS3Rows, kCNS3Decode);
inline constexpr auto kBig5Dense = Expand(kBIG5Rows, kBIG5Decode); // leads 0xA1-0xF9

// A table of 94 x 94 in 7-bit form (row and column 0x21 to 0x7E).
struct Table94 {
    const uint32_t (*e)[94];

    // The entry of (row, col): 0 outside the table, outside the consulted
    // rows, or where the position is empty.
    uint32_t operator()(unsigned row, unsigned col) const {
        return row - 0x21 < 94 && col - 0x21 < 94 ? e[row - 0x21][col - 0x21] : 0;
    }
};

inline constexpr Table94 kJis{kJisDense.e};
inline constexpr Table94 kKsc{kKscDense.e};
inline constexpr Table94 kGb{kGbDense.e};
inline constexpr Table94 kCns1{kCns1Dense.e};
inline constexpr Table94 kCns2{kCns2Dense.e};
inline constexpr Table94 kCns3{kCns3Dense.e};

// Writes an entry whole and keeps its length: needs four bytes of room.
inline unsigned char* PutEntry(unsigned char* p, uint32_t e) {
    std::memcpy(p, &e, 4); // little-endian: the character's bytes first
    return p + (e >> 24);
}

// Encode side: the block masks unfolded at compile time into pages of 256
// code points, so that a character is one look-up. Page 0 stays empty for
// the code points a set lacks; a code is never 0.
template <size_t Pages> struct PageTable {
    uint8_t page[256];           // cp >> 8 -> its page, 0 when the set has none there
    uint16_t codes[Pages * 256]; // page p: the codes of its 256 code points
};

// The look-up, one for tables of every size: a member of each PageTable
// size compiles to identical code that the compiler may fold across sizes,
// and then warns of bounds it mixed up itself.
struct PageLookup {
    const uint8_t* page;
    const uint16_t* codes;

    // The code of cp, 0 when the set lacks the character.
    uint32_t operator()(uint32_t cp) const {
        return cp > 0xFFFF ? 0 : codes[size_t{page[cp >> 8]} * 256 + (cp & 0xFF)];
    }
};

constexpr size_t CountPages(const uint32_t (&blocks)[4096]) {
    size_t pages = 1;
    for (size_t hi = 0; hi < 256; ++hi) {
        bool any = false;
        for (size_t b = hi * 16; b < hi * 16 + 16; ++b)
            any = any || (blocks[b] & 0xFFFF) != 0;
        pages += any;
    }
    return pages;
}

// Code point cp is present when bit cp & 15 of the low half of
// blocks[cp >> 4] is set; the block's codes follow one another in `codes`
// from the index in the high half.
template <size_t Pages>
constexpr PageTable<Pages> Unfold(const uint32_t (&blocks)[4096], const uint16_t* codes) {
    PageTable<Pages> t{};
    size_t next = 1;
    for (size_t b = 0; b < 4096; ++b) {
        const uint32_t mask = blocks[b] & 0xFFFF;
        if (mask == 0) continue;
        if (t.page[b >> 4] == 0) t.page[b >> 4] = static_cast<uint8_t>(next++);
        size_t k = blocks[b] >> 16;
        for (size_t bit = 0; bit < 16; ++bit)
            if (mask & (1u << bit))
                t.codes[size_t{t.page[b >> 4]} * 256 + (b & 15) * 16 + bit] = codes[k++];
    }
    return t;
}

#define LW_UNFOLD(blocks, codes) Unfold<CountPages(blocks)>(blocks, codes)
inline constexpr auto kJisPages = LW_UNFOLD(kJIS0208Blocks, kJIS0208Codes);
inline constexpr auto kKscPages = LW_UNFOLD(kKSC5601Blocks, kKSC5601Codes);
inline constexpr auto kGbPages = LW_UNFOLD(kGB2312Blocks, kGB2312Codes);
inline constexpr auto kCnsPages = LW_UNFOLD(kCNSBlocks, kCNSCodes); // plane marks as in the table
inline constexpr auto kBig5Pages = LW_UNFOLD(kBIG5Blocks, kBIG5Codes);
#undef LW_UNFOLD
inline constexpr PageLookup kJisCode{kJisPages.page, kJisPages.codes};
inline constexpr PageLookup kKscCode{kKscPages.page, kKscPages.codes};
inline constexpr PageLookup kGbCode{kGbPages.page, kGbPages.codes};
inline constexpr PageLookup kCnsCode{kCnsPages.page, kCnsPages.codes};
inline constexpr PageLookup kBig5Code{kBig5Pages.page, kBig5Pages.codes};

constexpr uint32_t kCnsPlane2 = 0x8000;
constexpr uint32_t kCnsPlane3 = 0x0080;

// Writes a code point below U+10000 in UTF-8 (one to three bytes).
inline void PutUtf8(Out& o, uint32_t cp) {
    if (cp < 0x80) {
        o.Put(static_cast<unsigned char>(cp));
    } else if (cp < 0x800) {
        o.Put2(static_cast<unsigned char>(0xC0 | (cp >> 6)),
               static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else {
        o.Put(static_cast<unsigned char>(0xE0 | (cp >> 12)));
        o.Put2(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)),
               static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    }
}

// A looked-up entry: written unless the position is empty.
inline void PutFound(Out& o, uint32_t e) {
    o.p = PutEntry(o.p, e);
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Copies the run of ASCII bytes at s[i], within n and leaving more than
// `margin` bytes of room. Bytes for which `stop(b)` holds end the run too
// (`stop(w)` tells whether eight bytes hold any; see StopAt).
template <class Stop>
inline void CopyAscii(const unsigned char* s, size_t n, size_t& i, Out& o, size_t margin,
                      Stop stop) {
    // A shift code written just before may have used part of the margin.
    const size_t room = o.Room() > margin ? o.Room() - margin : 0;
    const size_t end = i + std::min(n - i, room);
    unsigned char* p = o.p;
    while (i + 8 <= end) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if ((w & kHighBits) != 0 || stop(w)) break;
        std::memcpy(p, &w, 8);
        p += 8;
        i += 8;
    }
    while (i < end && s[i] < 0x80 && !stop(s[i]))
        *p++ = s[i++];
    o.p = p;
}

// True when any of the eight bytes of w is b.
constexpr bool HasByte(uint64_t w, unsigned char b) {
    const uint64_t v = w ^ (0x0101010101010101ull * b);
    return ((v - 0x0101010101010101ull) & ~v & kHighBits) != 0;
}

// Stops a run at any of the bytes Bs; asked of single bytes and of eight at
// once.
template <unsigned char... Bs> struct StopAt {
    constexpr bool operator()([[maybe_unused]] unsigned char b) const { return ((b == Bs) || ...); }
    constexpr bool operator()([[maybe_unused]] uint64_t w) const { return (HasByte(w, Bs) || ...); }
};

inline void CopyAscii(const unsigned char* s, size_t n, size_t& i, Out& o, size_t margin) {
    CopyAscii(s, n, i, o, margin, StopAt<>{});
}

// The character at s[i] for an encoder: its length in bytes, or 0 when the
// stream goes on and the sequence is not complete yet. A sequence cut off
// by the end of the stream takes the rest and is no character.
inline size_t ReadChar(const unsigned char* s, size_t n, size_t i, bool eos, uint32_t& cp) {
    const size_t len = ReadSequence(s + i, n - i, cp);
    if (len != 0) return len;
    if (!eos) return 0;
    cp = kMalformed;
    return n - i;
}

} // namespace lw::mbcs
