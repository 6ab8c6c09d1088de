// Chain behaviour that every codec shares: input delivered whole or in any
// pieces gives the same output, the end of the stream reaches the sink, and
// multi-stage chains pass data through intact.
#include "harness.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using lwtest::Chain;

// Mixed text that touches what the codecs decide on: line ends of every kind,
// escapes, pads, long lines, multibyte characters, and awkward endings.
std::string MixedText() {
    std::string s;
    s += "BEGIN:VCALENDAR\r\nDESCRIPTION:ab\r\n cd\n ef\r gh\r\n\r\n";
    s += "a=3Db =3d =\r\nsoft=\nbreak=\n\nx \r\ntrail  \r\n=4";
    s += "QUJD\r\nREVG\r\nQQ==QUI=\r\n";
    s += std::string(90, 'L') + "\r\n" + std::string(150, 'M') + "\n";
    s += "caf\xC3\xA9 \xE2\x82\xAC \xD0\x96 \xF0\x9F\x98\x80 \xE1\xBA\xB2\r\n";
    for (int i = 0; i < 40; ++i)
        s += "line " + std::to_string(i) + " \t=?\x80\xFF\r\n";
    for (int i = 0; i < 30; ++i)
        s += "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu";
    s += "\r\n";
    return s;
}

std::string RandomBytes(std::mt19937& rng, size_t n, bool textish) {
    std::string s(n, '\0');
    const std::string pool = "AB=\r\n \t+/9aQ\xC3\xA9\xE2\x82\xAC\xD0\x80";
    for (auto& c : s) {
        c = textish ? pool[rng() % pool.size()] : static_cast<char>(rng() & 0xFF);
    }
    return s;
}

// All codec functions of the registry that produce output, once each.
std::vector<std::pair<std::string, int>> AllCodecs() {
    std::vector<std::pair<std::string, int>> v;
    std::set<LWCodec> seen;
    for (const LWStreamEntry* e = LWStreamList; e->Name; ++e) {
        if (std::string(e->Name) == "text/calendar") continue; // a sink; tested on its own
        if (e->Decode && seen.insert(e->Decode).second) v.emplace_back(e->Name, 0);
        if (e->Encode && seen.insert(e->Encode).second) v.emplace_back(e->Name, 1);
    }
    return v;
}

TEST(Split, WholeAndPiecesGiveTheSameOutputForEveryCodec) {
    std::mt19937 rng(20261208);
    std::vector<std::string> inputs = {MixedText(), RandomBytes(rng, 2500, false),
                                       RandomBytes(rng, 2500, true)};
    for (const char* shortText : {"=", "QQ", "\r", "=\r", "a\xC3", "x \r", ""})
        inputs.push_back(shortText);
    // Endings that make codecs wait, placed after a buffer's worth of text.
    for (const char* tail : {"=", "=A", "QUI", "\r", "\r\n", "\xE2\x82", " ", "\n "})
        inputs.push_back(std::string(1500, 'z') + tail);
    auto codecs = AllCodecs();
    ASSERT_GT(codecs.size(), 60u);
    for (auto& [name, enc] : codecs) {
        for (const auto& in : inputs) {
            const std::string whole = lwtest::RunCodec(name, enc, in);
            ASSERT_EQ(whole.find("<stalled>"), std::string::npos) << name;
            for (size_t k : {1, 2, 3, 4, 5, 7, 13, 64, 1021}) {
                ASSERT_EQ(lwtest::RunCodec(name, enc, in, lwtest::Uniform(k, in.size())), whole)
                    << name << (enc ? " encode" : " decode") << ", pieces of " << k << ", input of "
                    << in.size();
            }
            for (int r = 0; r < 6; ++r) {
                auto pieces = lwtest::RandomPieces(rng, in.size(), r < 3 ? 9 : 700);
                ASSERT_EQ(lwtest::RunCodec(name, enc, in, pieces), whole)
                    << name << (enc ? " encode" : " decode") << ", random pieces";
            }
        }
    }
}

TEST(Split, MultiStageChainsAgreeWithStageByStageRuns) {
    std::mt19937 rng(7);
    std::string text = MixedText();
    const std::vector<std::vector<std::pair<std::string, int>>> chains = {
        {{"ISO-8859-1", 1}, {"BASE64", 1}, {"BASE64", 0}, {"ISO-8859-1", 0}},
        {{"CRLF", 1}, {"quoted-printable", 1}, {"quoted-printable", 0}},
        {{"RFC2445", 1}, {"RFC2445", 0}, {"RFC2445ML", 1}},
        {{"KOI8-R", 1}, {"KOI8-R", 0}, {"UTF-8", 0}, {"US-ASCII", 1}},
    };
    for (auto& stages : chains) {
        std::string expect = text;
        for (auto& [name, enc] : stages)
            expect = lwtest::RunCodec(name, enc, expect);
        for (int r = 0; r < 10; ++r) {
            Chain c(stages);
            ASSERT_TRUE(c.Ok());
            auto pieces = lwtest::RandomPieces(rng, text.size(), r < 5 ? 5 : 900);
            EXPECT_EQ(c.Feed(text, pieces), expect) << stages.front().first;
        }
    }
}

