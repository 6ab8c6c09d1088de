// ORGANIZER, ATTENDEE and FREEBUSY properties.
#include <cstdlib>

#include "internal.h"

namespace {

const char* SkipMailto(char* s) {
    return arbor::EqualNoCaseN(s, "mailto:", 7) ? s + 7 : s;
}

int Keyword(const char* text, const char* const* table, int count) {
    for (int i = 0; i < count; ++i)
        if (arbor::EqualNoCase(text, table[i])) return i;
    return 0; // unrecognised: the default
}

constexpr const char* kRoles[] = {"CHAIR", "REQ-PARTICIPANT", "OPT-PARTICIPANT", "NON-PARTICIPANT"};
constexpr const char* kCUTypes[] = {"INDIVIDUAL", "GROUP", "RESOURCE", "ROOM", "UNKNOWN"};
constexpr const char* kPartStats[] = {"NEEDS-ACTION", "ACCEPTED",  "DECLINED",  "TENTATIVE",
                                      "DELEGATED",    "COMPLETED", "IN-PROCESS"};

#define BEGINS(s, lit) arbor::EqualNoCaseN(s, lit, sizeof(lit) - 1)

} // namespace

extern "C" {

int ICalParseOrganizer(ICalObject* object, const char* rest) {
    if (!object || !rest) return 0;
    // One block: the record, then room for every token of rest. A token
    // never takes more bytes (with its NUL) than it consumed from rest, plus
    // one for a first token without a delimiter.
    const size_t n = std::strlen(rest);
    auto* org = static_cast<ICalOrganizer*>(std::malloc(sizeof(ICalOrganizer) + n + 1));
    if (!org) return 0;
    org->CN = nullptr;
    org->Address = nullptr;
    char* w = reinterpret_cast<char*>(org + 1);
    int isValue = 0;
    for (const char* p = rest; (p = ICalNextToken(&isValue, w, p));) {
        if (isValue) {
            org->Address = const_cast<char*>(SkipMailto(w));
            break;
        }
        if (BEGINS(w, "CN=")) {
            org->CN = w + 3;
            w += std::strlen(w) + 1;
        }
    }
    std::free(object->Organizer);
    object->Organizer = org;
    return 1;
}

int ICalParseAttendee(ICalObject* object, const char* rest) {
    if (!object || !rest) return 0;
    ICalAttendee** tail = &object->Attendees;
    while (*tail)
        tail = &(*tail)->Next;
    return ical::ParseAttendeeAt(tail, rest) ? 1 : 0;
}

int ICalParseFreeBusy(ICalObject* object, const char* rest) {
    if (!object || !rest) return 0;
    ICalPeriod** tail = &object->FreeBusy;
    while (*tail)
        tail = &(*tail)->Next;
    ical::ParseFreeBusyAt(tail, rest);
    return 1;
}

} // extern "C"

namespace ical {

ICalAttendee** ParseAttendeeAt(ICalAttendee** tail, const char* rest) {
    const size_t n = std::strlen(rest);
    auto* a = static_cast<ICalAttendee*>(std::calloc(1, sizeof(ICalAttendee) + n + 1));
    if (!a) return nullptr;
    *tail = a;

    char* w = reinterpret_cast<char*>(a + 1);
    int isValue = 0;
    for (const char* p = rest; (p = ICalNextToken(&isValue, w, p));) {
        if (isValue) {
            a->Address = const_cast<char*>(SkipMailto(w));
            break;
        }
        bool keep = false;
        if (BEGINS(w, "RSVP=TRUE")) {
            a->RSVP = 1;
            keep = true;
        } else if (BEGINS(w, "ROLE=")) {
            a->Role = Keyword(w + 5, kRoles, 4);
        } else if (BEGINS(w, "CUTYPE=")) {
            a->CUType = Keyword(w + 7, kCUTypes, 5);
        } else if (BEGINS(w, "PARTSTAT=")) {
            a->PartStat = Keyword(w + 9, kPartStats, 7);
        } else if (BEGINS(w, "CN=")) {
            a->CN = w + 3;
            keep = true;
        } else if (BEGINS(w, "DELEGATED-TO=")) {
            a->DelegatedTo = const_cast<char*>(SkipMailto(w + 13));
            keep = true;
        } else if (BEGINS(w, "DELEGATED-FROM=")) {
            a->DelegatedFrom = const_cast<char*>(SkipMailto(w + 15));
            keep = true;
        }
        if (keep) w += std::strlen(w) + 1;
    }
    return &a->Next;
}

ICalPeriod** ParseFreeBusyAt(ICalPeriod** tail, const char* rest) {
    const size_t n = std::strlen(rest);
    char* buf = static_cast<char*>(std::malloc(n + 1));
    if (!buf) return tail;
    int isValue = 0;
    for (const char* p = rest; (p = ICalNextToken(&isValue, buf, p));) {
        if (!isValue) continue; // FBTYPE and the rest are not recorded
        for (const char* e = buf; e;) {
            auto* period = static_cast<ICalPeriod*>(std::calloc(1, sizeof(ICalPeriod)));
            if (!period) break;
            *tail = period;
            tail = &period->Next;
            e = ICalParsePeriod(period, &period->Duration, e);
        }
        break;
    }
    std::free(buf);
    return tail;
}

} // namespace ical
