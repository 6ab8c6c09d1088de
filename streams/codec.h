// Internal helpers shared by the codecs, and the codec functions the registry
// points at. Not part of the public interface.
#pragma once

#include "lwstream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace lw {

// Valid bytes in a stream's buffer; a negative Len (host error) counts as none.
inline size_t InLen(const LWStream* s) {
    return s->Len > 0 ? static_cast<size_t>(s->Len) : 0;
}

// A console message on standard output, flushed at once: under a service
// manager standard output is a pipe, where it would otherwise wait in the
// buffer until the process ends.
inline void ConsoleMessage(const char* text) {
    std::printf("%s", text);
    std::fflush(stdout);
}

// Output cursor over a stream's buffer. Codecs write through p and keep
// out->Len in step only around flushes, which keeps the inner loops tight.
struct Out {
    LWStream* s;
    unsigned char* p;

    explicit Out(LWStream* out) : s(out), p(out->Start + (out->Len > 0 ? out->Len : 0)) {}

    size_t Room() const { return static_cast<size_t>(s->End - p); }
    void Sync() { s->Len = static_cast<int32_t>(p - s->Start); }

    // Ensures more than `margin` bytes of room (flushing mid-stream if not).
    // False when the consumer took nothing and no room appeared: the caller
    // then returns what it consumed so far, so a stalled chain ends instead
    // of spinning.
    bool Reserve(size_t margin) {
        if (p + margin < s->End) return true;
        Sync();
        LWStreamFlush(s, 0);
        p = s->Start + s->Len;
        return p + margin < s->End;
    }

    void Put(unsigned char c) { *p++ = c; }
    void Put2(unsigned char a, unsigned char b) {
        p[0] = a;
        p[1] = b;
        p += 2;
    }
};

// End of a codec call: at the end of the stream mark the output finished (when
// everything was consumed) and flush it even if empty; otherwise flush only
// when asked to push partial lines on (`always`) and the output holds bytes.
inline uint32_t Finish(LWStream* in, Out& o, size_t consumed, bool always = false) {
    o.Sync();
    if (in->EOS) {
        LWStreamFlush(o.s, consumed == InLen(in));
    } else if (always && o.s->Len > 0) {
        LWStreamFlush(o.s, 0);
    }
    return static_cast<uint32_t>(consumed);
}

// A code point below U+10000 as it is stored for a branchless write: the
// low three bytes hold its UTF-8 form, the top byte the length. Written
// whole (four bytes) and the pointer advanced by the length.
constexpr uint32_t Utf8Entry(uint32_t cp) {
    if (cp < 0x80) return (1u << 24) | cp;
    if (cp < 0x800) return (2u << 24) | ((0x80 | (cp & 0x3F)) << 8) | (0xC0 | (cp >> 6));
    return (3u << 24) | ((0x80 | (cp & 0x3F)) << 16) | ((0x80 | ((cp >> 6) & 0x3F)) << 8) |
           (0xE0 | (cp >> 12));
}

// A codec run with nowhere to write consumes nothing.
inline bool Writable(const LWStream* out) {
    return out != nullptr && out->Start != nullptr && out->End > out->Start &&
           out->Codec != nullptr;
}

// A codec that writes nothing more at the end of the stream.
struct NoClose {
    void operator()(Out&) const {}
};

// The loop of every codec: while input remains, make sure of more than
// `Margin` bytes of room (flushing when needed), then let `unit(s, n, i, o)`
// convert what follows s + i of the n input bytes, advancing i past what it
// consumed. The unit returns false to stop the call early: when the rest is
// too short to decide and the stream goes on, or when it found no room.
// A codec that closes its output (a shift back to ASCII) passes `close(o)`,
// which runs once the last input byte is consumed and returns its shift
// state to the start. `FlushAlways` pushes a partial output on at the end
// of every call.
template <size_t Margin, bool FlushAlways = false, class Unit, class Close = NoClose>
inline uint32_t RunUnits(LWStream* in, LWStream* out, Unit&& unit, Close&& close = Close{}) {
    if (!Writable(out)) return 0;
    const unsigned char* const s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n && o.Reserve(Margin) && unit(s, n, i, o)) {
    }
    if constexpr (!std::is_same_v<std::decay_t<Close>, NoClose>) {
        if (in->EOS && i == n && o.Reserve(Margin)) close(o);
    }
    return Finish(in, o, i, FlushAlways);
}

// Code point of a malformed sequence: never a character of any set.
constexpr uint32_t kMalformed = 0xFFFFFFFF;

