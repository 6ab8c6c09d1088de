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
    bool asciiIdentity; // bytes below 0x80 stand for themselves
};

constexpr uint32_t kUndefined = 0xFFFF;

constexpr Utf8Table Expand(const uint16_t (&decode)[256], Undefined rule) {
    Utf8Table t{};
    t.asciiIdentity = true;
    for (int b = 0; b < 0x80; ++b)
        t.asciiIdentity = t.asciiIdentity && decode[b] == b;
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
    return RunUnits<5>(in, out, [&t](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const size_t k = std::min(n - i, (o.Room() - 1) / 3);
        unsigned char* p = o.p;
        const unsigned char* q = s + i;
        const unsigned char* const end = q + k;
        // Eight bytes at a time: where the set leaves ASCII as it is, a chunk
        // of ASCII is copied whole, any other chunk goes through the table
        // without a branch per byte (text that mixes scripts would defeat
        // branch prediction). Output stays within three bytes per input byte
        // plus the fourth byte of the last store, as the block was sized for.
        while (end - q >= 8) {
            uint64_t w;
            std::memcpy(&w, q, 8);
            if (t.asciiIdentity && (w & 0x8080808080808080ull) == 0) {
                std::memcpy(p, &w, 8);
                p += 8;
                q += 8;
                continue;
            }
            for (int j = 0; j < 8; ++j) {
                const uint32_t e = t.e[q[j]];
                std::memcpy(p, &e, 4); // little-endian: the character's bytes first
                p += e >> 24;
            }
            q += 8;
        }
        for (; q != end; ++q) {
            const uint32_t e = t.e[*q];
            std::memcpy(p, &e, 4);
            p += e >> 24;
        }
        o.p = p;
        i += k;
        return true;
    });
}

// Encode table of a single-byte set: two levels, 0 where a code point is
// not in the set.
struct ByteTable {
    const uint8_t* index;
    const uint8_t (*pages)[256];

    uint32_t operator()(uint32_t cp) const {
        return cp < 0x10000 ? pages[index[cp >> 8]][cp & 0xFF] : 0;
    }
};

// Writes the byte of one character, or what stands for a character the set
// lacks.
template <bool Question> inline unsigned char* PutByte(unsigned char* p, uint32_t b) {
    if (Question) {
        *p = static_cast<unsigned char>(b ? b : '?');
        return p + 1;
    }
    *p = static_cast<unsigned char>(b);
    return p + (b != 0);
}

// Converts eight-byte chunks while a whole chunk lies before blockEnd: runs
// of ASCII are copied whole, pairs of two-byte sequences (most non-Latin
// text) are converted side by side, anything else one sequence at a time.
// The output never runs ahead of the input, so writing eight bytes at p stays
// inside the room the block was sized for.
template <bool Question>
unsigned char* EncodeChunks(const ByteTable lookup, const unsigned char* s, size_t& i,
                            size_t blockEnd, unsigned char* p) {
    while (i + 8 <= blockEnd) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        const uint64_t high = w & 0x8080808080808080ull;
        if (high == 0) {
            std::memcpy(p, &w, 8);
            p += 8;
            i += 8;
            continue;
        }
        if (const int ascii = __builtin_ctzll(high) >> 3; ascii > 0) {
            std::memcpy(p, &w, 8);
            p += ascii;
            i += ascii;
            continue;
        }
        const uint32_t c = static_cast<uint32_t>(w) & 0xFF;
        const uint32_t c1 = static_cast<uint32_t>(w >> 8) & 0x3F;
        const uint32_t cpA = ((c & 0x1F) << 6) | c1;
        const uint32_t cpB = ((static_cast<uint32_t>(w >> 16) & 0x1F) << 6) |
                             (static_cast<uint32_t>(w >> 24) & 0x3F);
        // Two two-byte sequences, neither of them overlong.
        if ((w & 0xC0E0C0E0u) == 0x80C080C0u && cpA >= 0x80 && cpB >= 0x80) {
            p = PutByte<Question>(p, lookup(cpA));
            p = PutByte<Question>(p, lookup(cpB));
            i += 4;
            continue;
        }
        uint32_t cp;
        i += ReadSequence(s + i, 8, cp); // eight bytes hold any sequence
        p = PutByte<Question>(p, cp == kMalformed ? 0 : lookup(cp));
    }
    return p;
}

// UTF-8 in, one byte out per character; a character the set lacks, or a
// malformed sequence, is unmappable. Every unit writes at most one byte and
// consumes at least one, so a block of k input bytes needs no more than k
// bytes of room.
template <bool Question> uint32_t EncodeWith(const ByteTable lookup, LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    auto block = [lookup, eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const size_t blockEnd = i + std::min(n - i, o.Room() - 5);
        unsigned char* p = EncodeChunks<Question>(lookup, s, i, blockEnd, o.p);
        while (i < blockEnd) {
            if (s[i] < 0x80) {
                *p++ = s[i++];
                continue;
            }
            uint32_t cp;
            const size_t len = ReadSequence(s + i, n - i, cp);
            if (len == 0) {
                o.p = p;
                if (!eos) return false;
                // A sequence cut off by the end of the stream is no character.
                i = n;
                if (Question) o.Put('?');
                return true;
            }
            i += len;
            p = PutByte<Question>(p, cp == kMalformed ? 0 : lookup(cp));
        }
        o.p = p;
        return true;
    };
    return RunUnits<5>(in, out, block);
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
        return EncodeWith<Unmappable::unmap == Unmappable::Question>(                              \
            ByteTable{sbcs::k##id##Index, sbcs::k##id##Pages}, in, out);                           \
    }
LW_SBCS_SETS(LW_SBCS_CODECS)
#undef LW_SBCS_CODECS

uint32_t Utf8Copy(LWStream* in, LWStream* out) {
    return RunUnits<6>(in, out, [](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const size_t k = std::min(n - i, o.Room() - 6);
        std::memcpy(o.p, s + i, k);
        o.p += k;
        i += k;
        return true;
    });
}

// Both directions: ASCII passes, every other byte becomes '?'.
uint32_t AsciiConvert(LWStream* in, LWStream* out) {
    return RunUnits<5>(in, out, [](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const size_t k = std::min(n - i, o.Room() - 5);
        for (size_t j = 0; j < k; ++j)
            o.p[j] = s[i + j] < 0x80 ? s[i + j] : '?';
        o.p += k;
        i += k;
        return true;
    });
}

} // namespace lw
