// Baseline measurements through the system's C calendar library, when the
// build found it.
#include "baseline.h"

#include <libical/ical.h>

namespace baseline {

bool Available() {
    return true;
}

int Parse(const char* text) {
    icalcomponent* c = icalparser_parse_string(text);
    if (!c) return 0;
    const int n = icalcomponent_count_components(c, ICAL_ANY_COMPONENT);
    icalcomponent_free(c);
    return n + 1;
}

int Expand(const char* rule, const char* start, int lastYear) {
    struct icalrecurrencetype r = icalrecurrencetype_from_string(rule);
    struct icaltimetype t0 = icaltime_from_string(start);
    struct icaltimetype end = icaltime_null_time();
    end.year = lastYear;
    end.month = 12;
    end.day = 31;
    end.hour = 23;
    end.minute = 59;
    end.second = 59;
    icalrecur_iterator* it = icalrecur_iterator_new(r, t0);
    if (!it) return 0;
    int n = 0;
    for (struct icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
         t = icalrecur_iterator_next(it)) {
        if (icaltime_compare(t, end) > 0) break;
        ++n;
    }
    icalrecur_iterator_free(it);
    return n;
}

} // namespace baseline
