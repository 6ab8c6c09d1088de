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

uint32_t CalendarCollect(LWStream* in, LWStream*) {
    const size_t n = InLen(in);
    // A negative Count marks a collection that already lost bytes; it stays
    // lost rather than resume with a hole in the text.
    if (in->Count < 0) return static_cast<uint32_t>(n);
    char* data = static_cast<char*>(in->Data);
    const size_t count = in->Count > 0 ? static_cast<size_t>(in->Count) : 0;
    // Grow to hold the bytes and a terminating NUL. Count is a signed 32-bit
    // field, so a part that would overflow it is treated like exhausted memory.
    char* grown = nullptr;
    if (count + n < static_cast<size_t>(INT32_MAX)) {
        grown = static_cast<char*>(std::realloc(data, count + n + 1));
    }
    if (grown == nullptr) {
        std::free(data); // do not leak what was collected so far
        in->Data = nullptr;
        in->Count = -1;
    } else {
        if (n > 0) std::memcpy(grown + count, in->Start, n);
        in->Data = grown;
        in->Count = static_cast<int32_t>(count + n);
    }
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
