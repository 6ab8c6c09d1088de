// The East Asian sets' rules: the characters each decodes and encodes, the
// shift states kept in State, the end of the stream, hostile input, and the
// same output however the input is cut into pieces.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using lwtest::Chain;
using lwtest::Dec;
using lwtest::Enc;

// Runs one piece through a fresh chain without ending the stream; returns
// the head's State and what it left unconsumed.
struct Open {
    uint32_t state;
    int32_t pending;
};
Open RunOpen(const std::string& set, int encode, const std::string& in) {
    Chain c({{set, encode}});
    EXPECT_TRUE(c.Ok());
    lwtest::Put(c.Head(), in, false);
    return {c.Head()->State, c.Head()->Len};
}

const std::string kEsc = "\x1B";
const std::string kA = "\xE3\x81\x82";        // U+3042 hiragana a
const std::string kAsia = "\xE4\xBA\x9C";     // U+4E9C
const std::string kGa = "\xEA\xB0\x80";       // U+AC00 Hangul ga
const std::string kAh = "\xE5\x95\x8A";       // U+554A
const std::string kOne = "\xE4\xB8\x80";      // U+4E00
const std::string kYen = "\xC2\xA5";          // U+00A5
const std::string kOverline = "\xE2\x80\xBE"; // U+203E
const std::string kKanaA = "\xEF\xBD\xB1";    // U+FF71 half-width katakana a

// Every name of one set leads to the same pair of codecs, and distinct sets
// have distinct ones.
TEST(Multibyte, RegistryNamesShareTheirSetsCodecs) {
    const std::vector<std::vector<const char*>> groups = {
        {"EUC-KR", "KS_C_5601-1987", "EUCKR", "CSEUCKR", "30", "31", "32"},
        {"ISO-2022-KR", "CSISO2022KR", "29"},
        {"ISO-2022-CN", "CSISO2022CN", "28"},
        {"GB2312", "GB_2312", "GB_2312-80", "CSISO58GB231280", "CHINESE", "21"},
        {"HZ", "HZ-GB-2312"},
        {"BIG5", "BIG-5", "BIG-FIVE", "BIGFIVE", "CN-BIG5", "CSBIG5", "19", "20"},
        {"EUC-TW", "EUCTW", "CSEUCTW"},
        {"ISO-2022-JP", "CSISO2022JP", "25"},
        {"SHIFT_JIS", "SJIS", "SHIFT-JIS", "CSSHIFTJIS", "MS_KANJI", "33", "34"},
    };
    std::string why;
    EXPECT_TRUE(lwtest::NamesShareTheirSetsCodecs(groups, why)) << why;
}

