// Encoded words cut into pieces: the same output at every split point, and
// lines that cannot end inside one buffer (nothing is lost, the codec always
// advances, and the outcome does not depend on how the input was cut).
#include "harness.h"

#include <gtest/gtest.h>

namespace {

using lwtest::Chain;
using lwtest::FirstCutThatDiffers;
using lwtest::Produce;
using lwtest::RunCodec;

// Header lines with words in several sets, adjacent and folded words, and
// words that break off or are no words.
std::string Headers() {
    return "Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?= =?utf-8?b?w6k=?=\r\n"
           "From: =?KOI8-R?B?7sHUwczY0Q==?= <n@example.ru>\r\n"
           "Subject: =?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=\r\n"
           "\t=?big5?B?pKSk5Q==?= =?gb2312?B?1tDOxA==?= =?euc-kr?B?x9GxucC7?=\r\n"
           "X: a=b =? =?x-none?q?abc?= =?utf-8?q?broken\n?= =?utf-8?q?=C3?=\n"
           "X: =?utf-8?q?=E2=82?= =?utf-8?q?=AC?= =?utf-8?z?a?= =?utf-8?q?x";
}

std::string EightBitText() {
    return "Subject: Re: Caf\xC3\xA9 \xD0\x96\xD0\xB8\xD0\xB7\xD0\xBD\xD1\x8C\r\n"
           "To: plain\r\n"
           "From: \xE6\x97\xA5\xE6\x9C\xAC \xEA\xB0\x80 <x@y>\n"
           "X: \xC3";
}

TEST(WordSplits, ScannerOutputDoesNotDependOnTheCuts) {
    const std::string in = Headers();
    EXPECT_EQ(FirstCutThatDiffers("RFC1522", 0, in), "");
}

TEST(WordSplits, ProducerOutputDoesNotDependOnTheCuts) {
    const std::string in = EightBitText();
    for (const char* cs : {"ISO-8859-5", "UTF-8", "ISO-2022-JP", "EUC-KR"})
        EXPECT_EQ(FirstCutThatDiffers([&](const auto& p) { return Produce(cs, in, p); }, in.size()),
                  "")
            << cs;
}

TEST(WordSplits, QAndBCodecsDoNotDependOnTheCuts) {
    const std::string q = "Caf=E9_au_lait=\r\n=3D=3d=4_x=";
    EXPECT_EQ(FirstCutThatDiffers("RFC1522Q", 0, q), "");
    std::string bytes;
    for (int c = 0; c < 256; c += 3)
        bytes += static_cast<char>(c);
    EXPECT_EQ(FirstCutThatDiffers("RFC1522Q", 1, bytes), "");
    EXPECT_EQ(FirstCutThatDiffers("RFC1522B", 1, bytes), "");
}

// "=?" in a line that outlasts the buffer: the "=?" is taken as text and the
// scan goes on after it, so a word further on is still decoded.
TEST(WordWaits, ScannerCopiesAnOpeningThatCannotCloseInsideABuffer) {
    const std::string filler(3000, 'a');
    const std::string in = "=?utf-8?q?" + filler + " =?utf-8?q?=C3=A9?= tail";
    const std::string expect = "=?utf-8?q?" + filler + " \xC3\xA9 tail";
    EXPECT_EQ(RunCodec("RFC1522", 0, in), expect);
    EXPECT_EQ(RunCodec("RFC1522", 0, in, {1, 1022, 5}), expect);
    EXPECT_EQ(RunCodec("RFC1522", 0, in, lwtest::Uniform(100, in.size())), expect);
    // No line end at all before the end of the stream.
    const std::string open = "x =?" + filler;
    EXPECT_EQ(RunCodec("RFC1522", 0, open, lwtest::Uniform(7, open.size())), open);
}

TEST(WordWaits, ScannerDecidesAWordWithinAFixedReach) {
    // A long word that fits the reach is decoded; one beyond it stays text,
    // whatever the pieces.
    for (size_t len : {100, 900, 950, 960, 1000, 2000}) {
        const std::string text(len, 'q');
        const std::string word = "=?us-ascii?q?" + text + "?=";
        const std::string got = RunCodec("RFC1522", 0, "> " + word + "\n");
        EXPECT_TRUE(got == "> " + text + "\n" || got == "> " + word + "\n") << len;
        EXPECT_EQ(got == "> " + text + "\n", word.size() <= 959) << len;
        for (size_t k : {1, 3, 500, 1000})
            EXPECT_EQ(RunCodec("RFC1522", 0, "> " + word + "\n", {k}), got) << len << " " << k;
    }
}

// A line of 8-bit text without a line end for many buffers: it comes out as
// adjacent words, each short enough for a scanner's buffer, that read back
// as the whole line.
TEST(WordWaits, ProducerEncodesALongLineAsAdjacentWords) {
    std::string line = "Subject: ";
    for (int i = 0; i < 900; ++i)
        line += i % 10 == 0 ? " " : "\xD0\x96";
    for (const std::string& tail : {std::string(""), std::string("\r\nTo: x\r\n")}) {
        const std::string in = line + tail;
        for (const char* cs : {"UTF-8", "ISO-8859-5", "KOI8-R", "CP1251"}) {
            const std::string out = Produce(cs, in);
            EXPECT_EQ(out.find("<stalled>"), std::string::npos);
            EXPECT_EQ(RunCodec("RFC1522", 0, out), RunCodec(cs, 0, RunCodec(cs, 1, in))) << cs;
            EXPECT_EQ(Produce(cs, in, lwtest::Uniform(37, in.size())), out) << cs;
            for (size_t at = 0, next; (next = out.find("?=", at)) != std::string::npos;
                 at = next + 2) {
                EXPECT_LT(next - out.rfind("=?", next), 959u) << cs;
            }
        }
    }
}

TEST(WordWaits, ProducerNeverSplitsAUtf8Sequence) {
    // Four-byte characters across the piece boundaries.
    std::string line;
    for (int i = 0; i < 1000; ++i)
        line += i % 3 ? "\xF0\x9F\x98\x80" : "ab";
    const std::string out = Produce("UTF-8", line);
    EXPECT_EQ(RunCodec("RFC1522", 0, out), line);
    size_t words = 0;
    for (size_t at = 0; (at = out.find("=?UTF-8?B?", at)) != std::string::npos; ++at) {
        const size_t end = out.find("?=", at + 10);
        ASSERT_NE(end, std::string::npos);
        const std::string bytes = RunCodec("BASE64", 0, out.substr(at + 10, end - at - 10));
        EXPECT_EQ(RunCodec("UTF-8", 0, bytes), bytes);
        EXPECT_NE(static_cast<unsigned char>(bytes[0]) & 0xC0, 0x80u) << words;
        ++words;
    }
    EXPECT_GT(words, 4u);
}

} // namespace
