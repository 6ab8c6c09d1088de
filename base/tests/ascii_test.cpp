#include "ascii.h"
#include "malloc_ptr.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

namespace {

using namespace arbor;

TEST(Ascii, FoldsOnlyLatinLetters) {
    // Every byte: letters map across, the rest (the bytes just outside A-Z and
    // a-z, and all high bytes) stay as they are.
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z';
        EXPECT_EQ(AsciiLower(c), upper ? static_cast<char>(b + 32) : c) << b;
        EXPECT_EQ(AsciiUpper(c), lower ? static_cast<char>(b - 32) : c) << b;
    }
    EXPECT_EQ(Lower("Text/Calendar; CHARSET=\xC4"), "text/calendar; charset=\xC4");
    EXPECT_EQ(Upper("freq=weekly;\xE4"), "FREQ=WEEKLY;\xE4");
}

TEST(Ascii, IgnoresTheLocale) {
    // Under a Turkish or Latin-1 locale tolower would map 'I' or 0xC4 otherwise.
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = old ? old : "C";
    if (std::setlocale(LC_CTYPE, "tr_TR.ISO-8859-9") ||
        std::setlocale(LC_CTYPE, "de_DE.ISO-8859-1")) {
        EXPECT_EQ(Lower("TITLE\xC4"), "title\xC4");
        EXPECT_TRUE(EqualNoCase("QUIT", "quit"));
        EXPECT_FALSE(EqualNoCase("\xC4", "\xE4"));
    }
    std::setlocale(LC_CTYPE, saved.c_str());
    EXPECT_FALSE(EqualNoCase(std::string_view("\xC4"), std::string_view("\xE4")));
}

TEST(Ascii, Compares) {
    EXPECT_TRUE(EqualNoCase(std::string_view("Text/Calendar"), std::string_view("TEXT/calendar")));
    EXPECT_FALSE(EqualNoCase(std::string_view("text"), std::string_view("texts")));
    EXPECT_FALSE(EqualNoCase(std::string_view("@"), std::string_view("`"))); // 0x40 vs 0x60
    EXPECT_FALSE(EqualNoCase(std::string_view("["), std::string_view("{")));
    // Embedded NUL bytes count in views.
    EXPECT_FALSE(EqualNoCase(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));

    EXPECT_TRUE(EqualNoCase("Base64", "BASE64"));
    EXPECT_FALSE(EqualNoCase("base64", "base6"));
    EXPECT_FALSE(EqualNoCase("base6", "base64"));
    EXPECT_FALSE(EqualNoCase(nullptr, "x"));
    EXPECT_FALSE(EqualNoCase("x", nullptr));

    EXPECT_TRUE(EqualNoCaseN("MAILTO:a", "mailto:b", 7));
    EXPECT_FALSE(EqualNoCaseN("MAILTO:a", "mailto:b", 8));
    EXPECT_TRUE(EqualNoCaseN("ab", "AB", 10)); // stops where both end
    EXPECT_FALSE(EqualNoCaseN("ab", "ABC", 10));

    EXPECT_TRUE(StartsWithNoCase("ORB.Base.Tree-Name=x", "orb.base.tree-name="));
    EXPECT_FALSE(StartsWithNoCase("orb", "orb.base"));
    EXPECT_TRUE(StartsWithNoCase("anything", ""));

    std::string s = "Velmora:EMail";
    LowerInPlace(s);
    EXPECT_EQ(s, "velmora:email");
    char c[] = "ou=Sales";
    UpperInPlace(c);
    EXPECT_STREQ(c, "OU=SALES");
}

TEST(Memory, FreesWhatCHandsOver) {
    // Run under ASan: a leak or a mismatched delete fails the build's sanitizer job.
    MallocPtr<char> p(static_cast<char*>(std::malloc(8)));
    ASSERT_NE(p, nullptr);
    std::memcpy(p.get(), "abcdefg", 8);
    EXPECT_STREQ(p.get(), "abcdefg");
    p.reset(strdup("other"));
    EXPECT_STREQ(p.get(), "other");
}

} // namespace
