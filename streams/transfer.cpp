// MIME transfer encodings: base64 and quoted-printable, both directions.
#include "codec.h"

#include <array>
#include <cstring>

namespace lw {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

// 6-bit value of each alphabet character; 255 for every other byte.
constexpr std::array<uint8_t, 256> kReverse = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = 255;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    return t;
}();

// Decodes one collected group; `=` in the last one or two places shortens it.
inline void EmitGroup(Out& o, const unsigned char g[4]) {
    unsigned a = kReverse[g[0]], b = kReverse[g[1]], c = kReverse[g[2]], d = kReverse[g[3]];
    o.Put(static_cast<unsigned char>((a << 2) | (b >> 4)));
    if (g[3] == '=' && g[2] == '=') return;
    o.Put(static_cast<unsigned char>((b << 4) | (c >> 2)));
    if (g[3] == '=') return;
    o.Put(static_cast<unsigned char>((c << 6) | d));
}

// The reverse table pre-shifted for each place of a group; a byte outside the
// alphabet sets bit 24, so one OR of four look-ups tells a clean group.
struct PlaceTables {
    uint32_t t[4][256];
};
constexpr PlaceTables kPlaces = [] {
    PlaceTables p{};
    for (int c = 0; c < 256; ++c) {
        for (int k = 0; k < 4; ++k) {
            p.t[k][c] = kReverse[c] == 255 ? 0x1000000u : uint32_t{kReverse[c]} << (18 - 6 * k);
        }
    }
    return p;
}();

inline unsigned HexValue(unsigned char c) {
    c |= 0x20;
    return c > 0x40 ? static_cast<unsigned>(c - 87) : (c & 0x0F);
}

// Clean groups of four alphabet characters, as many as the room allows; a
// CR LF between groups (the usual line end) is stepped over here too.
inline void DecodeCleanGroups(const unsigned char* s, size_t n, size_t& i, Out& o) {
    size_t groups = (o.Room() - 4) / 3;
    unsigned char* p = o.p;
    while (groups > 0 && i + 4 <= n) {
        const uint32_t v = kPlaces.t[0][s[i]] | kPlaces.t[1][s[i + 1]] | kPlaces.t[2][s[i + 2]] |
                           kPlaces.t[3][s[i + 3]];
        if (v >> 24) {
            if (s[i] == '\r' && s[i + 1] == '\n') {
                i += 2;
                continue;
            }
            break;
        }
        p[0] = static_cast<unsigned char>(v >> 16);
        p[1] = static_cast<unsigned char>(v >> 8);
        p[2] = static_cast<unsigned char>(v);
        p += 3;
        i += 4;
        --groups;
    }
    o.p = p;
}

// General group: line breaks are skipped, every other byte counts. False
// when the group waits for the next piece.
inline bool DecodeGroup(LWStream* in, size_t n, size_t& i, Out& o) {
    const unsigned char* s = in->Start;
    unsigned char g[4];
    int got = 0;
    size_t j = i;
    while (got < 4 && j < n) {
        unsigned char c = s[j++];
        if (c == '\r' || c == '\n') continue;
        g[got++] = c;
    }
    if (got == 4) {
        i = j;
        EmitGroup(o, g);
        return true;
    }
    if (!in->EOS) {
        // Present the partial group again with the next piece, but not the
        // line breaks among and before its characters: they move to the end
        // of what is consumed, so a buffer full of line ends behind a partial
        // group cannot stall the chain.
        unsigned char* keep = in->Start + (j - got);
        for (int k = 0; k < got; ++k)
            keep[k] = g[k];
        i = j - got;
        return false;
    }
    // A final group that lost its padding still carries whole bytes (two
    // characters hold one, three hold two); decode them.
    i = j;
    if (got >= 2) {
        for (int k = got; k < 4; ++k)
            g[k] = '=';
        EmitGroup(o, g);
    }
    return false;
}

} // namespace

uint32_t Base64Decode(LWStream* in, LWStream* out) {
    return RunUnits<6>(in, out, [in](const unsigned char* s, size_t n, size_t& i, Out& o) {
        DecodeCleanGroups(s, n, i, o);
        return i >= n || (o.Reserve(6) && DecodeGroup(in, n, i, o));
    });
}

