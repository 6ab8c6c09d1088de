// What the markup filters must never write, whatever the input: the
// sanitiser's deny list by case, then a checker that reads the output the
// way a browser does, run over generated hostile input, whole and in
// pieces.
#include "markup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using markuptest::Html;
using markuptest::Plain;

struct Case {
    const char* in;
    const char* want;
};

void ExpectHtml(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(Html(c.in), c.want) << "text/html of: " << c.in;
}

TEST(Deny, ScriptStyleAndFrameSectionsLeaveNothing) {
    ExpectHtml({
        {"a<script>alert(1)</script>b", "ab"},
        {"<SCRIPT type=x>if (a<b && c>d) x('</p>')</ScRiPt >c", "c"},
        {"<script>x</scripty></script/>d", "d"},
        {"<style>p{color:red}</style>e", "e"},
        {"<iframe src=http://e>fallback</iframe>f", "f"},
        {"<noembed><img src=x onerror=a()></noembed>g", "g"},
        {"<object data=x><param name=a value=b>t</object>h", "h"},
        {"<applet code=x>t</applet>i", "i"},
        {"<frameset cols=2><frame src=x><noframes>n</noframes></frameset>j", "j"},
        // A section inside the head ends back inside the head.
        {"<head><script>document.write('</head>')</script></head>k", "k"},
        {"<head><!-- </head> --></head>l", "l"},
    });
}

TEST(Deny, TagsThatLoadOrPostElsewhereAreDropped) {
    ExpectHtml({
        {"<embed src=x.swf>a", "a"},
        {"<form action=http://e method=post>in<input name=p></form>", "in<input name=p>"},
        {"<base href=http://e/>b", "b"},
        {"<link rel=stylesheet href=x>c", "c"},
        {"<svg><a href=x>d</a></svg>", "<a href=W/x>d</a>"},
        {"<title>t</title><textarea>u</textarea><xmp>v</xmp>", "tuv"},
        {"<noscript><p>w</p></noscript>", "<p>w</p>"},
    });
}

TEST(Deny, EventHandlersAndScriptAddressesAreDropped) {
    ExpectHtml({
        {"<img src=x onerror=alert(1)>", "<img src=x >"},
        {"<a/onclick=alert(1) href=y>", "<a/ href=W/y>"},
        {"<div ONMOUSEOVER=\"x\" title='a>b'>", "<div  title='a>b'>"},
        {"<a title='>' onclick=alert(1)>", "<a title='>' >"},
        {"<p onclick = 'x' id=q>", "<p  id=q>"},
        {"<meta http-equiv=\"refresh\" content=\"0;url=http://e\">",
         "<meta  content=\"0;url=http://e\">"},
        {"<a href=\"javascript:alert(1)\">x</a>", "<a >x</a>"},
        {"<a href=\"jav&#x61;script:alert(1)\">", "<a >"},
        {"<a href=\"&#106avascript:alert(1)\">", "<a >"},
        {"<a href=\"&#0000106;avascript:alert(1)\">", "<a >"},
        {"<a href=\"java\tscript:alert(1)\">", "<a >"},
        {"<a href=\" \x01JaVaScRiPt&colon;alert(1)\">", "<a >"},
        {"<a href=\"java&Tab;script:x\">", "<a >"},
        {"<a href='vbscript:msgbox'>", "<a >"},
        {"<a href=data:text/html,x>", "<a >"},
        {"<img src=\"DATA:image/svg+xml,x\">", "<img >"},
        {"<input type=image formaction=javascript:x>", "<input type=image >"},
        // Not a scheme: kept.
        {"<a href=\"http://x/javascript:\">", "<a href=\"W/http://x/javascript:\">"},
        {"<a title=\"data: figures\">", "<a >"},
    });
}

TEST(Deny, CommentsAndDeclarationsAreDropped) {
    ExpectHtml({
        {"<!-- <img src=x onerror=a()> -->t", "t"},
        {"<!-->a<!--->b<!---->c", "abc"},
        {"<!--[if IE]><script>x</script><![endif]-->d", "d"},
        {"<!DOCTYPE html>e<?xml version=1?>f</ x>g</>h", "efgh"},
        {"<!-- x=\"--><img src=x onerror=a()>\"-->", "<img src=x >\"-->"},
    });
}

// Mend: a section never closed before the end of the stream takes what is
// left with it, even a tag cut off by the end.
TEST(Deny, AnUnclosedTagInASuppressedSectionLeaksNothing) {
    ExpectHtml({
        {"<head><title>secret", ""},
        {"<head><a href=\"x", ""},
        {"x<script>var a; <img src=y onerror=alert(1)", "x"},
        {"<object><embed src=\"a", ""},
        {"<!-- <b", ""},
        {"<head></HEAD", ""},
    });
    // Also when the cut tag fills the buffer.
    EXPECT_EQ(Html("<head><a title=\"" + std::string(1500, 'x')), "");
    EXPECT_EQ(Html("<head><a title=\"" + std::string(1500, 'x') + "\">" + "</head>o"), "o");
}

