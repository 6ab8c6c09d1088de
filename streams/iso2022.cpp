// The stateful East Asian sets: ISO-2022-JP, ISO-2022-KR, ISO-2022-CN and HZ,
// to and from the library's internal UTF-8. The shift state lives in the
// input stream's State, so a sequence cut between two pieces carries on.
#include "multibyte.h"

namespace lw {
namespace {

using namespace mbcs;

constexpr unsigned char kEsc = 0x1B, kSO = 0x0E, kSI = 0x0F;

// Bytes to come of a sequence at s[i]: false (wait) while the stream goes on;
// at its end the cut sequence is dropped with the rest of the input.
inline bool Cut(size_t n, size_t& i, bool eos) {
    if (eos) i = n;
    return eos;
}

// In a double-byte state: controls pass singly, so a line end is never lost
// inside a pair; a byte whose partner is a control is dropped alone; other
// pairs go to lookup(first, second). False to wait for the second byte.
template <class Lookup>
inline bool DecodePair(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos,
                       Lookup lookup) {
    if (s[i] < 0x21) {
        o.Put(s[i++]);
        return true;
    }
    if (i + 1 >= n) return Cut(n, i, eos);
    if (s[i + 1] < 0x21) {
        ++i;
        return true;
    }
    PutFound(o, lookup(s[i], s[i + 1]));
    i += 2;
    return true;
}

// ASCII run of a 7-bit form up to the next byte `special` marks; bytes of
// 0x80 and above have no place in these forms and are dropped.
template <class Special>
inline void DecodeAscii(const unsigned char* s, size_t n, size_t& i, Out& o, Special special) {
    if (s[i] >= 0x80) {
        ++i;
        return;
    }
    if (special(s[i])) {
        o.Put(s[i++]);
        return;
    }
    CopyAscii(s, n, i, o, 6, special);
}

// How many of the bytes at s[i] match `seq` (up to its length); `complete`
// tells whether all of seq was there.
inline size_t Match(const unsigned char* s, size_t n, size_t i, const char* seq, bool& complete) {
    size_t k = 0;
    while (seq[k] != '\0' && i + k < n && s[i + k] == static_cast<unsigned char>(seq[k]))
        ++k;
    complete = seq[k] == '\0';
    return k;
}

// ---- ISO-2022-JP: State 0 ASCII, 1 JIS X 0201 Roman, 2 JIS X 0208.

uint32_t JpRoman(unsigned char b) {
    if (b == 0x5C) return 0x00A5;
    if (b == 0x7E) return 0x203E;
    if (b >= 0xA1 && b <= 0xDF) return 0xFF61 + (b - 0xA1u);
    return b < 0x80 ? b : kEmpty;
}

// An escape sequence at s[i]; false to wait for the rest of it.
bool JpEscape(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& set) {
    if (i + 1 >= n) return Cut(n, i, eos);
    const unsigned char x = s[i + 1];
    if (x != '(' && x != '$') {
        ++i; // an escape of no known form is dropped alone
        return true;
    }
    if (i + 2 >= n) return Cut(n, i, eos);
    const unsigned char y = s[i + 2];
    if (x == '(') {
        if (y == 'B') set = 0;
        if (y == 'J') set = 1;
        i += 3;
    } else if (y == '@' || y == 'B') {
        set = 2;
        i += 3;
    } else {
        o.Put(s[i++]); // ESC $ and another byte are data
    }
    return true;
}

// A run of JIS X 0208 pairs, as far as both bytes of each are graphic and
// the room lasts (an entry is stored whole: four bytes).
inline void JisRun(const unsigned char* s, size_t n, size_t& i, Out& o) {
    unsigned char* p = o.p;
    unsigned char* const stop = o.s->End - 4;
    while (i + 1 < n && p < stop && s[i] >= 0x21 && s[i + 1] >= 0x21) {
        p = PutEntry(p, kJis(s[i], s[i + 1]));
        i += 2;
    }
    o.p = p;
}

bool JpDecodeUnit(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& set) {
    if (s[i] == kEsc) return JpEscape(s, n, i, o, eos, set);
    if (set == 2) {
        const size_t from = i;
        JisRun(s, n, i, o);
        if (i != from) return true;
        return DecodePair(s, n, i, o, eos, kJis);
    }
    if (set == 1) {
        const uint32_t cp = JpRoman(s[i++]);
        if (cp != kEmpty) PutUtf8(o, cp);
        return true;
    }
    DecodeAscii(s, n, i, o, StopAt<kEsc>{});
    return true;
}

void JpSwitch(Out& o, uint32_t& set, uint32_t to) {
    if (set == to) return;
    static constexpr unsigned char kSeq[3][3] = {
        {kEsc, '(', 'B'}, {kEsc, '(', 'J'}, {kEsc, '$', 'B'}};
    o.Put(kSeq[to][0]);
    o.Put2(kSeq[to][1], kSeq[to][2]);
    set = to;
}

void JpEncodeChar(uint32_t cp, Out& o, uint32_t& set) {
    if (const uint32_t code = kJisCode(cp)) {
        JpSwitch(o, set, 2);
        o.Put2(static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code));
    } else if (cp >= 0xFF61 && cp <= 0xFF9F) {
        JpSwitch(o, set, 1);
        o.Put(static_cast<unsigned char>(cp - 0xFEC0));
    } else if (cp == 0x00A5 || cp == 0x203E) {
        // The Roman letters the decoder reads at 0x5C and 0x7E.
        JpSwitch(o, set, 1);
        o.Put(cp == 0x00A5 ? 0x5C : 0x7E);
    }
}

// The loop of a stateful encoder: ascii(s, n, i, o) takes the ASCII run at
// s[i], put(cp, o) writes one other character or nothing.
template <size_t Margin, class Ascii, class Put, class Close>
uint32_t EncodeStateful(LWStream* in, LWStream* out, Ascii ascii, Put put, Close close) {
    const bool eos = in->EOS != 0;
    auto unit = [&](const unsigned char* s, size_t n, size_t& i, Out& o) {
        if (s[i] < 0x80) {
            ascii(s, n, i, o);
            return true;
        }
        uint32_t cp;
        const size_t len = ReadChar(s, n, i, eos, cp);
        if (len == 0) return false;
        i += len;
        if (cp != kMalformed) put(cp, o);
        return true;
    };
    return RunUnits<Margin, false>(in, out, unit, close);
}

// ---- ISO-2022-KR and ISO-2022-CN: State low byte 1 after SO; the second
// byte the SO designation; for CN the third byte the SS2 designation.

constexpr uint32_t kShifted = 0x1;

inline uint32_t SoDesignation(uint32_t state) {
    return (state >> 8) & 0xFF;
}
inline void SetSoDesignation(uint32_t& state, uint32_t d) {
    state = (state & ~0xFF00u) | (d << 8);
}
constexpr uint32_t kSs2Plane2 = 0x10000;

// SO and SI. An SO with nothing designated also takes the byte after it.
bool ShiftCode(const unsigned char* s, size_t n, size_t& i, bool eos, uint32_t& state) {
    if (s[i] == kSI) {
        state &= ~kShifted;
        ++i;
        return true;
    }
    if (SoDesignation(state) == 0) {
        if (i + 1 >= n) return Cut(n, i, eos);
        ++i;
    }
    state |= kShifted;
    ++i;
    return true;
}

bool KrDecodeUnit(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& state) {
    const unsigned char c = s[i];
    if (c == kEsc) {
        bool complete;
        const size_t k = Match(s, n, i, "\x1B$)C", complete);
        if (complete) SetSoDesignation(state, 1);
        if (!complete && i + k == n) return Cut(n, i, eos);
        i += k;
        return true;
    }
    if (c == kSO || c == kSI) return ShiftCode(s, n, i, eos, state);
    if (state & kShifted) {
        const bool designated = SoDesignation(state) != 0;
        return DecodePair(s, n, i, o, eos, [designated](unsigned r, unsigned col) {
            return designated ? kKsc(r, col) : 0;
        });
    }
    DecodeAscii(s, n, i, o, StopAt<kEsc, kSO, kSI>{});
    return true;
}

constexpr bool LineEnd(unsigned char b) {
    return b == '\r' || b == '\n';
}

// ASCII for the ISO-2022 forms that designate per line: SI first when
// shifted; a line end also drops the designations.
void ShiftedAscii(const unsigned char* s, size_t n, size_t& i, Out& o, uint32_t& state,
                  size_t margin) {
    if (state & kShifted) {
        o.Put(kSI);
        state &= ~kShifted;
    }
    if (LineEnd(s[i])) {
        o.Put(s[i++]);
        state = 0;
        return;
    }
    CopyAscii(s, n, i, o, margin, StopAt<'\r', '\n'>{});
}

void Put7(Out& o, uint32_t code) {
    o.Put2(static_cast<unsigned char>((code >> 8) & 0x7F), static_cast<unsigned char>(code & 0x7F));
}

void ShiftOut(Out& o, uint32_t& state) {
    if (!(state & kShifted)) {
        o.Put(kSO);
        state |= kShifted;
    }
}

void KrEncodeChar(uint32_t cp, Out& o, uint32_t& state) {
    const uint32_t code = kKscCode(cp);
    if (code == 0) return;
    if (SoDesignation(state) == 0) {
        o.Put(kEsc);
        o.Put2('$', ')');
        o.Put('C');
        SetSoDesignation(state, 1);
    }
    ShiftOut(o, state);
    Put7(o, code);
}

// Closes a shifted ISO-2022-KR or -CN text with SI.
struct ShiftIn {
    uint32_t& state;
    void operator()(Out& o) const {
        if (state & kShifted) o.Put(kSI);
        state = 0;
    }
};

// ---- ISO-2022-CN. SO designations: 1 GB 2312, 2 CNS 11643 plane 1.

bool CnEscape(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& state) {
    if (i + 1 < n && s[i + 1] == 'N') {
        // Single shift 2: one plane 2 character.
        if (i + 3 >= n) return Cut(n, i, eos);
        if ((state & kSs2Plane2) && s[i + 2] >= 0x21 && s[i + 2] <= 0x72)
            PutFound(o, kCns2(s[i + 2], s[i + 3]));
        i += 4;
        return true;
    }
    static constexpr struct {
        const char* seq;
        uint32_t so, ss2;
    } kSeqs[] = {{"\x1B$)A", 1, 0}, {"\x1B$)G", 2, 0}, {"\x1B$*H", 0, kSs2Plane2}};
    size_t longest = 1;
    bool partialAtEnd = false;
    for (const auto& q : kSeqs) {
        bool complete;
        const size_t k = Match(s, n, i, q.seq, complete);
        if (complete) {
            if (q.so != 0) SetSoDesignation(state, q.so);
            state |= q.ss2;
            i += k;
            return true;
        }
        partialAtEnd = partialAtEnd || i + k == n;
        longest = std::max(longest, k);
    }
    if (partialAtEnd) return Cut(n, i, eos);
    i += longest;
    return true;
}

bool CnDecodeUnit(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& state) {
    const unsigned char c = s[i];
    if (c == kEsc) return CnEscape(s, n, i, o, eos, state);
    if (c == kSO || c == kSI) return ShiftCode(s, n, i, eos, state);
    if (state & kShifted) {
        const uint32_t so = SoDesignation(state);
        return DecodePair(s, n, i, o, eos, [so](unsigned r, unsigned col) {
            return so == 1 ? kGb(r, col) : so == 2 ? kCns1(r, col) : 0u;
        });
    }
    if (LineEnd(c)) state = 0; // unshifted: a line end ends the designations
    DecodeAscii(s, n, i, o, StopAt<kEsc, kSO, kSI, '\r', '\n'>{});
    return true;
}

void CnDesignate(Out& o, uint32_t& state, uint32_t so) {
    if (SoDesignation(state) == so) return;
    o.Put(kEsc);
    o.Put2('$', ')');
    o.Put(so == 1 ? 'A' : 'G');
    SetSoDesignation(state, so);
}

void CnEncodeChar(uint32_t cp, Out& o, uint32_t& state) {
    if (const uint32_t gb = kGbCode(cp)) {
        CnDesignate(o, state, 1);
        ShiftOut(o, state);
        Put7(o, gb);
        return;
    }
    const uint32_t cns = kCnsCode(cp);
    if (cns == 0 || (cns & kCnsPlane3)) return;
    if (!(cns & kCnsPlane2)) {
        CnDesignate(o, state, 2);
        ShiftOut(o, state);
        Put7(o, cns);
        return;
    }
    if (!(state & kSs2Plane2)) {
        o.Put(kEsc);
        o.Put2('$', '*');
        o.Put('H');
        state |= kSs2Plane2;
    }
    o.Put2(kEsc, 'N');
    Put7(o, cns);
}

// ---- HZ: State 0 ASCII mode, 1 GB mode.

bool HzDecodeUnit(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos, uint32_t& mode) {
    if (s[i] == '~') {
        if (i + 1 >= n) {
            if (!eos) return false;
            if (mode == 0) o.Put('~'); // a ~ that ends the text is a ~
            ++i;
            return true;
        }
        const unsigned char x = s[i + 1];
        if (mode == 0 && (x == '~' || x == '{')) {
            if (x == '~') o.Put('~');
            mode = x == '{';
            i += 2;
            return true;
        }
        if (mode == 1 && x == '}') {
            mode = 0;
            i += 2;
            return true;
        }
        if (mode == 0) {
            o.Put(s[i++]);
            return true;
        }
    }
    if (mode == 1) return DecodePair(s, n, i, o, eos, kGb);
    DecodeAscii(s, n, i, o, StopAt<'~'>{});
    return true;
}

void HzAscii(const unsigned char* s, size_t n, size_t& i, Out& o, uint32_t& mode) {
    if (mode == 1) {
        o.Put2('~', '}');
        mode = 0;
    }
    if (s[i] == '~') {
        o.Put2('~', '~');
        ++i;
        return;
    }
    CopyAscii(s, n, i, o, 6, StopAt<'~'>{});
}

void HzEncodeChar(uint32_t cp, Out& o, uint32_t& mode) {
    const uint32_t gb = kGbCode(cp);
    if (gb == 0) return;
    if (mode == 0) {
        o.Put2('~', '{');
        mode = 1;
    }
    Put7(o, gb);
}

// A stateful decoder: unit(s, n, i, o, eos, state) as the other loops.
template <class Unit> uint32_t DecodeStateful(LWStream* in, LWStream* out, Unit unit) {
    const bool eos = in->EOS != 0;
    uint32_t& state = in->State;
    return RunUnits<6>(in, out, [&](const unsigned char* s, size_t n, size_t& i, Out& o) {
        return unit(s, n, i, o, eos, state);
    });
}

} // namespace

