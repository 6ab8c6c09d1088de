// Encoded words in header text: the scanner finds every =?charset?X?text?=
// and replaces it by its characters in UTF-8; the producer turns the 8-bit
// part of each line into one word in a chosen character set. Both run each
// word through a private chain of registry codecs, so every character set
// of the registry works in words.
#include "codec.h"

#include "ascii.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace lw {
namespace {

constexpr size_t kMargin = 6;

// A word, or a line's 8-bit part, is decided within this many bytes of its
// start. Waiting for more stops there: the bytes kept back then leave the
// writer in front of us room for its largest unit, and the decision does not
// depend on how the input was cut into pieces.
constexpr size_t kSlack = 64;
size_t Horizon(const LWStream* in) {
    const size_t cap = static_cast<size_t>(in->End - in->Start);
    return cap > 2 * kSlack ? cap - kSlack : std::max<size_t>(cap / 2, 8);
}

// The producer covers at most this many bytes of a line with one word; a
// longer 8-bit part becomes adjacent words, each of which fits a scanner's
// reach in every character set and encoding: a byte takes at most three in
// Q, and base64 of any set's form (at most 9/4 of its UTF-8, shifts of the
// ISO-2022 sets included) takes at most three.
constexpr size_t kPiece = 240;

// Last stage of a word's private chain: appends what reaches it to the outer
// output (Data), flushing that when full, but never passes the sub-chain's
// end of stream on: the stage after this codec sees the end once, at the
// real end of the text.
uint32_t Relay(LWStream* in, LWStream*) {
    Out o(static_cast<LWStream*>(in->Data));
    const size_t n = InLen(in);
    size_t i = 0;
    while (i < n && o.Reserve(kMargin)) {
        const size_t k = std::min(n - i, o.Room() - kMargin);
        std::memcpy(o.p, in->Start + i, k);
        o.p += k;
        i += k;
    }
    o.Sync();
    return static_cast<uint32_t>(i);
}

// A word's chain: `first` reads the piece in place, `second` takes its output
// in its own buffer and hands its result to the relay into `out`. Returns the
// bytes of the piece that `first` consumed.
struct SubChain {
    unsigned char mid[LWSTREAM_BUFSIZE];
    unsigned char tail[LWSTREAM_BUFSIZE];

