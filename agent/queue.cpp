// Queue entry processing: control lines, part selection, fetching and decoding
// the calendar part, and the recipients' updates.
#include "internal.h"

#include "codec.h"
#include "malloc_ptr.h"

#include "ical.h"
#include "kdx.h"
#include "lwstream.h"
#include "msgsrv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr size_t kQueueIdMax = 15;
constexpr size_t kWordMax = 63;
// The control text of one entry, counting one byte for each line end (the
// servers store no more than this).
constexpr size_t kControlTextMax = 1u << 20;
// The largest calendar part fetched; a larger one is not looked at and the
// mail is delivered as usual.
constexpr unsigned long kCalendarPartMax = 16ul << 20;

using HeapText = arbor::MallocPtr<char>;

struct ValueStructGuard {
    KDXValueStruct* vs;
    ~ValueStructGuard() {
        if (vs) KDXDestroyValueStruct(vs);
    }
};

struct ObjectGuard {
    ICalObject* object = nullptr;
    ~ObjectGuard() {
        if (object) ICalFree(object);
    }
};

// The selected text/calendar part as the structure listing gives it.
struct CalendarPart {
    bool selected = false;
    char encoding[kWordMax + 1] = "";
    unsigned long start = 0;
    unsigned long length = 0;
};

// Copies the next white-space-separated word of *p into out; false when there
// is none or it is longer than kWordMax (refused rather than cut: a cut type
// or encoding name could match something it is not).
bool NextWord(const char*& p, char (&out)[kWordMax + 1]) {
    while (*p == ' ' || *p == '\t')
        ++p;
    const char* b = p;
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    size_t n = static_cast<size_t>(p - b);
    if (n == 0 || n > kWordMax) return false;
    memcpy(out, b, n);
    out[n] = '\0';
    return true;
}

bool NextNumber(const char*& p, unsigned long& out) {
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p < '0' || *p > '9') return false;
    char* end;
    out = strtoul(p, &end, 10);
    p = end;
    return true;
}

// Reads a 2002 structure line: type, subtype, charset, encoding, a quoted
// name, then start and length.
bool ParseStructureLine(const char* text, char (&type)[kWordMax + 1], char (&subtype)[kWordMax + 1],
                        char (&encoding)[kWordMax + 1], unsigned long& start,
                        unsigned long& length) {
    char charset[kWordMax + 1];
    const char* p = text;
    if (!NextWord(p, type) || !NextWord(p, subtype) || !NextWord(p, charset) ||
        !NextWord(p, encoding))
        return false;
    const char* q = strchr(p, '"');
    if (!q) return false;
    q = strchr(q + 1, '"');
    if (!q) return false;
    p = q + 1;
    return NextNumber(p, start) && NextNumber(p, length);
}

// Sends a command on the queue connection. One that cannot be sent as it is
// (a value fails its check) drops the connection, so the server keeps the
// entry as it was: a line changed or left out would lose a recipient.
void SendOrDrop(REVOConnection* c, const dayward::Command& command) {
    if (!command.Ok()) dayward::EndConnection(c);
    command.Send(c);
}

// Sends the kept lines' QMOD RAW commands (none read a reply) and QDONE in
// one write, reads the one reply line, and ends the thread.
[[noreturn]] void Finish(REVOConnection* c, char* line, std::string handBack = {}) {
    handBack += "QDONE\r\n";
    dayward::SendLines(c, handBack);
    REVOReadLine(c, line, REVO_LINE_BUFFER, 0);
    dayward::EndConnection(c);
}

