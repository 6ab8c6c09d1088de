// The stateless East Asian sets: EUC-KR, GB2312, BIG5, EUC-TW and Shift_JIS,
// to and from the library's internal UTF-8.
#include "multibyte.h"

#include <array>

namespace lw {
namespace {

using namespace mbcs;

constexpr bool InHigh(unsigned b) {
    return b >= 0xA1 && b <= 0xFE;
}

// Each stateless set: Need(c), the bytes of the unit that c starts (c of
// 0x80 and above, or a Roman letter); Entry(q), the entry of the complete
// unit at q, 0 when it is dropped. kRoman: 0x5C and 0x7E are no ASCII.

// The entry of an EUC pair (both bytes 0xA1 to 0xFE) in a 94 x 94 table.
inline uint32_t EucPair(const Table94& t, const unsigned char* q) {
    const unsigned lead = q[0] - 0xA1u, trail = q[1] - 0xA1u;
    return lead < 94 && trail < 94 ? t.e[lead][trail] : 0;
}

struct EucKr {
    static constexpr bool kRoman = false;
    static size_t Need(unsigned c) { return c - 0xA1u < 94 ? 2 : 1; }
    static uint32_t Entry(const unsigned char* q) {
        if (q[0] - 0xA1u < 94) return EucPair(kKsc, q);
        // C1 controls and 0xA0 pass as the characters they are; 0xFF goes.
        return q[0] < 0xA1 ? Utf8Entry(q[0]) : 0;
    }
};

struct Gb2312 {
    static constexpr bool kRoman = false;
    static size_t Need(unsigned) { return 2; }
    static uint32_t Entry(const unsigned char* q) { return EucPair(kGb, q); }
};

struct Big5 {
    static constexpr bool kRoman = false;
    static size_t Need(unsigned) { return 2; }
    static uint32_t Entry(const unsigned char* q) {
        const unsigned lead = q[0] - 0xA1u, trail = q[1];
        if (lead >= 89) return 0;
        if (trail >= 0x40 && trail <= 0x7E) return kBig5Dense.e[lead][trail - 0x40];
        return InHigh(trail) ? kBig5Dense.e[lead][trail - 0x62] : 0;
    }
};

struct EucTw {
    static constexpr bool kRoman = false;
    // 0x8E: single shift 2, a plane byte and a pair of that plane.
    static size_t Need(unsigned c) { return c == 0x8E ? 4 : 2; }
    static uint32_t Entry(const unsigned char* q) {
        if (q[0] != 0x8E) return EucPair(kCns1, q);
        static constexpr const Table94* kPlanes[] = {&kCns1, &kCns2, &kCns3};
        const unsigned plane = q[1] - 0xA1u;
        return plane < 3 ? EucPair(*kPlanes[plane], q + 2) : 0;
    }
};

// Shift_JIS lead bytes of JIS X 0208, in order: 0x81-0x9F, then 0xE0-0xEA.
constexpr unsigned SjisLead(unsigned lead) {
    if (lead >= 0x81 && lead <= 0x9F) return lead - 0x81;
    if (lead >= 0xE0 && lead <= 0xEA) return lead - 0xE0 + 31;
    return 0xFF;
}

// Every Shift_JIS pair of JIS X 0208 (trails 0x40-0xFC) and every single byte
// as an entry, so that a pair is one look-up; 0 where nothing is written.
struct SjisTables {
    uint8_t lead[256]; // SjisLead, or 0xFF
    uint32_t pair[42][189];
    uint32_t single[256]; // bytes that stand alone
};

constexpr SjisTables MakeSjisTables() {
    SjisTables t{};
    for (unsigned b = 0; b < 256; ++b) {
        t.lead[b] = static_cast<uint8_t>(SjisLead(b));
        if (b < 0x80) t.single[b] = Utf8Entry(b == 0x5C ? 0x00A5 : b == 0x7E ? 0x203E : b);
        if (b >= 0xA1 && b <= 0xDF) t.single[b] = Utf8Entry(0xFF61 + (b - 0xA1));
    }
    for (unsigned lead = 0; lead < 42; ++lead) {
        const unsigned row = lead * 2;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const unsigned r = trail >= 0x9F ? row + 1 : row;
            const unsigned c = trail >= 0x9F ? trail - 0x9F : trail - (trail > 0x7F ? 0x41 : 0x40);
            t.pair[lead][trail - 0x40] = kJisDense.e[r][c];
        }
    }
    return t;
}

inline constexpr SjisTables kSjis = MakeSjisTables();

struct Sjis {
    static constexpr bool kRoman = true;
    static size_t Need(unsigned c) { return c < 0x80 || (c >= 0xA1 && c <= 0xDF) ? 1 : 2; }
    static uint32_t Entry(const unsigned char* q) {
        const unsigned lead = q[0];
        if (lead < 0x80 || (lead >= 0xA1 && lead <= 0xDF)) return kSjis.single[lead];
        const unsigned trail = q[1];
        if (trail < 0x40 || trail > 0xFC) return 0;
        if (const unsigned k = kSjis.lead[lead]; k != 0xFF) return kSjis.pair[k][trail - 0x40];
        // The user-defined area, onto the private use code points.
        if (lead >= 0xF0 && lead <= 0xF9 && trail != 0x7F)
            return Utf8Entry(0xE000 + (lead - 0xF0) * 188 + trail - (trail < 0x7F ? 0x40 : 0x41));
        return 0;
    }
};

// A stateless decoder over blocks of input: ASCII eight bytes at a time where
// it stands for itself, every other unit through Set. Each input byte yields
// at most three output bytes and an entry is stored whole (four bytes), so a
// block of k bytes needs 3k + 1 bytes of room; a unit that starts in the
// block may end behind it. A unit cut by the end of the input waits for the
// next piece, or is dropped at the end of the stream.
template <class Set> uint32_t DecodeSet(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const unsigned char* q = s + i;
        const unsigned char* const last = s + n;
        const unsigned char* const end = q + std::min(n - i, (o.Room() - 1) / 3);
        unsigned char* p = o.p;
        bool more = true;
        while (q < end) {
            const unsigned c = *q;
            if (c < 0x80 && !(Set::kRoman && (c == 0x5C || c == 0x7E))) {
                uint64_t w;
                if (end - q >= 8 && (std::memcpy(&w, q, 8), (w & kHighBits) == 0) &&
                    !(Set::kRoman && (HasByte(w, 0x5C) || HasByte(w, 0x7E)))) {
                    std::memcpy(p, &w, 8);
                    p += 8;
                    q += 8;
                } else {
                    *p++ = static_cast<unsigned char>(c);
                    ++q;
                }
                continue;
            }
            const size_t need = Set::Need(c);
            if (static_cast<size_t>(last - q) < need) {
                more = eos;
                if (eos) q = last;
                break;
            }
            p = PutEntry(p, Set::Entry(q));
            q += need;
        }
        o.p = p;
        i = static_cast<size_t>(q - s);
        return more;
    });
}

