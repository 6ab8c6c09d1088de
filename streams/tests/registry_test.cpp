// Registry contents and look-up, record creation, and the flush step.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace {

// Every name the registry carries, in its order: hosts list it and look-ups
// walk it from the top, so the order is part of the interface.
// clang-format off
const std::vector<std::string> kAllNames = {
    "RFC1522", "BASE64", "quoted-printable", "text/html", "text/plain", "text/wml", "7bit", "8bit",
    "RFC1522Q", "RFC1522B", "RFC2445", "RFC2445ML", "text/calendar", "CRLF", "UTF-8", "US-ASCII",
    "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-6",
    "ISO-8859-7", "ISO-8859-8", "ISO-8859-9", "ISO-8859-10", "ISO-8859-13", "ISO-8859-14",
    "ISO-8859-15", "ISO-8859-16", "KOI8-R", "KOI8-U", "KOI8-RU", "EUC-KR", "KS_C_5601-1987",
    "ISO-2022-KR", "ISO-2022-CN", "GB2312", "BIG5", "EUC-TW", "ISO-2022-JP", "SHIFT_JIS", "CP850",
    "CP866", "CP874", "CP1250", "CP1251", "CP1252", "CP1253", "CP1254", "CP1255", "CP1256",
    "CP1257", "CP1258", "CP1133", "VISCII", "TIS-620", "ASCII", "ISO-646-US", "ISO_646.IRV:1991",
    "ISO-IR-6", "ANSI_X3.4-1968", "CP367", "IBM367", "US", "CSASCII", "ISO_8859-1:1987",
    "ISO-IR-100", "CP819", "IBM819", "LATIN1", "L1", "CISOLATIN1", "ISO_8859-2", "ISO_8859-2:1987",
    "ISO-IR-101", "LATIN2", "L2", "CSISOLATIN2", "ISO_8859-3", "ISO_8859-3:1988", "ISO-IR-109",
    "LATIN3", "L3", "CSISOLATIN3", "ISO_8859-4", "ISO_8859-4:1988", "ISO-IR-110", "LATIN4", "L4",
    "CSISOLATIN4", "ISO_8859-5", "ISO_8859-5:1988", "ISO-IR-144", "CYRILLIC", "CSISOLATINCYRILLIC",
    "ISO_8859-6", "ISO_8859-6:1987", "ISO-IR-127", "ECMA-114", "ASMO-708", "ARABIC",
    "CSISOLATINARABIC", "ISO_8859-7", "ISO_8859-7:1987", "ISO-IR-126", "ECMA-118", "ELOT_928",
    "GREEK8", "GREEK", "CSISOLATINGREEK", "ISO_8859-8", "ISO_8859-8:1988", "ISO-IR-138", "HEBREW",
    "CSISOLATINHEBREW", "ISO_8859-9", "ISO_8859-9:1989", "ISO-IR-148", "LATIN5", "L5",
    "CSISOLATIN5", "ISO_8859-10", "ISO_8859-10:1992", "ISO-IR-157", "LATIN6", "L6", "CSISOLATIN6",
    "ISO_8859-13", "ISO-IR-179", "LATIN7", "L7", "ISO_8859-14", "ISO_8859-14:1998", "ISO-IR-199",
    "LATIN8", "L8", "ISO_8859-15", "ISO_8859-15:1998", "ISO-IR-203", "ISO_8859-16",
    "ISO_8859-16:2000", "ISO-IR-226", "CSKOI8R", "EUCKR", "CSEUCKR", "CSISO2022KR", "CSISO2022CN",
    "GB_2312", "GB_2312-80", "CSISO58GB231280", "CHINESE", "HZ", "HZ-GB-2312", "BIG-5", "BIG-FIVE",
    "BIGFIVE", "CN-BIG5", "CSBIG5", "EUCTW", "CSEUCTW", "CSISO2022JP", "SJIS", "SHIFT-JIS",
    "CSSHIFTJIS", "MS_KANJI", "IBM850", "850", "CSPC850MULTILINGUAL", "IBM866", "866", "CSIBM866",
    "WINDOWS-874", "WINDOWS-1250", "MS-EE", "WINDOWS-1251", "MS-CYRL", "WINDOWS-1252", "MS-ANSI",
    "WINDOWS-1253", "MS-GREEK", "WINDOWS-1254", "MS-TURK", "WINDOWS-1255", "MS-HEBR",
    "WINDOWS-1256", "MS-ARAB", "WINDOWS-1257", "WINBALTRIM", "WINDOWS-1258", "WINDOWS-1133",
    "VISCII1", "CSVISCII", "TIS620", "TIS620-0", "TIS620.2529-1", "TIS620.2533-0", "TIS620.2533-1",
    "ISO-IR-166", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
    "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25", "26", "27", "28", "29", "30",
    "31", "32", "33", "34",
};
// clang-format on

