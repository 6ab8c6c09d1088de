// text/html: an HTML part made safe to embed in a page. The document head
// and the outer document tags go, every link goes through the host's
// prefix, and a declared character set switches the character-set stage in
// front of the filter (Param).
//
// The output must not run script in the page that embeds it, so the filter
// reads tags the way a browser does (where a tag ends, where an attribute
// value ends, what a comment is) and writes only tags whose extent a browser
// agrees on: a '<' that starts no complete tag is written as "&lt;".
// Script, style and frame sections, the tags that load or post elsewhere,
// event-handler attributes and script or data addresses are dropped.
//
// State: 0, or (partner row << 16) | (raw row << 8) | 1 while a suppressed
// section is open. Partner is the row whose closing tag ends the section:
// a TagList row or a row of the deny list below, numbered after TagList.
// Raw is non-zero while the bytes are skipped up to a closing sequence
// (script text, a comment), which may happen inside the head.
#include "markup.h"

#include "ascii.h"

namespace lw {
namespace {

using namespace markup;

enum class Deny : uint8_t {
    kRaw,     // content skipped up to its closing sequence, unread
    kSection, // content read as markup and dropped up to the end tag
    kTag,     // the tag alone is dropped
};

struct DenyRow {
    std::string_view name;
    Deny kind;
};

// By exact tag name. Frames, objects and forms load or post elsewhere; the
// raw-text tags (title, textarea, xmp ...) would make a browser read what
// follows as text where this filter reads tags; svg and math would switch it
// to foreign content. The comment row is entered by "<!--", not by name.
constexpr DenyRow kDenied[] = {
    {"!--", Deny::kRaw},        {"script", Deny::kRaw},     {"style", Deny::kRaw},
    {"iframe", Deny::kRaw},     {"noembed", Deny::kRaw},    {"noframes", Deny::kRaw},
    {"object", Deny::kSection}, {"applet", Deny::kSection}, {"frameset", Deny::kSection},
    {"embed", Deny::kTag},      {"frame", Deny::kTag},      {"form", Deny::kTag},
    {"base", Deny::kTag},       {"link", Deny::kTag},       {"svg", Deny::kTag},
    {"math", Deny::kTag},       {"title", Deny::kTag},      {"textarea", Deny::kTag},
    {"xmp", Deny::kTag},        {"plaintext", Deny::kTag},  {"noscript", Deny::kTag},
};
constexpr uint32_t kFirstDenyRow = 8; // TagList's rows come first
constexpr uint32_t kCommentRow = kFirstDenyRow;
static_assert(kFirstDenyRow + std::size(kDenied) < 256, "raw rows fit in State's byte");

constexpr bool IsHtmlSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
constexpr bool IsAlpha(unsigned char c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}
inline std::string_view View(const unsigned char* s, size_t from, size_t to) {
    return {reinterpret_cast<const char*>(s + from), to - from};
}

// One attribute of a tag: its name [name, nameEnd), its value [value,
// valueEnd) when it has one, and `end`, one past its last byte.
struct Attr {
    size_t name, nameEnd, value, valueEnd, end;
    bool hasValue;
};

enum class Step { kAttr, kTagEnd, kShort };

// The next attribute at s[j], as a browser splits them: '/' and white space
// separate, a value is quoted by " or ' right after '=' or runs to white
// space or '>'. kTagEnd leaves j past the '>'; kShort: the buffer ends first.
Step NextAttr(const unsigned char* s, size_t n, size_t& j, Attr& a) {
    while (j < n && (IsHtmlSpace(s[j]) || s[j] == '/'))
        ++j;
    if (j >= n) return Step::kShort;
    if (s[j] == '>') {
        ++j;
        return Step::kTagEnd;
    }
    a.name = j++; // a leading '=' belongs to the name
    while (j < n && !IsHtmlSpace(s[j]) && s[j] != '/' && s[j] != '>' && s[j] != '=')
        ++j;
    a.nameEnd = a.value = a.valueEnd = a.end = j;
    a.hasValue = false;
    size_t k = j;
    while (k < n && IsHtmlSpace(s[k]))
        ++k;
    if (k >= n) return Step::kShort;
    if (s[k] != '=') return Step::kAttr;
    for (++k; k < n && IsHtmlSpace(s[k]);)
        ++k;
    if (k >= n) return Step::kShort;
    a.hasValue = true;
    a.value = k;
    if (s[k] == '"' || s[k] == '\'') {
        const void* q = std::memchr(s + k + 1, s[k], n - k - 1);
        if (q == nullptr) return Step::kShort;
        a.value = k + 1;
        a.valueEnd = static_cast<size_t>(static_cast<const unsigned char*>(q) - s);
        j = a.end = a.valueEnd + 1;
        return Step::kAttr;
    }
    while (k < n && !IsHtmlSpace(s[k]) && s[k] != '>')
        ++k;
    if (k >= n) return Step::kShort;
    a.valueEnd = j = a.end = k;
    return Step::kAttr;
}

// What a '<' starts.
struct Token {
    enum Kind { kText, kShort, kTag, kComment, kBogus } kind;
    size_t end = 0;               // one past the token's last byte
    size_t name = 0, nameEnd = 0; // tag name
    bool close = false;           // an end tag
};

// A markup declaration, processing instruction or malformed end tag: a
// browser reads it up to the first '>' and shows nothing of it.
Token Bogus(const unsigned char* s, size_t n, size_t i) {
    const void* gt = std::memchr(s + i, '>', n - i);
    if (gt == nullptr) return {Token::kShort};
    return {Token::kBogus, static_cast<size_t>(static_cast<const unsigned char*>(gt) - s) + 1};
}

Token ScanTag(const unsigned char* s, size_t n, size_t name, bool close) {
    Token t{Token::kTag};
    t.close = close;
    t.name = name;
    size_t j = name;
    while (j < n && !IsHtmlSpace(s[j]) && s[j] != '/' && s[j] != '>')
        ++j;
    t.nameEnd = j;
    Attr a;
    for (;;) {
        const Step st = NextAttr(s, n, j, a);
        if (st == Step::kShort) return {Token::kShort};
        if (st == Step::kTagEnd) break;
    }
    t.end = j;
    return t;
}

Token Scan(const unsigned char* s, size_t n, size_t i) {
    if (i + 1 >= n) return {Token::kShort};
    const unsigned char c = s[i + 1];
    if (IsAlpha(c)) return ScanTag(s, n, i + 1, false);
    if (c == '/') {
        if (i + 2 >= n) return {Token::kShort};
        return IsAlpha(s[i + 2]) ? ScanTag(s, n, i + 2, true) : Bogus(s, n, i + 2);
    }
    if (c == '!') {
        // "<!--" opens a comment; anything else after "<!" is read to '>'.
        for (size_t k = 2; k < 4; ++k) {
            if (i + k >= n) return {Token::kShort};
            if (s[i + k] != '-') return Bogus(s, n, i + 2);
        }
        return {Token::kComment, i + 2};
    }
    if (c == '?') return Bogus(s, n, i + 2);
    return {Token::kText};
}

int FindDenied(std::string_view name) {
    for (size_t r = 1; r < std::size(kDenied); ++r)
        if (arbor::EqualNoCase(kDenied[r].name, name)) return static_cast<int>(r);
    return -1;
}

// Attributes that run script, or change what the embedding page does.
bool DeniedAttr(const unsigned char* s, const Attr& a) {
    const std::string_view name = View(s, a.name, a.nameEnd);
    if (arbor::StartsWithNoCase(name, "on") || arbor::EqualNoCase(name, "http-equiv") ||
        arbor::EqualNoCase(name, "srcdoc")) {
        return true;
    }
    return a.hasValue && DangerousScheme(View(s, a.value, a.valueEnd));
}

} // namespace

namespace {

// Position of `needle` (upper case) in `text` without regard to case, or npos.
size_t FindNoCase(std::string_view text, std::string_view needle) {
    for (size_t k = 0; k + needle.size() <= text.size(); ++k)
        if (arbor::StartsWithNoCase(text.substr(k), needle)) return k;
    return std::string_view::npos;
}

class Sanitizer {
  public:
    Sanitizer(LWStream* in, LWStream* out) : in_(in), o_(out), s_(in->Start), n_(InLen(in)) {}

