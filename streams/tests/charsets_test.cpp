// Character sets: round trips of every defined byte, agreement with the C
// library's iconv, and the per-set rules for undefined and unmappable
// characters.
#include "harness.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace {

using lwtest::Chain;
using lwtest::RunCodec;

struct Set {
    std::string name;       // ours and the C library's iconv alike
    bool replacesUndefined; // undefined bytes decode to U+FFFD rather than nothing
    bool questionMark;      // unmappable characters encode to '?' rather than nothing
    bool complete;          // every byte is defined
};

// The sets, grouped by their rules.
std::vector<Set> Sets() {
    struct Group {
        const char* names; // separated by spaces
        bool replacesUndefined, questionMark, complete;
    };
    const Group groups[] = {
        {"ISO-8859-1 ISO-8859-2 ISO-8859-4 ISO-8859-5 ISO-8859-9 ISO-8859-10 ISO-8859-13 "
         "ISO-8859-14 ISO-8859-15 ISO-8859-16 KOI8-R KOI8-U KOI8-RU",
         false, true, true},
        {"ISO-8859-3 ISO-8859-6 ISO-8859-7 ISO-8859-8", false, true, false},
        {"CP850 CP866 VISCII", false, false, true},
        {"CP874 CP1250 CP1251 CP1252 CP1253 CP1254 CP1255 CP1256 CP1257 CP1258 CP1133", true, false,
         false},
        {"TIS-620", false, false, false},
    };
    std::vector<Set> sets;
    for (const Group& g : groups) {
        std::istringstream names(g.names);
        for (std::string n; names >> n;)
            sets.push_back({n, g.replacesUndefined, g.questionMark, g.complete});
    }
    return sets;
}
const std::vector<Set> kSets = Sets();

const std::string kFFFD = "\xEF\xBF\xBD";

// Where the sets deliberately differ from the C library's tables.
const std::map<std::string, std::set<int>> kDiffers = {
    {"ISO-8859-7", {0xA4, 0xA5, 0xAA}},                                  // 1987 edition
    {"KOI8-RU", {0x93, 0x96, 0x97, 0x98, 0x99, 0x9B, 0x9C, 0x9D, 0x9F}}, // KOI8-U based
    {"TIS-620", {0xDB}},
    {"CP1133", {0xDF}}, // iconv's one-way mapping to 'k' has no inverse
};

// The bytes of a set that stand for characters (VISCII also has six letters
// among the controls).
std::vector<int> Positions(const Set& s) {
    std::vector<int> v;
    if (s.name == "VISCII")
        for (int b : {0x02, 0x05, 0x06, 0x14, 0x19, 0x1E})
            v.push_back(b);
    for (int b = 0x80; b < 0x100; ++b)
        v.push_back(b);
    return v;
}

bool Undefined(const Set& s, const std::string& decoded) {
    return decoded.empty() || (s.replacesUndefined && decoded == kFFFD);
}

// One byte through iconv to UTF-8; empty when iconv has no character for it.
std::string IconvDecode(const char* set, unsigned char byte) {
    const std::string r = lwtest::IconvToUtf8(set, std::string(1, static_cast<char>(byte)));
    return r == "<invalid>" ? "" : r;
}

TEST(SingleByte, EveryDefinedByteRoundTrips) {
    for (const Set& s : kSets) {
        int defined = 0;
        for (int b : Positions(s)) {
            std::string byte(1, static_cast<char>(b));
            std::string utf8 = RunCodec(s.name, 0, byte);
            if (Undefined(s, utf8)) {
                EXPECT_FALSE(s.complete) << s.name << " byte " << b;
                continue;
            }
            ++defined;
            EXPECT_EQ(RunCodec(s.name, 1, utf8), byte) << s.name << " byte " << b;
        }
        EXPECT_GT(defined, 40) << s.name;
    }
}

TEST(SingleByte, AgreesWithIconvExceptWhereTheSetsDiffer) {
    for (const Set& s : kSets) {
        auto exceptions = kDiffers.count(s.name) ? kDiffers.at(s.name) : std::set<int>{};
        int checked = 0;
        for (int b : Positions(s)) {
            if (exceptions.count(b)) continue;
            std::string ours = RunCodec(s.name, 0, std::string(1, static_cast<char>(b)));
            std::string theirs = IconvDecode(s.name.c_str(), static_cast<unsigned char>(b));
            ASSERT_NE(theirs, "<no iconv>") << s.name;
            if (Undefined(s, ours)) {
                EXPECT_EQ(theirs, "") << s.name << " byte " << b;
            } else {
                EXPECT_EQ(ours, theirs) << s.name << " byte " << b;
                ++checked;
            }
        }
        EXPECT_GT(checked, 40) << s.name;
        // The deliberate differences are real differences.
        for (int b : exceptions) {
            EXPECT_NE(RunCodec(s.name, 0, std::string(1, static_cast<char>(b))),
                      IconvDecode(s.name.c_str(), static_cast<unsigned char>(b)))
                << s.name << " byte " << b;
        }
    }
}

