// Calendar store updates: an attendee's reply and a cancellation, each in one
// short session on the recipient's REVO server.
#include "internal.h"

#include "ical.h"

#include <unistd.h>

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
    ~Session() { Close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void Close() {
        if (conn.Socket != -1) {
            ::close(conn.Socket);
            conn.Socket = -1;
        }
    }
    // Sends one command built from checked values; false when a value
    // failed its check (nothing sent) or the write failed.
    bool Send(const dayward::Command& command) { return command.Send(&conn) == 1; }
    int Reply(char* buffer) { return REVOReadLine(&conn, buffer, kReplyMax, 1); }

    bool Open(sockaddr_in* address, const char* recipient, char* buffer) {
        // Checked before connecting: a recipient that cannot stand on the
        // line costs the server nothing.
        if (!dayward::LineWordOk(recipient)) return false;
        if (!REVOAuthenticate(&conn, address, buffer)) return false;
        if (!Send(dayward::Command("USER").Word(recipient))) return false;
        int code = Reply(buffer);
        if (code != REVO_OK && code != REVO_AUTH_CHALLENGE) return false;
        return Send(dayward::Command("CSOPEN").Word("MAIN")) && Reply(buffer) == REVO_OK;
    }
};

char StatusLetter(int32_t partStat) {
    static const char letters[] = "NADTGCI";
    return partStat >= 0 && partStat < 7 ? letters[partStat] : 'N';
}

} // namespace

extern "C" {

int StoreReply(ICalObject* object, ICalAttendee* attendee, sockaddr_in* address,
               const char* recipient, char* buffer) {
    if (!object->UID || !attendee->Address) return 0;
    // Values from the message: a UID or address that could add a line or an
    // argument of its own fails the update (the recipient keeps the mail).
    if (!dayward::LineWordOk(object->UID) || !dayward::LineWordOk(attendee->Address)) return 0;
    Session s;
    if (!s.Open(address, recipient, buffer)) return 0;
    if (!s.Send(dayward::Command("CSFIND")
                    .Number(static_cast<unsigned long>(object->Sequence))
                    .Word(object->UID)) ||
        s.Reply(buffer) != REVO_OK)
        return 0;
    unsigned long entry = strtoul(buffer, nullptr, 10);
    const char letter[2] = {StatusLetter(attendee->PartStat), '\0'};
    // A refused status (not an attendee of the stored entry, say) is a failed
    // update: the mail must still reach the recipient.
    if (!s.Send(dayward::Command("CSATND").Number(entry).Word(letter).Word(attendee->Address)) ||
        s.Reply(buffer) != REVO_OK)
        return 0;
    if (attendee->PartStat == ICAL_PARTSTAT_COMPLETED) {
        bool all = true;
        for (ICalAttendee* a = object->Attendees; a; a = a->Next)
            if (a->PartStat != ICAL_PARTSTAT_COMPLETED) all = false;
        if (all) {
            if (!s.Send(dayward::Command("CSCOMP").Number(entry).Number(
                    static_cast<unsigned long>(time(nullptr)))))
                return 0;
            s.Reply(buffer); // the status is recorded; the completion is the store's call
        }
    }
    return 1;
}

int StoreCancel(ICalObject* object, sockaddr_in* address, const char* recipient, char* buffer,
                const char* sender) {
    if (!object->UID || !dayward::LineWordOk(object->UID)) return 0;
    Session s;
    if (!s.Open(address, recipient, buffer)) return 0;
    // The instant the parser computed through the instance's zone (the same
    // as the fields read as UTC when the value is in UTC); -1 counts as 0,
    // and 0 names no single instance.
    const int32_t t = object->RecurrenceIdTime.UTC;
    unsigned long instance = t == -1 ? 0 : static_cast<unsigned long>(static_cast<uint32_t>(t));
    dayward::Command find("CSFIND");
    find.Number(static_cast<unsigned long>(object->Sequence)).Word(object->UID);
    if (instance != 0) find.Number(instance);
    if (!s.Send(find) || s.Reply(buffer) != REVO_OK) return 0;
    unsigned long entry = strtoul(buffer, nullptr, 10);
    if (!s.Send(dayward::Command("CSORG").Number(entry)) || s.Reply(buffer) != REVO_ORGANIZER)
        return 0;
    if (char* sp = strchr(buffer, ' ')) *sp = '\0';
    if (!ICalEqual(buffer, sender) && !ICalEqual(recipient, sender)) return 0;
    dayward::Command dele("CSDELE");
    dele.Number(entry);
    if (instance == 0) dele.Word("RECURRING");
    // A refused deletion leaves the entry, so the recipient keeps the mail.
    if (!s.Send(dele) || s.Reply(buffer) != REVO_OK) return 0;
    return 1;
}

} // extern "C"
