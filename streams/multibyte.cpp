// The stateless East Asian sets: EUC-KR, GB2312, BIG5, EUC-TW and Shift_JIS,
// to and from the library's internal UTF-8.
#include "multibyte.h"

namespace lw {
namespace {

using namespace mbcs;

// Bytes of a pair that are still to come: wait for them, or at the end of the
// stream drop what there is.
inline size_t Short(size_t avail, bool eos) {
    return eos ? avail : 0;
}

constexpr bool InHigh(unsigned b) {
    return b >= 0xA1 && b <= 0xFE;
}

// The loop of a stateless decoder: runs of ASCII that the set leaves alone
// (`roman(b)` marks those it does not) are copied whole; unit(s, avail, o)
// converts the unit at s and returns the bytes it took, 0 to wait.
template <class Unit, class Roman>
uint32_t DecodeUnits(LWStream* in, LWStream* out, Unit unit, Roman roman) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [&](const unsigned char* s, size_t n, size_t& i, Out& o) {
        if (s[i] < 0x80 && !roman(s[i])) {
            CopyAscii(s, n, i, o, 6, roman);
            return true;
        }
        const size_t used = unit(s + i, n - i, eos, o);
        i += used;
        return used != 0;
    });
}

template <class Unit> uint32_t DecodeUnits(LWStream* in, LWStream* out, Unit unit) {
    return DecodeUnits(in, out, unit, [](unsigned char) { return false; });
}

size_t EucKrUnit(const unsigned char* s, size_t avail, bool eos, Out& o) {
    if (s[0] < 0xA1) {
        // C1 controls and 0xA0 pass as the characters they are.
        PutUtf8(o, s[0]);
        return 1;
    }
    if (s[0] == 0xFF) return 1;
    if (avail < 2) return Short(avail, eos);
    if (InHigh(s[1])) PutFound(o, kKsc(s[0] & 0x7Fu, s[1] & 0x7Fu));
    return 2;
}

size_t Gb2312Unit(const unsigned char* s, size_t avail, bool eos, Out& o) {
    if (avail < 2) return Short(avail, eos);
    if (InHigh(s[0]) && InHigh(s[1])) PutFound(o, kGb(s[0] & 0x7Fu, s[1] & 0x7Fu));
    return 2;
}

size_t Big5Unit(const unsigned char* s, size_t avail, bool eos, Out& o) {
    if (avail < 2) return Short(avail, eos);
    const unsigned lead = s[0], trail = s[1];
    if (lead < 0xA1 || lead > 0xF9 || kBIG5Rows[lead - 0xA1] == 0xFF) return 2;
    unsigned col;
    if (trail >= 0x40 && trail <= 0x7E) {
        col = trail - 0x40;
    } else if (InHigh(trail)) {
        col = trail - 0x62;
    } else {
        return 2;
    }
    PutFound(o, kBIG5Decode[kBIG5Rows[lead - 0xA1]][col]);
    return 2;
}

size_t EucTwUnit(const unsigned char* s, size_t avail, bool eos, Out& o) {
    if (s[0] == 0x8E) {
        // Single shift 2: a plane byte, then a pair of that plane.
        if (avail < 4) return Short(avail, eos);
        static constexpr const Table94* kPlanes[] = {&kCns1, &kCns2, &kCns3};
        const unsigned plane = s[1] - 0xA1u;
        if (plane < 3 && InHigh(s[2]) && InHigh(s[3]))
            PutFound(o, (*kPlanes[plane])(s[2] & 0x7Fu, s[3] & 0x7Fu));
        return 4;
    }
    if (avail < 2) return Short(avail, eos);
    if (InHigh(s[0]) && InHigh(s[1])) PutFound(o, kCns1(s[0] & 0x7Fu, s[1] & 0x7Fu));
    return 2;
}

constexpr bool SjisTrail(unsigned t) {
    return t >= 0x40 && t <= 0xFC && t != 0x7F;
}

// A Shift_JIS pair as its JIS X 0208 code point, or kEmpty.
uint32_t SjisToJis(unsigned lead, unsigned trail) {
    unsigned row = ((lead < 0xA0 ? lead - 0x81 : lead - 0xC1) << 1) + 0x21;
    unsigned col;
    if (trail >= 0x9F) {
        ++row;
        col = trail - 0x9F + 0x21;
    } else {
        col = trail - (trail > 0x7F ? 0x41 : 0x40) + 0x21;
    }
    return kJis(row, col);
}

// The JIS X 0201 Roman letters that differ from ASCII.
constexpr bool SjisRoman(unsigned char b) {
    return b == 0x5C || b == 0x7E;
}

