// The writer: a minimal request or reply text for an object, and the text
// escaper with folding.
#include <ctime>
#include <string>

#include "internal.h"
#include "msgsrv.h"

namespace {

const char* Pick(const char* const* table, int count, int index) {
    return table[index >= 0 && index < count ? index : 0];
}

constexpr const char* kRoles[] = {"CHAIR", "REQ-PARTICIPANT", "OPT-PARTICIPANT", "NON-PARTICIPANT"};
constexpr const char* kCUTypes[] = {"INDIVIDUAL", "GROUP", "RESOURCE", "ROOM", "UNKNOWN"};
constexpr const char* kPartStats[] = {"NEEDS-ACTION", "ACCEPTED",  "DECLINED",  "TENTATIVE",
                                      "DELEGATED",    "COMPLETED", "IN-PROCESS"};

const char* OrEmpty(const char* s) {
    return s ? s : "";
}

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

bool IsControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// A parameter value, written inside quotes: a quote, a caret and a line
// break take the caret escapes of RFC 6868, other controls are dropped, so
// a value can neither end the quotes nor the line.
std::string ParamText(const char* s) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s ? s : ""); *p; ++p) {
        if (*p == '"')
            out += "^'";
        else if (*p == '^')
            out += "^^";
        else if (*p == '\r' || *p == '\n') {
            out += "^n";
            if (*p == '\r' && p[1] == '\n') ++p;
        } else if (!IsControl(*p))
            out += static_cast<char>(*p);
    }
    return out;
}

// A calendar address (the URI behind "mailto:"): controls and spaces are
// percent-encoded, which no URI carries bare.
std::string AddressText(const char* s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s ? s : ""); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7F) {
            out += '%';
            out += kHex[*p >> 4];
            out += kHex[*p & 15];
        } else
            out += static_cast<char>(*p);
    }
    return out;
}

// A TEXT value, escaped and folded at width (0: not folded).
std::string TextValue(const char* s, int width) {
    char fixed[1024];
    const size_t need = ICalEscapeText(s, fixed, sizeof fixed, width);
    if (need < sizeof fixed) return fixed;
    std::string big(need + 1, '\0');
    ICalEscapeText(s, big.data(), big.size(), width);
    big.resize(need);
    return big;
}

} // namespace

extern "C" {

size_t ICalEscapeText(const char* text, char* buffer, size_t size, int width) {
    if (!text) text = "";
    size_t need = 0;     // length of the complete result
    size_t written = 0;  // bytes stored in buffer
    size_t boundary = 0; // length stored up to the last whole character
    bool full = size == 0;
    int counter = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        char piece[5];
        size_t len = 0;
        if (width > 0 && ++counter > width) {
            piece[len++] = '\r';
            piece[len++] = '\n';
            piece[len++] = ' ';
            counter = 0;
        }
        switch (*p) {
        case '\r':
            if (p[1] == '\n') ++p; // CR LF is one line break
            [[fallthrough]];
        case '\n':
            piece[len++] = '\\';
            piece[len++] = 'N';
            break;
        case ':':
        case ';':
        case ',':
        case '\\':
            piece[len++] = '\\';
            piece[len++] = static_cast<char>(*p);
            break;
        default:
            // Other controls have no place in a text value.
            if (!IsControl(*p)) piece[len++] = static_cast<char>(*p);
        }
        if (!full && !IsContinuation(*p)) boundary = written;
        need += len;
        if (!full) {
            if (written + len < size) {
                std::memcpy(buffer + written, piece, len);
                written += len;
            } else {
                // Cut before the character this byte belongs to.
                full = true;
                written = IsContinuation(*p) ? boundary : written;
            }
        }
    }
    if (size) buffer[written] = '\0';
    return need;
}

int ICalWriteAttendees(const ICalObject* object, FILE* stream) {
    if (!object || !stream) return 1;
    for (const ICalAttendee* a = object->Attendees; a; a = a->Next) {
        const char* address = OrEmpty(a->Address);
        std::fprintf(stream,
                     "ATTENDEE;CN=\"%s\";ROLE=\"%s\";\r\n PARTSTAT=\"%s\";RSVP=\"%s\";"
                     "CUTYPE=\"%s\":MAILTO:%s\r\n",
                     ParamText(a->CN ? a->CN : address).c_str(), Pick(kRoles, 4, a->Role),
                     Pick(kPartStats, 7, a->PartStat), a->RSVP == 1 ? "TRUE" : "FALSE",
                     Pick(kCUTypes, 5, a->CUType), AddressText(address).c_str());
    }
    return 1;
}

int ICalWriteObject(const ICalObject* object, FILE* stream) {
    if (!object || !stream) return 1;
    std::fputs("BEGIN:VCALENDAR\r\nPRODID:-//Ostara Inc//Quill Lattice//\r\nVERSION:2.0\r\n",
               stream);
    if (object->Method == ICAL_METHOD_REQUEST)
        std::fputs("METHOD:REQUEST\r\n", stream);
    else if (object->Method == ICAL_METHOD_REPLY)
        std::fputs("METHOD:REPLY\r\n", stream);
    static constexpr const char* kKinds[] = {nullptr, nullptr, "VEVENT", "VJOURNAL", "VTODO"};
    const char* kind = object->Kind >= 2 && object->Kind <= 4 ? kKinds[object->Kind] : nullptr;
    if (kind) std::fprintf(stream, "BEGIN:%s\r\n", kind);
    if (const ICalOrganizer* org = object->Organizer) {
        if (org->CN)
            std::fprintf(stream, "ORGANIZER;CN=\"%s\":mailto:%s\r\n", ParamText(org->CN).c_str(),
                         AddressText(org->Address).c_str());
        else
            std::fprintf(stream, "ORGANIZER:mailto:%s\r\n", AddressText(org->Address).c_str());
    }
    ICalWriteAttendees(object, stream);
    std::fprintf(stream, "SEQUENCE:%lu\r\n", static_cast<unsigned long>(object->Sequence));
    // Every value is escaped for its type: the UID is text like the summary
    // (not folded, as it was always written on one line).
    std::fprintf(stream, "UID:%s\r\n", TextValue(object->UID, 0).c_str());
    std::fprintf(stream, "SUMMARY:%s\r\n", TextValue(object->Summary, 60).c_str());

    int day, month, year, hour, minute, second;
    DTGetDMY(static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr))), &day, &month, &year,
             &hour, &minute, &second);
    std::fprintf(stream, "DTSTAMP:%04d%02d%02dT%02d%02d%02dZ\r\n", year, month, day, hour, minute,
                 second);
    if (kind) std::fprintf(stream, "END:%s\r\n", kind);
    std::fputs("END:VCALENDAR\r\n", stream);
    return 1;
}

} // extern "C"
