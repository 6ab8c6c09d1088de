// Runs the markup filters with the host's link prefixes set.
#pragma once

#include "harness.h"

namespace markuptest {

// Web prefix "W/", mail prefix "M/".
inline constexpr char kUrl[] = "W/\0M/";

inline std::string Filter(const char* name, std::string_view input,
                          const std::vector<size_t>& pieces = {}, const char* url = kUrl,
                          const char* linkAttr = nullptr) {
    lwtest::Chain c({{name, 0}});
    if (!c.Ok()) return "<no codec>";
    c.Head()->URL = url;
    c.Head()->LinkAttr = linkAttr;
    return c.Feed(input, pieces);
}

inline std::string Plain(std::string_view in, const std::vector<size_t>& pieces = {}) {
    return Filter("text/plain", in, pieces);
}

inline std::string Html(std::string_view in, const std::vector<size_t>& pieces = {}) {
    return Filter("text/html", in, pieces);
}

} // namespace markuptest
