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

// Decode rows in Utf8Entry form, 0 where a position is empty.
template <size_t R, size_t C> struct EntryRows { uint32_t e[R][C]; };

template <size_t R, size_t C> constexpr EntryRows<R, C> Expand(const uint16_t (&decode)[R][C]) {
    EntryRows<R, C> t{};
    for (size_t r = 0; r < R; ++r)
        for (size_t c = 0; c < C; ++c)
            t.e[r][c] = decode[r][c] == kEmpty ? 0 : Utf8Entry(decode[r][c]);
    return t;
}

inline constexpr auto kJisRows = Expand(kJIS0208Decode);
inline constexpr auto kKscRows = Expand(kKSC5601Decode);
inline constexpr auto kGbRows = Expand(kGB2312Decode);
inline constexpr auto kCns1Rows = Expand(kCNS1Decode);
inline constexpr auto kCns2Rows = Expand(kCNS2Decode);
inline constexpr auto kCns3Rows = Expand(kCNS3Decode);
inline constexpr auto kBig5Rows = Expand(kBIG5Decode);

// A table of 94 x 94 in 7-bit form (row and column 0x21 to 0x7E).
struct Table94 {
    const uint8_t* rows; // row -> index in e, 0xFF where not consulted
    const uint32_t (*e)[94];

    // The entry of (row, col): 0 when the pair is outside the consulted rows
    // or the position is empty.
    uint32_t operator()(unsigned row, unsigned col) const {
        if (row - 0x21 >= 94 || col - 0x21 >= 94) return 0;
        const unsigned k = rows[row - 0x21];
        return k == 0xFF ? 0 : e[k][col - 0x21];
    }
};

inline constexpr Table94 kJis{kJIS0208Rows, kJisRows.e};
inline constexpr Table94 kKsc{kKSC5601Rows, kKscRows.e};
inline constexpr Table94 kGb{kGB2312Rows, kGbRows.e};
inline constexpr Table94 kCns1{kCNS1Rows, kCns1Rows.e};
inline constexpr Table94 kCns2{kCNS2Rows, kCns2Rows.e};
inline constexpr Table94 kCns3{kCNS3Rows, kCns3Rows.e};

// Writes an entry whole and keeps its length: needs four bytes of room.
inline unsigned char* PutEntry(unsigned char* p, uint32_t e) {
    std::memcpy(p, &e, 4); // little-endian: the character's bytes first
    return p + (e >> 24);
}

// Set bits of a 16-bit mask, without a library call on machines that may
// lack a population-count instruction.
constexpr uint32_t Bits16(uint32_t x) {
    x = x - ((x >> 1) & 0x5555);
    x = (x & 0x3333) + ((x >> 2) & 0x3333);
    x = (x + (x >> 4)) & 0x0F0F;
    return (x + (x >> 8)) & 0x1F;
}

// Encode side: code point -> code, 0 when the set lacks the character.
struct Inverse {
    const uint32_t* blocks;
    const uint16_t* codes;

    uint32_t operator()(uint32_t cp) const {
        if (cp > 0xFFFF) return 0;
        const uint32_t b = blocks[cp >> 4];
        const uint32_t bit = 1u << (cp & 15);
        if ((b & bit) == 0) return 0;
        return codes[(b >> 16) + Bits16(b & (bit - 1))];
    }
};

inline constexpr Inverse kJisCode{kJIS0208Blocks, kJIS0208Codes};
inline constexpr Inverse kKscCode{kKSC5601Blocks, kKSC5601Codes};
inline constexpr Inverse kGbCode{kGB2312Blocks, kGB2312Codes};
inline constexpr Inverse kCnsCode{kCNSBlocks, kCNSCodes}; // plane marks as in the table
inline constexpr Inverse kBig5Code{kBIG5Blocks, kBIG5Codes};

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
// `margin` bytes of room. Bytes for which `stop(b)` holds end the run too.
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
        if ((w & kHighBits) != 0) break;
        bool clean = true;
        for (int k = 0; k < 8; ++k)
            clean = clean && !stop(s[i + k]);
        if (!clean) break;
        std::memcpy(p, &w, 8);
        p += 8;
        i += 8;
    }
    while (i < end && s[i] < 0x80 && !stop(s[i]))
        *p++ = s[i++];
    o.p = p;
}

inline void CopyAscii(const unsigned char* s, size_t n, size_t& i, Out& o, size_t margin) {
    CopyAscii(s, n, i, o, margin, [](unsigned char) { return false; });
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

// The loop of a stateless encoder: ASCII runs are copied, every other
// character goes to put(cp, o), which writes its code or nothing.
template <size_t Margin, class Put> uint32_t EncodeChars(LWStream* in, LWStream* out, Put put) {
    const bool eos = in->EOS != 0;
    return RunUnits<Margin>(in, out,
                            [eos, &put](const unsigned char* s, size_t n, size_t& i, Out& o) {
                                if (s[i] < 0x80) {
                                    CopyAscii(s, n, i, o, Margin);
                                    return true;
                                }
                                uint32_t cp;
                                const size_t len = ReadChar(s, n, i, eos, cp);
                                if (len == 0) return false;
                                i += len;
                                if (cp != kMalformed) put(cp, o);
                                return true;
                            });
}

} // namespace lw::mbcs
