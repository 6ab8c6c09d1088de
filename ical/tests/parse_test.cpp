// Parser: unfolding and tokenizing, the component state machine, date-times
// with and without zones, derived end and duration, the stream input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "helpers.h"
#include "msgsrv.h"

namespace {

int32_t Utc(int d, int m, int y, int h = 0, int mi = 0, int s = 0) {
    return DTGetUTC(d, m, y, h, mi, s) - DTGetUTCOffsetByDate(0, d, m, y, h);
}

TEST(Unfolding, CrLfTextJoinsFoldedLinesAndKeepsSecondSpace) {
    Object o = Parse(Calendar({"SUMMARY:Team\r\n  meeting", "DESCRIPTION:a\r\n\tb"}));
    ASSERT_TRUE(o);
    EXPECT_STREQ(o->Summary, "Team meeting");
    // A tab does not fold: the description ends before it.
    EXPECT_STREQ(o->Description, "a");
}

TEST(Unfolding, LfOnlyTextSplitsAtLfWithoutJoining) {
    Object o = Parse("BEGIN:VEVENT\nSUMMARY:Team\n meeting\nUID:x\nEND:VEVENT\n");
    ASSERT_TRUE(o);
    EXPECT_EQ(o->Kind, ICAL_KIND_EVENT);
    EXPECT_STREQ(o->Summary, "Team");
    EXPECT_STREQ(o->UID, "x");
}

TEST(Unfolding, CompactsBufferInPlaceAndLastLineNeedsNoLineEnd) {
    std::string text = "BEGIN:VEVENT\r\nUID:ab\r\n c\r\nSUMMARY:last";
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    Object o(ICalParse(nullptr, buf.data(), text.size()));
    ASSERT_TRUE(o);
    EXPECT_STREQ(o->UID, "abc");
    EXPECT_STREQ(o->Summary, "last");
    EXPECT_STREQ(buf.data(), "BEGIN:VEVENT\nUID:abc\nSUMMARY:last");
    // Without CR LF the unterminated last line is still read.
    Object p = Parse("BEGIN:VTODO\nUID:zz");
    EXPECT_STREQ(p->UID, "zz");
}

TEST(Tokenizer, ParametersQuotesEscapesAndValue) {
    const char* rest = ";CN=\"Doe; John: Jr\";X=a\\;b:val:ue\\n\\,\\\\x";
    std::vector<char> out(std::strlen(rest) + 1);
    int isValue = 0;
    const char* p = ICalNextToken(&isValue, out.data(), rest);
    EXPECT_EQ(isValue, 0);
    EXPECT_STREQ(out.data(), "CN=Doe; John: Jr");
    p = ICalNextToken(&isValue, out.data(), p);
    EXPECT_EQ(isValue, 0);
    EXPECT_STREQ(out.data(), "X=a;b");
    p = ICalNextToken(&isValue, out.data(), p);
    EXPECT_EQ(isValue, 1);
    // Unknown escapes drop the backslash; the value runs to the end.
    EXPECT_STREQ(out.data(), "val:ue\n,\\x");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '\0');
    EXPECT_EQ(ICalNextToken(&isValue, out.data(), p), nullptr);
    EXPECT_EQ(ICalNextToken(&isValue, out.data(), nullptr), nullptr);
    // A trailing lone backslash never reads past the terminator.
    const char* tail = ":abc\\";
    p = ICalNextToken(&isValue, out.data(), tail);
    EXPECT_STREQ(out.data(), "abc");
    EXPECT_EQ(p, tail + 5);
}

TEST(Tokenizer, CaseInsensitiveComparison) {
    EXPECT_TRUE(ICalEqual("Begin:vEvent", "BEGIN:VEVENT"));
    EXPECT_FALSE(ICalEqual("BEGIN:VEVENTX", "BEGIN:VEVENT"));
    EXPECT_TRUE(ICalEqualN("dtstart;tzid=x", "DTSTART", 7));
    EXPECT_FALSE(ICalEqualN("DTST", "DTSTART", 7));
    EXPECT_TRUE(ICalEqualN("UID", "uid", 10)); // both end at the same place
}