inline unsigned char* PutPair(unsigned char* p, uint32_t code, uint32_t high) {
    p[0] = static_cast<unsigned char>((code >> 8) | high);
    p[1] = static_cast<unsigned char>((code & 0xFF) | high);
    return p + 2;
}

// Each stateless set's encoder: Put(cp, p) writes the code of cp at p (at
// most four bytes) and returns the new end, or p when the set lacks cp.

struct EucKrOut {
    static unsigned char* Put(uint32_t cp, unsigned char* p) {
        const uint32_t code = kKscCode(cp);
        return code ? PutPair(p, code, 0x80) : p;
    }
};

struct Gb2312Out {
    static unsigned char* Put(uint32_t cp, unsigned char* p) {
        const uint32_t code = kGbCode(cp);
        return code ? PutPair(p, code, 0x80) : p;
    }
};

struct Big5Out {
    static unsigned char* Put(uint32_t cp, unsigned char* p) {
        const uint32_t code = kBig5Code(cp);
        return code ? PutPair(p, code, 0) : p;
    }
};

struct EucTwOut {
    static unsigned char* Put(uint32_t cp, unsigned char* p) {
        const uint32_t code = kCnsCode(cp);
        if (code == 0) return p;
        if (code & (kCnsPlane2 | kCnsPlane3)) {
            p[0] = 0x8E;
            p[1] = (code & kCnsPlane2) ? 0xA2 : 0xA3;
            return PutPair(p + 2, code & 0x7F7F, 0x80);
        }
        return PutPair(p, code, 0x80);
    }
};

// The JIS X 0208 codes in their Shift_JIS form, in the order of the encode
// table, so that the common case is one look-up.
constexpr uint32_t ToSjis(uint32_t code) {
    const unsigned r = (code >> 8) - 0x21, c = (code & 0xFF) - 0x21;
    const unsigned lead = (r >> 1) + (r < 62 ? 0x81 : 0xC1);
    unsigned trail = (r & 1) ? c + 0x9F : c + 0x40;
    if (!(r & 1) && trail >= 0x7F) ++trail;
    return (lead << 8) | trail;
}