// Fetches the selected part with QBRAW, decodes it and parses it. Null when
// the server refuses, decoding fails or memory runs out.
ICalObject* FetchCalendar(REVOConnection* c, const char* queueId, const CalendarPart& part,
                          char* line) {
    if (part.length > kCalendarPartMax) return nullptr;
    SendOrDrop(c, dayward::Command("QBRAW").Word(queueId).Number(part.start).Number(part.length));
    int code = REVOReadLine(c, line, REVO_LINE_BUFFER, 1);
    if (code != REVO_BYTES_FOLLOW && code != REVO_BYTES_FOLLOW_LAST) return nullptr;
    long announced = strtol(line, nullptr, 10);
    if (announced < 0) return nullptr;
    // More than was asked for cannot be skipped without reading it all: the
    // server is not making sense, so the entry stays as it was.
    if (static_cast<unsigned long>(announced) > kCalendarPartMax) dayward::EndConnection(c);
    int32_t count = static_cast<int32_t>(announced);

    // The bytes go from the connection through the transfer decoder, when the
    // part has one, into memory.
    const bool decode =
        ICalEqual(part.encoding, "quoted-printable") || ICalEqual(part.encoding, "base64");
    arbor::MallocPtr<unsigned char> decBuf(
        decode ? static_cast<unsigned char*>(malloc(LWSTREAM_BUFSIZE)) : nullptr);
    arbor::MallocPtr<unsigned char> sinkBuf(static_cast<unsigned char*>(malloc(LWSTREAM_BUFSIZE)));
    LWStream sink{};
    LWStream decoder{};
    LWStream source{};
    sink.Start = sinkBuf.get();
    sink.End = sink.Start + LWSTREAM_BUFSIZE;
    sink.Codec = DaywardStreamToMemory;
    decoder.Start = decBuf.get();
    decoder.End = decoder.Start + LWSTREAM_BUFSIZE;
    decoder.Codec = decode ? LWStreamFindCodec(part.encoding, 0) : nullptr;
    decoder.Next = &sink;
    source.Data = c;
    source.Count = count;
    source.Codec = DaywardStreamFromREVO;
    source.Next = decode ? &decoder : &sink;
    if (!sinkBuf || (decode && (!decBuf || !decoder.Codec))) {
        // The bytes are on their way all the same; take them off the connection.
        LWStream drop{};
        arbor::MallocPtr<unsigned char> dropBuf(
            static_cast<unsigned char*>(malloc(LWSTREAM_BUFSIZE)));
        if (!dropBuf) dayward::EndConnection(c);
        drop.Start = dropBuf.get();
        drop.End = drop.Start + LWSTREAM_BUFSIZE;
        drop.Codec = DaywardStreamToMemory;
        source.Next = &drop;
        source.Codec(&source, &drop);
        free(drop.Data);
        return nullptr;
    }
    source.Codec(&source, source.Next);
    HeapText text(static_cast<char*>(sink.Data));
    if (!text) return nullptr;
    // Undecoded, every announced byte must have arrived: a connection that
    // ended early is dropped, and the server keeps the entry.
    if (!decode && sink.Count != count) dayward::EndConnection(c);
    text.get()[sink.Count] = '\0';
    return ICalParse(nullptr, text.get(), static_cast<size_t>(sink.Count));
}

// The decimal flags number after the last space of a recipient line.
unsigned long RecipientFlags(std::string_view line) {
    size_t sp = line.rfind(' ');
    std::string digits(line.substr(sp == std::string_view::npos ? 1 : sp + 1));
    return strtoul(digits.c_str(), nullptr, 10);
}

// The first word after the kind letter.
std::string FirstWord(std::string_view line) {
    size_t b = 1;
    size_t e = b;
    while (e < line.size() && line[e] != ' ' && line[e] != '\t' && line[e] != '\r' &&
           line[e] != '\n')
        ++e;
    return std::string(line.substr(b, e - b));
}