TEST(SingleByte, UndefinedBytesFollowEachSetsRule) {
    EXPECT_EQ(RunCodec("ISO-8859-3", 0, "a\xA5z"), "az");
    EXPECT_EQ(RunCodec("ISO-8859-7", 0, "\xA4"), "");
    EXPECT_EQ(RunCodec("CP1252", 0, "\x81"), kFFFD);
    EXPECT_EQ(RunCodec("CP874", 0, "\xFF"), kFFFD);
    for (int b = 0x80; b <= 0xA0; ++b)
        EXPECT_EQ(RunCodec("TIS-620", 0, std::string(1, static_cast<char>(b))), "") << b;
    EXPECT_EQ(RunCodec("TIS-620", 0, "\xDB"), "\xE0\xB8\xBB"); // U+0E3B
    EXPECT_EQ(RunCodec("TIS-620", 0, "\xA1\xFB"), "\xE0\xB8\x81\xE0\xB9\x9B");
}

TEST(SingleByte, UnmappableCharactersFollowEachSetsRule) {
    const std::string euro = "\xE2\x82\xAC", zhe = "\xD0\x96";
    EXPECT_EQ(RunCodec("ISO-8859-1", 1, "a" + euro + "b"), "a?b");
    EXPECT_EQ(RunCodec("KOI8-R", 1, euro), "?");
    EXPECT_EQ(RunCodec("CP1252", 1, "a" + zhe + "b"), "ab");
    EXPECT_EQ(RunCodec("VISCII", 1, zhe), "");
    EXPECT_EQ(RunCodec("TIS-620", 1, euro), "");
    // A character beyond the sixteen-bit range is one unmappable character.
    EXPECT_EQ(RunCodec("ISO-8859-1", 1, "\xF0\x9F\x98\x80"), "?");
    // Every set by its rule: an ideograph none of them has.
    for (const Set& s : kSets)
        EXPECT_EQ(RunCodec(s.name, 1, "a\xE4\xB8\x80"), s.questionMark ? "a?" : "a") << s.name;
}

// Each case at the start, in the middle of a long text (where the encoder
// reads eight bytes at a time) and fed byte by byte.
void ExpectEncodes(const char* set, const std::string& in, const std::string& out) {
    EXPECT_EQ(RunCodec(set, 1, in), out) << set;
    const std::string pad(21, 'x');
    std::string longIn, longOut;
    for (int i = 0; i < 60; ++i) {
        longIn += pad + in;
        longOut += pad + out;
    }
    EXPECT_EQ(RunCodec(set, 1, longIn), longOut) << set;
    EXPECT_EQ(RunCodec(set, 1, longIn, lwtest::Uniform(1, longIn.size())), longOut) << set;
}

TEST(SingleByte, MalformedUtf8IsUnmappable) {
    // Overlong forms of "<", "/" and "e" never become ASCII.
    ExpectEncodes("ISO-8859-1", "\xC0\xBCscript\xC0\xBE", "?script?");
    ExpectEncodes("ISO-8859-1", "\xC1\xAF\xE0\x80\xAF\xF0\x80\x80\xAF", "???");
    ExpectEncodes("ISO-8859-1", "\xC0\xBC\xC0\xBC", "??");
    ExpectEncodes("CP1252", "<\xC0\xBC\xE0\x81\xA5>", "<>");
    // An overlong form of a character the set has is still malformed.
    ExpectEncodes("ISO-8859-1", "\xE0\x83\xA9", "?");
    // Surrogates (CESU pairs too) and code points above U+10FFFF.
    ExpectEncodes("ISO-8859-1", std::string("a\xED\xA0\xBD\xED\xB8\x80") + "b", "a??b");
    ExpectEncodes("ISO-8859-1", "\xF4\x90\x80\x80|\xF7\xBF\xBF\xBF|\xF8\x88", "?|?|??");
    // Stray continuation bytes, and a sequence cut short by the next character.
    const std::string cut = std::string("\xC3") + "A\xE2\x82" + "B";
    ExpectEncodes("ISO-8859-1", std::string("\x80\xBF") + "A", "??A");
    ExpectEncodes("ISO-8859-1", cut, "?A?B");
    ExpectEncodes("CP1252", cut, "AB");
    // The largest valid characters of each length still map.
    ExpectEncodes("ISO-8859-1", "\xC3\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF", "\xFF??");
}