std::string Upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

size_t RowCount() {
    size_t n = 0;
    while (LWStreamList[n].Name != nullptr)
        ++n;
    return n;
}

TEST(Registry, RowsAreAllTheNamesInOrder) {
    std::vector<std::string> actual;
    for (size_t i = 0; i < RowCount(); ++i)
        actual.push_back(LWStreamList[i].Name);
    EXPECT_EQ(actual, kAllNames);
    EXPECT_EQ(kAllNames.size(), 234u);
}

TEST(Registry, NamesAreUniqueIgnoringCaseAndRowsAreWellFormed) {
    std::set<std::string> seen;
    for (size_t i = 0; i < RowCount(); ++i) {
        const LWStreamEntry& e = LWStreamList[i];
        EXPECT_TRUE(seen.insert(Upper(e.Name)).second) << e.Name;
        EXPECT_EQ(e.Reserved, 0u) << e.Name;
    }
    const LWStreamEntry& last = LWStreamList[RowCount()];
    EXPECT_EQ(last.Decode, nullptr);
    EXPECT_EQ(last.Encode, nullptr);
}

TEST(Registry, PrimaryMarksExactlyTheCanonicalCharsetNames) {
    std::set<std::string> primaries;
    for (size_t i = 0; i < RowCount(); ++i)
        if (LWStreamList[i].Primary) primaries.insert(LWStreamList[i].Name);
    std::set<std::string> expected;
    // Canonical names follow the 14 named rows, 43 of them.
    for (size_t i = 14; i < 14 + 43; ++i)
        expected.insert(kAllNames[i]);
    EXPECT_EQ(primaries, expected);
    EXPECT_EQ(primaries.count("ISO-8859-1"), 1u);
    EXPECT_EQ(primaries.count("LATIN1"), 0u);
}

// Every name of one character set must lead to the same pair of codecs.
TEST(Registry, AliasesAndNumbersShareTheirSetsCodecs) {
    const std::vector<std::vector<const char*>> groups = {
        {"UTF-8", "1", "22", "23", "24", "26", "27"},
        {"US-ASCII", "ASCII", "ANSI_X3.4-1968", "CSASCII", "0"},
        {"ISO-8859-1", "LATIN1", "L1", "CP819", "CISOLATIN1", "2"},
        {"ISO-8859-10", "LATIN6", "ISO_8859-10:1992", "11"},
        {"ISO-8859-13", "LATIN7", "12"},
        {"ISO-8859-15", "ISO-IR-203", "13"},
        {"KOI8-R", "CSKOI8R", "14"},
        {"KOI8-U", "15"},
        {"KOI8-RU", "16"},
        {"TIS-620", "TIS620.2533-1", "ISO-IR-166", "17"},
        {"VISCII", "VISCII1", "CSVISCII", "18"},
        {"CP850", "IBM850", "850", "CSPC850MULTILINGUAL"},
        {"CP866", "866", "CSIBM866"},
        {"CP1252", "WINDOWS-1252", "MS-ANSI"},
        {"CP1133", "WINDOWS-1133"},
    };
    std::string why;
    EXPECT_TRUE(lwtest::NamesShareTheirSetsCodecs(groups, why)) << why;
}

