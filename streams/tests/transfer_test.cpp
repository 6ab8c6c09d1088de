// Transfer encodings and iCalendar line formats.
#include "harness.h"

#include "codec_oracle.h"

#include <gtest/gtest.h>

namespace {

using lwtest::Dec;
using lwtest::Enc;

std::string Bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

TEST(Base64, DecodesAcrossLineBreaksPadsAndPieces) {
    EXPECT_EQ(Dec("BASE64", "QUJD\r\nREVG"), "ABCDEF");
    EXPECT_EQ(Dec("BASE64", "QQ=="), "A");
    EXPECT_EQ(Dec("BASE64", "QUI="), "AB");
    EXPECT_EQ(Dec("BASE64", "QQ==QUI="), "AAB");
    EXPECT_EQ(Dec("BASE64", "QUJD", {2}), "ABC");
    EXPECT_EQ(Dec("BASE64", "Q\nU\r\nJ\rD"), "ABC");
    EXPECT_EQ(Dec("BASE64", "\r\n\r\n"), "");
}

// A partial group followed by more line ends than a buffer holds, at every
// group position and with each kind of line end: the decoder must advance.
TEST(Base64, LongRunsOfLineEndsAfterAPartialGroupDoNotStall) {
    const std::string body = "QUJD";
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        std::string run;
        while (run.size() < 3 * LWSTREAM_BUFSIZE)
            run += eol;
        for (size_t pos = 0; pos < 4; ++pos) {
            // "QUJD" then pos characters of "REVG", the run, the rest.
            const std::string in = body + std::string("REVG").substr(0, pos) + run +
                                   std::string("REVG").substr(pos) + "\r\nR0hJ";
            EXPECT_EQ(Dec("BASE64", in), "ABCDEFGHI") << pos;
            EXPECT_EQ(Dec("BASE64", in, {7, 1020, 1, 3}), "ABCDEFGHI") << pos;
            EXPECT_EQ(Dec("BASE64", in, lwtest::Uniform(997, in.size())), "ABCDEFGHI") << pos;
        }
        // Line ends between every character of a group.
        std::string spread;
        for (char c : std::string("QUJDREVG"))
            spread += std::string(1, c) + run.substr(0, 1500);
        EXPECT_EQ(Dec("BASE64", spread), "ABCDEF");
    }
}

TEST(Base64, CompletesAFinalGroupThatLostItsPadding) {
    EXPECT_EQ(Dec("BASE64", "QUJDQQ"), "ABCA");
    EXPECT_EQ(Dec("BASE64", "QUJDQUI"), "ABCAB");
    EXPECT_EQ(Dec("BASE64", "QUJDQUI\r\n"), "ABCAB");
    // A lone character holds no whole byte.
    EXPECT_EQ(Dec("BASE64", "QUJDQ"), "ABC");
}

TEST(Base64, EncodesInLinesOf76) {
    std::string out = Enc("BASE64", std::string(57, 'x'));
    ASSERT_EQ(out.size(), 78u);
    EXPECT_EQ(out.substr(76), "\r\n");
    out = Enc("BASE64", std::string(58, 'x'));
    ASSERT_EQ(out.size(), 78u + 6u);
    EXPECT_EQ(out.substr(78), "eA==\r\n");
    EXPECT_EQ(Enc("BASE64", "AB"), "QUI=\r\n");
    EXPECT_EQ(Enc("BASE64", "ABC"), "QUJD\r\n");
    EXPECT_EQ(Enc("BASE64", ""), "");
    // Every line but the last is exactly 76 characters.
    out = Enc("BASE64", Bytes(1000, 1), {10, 1, 100});
    for (size_t pos = 0, eol; (eol = out.find("\r\n", pos)) != std::string::npos; pos = eol + 2) {
        if (eol + 2 < out.size()) {
            EXPECT_EQ(eol - pos, 76u);
        }
    }
}

TEST(Base64, RoundTripsAnyBytes) {
    for (size_t n : {0, 1, 2, 3, 56, 57, 58, 1023, 5000}) {
        std::string data = Bytes(n, static_cast<uint32_t>(n));
        EXPECT_TRUE(Dec("BASE64", Enc("BASE64", data)) == data) << n;
    }
}

