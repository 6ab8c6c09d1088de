// libFuzzer target: parse, walk the occurrences, write the object back.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ical.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Exactly size bytes, no NUL behind: any read past the end is caught.
    std::vector<char> text(data, data + size);
    ICalObject* o = ICalParse(nullptr, text.data(), size);
    if (!o) return 0;
    ICalOccurrence occ;
    int n = 0;
    // A dense rule can have millions of occurrences; a prefix is enough.
    for (int r = ICalFirstOccurrence(o, &occ); r && n < 2000; r = ICalNextOccurrence(o, &occ))
        ++n;
    if (o->UID && o->Summary) {
        if (FILE* f = std::fopen("/dev/null", "w")) {
            ICalWriteObject(o, f);
            std::fclose(f);
        }
        char small[17];
        ICalEscapeText(o->Summary, small, sizeof small, 5);
    }
    ICalFree(o);
    return 0;
}