// Reads the offer and the entry's control lines, kept whole in the order
// received (an empty line too), each ended by a line feed in one block.
std::string ReadControlLines(REVOConnection* c, char* line, char (&queueId)[kQueueIdMax + 1]) {
    if (REVOReadLine(c, line, REVO_LINE_BUFFER, 1) != REVO_QUEUE_OFFER) {
        REVOSendAll(c, "QDONE\r\n", 7);
        dayward::EndConnection(c);
    }
    const char* space = strchr(line, ' ');
    // An identifier too long for its 16 bytes is refused, not cut: a cut one
    // would name some other entry.
    if (!space || static_cast<size_t>(space - line) > kQueueIdMax) Finish(c, line);
    memcpy(queueId, line, static_cast<size_t>(space - line));
    queueId[space - line] = '\0';
    unsigned long announced = strtoul(space + 1, nullptr, 10);

    // The announced size is only a hint; past the limit the connection is
    // dropped and the server keeps the entry as it was.
    std::string control;
    constexpr unsigned long kReserveMax = 64ul << 10; // an offer that never comes costs little
    control.reserve(announced < kReserveMax ? announced : kReserveMax);
    for (;;) {
        int lead = REVOReadLine(c, line, REVO_LINE_BUFFER, 0);
        if (lead == REVO_QUEUE_END_CONTROL) break;
        size_t n = strlen(line);
        if (control.size() + n + 1 > kControlTextMax) dayward::EndConnection(c);
        control.append(line, n);
        control += '\n';
    }
    return control;
}

// Walks the QMIME structure and picks the text/calendar part: at the top, or
// one level down in a message or multipart, there only inside the first
// multipart/alternative. A later match replaces an earlier one.
CalendarPart PickCalendarPart(REVOConnection* c, const char* queueId, char* line) {
    SendOrDrop(c, dayward::Command("QMIME").Word(queueId));
    CalendarPart part;
    int depth = 0;
    int alternatives = 0;
    for (;;) {
        int code = REVOReadLine(c, line, REVO_LINE_BUFFER, 1);
        if (code / 1000 != 2) break; // any other 2xxx line is skipped
        if (code == REVO_MIME_PART) {
            char type[kWordMax + 1], subtype[kWordMax + 1], encoding[kWordMax + 1];
            unsigned long start, length;
            if (!ParseStructureLine(line, type, subtype, encoding, start, length)) continue;
            if (depth == 0 && (ICalEqual(type, "multipart") || ICalEqual(type, "message"))) {
                depth = 1;
                if (ICalEqual(subtype, "alternative")) ++alternatives;
            }
            if (static_cast<unsigned>(depth) <= 1 && ICalEqual(type, "text") &&
                ICalEqual(subtype, "calendar") && (depth == 0 || alternatives == 1)) {
                part.selected = true;
                memcpy(part.encoding, encoding, sizeof encoding);
                part.start = start;
                part.length = length;
            }
        } else if (code == REVO_MIME_END_PART) {
            --depth;
        } else if (code == REVO_MIME_END_ALTERN) {
            --alternatives;
            --depth;
        }
    }
    return part;
}

// What one entry's recipients share: the part, the calendar object fetched
// for the first local recipient, and the scratch structure for look-ups.
struct EntryState {
    REVOConnection* c;
    const char* queueId;
    CalendarPart part;
    KDXValueStruct* vs;
    ObjectGuard cal;
    char* line;
};

// Applies the calendar object to one recipient's calendar. True when it was
// applied, so that the recipient's line is not handed back.
bool ApplyToRecipient(EntryState& e, std::string_view ctl, const std::string& sender) {
    // Bit 0x80 of the flags marks a recipient the queue wants left alone: its
    // line goes back unchanged, without a directory look-up.
    if (RecipientFlags(ctl) & 0x80) return false;
    std::string recipient = FirstWord(ctl);
    char name[256] = "";
    uint32_t storeIp = 0;
    // Without a scratch structure there is no look-up: the line is kept.
    int found = e.vs ? MSGFindUser(recipient.c_str(), name, 0, &storeIp, e.vs) : 0;
    if (e.vs) KDXFreeValues(e.vs);
    if (!found) return false;
    if (!e.cal.object) e.cal.object = FetchCalendar(e.c, e.queueId, e.part, e.line);
    ICalObject* object = e.cal.object;
    if (!object) return false;
    sockaddr_in store{};
    store.sin_addr.s_addr = storeIp;
    if (object->Method == ICAL_METHOD_REPLY) {
        ICalAttendee* a = object->Attendees;
        while (a && !(a->Address && ICalEqual(a->Address, sender.c_str())))
            a = a->Next;
        return a && StoreReply(object, a, &store, recipient.c_str(), e.line);
    }
    if (object->Method == ICAL_METHOD_CANCEL)
        return StoreCancel(object, &store, recipient.c_str(), e.line, sender.c_str());
    return false;
}