TEST(FindCodec, MatchesWholeNamesIgnoringCase) {
    EXPECT_NE(LWStreamFindCodec("base64", 0), nullptr);
    EXPECT_NE(LWStreamFindCodec("base64", 0), LWStreamFindCodec("base64", 1));
    EXPECT_EQ(LWStreamFindCodec("bAsE64", 1), LWStreamFindCodec("BASE64", 1));
    EXPECT_EQ(LWStreamFindCodec("Quoted-Printable", 0), LWStreamFindCodec("quoted-printable", 0));
    EXPECT_EQ(LWStreamFindCodec("latin1", 0), LWStreamFindCodec("ISO-8859-1", 0));
    // Prefixes and extensions of a name do not match it.
    EXPECT_EQ(LWStreamFindCodec("BASE6", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("BASE644", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("ISO-8859-1 ", 0), nullptr);
}

TEST(FindCodec, EmptyDirectionsAndUnknownNamesGiveNull) {
    EXPECT_EQ(LWStreamFindCodec("7bit", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("8bit", 1), nullptr);
    EXPECT_EQ(LWStreamFindCodec("RFC2445ML", 0), nullptr);
    EXPECT_NE(LWStreamFindCodec("RFC2445ML", 1), nullptr);
    EXPECT_EQ(LWStreamFindCodec("CRLF", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("text/calendar", 1), nullptr);
    EXPECT_NE(LWStreamFindCodec("text/calendar", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("x-unknown", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec("", 0), nullptr);
    EXPECT_EQ(LWStreamFindCodec(nullptr, 0), nullptr);
}

TEST(Create, GivesAZeroedRecordWithItsOwnBuffer) {
    LWStream* s = LWStreamCreate("latin1", 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Codec, LWStreamFindCodec("ISO-8859-1", 0));
    ASSERT_NE(s->Start, nullptr);
    EXPECT_EQ(s->End - s->Start, LWSTREAM_BUFSIZE);
    EXPECT_EQ(s->Len, 0);
    EXPECT_EQ(s->State, 0u);
    EXPECT_EQ(s->EOS, 0u);
    EXPECT_EQ(s->Param, nullptr);
    EXPECT_EQ(s->URL, nullptr);
    EXPECT_EQ(s->Data, nullptr);
    EXPECT_EQ(s->LinkAttr, nullptr);
    EXPECT_EQ(s->Count, 0);
    EXPECT_EQ(s->Client, 0u);
    EXPECT_EQ(s->Next, nullptr);
    // The whole buffer is usable.
    std::memset(s->Start, 0xAB, LWSTREAM_BUFSIZE);
    EXPECT_EQ(LWStreamFree(s), 1);

    EXPECT_EQ(LWStreamCreate("8bit", 0), nullptr);
    EXPECT_EQ(LWStreamCreate("CRLF", 0), nullptr);
    EXPECT_EQ(LWStreamCreate("no-such-codec", 1), nullptr);
    EXPECT_EQ(LWStreamFree(nullptr), 0);
}

// A consumer that takes at most `State` bytes per call, to exercise the flush
// step's handling of leftovers.
uint32_t TakeSome(LWStream* in, LWStream*) {
    auto* s = static_cast<std::string*>(in->Data);
    uint32_t n = std::min<uint32_t>(in->State, static_cast<uint32_t>(in->Len));
    s->append(reinterpret_cast<const char*>(in->Start), n);
    return n;
}

TEST(Flush, KeepsUnconsumedBytesAtTheFront) {
    unsigned char buf[LWSTREAM_BUFSIZE];
    std::string got;
    LWStream s{};
    s.Start = buf;
    s.End = buf + sizeof buf;
    s.Codec = TakeSome;
    s.Data = &got;
    s.State = 3;
    EXPECT_EQ(lwtest::Put(&s, "abcdefgh", false), 3u);
    EXPECT_EQ(s.Len, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "defgh");
    EXPECT_EQ(s.EOS, 0u);
    s.State = 100;
    EXPECT_EQ(LWStreamFlush(&s, 1), 5u);
    EXPECT_EQ(s.Len, 0);
    EXPECT_EQ(s.EOS, 1u);
    EXPECT_EQ(got, "abcdefgh");
}

// A careless consumer that claims more than it was given must not make the
// flush step move bytes from outside the buffer's valid range.
uint32_t ClaimsTooMuch(LWStream*, LWStream*) {
    return 5000;
}

TEST(Flush, ClampsAConsumerThatOverclaims) {
    unsigned char buf[16] = "0123456789";
    LWStream s{};
    s.Start = buf;
    s.End = buf + sizeof buf;
    s.Len = 10;
    s.Codec = ClaimsTooMuch;
    EXPECT_EQ(LWStreamFlush(&s, 0), 10u);
    EXPECT_EQ(s.Len, 0);
}

} // namespace
