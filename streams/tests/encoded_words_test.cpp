// Encoded words: the Q and B word codecs, the scanner and the producer with
// their private chains, the end of the stream seen once after them, waits
// that cannot end inside one buffer, and hostile words.
#include "harness.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using lwtest::Chain;
using lwtest::Produce;
using lwtest::RunCodec;

std::string Scan(std::string_view in, const std::vector<size_t>& pieces = {}) {
    return RunCodec("RFC1522", 0, in, pieces);
}

std::string Word(const std::string& charset, char letter, const std::string& bytes) {
    return "=?" + charset + "?" + letter + "?" +
           RunCodec(letter == 'B' ? "RFC1522B" : "RFC1522Q", 1, bytes) + "?=";
}

// Canonical names of the character sets (the rows marked primary).
std::vector<std::string> Charsets() {
    std::vector<std::string> v;
    for (const LWStreamEntry* e = LWStreamList; e->Name; ++e)
        if (e->Primary) v.emplace_back(e->Name);
    return v;
}

// Latin, Cyrillic, Greek, CJK and Hangul text: each set keeps what it has.
const std::string kSample = "Caf\xC3\xA9 \xD0\x96\xD0\xB8\xD0\xB7\xD0\xBD\xD1\x8C \xCE\xB1\xCE\xB2 "
                            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xEA\xB0\x80 \xE4\xB8\x80 end";

TEST(WordQ, DecodesEscapesUnderscoresAndSoftBreaks) {
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "Caf=E9_au_lait"), "Caf\xE9 au lait");
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "=3d=3D_=5f"), "== _");
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "ab=\r\ncd=\nef"), "abcdef");
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "ab="), "ab=");
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "a=4"), "a=4");
    EXPECT_EQ(RunCodec("RFC1522Q", 0, "_a=E9_", {1, 1, 1, 1}), " a\xE9 ");
}

TEST(WordQ, EncodesUnsafeBytesOnOneLine) {
    EXPECT_EQ(RunCodec("RFC1522Q", 1, "a b=c?d_e"), "a_b=3Dc=3Fd=5Fe");
    EXPECT_EQ(RunCodec("RFC1522Q", 1, std::string("\x00\x1F\x7F\x80\xFF", 5)), "=00=1F\x7F=80=FF");
    const std::string longText(3000, 'x');
    EXPECT_EQ(RunCodec("RFC1522Q", 1, longText), longText);
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string q = RunCodec("RFC1522Q", 1, all + all, {7, 300});
    EXPECT_EQ(q.find_first_of(" \r\n\t?"), std::string::npos);
    EXPECT_TRUE(RunCodec("RFC1522Q", 0, q, {5, 1000}) == all + all);
}