// One queue entry: read the control lines, pick the calendar part, apply it
// per recipient, and hand back every line that was not applied.
void HandleEntry(REVOConnection* c) {
    char line[REVO_LINE_BUFFER];
    ValueStructGuard vsg{KDXInitValueStruct(nullptr, nullptr)};
    char queueId[kQueueIdMax + 1];
    const std::string control = ReadControlLines(c, line, queueId);
    EntryState e{c, queueId, PickCalendarPart(c, queueId, line), vsg.vs, {}, line};
    if (!e.part.selected) Finish(c, line);

    std::string sender, handBack;
    bool haveSender = false;
    for (size_t at = 0; at < control.size();) {
        size_t lf = control.find('\n', at);
        const std::string_view ctl(control.data() + at, lf - at);
        at = lf + 1;
        bool keep = true;
        char kind = ctl.empty() ? '\0' : ctl[0];
        if (kind == 'F' && !haveSender) {
            sender = FirstWord(ctl);
            haveSender = true;
        } else if ((kind == 'L' || kind == 'M') && haveSender) {
            keep = !ApplyToRecipient(e, ctl, sender);
        }
        // A line that cannot be handed back as it is drops the connection:
        // the entry stays as it was rather than lose a recipient.
        if (keep && !dayward::Command("QMOD").Word("RAW").Text(ctl).AppendTo(handBack))
            dayward::EndConnection(c);
    }
    Finish(c, line, std::move(handBack));
}

} // namespace

extern "C" {

void* HandleConnection(void* arg) {
    HandleEntry(static_cast<REVOConnection*>(arg));
    return nullptr;
}

uint32_t DaywardStreamFromREVO(LWStream* source, LWStream* next) {
    auto* c = static_cast<REVOConnection*>(source->Data);
    int32_t remaining = source->Count;
    while (c->BufferedLength > 0) {
        if (remaining < 1) return static_cast<uint32_t>(source->Count);
        int32_t room = static_cast<int32_t>(next->End - next->Start) - next->Len;
        int32_t n = remaining;
        if (room < n) n = room;
        if (c->BufferedLength < n) n = c->BufferedLength;
        if (n > 0) {
            memcpy(next->Start + next->Len, c->LineBuffer, static_cast<size_t>(n));
            memmove(c->LineBuffer, c->LineBuffer + n,
                    static_cast<size_t>(c->BufferedLength - n) + 1);
            next->Len += n;
            c->BufferedLength -= n;
            remaining -= n;
        }
        if (remaining < 1) next->EOS = 1;
        uint32_t before = static_cast<uint32_t>(next->Len);
        LWStreamFlush(next, remaining < 1);
        // A codec that consumes nothing from a full buffer can never make room.
        if (n == 0 && static_cast<uint32_t>(next->Len) == before) return 0;
    }
    while (remaining > 0) {
        int32_t room = static_cast<int32_t>(next->End - next->Start) - next->Len;
        int32_t want = remaining < room ? remaining : room;
        if (want < 1) return 0;
        int r = FuncTbl[2 + c->UseSSL](c, next->Start + next->Len, want);
        if (r < 1) break;
        next->Len += r;
        remaining -= r;
        if (remaining < 1) next->EOS = 1;
        LWStreamFlush(next, remaining < 1);
    }
    return static_cast<uint32_t>(source->Count);
}

uint32_t DaywardStreamToMemory(LWStream* stream, LWStream*) {
    if (stream->Len > 0)
        lw::CollectInMemory(stream, stream->Start, static_cast<size_t>(stream->Len));
    return static_cast<uint32_t>(stream->Len);
}

} // extern "C"
