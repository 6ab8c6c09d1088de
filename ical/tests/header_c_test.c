/* Compiled as C: the public headers must stay C-clean. */
#include "ical.h"
#include "msgsrv.h"

int ical_header_c_attendees(const ICalObject* o) {
    int n = 0;
    const ICalAttendee* a;
    for (a = o ? o->Attendees : NULL; a; a = a->Next)
        ++n;
    return n;
}