TEST(Multibyte, DecodesTheNamedExamples) {
    EXPECT_EQ(Dec("EUC-KR", "\xB0\xA1"), kGa);
    EXPECT_EQ(Dec("EUC-KR", "\xA1\xC8"), "\xE2\x80\xB3"); // U+2033
    EXPECT_EQ(Dec("KS_C_5601-1987", "\xB0\xA1"), kGa);
    EXPECT_EQ(Dec("SHIFT_JIS", "\x82\xA0"), kA);
    EXPECT_EQ(Dec("SJIS", "\x81\x40"), "\xE3\x80\x80"); // U+3000
    EXPECT_EQ(Dec("SHIFT_JIS", "\xB1"), kKanaA);
    EXPECT_EQ(Dec("SHIFT_JIS", "a\\b~"), "a" + kYen + "b" + kOverline);
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$B\x30\x21" + kEsc + "(B"), kAsia);
    EXPECT_EQ(Dec("HZ", "~{\x30\x21~}"), kAh);
    EXPECT_EQ(Dec("BIG5", "\xA4\x40"), kOne);
    EXPECT_EQ(Dec("GB2312", "\xB0\xA1"), kAh);
    EXPECT_EQ(Dec("EUC-TW", "\xC4\xA1"), kOne);
    EXPECT_EQ(Dec("EUC-TW", "\x8E\xA1\xC4\xA1"), kOne); // plane 1 in four bytes
}

TEST(Multibyte, EncodesTheNamedExamples) {
    EXPECT_EQ(Enc("EUC-KR", kGa), "\xB0\xA1");
    EXPECT_EQ(Enc("ISO-2022-JP", kAsia + "A"), kEsc + "$B\x30\x21" + kEsc + "(BA");
    EXPECT_EQ(Enc("ISO-2022-JP", "x" + kAsia), "x" + kEsc + "$B\x30\x21" + kEsc + "(B");
    EXPECT_EQ(Enc("HZ", "~"), "~~");
    EXPECT_EQ(Enc("HZ", kAh + "a"), "~{\x30\x21~}a");
    EXPECT_EQ(Enc("HZ", "a" + kAh), "a~{\x30\x21"); // no ~} at the end
    EXPECT_EQ(Enc("SHIFT_JIS", kA + kKanaA + "z"), "\x82\xA0\xB1z");
    EXPECT_EQ(Enc("BIG5", kOne), "\xA4\x40");
    EXPECT_EQ(Enc("GB2312", kAh), "\xB0\xA1");
    EXPECT_EQ(Enc("EUC-TW", kOne), "\xC4\xA1");
}

TEST(Multibyte, Iso2022KrDesignatesOncePerLine) {
    const std::string so = "\x0E", si = "\x0F";
    EXPECT_EQ(Enc("ISO-2022-KR", kGa + "\r\n" + kGa + kGa + "\n"),
              kEsc + "$)C" + so + "\x30\x21" + si + "\r\n" + kEsc + "$)C" + so +
                  "\x30\x21\x30\x21" + si + "\n");
    // A text that ends shifted is closed with SI.
    EXPECT_EQ(Enc("ISO-2022-KR", "a" + kGa), "a" + kEsc + "$)C" + so + "\x30\x21" + si);
    EXPECT_EQ(Dec("ISO-2022-KR", kEsc + "$)C" + so + "\x30\x21" + si + "a"), kGa + "a");
}

TEST(Multibyte, Iso2022CnChoosesItsDesignations) {
    const std::string so = "\x0E", si = "\x0F";
    // GB 2312 first; a character only in CNS 11643 plane 1 switches the SO
    // designation without a second SO.
    const std::string hanzi = "\xE4\xB8\xA6"; // U+4E26, traditional only
    ASSERT_EQ(Enc("GB2312", hanzi), "");
    const std::string p1 = Enc("EUC-TW", hanzi);
    ASSERT_EQ(p1.size(), 2u);
    const std::string cns{static_cast<char>(p1[0] & 0x7F), static_cast<char>(p1[1] & 0x7F)};
    EXPECT_EQ(Enc("ISO-2022-CN", kAh + hanzi + "\n" + kAh), kEsc + "$)A" + so + "\x30\x21" + kEsc +
                                                                "$)G" + cns + si + "\n" + kEsc +
                                                                "$)A" + so + "\x30\x21" + si);
    EXPECT_EQ(Dec("ISO-2022-CN", kEsc + "$)A" + so + "\x30\x21" + kEsc + "$)G" + cns + si),
              kAh + hanzi);
    // Plane 2 through SS2: designated once per line, ESC N before every one.
    const std::string p2 = Enc("EUC-TW", "\xE4\xB9\x82"); // U+4E42, plane 2
    ASSERT_EQ(p2.substr(0, 2), "\x8E\xA2");
    const std::string pair{static_cast<char>(p2[2] & 0x7F), static_cast<char>(p2[3] & 0x7F)};
    EXPECT_EQ(Enc("ISO-2022-CN", "\xE4\xB9\x82\xE4\xB9\x82"),
              kEsc + "$*H" + kEsc + "N" + pair + kEsc + "N" + pair);
    EXPECT_EQ(Dec("ISO-2022-CN", kEsc + "$*H" + kEsc + "N" + pair), "\xE4\xB9\x82");
    // Without the SS2 designation the character is dropped.
    EXPECT_EQ(Dec("ISO-2022-CN", kEsc + "N" + pair + "x"), "x");
}

TEST(Multibyte, Iso2022CnLineEndsClearDesignations) {
    const std::string so = "\x0E", si = "\x0F";
    EXPECT_EQ(Dec("ISO-2022-CN", kEsc + "$)A" + si + "\n" + so + "\x30\x21x"), "\n");
    EXPECT_EQ(Dec("ISO-2022-CN",
                  kEsc + "$)A" + so + "\x30\x21" + si + "\n" + kEsc + "$)A" + so + "\x30\x21"),
              kAh + "\n" + kAh);
}

TEST(Multibyte, ShiftStatesLiveInState) {
    EXPECT_EQ(RunOpen("ISO-2022-JP", 0, kEsc + "$B").state, 2u);
    EXPECT_EQ(RunOpen("ISO-2022-JP", 0, kEsc + "(J").state, 1u);
    EXPECT_EQ(RunOpen("ISO-2022-KR", 0, kEsc + "$)C\x0E").state, 0x0101u);
    EXPECT_EQ(RunOpen("ISO-2022-KR", 0, kEsc + "$)C\x0E\x0F").state, 0x0100u);
    EXPECT_EQ(RunOpen("ISO-2022-CN", 0, kEsc + "$)G\x0E").state, 0x0201u);
    EXPECT_EQ(RunOpen("ISO-2022-CN", 0, kEsc + "$)A" + kEsc + "$*H").state, 0x010100u);
    EXPECT_EQ(RunOpen("HZ", 0, "~{").state, 1u);
    EXPECT_EQ(RunOpen("ISO-2022-JP", 1, kAsia).state, 2u);
    EXPECT_EQ(RunOpen("ISO-2022-KR", 1, kGa).state, 0x0101u);
    EXPECT_EQ(RunOpen("HZ", 1, kAh).state, 1u);
}

TEST(Multibyte, DropsWhatTheRulesDrop) {
    EXPECT_EQ(Dec("BIG5", "a\xC8\xA1z"), "az");                        // lead 0xC8
    EXPECT_EQ(Dec("EUC-KR", "\xAD\xA1z"), "z");                        // row not consulted
    EXPECT_EQ(Dec("GB2312", "\xAA\xA1\x80\x41z"), "z");                // rows A (empty), 0x80 lead
    EXPECT_EQ(Dec("EUC-TW", "\x90\x41z\xA7\xA1y"), "zy");              // stray byte with the next
    EXPECT_EQ(Dec("SHIFT_JIS", "\xEB\x40z\x81\x20y"), "zy");           // lead 0xEB; bad trail
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$B\x29\x21\x30\x21"), kAsia); // row 9 unused
    EXPECT_EQ(Enc("EUC-KR", "\xE0\xB8\x81x"), "x");                    // Thai: not in the set
}

TEST(Multibyte, ShiftJisUserDefinedArea) {
    EXPECT_EQ(Dec("SHIFT_JIS", "\xF0\x40"), "\xEE\x80\x80"); // U+E000
    EXPECT_EQ(Dec("SHIFT_JIS", "\xF0\x80"), "\xEE\x80\xBF"); // U+E03F
    EXPECT_EQ(Dec("SHIFT_JIS", "\xF9\xFC"), "\xEE\x9D\x97"); // U+E757
    EXPECT_EQ(Enc("SHIFT_JIS", "\xEE\x80\xBF\xEE\x9D\x97"), "\xF0\x80\xF9\xFC");
    EXPECT_EQ(Enc("SHIFT_JIS", "\xEE\x9D\x98"), ""); // U+E758: beyond the area
    // The Roman letters go back to the bytes they were read from.
    EXPECT_EQ(Enc("SHIFT_JIS", kYen + kOverline + "\\"), "\\~\\");
}

// Shift codes written right before an ASCII run, at every position of the
// output buffer: the run must still fit in what room is left.
TEST(Multibyte, ShiftCodesNearAFullBuffer) {
    struct Case {
        const char* set;
        std::string character, written;
    };
    const std::string so = "\x0E", si = "\x0F";
    const Case cases[] = {
        {"ISO-2022-JP", kAsia, kEsc + "$B\x30\x21" + kEsc + "(B"},
        {"ISO-2022-KR", kGa, so + "\x30\x21" + si},
        {"ISO-2022-CN", kAh, so + "\x30\x21" + si},
        {"HZ", kAh, "~{\x30\x21~}"},
    };
    for (const auto& c : cases) {
        for (size_t run = 1; run < 12; ++run) {
            const std::string ascii(run, 'a');
            std::string text, expected;
            for (int k = 0; k < 400; ++k) {
                text += c.character + ascii;
                expected += c.written + ascii;
            }
            std::string got = Enc(c.set, text);
            // The 2022 forms designate once at the start of the text.
            if (std::string(c.set) == "ISO-2022-KR") expected = kEsc + "$)C" + expected;
            if (std::string(c.set) == "ISO-2022-CN") expected = kEsc + "$)A" + expected;
            EXPECT_EQ(got, expected) << c.set << " run " << run;
        }
    }
}

TEST(Multibyte, EndOfStreamDropsCutCodes) {
    EXPECT_EQ(Dec("EUC-KR", "a\xB0"), "a");
    EXPECT_EQ(Dec("SHIFT_JIS", "a\x82"), "a");
    EXPECT_EQ(Dec("BIG5", "a\xA4"), "a");
    EXPECT_EQ(Dec("EUC-TW", "a\x8E\xA2\xA1"), "a");
    EXPECT_EQ(Dec("ISO-2022-JP", "a" + kEsc), "a");
    EXPECT_EQ(Dec("ISO-2022-JP", "a" + kEsc + "$"), "a");
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$B\x30"), "");
    EXPECT_EQ(Dec("ISO-2022-KR", "a" + kEsc + "$)"), "a");
    EXPECT_EQ(Dec("ISO-2022-CN", "a" + kEsc + "N\x21"), "a");
    EXPECT_EQ(Dec("HZ", "a~"), "a~");            // a ~ that ends the text is a ~
    EXPECT_EQ(Dec("HZ", "~{\x30\x21\x30"), kAh); // inside GB mode the cut pair goes
    // A complete escape right at the end still counts, and so does the
    // character behind it.
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$B\x30\x21" + kEsc + "(BA"), kAsia + "A");
}

TEST(Multibyte, HostileEscapesAndShifts) {
    // Unknown escapes: ESC ( x takes three bytes, other ESC one; ESC $ x is data.
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "(Iab" + kEsc + "xy"), "abxy");
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$Aq"), kEsc + "$Aq");
    // ISO-2022-KR: an escape is taken as far as it matches the designation.
    EXPECT_EQ(Dec("ISO-2022-KR", kEsc + "$)Dz" + kEsc + "$Az"), "DzAz");
    // SO before any designation takes the byte after it; its pairs are dropped.
    EXPECT_EQ(Dec("ISO-2022-KR", "\x0E\x30\x30\x21\x0Fz"), "z");
    // Controls inside a double-byte state pass on their own: no line is lost.
    EXPECT_EQ(Dec("ISO-2022-JP", kEsc + "$B\x30\r\n\x30\x21"), "\r\n" + kAsia);
    EXPECT_EQ(Dec("HZ", "~{\x30\x21\n\x30\x21~}"), kAh + "\n" + kAh);
    // Eight-bit bytes have no place in the 7-bit forms.
    EXPECT_EQ(Dec("ISO-2022-KR", std::string("a\xB0\xA1") + "b"), "ab");
    EXPECT_EQ(Dec("HZ", std::string("a\xB0\xA1") + "b"), "ab");
    // The C1 range of EUC-KR passes as characters, keeping the output UTF-8.
    EXPECT_EQ(Dec("EUC-KR", "\x85\xA0"), "\xC2\x85\xC2\xA0");
}

