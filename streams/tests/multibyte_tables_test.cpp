// The multibyte sets' tables, entry by entry against the C library's iconv:
// every pair of the consulted rows decodes as iconv decodes it, pairs outside
// them decode to nothing, and every decoded character encodes back to its
// pair. Where the sets deliberately differ from iconv the test says why.
#include "harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace {

using lwtest::IconvToUtf8;
using lwtest::RunCodec;

// Code point of a UTF-8 text of one character, or 0.
uint32_t OneCodePoint(const std::string& s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    if (s.size() == 1 && b[0] < 0x80) return b[0];
    if (s.size() == 2) return ((b[0] & 0x1Fu) << 6) | (b[1] & 0x3Fu);
    if (s.size() == 3) return ((b[0] & 0x0Fu) << 12) | ((b[1] & 0x3Fu) << 6) | (b[2] & 0x3Fu);
    return 0;
}

// The encoders know these code points only (and ASCII, which they copy).
bool Encodable(uint32_t cp) {
    if (cp < 0x80) return true;
    static const std::pair<uint32_t, uint32_t> kRanges[] = {
        {0x0080, 0x045F}, {0x2000, 0x266F}, {0x3000, 0x33FF}, {0x4E00, 0x9FAF},
        {0xAC00, 0xD7A3}, {0xF900, 0xFA2D}, {0xFE00, 0xFFEF}};
    for (auto [lo, hi] : kRanges)
        if (cp >= lo && cp <= hi) return true;
    return false;
}

struct Codes {
    std::string set;      // registry name
    const char* iconvSet; // iconv's name for the same bytes
    std::vector<std::string> codes;
    std::function<bool(const std::string&)> consulted;
    // What iconv reads for a code, where that differs (HZ, which it lacks).
    std::function<std::string(const std::string&)> iconvCode = [](const std::string& c) {
        return c;
    };
};

std::vector<std::string> Pairs(unsigned lead0, unsigned lead1, const std::vector<unsigned>& trails,
                               const std::string& prefix = "") {
    std::vector<std::string> v;
    for (unsigned l = lead0; l <= lead1; ++l)
        for (unsigned t : trails)
            v.push_back(prefix + std::string{static_cast<char>(l), static_cast<char>(t)});
    return v;
}

std::vector<unsigned> Range(unsigned a, unsigned b) {
    std::vector<unsigned> v;
    for (unsigned x = a; x <= b; ++x)
        v.push_back(x);
    return v;
}

std::vector<unsigned> Join(std::vector<unsigned> a, const std::vector<unsigned>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool In(unsigned b, unsigned lo, unsigned hi) {
    return b >= lo && b <= hi;
}

std::string Hex(const std::string& s) {
    std::string r;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        r += buf;
    }
    return r;
}

// Checks every code; returns how many decoded to a character.
size_t CheckCodes(const Codes& c) {
    size_t mapped = 0;
    for (const std::string& code : c.codes) {
        const std::string ours = RunCodec(c.set, 0, code);
        if (!c.consulted(code)) {
            EXPECT_EQ(ours, "") << c.set << " " << Hex(code) << " is outside the consulted rows";
            continue;
        }
        std::string theirs = IconvToUtf8(c.iconvSet, c.iconvCode(code));
        // The tables hold code points below U+10000: a character beyond
        // them (CNS 11643 plane 3) is dropped.
        if (theirs == "<invalid>" || theirs.size() == 4) theirs = "";
        EXPECT_EQ(ours, theirs) << c.set << " " << Hex(code);
        if (ours.empty()) continue;
        ++mapped;
        const uint32_t cp = OneCodePoint(ours);
        const std::string back = RunCodec(c.set, 1, ours);
        if (Encodable(cp)) {
            // A character found twice in a table encodes to its first code.
            if (back != code) {
                EXPECT_EQ(RunCodec(c.set, 0, back), ours) << c.set << " " << Hex(code);
            }
        } else {
            EXPECT_EQ(back, "") << c.set << " " << Hex(code) << " encodes outside the ranges";
        }
    }
    return mapped;
}

const std::vector<unsigned> kHigh = Range(0xA1, 0xFE);

TEST(MultibyteTables, EucKrMatchesIconvOnKsC5601) {
    Codes c{"EUC-KR", "EUC-KR", Pairs(0xA1, 0xFE, kHigh), [](const std::string& p) {
                const unsigned l = static_cast<unsigned char>(p[0]);
                return In(l, 0xA1, 0xAC) || In(l, 0xB0, 0xC8) || In(l, 0xCA, 0xFD);
            }};
    EXPECT_EQ(CheckCodes(c), 8227u);
}

TEST(MultibyteTables, Gb2312MatchesIconv) {
    Codes c{"GB2312", "GB2312", Pairs(0xA1, 0xFE, kHigh), [](const std::string& p) {
                const unsigned l = static_cast<unsigned char>(p[0]);
                return In(l, 0xA1, 0xA9) || In(l, 0xB0, 0xF7);
            }};
    EXPECT_EQ(CheckCodes(c), 7445u);
}