// The codec against the plain one of the test kit: the same encoding of any
// bytes, and each decodes what the other encoded, however the input is cut.
TEST(Base64, AgreesWithThePlainCodec) {
    std::mt19937 rng(11);
    for (size_t n : {0, 1, 2, 3, 4, 56, 57, 58, 113, 114, 115, 1000, 4097}) {
        const std::string data = Bytes(n, static_cast<uint32_t>(n) + 100);
        const std::string plain = arbortest::Base64Encode(data);
        EXPECT_EQ(Enc("BASE64", data), plain) << n;
        EXPECT_EQ(Enc("BASE64", data, lwtest::RandomPieces(rng, n, 97)), plain) << n;
        EXPECT_TRUE(Dec("BASE64", plain, lwtest::RandomPieces(rng, plain.size(), 61)) == data) << n;
        EXPECT_TRUE(arbortest::Base64Decode(Enc("BASE64", data)) == data) << n;
    }
}

TEST(QuotedPrintable, AgreesWithThePlainCodec) {
    std::mt19937 rng(12);
    for (int round = 0; round < 20; ++round) {
        // Text with CR LF line ends, long lines, blanks before line ends, "="
        // and bytes outside ASCII.
        std::string data;
        const size_t len = rng() % 600;
        for (size_t i = 0; i < len; ++i) {
            const unsigned r = rng() % 16;
            data += r == 0   ? std::string("\r\n")
                    : r == 1 ? std::string(" \r\n")
                    : r == 2 ? std::string("=")
                    : r == 3 ? std::string(1, static_cast<char>(0x80 + rng() % 128))
                             : std::string(1, static_cast<char>('a' + rng() % 26));
        }
        const std::string plain = arbortest::QuotedPrintableEncode(data);
        EXPECT_EQ(Dec("quoted-printable", plain, lwtest::RandomPieces(rng, plain.size(), 37)), data)
            << round;
        const std::string ours = Enc("quoted-printable", data, lwtest::RandomPieces(rng, len, 53));
        EXPECT_EQ(arbortest::QuotedPrintableDecode(ours), data) << round;
    }
}

TEST(QuotedPrintable, DecodesEscapesAndSoftBreaks) {
    EXPECT_EQ(Dec("quoted-printable", "a=3Db"), "a=b");
    EXPECT_EQ(Dec("quoted-printable", "=3d"), "=");
    EXPECT_EQ(Dec("quoted-printable", "=e9=C3=a9"), "\xE9\xC3\xA9");
    EXPECT_EQ(Dec("quoted-printable", "abc=\r\ndef"), "abcdef");
    EXPECT_EQ(Dec("quoted-printable", "abc=\ndef"), "abcdef");
    EXPECT_EQ(Dec("quoted-printable", "trail  \r\n"), "trail  \r\n");
    // Escapes split over pieces.
    EXPECT_EQ(Dec("quoted-printable", "x=3Dy", {2}), "x=y");
    EXPECT_EQ(Dec("quoted-printable", "x=3Dy", {3}), "x=y");
}

TEST(QuotedPrintable, KeepsAnEscapeCutShortByTheEnd) {
    EXPECT_EQ(Dec("quoted-printable", "ab="), "ab=");
    EXPECT_EQ(Dec("quoted-printable", "ab=4"), "ab=4");
    // A soft break at the very end is still a soft break.
    EXPECT_EQ(Dec("quoted-printable", "ab=\n"), "ab");
    EXPECT_EQ(Dec("quoted-printable", "ab=\r\n"), "ab");
}

TEST(QuotedPrintable, EncodesUnsafeBytesAndWrapsLongLines) {
    EXPECT_EQ(Enc("quoted-printable", "a=b"), "a=3Db");
    EXPECT_EQ(Enc("quoted-printable", "\t"), "=09");
    EXPECT_EQ(Enc("quoted-printable", "\xE9"), "=E9");
    EXPECT_EQ(Enc("quoted-printable", "x \r\n"), "x=20\r\n");
    EXPECT_EQ(Enc("quoted-printable", "x \r\n", {2}), "x=20\r\n");
    EXPECT_EQ(Enc("quoted-printable", "x \r\n", {3}), "x=20\r\n");
    EXPECT_EQ(Enc("quoted-printable", "a\nb\rc"), "a\r\nb\r\nc");
    EXPECT_EQ(Enc("quoted-printable", "end "), "end ");
    EXPECT_EQ(Enc("quoted-printable", std::string(80, 'p')),
              std::string(75, 'p') + "=\r\n" + std::string(5, 'p'));
    std::string out = Enc("quoted-printable", std::string(300, '\x80'));
    for (size_t pos = 0, eol; (eol = out.find("\r\n", pos)) != std::string::npos; pos = eol + 2) {
        EXPECT_LE(eol - pos, 76u);
    }
}

