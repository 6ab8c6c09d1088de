#include "revo_secret.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>

extern "C" int revo_secret_c_probe(void);

namespace {

std::string Scramble(const unsigned char (&secret)[8], char selector, unsigned seed) {
    std::mt19937 rng(seed);
    unsigned char filler[32];
    for (auto& f : filler)
        f = static_cast<unsigned char>(rng());
    char out[REVO_SECRET_TEXT_LEN + 1];
    EXPECT_EQ(1, RevoScrambleSecret(secret, selector, filler, sizeof filler, out));
    return out;
}

TEST(RevoSecret, EverySelectorRoundTripsWithAnyFiller) {
    std::mt19937 rng(7);
    for (char sel : std::string("12345679abcdef")) {
        for (unsigned round = 0; round < 50; ++round) {
            unsigned char secret[8];
            for (auto& b : secret)
                b = static_cast<unsigned char>(rng());
            const std::string text = Scramble(secret, sel, round);
            ASSERT_EQ(32u, text.size());
            EXPECT_EQ(sel, text[0]);
            for (char c : text)
                EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(c));
            unsigned char back[9];
            std::memset(back, 0xEE, sizeof back);
            ASSERT_EQ(1, RevoUnscrambleSecret(text.c_str(), back));
            EXPECT_EQ(0, std::memcmp(secret, back, 8)) << text;
            EXPECT_EQ(0, back[8]);
        }
    }
}

TEST(RevoSecret, BothSelectorsOfAGroupShareAnOrderAndGroupsDiffer) {
    const unsigned char secret[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const char* pairs[] = {"13", "2a", "4f", "57", "6c", "8e", "bd"};
    for (const char* pair : pairs) {
        std::string text = Scramble(secret, pair[0], 3);
        text[0] = pair[1];
        unsigned char back[9];
        ASSERT_EQ(1, RevoUnscrambleSecret(text.c_str(), back));
        EXPECT_EQ(0, std::memcmp(secret, back, 8)) << pair;
    }
    // A text scrambled under one order read under another gives other bytes.
    std::string text = Scramble(secret, '1', 3);
    text[0] = '2';
    unsigned char back[9];
    ASSERT_EQ(1, RevoUnscrambleSecret(text.c_str(), back));
    EXPECT_NE(0, std::memcmp(secret, back, 8));
}

TEST(RevoSecret, SelectorsThatSelectNothing) {
    unsigned char out[9];
    for (const char* text : {"0d0c3a91f7e24b68a1c09e3f72d4b815", "Ad0c3a91f7e24b68a1c09e3f72d4b815",
                             "zd0c3a91f7e24b68a1c09e3f72d4b815", "Bd0c"}) {
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(1, RevoUnscrambleSecret(text, out)) << text;
        for (unsigned char b : out)
            EXPECT_EQ(0, b) << text;
        EXPECT_EQ(0u, RevoSecretLength(out));
    }
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(0, RevoUnscrambleSecret("", out));
    EXPECT_EQ(0, RevoUnscrambleSecret(nullptr, out));
    EXPECT_EQ(0xEE, out[0]) << "an empty text leaves the buffer as it was";
    EXPECT_EQ(0, RevoScrambleSecret(out, '0', nullptr, 0, reinterpret_cast<char*>(out)));
}

TEST(RevoSecret, ShortTextIsNotReadPastItsEnd) {
    // Exactly sized heap copies: the sanitizer build catches any over-read.
    const std::string full = REVO_DEFAULT_SECRET_TEXT;
    unsigned char whole[9];
    ASSERT_EQ(1, RevoUnscrambleSecret(full.c_str(), whole));
    for (size_t len = 1; len < full.size(); ++len) {
        auto copy = std::make_unique<char[]>(len + 1);
        std::memcpy(copy.get(), full.data(), len);
        copy[len] = '\0';
        unsigned char out[9];
        ASSERT_EQ(1, RevoUnscrambleSecret(copy.get(), out));
        EXPECT_EQ(0, out[8]);
    }
}

TEST(RevoSecret, DefaultTextGivesAFullEightByteSecret) {
    unsigned char out[9];
    ASSERT_EQ(1, RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, out));
    // Pinned: stored values and every agent depend on these exact bytes.
    const unsigned char expected[8] = {60, 120, 75, 210, 248, 145, 6, 92};
    EXPECT_EQ(0, std::memcmp(expected, out, 8));
    EXPECT_EQ(8u, RevoSecretLength(out));
    EXPECT_EQ(1, revo_secret_c_probe());
}

TEST(RevoSecret, ZeroByteEndsTheSecret) {
    const unsigned char secret[8] = {9, 8, 0, 7, 6, 5, 4, 3};
    const std::string text = Scramble(secret, 'e', 1);
    unsigned char out[9];
    ASSERT_EQ(1, RevoUnscrambleSecret(text.c_str(), out));
    EXPECT_EQ(2u, RevoSecretLength(out));
}

TEST(RevoSecret, FreshSecretsAreFullLengthAndDiffer) {
    char a[33], b[33];
    unsigned char sa[9], sb[9], back[9];
    ASSERT_EQ(1, RevoNewSecretText(a, sa));
    ASSERT_EQ(1, RevoNewSecretText(b, sb));
    EXPECT_NE(std::string(a), std::string(b));
    ASSERT_EQ(1, RevoUnscrambleSecret(a, back));
    EXPECT_EQ(8u, RevoSecretLength(back));
    EXPECT_EQ(0, std::memcmp(sa, back, 9));
}

TEST(RevoSecret, ChallengeDigest) {
    char out[33];
    // RFC 1321 test vector "abc", split between challenge and secret.
    const unsigned char c = 'c';
    ASSERT_EQ(1, RevoChallengeDigest("ab", 2, &c, 1, out));
    EXPECT_STREQ("900150983cd24fb0d6963f7d28e17f72", out);
    // An empty secret digests the challenge alone.
    char alone[33];
    ASSERT_EQ(1, RevoChallengeDigest("abc", 3, nullptr, 0, alone));
    EXPECT_STREQ(out, alone);
    ASSERT_EQ(1, RevoChallengeDigest("", 0, nullptr, 0, out));
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", out);
}

TEST(RevoSecret, DigestComparison) {
    const char* abc = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_TRUE(RevoDigestEqual(abc, "900150983CD24FB0D6963F7D28E17F72")) << "hex in either case";
    for (const char* other : {"900150983cd24fb0d6963f7d28e17f73", "900150983cd24fb0d6963f7d28e17f7",
                              "900150983cd24fb0d6963f7d28e17f722"})
        EXPECT_FALSE(RevoDigestEqual(abc, other)) << other;
    EXPECT_FALSE(RevoDigestEqual(nullptr, "x"));
}

} // namespace