template <size_t N> constexpr std::array<uint16_t, N> SjisCodes(const uint16_t (&jis)[N]) {
    std::array<uint16_t, N> t{};
    for (size_t k = 0; k < N; ++k)
        t[k] = static_cast<uint16_t>(ToSjis(jis[k]));
    return t;
}

inline constexpr auto kSjisCodes = SjisCodes(kJIS0208Codes);
inline constexpr auto kSjisPages =
    Unfold<CountPages(kJIS0208Blocks)>(kJIS0208Blocks, kSjisCodes.data());
inline constexpr mbcs::PageLookup kSjisCode{kSjisPages.page, kSjisPages.codes};

struct SjisOut {
    static unsigned char* Put(uint32_t cp, unsigned char* p) {
        if (const uint32_t code = kSjisCode(cp)) return PutPair(p, code, 0);
        if (cp >= 0xFF61 && cp <= 0xFF9F) {
            *p = static_cast<unsigned char>(cp - 0xFEC0);
            return p + 1;
        }
        if (cp >= 0xE000 && cp <= 0xE757) {
            const uint32_t k = cp - 0xE000, idx = k % 188;
            return PutPair(p, ((0xF0 + k / 188) << 8) | (idx + (idx < 0x3F ? 0x40 : 0x41)), 0);
        }
        if (cp == 0x00A5 || cp == 0x203E) {
            // The Roman letters the decoder reads at 0x5C and 0x7E.
            *p = cp == 0x00A5 ? 0x5C : 0x7E;
            return p + 1;
        }
        return p;
    }
};

// A stateless encoder: ASCII copied (eight bytes at a time), three-byte
// sequences read in line, anything else by the shared reader. Stops while
// six bytes of room are left, so one more unit (four bytes) always fits.
template <class Set> uint32_t EncodeSet(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const unsigned char* q = s + i;
        const unsigned char* const last = s + n;
        unsigned char* p = o.p;
        unsigned char* const stop = o.s->End - 6;
        while (q < last && p < stop) {
            const unsigned c = *q;
            if (c < 0x80) {
                uint64_t w;
                if (last - q >= 8 && o.s->End - p >= 8 &&
                    (std::memcpy(&w, q, 8), (w & kHighBits) == 0)) {
                    std::memcpy(p, &w, 8);
                    p += 8;
                    q += 8;
                } else {
                    *p++ = static_cast<unsigned char>(c);
                    ++q;
                }
                continue;
            }
            uint32_t cp;
            size_t len = 3;
            if (c >= 0xE0 && c < 0xF0 && last - q >= 3 && (q[1] & 0xC0) == 0x80 &&
                (q[2] & 0xC0) == 0x80) {
                cp = ((c & 0x0Fu) << 12) | ((q[1] & 0x3Fu) << 6) | (q[2] & 0x3Fu);
                if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kMalformed;
            } else {
                len = ReadChar(s, n, static_cast<size_t>(q - s), eos, cp);
                if (len == 0) break;
            }
            q += len;
            if (cp != kMalformed) p = Set::Put(cp, p);
        }
        o.p = p;
        const bool waiting = q < last && p < stop;
        i = static_cast<size_t>(q - s);
        return !waiting;
    });
}

} // namespace

uint32_t DecodeEucKr(LWStream* in, LWStream* out) {
    return DecodeSet<EucKr>(in, out);
}
uint32_t EncodeEucKr(LWStream* in, LWStream* out) {
    return EncodeSet<EucKrOut>(in, out);
}
uint32_t DecodeGb2312(LWStream* in, LWStream* out) {
    return DecodeSet<Gb2312>(in, out);
}
uint32_t EncodeGb2312(LWStream* in, LWStream* out) {
    return EncodeSet<Gb2312Out>(in, out);
}
uint32_t DecodeBig5(LWStream* in, LWStream* out) {
    return DecodeSet<Big5>(in, out);
}
uint32_t EncodeBig5(LWStream* in, LWStream* out) {
    return EncodeSet<Big5Out>(in, out);
}
uint32_t DecodeEucTw(LWStream* in, LWStream* out) {
    return DecodeSet<EucTw>(in, out);
}
uint32_t EncodeEucTw(LWStream* in, LWStream* out) {
    return EncodeSet<EucTwOut>(in, out);
}
uint32_t DecodeSjis(LWStream* in, LWStream* out) {
    return DecodeSet<Sjis>(in, out);
}
uint32_t EncodeSjis(LWStream* in, LWStream* out) {
    return EncodeSet<SjisOut>(in, out);
}

} // namespace lw