// Reads the UTF-8 sequence at s (avail >= 1 bytes): returns its length and
// sets cp, or returns 0 when the bytes end inside the sequence. The lead
// gives the length (two, three or four bytes). Overlong forms, surrogates,
// code points above U+10FFFF, stray continuation bytes and leads of 0xF8 and
// above are malformed (one unit each); a sequence cut short by a byte that
// is no continuation ends before that byte, which is read on its own.
inline size_t ReadSequence(const unsigned char* s, size_t avail, uint32_t& cp) {
    const unsigned c = s[0];
    size_t need;
    uint32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c < 0xC0 || c >= 0xF8) {
        cp = kMalformed;
        return 1;
    }
    if (c < 0xE0) {
        need = 2, min = 0x80, cp = c & 0x1F;
    } else if (c < 0xF0) {
        need = 3, min = 0x800, cp = c & 0x0F;
    } else {
        need = 4, min = 0x10000, cp = c & 0x07;
    }
    for (size_t k = 1; k < need; ++k) {
        if (k >= avail) return 0;
        if ((s[k] & 0xC0) != 0x80) {
            cp = kMalformed;
            return k;
        }
        cp = (cp << 6) | (s[k] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kMalformed;
    return need;
}

// Transfer encodings.
uint32_t Base64Decode(LWStream* in, LWStream* out);
uint32_t Base64Encode(LWStream* in, LWStream* out);
uint32_t QPDecode(LWStream* in, LWStream* out);
uint32_t QPEncode(LWStream* in, LWStream* out);

// Shared with the encoded-word codecs: the base64 encoder with or without
// its CR LF every 76 characters, and one quoted-printable escape at s[i]
// ('='), false when it waits for more input.
uint32_t Base64EncodeRun(LWStream* in, LWStream* out, bool lineBreaks);
bool QPDecodeEscape(const unsigned char* s, size_t n, size_t& i, Out& o, bool eos);

// Encoded words: the Q and B word codecs and the whole-text pair.
uint32_t WordQDecode(LWStream* in, LWStream* out);
uint32_t WordQEncode(LWStream* in, LWStream* out);
uint32_t WordBEncode(LWStream* in, LWStream* out);
uint32_t WordsDecode(LWStream* in, LWStream* out);
uint32_t WordsEncode(LWStream* in, LWStream* out);

// iCalendar line formats and line ends.
uint32_t UnfoldDecode(LWStream* in, LWStream* out);
uint32_t FoldEncode(LWStream* in, LWStream* out);
uint32_t MultiLineEncode(LWStream* in, LWStream* out);
uint32_t CrlfEncode(LWStream* in, LWStream* out);

// Text to markup filters.
uint32_t HtmlSanitize(LWStream* in, LWStream* out);
uint32_t PlainToHtml(LWStream* in, LWStream* out);
uint32_t PlainToWml(LWStream* in, LWStream* out);

// The text/calendar collector.
uint32_t CalendarCollect(LWStream* in, LWStream* out);

// Appends n bytes to the block at in->Data, which holds in->Count bytes and
// keeps room for a terminating NUL after them. When memory runs out, or Count
// would overflow, the block is freed, Data becomes null and Count -1: the
// text has a hole, so nothing more is collected. Shared by every memory sink.
void CollectInMemory(LWStream* in, const unsigned char* p, size_t n);

// Character sets: the identity pair, US-ASCII, and the single-byte sets.
uint32_t Utf8Copy(LWStream* in, LWStream* out);
uint32_t AsciiConvert(LWStream* in, LWStream* out);

enum class Undefined { Dropped, Replaced };  // byte without a character, on decoding
enum class Unmappable { Question, Dropped }; // character outside the set, on encoding

// X(identifier, undefined-byte rule, unmappable-character rule)
#define LW_SBCS_SETS(X)                                                                            \
    X(ISO_8859_1, Dropped, Question)                                                               \
    X(ISO_8859_2, Dropped, Question)                                                               \
    X(ISO_8859_3, Dropped, Question)                                                               \
    X(ISO_8859_4, Dropped, Question)                                                               \
    X(ISO_8859_5, Dropped, Question)                                                               \
    X(ISO_8859_6, Dropped, Question)                                                               \
    X(ISO_8859_7, Dropped, Question)                                                               \
    X(ISO_8859_8, Dropped, Question)                                                               \
    X(ISO_8859_9, Dropped, Question)                                                               \
    X(ISO_8859_10, Dropped, Question)                                                              \
    X(ISO_8859_13, Dropped, Question)                                                              \
    X(ISO_8859_14, Dropped, Question)                                                              \
    X(ISO_8859_15, Dropped, Question)                                                              \
    X(ISO_8859_16, Dropped, Question)                                                              \
    X(KOI8_R, Dropped, Question)                                                                   \
    X(KOI8_U, Dropped, Question)                                                                   \
    X(KOI8_RU, Dropped, Question)                                                                  \
    X(CP850, Dropped, Dropped)                                                                     \
    X(CP866, Dropped, Dropped)                                                                     \
    X(CP874, Replaced, Dropped)                                                                    \
    X(CP1250, Replaced, Dropped)                                                                   \
    X(CP1251, Replaced, Dropped)                                                                   \
    X(CP1252, Replaced, Dropped)                                                                   \
    X(CP1253, Replaced, Dropped)                                                                   \
    X(CP1254, Replaced, Dropped)                                                                   \
    X(CP1255, Replaced, Dropped)                                                                   \
    X(CP1256, Replaced, Dropped)                                                                   \
    X(CP1257, Replaced, Dropped)                                                                   \
    X(CP1258, Replaced, Dropped)                                                                   \
    X(CP1133, Replaced, Dropped)                                                                   \
    X(VISCII, Dropped, Dropped)                                                                    \
    X(TIS_620, Dropped, Dropped)

#define LW_DECLARE_SBCS(id, undef, unmap)                                                          \
    uint32_t Decode_##id(LWStream* in, LWStream* out);                                             \
    uint32_t Encode_##id(LWStream* in, LWStream* out);
LW_SBCS_SETS(LW_DECLARE_SBCS)
#undef LW_DECLARE_SBCS

// The multibyte sets.
#define LW_MBCS_SETS(X)                                                                            \
    X(EucKr) X(Iso2022Kr) X(Iso2022Cn) X(Gb2312) X(Hz) X(Big5) X(EucTw) X(Iso2022Jp) X(Sjis)
#define LW_DECLARE_MBCS(id)                                                                        \
    uint32_t Decode##id(LWStream* in, LWStream* out);                                              \
    uint32_t Encode##id(LWStream* in, LWStream* out);
LW_MBCS_SETS(LW_DECLARE_MBCS)
#undef LW_DECLARE_MBCS

} // namespace lw