TEST(StateMachine, MethodAndKind) {
    EXPECT_EQ(Parse(Calendar({})).get()->Method, ICAL_METHOD_REQUEST);
    EXPECT_EQ(Parse("METHOD:PUBLISH\r\nBEGIN:VEVENT\r\n")->Method, ICAL_METHOD_REQUEST);
    EXPECT_EQ(Parse("METHOD:reply\r\nMETHOD:PUBLISH\r\n")->Method, ICAL_METHOD_REPLY);
    EXPECT_EQ(Parse("METHOD:CANCEL\r\n")->Method, ICAL_METHOD_CANCEL);
    EXPECT_EQ(Parse(Calendar({}, "VTODO"))->Kind, ICAL_KIND_TODO);
    EXPECT_EQ(Parse(Calendar({}, "VJOURNAL"))->Kind, ICAL_KIND_JOURNAL);
    // METHOD inside a component is not read.
    EXPECT_EQ(Parse(Calendar({"METHOD:CANCEL"}))->Method, ICAL_METHOD_REQUEST);
}

TEST(StateMachine, NoComponentGivesEmptyObject) {
    Object o = Parse("BEGIN:VCALENDAR\r\nBEGIN:VFREEBUSY\r\nUID:1\r\nSUMMARY:x\r\n"
                     "FREEBUSY:19980415T133000Z/PT1H\r\nEND:VFREEBUSY\r\nEND:VCALENDAR\r\n");
    ASSERT_TRUE(o);
    EXPECT_EQ(o->Kind, ICAL_KIND_NONE);
    EXPECT_EQ(o->UID, nullptr);
    EXPECT_EQ(o->Summary, nullptr);
    EXPECT_EQ(o->FreeBusy, nullptr);
}

TEST(StateMachine, AlarmPropertiesAreIgnoredAndOneLevelDeep) {
    Object o =
        Parse(Calendar({"DESCRIPTION:main", "BEGIN:VALARM", "DESCRIPTION:alarm", "DURATION:PT15M",
                        "BEGIN:VALARM", "END:VALARM", "SUMMARY:after", "DESCRIPTION:again"}));
    EXPECT_STREQ(o->Description, "again");
    EXPECT_STREQ(o->Summary, "after");
    EXPECT_EQ(o->Duration, 0);
}

TEST(StateMachine, LaterValuesReplaceAndPrefixNamesMatch) {
    Object o = Parse(
        Calendar({"SUMMARY:one", "SUMMARY;LANGUAGE=en:two", "UID:", "SEQUENCE:", "PRIORITY:-3x",
                  "LOCATION", "TRANSP:TRANSPARENT", "SUMMARYX:prefix"}));
    EXPECT_STREQ(o->Summary, "prefix");
    ASSERT_NE(o->UID, nullptr);
    EXPECT_STREQ(o->UID, "");
    EXPECT_EQ(o->Sequence, 0u);
    EXPECT_EQ(o->Priority, -3);
    EXPECT_EQ(o->Location, nullptr);
    EXPECT_EQ(o->Transparent, 1);
    Object big = Parse(Calendar({"SEQUENCE:4294967295", "PRIORITY:99999999999999"}));
    EXPECT_EQ(big->Sequence, 4294967295u);
    EXPECT_EQ(big->Priority, INT32_MAX);
}

TEST(StateMachine, TodoOnlyProperties) {
    Object t = Parse(Calendar(
        {"PERCENT-COMPLETE:40", "COMPLETED:19990102T030405Z", "DUE:19990105T000000Z"}, "VTODO"));
    EXPECT_EQ(t->PercentComplete, 40);
    EXPECT_EQ(t->CompletedTime.UTC, DTGetUTC(2, 1, 1999, 3, 4, 5));
    EXPECT_EQ(t->EndTime.UTC, DTGetUTC(5, 1, 1999, 0, 0, 0));
    Object e = Parse(Calendar({"PERCENT-COMPLETE:40", "COMPLETED:19990102T030405Z"}));
    EXPECT_EQ(e->PercentComplete, 0);
    EXPECT_EQ(e->CompletedTime.UTC, 0);
}

TEST(DateTimes, UtcLocalAndDateOnly) {
    Object o = Parse(Calendar({"DTSTART:19990701T090000Z", "DTSTAMP:19990630T120000",
                               "RECURRENCE-ID;VALUE=DATE:19991231"}));
    EXPECT_EQ(o->StartTime.UTC, DTGetUTC(1, 7, 1999, 9, 0, 0));
    EXPECT_EQ(o->StartTime.Hour, 9);
    EXPECT_EQ(o->StampTime.UTC, Utc(30, 6, 1999, 12));
    const ICalDateTime& r = o->RecurrenceIdTime;
    EXPECT_EQ(r.UTC, Utc(31, 12, 1999));
    EXPECT_EQ(r.Year, 1999);
    EXPECT_EQ(r.Month, 12);
    EXPECT_EQ(r.Day, 31);
    EXPECT_EQ(r.Hour + r.Minute + r.Second + r.Zone, 0);
}

