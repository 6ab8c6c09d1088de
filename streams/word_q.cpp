// The Q encoding of encoded words: quoted-printable with an underscore for
// the space, on one line of any length.
#include "codec.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace lw {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Bytes written as themselves: 0x21 to 0x7F except '=', '?' and '_'.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x21; c <= 0x7F; ++c)
        t[c] = c != '=' && c != '?' && c != '_';
    return t;
}();

} // namespace

uint32_t WordQDecode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    unsigned char* const w = in->Start;
    return RunUnits<6>(in, out, [eos, w](const unsigned char* s, size_t n, size_t& i, Out& o) {
        if (s[i] == '=') return QPDecodeEscape(s, n, i, o, eos);
        if (s[i] == '_') {
            // The space is restored in the input too, as the contract allows.
            w[i++] = ' ';
            o.Put(' ');
            return true;
        }
        const size_t k = std::min(n - i, o.Room() - 6);
        size_t j = 0;
        while (j < k && s[i + j] != '=' && s[i + j] != '_')
            ++j;
        std::memcpy(o.p, s + i, j);
        o.p += j;
        i += j;
        return true;
    });
}

uint32_t WordQEncode(LWStream* in, LWStream* out) {
    return RunUnits<6>(in, out, [](const unsigned char* s, size_t n, size_t& i, Out& o) {
        // Each byte takes at most three bytes of output.
        const size_t end = i + std::min(n - i, o.Room() / 3);
        unsigned char* p = o.p;
        for (; i < end; ++i) {
            const unsigned char c = s[i];
            if (kPlain[c]) {
                *p++ = c;
            } else if (c == ' ') {
                *p++ = '_';
            } else {
                p[0] = '=';
                p[1] = static_cast<unsigned char>(kHex[c >> 4]);
                p[2] = static_cast<unsigned char>(kHex[c & 15]);
                p += 3;
            }
        }
        o.p = p;
        return true;
    });
}

} // namespace lw
