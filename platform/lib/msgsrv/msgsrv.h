/* Message-server support library: server identity, REVO addresses, user
 * look-up, the source-revision register and date/time-zone arithmetic.
 * Every call is safe from many threads at once. */
#ifndef MSGSRV_H
#define MSGSRV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct KDXValueStruct; /* kdx/kdx.h */

int MSGSrvInit(void);
int RegisterSourceFileRevision(const char* source, const char* revision);

/* Full name of this server's messaging server object; valid for the whole run. */
const char* MSGGetServerDN(const char* unused);

/* Non-zero when addresses were found: one dotted IPv4 text per REVO server
 * is appended to the structure's value list. */
int MSGReadIP(const char* object, const char* attribute, struct KDXValueStruct* vs);

/* Non-zero when the address belongs to a local user; *storeAddress then holds
 * the IPv4 address (network byte order) of the user's REVO server. name is a
 * 256-byte scratch buffer. */
int MSGFindUser(const char* recipient, char* name, int flags, uint32_t* storeAddress,
                struct KDXValueStruct* vs);

/* Date and time-zone arithmetic (proleptic Gregorian, four-digit years). */
int32_t DTGetUTC(int day, int month, int year, int hour, int minute, int second);
int32_t DTGetUTCOffsetByDate(int zone, int day, int month, int year, int hour);
/* Identifier of a zone with these rules, shared by identical rule sets and
 * held until released with DTReleaseTimezoneID; -1 when the registry is full
 * (never another zone). A skipped local hour takes the offset before the gap,
 * a repeated one its first occurrence. */
int DTGetTimezoneID(int stdWeek, int stdWeekday, int stdMonth, int stdHour, int dstWeek,
                    int dstWeekday, int dstMonth, int dstHour, int stdOffset, int dstOffset);
/* Gives back one hold of an identifier; 1 when it was held, else 0. */
int DTReleaseTimezoneID(int zone);
int32_t DTGetRataDie(int day, int month, int year);
void DTGetDate(int32_t dayNumber, int* day, int* month, int* year);
void DTGetDMY(int32_t seconds, int* day, int* month, int* year, int* hour, int* minute,
              int* second);
extern const int DTDaysPerMonth[12];

#ifdef __cplusplus
}
#endif

#endif
