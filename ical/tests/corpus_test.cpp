// A corpus of calendar messages in the shapes common clients send, every
// converted time checked against python's zoneinfo (and dateutil for the
// occurrences of a rule). The oracle reads the messages' own text: the
// property's TZID mapped to an IANA zone, "Z" as UTC, anything else as the
// server's zone (TZ of this test).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "helpers.h"
#include "process.h"
#include "temp_dir.h"

namespace {

struct Message {
    const char* file;
    std::map<std::string, std::string> zones; // TZID -> IANA name
};

const std::vector<Message> kCorpus = {
    {"outlook-weekly.ics", {{"W. Europe Standard Time", "Europe/Berlin"}}},
    {"google-reply.ics", {{"America/New_York", "America/New_York"}}},
    {"daily-across-dst.ics", {{"Eastern Standard Time", "America/New_York"}}},
    {"gap-hour-daily.ics", {{"Europe/Berlin", "Europe/Berlin"}}},
    {"todo-completed.ics", {{"Pacific Standard Time", "America/Los_Angeles"}}},
    {"two-zones.ics",
     {{"GMT Standard Time", "Europe/London"}, {"America/Los_Angeles", "America/Los_Angeles"}}},
    {"allday-yearly.ics", {}},
    {"floating-weekly.ics", {}},
    {"sydney-monthly.ics", {{"AUS Eastern Standard Time", "Australia/Sydney"}}},
    {"historic-rules.ics", {{"Central Standard Time", "America/Chicago"}}},
};

// The message's logical lines (CR LF and a space joined).
std::vector<std::string> Unfolded(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0) {
            if (i + 2 < text.size() && text[i + 2] == ' ') {
                i += 2;
                continue;
            }
            lines.push_back(cur);
            cur.clear();
            ++i;
            continue;
        }
        cur += text[i];
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// One property of the component: where the oracle's local time is and in
// which zone.
struct Written {
    std::string zone, local;
};

// name;params:value -> zone and local time, or false when the line is not it.
bool ReadProperty(const std::string& line, const std::string& name,
                  const std::map<std::string, std::string>& zones, Written& w) {
    if (line.compare(0, name.size(), name) != 0) return false;
    if (line.size() <= name.size() || (line[name.size()] != ';' && line[name.size()] != ':'))
        return false;
    const size_t colon = line.rfind(':');
    std::string value = line.substr(colon + 1);
    const std::string params = line.substr(name.size(), colon - name.size());
    std::string tzid;
    if (size_t at = params.find(";TZID="); at != std::string::npos) {
        tzid = params.substr(at + 6);
        tzid = tzid.substr(0, tzid.find(';'));
        if (!tzid.empty() && tzid.front() == '"') tzid = tzid.substr(1, tzid.size() - 2);
    }
    if (value.size() == 8) value += "T000000";
    if (!value.empty() && value.back() == 'Z') {
        value.pop_back();
        w.zone = "UTC";
    } else if (!tzid.empty()) {
        auto it = zones.find(tzid);
        if (it == zones.end()) return false;
        w.zone = it->second;
    } else {
        const char* tz = std::getenv("TZ");
        w.zone = tz ? tz : "UTC";
    }
    w.local = value;
    return true;
}

struct Check {
    std::string what;
    std::string request;
    std::vector<int64_t> got;
};

// Runs the oracle over the requests, one answer line each.
bool RunOracle(const std::vector<Check>& checks, std::vector<std::string>& answers,
               std::string& why) {
    const std::string script = arbortest::SourceDir() + "/ical/tests/zone_oracle.py";
    std::string text;
    for (const Check& c : checks)
        text += c.request + "\n";
    std::string out;
    const int status =
        arbortest::RunWithInput("python3 " + arbortest::ShellQuote(script) + " 2>&1", text, &out);
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);)
        answers.push_back(l);
    if (status != 0)
        why = "the oracle failed (python3 with zoneinfo, tzdata and dateutil is needed): " +
              out.substr(0, 400);
    if (why.empty() && answers.size() != checks.size()) why = "the oracle gave too few answers";
    return why.empty();
}

TEST(Corpus, EveryConvertedTimeAgreesWithZoneinfo) {
    const std::string dir = arbortest::SourceDir() + "/ical/tests/corpus/";
    std::vector<Check> checks;
    std::vector<Object> objects; // kept alive: their zones stay registered meanwhile
    for (const Message& m : kCorpus) {
        const std::string text = arbortest::ReadFile(dir + m.file);
        ASSERT_FALSE(text.empty()) << m.file;
        Object o = Parse(text);
        ASSERT_TRUE(o) << m.file;
        ASSERT_NE(o->Kind, ICAL_KIND_NONE) << m.file;
        const std::vector<std::pair<std::string, const ICalDateTime*>> props = {
            {"DTSTART", &o->StartTime},
            {"DTEND", &o->EndTime},
            {"DUE", &o->EndTime},
            {"COMPLETED", &o->CompletedTime},
            {"RECURRENCE-ID", &o->RecurrenceIdTime},
            {"DTSTAMP", &o->StampTime}};
        bool inComponent = false;
        Written start;
        std::string rule;
        size_t found = 0;
        for (const std::string& line : Unfolded(text)) {
            if (line == "BEGIN:VEVENT" || line == "BEGIN:VTODO") inComponent = true;
            if (line == "END:VEVENT" || line == "END:VTODO") inComponent = false;
            if (!inComponent) continue;
            if (line.compare(0, 6, "RRULE:") == 0) rule = line.substr(6);
            for (const auto& [name, field] : props) {
                Written w;
                if (!ReadProperty(line, name, m.zones, w)) continue;
                ++found;
                if (name == "DTSTART") start = w;
                checks.push_back({std::string(m.file) + " " + name,
                                  "T " + w.zone + " " + w.local,
                                  {static_cast<int64_t>(static_cast<uint32_t>(field->UTC))}});
            }
        }
        EXPECT_GE(found, 2u) << m.file;
        if (!rule.empty()) {
            Check c{std::string(m.file) + " RRULE",
                    "R " + start.zone + " " + start.local + " " + rule,
                    {}};
            ICalOccurrence occ;
            for (int ok = ICalFirstOccurrence(o.get(), &occ); ok && c.got.size() < 5000;
                 ok = ICalNextOccurrence(o.get(), &occ))
                c.got.push_back(static_cast<uint32_t>(occ.UTC));
            EXPECT_GT(c.got.size(), 1u) << m.file;
            checks.push_back(c);
        }
        objects.push_back(std::move(o));
    }
    std::vector<std::string> answers;
    std::string why;
    ASSERT_TRUE(RunOracle(checks, answers, why)) << why;
    size_t times = 0;
    for (size_t i = 0; i < checks.size(); ++i) {
        std::vector<int64_t> want;
        std::istringstream in(answers[i]);
        for (int64_t v; in >> v;)
            want.push_back(v);
        EXPECT_EQ(checks[i].got, want) << checks[i].what << " (" << checks[i].request << ")";
        times += want.size();
    }
    EXPECT_GT(times, 100u);
}

} // namespace
