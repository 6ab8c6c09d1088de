// Stream library throughput, each codec beside a baseline timed in the same
// iterations; the counters give our rate as a multiple of the baseline's.
//   base64: three-record chain (source, decoder, memory sink) on 76-column
//           CR LF text vs OpenSSL EVP_DecodeBlock on the same data unwrapped
//           (goal >= 0.75)
//   quoted-printable: decoder vs the identity codec through the same chain
//   ISO-8859-1, CP1252, KOI8-R: decode (goal >= 3) and encode (goal >= 2)
//           vs glibc iconv over the same text in one call
#include "chain.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

using namespace benchchain;

std::string RandomBytes(size_t n) {
    std::mt19937 rng(42);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Base64Unwrapped(const std::string& raw) {
    std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(raw.data()),
                            static_cast<int>(raw.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Wrap76(const std::string& b64) {
    std::string out;
    for (size_t i = 0; i < b64.size(); i += 76)
        out += b64.substr(i, 76) + "\r\n";
    return out;
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string raw = RandomBytes(static_cast<size_t>(state.range(0)));
    const std::string flat = Base64Unwrapped(raw);
    const std::string wrapped = Wrap76(flat);
    LWCodec decode = LWStreamFindCodec("BASE64", 0);
    std::vector<unsigned char> out(flat.size());
    if (RunChain(decode, wrapped) != raw.size()) state.SkipWithError("chain output size");
    Compare(
        state, wrapped.size(), "rate_vs_openssl", [&] { return RunChain(decode, wrapped); },
        [&] {
            return EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(flat.data()),
                                   static_cast<int>(flat.size()));
        });
    state.SetLabel("goal: rate_vs_openssl >= 0.75");
}
BENCHMARK(BM_Base64Decode)->Arg(64 << 10)->UseManualTime();

void BM_QuotedPrintableDecode(benchmark::State& state) {
    // Mostly text with an escape every few words and soft line breaks.
    std::string text;
    std::mt19937 rng(5);
    while (text.size() < static_cast<size_t>(state.range(0))) {
        std::string line;
        while (line.size() < 72) {
            line += (rng() % 6 == 0) ? "=E9" : "word ";
        }
        text += line + ((rng() & 1) ? "=\r\n" : "\r\n");
    }
    LWCodec qp = LWStreamFindCodec("quoted-printable", 0);
    LWCodec copy = LWStreamFindCodec("UTF-8", 0);
    std::vector<char> block(text.size());
    Compare(
        state, text.size(), "rate_vs_copy_chain", [&] { return RunChain(qp, text, &block); },
        [&] { return RunChain(copy, text, &block); });
    state.SetLabel("baseline: the same chain with the identity codec");
}
BENCHMARK(BM_QuotedPrintableDecode)->Arg(64 << 10)->UseManualTime();

// Running text in the set: words with the set's own letters in about the
// proportion of real prose (a few accented letters in French-like text; all
// letters Cyrillic in Russian-like text), spaces, punctuation, CR LF lines.
std::string SampleText(const char* set, size_t size) {
    const bool cyrillic = std::strcmp(set, "KOI8-R") == 0;
    const bool windows = std::strcmp(set, "CP1252") == 0;
    return Prose(size, 9, [&](std::mt19937& rng, std::string& out, bool) {
        static const unsigned char kAccents[] = {0xE9, 0xE8, 0xE0, 0xE7, 0xEA, 0xF4, 0xFC, 0xE2};
        for (size_t k = 0, letters = 2 + rng() % 8; k < letters; ++k) {
            unsigned b;
            if (cyrillic) {
                b = (k == 0 && rng() % 8 == 0) ? 0xE0 + rng() % 32 : 0xC0 + rng() % 32;
            } else {
                b = rng() % 16 == 0 ? kAccents[rng() % 8] : 'a' + rng() % 26;
            }
            out += static_cast<char>(b);
        }
        const unsigned r = rng() % 12;
        if (windows && r == 0) {
            out += "\x93\x80\x94"; // quotes around the euro sign
        } else if (r == 1) {
            out += ',';
        } else if (r == 2) {
            out += '.';
        }
    });
}

void Charset(benchmark::State& state, const char* set, bool encode) {
    const std::string native = SampleText(set, static_cast<size_t>(state.range(0)));
    // The same text in UTF-8, made by iconv so that both sides agree on it.
    iconv_t toUtf8 = iconv_open("UTF-8", set);
    iconv_t fromUtf8 = iconv_open(set, "UTF-8");
    if (toUtf8 == reinterpret_cast<iconv_t>(-1) || fromUtf8 == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open");
        return;
    }
    std::vector<char> buf(native.size() * 4 + 16);
    const std::string utf8(buf.data(), Iconv(toUtf8, native, buf));
    const std::string& in = encode ? utf8 : native;
    iconv_t cd = encode ? fromUtf8 : toUtf8;
    LWCodec codec = LWStreamFindCodec(set, encode);
    std::vector<char> block(buf.size());
    if (RunChain(codec, in, &block) != (encode ? native.size() : utf8.size()))
        state.SkipWithError("codec output size differs from iconv");
    Compare(
        state, in.size(), "rate_vs_iconv", [&] { return RunChain(codec, in, &block); },
        [&] { return Iconv(cd, in, buf); });
    state.SetLabel(encode ? "goal: rate_vs_iconv >= 2" : "goal: rate_vs_iconv >= 3");
    iconv_close(toUtf8);
    iconv_close(fromUtf8);
}

void BM_Latin1Decode(benchmark::State& s) {
    Charset(s, "ISO-8859-1", false);
}
void BM_Latin1Encode(benchmark::State& s) {
    Charset(s, "ISO-8859-1", true);
}
void BM_Cp1252Decode(benchmark::State& s) {
    Charset(s, "CP1252", false);
}
void BM_Cp1252Encode(benchmark::State& s) {
    Charset(s, "CP1252", true);
}
void BM_Koi8rDecode(benchmark::State& s) {
    Charset(s, "KOI8-R", false);
}
void BM_Koi8rEncode(benchmark::State& s) {
    Charset(s, "KOI8-R", true);
}
BENCHMARK(BM_Latin1Decode)->Arg(64 << 10)->UseManualTime();
BENCHMARK(BM_Latin1Encode)->Arg(64 << 10)->UseManualTime();
BENCHMARK(BM_Cp1252Decode)->Arg(64 << 10)->UseManualTime();
BENCHMARK(BM_Cp1252Encode)->Arg(64 << 10)->UseManualTime();
BENCHMARK(BM_Koi8rDecode)->Arg(64 << 10)->UseManualTime();
BENCHMARK(BM_Koi8rEncode)->Arg(64 << 10)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
