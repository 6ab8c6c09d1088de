// Encoded-word decoding of header lines, against GMime's header decoder in
// the same run: each of 10,000 Subject, From and To lines (words in many
// sets, Q and B, adjacent and folded words, plain lines) is decoded on its
// own, through a chain with the RFC1522 scanner on our side and by
// g_mime_utils_header_decode_text on the other. Goal: rate_vs_gmime >= 2.
#include "chain.h"

#include <gmime/gmime.h>

namespace {

using namespace benchchain;

const char* const kLines[] = {
    "Subject: =?iso-8859-1?B?Q2Fm6SBhdSBsYWl0?=",
    "Subject: Re: =?ISO-8859-1?Q?Gr=FC=DFe_aus_M=FCnchen?=",
    "Subject: Re: =?ISO-8859-2?Q?P=F8=EDli=B9_=BElu=BBou=E8k=FD_k=F9=F2?=",
    "Subject: =?iso-8859-7?B?yuHr5+zd8eEg8+Hy?=",
    "Subject: =?koi8-r?B?8NLJ18XULCDLwcsgxMXMwT8=?=",
    "Subject: =?windows-1251?B?0e7i5fng7ejlIOIg7//y7ej28w==?=",
    "Subject: Re: =?windows-1252?Q?=80_20_=97_=93quoted=94_text?=",
    "From: =?iso-8859-1?q?M=FCller,_J=FCrgen?= <j.mueller@example.de>",
    "From: \"=?koi8-r?B?6dfBziDwxdTSz9c=?=\" <ivan@example.ru>",
    "From: =?utf-8?B?55Sw5LitIOWkqumDjg==?= <tanaka@example.jp>",
    "From: =?iso-2022-jp?B?GyRCOzNFRDJWO1IbKEI=?= <hanako@example.jp>",
    "From: =?big5?B?s6+kaqTl?= <chan@example.tw>",
    "From: =?euc-kr?B?sejDtrz2?= <kim@example.kr>",
    "From: =?gb2312?B?zfXQocP3?= <wang@example.cn>",
    "Subject: mixed =?iso-8859-1?Q?d=E9j=E0?= and =?euc-kr?B?x9Gxub7u?= text",
    "Subject: =?utf-8?q?A_fairly_long_subject_line_that_was_folded_by_the_sending?=\r\n"
    " =?utf-8?q?_mailer_into_parts_=E2=80=94_ok?=",
    "Subject: Weekly status report for the calendar project",
    "To: Team <team@example.com>, Alice <alice@example.com>",
};

std::vector<std::string> HeaderLines(size_t n) {
    std::vector<std::string> v;
    for (size_t i = 0; i < n; ++i)
        v.emplace_back(kLines[i % std::size(kLines)]);
    return v;
}

// Keeps glibc's converters for the sets of the lines loaded for the whole
// run, as a long-running server has them: otherwise every word GMime decodes
// loads and unloads a converter module, and the baseline measures that.
std::vector<iconv_t> HoldConverters() {
    std::vector<iconv_t> v;
    for (const char* cs : {"ISO-8859-1", "ISO-8859-2", "ISO-8859-7", "KOI8-R", "WINDOWS-1251",
                           "WINDOWS-1252", "ISO-2022-JP", "BIG5", "EUC-KR", "GB2312"})
        v.push_back(iconv_open("UTF-8", cs));
    return v;
}

void BM_WordsDecode(benchmark::State& state) {
    g_mime_init();
    const std::vector<iconv_t> held = HoldConverters();
    GMimeParserOptions* options = g_mime_parser_options_get_default();
    const auto lines = HeaderLines(static_cast<size_t>(state.range(0)));
    size_t bytes = 0;
    for (const auto& l : lines)
        bytes += l.size();
    LWCodec scan = LWStreamFindCodec("RFC1522", 0);
    std::vector<char> block(4096);
    // Both must have decoded every word of a sample line.
    RunChain(scan, lines[4], &block);
    char* theirs = g_mime_utils_header_decode_text(options, lines[4].c_str());
    if (theirs == nullptr || std::string(theirs).find("=?") != std::string::npos)
        state.SkipWithError("GMime did not decode the sample");
    g_free(theirs);
    Compare(
        state, bytes, "rate_vs_gmime",
        [&] {
            size_t out = 0;
            for (const auto& l : lines)
                out += RunChain(scan, l, &block);
            return out;
        },
        [&] {
            size_t out = 0;
            for (const auto& l : lines) {
                char* s = g_mime_utils_header_decode_text(options, l.c_str());
                out += std::strlen(s);
                g_free(s);
            }
            return out;
        });
    state.SetLabel("goal: rate_vs_gmime >= 2");
    for (iconv_t cd : held)
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}
BENCHMARK(BM_WordsDecode)->Arg(10000)->UseManualTime()->Iterations(20);

} // namespace

BENCHMARK_MAIN();
