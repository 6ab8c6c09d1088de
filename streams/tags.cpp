// The tags the text/html filter acts on. Hosts may index the rows, so their
// order is fixed; the filter's own deny list lives beside the filter.
#include "lwstream.h"

#include "ascii.h"

extern "C" const LWTagEntry TagList[] = {
    {"<HEAD", LWTAG_OPEN, 5, 1, nullptr, 0},
    {"</HEAD>", LWTAG_CLOSE, 7, 1, nullptr, 0},
    {"<META ", LWTAG_CHARSET, 6, 0, "CHARSET=", 8},
    {"<A", LWTAG_LINK, 2, 0, "HREF=", 5},
    {"<BODY", LWTAG_DROP, 5, 0, nullptr, 0},
    {"</BODY>", LWTAG_DROP, 7, 0, nullptr, 0},
    {"<HTML", LWTAG_DROP, 5, 0, nullptr, 0},
    {"</HTML>", LWTAG_DROP, 7, 0, nullptr, 0},
    {nullptr, 0, 0, 0, nullptr, 0},
};

extern "C" int LWTagMatch(const char* a, const char* b, int n) {
    if (a == nullptr || b == nullptr) return 0;
    return arbor::EqualNoCaseN(a, b, n > 0 ? static_cast<size_t>(n) : 0) ? 1 : 0;
}
