// Text conversion and value lists: the parts that need no directory.
#include "internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" int kdx_header_c_sizes(void);

namespace {

std::u16string ToU16(const char* s, size_t cap = 64) {
    std::vector<uint16_t> out(cap);
    int n = kdx::ToUtf16(s, out.data(), out.size());
    if (n < 0) return u"<error>";
    return std::u16string(out.begin(), out.begin() + n);
}

TEST(Utf, EncodesOneTwoAndThreeByteForms) {
    const uint16_t in[] = {0x41, 0xE9, 0x20AC, 0};
    char out[16];
    EXPECT_EQ(UTF8Encode(in, out), 6);
    EXPECT_STREQ(out, "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(UnicodeLen("\xE2\x82\xAC"), 3);
    EXPECT_EQ(UniStrlen(in), 3);

    // Boundaries of each form survive the round trip.
    for (uint16_t u : {0x01, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}) {
        char b[4] = {};
        int k = UTF8EncodeChar(u, b);
        uint16_t back = 0;
        EXPECT_EQ(UTF8DecodeChar(b, &back), k) << u;
        EXPECT_EQ(back, u);
    }
    uint16_t dec[8];
    EXPECT_EQ(UTF8Decode("A\xC3\xA9\xE2\x82\xAC", dec), 3);
    EXPECT_EQ(dec[2], 0x20AC);
    EXPECT_EQ(dec[3], 0);
}

TEST(Utf, DecodingNeverReadsPastTheTerminator) {
    // A three-byte lead at the end of a text: the bytes after the zero are
    // not part of it (here they would form a valid sequence).
    const char text[] = {'\xE2', '\0', '\x82', '\xAC', '\0'};
    uint16_t u = 0;
    EXPECT_EQ(UTF8DecodeChar(text, &u), 1);
    EXPECT_EQ(u, 0xFFFD);
    const char two[] = {'\xE2', '\x82', '\0', '\xAC', '\0'};
    EXPECT_EQ(UTF8DecodeChar(two, &u), 1);
    uint16_t out[8];
    EXPECT_EQ(UTF8Decode("a\xC3", out), 2);
    EXPECT_EQ(out[1], 0xFFFD);
    EXPECT_EQ(out[2], 0);
}

TEST(Utf, StrictConversionRefusesMalformedInput) {
    EXPECT_EQ(ToU16("Caf\xC3\xA9"), u"Caf\u00e9");
    uint16_t buf[16];
    for (const char* bad : {"\xC3", "\xE2\x82", "\x80x", "\xC0\x80", "\xE0\x80\x80",
                            "\xF0\x9F\x98\x80", "a\xFFz", "\xC3(x"})
        EXPECT_EQ(kdx::ToUtf16(bad, buf, 16), KDX_ERR_NO_CHARACTER_MAPPING) << bad;
}

TEST(Utf, BoundedConversionsRefuseWhatDoesNotFit) {
    uint16_t u[4];
    EXPECT_EQ(kdx::ToUtf16("abc", u, 4), 3);
    EXPECT_EQ(kdx::ToUtf16("abcd", u, 4), KDX_ERR_INSUFFICIENT_BUFFER);
    const uint16_t euro[] = {0x20AC, 0x20AC, 0};
    char out[7];
    EXPECT_EQ(kdx::ToUtf8(euro, 8, out, 7), 6);
    EXPECT_EQ(kdx::ToUtf8(euro, 8, out, 6), KDX_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(kdx::ToUtf8(euro, 1, out, 7), 3); // stops at the unit count too
}

class ValueList : public ::testing::Test {
  protected:
    void TearDown() override {
        KDXFreeValues(&vs_);
        // Release the first block that KDXFreeValues keeps.
        std::free(static_cast<void*>(vs_.Value));
    }
    KDXValueStruct vs_{};
};

TEST_F(ValueList, GrowsByTwentyAndReleasesOnlyLargeArrays) {
    EXPECT_EQ(KDXAddValue("", &vs_), 0);
    EXPECT_EQ(KDXAddValue(nullptr, &vs_), 0);
    EXPECT_EQ(vs_.Allocated, 0u);
    EXPECT_EQ(vs_.Value, nullptr);

    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(KDXAddValue(std::to_string(i).c_str(), &vs_), 1);
    EXPECT_EQ(vs_.Used, 20u);
    EXPECT_EQ(vs_.Allocated, 20u);
    ASSERT_EQ(KDXAddValue("20", &vs_), 1);
    EXPECT_EQ(vs_.Allocated, 40u);
    for (uint32_t i = 0; i < vs_.Used; ++i)
        EXPECT_EQ(std::string(vs_.Value[i]), std::to_string(i));

    EXPECT_EQ(KDXFreeValues(&vs_), 1);
    EXPECT_EQ(vs_.Used, 0u);
    EXPECT_EQ(vs_.Allocated, 0u);
    EXPECT_EQ(vs_.Value, nullptr);

    // Up to 20 values keep their block for reuse.
    ASSERT_EQ(KDXAddValue("a", &vs_), 1);
    char** block = vs_.Value;
    EXPECT_EQ(KDXFreeValues(&vs_), 1);
    EXPECT_EQ(vs_.Allocated, 20u);
    EXPECT_EQ(vs_.Value, block);
    ASSERT_EQ(KDXAddValue("b", &vs_), 1);
    EXPECT_EQ(vs_.Value, block);
    EXPECT_STREQ(vs_.Value[0], "b");
}

TEST_F(ValueList, ValuesAreCopiesAndFreeValueClosesTheGap) {
    char text[] = "first";
    KDXAddValue(text, &vs_);
    text[0] = 'X';
    EXPECT_STREQ(vs_.Value[0], "first");
    KDXAddValue("second", &vs_);
    KDXAddValue("third", &vs_);
    EXPECT_EQ(KDXFreeValue(3, &vs_), 0);
    EXPECT_EQ(KDXFreeValue(0, &vs_), 1);
    ASSERT_EQ(vs_.Used, 2u);
    EXPECT_STREQ(vs_.Value[0], "second");
    EXPECT_STREQ(vs_.Value[1], "third");
    EXPECT_EQ(KDXFreeValue(1, &vs_), 1);
    EXPECT_EQ(vs_.Used, 1u);
    EXPECT_STREQ(vs_.Value[0], "second");
}

TEST_F(ValueList, DumpPutsTwoValuesOnALine) {
    KDXAddValue("a", &vs_);
    KDXAddValue("b", &vs_);
    KDXAddValue("c", &vs_);
    testing::internal::CaptureStdout();
    EXPECT_EQ(KDXDumpValueStruct(0, &vs_), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string pad(24, ' ');
    EXPECT_EQ(out, "ValueStruct: Used:3, Allocated:20\n"
                   " Has context:No, allocated internally:No\n"
                   "Value[00] a" +
                       pad + " | Value[01] b" + pad +
                       "\n"
                       "Value[02] c" +
                       pad + " | \r\n");

    KDXValueStruct empty{};
    testing::internal::CaptureStdout();
    KDXDumpValueStruct(1, &empty);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "No data in structure\nValueStruct: Used:0, Allocated:0\n"
              " Has context:No, allocated internally:No\n\r\n");
}

TEST_F(ValueList, StructuresWithoutContextAreRefused) {
    KDXAddValue("kept", &vs_);
    EXPECT_EQ(KDXDestroyValueStruct(&vs_), 0);
    EXPECT_EQ(vs_.Used, 1u); // touched nothing
    EXPECT_EQ(KDXSetValueStructContext("x", &vs_), 0);
    EXPECT_EQ(KDXRead("o", "a", &vs_), 0);
    EXPECT_EQ(KDXWrite("o", "a", &vs_), 0);
    EXPECT_EQ(KDXAdd("o", "a", "v", &vs_), 0);
    EXPECT_EQ(KDXClear("o", "a", &vs_), 0);
    EXPECT_EQ(KDXEnumerateObjects("o", nullptr, nullptr, &vs_), 0);
    EXPECT_EQ(KDXGetObjectDetails("o", nullptr, nullptr, nullptr, &vs_), 0);
    EXPECT_EQ(KDXShareContext(nullptr, &vs_), nullptr);
    EXPECT_EQ(vs_.Used, 1u);
}

TEST(Library, FixedAnswersAndCHeader) {
    EXPECT_EQ(KDXGetAPIVersion(), 1);
    EXPECT_EQ(reinterpret_cast<const char*>(ArborRoot)[0], '\\');
    EXPECT_EQ(reinterpret_cast<const char*>(ArborRoot)[1], '\0');
    EXPECT_EQ(ArborRoot[0], u'\\');
    EXPECT_EQ(kdx_header_c_sizes(), 16);
    // Before any start-up there is no login to copy.
    uint32_t ctx;
    unsigned char* buf;
    EXPECT_NE(GetCachedContext(&ctx, &buf), 0);
    EXPECT_EQ(KDXInitValueStruct(nullptr, nullptr), nullptr);
    EXPECT_EQ(KDXIsObject("x", nullptr), 0);
}

} // namespace
