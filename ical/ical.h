/* iCalendar engine: parser, recurrence expansion, participants, free/busy
 * and the reply/request writer.
 *
 * Plain C interface. Every integer field is 32 bits wide; texts are
 * NUL-terminated byte strings owned by the object they hang from. Records of
 * one kind are chained through Next, new records appended at the tail.
 * The engine keeps no global state: any number of threads may parse and
 * iterate at once, each on its own objects. */
#ifndef ICAL_H
#define ICAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ICalObject.Kind */
#define ICAL_KIND_NONE 0
#define ICAL_KIND_EVENT 2
#define ICAL_KIND_JOURNAL 3
#define ICAL_KIND_TODO 4

/* ICalObject.Method */
#define ICAL_METHOD_REQUEST 0
#define ICAL_METHOD_REPLY 1
#define ICAL_METHOD_CANCEL 2

/* ICalRecurrence.Frequency */
#define ICAL_FREQ_YEARLY 0
#define ICAL_FREQ_MONTHLY 1
#define ICAL_FREQ_WEEKLY 2
#define ICAL_FREQ_DAILY 3
#define ICAL_FREQ_HOURLY 4
#define ICAL_FREQ_MINUTELY 5
#define ICAL_FREQ_SECONDLY 6

/* ICalAttendee.Role */
#define ICAL_ROLE_CHAIR 0
#define ICAL_ROLE_REQ_PARTICIPANT 1
#define ICAL_ROLE_OPT_PARTICIPANT 2
#define ICAL_ROLE_NON_PARTICIPANT 3

/* ICalAttendee.CUType */
#define ICAL_CUTYPE_INDIVIDUAL 0
#define ICAL_CUTYPE_GROUP 1
#define ICAL_CUTYPE_RESOURCE 2
#define ICAL_CUTYPE_ROOM 3
#define ICAL_CUTYPE_UNKNOWN 4

/* ICalAttendee.PartStat */
#define ICAL_PARTSTAT_NEEDS_ACTION 0
#define ICAL_PARTSTAT_ACCEPTED 1
#define ICAL_PARTSTAT_DECLINED 2
#define ICAL_PARTSTAT_TENTATIVE 3
#define ICAL_PARTSTAT_DELEGATED 4
#define ICAL_PARTSTAT_COMPLETED 5
#define ICAL_PARTSTAT_IN_PROCESS 6

/* Twelve-year window of the recurrence day map. */
#define ICAL_WINDOW_YEARS 12
#define ICAL_DAY_CELL_NONE 255 /* a date that does not exist */

/* A date-time property. The broken-down fields keep the value as written
 * (local time of Zone); only UTC is converted. All zero when absent. */
typedef struct ICalDateTime {
    int32_t UTC; /* seconds since 1970-01-01 00:00:00 UTC */
    int32_t Day;
    int32_t Month;
    int32_t Year;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t Zone; /* DTGetTimezoneID identifier, 0 = the server's zone */
} ICalDateTime;

/* One VTIMEZONE block, reduced to two transition rules. */
typedef struct ICalTimeZone {
    char* TZID;
    int32_t Section; /* 0 before a sub-block, 1 STANDARD, 2 DAYLIGHT */
    int32_t ZoneId;
    int32_t StdWeekday; /* 0 Sunday .. 6 Saturday */
    int32_t DstWeekday;
    int32_t StdWeek; /* 1 first, -1 last, 0 none */
    int32_t DstWeek;
    int32_t StdMonth; /* 1..12 */
    int32_t DstMonth;
    int32_t StdHour; /* local hour at which standard time begins */
    int32_t DstHour;
    int32_t StdOffset; /* minutes east of UTC */
    int32_t DstOffset;
    struct ICalTimeZone* Next;
} ICalTimeZone;

/* One FREEBUSY period. */
typedef struct ICalPeriod {
    int32_t UTC; /* 0 when the start was not a UTC date-time */
    int32_t Day;
    int32_t Month;
    int32_t Year;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t Duration; /* seconds */
    struct ICalPeriod* Next;
} ICalPeriod;

/* ORGANIZER: one heap block, the texts stored behind the two pointers. */
typedef struct ICalOrganizer {
    char* CN;      /* or null */
    char* Address; /* value without a leading "mailto:" */
} ICalOrganizer;

/* ATTENDEE: one heap block, the texts stored behind the fixed fields. */
typedef struct ICalAttendee {
    char* CN;            /* or null */
    char* Address;       /* without "mailto:"; null when the line had no value */
    char* DelegatedTo;   /* or null */
    char* DelegatedFrom; /* or null */
    int32_t RSVP;
    int32_t CUType;
    int32_t Role;
    int32_t PartStat;
    struct ICalAttendee* Next;
} ICalAttendee;