TEST(SingleByte, AFourByteCharacterIsOneCharacter) {
    const std::string grin = "\xF0\x9F\x98\x80";
    ExpectEncodes("ISO-8859-1", grin + "A b", "?A b");
    ExpectEncodes("ISO-8859-1", grin + grin + "\xC3\xA9", "??\xE9");
    ExpectEncodes("KOI8-R", grin + "\xD0\x96", "?\xF6");
    ExpectEncodes("CP1252", "a" + grin + "b", "ab");
    // Waiting for the rest: a four-byte character split anywhere.
    for (size_t cut = 1; cut < 4; ++cut)
        EXPECT_EQ(RunCodec("ISO-8859-1", 1, "x" + grin + "y", {1 + cut}), "x?y") << cut;
    EXPECT_EQ(RunCodec("ISO-8859-1", 1, "x\xF0\x9F\x98"), "x?");
}

TEST(SingleByte, KnownCharacters) {
    EXPECT_EQ(RunCodec("ISO-8859-1", 0, "\xE9"), "\xC3\xA9");
    EXPECT_EQ(RunCodec("ISO-8859-1", 1, "\xC3\xA9"), "\xE9");
    EXPECT_EQ(RunCodec("ISO-8859-15", 0, "\xA4"), "\xE2\x82\xAC");
    EXPECT_EQ(RunCodec("CP1252", 0, "\x80\xE9"), "\xE2\x82\xAC\xC3\xA9");
    EXPECT_EQ(RunCodec("CP866", 0, "\x80"), "\xD0\x90");
    EXPECT_EQ(RunCodec("KOI8-RU", 0, "\xAE\xBE"), "\xD1\x9E\xD0\x8E");
    EXPECT_EQ(RunCodec("KOI8-U", 0, "\xAE"), "\xE2\x95\x9D");
    EXPECT_EQ(RunCodec("VISCII", 0, "\x02"), "\xE1\xBA\xB2");
    EXPECT_EQ(RunCodec("VISCII", 1, "\xE1\xBA\xB2"), "\x02");
    EXPECT_EQ(RunCodec("VISCII", 0, "\x01\x03\n"), "\x01\x03\n");
}

TEST(SingleByte, C1ControlsPassInIsoSetsAndCp1133) {
    for (const char* name : {"ISO-8859-2", "ISO-8859-5", "ISO-8859-16", "CP1133"}) {
        EXPECT_EQ(RunCodec(name, 0, "\x85"), "\xC2\x85") << name;
        EXPECT_EQ(RunCodec(name, 1, "\xC2\x9F"), "\x9F") << name;
    }
}

TEST(SingleByte, EncodingWaitsForTheRestOfASequence) {
    Chain c({{"ISO-8859-1", 1}});
    ASSERT_TRUE(c.Ok());
    LWStream* h = c.Head();
    lwtest::Put(h, "ab\xC3", false);
    ASSERT_EQ(h->Len, 1);
    EXPECT_EQ(h->Start[0], 0xC3);
    lwtest::Put(h, "\xA9", true);
    EXPECT_EQ(c.Sink().Count, 1);
    // A sequence the stream cuts off is one unmappable character.
    EXPECT_EQ(RunCodec("ISO-8859-1", 1, "ab\xE2\x82"), "ab?");
    EXPECT_EQ(RunCodec("CP1252", 1, "ab\xC3"), "ab");
}

TEST(Ascii, ReplacesEveryNonAsciiByte) {
    EXPECT_EQ(RunCodec("US-ASCII", 1, "caf\xC3\xA9"), "caf??");
    EXPECT_EQ(RunCodec("US-ASCII", 0, "\x80x\xFF"), "?x?");
    EXPECT_EQ(LWStreamFindCodec("ASCII", 0), LWStreamFindCodec("ASCII", 1));
}

TEST(Utf8, PassesEverythingUnchanged) {
    std::string all;
    for (int i = 0; i < 5000; ++i)
        all += static_cast<char>(i * 7 & 0xFF);
    EXPECT_TRUE(RunCodec("UTF-8", 0, all) == all);
    EXPECT_TRUE(RunCodec("UTF-8", 1, all, {3, 1000, 1}) == all);
}

} // namespace