    // Filters what the buffer holds; returns the bytes consumed.
    size_t Run() {
        while (i_ < n_ && (Raw() != 0 ? SkipRaw() : Markup())) {
        }
        if (in_->EOS && i_ == n_) in_->State = 0;
        return i_;
    }
    Out& Output() { return o_; }

  private:
    bool Open() const { return (in_->State & 1) != 0; }
    uint32_t Partner() const { return in_->State >> 16; }
    uint32_t Raw() const { return (in_->State >> 8) & 0xFF; }

    void EnterSection(uint32_t row) {
        if (!Open()) in_->State = (row << 16) | 1;
    }
    // A raw section inside an open section ends back in that section.
    void EnterRaw(uint32_t row) {
        in_->State = Open() ? in_->State | (row << 8) : (row << 16) | (row << 8) | 1;
    }
    void LeaveRaw() {
        const uint32_t row = Raw();
        in_->State = Partner() == row ? 0 : in_->State & ~0xFF00u;
    }

    // A token the buffer does not complete: wait for more, or give up its
    // '<' as text (nothing inside a suppressed section).
    bool Unfinished() {
        if (!CannotWait(in_, i_)) return false;
        if (!Open() && !PutText(o_, "&lt;")) return false;
        ++i_;
        return true;
    }

    bool Markup() {
        const void* lt = std::memchr(s_ + i_, '<', n_ - i_);
        const size_t p = lt ? static_cast<size_t>(static_cast<const unsigned char*>(lt) - s_) : n_;
        if (!Open() && !PutSpan(o_, s_ + i_, p - i_)) return false;
        i_ = p;
        if (i_ == n_) return true;
        const Token t = Scan(s_, n_, i_);
        switch (t.kind) {
        case Token::kText:
            if (!Open() && !PutText(o_, "&lt;")) return false;
            ++i_;
            return true;
        case Token::kShort:
            return Unfinished();
        case Token::kComment:
            EnterRaw(kCommentRow);
            i_ = t.end;
            return true;
        case Token::kBogus:
            i_ = t.end;
            return true;
        case Token::kTag:
            break;
        }
        return OnTag(t);
    }

