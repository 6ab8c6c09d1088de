// Fuzzes every registry codec with random input and random split points:
// the output must not depend on how the input was cut into pieces, base64
// must round-trip, what a multibyte encoder writes must read back as text it
// encodes the same way, and encoded words must read back. The markup filters
// run with link prefixes and their output must hold nothing a page would run.
// Built only with
// -DARBOR_FUZZ=ON (clang, libFuzzer).
#include "../tests/harness.h"
#include "../tests/markup.h"

#include <cstdlib>
#include <set>

namespace {

[[maybe_unused]] const std::vector<std::pair<std::string, int>>& Codecs() {
    static const auto v = [] {
        std::vector<std::pair<std::string, int>> r;
        std::set<LWCodec> seen;
        for (const LWStreamEntry* e = LWStreamList; e->Name; ++e) {
            if (std::string(e->Name) == "text/calendar") continue;
            if (e->Decode && seen.insert(e->Decode).second) r.emplace_back(e->Name, 0);
            if (e->Encode && seen.insert(e->Encode).second) r.emplace_back(e->Name, 1);
        }
        return r;
    }();
    return v;
}

// Encoders whose output holds only characters of the set they write.
bool Multibyte(const std::string& name) {
    static const std::set<std::string> kSets = {"EUC-KR", "ISO-2022-KR", "ISO-2022-CN",
                                                "GB2312", "HZ",          "BIG5",
                                                "EUC-TW", "ISO-2022-JP", "SHIFT_JIS"};
    return kSets.count(name) != 0;
}

// encode(decode(encode(x))) == encode(x). The shift codes ESC, SO and SI
// are left out of x: the encoders copy ASCII as it is, so those would shift
// the reader.
void CheckRoundTrip(const std::string& name, std::string_view input, std::mt19937& rng) {
    std::string text;
    for (char c : input)
        if (c != 0x1B && c != 0x0E && c != 0x0F) text += c;
    const std::string once = lwtest::RunCodec(name, 1, text);
    const std::string read =
        lwtest::RunCodec(name, 0, once, lwtest::RandomPieces(rng, once.size(), 5));
    if (lwtest::RunCodec(name, 1, read) != once) std::abort();
}

// Encoded words: the producer in a set chosen by the input must not depend on
// the cuts; in UTF-8 the scanner must read back exactly what it was given
// (any bytes but '=', which could open a word of the text's own); the Q
// codec must round-trip any bytes.
std::string Produce(const char* cs, std::string_view input, const std::vector<size_t>& pieces) {
    lwtest::Chain c({{"RFC1522", 1}});
    c.Head()->Param = const_cast<char*>(cs);
    return c.Feed(input, pieces);
}

void CheckWords(std::string_view input, uint8_t pick, std::mt19937& rng) {
    static const char* const kSets[] = {"ISO-8859-1", "UTF-8",  "KOI8-R", "ISO-2022-JP",
                                        "SHIFT_JIS",  "EUC-KR", "BIG5",   "CP1252"};
    const char* cs = kSets[pick % std::size(kSets)];
    const std::string words = Produce(cs, input, {});
    if (Produce(cs, input, lwtest::RandomPieces(rng, input.size(), 9)) != words) std::abort();
    if (input.find('=') == std::string_view::npos &&
        lwtest::RunCodec("RFC1522", 0, Produce("UTF-8", input, {})) != input)
        std::abort();
    const std::string q = lwtest::RunCodec("RFC1522Q", 1, input);
    if (lwtest::RunCodec("RFC1522Q", 0, q, lwtest::RandomPieces(rng, q.size(), 7)) != input)
        std::abort();
}

// The markup filters: nothing on the deny list in the output, and the same
// output in pieces unless a word or tag could fill a buffer (where the
// filters stop waiting by design).
void CheckMarkup(const std::string& name, std::string_view input, std::mt19937& rng) {
    const std::string whole = markuptest::Filter(name.c_str(), input);
    if (name == "text/html" && !markuptest::FirstViolation(whole).empty()) std::abort();
    if (name == "text/plain" && !markuptest::PlainViolation(whole).empty()) std::abort();
    if (input.size() < 900 &&
        markuptest::Filter(name.c_str(), input, lwtest::RandomPieces(rng, input.size(), 9)) !=
            whole)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
#ifdef LWFUZZ_MARKUP_ONLY
    static const std::vector<std::pair<std::string, int>> codecs = {
        {"text/html", 0}, {"text/plain", 0}, {"text/wml", 0}};
#else
    const auto& codecs = Codecs();
#endif
    const auto& [name, enc] = codecs[data[0] % codecs.size()];
    std::mt19937 rng(data[1] | (uint32_t{data[2]} << 8));
    std::string_view input(reinterpret_cast<const char*>(data + 3), size - 3);
    if (name.rfind("text/", 0) == 0) {
        CheckMarkup(name, input, rng);
        return 0;
    }

    const std::string whole = lwtest::RunCodec(name, enc, input);
    const size_t maxPiece = (data[2] & 1) ? 8 : 1200;
    const std::string pieces =
        lwtest::RunCodec(name, enc, input, lwtest::RandomPieces(rng, input.size(), maxPiece));
    if (pieces != whole) std::abort();

    if (enc && Multibyte(name)) CheckRoundTrip(name, input, rng);
    if (name.rfind("RFC1522", 0) == 0) CheckWords(input, data[1], rng);
    if (data[0] & 0x80) {
        std::string encoded = lwtest::RunCodec("BASE64", 1, input);
        if (lwtest::RunCodec("BASE64", 0, encoded) != input) std::abort();
    }
    return 0;
}