TEST(DateTimes, ShortAndGarbageValuesStayInsideTheValue) {
    Object o = Parse(Calendar({"DTSTART:1999", "DTEND:19990230T100000Z", "DTSTAMP:"}));
    ASSERT_TRUE(o);
    EXPECT_EQ(o->StartTime.Year, 1999);
    EXPECT_EQ(o->StartTime.Month, 0);
    EXPECT_EQ(o->StartTime.UTC, -1); // no such date
    EXPECT_EQ(o->EndTime.UTC, -1);
    EXPECT_EQ(o->EndTime.Day, 30);
}

const std::string kEastern =
    Zone("eastern", "FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10", "FREQ=YEARLY;BYDAY=1SU;BYMONTH=4", "-0500",
         "-0400", "19701025T020000", "19700405T030000");

TEST(DateTimes, TimeZoneBlockRulesAndLookup) {
    const std::string ev = "BEGIN:VEVENT\r\nDTSTART;TZID=\"Eastern\":19991231T090000\r\n"
                           "DTEND;TZID=Eastern:19990701T090000\r\nEND:VEVENT\r\n";
    Object o = Parse(kEastern + ev);
    const ICalTimeZone* z = o->TimeZones;
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z->TZID, "eastern");
    EXPECT_EQ(z->StdWeek, -1);
    EXPECT_EQ(z->StdWeekday, 0);
    EXPECT_EQ(z->StdMonth, 10);
    EXPECT_EQ(z->StdHour, 2);
    EXPECT_EQ(z->StdOffset, -300);
    EXPECT_EQ(z->DstWeek, 1);
    EXPECT_EQ(z->DstMonth, 4);
    EXPECT_EQ(z->DstHour, 3);
    EXPECT_EQ(z->DstOffset, -240);
    EXPECT_NE(z->ZoneId, 0);
    EXPECT_EQ(o->StartTime.Zone, z->ZoneId);
    EXPECT_EQ(o->StartTime.UTC, DTGetUTC(31, 12, 1999, 14, 0, 0)); // EST
    EXPECT_EQ(o->EndTime.UTC, DTGetUTC(1, 7, 1999, 13, 0, 0));     // EDT
    // The same line before the block uses zone 0.
    Object early = Parse(ev + kEastern);
    EXPECT_EQ(early->StartTime.Zone, 0);
    EXPECT_EQ(early->StartTime.UTC, Utc(31, 12, 1999, 9));
}

TEST(DateTimes, OffsetsAndWeekdays) {
    Object o = Parse("BEGIN:VTIMEZONE\r\nTZID:India\r\nBEGIN:STANDARD\r\n"
                     "TZOFFSETTO:+0530\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
                     "BEGIN:VTIMEZONE\r\nTZID:x\r\nBEGIN:DAYLIGHT\r\n"
                     "RRULE:FREQ=YEARLY;BYDAY=2SA;BYMONTH=3\r\nTZOFFSETTO:-0500\r\n"
                     "END:DAYLIGHT\r\nEND:VTIMEZONE\r\n"
                     "BEGIN:VEVENT\r\nDTSTART;TZID=India:20000101T053000\r\nEND:VEVENT\r\n");
    const ICalTimeZone* india = o->TimeZones;
    ASSERT_TRUE(india && india->Next);
    EXPECT_EQ(india->StdOffset, 330);
    EXPECT_EQ(india->Next->DstOffset, -300);
    EXPECT_EQ(india->Next->DstWeek, 2);
    EXPECT_EQ(india->Next->DstWeekday, 6);
    EXPECT_EQ(o->StartTime.UTC, DTGetUTC(1, 1, 2000, 0, 0, 0));
}