// --- the property: generated hostile input -------------------------------

const std::set<std::string> kDeniedTags = {"script", "style",    "iframe", "object",    "embed",
                                           "frame",  "frameset", "form",   "base",      "applet",
                                           "link",   "svg",      "math",   "noembed",   "noframes",
                                           "title",  "textarea", "xmp",    "plaintext", "noscript"};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

bool IsWs(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// An attribute value as a browser reads a URL's scheme: references decoded
// (the few that matter), white space and controls gone, lower case.
std::string SchemeOf(const std::string& v) {
    std::string r;
    for (size_t i = 0; i < v.size() && r.size() < 12; ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (c == '&') {
            size_t semi = v.find(';', i);
            std::string ref = Lower(v.substr(i + 1, semi == v.npos ? 10 : semi - i - 1));
            size_t digits = ref.find_first_not_of("#x0123456789abcdef");
            if (ref == "colon")
                c = ':';
            else if (ref == "tab" || ref == "newline")
                c = ' ';
            else if (!ref.empty() && ref[0] == '#') {
                std::string num = ref.substr(0, digits);
                bool hex = num.size() > 1 && num[1] == 'x';
                unsigned long cp =
                    std::strtoul(num.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
                c = cp < 0x80 ? static_cast<unsigned char>(cp) : 0x80;
            }
            if (semi != v.npos && c != '&') i = semi;
        }
        if (c <= 0x20 || c == 0x7F) continue;
        r += static_cast<char>(std::tolower(c));
        if (c == ':') break;
    }
    return r;
}

// Reads the filter's output as a browser would and reports the first thing
// on the deny list: a tag, an event handler, a script address, a comment or
// declaration, or a '<' that starts a tag never closed.
std::string FirstViolation(const std::string& out) {
    for (size_t i = out.find('<'); i != out.npos; i = out.find('<', i + 1)) {
        size_t j = i + 1;
        if (j < out.size() && out[j] == '/') ++j;
        if (j >= out.size() || !std::isalpha(static_cast<unsigned char>(out[j])))
            return "a '<' that is no tag at " + std::to_string(i);
        size_t k = j;
        while (k < out.size() && !IsWs(out[k]) && out[k] != '/' && out[k] != '>')
            ++k;
        const std::string name = Lower(out.substr(j, k - j));
        if (kDeniedTags.count(name)) return "tag " + name;
        // Attributes, by the browser's rules.
        for (;;) {
            while (k < out.size() && (IsWs(out[k]) || out[k] == '/'))
                ++k;
            if (k >= out.size()) return "unclosed tag at " + std::to_string(i);
            if (out[k] == '>') break;
            size_t a = k++;
            while (k < out.size() && !IsWs(out[k]) && out[k] != '/' && out[k] != '>' &&
                   out[k] != '=')
                ++k;
            const std::string attr = Lower(out.substr(a, k - a));
            if (attr.rfind("on", 0) == 0 || attr == "http-equiv") return "attribute " + attr;
            size_t e = k;
            while (e < out.size() && IsWs(out[e]))
                ++e;
            if (e >= out.size() || out[e] != '=') continue;
            ++e;
            while (e < out.size() && IsWs(out[e]))
                ++e;
            std::string value;
            if (e < out.size() && (out[e] == '"' || out[e] == '\'')) {
                size_t q = out.find(out[e], e + 1);
                if (q == out.npos) return "unclosed value";
                value = out.substr(e + 1, q - e - 1);
                k = q + 1;
            } else {
                k = e;
                while (k < out.size() && !IsWs(out[k]) && out[k] != '>')
                    ++k;
                value = out.substr(e, k - e);
            }
            const std::string scheme = SchemeOf(value);
            if (scheme == "javascript:" || scheme == "vbscript:" || scheme == "data:")
                return "address " + value;
        }
        i = k;
    }
    return "";
}

// Hostile HTML: tags from the deny list and around it, attributes, quotes
// of both kinds, references, comments and tags cut short.
std::string HostileHtml(std::mt19937& rng, size_t pieces) {
    static const std::vector<std::string> kParts = {"<script>",
                                                    "</script>",
                                                    "<SCRIPT src=x>",
                                                    "<style>",
                                                    "</style >",
                                                    "<iframe ",
                                                    "<object>",
                                                    "</object>",
                                                    "<embed ",
                                                    "<frame>",
                                                    "<frameset>",
                                                    "</frameset>",
                                                    "<form ",
                                                    "<base ",
                                                    "<svg>",
                                                    "<math>",
                                                    "<title>",
                                                    "</title>",
                                                    "<head>",
                                                    "</head>",
                                                    "<HEAD ",
                                                    "<a ",
                                                    "<A\n",
                                                    "<img ",
                                                    "<p ",
                                                    "<meta ",
                                                    "<body ",
                                                    "</a>",
                                                    "onclick=",
                                                    "OnError='",
                                                    "onload =\"",
                                                    " href=",
                                                    " src=",
                                                    "href=\"",
                                                    "title='",
                                                    "javascript:",
                                                    "jav&#x61;script:",
                                                    "java\tscript:",
                                                    "&#106;avascript:",
                                                    "vbscript:",
                                                    "data:text/html,",
                                                    "JaVaScRiPt&colon;",
                                                    "mailto:",
                                                    "http://x/",
                                                    "\"",
                                                    "'",
                                                    ">",
                                                    "<",
                                                    "/",
                                                    "=",
                                                    " ",
                                                    "\n",
                                                    "<!--",
                                                    "-->",
                                                    "<!",
                                                    "<?",
                                                    "</",
                                                    "&lt;",
                                                    "&amp;",
                                                    "&#60;",
                                                    "text",
                                                    "alert(1)",
                                                    "<b>",
                                                    "x",
                                                    "\x01",
                                                    "charset=koi8-r"};
    std::string s;
    for (size_t k = 0; k < pieces; ++k)
        s += kParts[rng() % kParts.size()];
    return s;
}

TEST(Property, NoHtmlOutputHoldsADeniedTagOrAttribute) {
    std::mt19937 rng(1522);
    for (int round = 0; round < 3000; ++round) {
        const std::string in = HostileHtml(rng, 1 + rng() % 60);
        const std::string whole = Html(in);
        ASSERT_EQ(FirstViolation(whole), "") << "input: " << in << "\noutput: " << whole;
        if (round % 10 == 0) {
            ASSERT_EQ(Html(in, lwtest::RandomPieces(rng, in.size(), 7)), whole) << in;
        }
    }
}

// The tags text/plain writes itself; every other '<' must be escaped, and
// nothing inside an HREF value may end it.
std::string PlainViolation(const std::string& out) {
    for (size_t i = out.find('<'); i != out.npos; i = out.find('<', i + 1)) {
        if (out.compare(i, 4, "<BR>") == 0 || out.compare(i, 4, "</A>") == 0) continue;
        const std::string open = "<A TARGET=\"__eb\" HREF=\"";
        const std::string mail = "<A  HREF=\"";
        size_t v;
        if (out.compare(i, open.size(), open) == 0) {
            v = i + open.size();
        } else if (out.compare(i, mail.size(), mail) == 0) {
            v = i + mail.size();
        } else {
            return "unescaped '<' at " + std::to_string(i);
        }
        const size_t end = out.find("\">", v);
        if (end == out.npos) return "unclosed link";
        if (out.find_first_of("<>\"", v) != end) return "HREF value broken at " + std::to_string(i);
        i = end;
    }
    return "";
}

TEST(Property, NoPlainOutputHoldsAnUnescapedLessThan) {
    static const std::vector<std::string> kParts = {"<",
                                                    ">",
                                                    "\"",
                                                    "&",
                                                    "www.",
                                                    "http://",
                                                    "://",
                                                    "@",
                                                    ".",
                                                    ". ",
                                                    "a",
                                                    "x.org",
                                                    "\n",
                                                    "\r\n",
                                                    "(",
                                                    ")",
                                                    " ",
                                                    "\"><script>",
                                                    "javascript://",
                                                    "W",
                                                    "w",
                                                    "u@h.d",
                                                    "<img src=x onerror=a()>"};
    std::mt19937 rng(2445);
    for (int round = 0; round < 3000; ++round) {
        std::string in;
        for (size_t k = 1 + rng() % 60; k > 0; --k)
            in += kParts[rng() % kParts.size()];
        const std::string whole = Plain(in);
        ASSERT_EQ(PlainViolation(whole), "") << "input: " << in << "\noutput: " << whole;
        if (round % 10 == 0) {
            ASSERT_EQ(Plain(in, lwtest::RandomPieces(rng, in.size(), 7)), whole) << in;
        }
    }
}

// The checker itself: it must catch what it exists to catch.
TEST(Property, TheCheckersSeeWhatTheyLookFor) {
    EXPECT_NE(FirstViolation("<ScRiPt>"), "");
    EXPECT_NE(FirstViolation("<img/onerror=x>"), "");
    EXPECT_NE(FirstViolation("<a href=' jav&#x61;script:x'>"), "");
    EXPECT_NE(FirstViolation("<!-- x -->"), "");
    EXPECT_NE(FirstViolation("<a title="), "");
    EXPECT_EQ(FirstViolation("<a title='<script>' href=W/x>t</a>"), "");
    EXPECT_NE(PlainViolation("a<b"), "");
    EXPECT_NE(PlainViolation("<A TARGET=\"__eb\" HREF=\"W/x\"y\">"), "");
    EXPECT_EQ(PlainViolation("<A  HREF=\"http:M/a&quot;@b.c\">a</A><BR>"), "");
}

} // namespace
