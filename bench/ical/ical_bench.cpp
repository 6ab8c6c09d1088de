// Engine throughput: parsing a scheduling reply and a large calendar,
// expanding typical rules, walking a twelve-year daily rule. Each benchmark
// also measures the baseline library on the same input in the same run and
// reports the ratio as "x_baseline" (above 1: this engine is faster).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "../../ical/ical.h"
#include "baseline.h"

namespace {

const char* kReplyHead =
    "BEGIN:VCALENDAR\r\nPRODID:-//Example Corp.//Calendar 1.0//EN\r\nVERSION:2.0\r\n"
    "METHOD:REPLY\r\nBEGIN:VTIMEZONE\r\nTZID:Eastern Standard Time\r\nBEGIN:STANDARD\r\n"
    "DTSTART:16011104T020000\r\nRRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11\r\n"
    "TZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nEND:STANDARD\r\nBEGIN:DAYLIGHT\r\n"
    "DTSTART:16010311T020000\r\nRRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3\r\n"
    "TZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";

std::string Event(int i, bool withRule) {
    const std::string n = std::to_string(i);
    std::string s =
        "BEGIN:VEVENT\r\n"
        "ORGANIZER;CN=\"Pat Organizer\":mailto:pat.organizer@example.com\r\n"
        "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=ACCEPTED;RSVP=TRUE;CN=\"Sam Attendee\":\r\n"
        " mailto:sam.attendee@example.com\r\n"
        "ATTENDEE;ROLE=OPT-PARTICIPANT;PARTSTAT=NEEDS-ACTION;CN=\"Conference Room 2\";\r\n"
        " CUTYPE=ROOM:mailto:room2@example.com\r\n"
        "DESCRIPTION:Quarterly planning review. Please bring the figures for your\r\n"
        "  team and the list of open items\\; we will go through them in order.\\n\r\n"
        "SUMMARY:Planning review " +
        n +
        "\r\n"
        "DTSTART;TZID=Eastern Standard Time:20260310T090000\r\n"
        "DTEND;TZID=Eastern Standard Time:20260310T103000\r\n"
        "UID:040000008200E00074C5B7101A82E008000000008062306C6261CA01000000000000000010000000" +
        n +
        "\r\n"
        "CLASS:PUBLIC\r\nPRIORITY:5\r\nDTSTAMP:20260301T120000Z\r\nTRANSP:OPAQUE\r\n"
        "STATUS:CONFIRMED\r\nSEQUENCE:3\r\nLOCATION:Building 4\\, room 2\r\n";
    if (withRule) s += "RRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,TH;UNTIL=20270101T000000Z\r\n";
    s += "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:REMINDER\r\n"
         "TRIGGER;RELATED=START:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\n";
    return s;
}

std::string Reply() {
    return kReplyHead + Event(1, false) + "END:VCALENDAR\r\n";
}

std::string BigCalendar() {
    std::string s = kReplyHead;
    for (int i = 0; s.size() < (1u << 20); ++i)
        s += Event(i, i % 10 == 0);
    return s + "END:VCALENDAR\r\n";
}

// Thread CPU time: the machine is shared, so wall time would measure the
// neighbours as much as the code.
double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <typename F> double NsPerOp(F f, double seconds = 0.25) {
    const double begin = CpuSeconds();
    long n = 0;
    double elapsed = 0;
    do {
        f();
        ++n;
        elapsed = CpuSeconds() - begin;
    } while (elapsed < seconds || n < 3);
    return elapsed * 1e9 / double(n);
}

void Compare(benchmark::State& state, double oursNs, double baselineNs) {
    if (!baseline::Available()) {
        state.SetLabel("no baseline library");
        return;
    }
    const double ratio = baselineNs / oursNs;
    state.counters["x_baseline"] = ratio;
    state.SetLabel("baseline " + std::to_string(int64_t(baselineNs)) + " ns/op");
}

void ParseText(benchmark::State& state, const std::string& text) {
    std::vector<char> buf(text.size() + 1);
    auto ours = [&] {
        std::memcpy(buf.data(), text.data(), text.size() + 1); // parsing unfolds in place
        ICalObject* o = ICalParse(nullptr, buf.data(), text.size());
        benchmark::DoNotOptimize(o->Attendees);
        ICalFree(o);
    };
    for (auto _ : state)
        ours();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    const double o = NsPerOp(ours);
    const double b = baseline::Available()
                         ? NsPerOp([&] { benchmark::DoNotOptimize(baseline::Parse(text.c_str())); })
                         : 0;
    Compare(state, o, b);
}

void BM_ParseReply(benchmark::State& state) {
    ParseText(state, Reply());
}
void BM_ParseLargeCalendar(benchmark::State& state) {
    ParseText(state, BigCalendar());
}

struct RuleCase {
    const char* start;
    const char* rule;
};
const RuleCase kTypicalRules[] = {
    {"20260301T090000", "FREQ=DAILY;COUNT=10"},
    {"20260302T090000", "FREQ=WEEKLY;BYDAY=MO,WE,FR;UNTIL=20271231T000000Z"},
    {"20260327T090000", "FREQ=MONTHLY;BYDAY=-1FR"},
    {"20260315T090000", "FREQ=MONTHLY;BYMONTHDAY=15"},
    {"20260308T090000", "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU"},
    {"20260303T090000", "FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,TH"},
    {"20260331T090000", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
    {"20260301T090000", "FREQ=DAILY;INTERVAL=2;COUNT=30"},
};

// Expands a rule for a start and walks every occurrence of the window.
int OursExpand(ICalObject& o, const RuleCase& c) {
    int d, m, y, h, mi;
    std::sscanf(c.start, "%4d%2d%2dT%2d%2d", &y, &m, &d, &h, &mi);
    o.StartTime = ICalDateTime{0, d, m, y, h, mi, 0, 0};
    char line[128];
    std::snprintf(line, sizeof line, "RRULE:%s", c.rule);
    ICalParseRule(&o, line);
    ICalOccurrence occ;
    int n = 0;
    for (int r = ICalFirstOccurrence(&o, &occ); r; r = ICalNextOccurrence(&o, &occ))
        ++n;
    return n;
}

int BaselineExpand(const RuleCase& c) {
    return baseline::Expand(c.rule, c.start, std::atoi(std::string(c.start, 4).c_str()) + 11);
}

void ExpandRules(benchmark::State& state, const RuleCase* begin, const RuleCase* end) {
    ICalObject o{};
    int count = 0;
    auto ours = [&] {
        count = 0;
        for (const RuleCase* c = begin; c != end; ++c)
            count += OursExpand(o, *c);
        benchmark::DoNotOptimize(count);
    };
    for (auto _ : state)
        ours();
    state.counters["occurrences"] = count;
    const double ns = NsPerOp(ours);
    double b = 0;
    if (baseline::Available()) {
        int baseCount = 0;
        b = NsPerOp([&] {
            baseCount = 0;
            for (const RuleCase* c = begin; c != end; ++c)
                baseCount += BaselineExpand(*c);
            benchmark::DoNotOptimize(baseCount);
        });
        state.counters["baseline_occurrences"] = baseCount;
    }
    Compare(state, ns, b);
    std::free(o.Recurrence);
}

void BM_ExpandTypicalRules(benchmark::State& state) {
    ExpandRules(state, std::begin(kTypicalRules), std::end(kTypicalRules));
}

const RuleCase kDaily[] = {{"20260301T100000", "FREQ=DAILY"}};
void BM_WalkTwelveYearDaily(benchmark::State& state) {
    ExpandRules(state, std::begin(kDaily), std::end(kDaily));
}

BENCHMARK(BM_ParseReply)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseLargeCalendar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandTypicalRules)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WalkTwelveYearDaily)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