TEST(WordB, EncodesWithoutLineBreaksAndDecodesAsBase64) {
    EXPECT_EQ(RunCodec("RFC1522B", 1, "A"), "QQ==");
    EXPECT_EQ(RunCodec("RFC1522B", 1, "AB"), "QUI=");
    EXPECT_EQ(RunCodec("RFC1522B", 1, ""), "");
    std::string data;
    for (int i = 0; i < 2000; ++i)
        data += static_cast<char>(i * 7);
    const std::string b = RunCodec("RFC1522B", 1, data, {1, 2, 100});
    EXPECT_EQ(b.size(), 4 * ((data.size() + 2) / 3));
    EXPECT_EQ(b.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(b, RunCodec("RFC1522B", 1, data));
    EXPECT_TRUE(RunCodec("RFC1522B", 0, b) == data);
    EXPECT_EQ(LWStreamFindCodec("RFC1522B", 0), LWStreamFindCodec("BASE64", 0));
}

TEST(WordB, GroupCountReturnsToZeroAtTheEnd) {
    Chain c({{"RFC1522B", 1}});
    ASSERT_TRUE(c.Ok());
    c.Feed(std::string(100, 'z'), {50});
    EXPECT_EQ(c.Head()->State, 0u);
}

TEST(Scanner, DecodesWordsInHeaderText) {
    const std::string cafe = "Subject: Caf\xC3\xA9 au lait";
    EXPECT_EQ(Scan("Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?=\n"), cafe + "\n");
    EXPECT_EQ(Scan("Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?="), cafe);
    EXPECT_EQ(Scan("=?utf-8?b?w6k=?="), "\xC3\xA9");
    EXPECT_EQ(Scan("=?UtF-8?B?w6k=?= =?latin1?q?=E9?="), "\xC3\xA9 \xC3\xA9");
    EXPECT_EQ(Scan("=?utf-8?q?a?==?utf-8?q?b?=c"), "abc");
    EXPECT_EQ(Scan("=?utf-8?q?\?="), "");
    // The text runs to the first "?=" of the line.
    EXPECT_EQ(Scan("=?utf-8?q?a?b?= x"), "a?b x");
    EXPECT_EQ(Scan("=?=?utf-8?q?a?="), "=?a");
}

TEST(Scanner, LeavesWhatIsNoWordAsItWas) {
    for (const char* text : {"a=b",
                             "x =? is not a word",
                             "=?X-NONE?Q?abc?=",
                             "=?utf-8?x?abc?=",
                             "=??q?abc?=",
                             "=?utf-8?qq?abc?=",
                             "=?utf-8??abc?=",
                             "=?utf-8?q?abc?\n=",
                             "=?utf-8?q?abc\n?=",
                             "=?",
                             "=",
                             "==?",
                             "=?utf-8",
                             "=?utf-8?",
                             "=?utf-8?q",
                             "=?utf-8?q?",
                             "=?utf-8?q?abc",
                             "=?utf-8?q?abc?",
                             "=?a?q?\?=",
                             "=?utf-8?q?a\n?= =?utf-8?q?b?="}) {
        const std::string in = text;
        const std::string expect = in == "=?utf-8?q?a\n?= =?utf-8?q?b?=" ? "=?utf-8?q?a\n?= b" : in;
        EXPECT_EQ(Scan(in), expect) << in;
        EXPECT_EQ(Scan(in + "\n"), expect + "\n") << in;
    }
    // A charset name longer than any registered name is unknown.
    const std::string longName = "=?" + std::string(200, 'U') + "?q?abc?=";
    EXPECT_EQ(Scan(longName), longName);
}

TEST(Scanner, HostileWordContent) {
    // NUL and CR inside the text are bytes like any other; invalid escapes
    // and base64 decode to whatever their bits give, without harm.
    EXPECT_EQ(Scan(std::string("=?utf-8?q?a\0b\rc?=", 17)), std::string("a\0b\rc", 5));
    EXPECT_EQ(Scan("=?iso-8859-1?q?=ZZ=?="), Scan("=?iso-8859-1?q?=ZZ=?="));
    EXPECT_EQ(Scan("=?iso-8859-1?q?=4?="), "=4");
    const std::string bad = Scan("x =?utf-8?b?!!!!####?= y");
    EXPECT_EQ(bad.substr(0, 2), "x ");
    EXPECT_EQ(bad.substr(bad.size() - 2), " y");
    // Undefined bytes follow the set's own rule.
    EXPECT_EQ(Scan("=?us-ascii?q?a=FFb?="), RunCodec("US-ASCII", 0, std::string("a\xFF") + "b"));
}

// A word's charset must name a character set. Other rows of the registry
// would let a message run a transfer decoder, the calendar collector, or
// this scanner inside itself, a word in a word as deep as the text allows.
TEST(Scanner, OnlyCharacterSetsServeAsCharsets) {
    std::string nested = "=?utf-8?q?x?=";
    for (int depth = 0; depth < 40; ++depth)
        nested = Word("RFC1522", 'Q', nested);
    for (const std::string& in :
         {nested, Word("BASE64", 'Q', "QUJD"), Word("quoted-printable", 'B', "a=3Db"),
          Word("text/calendar", 'Q', "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"),
          Word("RFC1522B", 'Q', "QUJD"), Word("CRLF", 'Q', "a")}) {
        EXPECT_EQ(Scan(in), in) << in.substr(0, 40);
    }
    EXPECT_EQ(Scan(Word("latin1", 'Q', "\xE9") + Word("34", 'B', "\x82\xA0")),
              "\xC3\xA9\xE3\x81\x82");
}

// The scanner against each set's own decoder, for every character set of the
// registry, with either letter.
TEST(Scanner, DecodesWordsInEveryCharacterSet) {
    for (const std::string& cs : Charsets()) {
        const std::string bytes = RunCodec(cs, 1, kSample);
        const std::string text = RunCodec(cs, 0, bytes);
        ASSERT_FALSE(text.empty()) << cs;
        for (char letter : {'B', 'Q'}) {
            const std::string in = "Subject: " + Word(cs, letter, bytes) + " (x)\r\n";
            EXPECT_EQ(Scan(in), "Subject: " + text + " (x)\r\n") << cs << " " << letter;
            EXPECT_EQ(Scan(in, lwtest::Uniform(3, in.size())), "Subject: " + text + " (x)\r\n")
                << cs;
        }
    }
}

TEST(Producer, WrapsTheEightBitPartOfEachLine) {
    EXPECT_EQ(Produce("ISO-8859-1", "Caf\xC3\xA9"), "Caf=?ISO-8859-1?Q?=E9?=");
    EXPECT_EQ(Produce("latin1", "Subject: Caf\xC3\xA9 au lait\r\nTo: x\r\n"),
              "Subject: Caf=?latin1?Q?=E9_au_lait?=\r\nTo: x\r\n");
    EXPECT_EQ(Produce("ISO-8859-1", "plain 7-bit text\n= ? _\n"), "plain 7-bit text\n= ? _\n");
    const std::string many = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    EXPECT_EQ(Produce("UTF-8", "x " + many + "\n"),
              "x =?UTF-8?B?" + RunCodec("RFC1522B", 1, many) + "?=\n");
    // Ten 8-bit bytes still take Q, eleven take B.
    EXPECT_EQ(Produce("UTF-8", std::string(10, '\x80')).substr(0, 10), "=?UTF-8?Q?");
    EXPECT_EQ(Produce("UTF-8", std::string(11, '\x80')).substr(0, 10), "=?UTF-8?B?");
}

TEST(Producer, UnknownCharsetDropsTheEightBitBytes) {
    EXPECT_EQ(Produce("X-NONE", "Caf\xC3\xA9 ok\n"), "Caf ok\n");
    Chain c({{"RFC1522", 1}});
    EXPECT_EQ(c.Feed("a\xC3\xA9z"), "az"); // no Param at all
    for (const char* notASet : {"BASE64", "RFC1522", "RFC1522Q", "text/calendar"})
        EXPECT_EQ(Produce(notASet, "Caf\xC3\xA9 ok\n"), "Caf ok\n") << notASet;
}

// What the producer writes, the scanner reads back, in every character set.
TEST(Producer, RoundTripsThroughTheScannerInEveryCharacterSet) {
    for (const std::string& cs : Charsets()) {
        const std::string raw = "Subject: Re: " + kSample + "\r\nFrom: \xC3\xA9 <a@b>\n";
        const std::string in = RunCodec(cs, 0, RunCodec(cs, 1, raw));
        const std::string produced = Produce(cs.c_str(), in);
        EXPECT_EQ(Scan(produced), in) << cs;
        EXPECT_EQ(Produce(cs.c_str(), in, lwtest::Uniform(2, in.size())), produced) << cs;
    }
}

// A stage after the codec sees the end of the stream once, at the real end,
// however many words the private chains flushed on the way.
uint32_t CountEnds(LWStream* in, LWStream* out) {
    if (in->EOS) ++in->Count;
    const int32_t n = in->Len;
    std::memcpy(out->Start + out->Len, in->Start, static_cast<size_t>(n));
    out->Len += n;
    LWStreamFlush(out, in->EOS);
    return static_cast<uint32_t>(n);
}

int EndsSeen(int encode, const std::string& in, const std::vector<size_t>& pieces,
             std::string& result) {
    Chain c({{"RFC1522", encode}, {"UTF-8", 0}});
    c.Head()->Param = const_cast<char*>("ISO-8859-1");
    LWStream* after = c.Head()->Next;
    after->Codec = CountEnds;
    result = c.Feed(in, pieces);
    return after->Count;
}

TEST(EndOfStream, TheStageAfterTheCodecSeesItOnce) {
    std::string words;
    for (int i = 0; i < 40; ++i)
        words += "=?iso-8859-1?q?w=E9?= =?utf-8?b?w6k=?=\r\n";
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "w\xC3\xA9 \xC3\xA9\r\n";
    for (const auto& pieces : {std::vector<size_t>{}, lwtest::Uniform(5, 2000)}) {
        std::string out;
        EXPECT_EQ(EndsSeen(0, words, pieces, out), 1);
        EXPECT_EQ(out, Scan(words));
        EXPECT_EQ(EndsSeen(1, text, pieces, out), 1);
        EXPECT_EQ(Scan(out), text);
    }
}

} // namespace