    uint32_t Run(LWCodec first, LWCodec second, unsigned char* piece, size_t len, LWStream* out) {
        LWStream a{}, b{}, r{};
        a.Start = piece;
        a.Len = static_cast<int32_t>(len);
        a.End = piece + len;
        a.EOS = 1;
        a.Codec = first;
        a.Next = &b;
        b.Start = mid;
        b.End = mid + sizeof mid;
        b.Codec = second;
        b.Next = &r;
        r.Start = tail;
        r.End = tail + sizeof tail;
        r.Codec = Relay;
        r.Data = out;
        const uint32_t used = first(&a, &b);
        assert(used <= len);
        return used;
    }
};

enum class Scan { Word, Text, More };

// Positions of a word's three inner '?': after the charset name, after the
// letter, and before the closing '='.
struct WordAt {
    size_t q1, q2, q3;
};

// Reads the word that s[i], s[i + 1] ("=?") start, within s[.. limit).
// Text when no word is complete on the line; More when limit came first.
Scan FindWord(const unsigned char* s, size_t i, size_t limit, WordAt& w) {
    const unsigned char* p = s + i + 2;
    const unsigned char* const end = s + limit;
    while (p < end && *p != '?' && *p != '\n')
        ++p;
    if (p == end) return Scan::More;
    if (*p == '\n') return Scan::Text;
    w.q1 = static_cast<size_t>(p - s);
    if (end - p < 3) return Scan::More;
    if (p[1] == '\n' || p[1] == '?' || p[2] != '?') return Scan::Text;
    w.q2 = w.q1 + 2;
    // The text runs to the first "?=" of the line.
    for (p += 3; p < end && *p != '\n'; ++p) {
        if (*p != '?') continue;
        if (p + 1 == end) return Scan::More;
        if (p[1] == '=') {
            w.q3 = static_cast<size_t>(p - s);
            return Scan::Word;
        }
    }
    return p == end ? Scan::More : Scan::Text;
}

LWCodec WordCodec(unsigned char letter, int encode) {
    switch (letter) {
    case 'Q':
    case 'q':
        return LWStreamFindCodec("RFC1522Q", encode);
    case 'B':
    case 'b':
        return LWStreamFindCodec("RFC1522B", encode);
    default:
        return nullptr;
    }
}

// The codec of a character set named by a word or by Param. Only the
// character-set rows count, which follow every other row of the registry:
// a name from a message must not reach a transfer encoding, the calendar
// collector, or this codec itself (a word in a word, without end).
LWCodec CharsetCodec(const char* name, int encode) {
    const LWStreamEntry* e = LWStreamList;
    while (e->Name != nullptr && !e->Primary)
        ++e;
    for (; e->Name != nullptr; ++e)
        if (arbor::EqualNoCase(e->Name, name)) return encode ? e->Encode : e->Decode;
    return nullptr;
}

// The charset decoder the name between s[from] and s[to] stands for.
LWCodec CharsetDecoder(const unsigned char* s, size_t from, size_t to) {
    char name[64];
    if (to - from >= sizeof name) return nullptr; // longer than any registered name
    std::memcpy(name, s + from, to - from);
    name[to - from] = '\0';
    return CharsetCodec(name, 0);
}

// Decides the "=?" at s[i]: Word, Text, or More (wait for the next piece).
Scan Classify(const LWStream* in, size_t n, size_t i, WordAt& w) {
    const unsigned char* s = in->Start;
    const size_t horizon = Horizon(in);
    const size_t limit = std::min(n, i + horizon);
    Scan r = FindWord(s, i, limit, w);
    if (r != Scan::More) {
        // At the end of the stream a remainder of at most 8 bytes without a
        // line end is taken as text.
        if (r == Scan::Word && in->EOS && n - i <= 8 && !std::memchr(s + i, '\n', n - i))
            return Scan::Text;
        return r;
    }
    if (limit == i + horizon || in->EOS || (i == 0 && n >= static_cast<size_t>(in->End - s)))
        return Scan::Text;
    return Scan::More;
}

} // namespace

// The scanner. A word is decoded through its word decoder and charset decoder
// into the output; a word with an unknown charset or letter, and anything
// that is no complete word, passes as text.
uint32_t WordsDecode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    unsigned char* const s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    SubChain chain;
    while (i < n && o.Reserve(kMargin)) {
        if (s[i] != '=') {
            size_t k = std::min(n - i, o.Room() - kMargin);
            if (const void* eq = std::memchr(s + i, '=', k); eq != nullptr)
                k = static_cast<size_t>(static_cast<const unsigned char*>(eq) - (s + i));
            std::memcpy(o.p, s + i, k);
            o.p += k;
            i += k;
            continue;
        }
        if (i + 1 == n && !in->EOS) break;
        if (i + 1 == n || s[i + 1] != '?') {
            o.Put(s[i++]);
            continue;
        }
        WordAt w{};
        const Scan r = Classify(in, n, i, w);
        if (r == Scan::More) break;
        LWCodec word = r == Scan::Word ? WordCodec(s[w.q1 + 1], 0) : nullptr;
        LWCodec charset = word ? CharsetDecoder(s, i + 2, w.q1) : nullptr;
        if (charset == nullptr) {
            o.Put2('=', '?');
            i += 2;
            continue;
        }
        o.Sync();
        chain.Run(word, charset, s + w.q2 + 1, w.q3 - w.q2 - 1, out);
        o.p = out->Start + out->Len;
        i = w.q3 + 2;
    }
    return Finish(in, o, i);
}

