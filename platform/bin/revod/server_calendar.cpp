// The calendar-store commands of a session: USER and the CS commands.
#include "server_internal.h"

#include <cstring>

namespace revo {

using namespace detail;

bool Server::CalCommand(Session& s, const std::string& cmd, std::string_view args) {
    if (cmd == "USER") return CalUser(s, args);
    if (s.user.empty()) return s.Send(REVO_ERR_NO_USER, "No user selected");
    if (cmd == "CSOPEN") {
        std::string_view name = NextWord(args);
        if (!EqualNoCase(name, "MAIN") || !args.empty())
            return s.Send(REVO_ERR_NO_SUCH_CALENDAR, "No such calendar");
        s.calOpen = true;
        return s.Send(REVO_OK, "Calendar MAIN open");
    }
    if (!s.calOpen) return s.Send(REVO_ERR_NO_CALENDAR, "No calendar open");
    if (cmd == "CSLIST") return CalList(s);
    if (cmd == "CSPUT") return CalPut(s, args);
    if (cmd == "CSFIND") return CalFind(s, args);
    // The rest name an entry first.
    int64_t entry;
    if (!ParseI64(NextWord(args), entry))
        return s.Send(REVO_ERR_SYNTAX, "Syntax: " + cmd + " entry ...");
    if (cmd == "CSATND") return CalAttend(s, entry, args);
    if (cmd == "CSCOMP") return CalComplete(s, entry, args);
    if (cmd == "CSORG") {
        std::string organizer;
        if (!args.empty()) return s.Send(REVO_ERR_SYNTAX, "Syntax: CSORG entry");
        if (!store_->CalOrganizer(s.user, entry, organizer))
            return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
        return s.Send(REVO_ORGANIZER,
                      (organizer.empty() ? std::string("-") : organizer) + " is the organizer");
    }
    if (cmd == "CSDELE") return CalDelete(s, entry, args);
    return s.Send(REVO_ERR_UNKNOWN_COMMAND, "Unknown command");
}

// USER address: selects a local user's calendars, forgetting the last's.
bool Server::CalUser(Session& s, std::string_view args) {
    std::string_view who = NextWord(args);
    s.user.clear();
    s.calOpen = false;
    s.foundEntry = 0;
    s.foundInstance.reset();
    if (who.empty() || !args.empty()) return s.Send(REVO_ERR_SYNTAX, "Syntax: USER address");
    if (!IsLocalUser(std::string(who))) return s.Send(REVO_ERR_NO_SUCH_USER, "No such user");
    s.user = Owner(who);
    return s.Send(REVO_OK, s.user + " selected");
}

// CSFIND sequence uid [instance]: remembered for a CSDELE of that instance.
bool Server::CalFind(Session& s, std::string_view args) {
    int64_t seq, when = 0;
    std::string_view seqw = NextWord(args), uid = NextWord(args), inst = NextWord(args);
    if (!ParseI64(seqw, seq) || uid.empty() || (!inst.empty() && !ParseI64(inst, when)) ||
        !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSFIND sequence uid [instance]");
    std::optional<int64_t> instance;
    if (!inst.empty() && when != 0) instance = when;
    int64_t entry = 0;
    switch (store_->CalFind(s.user, std::string(uid), seq, instance, entry)) {
    case Store::Find::Found:
        s.foundEntry = entry;
        s.foundInstance = instance;
        return s.Send(REVO_OK, std::to_string(entry) + " Found");
    case Store::Find::OldSequence:
        return s.Send(REVO_ERR_SEQUENCE_OLD, "Sequence " + std::to_string(seq) + " is out of date");
    case Store::Find::NoEntry:
        break;
    }
    return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
}

// CSATND entry status address
bool Server::CalAttend(Session& s, int64_t entry, std::string_view args) {
    std::string_view letter = NextWord(args), who = NextWord(args);
    if (letter.size() != 1 || !std::strchr(kStatusLetters, Upper(letter)[0]) || who.empty() ||
        !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSATND entry status address");
    switch (store_->CalSetStatus(s.user, entry, std::string(who), Upper(letter)[0])) {
    case Store::Attend::Done:
        return s.Send(REVO_OK, "Status recorded");
    case Store::Attend::NotAttendee:
        return s.Send(REVO_ERR_NOT_ATTENDEE, "Not an attendee");
    case Store::Attend::NoEntry:
        break;
    }
    return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
}

// CSCOMP entry time
bool Server::CalComplete(Session& s, int64_t entry, std::string_view args) {
    int64_t when;
    if (!ParseI64(NextWord(args), when) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSCOMP entry time");
    switch (store_->CalComplete(s.user, entry, when)) {
    case Store::Complete::Done:
        return s.Send(REVO_OK, "Completed");
    case Store::Complete::NotAllCompleted:
        return s.Send(REVO_ERR_NOT_ALL_COMPLETED, "Not every attendee has completed");
    case Store::Complete::NoEntry:
        break;
    }
    return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
}

// CSDELE entry [RECURRING]: without the flag, the instance CSFIND found.
bool Server::CalDelete(Session& s, int64_t entry, std::string_view args) {
    std::string_view flag = NextWord(args);
    if ((!flag.empty() && !EqualNoCase(flag, "RECURRING")) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSDELE entry [RECURRING]");
    std::optional<int64_t> instance;
    if (flag.empty() && entry == s.foundEntry) instance = s.foundInstance;
    if (!store_->CalDelete(s.user, entry, instance))
        return s.Send(REVO_ERR_NO_SUCH_ENTRY, "No such entry");
    if (entry == s.foundEntry) {
        s.foundEntry = 0;
        s.foundInstance.reset();
    }
    return s.Send(REVO_OK, instance ? "Instance deleted" : "Entry deleted");
}

// CSPUT <bytes>, then a block of "KEY value" lines describing one entry
// (KIND, UID, SEQUENCE, ORGANIZER, SUMMARY, START, END, COMPLETED, and any
// number of INSTANCE time and ATTENDEE status address lines). An entry with
// the same UID is replaced.
bool Server::CalPut(Session& s, std::string_view args) {
    uint64_t bytes;
    if (!ParseU64(NextWord(args), bytes) || !args.empty())
        return s.Send(REVO_ERR_SYNTAX, "Syntax: CSPUT bytes");
    if (bytes > kMaxControlText) {
        s.Send(REVO_ERR_TOO_LARGE, "Entry too large");
        return false;
    }
    std::string block;
    if (!s.conn.ReadExact(bytes, block)) return false;
    CalEntry e;
    std::string_view t = block, l;
    while (NextBlockLine(t, l)) {
        if (!ValidControlLine(l)) return s.Send(REVO_ERR_SYNTAX, "Bad entry line");
        std::string_view rest = l;
        const std::string key = Upper(NextWord(rest));
        int64_t n = 0;
        bool ok = true;
        if (key == "KIND") {
            ok = rest.size() == 1 && (rest[0] == 'E' || rest[0] == 'T');
            if (ok) e.kind = rest[0];
        } else if (key == "UID") {
            ok = !rest.empty() && rest.find(' ') == std::string_view::npos;
            e.uid = rest;
        } else if (key == "ORGANIZER") {
            e.organizer = rest;
        } else if (key == "SUMMARY") {
            e.summary = rest;
        } else if (key == "SEQUENCE" || key == "START" || key == "END" || key == "COMPLETED" ||
                   key == "INSTANCE") {
            ok = ParseI64(rest, n);
            if (key == "SEQUENCE")
                e.sequence = n;
            else if (key == "START")
                e.start = n;
            else if (key == "END")
                e.end = n;
            else if (key == "COMPLETED")
                e.completed = n;
            else
                e.instances.push_back(n);
        } else if (key == "ATTENDEE") {
            std::string_view st = NextWord(rest), who = NextWord(rest);
            ok = st.size() == 1 && std::strchr(kStatusLetters, Upper(st)[0]) && !who.empty();
            if (ok) e.attendees.push_back({std::string(who), Upper(st)[0]});
        } else {
            ok = false;
        }
        if (!ok) return s.Send(REVO_ERR_SYNTAX, "Bad entry line: " + std::string(l.substr(0, 100)));
    }
    if (e.uid.empty()) return s.Send(REVO_ERR_SYNTAX, "Entry without UID");
    const int64_t id = store_->CalPut(s.user, e);
    if (id == 0) return s.Send(REVO_ERR_STORE, "Store failure");
    return s.Send(REVO_OK, std::to_string(id) + " Stored");
}

bool Server::CalList(Session& s) {
    std::string out;
    auto entries = store_->CalList(s.user);
    for (const auto& e : entries) {
        const std::string id = std::to_string(e.id);
        out += Reply(REVO_CAL_ENTRY,
                     id + " " + std::string(1, e.kind) + " " + std::to_string(e.sequence) + " " +
                         std::to_string(e.start) + " " + std::to_string(e.end) + " " +
                         std::to_string(e.completed) + " " + e.uid + " " +
                         (e.organizer.empty() ? "-" : e.organizer) + " " + e.summary);
        for (int64_t t : e.instances)
            out += Reply(REVO_CAL_INSTANCE, id + " " + std::to_string(t));
        for (const auto& a : e.attendees)
            out += Reply(REVO_CAL_ATTENDEE, id + " " + std::string(1, a.status) + " " + a.address);
    }
    out += Reply(REVO_OK, std::to_string(entries.size()) + " entries");
    return s.conn.SendAll(out);
}

} // namespace revo