    bool SkipRaw();
    bool OnTag(const Token& t);
    bool OnListed(const Token& t, uint32_t row);
    bool SwitchCharset(const Token& t);
    bool Copy(const Token& t, bool link);

    LWStream* in_;
    Out o_;
    const unsigned char* s_;
    size_t n_;
    size_t i_ = 0;
};

// Skips raw text up to the closing sequence of its row: "-->" for a
// comment, else the end tag "</name" followed by white space, '/' or '>'.
bool Sanitizer::SkipRaw() {
    const uint32_t row = Raw();
    const bool comment = row == kCommentRow;
    const void* p = std::memchr(s_ + i_, comment ? '-' : '<', n_ - i_);
    if (p == nullptr) {
        i_ = n_;
        return true;
    }
    i_ = static_cast<size_t>(static_cast<const unsigned char*>(p) - s_);
    const std::string_view name = kDenied[row - kFirstDenyRow].name;
    const size_t need = comment ? 3 : name.size() + 3;
    const size_t avail = n_ - i_ < need ? n_ - i_ : need;
    bool match = true;
    for (size_t k = 0; k < avail && match; ++k) {
        const char c = static_cast<char>(s_[i_ + k]);
        if (comment) {
            match = c == "-->"[k];
        } else if (k < 2) {
            match = c == "</"[k];
        } else if (k < need - 1) {
            match = arbor::AsciiLower(c) == name[k - 2];
        } else {
            match = IsHtmlSpace(static_cast<unsigned char>(c)) || c == '/' || c == '>';
        }
    }
    const void* gt = nullptr;
    if (match && avail == need) {
        gt = comment ? s_ + i_ + 2 : std::memchr(s_ + i_ + need - 1, '>', n_ - i_ - need + 1);
    }
    if (gt != nullptr) {
        i_ = static_cast<size_t>(static_cast<const unsigned char*>(gt) - s_) + 1;
        LeaveRaw();
        return true;
    }
    // Not the closing sequence, or not yet known to be: raw text is dropped.
    if (match && !CannotWait(in_, i_)) return false;
    ++i_;
    return true;
}

bool Sanitizer::OnTag(const Token& t) {
    const int d = FindDenied(View(s_, t.name, t.nameEnd));
    if (d > 0) {
        const uint32_t row = kFirstDenyRow + static_cast<uint32_t>(d);
        if (kDenied[d].kind == Deny::kRaw && !t.close) {
            EnterRaw(row);
        } else if (kDenied[d].kind == Deny::kSection) {
            if (!t.close) {
                EnterSection(row);
            } else if (Open() && Partner() == row) {
                in_->State = 0;
            }
        }
        i_ = t.end;
        return true;
    }
    const size_t len = t.end - i_;
    for (uint32_t r = 0; TagList[r].Tag != nullptr; ++r) {
        if (len >= TagList[r].Len && LWTagMatch(reinterpret_cast<const char*>(s_ + i_),
                                                TagList[r].Tag, static_cast<int>(TagList[r].Len))) {
            return OnListed(t, r);
        }
    }
    return Copy(t, false);
}

// A tag that matched TagList row r acts by the row's kind.
bool Sanitizer::OnListed(const Token& t, uint32_t r) {
    const LWTagEntry& e = TagList[r];
    switch (e.Kind) {
    case LWTAG_OPEN:
        EnterSection(e.Partner);
        break;
    case LWTAG_CLOSE:
        if (Open() && Partner() == r) in_->State = 0;
        break;
    case LWTAG_CHARSET:
        if (!SwitchCharset(t)) return Copy(t, false);
        break;
    case LWTAG_LINK:
        return Copy(t, true);
    default:
        break;
    }
    i_ = t.end;
    return true;
}

// A declared character set replaces the codec of the stage in front (Param)
// when the registry knows it. False when the tag declares none.
bool Sanitizer::SwitchCharset(const Token& t) {
    const std::string_view tag = View(s_, i_, t.end);
    const size_t at = FindNoCase(tag, "CHARSET=");
    if (at == std::string_view::npos) return false;
    size_t v = at + 8;
    while (v < tag.size() && (tag[v] == ' ' || tag[v] == '"' || tag[v] == '\''))
        ++v;
    size_t e = v;
    while (e < tag.size() && !IsHtmlSpace(static_cast<unsigned char>(tag[e])) && tag[e] != '"' &&
           tag[e] != '\'' && tag[e] != '>')
        ++e;
    char name[64];
    if (e - v < sizeof name && in_->Param != nullptr) {
        std::memcpy(name, tag.data() + v, e - v);
        name[e - v] = '\0';
        if (const LWCodec codec = LWStreamFindCodec(name, 0))
            static_cast<LWStream*>(in_->Param)->Codec = codec;
    }
    return true;
}

// Copies a tag (nothing inside a suppressed section) without its denied
// attributes. In a link the first HREF's address gets the host's prefix: the
// mail prefix in place of "mailto:", else the web prefix.
bool Sanitizer::Copy(const Token& t, bool link) {
    if (!Open()) {
        size_t from = i_, j = t.nameEnd;
        bool rewritten = false;
        Attr a;
        while (NextAttr(s_, t.end, j, a) == Step::kAttr) {
            if (DeniedAttr(s_, a)) {
                if (!PutSpan(o_, s_ + from, a.name - from)) return false;
                from = a.end;
            } else if (link && !rewritten && a.hasValue &&
                       arbor::EqualNoCase(View(s_, a.name, a.nameEnd), "href")) {
                rewritten = true;
                const Prefixes pre = LinkPrefixes(in_);
                const bool mail = arbor::StartsWithNoCase(View(s_, a.value, a.valueEnd), "mailto:");
                if (!PutSpan(o_, s_ + from, a.value - from) ||
                    !PutText(o_, mail ? pre.mail : pre.web))
                    return false;
                from = a.value + (mail ? 7 : 0);
            }
        }
        if (!PutSpan(o_, s_ + from, t.end - from)) return false;
    }
    i_ = t.end;
    return true;
}

} // namespace

uint32_t HtmlSanitize(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    Sanitizer z(in, out);
    const size_t done = z.Run();
    return Finish(in, z.Output(), done, true);
}

} // namespace lw
