// Calendar store updates: an attendee's reply and a cancellation, each in one
// short session on the recipient's REVO server.
#include "internal.h"

#include "ical.h"
#include "msgsrv.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kReplyMax = 1023;

// A store session runs on a queue-connection thread. Its record is marked
// released from the start, so that a failed read or write only fails the
// operation (the recipient is kept) instead of ending the thread and leaving
// the queue connection hanging.
struct Session {
    REVOConnection conn;
    Session() {
        memset(&conn, 0, sizeof conn);
        conn.Socket = -1;
        conn.Released = 1;
    }
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void close() {
        if (conn.Socket != -1) {
            ::close(conn.Socket);
            conn.Socket = -1;
        }
    }
    // Formats a command into buffer and sends it; false when it does not fit
    // or the write failed.
    bool send(char* buffer, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list ap;
        va_start(ap, format);
        int n = vsnprintf(buffer, kReplyMax, format, ap);
        va_end(ap);
        if (n < 0 || n >= kReplyMax) return false;
        return REVOSendAll(&conn, buffer, n) == 1;
    }
    int reply(char* buffer) { return REVOReadLine(&conn, buffer, kReplyMax, 1); }

    bool open(sockaddr_in* address, const char* recipient, char* buffer) {
        if (!REVOAuthenticate(&conn, address, buffer)) return false;
        if (!send(buffer, "USER %s\r\n", recipient)) return false;
        int code = reply(buffer);
        if (code != 1000 && code != 4242) return false;
        return send(buffer, "CSOPEN MAIN\r\n") && reply(buffer) == 1000;
    }
};

char statusLetter(int32_t partStat) {
    static const char letters[] = "NADTGCI";
    return partStat >= 0 && partStat < 7 ? letters[partStat] : 'N';
}

} // namespace

extern "C" {

int StoreReply(ICalObject* object, ICalAttendee* attendee, sockaddr_in* address,
               const char* recipient, char* buffer) {
    if (!object->UID || !attendee->Address) return 0;
    Session s;
    if (!s.open(address, recipient, buffer)) return 0;
    if (!s.send(buffer, "CSFIND %lu %s\r\n", static_cast<unsigned long>(object->Sequence),
                object->UID) ||
        s.reply(buffer) != 1000)
        return 0;
    unsigned long entry = strtoul(buffer, nullptr, 10);
    if (!s.send(buffer, "CSATND %lu %c %s\r\n", entry, statusLetter(attendee->PartStat),
                attendee->Address))
        return 0;
    s.reply(buffer);
    if (attendee->PartStat == ICAL_PARTSTAT_COMPLETED) {
        bool all = true;
        for (ICalAttendee* a = object->Attendees; a; a = a->Next)
            if (a->PartStat != ICAL_PARTSTAT_COMPLETED) all = false;
        if (all) {
            if (!s.send(buffer, "CSCOMP %lu %lu\r\n", entry,
                        static_cast<unsigned long>(time(nullptr))))
                return 0;
            s.reply(buffer);
        }
    }
    return 1;
}

int StoreCancel(ICalObject* object, sockaddr_in* address, const char* recipient, char* buffer,
                const char* sender) {
    if (!object->UID) return 0;
    Session s;
    if (!s.open(address, recipient, buffer)) return 0;
    const ICalDateTime& r = object->RecurrenceIdTime;
    int32_t t = DTGetUTC(r.Day, r.Month, r.Year, r.Hour, r.Minute, r.Second);
    unsigned long instance = t == -1 ? 0 : static_cast<unsigned long>(static_cast<uint32_t>(t));
    unsigned long seq = object->Sequence;
    bool sent = instance == 0 ? s.send(buffer, "CSFIND %lu %s\r\n", seq, object->UID)
                              : s.send(buffer, "CSFIND %lu %s %lu\r\n", seq, object->UID, instance);
    if (!sent || s.reply(buffer) != 1000) return 0;
    unsigned long entry = strtoul(buffer, nullptr, 10);
    if (!s.send(buffer, "CSORG %lu\r\n", entry) || s.reply(buffer) != 2001) return 0;
    if (char* sp = strchr(buffer, ' ')) *sp = '\0';
    if (!ICalEqual(buffer, sender) && !ICalEqual(recipient, sender)) return 0;
    if (!s.send(buffer, "CSDELE %lu%s\r\n", entry, instance == 0 ? " RECURRING" : "")) return 0;
    s.reply(buffer);
    return 1;
}

} // extern "C"
