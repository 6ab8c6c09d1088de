// The text to markup filters: escaping, links through the host's prefixes,
// the sanitiser's sections and rewriting, and what no output may hold.
#include "markup.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

using markuptest::ExpectFilter;
using markuptest::Html;
using markuptest::Plain;

TEST(TagList, RowsInTheirOrderAndPrefixMatching) {
    struct Row {
        const char* tag;
        uint32_t kind, len, partner;
        const char* attr;
    };
    const Row rows[] = {{"<HEAD", 1, 5, 1, nullptr},     {"</HEAD>", 2, 7, 1, nullptr},
                        {"<META ", 5, 6, 0, "CHARSET="}, {"<A", 3, 2, 0, "HREF="},
                        {"<BODY", 6, 5, 0, nullptr},     {"</BODY>", 6, 7, 0, nullptr},
                        {"<HTML", 6, 5, 0, nullptr},     {"</HTML>", 6, 7, 0, nullptr}};
    for (size_t r = 0; r < std::size(rows); ++r) {
        const LWTagEntry& e = TagList[r];
        ASSERT_NE(e.Tag, nullptr) << r;
        EXPECT_STREQ(e.Tag, rows[r].tag);
        EXPECT_EQ(e.Kind, rows[r].kind) << r;
        EXPECT_EQ(e.Len, rows[r].len) << r;
        EXPECT_EQ(e.Partner, rows[r].partner) << r;
        EXPECT_EQ(e.AttrLen, rows[r].attr ? std::strlen(rows[r].attr) : 0u) << r;
        EXPECT_STREQ(e.Attr, rows[r].attr) << r; // both null on rows without one
    }
    EXPECT_EQ(TagList[std::size(rows)].Tag, nullptr);

    EXPECT_EQ(LWTagMatch("<header>", "<HEAD", 5), 1);
    EXPECT_EQ(LWTagMatch("<abbr>", "<A", 2), 1);
    EXPECT_EQ(LWTagMatch("<hea", "<HEAD", 5), 0);
    EXPECT_EQ(LWTagMatch("ab", "AB", 9), 1); // both end early
    EXPECT_EQ(LWTagMatch("<bod", "<BODY", 3), 1);
    EXPECT_EQ(LWTagMatch(nullptr, "<A", 2), 0);
}

TEST(Wml, EscapesEveryMarkupCharacterAndBreaksLines) {
    ExpectFilter("text/wml", {{"a\nb&c", "a<br/>b&amp;c"},
                              {"<\"x\">\r\n", "&lt;&quot;x&quot;&gt;<br/>"},
                              {"http://x.org/", "http://x.org/"},
                              {"", ""}});
}

TEST(Plain, EscapesAndBreaksLines) {
    ExpectFilter("text/plain", {{"a < b", "a &lt; b"},
                                {"x\r\ny\n", "x<BR>y<BR>"},
                                {"\"q\" & <t>", "&quot;q&quot; &amp; &lt;t&gt;"},
                                {"ww a:/ b:/ @x ww.", "ww a:/ b:/ @x ww."}});
}

TEST(Plain, LinksOfEachKindThroughThePrefixes) {
    const std::string web = "<A TARGET=\"__eb\" HREF=\"W/";
    ExpectFilter(
        "text/plain",
        {
            // A full stop before white space ends the link text.
            {"see http://x.org/a.\n", "see " + web + "http://x.org/a\">http://x.org/a</A>.<BR>"},
            {"WwW.example.com", web + "http://WwW.example.com\">WwW.example.com</A>"},
            {"(www.x.com)", "(" + web + "http://www.x.com\">www.x.com</A>)"},
            {"a.b.www.c", web + "http://a.b.www.c\">a.b.www.c</A>"},
            // One mail link however many dots follow the at sign.
            {"mail u@a.b.c now", "mail <A  HREF=\"http:M/u@a.b.c\">u@a.b.c</A> now"},
            // The first byte that starts a rule decides.
            {"u@www.x.org", "<A  HREF=\"http:M/u@www.x.org\">u@www.x.org</A>"},
            {"ftp://u@x.org", web + "ftp://u@x.org\">ftp://u@x.org</A>"},
            {"x.org.", "x.org."},
        });
    EXPECT_EQ(markuptest::Filter("text/plain", "u@x.org", {}, markuptest::kUrl, "CLASS=m"),
              "<A CLASS=m HREF=\"http:M/u@x.org\">u@x.org</A>");
}

// Mend: the link text is escaped inside HREF too, so a word cannot end the
// attribute and add its own.
TEST(Plain, LinkTextCannotLeaveTheAttribute) {
    const std::string out = Plain("http://x/\"onmouseover=\"alert`1`&y");
    EXPECT_EQ(out, "<A TARGET=\"__eb\" HREF=\"W/http://x/&quot;onmouseover=&quot;alert`1`&amp;y\">"
                   "http://x/&quot;onmouseover=&quot;alert`1`&amp;y</A>");
    EXPECT_EQ(Plain("u\"@x.org"), "<A  HREF=\"http:M/u&quot;@x.org\">u&quot;@x.org</A>");
}