TEST(Multibyte, EncodersSkipMalformedUtf8) {
    for (const char* set : {"EUC-KR", "GB2312", "BIG5", "EUC-TW", "SHIFT_JIS", "ISO-2022-JP",
                            "ISO-2022-KR", "ISO-2022-CN", "HZ"}) {
        // A stray continuation byte, an overlong form, a surrogate, a
        // four-byte character, and a sequence cut by the end of the stream.
        EXPECT_EQ(Enc(set, "a\x80"
                           "b\xC0\xAF"
                           "c\xED\xA0\x80"
                           "d\xF0\x9F\x98\x80"
                           "e\xE4\xB8"),
                  "abcde")
            << set;
    }
}

// Mixed text of each script in UTF-8, and the sets that carry it.
const std::string kJapanese = "Re: \xE4\xBC\x9A\xE8\xAD\xB0 ~ \xEF\xBD\xB1\xEF\xBD\xB2 "
                              "\xE3\x81\x82\xE3\x81\x84\r\n\xE4\xBA\x9C x\r\n";
const std::string kKorean = "\xEA\xB0\x80\xEB\x82\x98 ok\r\n\xED\x95\x9C\xEA\xB5\xAD a~b\n";
const std::string kChinese = "\xE5\x95\x8A~\xE4\xB8\x80 \xE4\xB8\xAD\xE6\x96\x87\r\n"
                             "\xE4\xB8\xA6\xE4\xB9\x82 z\n";