uint32_t DecodeIso2022Jp(LWStream* in, LWStream* out) {
    return DecodeStateful(in, out, JpDecodeUnit);
}
uint32_t EncodeIso2022Jp(LWStream* in, LWStream* out) {
    uint32_t& set = in->State;
    return EncodeStateful<6>(
        in, out,
        [&set](const unsigned char* s, size_t n, size_t& i, Out& o) {
            JpSwitch(o, set, 0);
            CopyAscii(s, n, i, o, 6);
        },
        [&set](uint32_t cp, Out& o) { JpEncodeChar(cp, o, set); },
        [&set](Out& o) { JpSwitch(o, set, 0); });
}

uint32_t DecodeIso2022Kr(LWStream* in, LWStream* out) {
    return DecodeStateful(in, out, KrDecodeUnit);
}
uint32_t EncodeIso2022Kr(LWStream* in, LWStream* out) {
    uint32_t& state = in->State;
    return EncodeStateful<7>(
        in, out,
        [&state](const unsigned char* s, size_t n, size_t& i, Out& o) {
            ShiftedAscii(s, n, i, o, state, 7);
        },
        [&state](uint32_t cp, Out& o) { KrEncodeChar(cp, o, state); }, ShiftIn{state});
}

uint32_t DecodeIso2022Cn(LWStream* in, LWStream* out) {
    return DecodeStateful(in, out, CnDecodeUnit);
}
uint32_t EncodeIso2022Cn(LWStream* in, LWStream* out) {
    uint32_t& state = in->State;
    // The longest unit: ESC $ * H, ESC N and the pair.
    return EncodeStateful<8>(
        in, out,
        [&state](const unsigned char* s, size_t n, size_t& i, Out& o) {
            ShiftedAscii(s, n, i, o, state, 8);
        },
        [&state](uint32_t cp, Out& o) { CnEncodeChar(cp, o, state); }, ShiftIn{state});
}

uint32_t DecodeHz(LWStream* in, LWStream* out) {
    return DecodeStateful(in, out, HzDecodeUnit);
}
uint32_t EncodeHz(LWStream* in, LWStream* out) {
    uint32_t& mode = in->State;
    return EncodeStateful<6>(
        in, out,
        [&mode](const unsigned char* s, size_t n, size_t& i, Out& o) { HzAscii(s, n, i, o, mode); },
        [&mode](uint32_t cp, Out& o) { HzEncodeChar(cp, o, mode); },
        NoClose{}); // no ~} at the end: the reader's mode ends with the text
}

} // namespace lw