TEST(Plain, ScriptAddressesMakeNoLink) {
    EXPECT_EQ(Plain("javascript://%0aalert(1)"), "javascript://%0aalert(1)");
    EXPECT_EQ(Plain("DATA://x"), "DATA://x");
}

TEST(Plain, MissingPrefixesAreReportedOnceAndLeftEmpty) {
    testing::internal::CaptureStdout();
    const std::string out = markuptest::Filter("text/plain", "www.a.org b@c.d plain", {}, nullptr);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "<A TARGET=\"__eb\" HREF=\"http://www.a.org\">www.a.org</A> "
                   "<A  HREF=\"http:b@c.d\">b@c.d</A> plain");
    EXPECT_EQ(console, "\rHTML.H: Missing required URL argument\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(markuptest::Filter("text/plain", "no links here", {}, nullptr), "no links here");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Under a service manager standard output is a pipe, where an unflushed
// message would wait in the buffer until the process ends.
TEST(Plain, TheMissingPrefixesMessageReachesAPipeAtOnce) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    markuptest::Filter("text/plain", "www.a.org", {}, nullptr);
    char got[128];
    const ssize_t n = read(fds[0], got, sizeof got);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    for (int fd : {saved, fds[0], fds[1]})
        close(fd);
    EXPECT_EQ(std::string(got, static_cast<size_t>(std::max<ssize_t>(n, 0))),
              "\rHTML.H: Missing required URL argument\n");
}

TEST(Plain, LongWordIsCutOnlyWhenTheBufferIsFull) {
    // A word longer than the buffer cannot wait: it is written in pieces.
    const std::string word(1500, 'z');
    EXPECT_EQ(Plain(word + " www.a.org"),
              word + " <A TARGET=\"__eb\" HREF=\"W/http://www.a.org\">www.a.org</A>");
    // A link whose word outgrows the buffer closes where the buffer cut it.
    const std::string out = Plain("http://" + std::string(1200, 'q'));
    const size_t close = out.find("</A>");
    ASSERT_NE(close, out.npos);
    EXPECT_EQ(out.find("<A", 1), out.npos);
    EXPECT_EQ(out.substr(close + 4), std::string(out.size() - close - 4, 'q'));
}

TEST(Html, DropsTheHeadAndTheDocumentTags) {
    ExpectFilter(
        "text/html",
        {{"<HTML><HEAD><TITLE>t</TITLE></HEAD><BODY>x</BODY></HTML>", "x"},
         {"<html><head><style>p{}</style><meta name=a></head><body bgcolor=red>y</body>", "y"},
         {"<p>a<b>b</b></p>", "<p>a<b>b</b></p>"},
         {"<meta name=\"x\">z", "<meta name=\"x\">z"},
         // "<HEAD" also opens at HEADER; the section ends only at </HEAD>.
         {"<header>a</header>b</head>c", "c"},
         {"a > b & c", "a > b & c"}});
}

