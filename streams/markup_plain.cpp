// text/plain: plain text to HTML. The markup characters are escaped, line
// feeds become line breaks, and web and mail addresses become links through
// the host's prefixes. State holds the kind of the link open in the word
// being written, so a call that stops mid-word (a stalled output) closes it
// on the next.
#include "markup.h"

namespace lw {
namespace {

using namespace markup;

enum Link : uint32_t { kNoLink = 0, kMail = 1, kWww = 2, kWeb = 3 };

constexpr bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Bytes that always end a word; a '.' ends one only before white space.
constexpr std::array<bool, 256> kDelimiter = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {'\n', '\r', ' ', '(', ')', '<', '>'})
        t[c] = true;
    return t;
}();

// Bytes in front of a word's link text.
constexpr std::array<bool, 256> kLead = [] {
    std::array<bool, 256> t = kDelimiter;
    t['.'] = true;
    return t;
}();

// Bytes without which a word can hold no link.
constexpr std::array<bool, 256> kTrigger = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {':', '@', 'w', 'W'})
        t[c] = true;
    return t;
}();

// First position from `from` on where a link rule could match: "://",
// three w of any case, or '@'. One cut by the end of the buffer counts.
inline size_t NextTrigger(const unsigned char* s, size_t n, size_t from) {
    for (size_t t = from;; ++t) {
        t += FindAny<':', '@', 'w', 'W'>(s + t, n - t);
        if (t + 2 >= n || s[t] == '@') return t < n ? t : n;
        if (s[t] == ':' ? s[t + 1] == '/' && s[t + 2] == '/'
                        : (s[t + 1] | 0x20) == 'w' && (s[t + 2] | 0x20) == 'w')
            return t;
    }
}

// Whether s[x] ends a word; a '.' last in the buffer is decided by the
// next piece, so it ends none here.
inline bool DelimiterAt(const unsigned char* s, size_t n, size_t x) {
    if (kDelimiter[s[x]]) return true;
    return s[x] == '.' && x + 1 < n && IsSpace(s[x + 1]);
}

// First delimiter at or after `from`, or n.
inline size_t WordEnd(const unsigned char* s, size_t n, size_t from) {
    while (from < n && !DelimiterAt(s, n, from))
        ++from;
    return from;
}

// Start of the word that holds s[x]: the last delimiter after `first` (the
// current word's start) and not after x, or `first`.
inline size_t WordStart(const unsigned char* s, size_t n, size_t first, size_t x) {
    while (x > first && !DelimiterAt(s, n, x))
        --x;
    return x;
}

// The link the text s[k .. j) makes: the first byte that starts a link rule
// decides.
Link Detect(const unsigned char* s, size_t k, size_t j) {
    const bool long3 = j - k >= 3;
    for (size_t x = k; x < j; ++x) {
        const unsigned char c = s[x];
        if (!kTrigger[c]) continue;
        if (c == ':') {
            if (long3 && x + 2 < j && s[x + 1] == '/' && s[x + 2] == '/') return kWeb;
        } else if (c == '@') {
            if (std::memchr(s + x + 1, '.', j - x - 1) != nullptr) return kMail;
        } else if (long3 && x + 2 < j && (s[x + 1] | 0x20) == 'w' && (s[x + 2] | 0x20) == 'w') {
            return kWww;
        }
    }
    return kNoLink;
}

// The opening tag of a link around the text t. The text is escaped inside
// the attribute too, so no byte of a word leaves the HREF value.
bool OpenLink(Out& o, LWStream* in, Link kind, const unsigned char* t, size_t len) {
    const Prefixes pre = LinkPrefixes(in);
    bool ok;
    if (kind == kMail) {
        ok = PutText(o, "<A ") && (in->LinkAttr == nullptr || PutText(o, in->LinkAttr)) &&
             PutText(o, " HREF=\"http:") && PutText(o, pre.mail);
    } else {
        ok = PutText(o, "<A TARGET=\"__eb\" HREF=\"") && PutText(o, pre.web) &&
             (kind != kWww || PutText(o, "http://"));
    }
    return ok && PutEscaped(o, t, len, kHtmlEscapes) == len && PutText(o, "\">");
}

// Writes the word s[i .. j): the bytes in front of its link text, the link's
// opening tag when the text makes one, the rest escaped and the closing tag.
// Returns where it stopped: j, or earlier when the output stalled.
size_t PutWord(Out& o, LWStream* in, const unsigned char* s, size_t i, size_t j) {
    if (in->State == kNoLink) {
        size_t k = i;
        while (k < j && kLead[s[k]])
            ++k;
        const size_t lead = PutEscaped(o, s + i, k - i, kHtmlEscapes);
        if (lead < k - i) return i + lead;
        i = k;
        const Link kind = k < j ? Detect(s, k, j) : kNoLink;
        const std::string_view text(reinterpret_cast<const char*>(s + k), j - k);
        if (kind != kNoLink && !(kind == kWeb && DangerousScheme(text))) {
            if (!OpenLink(o, in, kind, s + k, j - k)) return i;
            in->State = kind;
        }
    }
    i += PutEscaped(o, s + i, j - i, kHtmlEscapes);
    if (i < j) return i;
    if (in->State != kNoLink) {
        if (!PutText(o, "</A>")) return i;
        in->State = kNoLink;
    }
    return j;
}

} // namespace

uint32_t PlainToHtml(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    const unsigned char* const s = in->Start;
    const size_t n = InLen(in);
    size_t i = 0;
    Out o(out);
    while (i < n) {
        const bool open = in->State != kNoLink;
        if (!open) {
            // Words before the next byte that could start a link are only
            // escaped: take them in one run.
            const size_t t = NextTrigger(s, n, i);
            const size_t w = WordStart(s, n, i, t < n ? t : n - 1);
            const size_t done = PutEscaped(o, s + i, w - i, kHtmlEscapes);
            i += done;
            if (i < w) break;
        }
        // A link found mid-word (after a stalled output) ends at the next
        // delimiter, which may be the byte in front of us.
        const size_t j = WordEnd(s, n, open ? i : i + 1);
        if (j == n && !CannotWait(in, i)) break;
        const size_t stop = PutWord(o, in, s, i, j);
        // A written word leaves no link open; one still open means a stall.
        if (stop < j || in->State != kNoLink) {
            i = stop;
            break;
        }
        i = j;
    }
    if (in->EOS && i == n && in->State != kNoLink && PutText(o, "</A>")) in->State = kNoLink;
    return Finish(in, o, i, true);
}

} // namespace lw