uint32_t Base64EncodeRun(LWStream* in, LWStream* out, bool lineBreaks) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    auto group = [&](uint32_t v, int bytes) {
        o.p[0] = kAlphabet[(v >> 18) & 63];
        o.p[1] = kAlphabet[(v >> 12) & 63];
        o.p[2] = bytes > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        o.p[3] = bytes > 2 ? kAlphabet[v & 63] : '=';
        o.p += 4;
        // State counts the groups of the line: 19 groups of four are the
        // 76 characters a base64 line may hold. Without line breaks it
        // counts every group of the stream.
        if (++in->State % 19 == 0 && lineBreaks) {
            o.Put2('\r', '\n');
            in->State = 0;
        }
    };
    while (n - i >= 3) {
        if (!o.Reserve(6)) return Finish(in, o, i, true);
        group((uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2], 3);
        i += 3;
    }
    if (!in->EOS) return Finish(in, o, i, true);
    if (n - i > 0) {
        if (!o.Reserve(6)) return Finish(in, o, i, true);
        uint32_t v = uint32_t{s[i]} << 16;
        if (n - i == 2) v |= uint32_t{s[i + 1]} << 8;
        group(v, static_cast<int>(n - i));
        i = n;
    }
    if (lineBreaks && in->State % 19 != 0) {
        if (!o.Reserve(6)) return Finish(in, o, i, true);
        o.Put2('\r', '\n');
    }
    in->State = 0;
    return Finish(in, o, i, true);
}

uint32_t Base64Encode(LWStream* in, LWStream* out) {
    return Base64EncodeRun(in, out, true);
}

// One quoted-printable escape at s[i] ('='); false when it waits for more.
bool QPDecodeEscape(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos) {
    if (i + 2 < n) {
        const unsigned char c1 = s[i + 1];
        if (c1 == '\r' || c1 == '\n') {
            // Soft line break: =CR LF, =LF, =CR, and =LF LF as a whole.
            i += 2;
            if (s[i] == '\n') ++i;
            return true;
        }
        o.Put(static_cast<unsigned char>(HexValue(c1) * 16 + HexValue(s[i + 2])));
        i += 3;
        return true;
    }
    if (!eos) return false;
    // A soft break that ends the stream is still a soft break; any other
    // escape cut short by the end is kept as written.
    if (i + 1 < n && (s[i + 1] == '\r' || s[i + 1] == '\n')) {
        i += 2;
        return true;
    }
    o.Put('=');
    ++i;
    return true;
}

uint32_t QPDecode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        if (s[i] == '=') return QPDecodeEscape(s, n, i, o, eos);
        // Literal run up to the next escape, bounded by the room.
        size_t k = std::min(n - i, o.Room() - 6);
        if (const void* eq = std::memchr(s + i, '=', k); eq != nullptr)
            k = static_cast<size_t>(static_cast<const unsigned char*>(eq) - (s + i));
        std::memcpy(o.p, s + i, k);
        o.p += k;
        i += k;
        return true;
    });
}

namespace {

// A line holds at most 76 characters, the soft break's '=' included, so text
// runs to column 75 before one; `width` is what the next unit takes.
inline void SoftBreak(uint32_t& col, uint32_t width, Out& o) {
    col += width;
    if (col > 75) {
        o.Put('=');
        o.Put2('\r', '\n');
        col = 3;
    }
}

} // namespace

uint32_t QPEncode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    uint32_t& col = in->State;
    auto unit = [eos, &col](const unsigned char* s, size_t n, size_t& i, Out& o) {
        // The last byte waits for its successor: a CR may follow.
        if (i + 1 == n && !eos) return false;
        const unsigned char c = s[i];
        if (c == '\r' || c == '\n') {
            col = 0;
            if (i + 1 == n) {
                o.Put(c);
            } else if (s[i + 1] == '\n') {
                o.Put2(c, '\n');
                ++i;
            } else {
                o.Put2('\r', '\n');
            }
            ++i;
            return true;
        }
        const bool spaceBeforeCr = c == ' ' && i + 1 < n && s[i + 1] == '\r';
        if (c >= 0x20 && c <= 0x7F && c != '=' && !spaceBeforeCr) {
            SoftBreak(col, 1, o);
            o.Put(c);
        } else {
            SoftBreak(col, 3, o);
            o.Put('=');
            o.Put2(static_cast<unsigned char>(kHex[c >> 4]),
                   static_cast<unsigned char>(kHex[c & 15]));
        }
        ++i;
        return true;
    };
    return RunUnits<6>(in, out, unit);
}

} // namespace lw
