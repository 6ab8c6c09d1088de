// The text/plain filter (plain text to HTML with links) on a 64 KB mail body,
// timed beside a plain escaping pass over the same text in the same
// iterations (goal: rate_vs_escaping >= 0.5, within 2x). A second counter
// gives the rate against the text/wml filter, the escaping alone through the
// same chain.
#include "chain.h"

#include <array>

namespace {

using namespace benchchain;

// A mail body: prose with punctuation, quotes and the odd markup character,
// a web or mail address every few lines, CR LF lines of about 72 columns,
// and a quoted reply block.
std::string MailBody(size_t size) {
    static const char* const kLinks[] = {"http://www.example.org/a/b?c=1&d=2", "www.example.com",
                                         "someone@example.net", "https://x.example/p."};
    return Prose(size, 15, [](std::mt19937& rng, std::string& out, bool lineStart) {
        if (lineStart && rng() % 5 == 0) out += "> ";
        if (rng() % 40 == 0) {
            out += kLinks[rng() % 4];
        } else {
            for (size_t k = 1 + rng() % 9; k > 0; --k)
                out += static_cast<char>('a' + rng() % 26);
        }
        const unsigned r = rng() % 30;
        out += r == 0 ? "," : r == 1 ? "." : r == 2 ? "\"" : r == 3 ? " &" : r == 4 ? " <" : "";
    });
}

// The baseline: the same escaping as the filter's, with no words or links,
// in one pass from memory to memory.
size_t EscapePass(const std::string& in, std::vector<char>& out) {
    static constexpr std::array<const char*, 256> kRepl = [] {
        std::array<const char*, 256> t{};
        t['"'] = "&quot;";
        t['&'] = "&amp;";
        t['<'] = "&lt;";
        t['>'] = "&gt;";
        t['\r'] = "";
        t['\n'] = "<BR>";
        return t;
    }();
    char* p = out.data();
    for (unsigned char c : in) {
        if (const char* r = kRepl[c]) {
            while (*r)
                *p++ = *r++;
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    return static_cast<size_t>(p - out.data());
}

// Source, filter (with the host's link prefixes) and a sink into a block.
size_t RunFilter(LWCodec filter, const std::string& in, std::vector<char>& block) {
    return RunChain(filter, in, &block, "/link?to=\0/compose?to=");
}

void BM_PlainToHtml(benchmark::State& state) {
    const std::string body = MailBody(static_cast<size_t>(state.range(0)));
    LWCodec plain = LWStreamFindCodec("text/plain", 0);
    LWCodec wml = LWStreamFindCodec("text/wml", 0);
    std::vector<char> block(body.size() * 8), escaped(body.size() * 6);
    if (RunFilter(plain, body, block) <= EscapePass(body, escaped))
        state.SkipWithError("the filter wrote no links");
    // The three in turn in every iteration, so that all see the same machine.
    double tPlain = 0, tEscape = 0, tWml = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(RunFilter(plain, body, block));
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(EscapePass(body, escaped));
        const auto t2 = Clock::now();
        benchmark::DoNotOptimize(RunFilter(wml, body, block));
        const auto t3 = Clock::now();
        tPlain += Seconds(t1 - t0);
        tEscape += Seconds(t2 - t1);
        tWml += Seconds(t3 - t2);
        state.SetIterationTime(Seconds(t1 - t0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    state.counters["rate_vs_escaping"] = tPlain > 0 ? tEscape / tPlain : 0;
    state.counters["rate_vs_wml_chain"] = tPlain > 0 ? tWml / tPlain : 0;
    state.SetLabel("goal: rate_vs_escaping >= 0.5");
}
BENCHMARK(BM_PlainToHtml)->Arg(64 << 10)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