TEST(MultibyteTables, Big5MatchesIconv) {
    Codes c{"BIG5", "BIG5", Pairs(0xA1, 0xF9, Join(Range(0x40, 0x7E), kHigh)),
            [](const std::string& p) { return static_cast<unsigned char>(p[0]) != 0xC8; }};
    EXPECT_GT(CheckCodes(c), 13000u);
}

TEST(MultibyteTables, EucTwMatchesIconvOnPlanesOneToThree) {
    std::vector<std::string> codes = Pairs(0xA1, 0xFE, kHigh);
    for (const char* plane : {"\x8E\xA1", "\x8E\xA2", "\x8E\xA3"})
        for (auto& p : Pairs(0xA1, 0xFE, kHigh, plane))
            codes.push_back(p);
    Codes c{"EUC-TW", "EUC-TW", codes, [](const std::string& p) {
                if (p.size() == 4 && p[1] != '\xA1') return true;
                const unsigned l = static_cast<unsigned char>(p[p.size() - 2]);
                return In(l, 0xA1, 0xA6) || l == 0xC2 || In(l, 0xC4, 0xFD);
            }};
    EXPECT_GT(CheckCodes(c), 17000u);
}

TEST(MultibyteTables, ShiftJisMatchesIconvOnJisX0208) {
    const auto trails = Join(Range(0x40, 0x7E), Range(0x80, 0xFC));
    std::vector<std::string> codes = Pairs(0x81, 0x9F, trails);
    for (auto& p : Pairs(0xE0, 0xEA, trails))
        codes.push_back(p);
    Codes c{"SHIFT_JIS", "SHIFT_JIS", codes, [](const std::string& p) {
                const unsigned l = static_cast<unsigned char>(p[0]);
                const unsigned t = static_cast<unsigned char>(p[1]);
                const unsigned row = (l < 0xA0 ? l - 0x81 : l - 0xC1) * 2 + 1 + (t >= 0x9F);
                return row <= 8 || In(row, 16, 84);
            }};
    EXPECT_EQ(CheckCodes(c), 6879u);
}

TEST(MultibyteTables, ShiftJisSingleBytesAreJisX0201) {
    std::vector<std::string> codes;
    for (unsigned b = 0; b < 0x80; ++b)
        codes.emplace_back(1, static_cast<char>(b));
    for (unsigned b = 0xA1; b <= 0xDF; ++b)
        codes.emplace_back(1, static_cast<char>(b));
    // iconv too reads 0x5C as the yen sign and 0x7E as the overline.
    Codes c{"SHIFT_JIS", "SHIFT_JIS", codes, [](const std::string&) { return true; }};
    EXPECT_EQ(CheckCodes(c), 0x80u + 63u);
}

// Every pair of the 7-bit rows, each wrapped as the set writes one character.
Codes Stateful(const std::string& set, const char* iconvSet, const std::string& before,
               const std::string& after, std::function<bool(unsigned)> rows) {
    Codes c{set, iconvSet, {}, nullptr};
    for (const std::string& pair : Pairs(0x21, 0x7E, Range(0x21, 0x7E)))
        c.codes.push_back(before + pair + after);
    const size_t at = before.size();
    c.consulted = [rows, at](const std::string& code) {
        return rows(static_cast<unsigned char>(code[at])) && code[at + 1] != 0x7F;
    };
    return c;
}

TEST(MultibyteTables, StatefulFormsReadTheSameTables) {
    auto jisRows = [](unsigned r) { return In(r, 0x21, 0x28) || In(r, 0x30, 0x74); };
    auto kscRows = [](unsigned r) {
        return In(r, 0x21, 0x2C) || In(r, 0x30, 0x48) || In(r, 0x4A, 0x7D);
    };
    auto gbRows = [](unsigned r) { return In(r, 0x21, 0x29) || In(r, 0x30, 0x77); };
    auto cns1Rows = [](unsigned r) { return In(r, 0x21, 0x26) || r == 0x42 || In(r, 0x44, 0x7D); };
    EXPECT_EQ(CheckCodes(Stateful("ISO-2022-JP", "ISO-2022-JP", "\x1B$B", "\x1B(B", jisRows)),
              6879u);
    EXPECT_EQ(CheckCodes(Stateful("ISO-2022-KR", "ISO-2022-KR", "\x1B$)C\x0E", "\x0F", kscRows)),
              8227u);
    EXPECT_EQ(CheckCodes(Stateful("ISO-2022-CN", "ISO-2022-CN", "\x1B$)A\x0E", "\x0F", gbRows)),
              7445u);
    EXPECT_GT(CheckCodes(Stateful("ISO-2022-CN", "ISO-2022-CN", "\x1B$)G\x0E", "\x0F", cns1Rows)),
              5000u);
    EXPECT_GT(CheckCodes(Stateful("ISO-2022-CN", "ISO-2022-CN", "\x1B$*H\x1BN", "",
                                  [](unsigned r) { return In(r, 0x21, 0x72); })),
              7000u);
    // HZ against iconv's GB2312 (iconv has no HZ); no ~} at the end.
    Codes hz = Stateful("HZ", "GB2312", "~{", "", gbRows);
    hz.iconvCode = [](const std::string& code) {
        return std::string{static_cast<char>(code[2] | 0x80), static_cast<char>(code[3] | 0x80)};
    };
    EXPECT_EQ(CheckCodes(hz), 7445u);
}

} // namespace