namespace {

constexpr size_t kWait = SIZE_MAX;

// End of the piece of a line that one word covers, from s[i]; kWait to wait
// for more input. Sets `more` when the line goes on past the piece.
size_t PieceEnd(const LWStream* in, size_t n, size_t i, bool& more) {
    const unsigned char* s = in->Start;
    const size_t reach = std::min(kPiece, Horizon(in));
    const size_t limit = std::min(n, i + reach);
    more = false;
    if (const void* lf = std::memchr(s + i, '\n', limit - i); lf != nullptr) {
        size_t e = static_cast<size_t>(static_cast<const unsigned char*>(lf) - s);
        return e > i && s[e - 1] == '\r' ? e - 1 : e;
    }
    if (limit < i + reach) {
        const bool full = i == 0 && n >= static_cast<size_t>(in->End - s);
        if (in->EOS) return n;
        if (!full) return kWait;
    }
    // The line goes on: encode this piece of it, cut before a UTF-8 sequence
    // that would not end inside it.
    more = true;
    size_t e = limit;
    for (size_t k = e; k > i + 1 && k + 4 > e; --k) {
        const unsigned c = s[k - 1];
        if (c < 0x80) break;
        if (c >= 0xC0) {
            const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            if (k - 1 + len > e) e = k - 1;
            break;
        }
    }
    return e;
}

// Writes "=?charset?L?", the word's text and "?=" for s[i .. e); returns the
// bytes consumed, 0 when the output has no room.
size_t ProduceWord(LWStream* in, size_t i, size_t e, Out& o, SubChain& chain, LWCodec charset) {
    unsigned char* const s = in->Start;
    size_t high = 0;
    for (size_t k = i; k < e && high <= 10; ++k)
        high += s[k] >> 7;
    const char letter = high > 10 ? 'B' : 'Q';
    const LWCodec word = WordCodec(static_cast<unsigned char>(letter), 1);
    if (word == nullptr) return 0;
    const char* name = static_cast<const char*>(in->Param);
    const size_t header = std::strlen(name) + 5;
    if (!o.Reserve(std::max<size_t>(30, header + kMargin))) return 0;
    o.p += std::snprintf(reinterpret_cast<char*>(o.p), o.Room(), "=?%s?%c?", name, letter);
    o.Sync();
    size_t used = chain.Run(charset, word, s + i, e - i, o.s);
    o.p = o.s->Start + o.s->Len;
    if (used == 0) {
        ConsoleMessage("\rTrouble - RFC1522Codec return 0 bytes processed\n");
        used = e - i;
        if (used == 0) {
            ConsoleMessage("\rDouble Trouble - RFC1522Codec ptr-In also 0\n");
            used = InLen(in) - i;
        }
    }
    if (o.Reserve(kMargin) || o.Room() >= 2) o.Put2('?', '=');
    return used;
}

} // namespace

// The producer. State is 1 while a line longer than the horizon is being
// produced piece by piece: its next piece is a word from its first byte on.
uint32_t WordsEncode(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* const s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    SubChain chain;
    while (i < n && o.Reserve(kMargin)) {
        if (in->State == 0 && s[i] < 0x80) {
            const size_t k = std::min(n - i, o.Room() - kMargin);
            size_t j = 0;
            while (j < k && s[i + j] < 0x80)
                ++j;
            std::memcpy(o.p, s + i, j);
            o.p += j;
            i += j;
            continue;
        }
        bool more = false;
        const size_t e = PieceEnd(in, n, i, more);
        if (e == kWait) break;
        if (e == i) { // a continued line ends here
            in->State = 0;
            continue;
        }
        const LWCodec charset =
            in->Param ? CharsetCodec(static_cast<const char*>(in->Param), 1) : nullptr;
        if (charset == nullptr) { // nothing to write the 8-bit text in: it goes
            in->State = 0;
            if (s[i] >= 0x80) ++i;
            continue;
        }
        const size_t used = ProduceWord(in, i, e, o, chain, charset);
        if (used == 0) break;
        i += used;
        in->State = more && i == e ? 1 : 0;
    }
    return Finish(in, o, i);
}

} // namespace lw