TEST(DerivedTimes, EndAndDurationFollowTheRules) {
    Object a = Parse(Calendar({"DTSTART:19990701T090000Z", "DTEND:19990701T100000Z"}));
    EXPECT_EQ(a->Duration, 3600);
    Object b = Parse(Calendar({"DTSTART:19990701T090000Z"}));
    EXPECT_EQ(b->EndTime.UTC, b->StartTime.UTC);
    EXPECT_EQ(b->Duration, 0);
    Object c = Parse(Calendar({"DTSTART:19990701T090000Z", "DURATION:PT1H"}));
    EXPECT_EQ(c->Duration, 3600);
    EXPECT_EQ(c->EndTime.UTC, c->StartTime.UTC);
    // DURATION before DTSTART: the end is derived from it.
    Object d = Parse(Calendar({"DURATION:PT1H", "DTSTART:19990701T090000Z"}));
    EXPECT_EQ(d->EndTime.UTC, d->StartTime.UTC);
    Object e = Parse(Calendar({"DTEND:19990701T100000Z", "DTSTART:19990701T090000Z"}));
    EXPECT_EQ(e->Duration, 3600);
    Object f = Parse(Calendar({"DTSTAMP:19990701T090000Z", "DURATION:PT30M"}));
    EXPECT_EQ(f->StartTime.UTC, f->StampTime.UTC);
    EXPECT_EQ(f->StartTime.Day, 1);
    Object g = Parse(Calendar({"DURATION:PT30M", "DTSTAMP:19990701T090000Z"}));
    EXPECT_EQ(g->EndTime.UTC, g->StampTime.UTC + 1800);
}

TEST(DerivedTimes, DurationValues) {
    int32_t s = -1;
    EXPECT_EQ(ICalParsePeriod(nullptr, &s, "P1W2DT3H4M5S"), nullptr);
    EXPECT_EQ(s, 788645);
    ICalParsePeriod(nullptr, &s, "-PT15M");
    EXPECT_EQ(s, 900);
    // A number without its unit makes the value no duration.
    EXPECT_EQ(ICalParsePeriod(nullptr, &s, "PT1H5,PT1M"), std::string_view("PT1M"));
    EXPECT_EQ(s, 0);
    const char* list = "PT1M,PT2M";
    const char* next = ICalParsePeriod(nullptr, &s, list);
    EXPECT_EQ(s, 60);
    EXPECT_EQ(next, list + 5);
    EXPECT_EQ(ICalParsePeriod(nullptr, &s, "X"), nullptr);
    EXPECT_EQ(s, 0);
    ICalParsePeriod(nullptr, &s, "P99999999999W");
    EXPECT_EQ(s, INT32_MAX);
}

TEST(Input, StreamAndDegenerateArguments) {
    const std::string text = Calendar({"UID:from-file", "SUMMARY:" + std::string(3000, 'x')});
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    Object o(ICalParse(f, nullptr, text.size() + 100));
    ASSERT_TRUE(o);
    EXPECT_STREQ(o->UID, "from-file");
    EXPECT_EQ(std::strlen(o->Summary), 3000u);
    std::rewind(f);
    // A length shorter than the file reads only that much.
    Object cut(ICalParse(f, nullptr, 50));
    EXPECT_STREQ(cut->UID, "fr");
    std::fclose(f);
    char one[1] = {'x'};
    EXPECT_EQ(ICalParse(nullptr, one, 0), nullptr);
    EXPECT_EQ(ICalParse(nullptr, nullptr, 10), nullptr);
    EXPECT_EQ(ICalFree(nullptr), 1);
}

TEST(Input, ChainedObjectsAreAllReleased) {
    Object a = Parse(Calendar({"UID:a"}));
    a->Next = Parse(Calendar({"UID:b", "ATTENDEE:mailto:x"})).release();
    // The sanitizer build reports a leak if the chain is not followed.
    EXPECT_EQ(ICalFree(a.release()), 1);
}

TEST(Input, ThreadsParseAtOnce) {
    const std::string text =
        "METHOD:REPLY\r\n" + kEastern +
        Calendar({"DTSTART;TZID=eastern:20260310T090000", "ATTENDEE;PARTSTAT=ACCEPTED:mailto:a@x",
                  "RRULE:FREQ=WEEKLY;BYDAY=TU,TH;COUNT=20", "UID:u", "SUMMARY:s"});
    Object reference = Parse(text);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                Object o = Parse(text);
                if (!o || o->StartTime.UTC != reference->StartTime.UTC ||
                    o->Attendees->PartStat != 1 ||
                    std::memcmp(o->Recurrence, reference->Recurrence, sizeof(ICalRecurrence)))
                    ++mismatches;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace

extern "C" int ical_header_c_attendees(const ICalObject* o);

TEST(Input, HeaderIsUsableFromC) {
    Object o = Parse(Calendar({"ATTENDEE:a", "ATTENDEE:b"}));
    EXPECT_EQ(ical_header_c_attendees(o.get()), 2);
}