TEST(EndOfStream, ReachesTheSinkOnceEvenForEmptyInput) {
    for (auto& [name, enc] : AllCodecs()) {
        Chain c({{name, enc}});
        ASSERT_TRUE(c.Ok());
        EXPECT_EQ(c.Feed(""), "") << name;
        EXPECT_EQ(c.Sink().EOS, 1u) << name;
        EXPECT_EQ(c.Sink().Count, 1) << name << ": one flush expected";
    }
}

TEST(EndOfStream, PropagatesThroughEveryStage) {
    Chain c({{"BASE64", 0}, {"ISO-8859-2", 0}, {"UTF-8", 1}, {"CRLF", 1}});
    ASSERT_TRUE(c.Ok());
    EXPECT_EQ(c.Feed("QUJD\r\n"), "ABC");
    EXPECT_EQ(c.Sink().EOS, 1u);
}

TEST(EndOfStream, NothingArrivesBeforeTheEndWhenOutputIsSmall) {
    // Codecs flush when full and at the end, so a short input reaches the
    // sink in one piece, and only once the stream ends.
    Chain c({{"quoted-printable", 0}});
    ASSERT_TRUE(c.Ok());
    LWStream* h = c.Head();
    lwtest::Put(h, "ab=3D", false);
    EXPECT_EQ(c.Sink().Count, 0);
    EXPECT_EQ(h->Len, 0);
    LWStreamFlush(h, 1);
    EXPECT_EQ(c.Sink().Count, 1);
    EXPECT_EQ(c.Sink().EOS, 1u);
}

TEST(Waiting, AnIncompleteUnitStaysAtTheFrontOfTheBuffer) {
    Chain c({{"BASE64", 0}});
    ASSERT_TRUE(c.Ok());
    LWStream* h = c.Head();
    lwtest::Put(h, "QUJDQU", false);
    ASSERT_EQ(h->Len, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h->Start), 2), "QU");
    lwtest::Put(h, "JD", true);
    EXPECT_EQ(h->Len, 0);
}

TEST(Waiting, LineBreaksInsideAWaitingGroupAreNotLost) {
    // "QU" + CR LF at the end of a piece: the partial group must come back
    // whole with the next piece, line break or not.
    EXPECT_EQ(lwtest::RunCodec("BASE64", 0, "QUJDQU\r\nJD", {8}), "ABCABC");
    EXPECT_EQ(lwtest::RunCodec("BASE64", 0, "QUJDQ\r\nU\r\nJD", {6, 3}), "ABCABC");
}

// A private chain run straight over a piece of someone else's buffer, as a
// codec does for each piece it hands on: the records' own buffers are not used.
TEST(SubChain, RunsOverAPieceInPlace) {
    std::string header = "xx QUJD6Q== yy"; // base64 of "ABC\xE9"
    lwtest::Chain tail({{"ISO-8859-1", 0}});
    ASSERT_TRUE(tail.Ok());
    LWStream* word = LWStreamCreate("BASE64", 0);
    ASSERT_NE(word, nullptr);
    word->Start = reinterpret_cast<unsigned char*>(header.data()) + 3;
    word->Len = 8;
    word->End = word->Start + 8;
    word->EOS = 1;
    word->Next = tail.Head();
    word->Codec(word, word->Next);
    EXPECT_EQ(tail.Sink().EOS, 1u);
    LWStreamFree(word);
    EXPECT_EQ(tail.Output(), "ABC\xC3\xA9");
}

TEST(Waiting, AStalledConsumerEndsTheCallInsteadOfSpinning) {
    for (auto& [name, enc] : AllCodecs()) {
        lwtest::StreamPtr s(LWStreamCreate(name.c_str(), enc));
        ASSERT_NE(s, nullptr);
        lwtest::RefusingSink sink;
        s->Next = &sink;
        const std::string in(LWSTREAM_BUFSIZE, 'A');
        EXPECT_LE(lwtest::CallOnce(s.get(), in, false), in.size()) << name;
        EXPECT_LE(sink.Len, LWSTREAM_BUFSIZE) << name;
    }
}

} // namespace