/* An expanded RRULE: twelve years of day cells and one day of minute cells;
 * a cell equal to the level has passed every filter layer. */
typedef struct ICalRecurrence {
    int32_t Frequency;
    int32_t Interval;
    int32_t CountLimit; /* 0 when absent or when UNTIL is present */
    uint32_t Until;     /* seconds since 1970 UTC, 0 when absent */
    uint8_t WeekStart;  /* 0 Sunday .. 6 Saturday */
    uint8_t DayMap[ICAL_WINDOW_YEARS][12][31];
    uint8_t MinuteMap[24][60];
    uint8_t DayLevel;
    uint8_t MinuteLevel;
} ICalRecurrence;

/* Iterator state and result; lives with the caller. */
typedef struct ICalOccurrence {
    int32_t Day; /* local time of the start's zone */
    int32_t Month;
    int32_t Year;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t UTC;
    int32_t Duration;
    int32_t Number; /* occurrences delivered so far, this one included */
    int32_t DayIndex;
    int32_t MonthIndex;
    int32_t YearIndex;
    int32_t HourIndex;
    int32_t MinuteIndex;
} ICalOccurrence;

/* One parsed text/calendar body. */
typedef struct ICalObject {
    int32_t Kind;
    int32_t Method;
    char* Summary;
    char* Description;
    char* Location;
    int32_t PercentComplete;
    int32_t Priority;
    ICalTimeZone* TimeZones;
    ICalDateTime StartTime;
    ICalDateTime EndTime; /* DTEND or DUE */
    ICalDateTime StampTime;
    ICalDateTime CompletedTime;
    int32_t Duration; /* seconds */
    ICalPeriod* FreeBusy;
    int32_t Transparent;
    ICalRecurrence* Recurrence;
    ICalOrganizer* Organizer;
    ICalAttendee* Attendees;
    char* UID;
    uint32_t Sequence;
    ICalDateTime RecurrenceIdTime;
    struct ICalObject* Next;
} ICalObject;

/* Parser (text and length, or a stream read up to length bytes). With text,
 * text[length] must be NUL; the buffer is unfolded in place. Returns null for
 * length 0, for no input, when the object cannot be allocated, and for a text
 * whose zones cannot all be registered (more than 64 zone records in one
 * object, or a full registry): such a text is refused rather than converted
 * in a zone it did not name. Every ZoneId in TimeZones is held by the object
 * (a VTIMEZONE whose sub-blocks change over the years adds a record with the
 * same TZID for each other set of rules its dates needed); RRULE lines are
 * expanded at the end of their component, from its final DTSTART. */
ICalObject* ICalParse(FILE* file, char* text, size_t length);
/* Releases the object and every object chained through Next, giving back the
 * hold on each ZoneId > 0 of its TimeZones. Returns 1. */
int ICalFree(ICalObject* object);

/* Copies the next ";" parameter or ":" value token of in into out (out must
 * hold strlen(in) + 1 bytes). Returns where the next token starts, or null
 * when in is null or empty. */
const char* ICalNextToken(int* isValue, char* out, const char* in);
/* Reads one element of a comma-separated duration or period list. Returns
 * the next element, or null at the end of the list. */
const char* ICalParsePeriod(ICalPeriod* period, int32_t* seconds, const char* text);

/* ASCII case-insensitive comparison: whole strings, or the first n chars. */
int ICalEqual(const char* a, const char* b);
int ICalEqualN(const char* a, const char* b, size_t n);

/* Recurrence. ICalParseRule upper-cases line in place. */
int ICalParseRule(ICalObject* object, char* line);
int ICalFirstOccurrence(const ICalObject* object, ICalOccurrence* occurrence);
int ICalNextOccurrence(const ICalObject* object, ICalOccurrence* occurrence);
int ICalHasRecurrence(const ICalObject* object);

/* Participants and free/busy; rest is the line behind the property name. */
int ICalParseOrganizer(ICalObject* object, const char* rest);
int ICalParseAttendee(ICalObject* object, const char* rest);
int ICalParseFreeBusy(ICalObject* object, const char* rest);

/* Writer. Always returns 1. */
int ICalWriteObject(const ICalObject* object, FILE* stream);
int ICalWriteAttendees(const ICalObject* object, FILE* stream);

/* Escapes text (LF, ":" and ";") and folds it after every width input
 * characters (CR LF space). Writes at most size bytes including the NUL,
 * cutting only between whole characters and escapes; returns the length the
 * complete result needs (without NUL), so a result >= size means it was cut.
 * buffer may be null when size is 0. */
size_t ICalEscapeText(const char* text, char* buffer, size_t size, int width);

#ifdef __cplusplus
}
#endif

#endif
