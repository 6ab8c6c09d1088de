// The East Asian sets against glibc iconv in the same run, on running text
// that mixes ASCII words with runs of double-byte characters (CR LF lines):
//   decode: SHIFT_JIS, EUC-KR, GB2312, BIG5 goal >= 2; ISO-2022-JP >= 1.5
//   encode: the same texts from UTF-8, goal >= 1.5
#include "chain.h"

namespace {

using namespace benchchain;

// The pairs of a block of common characters that the set defines (iconv
// decides), so that the text holds no undefined codes.
std::vector<std::string> DefinedPairs(const char* set, unsigned lead0, unsigned lead1,
                                      const std::vector<unsigned>& trails) {
    iconv_t cd = iconv_open("UTF-8", set);
    std::vector<std::string> v;
    std::vector<char> out(16);
    for (unsigned l = lead0; l <= lead1; ++l) {
        for (unsigned t : trails) {
            const std::string pair{static_cast<char>(l), static_cast<char>(t)};
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            char* ip = const_cast<char*>(pair.data());
            size_t il = 2, ol = out.size();
            char* op = out.data();
            if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0)
                v.push_back(pair);
        }
    }
    iconv_close(cd);
    return v;
}

std::vector<unsigned> Trails(unsigned a, unsigned b) {
    std::vector<unsigned> v;
    for (unsigned t = a; t <= b; ++t)
        v.push_back(t);
    return v;
}

std::vector<std::string> CommonPairs(const std::string& set) {
    if (set == "SHIFT_JIS") {
        auto v = DefinedPairs("SHIFT_JIS", 0x88, 0x98, Trails(0x9F, 0xFC)); // kanji
        auto kana = DefinedPairs("SHIFT_JIS", 0x82, 0x83, Trails(0x9F, 0xF1));
        v.insert(v.end(), kana.begin(), kana.end());
        v.insert(v.end(), kana.begin(), kana.end()); // kana are the commoner
        return v;
    }
    if (set == "EUC-KR") return DefinedPairs("EUC-KR", 0xB0, 0xC8, Trails(0xA1, 0xFE));
    if (set == "GB2312") return DefinedPairs("GB2312", 0xB0, 0xD7, Trails(0xA1, 0xFE));
    auto trails = Trails(0x40, 0x7E);
    for (unsigned t = 0xA1; t <= 0xFE; ++t)
        trails.push_back(t);
    return DefinedPairs("BIG5", 0xA4, 0xC5, trails); // 0xC6A1 on: private use
}

// Running text: runs of two to eight double-byte characters, and every third
// piece an ASCII word with punctuation; lines of about 70 bytes.
std::string NativeText(const std::string& set, size_t size) {
    const std::vector<std::string> pairs = CommonPairs(set);
    std::mt19937 rng(11);
    std::string out;
    size_t column = 0;
    while (out.size() < size) {
        const size_t before = out.size();
        if (rng() % 3 == 0) {
            for (size_t k = 2 + rng() % 7; k > 0; --k)
                out += static_cast<char>('a' + rng() % 26);
            out += rng() % 4 == 0 ? ", " : " ";
        } else {
            for (size_t k = 2 + rng() % 7; k > 0; --k)
                out += pairs[rng() % pairs.size()];
        }
        column += out.size() - before;
        if (column > 70) {
            out += "\r\n";
            column = 0;
        }
    }
    return out;
}

// The whole of `in` in another set, shift back to ASCII at the end included.
std::string Convert(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    std::vector<char> buf(in.size() * 4 + 64);
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size(), ol = buf.size();
    char* op = buf.data();
    iconv(cd, &ip, &il, &op, &ol);
    iconv(cd, nullptr, nullptr, &op, &ol);
    iconv_close(cd);
    return std::string(buf.data(), buf.size() - ol);
}

// `sample` names the set whose common characters make the text.
void Multibyte(benchmark::State& state, const char* set, const char* sample, bool encode,
               const char* goal) {
    const std::string utf8 = Convert("UTF-8", sample, NativeText(sample, 8 << 10));
    const std::string native = Convert(set, "UTF-8", utf8);
    iconv_t cd = encode ? iconv_open(set, "UTF-8") : iconv_open("UTF-8", set);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open");
        return;
    }
    const std::string& in = encode ? utf8 : native;
    LWCodec codec = LWStreamFindCodec(set, encode);
    std::vector<char> buf(in.size() * 4 + 64), block(buf.size());
    if (RunChain(codec, in, &block) != (encode ? native.size() : utf8.size()) ||
        std::memcmp(block.data(), (encode ? native : utf8).data(),
                    encode ? native.size() : utf8.size()) != 0)
        state.SkipWithError("codec output differs from iconv");
    Compare(
        state, in.size(), "rate_vs_iconv", [&] { return RunChain(codec, in, &block); },
        [&] { return Iconv(cd, in, buf); });
    state.SetLabel(goal);
    iconv_close(cd);
}

constexpr const char* kDecodeGoal = "goal: rate_vs_iconv >= 2";
constexpr const char* kEncodeGoal = "goal: rate_vs_iconv >= 1.5";

void BM_SjisDecode(benchmark::State& s) {
    Multibyte(s, "SHIFT_JIS", "SHIFT_JIS", false, kDecodeGoal);
}
void BM_EucKrDecode(benchmark::State& s) {
    Multibyte(s, "EUC-KR", "EUC-KR", false, kDecodeGoal);
}
void BM_Gb2312Decode(benchmark::State& s) {
    Multibyte(s, "GB2312", "GB2312", false, kDecodeGoal);
}
void BM_Big5Decode(benchmark::State& s) {
    Multibyte(s, "BIG5", "BIG5", false, kDecodeGoal);
}
void BM_Iso2022JpDecode(benchmark::State& s) {
    Multibyte(s, "ISO-2022-JP", "SHIFT_JIS", false, "goal: rate_vs_iconv >= 1.5");
}
void BM_SjisEncode(benchmark::State& s) {
    Multibyte(s, "SHIFT_JIS", "SHIFT_JIS", true, kEncodeGoal);
}
void BM_EucKrEncode(benchmark::State& s) {
    Multibyte(s, "EUC-KR", "EUC-KR", true, kEncodeGoal);
}
void BM_Gb2312Encode(benchmark::State& s) {
    Multibyte(s, "GB2312", "GB2312", true, kEncodeGoal);
}
void BM_Big5Encode(benchmark::State& s) {
    Multibyte(s, "BIG5", "BIG5", true, kEncodeGoal);
}
void BM_Iso2022JpEncode(benchmark::State& s) {
    Multibyte(s, "ISO-2022-JP", "SHIFT_JIS", true, kEncodeGoal);
}
BENCHMARK(BM_SjisDecode)->UseManualTime();
BENCHMARK(BM_EucKrDecode)->UseManualTime();
BENCHMARK(BM_Gb2312Decode)->UseManualTime();
BENCHMARK(BM_Big5Decode)->UseManualTime();
BENCHMARK(BM_Iso2022JpDecode)->UseManualTime();
BENCHMARK(BM_SjisEncode)->UseManualTime();
BENCHMARK(BM_EucKrEncode)->UseManualTime();
BENCHMARK(BM_Gb2312Encode)->UseManualTime();
BENCHMARK(BM_Big5Encode)->UseManualTime();
BENCHMARK(BM_Iso2022JpEncode)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
