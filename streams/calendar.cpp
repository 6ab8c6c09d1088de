// The text/calendar collector: gathers the decoded part in memory and, at the
// end of the stream, parses it and hands the calendar object to the host.
#include "codec.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "ical.h"

// The library's own hook; a host that wants the objects defines LWCalendarHook
// itself, which takes precedence over this weak definition.
extern "C" __attribute__((weak)) int LWCalendarHook(uintptr_t, const char*, ICalObject*) {
    return 0;
}

namespace lw {

void CollectInMemory(LWStream* in, const unsigned char* p, size_t n) {
    // A negative Count marks a collection that already lost bytes; it stays
    // lost rather than resume with a hole in the text.
    if (in->Count < 0) return;
    char* data = static_cast<char*>(in->Data);
    const size_t count = static_cast<size_t>(in->Count);
    // Count is a signed 32-bit field, so a text that would overflow it is
    // treated like exhausted memory.
    char* grown = nullptr;
    if (count + n < static_cast<size_t>(INT32_MAX)) {
        grown = static_cast<char*>(std::realloc(data, count + n + 1));
    }
    if (grown == nullptr) {
        std::free(data); // do not leak what was collected so far
        in->Data = nullptr;
        in->Count = -1;
        return;
    }
    if (n > 0) std::memcpy(grown + count, p, n);
    in->Data = grown;
    in->Count = static_cast<int32_t>(count + n);
}

uint32_t CalendarCollect(LWStream* in, LWStream*) {
    const size_t n = InLen(in);
    CollectInMemory(in, in->Start, n);
    if (in->EOS && in->Data != nullptr) {
        char* text = static_cast<char*>(in->Data);
        text[in->Count] = '\0';
        ICalObject* object = ICalParse(nullptr, text, static_cast<size_t>(in->Count));
        if (object != nullptr) {
            LWCalendarHook(in->Client, "text/calendar", object);
            ICalFree(object);
            std::free(in->Data);
            in->Data = nullptr;
            in->Count = 0; // a collector used again starts empty
        }
    }
    return static_cast<uint32_t>(n);
}

} // namespace lw