size_t SjisUnit(const unsigned char* s, size_t avail, bool eos, Out& o) {
    const unsigned lead = s[0];
    if (lead < 0x80) {
        PutUtf8(o, lead == 0x5C ? 0x00A5 : lead == 0x7E ? 0x203E : lead);
        return 1;
    }
    if (lead >= 0xA1 && lead <= 0xDF) {
        PutUtf8(o, 0xFF61 + (lead - 0xA1));
        return 1;
    }
    if (avail < 2) return Short(avail, eos);
    const unsigned trail = s[1];
    if (!SjisTrail(trail)) return 2;
    if ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xEA)) {
        PutFound(o, SjisToJis(lead, trail));
    } else if (lead >= 0xF0 && lead <= 0xF9) {
        // The user-defined area, onto the private use code points.
        PutUtf8(o, 0xE000 + (lead - 0xF0) * 188 + trail - (trail < 0x7F ? 0x40 : 0x41));
    }
    return 2;
}

inline void PutPair(Out& o, uint32_t code, uint32_t high) {
    o.Put2(static_cast<unsigned char>((code >> 8) | high),
           static_cast<unsigned char>((code & 0xFF) | high));
}

void PutSjis(uint32_t cp, Out& o) {
    if (cp >= 0xFF61 && cp <= 0xFF9F) {
        o.Put(static_cast<unsigned char>(cp - 0xFEC0));
    } else if (cp >= 0xE000 && cp <= 0xE757) {
        const uint32_t k = cp - 0xE000, idx = k % 188;
        o.Put2(static_cast<unsigned char>(0xF0 + k / 188),
               static_cast<unsigned char>(idx + (idx < 0x3F ? 0x40 : 0x41)));
    } else if (cp == 0x00A5 || cp == 0x203E) {
        // The Roman letters the decoder reads at 0x5C and 0x7E.
        o.Put(cp == 0x00A5 ? 0x5C : 0x7E);
    } else if (const uint32_t code = kJisCode(cp); code != 0) {
        const unsigned r = (code >> 8) - 0x21, c = (code & 0xFF) - 0x21;
        const unsigned lead = (r >> 1) + (r < 62 ? 0x81 : 0xC1);
        unsigned trail = (r & 1) ? c + 0x9F : c + 0x40;
        if (!(r & 1) && trail >= 0x7F) ++trail;
        o.Put2(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
    }
}

void PutEucTw(uint32_t cp, Out& o) {
    const uint32_t code = kCnsCode(cp);
    if (code == 0) return;
    if (code & (kCnsPlane2 | kCnsPlane3)) {
        o.Put2(0x8E, (code & kCnsPlane2) ? 0xA2 : 0xA3);
        PutPair(o, code & 0x7F7F, 0x80);
    } else {
        PutPair(o, code, 0x80);
    }
}

} // namespace

uint32_t DecodeEucKr(LWStream* in, LWStream* out) {
    return DecodeUnits(in, out, EucKrUnit);
}
uint32_t EncodeEucKr(LWStream* in, LWStream* out) {
    return EncodeChars<6>(in, out, [](uint32_t cp, Out& o) {
        if (const uint32_t code = kKscCode(cp)) PutPair(o, code, 0x80);
    });
}

uint32_t DecodeGb2312(LWStream* in, LWStream* out) {
    return DecodeUnits(in, out, Gb2312Unit);
}
uint32_t EncodeGb2312(LWStream* in, LWStream* out) {
    return EncodeChars<6>(in, out, [](uint32_t cp, Out& o) {
        if (const uint32_t code = kGbCode(cp)) PutPair(o, code, 0x80);
    });
}

uint32_t DecodeBig5(LWStream* in, LWStream* out) {
    return DecodeUnits(in, out, Big5Unit);
}
uint32_t EncodeBig5(LWStream* in, LWStream* out) {
    return EncodeChars<6>(in, out, [](uint32_t cp, Out& o) {
        if (const uint32_t code = kBig5Code(cp)) PutPair(o, code, 0);
    });
}

uint32_t DecodeEucTw(LWStream* in, LWStream* out) {
    return DecodeUnits(in, out, EucTwUnit);
}
uint32_t EncodeEucTw(LWStream* in, LWStream* out) {
    return EncodeChars<6>(in, out, PutEucTw);
}

uint32_t DecodeSjis(LWStream* in, LWStream* out) {
    return DecodeUnits(in, out, SjisUnit, SjisRoman);
}
uint32_t EncodeSjis(LWStream* in, LWStream* out) {
    return EncodeChars<6>(in, out, PutSjis);
}

} // namespace lw