TEST(Html, LinksGoThroughThePrefixes) {
    ExpectFilter(
        "text/html",
        {{"<a href=\"mailto:u@x.org\">u</a>", "<a href=\"M/u@x.org\">u</a>"},
         {"<A HREF=\"http://x/\" TARGET=_top>x</A>", "<A HREF=\"W/http://x/\" TARGET=_top>x</A>"},
         {"<a href=MAILTO:v@y>v</a>", "<a href=M/v@y>v</a>"},
         {"<a title=\"t\" href='http://x'>", "<a title=\"t\" href='W/http://x'>"},
         {"<abbr title=x>a</abbr>", "<abbr title=x>a</abbr>"},
         {"<area href=/m>", "<area href=W//m>"}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(markuptest::Filter("text/html", "<a href=\"http://x\">x</a>", {}, nullptr),
              "<a href=\"http://x\">x</a>");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rHTML.H: Missing required URL argument\n");
}

// A chain of a character-set stage and the filter, the filter's Param
// pointing at the stage.
struct CharsetChain {
    lwtest::StreamPtr charset{LWStreamCreate("ISO-8859-1", 0)};
    lwtest::StreamPtr html{LWStreamCreate("text/html", 0)};
    lwtest::Chain tail{{{"UTF-8", 0}}};
    CharsetChain() {
        charset->Next = html.get();
        html->Next = tail.Head();
        html->Param = charset.get();
        html->URL = markuptest::kUrl;
    }
    void Put(std::string_view piece, bool eos) { lwtest::Put(charset.get(), piece, eos); }
};

TEST(Html, DeclaredCharsetSwitchesTheStageInFront) {
    CharsetChain c;
    c.Put("<html><head><meta http-equiv=\"Content-Type\" "
          "content=\"text/html; charset=KOI8-R\"></head>\xE1",
          false);
    // The filter reads the declaration once the stage in front pushes its
    // output on (when full).
    const std::string pad(1000, ' ');
    c.Put(pad, false);
    EXPECT_EQ(c.charset->Codec, LWStreamFindCodec("KOI8-R", 0));
    c.Put("\xE1", true);
    // Decoded before the declaration was read: Latin-1; after it: KOI8-R.
    EXPECT_EQ(c.tail.Output(), "\xC3\xA1" + pad + "\xD0\x90");

    CharsetChain unknown;
    unknown.Put("<meta charset=\"x-unheard-of\">\xE1", true);
    EXPECT_EQ(unknown.charset->Codec, LWStreamFindCodec("ISO-8859-1", 0));
    EXPECT_EQ(unknown.tail.Output(), "\xC3\xA1");
}

TEST(Html, UnfinishedTagsAreText) {
    // Not closed within a nearly full buffer: written as text, not waited for.
    const std::string big = "<a title=" + std::string(1100, 'x');
    const std::string out = Html(big + "> <b>");
    EXPECT_EQ(out.substr(0, 12), "&lt;a title=");
    EXPECT_EQ(out.substr(out.size() - 5), "> <b>");
    ExpectFilter("text/html", {{"x <img src=a", "x &lt;img src=a"},
                               {"a < b <3 <", "a &lt; b &lt;3 &lt;"},
                               {"<!-", "&lt;!-"}});
}

// Outside the full-buffer cases the output does not depend on where the
// input was cut: every single cut, and byte by byte.
TEST(Split, EveryCutGivesTheSameOutput) {
    const std::string text =
        "Hi (see www.example.org/a?b=1&c=2). Mail u@x.org, or http://h.org/p.\r\n"
        "a<b> \"q\" w ww wwwx @. a:// :// x.\n.\nend.";
    const std::string html =
        "<html><head><title>t</title><meta charset=utf-8><style>p{}</style></head>"
        "<body onload=x()><p class='a>b'>Hi <a href=\"mailto:u@x.org\">u</a>, "
        "<a HREF=http://h.org/ onclick=\"y()\">h</a><!-- c --> <script>a<b</script>"
        "<img src=\"jav&#x61;script:x\"> 1 < 2 <!DOCTYPE x></body></html>";
    const std::vector<std::pair<const char*, std::string>> runs = {
        {"text/plain", text}, {"text/wml", text}, {"text/html", html}, {"text/html", text}};
    for (const auto& [name, in] : runs)
        EXPECT_EQ(lwtest::FirstCutThatDiffers(
                      [&](const auto& p) { return markuptest::Filter(name, in, p); }, in.size()),
                  "")
            << name << " of: " << in;
}

// A consumer that takes nothing ends the call, wherever in a link the
// output fills (every offset of the links against the buffer's end is
// tried); nothing is written past the output's end.
TEST(Stall, AStalledOutputEndsTheCall) {
    for (size_t pad = 0; pad < 128; ++pad) {
        std::string in(pad, 'x');
        while (in.size() + 40 < LWSTREAM_BUFSIZE)
            in += " www.a.org&\"<a href=x onclick=y>\n";
        for (const char* name : {"text/plain", "text/html", "text/wml"}) {
            lwtest::StreamPtr s(LWStreamCreate(name, 0));
            ASSERT_NE(s, nullptr);
            lwtest::RefusingSink sink;
            s->Next = &sink;
            s->URL = markuptest::kUrl;
            const uint32_t n = lwtest::CallOnce(s.get(), in, true);
            // The sanitiser's output is shorter than this input: it fits.
            EXPECT_TRUE(std::string(name) == "text/html" ? n == in.size() : n < in.size()) << name;
            EXPECT_LE(sink.Len, LWSTREAM_BUFSIZE) << name;
        }
    }
}

// A sink that takes nothing until told to, then collects.
struct Gate {
    bool open = false;
    std::string got;
};
uint32_t GateSink(LWStream* in, LWStream*) {
    auto* g = static_cast<Gate*>(in->Data);
    if (!g->open) return 0;
    g->got.append(reinterpret_cast<const char*>(in->Start), static_cast<size_t>(in->Len));
    return static_cast<uint32_t>(in->Len);
}

// State holds the kind of the link open in the word being written: a call
// that stalls inside the link text leaves it set, and the next call
// finishes the word and closes the link. (The output holds the opening tag
// but not the whole word.)
TEST(Stall, AnOpenLinkIsClosedByTheNextCall) {
    const std::string in = "www.abcdefghijklmnopqrstuvwxyz.org x";
    lwtest::StreamPtr s(LWStreamCreate("text/plain", 0));
    unsigned char buf[90];
    Gate gate;
    LWStream sink{};
    sink.Start = buf;
    sink.End = buf + sizeof buf;
    sink.Codec = GateSink;
    sink.Data = &gate;
    s->Next = &sink;
    s->URL = markuptest::kUrl;
    const uint32_t first = lwtest::Put(s.get(), in, true);
    EXPECT_EQ(s->State, 2u); // a www link
    EXPECT_LT(first, in.size());
    gate.open = true;
    LWStreamFlush(&sink, 0); // what the stalled call wrote
    LWStreamFlush(s.get(), 1);
    EXPECT_EQ(s->State, 0u);
    EXPECT_EQ(gate.got, "<A TARGET=\"__eb\" HREF=\"W/http://www.abcdefghijklmnopqrstuvwxyz.org\">"
                        "www.abcdefghijklmnopqrstuvwxyz.org</A> x");
}

} // namespace