TEST(QuotedPrintable, RoundTripsTextWithCanonicalLineEnds) {
    std::string data;
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; ++i) {
        unsigned r = rng() % 20;
        data += r == 0 ? std::string("\r\n") : std::string(1, static_cast<char>(rng() & 0xFF));
    }
    // Bare CR and LF are line ends too; keep only CR LF pairs in the sample.
    std::string clean;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') {
            clean += "\r\n";
            ++i;
        } else if (data[i] != '\r' && data[i] != '\n') {
            clean += data[i];
        }
    }
    EXPECT_EQ(Dec("quoted-printable", Enc("quoted-printable", clean)), clean);
}

TEST(Rfc2445, UnfoldsContinuationLines) {
    EXPECT_EQ(Dec("RFC2445", "DESCRIPTION:ab\r\n cd"), "DESCRIPTION:abcd");
    EXPECT_EQ(Dec("RFC2445", "a\n b\r c"), "abc");
    EXPECT_EQ(Dec("RFC2445", "a\r\nb\r\n\tc"), "a\r\nb\r\n\tc");
    EXPECT_EQ(Dec("RFC2445", "a\r\n", {2}), "a\r\n");
    EXPECT_EQ(Dec("RFC2445", "ab\r\n x", {3, 1}), "abx");
    // Among the last two bytes of the stream a line end is copied.
    EXPECT_EQ(Dec("RFC2445", "end\n "), "end\n ");
}

TEST(Rfc2445, CopiesALineEndAmongTheLastTwoBytes) {
    EXPECT_EQ(Dec("RFC2445", "ab\n "), "ab\n ");
    EXPECT_EQ(Dec("RFC2445", "ab\r "), "ab\r ");
    EXPECT_EQ(Dec("RFC2445", "ab\n \n "), "ab\n ");
    EXPECT_EQ(Dec("RFC2445", "ab\n c"), "abc");
    EXPECT_EQ(Dec("RFC2445", "ab\r\n "), "ab");
    // The same text in pieces: a line end waits for the bytes behind it.
    EXPECT_EQ(Dec("RFC2445", "ab\n ", {3}), "ab\n ");
    EXPECT_EQ(Dec("RFC2445", "ab\n c\n ", {3, 1, 1}), "abc\n ");
}

TEST(Rfc2445, FoldsAfter75BytesAndUnfoldsBack) {
    std::string line(200, 'f');
    std::string folded = Enc("RFC2445", line);
    EXPECT_EQ(folded.substr(0, 77), std::string(75, 'f') + "\r\n");
    EXPECT_EQ(folded[77], ' ');
    EXPECT_EQ(Dec("RFC2445", folded), line);
    // After a line feed the line feed itself counts.
    std::string two = "x\n" + std::string(80, 'g');
    std::string f2 = Enc("RFC2445", two);
    EXPECT_EQ(f2.substr(0, 2 + 74 + 2), "x\n" + std::string(74, 'g') + "\r\n");
    // A line that ends right at the limit gets no empty continuation, and a
    // CR LF is never split.
    std::string exact = std::string(74, 'e') + "\r\nnext";
    EXPECT_EQ(Enc("RFC2445", exact), exact);
    EXPECT_EQ(Enc("RFC2445", std::string(75, 'e')), std::string(75, 'e'));
    // Many lines round-trip.
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "DESCRIPTION:" + std::string(i * 7, 'a' + i % 26) + "\r\n";
    EXPECT_EQ(Dec("RFC2445", Enc("RFC2445", text, {33})), text);
}

TEST(Rfc2445ML, EscapesLineBreaks) {
    EXPECT_EQ(Enc("RFC2445ML", "a\r\nb\nc\rd"), "a\\nb\\nc\rd");
    EXPECT_EQ(Enc("RFC2445ML", "a\r\nb", {2}), "a\\nb");
    EXPECT_EQ(Enc("RFC2445ML", "a\r"), "a\r");
}

TEST(Crlf, NormalisesEveryLineEnd) {
    EXPECT_EQ(Enc("CRLF", "a\nb\rc"), "a\r\nb\r\nc");
    EXPECT_EQ(Enc("CRLF", "a\r\nb"), "a\r\nb");
    EXPECT_EQ(Enc("CRLF", "a\r\nb", {2}), "a\r\nb");
    EXPECT_EQ(Enc("CRLF", "a\r"), "a\r\n");
    EXPECT_EQ(Enc("CRLF", "\n\n\r\r\n"), "\r\n\r\n\r\n\r\n");
}

} // namespace