struct Sample {
    const char* set;
    const std::string* text;
};

const Sample kSamples[] = {
    {"SHIFT_JIS", &kJapanese},  {"ISO-2022-JP", &kJapanese}, {"EUC-KR", &kKorean},
    {"ISO-2022-KR", &kKorean},  {"GB2312", &kChinese},       {"HZ", &kChinese},
    {"ISO-2022-CN", &kChinese}, {"BIG5", &kChinese},         {"EUC-TW", &kChinese},
};

TEST(Multibyte, SplitsDoNotChangeTheOutput) {
    for (const auto& s : kSamples) {
        const std::string native = Enc(s.set, *s.text);
        ASSERT_FALSE(native.empty()) << s.set;
        // Every split position: inside escapes, inside pairs, between ~ and {.
        EXPECT_EQ(lwtest::FirstCutThatDiffers(s.set, 1, *s.text), "") << s.set;
        EXPECT_EQ(lwtest::FirstCutThatDiffers(s.set, 0, native), "") << s.set;
        // What the encoder wrote reads back as the text, less what the set lacks.
        EXPECT_EQ(Enc(s.set, Dec(s.set, native)), native) << s.set;
    }
    EXPECT_EQ(Dec("ISO-2022-JP", Enc("ISO-2022-JP", kJapanese)), kJapanese);
    EXPECT_EQ(Dec("ISO-2022-KR", Enc("ISO-2022-KR", kKorean)), kKorean);
    EXPECT_EQ(Dec("EUC-TW", Enc("EUC-TW", kChinese)), kChinese);
}

} // namespace
