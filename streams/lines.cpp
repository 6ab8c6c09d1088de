// iCalendar line formats (folding, unfolding, escaped line breaks) and CR LF
// line ends.
#include "codec.h"

namespace lw {

// Unfold: a line end followed by a space is removed together with the space.
uint32_t UnfoldDecode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const unsigned char c = s[i];
        if (c == '\r' || c == '\n') {
            // Decided by the two bytes behind it; among the last two bytes
            // of the stream a line end is copied.
            if (i + 2 >= n) {
                if (!eos) return false;
            } else if (s[i + 1] == ' ') {
                i += 2;
                return true;
            } else if (c == '\r' && s[i + 1] == '\n' && s[i + 2] == ' ') {
                i += 3;
                return true;
            }
        }
        o.Put(c);
        ++i;
        return true;
    });
}

// Fold: after 75 bytes of a line, continue on a new line that starts with a
// space. State counts the bytes since the last fold or line feed; a fold is
// written only when another byte of the same line follows, so a line that
// ends right at the limit is not followed by an empty continuation, and a
// CR LF is never split.
uint32_t FoldEncode(LWStream* in, LWStream* out) {
    uint32_t& count = in->State;
    return RunUnits<6>(in, out, [&count](const unsigned char* s, size_t, size_t& i, Out& o) {
        const unsigned char c = s[i++];
        if (c == '\n') {
            count = 0;
        } else if (c != '\r' && count > 74) {
            o.Put2('\r', '\n');
            o.Put(' ');
            count = 0;
        }
        o.Put(c);
        ++count;
        return true;
    });
}

// Length of the line end at s[i] (CR LF or LF; a lone CR is none), 0 when
// there is none, or -1 when a CR is the last byte and the stream goes on.
inline int LineEnd(const unsigned char* s, size_t n, size_t i, bool eos) {
    if (s[i] == '\n') return 1;
    if (s[i] != '\r') return 0;
    if (i + 1 >= n) return eos ? 0 : -1;
    return s[i + 1] == '\n' ? 2 : 0;
}

// Line breaks (CR LF or LF) become the two characters backslash and n.
uint32_t MultiLineEncode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<6>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const int end = LineEnd(s, n, i, eos);
        if (end < 0) return false;
        if (end > 0) {
            o.Put2('\\', 'n');
            i += static_cast<size_t>(end);
        } else {
            o.Put(s[i++]);
        }
        return true;
    });
}

// Every line end (LF, CR LF, lone CR) becomes CR LF.
uint32_t CrlfEncode(LWStream* in, LWStream* out) {
    const bool eos = in->EOS != 0;
    return RunUnits<2>(in, out, [eos](const unsigned char* s, size_t n, size_t& i, Out& o) {
        const int end = LineEnd(s, n, i, eos);
        if (end < 0) return false;
        if (end > 0 || s[i] == '\r') {
            o.Put2('\r', '\n');
            i += end > 0 ? static_cast<size_t>(end) : 1;
        } else {
            o.Put(s[i++]);
        }
        return true;
    });
}

} // namespace lw
