// Organizers, attendees and free/busy periods.
#include <gtest/gtest.h>

#include "helpers.h"
#include "msgsrv.h"

namespace {

TEST(Attendees, ParametersRolesAndStatus) {
    Object o = Parse(
        Calendar({"ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=ACCEPTED;CN=\"Planning, Room 2\":MAILTO:"
                  "room2@example.com",
                  "ATTENDEE;RSVP=FALSE;PARTSTAT=accepted;CUTYPE=ROOM:mailto:a@example.com",
                  "ATTENDEE;RSVP=true;PARTSTAT=X-FOO;ROLE=bogus:b@example.com",
                  "ATTENDEE;CN=\"x:y;z\";DELEGATED-TO=\"mailto:c@x\",\"mailto:d@x\";"
                  "DELEGATED-FROM=\"MAILTO:e@x\";ROLE=NON-PARTICIPANT:mailto:f@x",
                  "ATTENDEE;CN=NoValue"}));
    // Absent parameters: no RSVP, an individual in the chair, action needed.
    struct Want {
        const char *cn, *address, *delegatedTo, *delegatedFrom;
        int rsvp, cuType, role, partStat;
    };
    const Want want[] = {
        {"Planning, Room 2", "room2@example.com", nullptr, nullptr, 0, ICAL_CUTYPE_INDIVIDUAL,
         ICAL_ROLE_REQ_PARTICIPANT, ICAL_PARTSTAT_ACCEPTED},
        {nullptr, "a@example.com", nullptr, nullptr, 0, ICAL_CUTYPE_ROOM, ICAL_ROLE_CHAIR,
         ICAL_PARTSTAT_ACCEPTED},
        {nullptr, "b@example.com", nullptr, nullptr, 1, ICAL_CUTYPE_INDIVIDUAL, ICAL_ROLE_CHAIR,
         ICAL_PARTSTAT_NEEDS_ACTION},
        {"x:y;z", "f@x", "c@x,mailto:d@x", "e@x", 0, ICAL_CUTYPE_INDIVIDUAL,
         ICAL_ROLE_NON_PARTICIPANT, ICAL_PARTSTAT_NEEDS_ACTION},
        {"NoValue", nullptr, nullptr, nullptr, 0, ICAL_CUTYPE_INDIVIDUAL, ICAL_ROLE_CHAIR,
         ICAL_PARTSTAT_NEEDS_ACTION},
    };
    const auto Str = [](const char* p) { return p ? std::string(p) : std::string("(null)"); };
    const ICalAttendee* a = o->Attendees;
    for (const Want& w : want) {
        SCOPED_TRACE(Str(w.address));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(Str(a->CN), Str(w.cn));
        EXPECT_EQ(Str(a->Address), Str(w.address));
        EXPECT_EQ(Str(a->DelegatedTo), Str(w.delegatedTo));
        EXPECT_EQ(Str(a->DelegatedFrom), Str(w.delegatedFrom));
        EXPECT_EQ(a->RSVP, w.rsvp);
        EXPECT_EQ(a->CUType, w.cuType);
        EXPECT_EQ(a->Role, w.role);
        EXPECT_EQ(a->PartStat, w.partStat);
        a = a->Next;
    }
    EXPECT_EQ(a, nullptr);
}

TEST(Attendees, EveryStatusKeyword) {
    const char* names[] = {"NEEDS-ACTION", "ACCEPTED",  "DECLINED",  "TENTATIVE",
                           "DELEGATED",    "COMPLETED", "IN-PROCESS"};
    std::vector<std::string> lines;
    for (const char* n : names)
        lines.push_back(std::string("ATTENDEE;PARTSTAT=") + n + ":x");
    Object o = Parse(Calendar(lines, "VTODO"));
    int expected = 0;
    for (const ICalAttendee* a = o->Attendees; a; a = a->Next)
        EXPECT_EQ(a->PartStat, expected++);
    EXPECT_EQ(expected, 7);
}

TEST(Attendees, DirectCallsAppendAtTheTail) {
    ICalObject o{};
    EXPECT_EQ(ICalParseAttendee(&o, ":mailto:one"), 1);
    EXPECT_EQ(ICalParseAttendee(&o, ""), 1);
    EXPECT_EQ(ICalParseAttendee(&o, "two"), 1); // no delimiter at all
    ASSERT_TRUE(o.Attendees && o.Attendees->Next && o.Attendees->Next->Next);
    EXPECT_STREQ(o.Attendees->Address, "one");
    EXPECT_EQ(o.Attendees->Next->Address, nullptr);
    EXPECT_EQ(o.Attendees->Next->Next->Address, nullptr);
    for (ICalAttendee* a = o.Attendees; a;) {
        ICalAttendee* n = a->Next;
        std::free(a);
        a = n;
    }
}

TEST(Organizer, CnAddressAndReplacement) {
    Object o = Parse(Calendar({"ORGANIZER;SENT-BY=\"mailto:s@x\";CN=\"Boss: Big\";DIR=x:"
                               "MAILTO:boss@x",
                               "ORGANIZER:mailto:second@x"}));
    ASSERT_NE(o->Organizer, nullptr);
    EXPECT_EQ(o->Organizer->CN, nullptr);
    EXPECT_STREQ(o->Organizer->Address, "second@x");
    Object p = Parse(Calendar({"ORGANIZER;SENT-BY=\"mailto:s@x\";CN=\"Boss: Big\";DIR=x:"
                               "MAILTO:boss@x"}));
    EXPECT_STREQ(p->Organizer->CN, "Boss: Big");
    EXPECT_STREQ(p->Organizer->Address, "boss@x");
}

// Start (UTC) and length of each free/busy period.
using Periods = std::vector<std::pair<int32_t, int32_t>>;
Periods PeriodsOf(const Object& o) {
    Periods v;
    for (const ICalPeriod* p = o->FreeBusy; p; p = p->Next)
        v.emplace_back(p->UTC, p->Duration);
    return v;
}

TEST(FreeBusy, PeriodsWithDurationsAndEnds) {
    Object o = Parse(Calendar({"FREEBUSY;FBTYPE=BUSY:19980415T133000Z/PT1H,19980416T150000Z/PT30M",
                               "FREEBUSY:19980415T133000Z/19980415T143000Z,19980417T000000Z/PT1H",
                               "FREEBUSY:19980415T133000/PT2H"}));
    // A start/end period has no length and ends its list. A start without Z
    // leaves the start at zero, and its slash is not where a UTC start puts
    // it: no length either.
    ASSERT_EQ(PeriodsOf(o), (Periods{{DTGetUTC(15, 4, 1998, 13, 30, 0), 3600},
                                     {DTGetUTC(16, 4, 1998, 15, 0, 0), 1800},
                                     {DTGetUTC(15, 4, 1998, 13, 30, 0), 0},
                                     {0, 0}}));
    EXPECT_EQ(o->FreeBusy->Hour, 13);
    EXPECT_EQ(o->FreeBusy->Next->Next->Next->Year, 0);
}

TEST(FreeBusy, ShortElementsAreReadWithinTheirBounds) {
    Object o = Parse(Calendar({"FREEBUSY:1998,19980415T133000Z/,19980415T133000Z"}));
    // "1998" ends its element, the second has no duration and ends the list.
    EXPECT_EQ(PeriodsOf(o).size(), 2u);
}

} // namespace
