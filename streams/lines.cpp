// iCalendar line formats (folding, unfolding, escaped line breaks) and CR LF
// line ends.
#include "codec.h"

namespace lw {

// Unfold: a line end followed by a space is removed together with the space.
uint32_t UnfoldDecode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    const bool eos = in->EOS != 0;
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(6)) return Finish(in, o, i);
        unsigned char c = s[i];
        if (c != '\r' && c != '\n') {
            o.Put(c);
            ++i;
            continue;
        }
        // Decided by the two bytes behind it; among the last two bytes of
        // the stream a line end is copied.
        if (i + 2 >= n) {
            if (!eos) break;
            o.Put(c);
            ++i;
            continue;
        }
        if (s[i + 1] == ' ') {
            i += 2;
            continue;
        }
        if (c == '\r' && s[i + 1] == '\n' && s[i + 2] == ' ') {
            i += 3;
            continue;
        }
        o.Put(c);
        ++i;
    }
    return Finish(in, o, i);
}

// Fold: after 75 bytes of a line, continue on a new line that starts with a
// space. State counts the bytes since the last fold or line feed; a fold is
// written only when another byte of the same line follows, so a line that
// ends right at the limit is not followed by an empty continuation, and a
// CR LF is never split.
uint32_t FoldEncode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    uint32_t& count = in->State;
    while (i < n) {
        if (!o.Reserve(6)) return Finish(in, o, i);
        unsigned char c = s[i++];
        if (c == '\n') {
            count = 0;
        } else if (c != '\r' && count > 74) {
            o.Put2('\r', '\n');
            o.Put(' ');
            count = 0;
        }
        o.Put(c);
        ++count;
    }
    return Finish(in, o, i);
}

// Line breaks (CR LF or LF) become the two characters backslash and n.
uint32_t MultiLineEncode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(6)) return Finish(in, o, i);
        unsigned char c = s[i];
        if (c == '\n') {
            o.Put2('\\', 'n');
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= n) {
                if (!in->EOS) break;
                o.Put(c);
                ++i;
            } else if (s[i + 1] == '\n') {
                o.Put2('\\', 'n');
                i += 2;
            } else {
                o.Put(c);
                ++i;
            }
        } else {
            o.Put(c);
            ++i;
        }
    }
    return Finish(in, o, i);
}

// Every line end (LF, CR LF, lone CR) becomes CR LF.
uint32_t CrlfEncode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        if (!o.Reserve(2)) return Finish(in, o, i);
        unsigned char c = s[i];
        if (c == '\n') {
            o.Put2('\r', '\n');
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= n && !in->EOS) break;
            o.Put2('\r', '\n');
            i += (i + 1 < n && s[i + 1] == '\n') ? 2 : 1;
        } else {
            o.Put(c);
            ++i;
        }
    }
    return Finish(in, o, i);
}

} // namespace lw
