// What the markup filters must never write, whatever the input: the
// sanitiser's deny list by case, then a checker that reads the output the
// way a browser does, run over generated hostile input, whole and in
// pieces.
#include "markup.h"

#include <gtest/gtest.h>

namespace {

using markuptest::ExpectFilter;
using markuptest::FirstViolation;
using markuptest::Html;
using markuptest::PlainViolation;

TEST(Deny, ScriptStyleAndFrameSectionsLeaveNothing) {
    ExpectFilter("text/html",
                 {
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
    ExpectFilter("text/html", {
                                  {"<embed src=x.swf>a", "a"},
                                  {"<form action=http://e method=post>in<input name=p></form>",
                                   "in<input name=p>"},
                                  {"<base href=http://e/>b", "b"},
                                  {"<link rel=stylesheet href=x>c", "c"},
                                  {"<svg><a href=x>d</a></svg>", "<a href=W/x>d</a>"},
                                  {"<title>t</title><textarea>u</textarea><xmp>v</xmp>", "tuv"},
                                  {"<noscript><p>w</p></noscript>", "<p>w</p>"},
                              });
}

TEST(Deny, EventHandlersAndScriptAddressesAreDropped) {
    ExpectFilter("text/html",
                 {
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
    ExpectFilter("text/html", {
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
    ExpectFilter("text/html", {
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

// count fragments of parts ('|' between them), each chosen at random.
std::string RandomText(std::mt19937& rng, size_t count, std::string_view parts) {
    std::vector<std::string_view> v;
    for (size_t at = 0, bar; at <= parts.size(); at = bar + 1) {
        bar = std::min(parts.find('|', at), parts.size());
        v.push_back(parts.substr(at, bar - at));
    }
    std::string s;
    for (size_t k = 0; k < count; ++k)
        s += v[rng() % v.size()];
    return s;
}

// Hostile HTML: tags from the deny list and around it, attributes, quotes
// of both kinds, references, comments and tags cut short.
constexpr std::string_view kHostileHtml =
    "<script>|</script>|<SCRIPT src=x>|<style>|</style >|<iframe |<object>|</object>|"
    "<embed |<frame>|<frameset>|</frameset>|<form |<base |<svg>|<math>|<title>|</title>|"
    "<head>|</head>|<HEAD |<a |<A\n|<img |<p |<meta |<body |</a>|onclick=|OnError='|"
    "onload =\"| href=| src=|href=\"|title='|javascript:|jav&#x61;script:|java\tscript:|"
    "&#106;avascript:|vbscript:|data:text/html,|JaVaScRiPt&colon;|mailto:|http://x/|\"|'|"
    ">|<|/|=| |\n|<!--|-->|<!|<?|</|&lt;|&amp;|&#60;|text|alert(1)|<b>|x|\x01|"
    "charset=koi8-r";

// Text for the plain filter: link starts and ends, markup and quotes.
constexpr std::string_view kHostilePlain =
    "<|>|\"|&|www.|http://|://|@|.|. |a|x.org|\n|\r\n|(|)| |\"><script>|"
    "javascript://|W|w|u@h.d|<img src=x onerror=a()>";

// Texts of 1 to 60 random parts through the filter name: no output holds
// what check finds, and every tenth text gives the same output in pieces.
void ExpectNoViolation(const char* name, uint32_t seed, std::string_view parts,
                       std::string (*check)(const std::string&)) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 3000; ++round) {
        const std::string in = RandomText(rng, 1 + rng() % 60, parts);
        const std::string whole = markuptest::Filter(name, in);
        ASSERT_EQ(check(whole), "") << "input: " << in << "\noutput: " << whole;
        if (round % 10 == 0) {
            const auto pieces = lwtest::RandomPieces(rng, in.size(), 7);
            ASSERT_EQ(markuptest::Filter(name, in, pieces), whole) << in;
        }
    }
}

TEST(Property, NoHtmlOutputHoldsADeniedTagOrAttribute) {
    ExpectNoViolation("text/html", 1522, kHostileHtml, FirstViolation);
}

TEST(Property, NoPlainOutputHoldsAnUnescapedLessThan) {
    ExpectNoViolation("text/plain", 2445, kHostilePlain, PlainViolation);
}

// The checker itself: it must catch what it exists to catch.
TEST(Property, TheCheckersSeeWhatTheyLookFor) {
    EXPECT_NE(FirstViolation("<ScRiPt>"), "");
    EXPECT_NE(FirstViolation("<img/onerror=x>"), "");
    EXPECT_NE(FirstViolation("<a href=' jav&#x61;script:x'>"), "");
    EXPECT_NE(FirstViolation("<!-- x -->"), "");
    EXPECT_NE(FirstViolation("<a title="), "");
    EXPECT_EQ(FirstViolation("<a title='<script>' href=W/x>t</a>"), "");
    // A numeric reference ends at its last digit: this is no scheme.
    EXPECT_EQ(FirstViolation("<a x=jav&#x61\xA3;script:x>"), "");
    EXPECT_NE(FirstViolation("<a x=jav&#x61script:x>"), "");
    EXPECT_NE(PlainViolation("a<b"), "");
    EXPECT_NE(PlainViolation("<A TARGET=\"__eb\" HREF=\"W/x\"y\">"), "");
    EXPECT_EQ(PlainViolation("<A  HREF=\"http:M/a&quot;@b.c\">a</A><BR>"), "");
}

} // namespace
