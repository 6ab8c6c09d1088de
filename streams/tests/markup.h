// Runs the markup filters with the host's link prefixes set.
#pragma once

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

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

// An input and what the filter must make of it.
struct Case {
    std::string in, want;
};

inline void ExpectFilter(const char* name, const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(Filter(name, c.in), c.want) << name << " of: " << c.in;
}

inline const std::set<std::string> kDeniedTags = {
    "script",   "style", "iframe",   "object", "embed",     "frame",   "frameset",
    "form",     "base",  "applet",   "link",   "svg",       "math",    "noembed",
    "noframes", "title", "textarea", "xmp",    "plaintext", "noscript"};

inline std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

inline bool IsWs(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// An attribute value as a browser reads a URL's scheme: references decoded
// (the few that matter), white space and controls gone, lower case.
inline std::string SchemeOf(const std::string& v) {
    std::string r;
    for (size_t i = 0; i < v.size() && r.size() < 12; ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        const std::string rest = Lower(v.substr(i + 1, 12));
        if (c == '&' && rest.size() > 1 && rest[0] == '#') {
            // A numeric reference ends with its digits; a ';' after them is its own.
            const bool hex = rest[1] == 'x';
            const char* digits = v.c_str() + i + (hex ? 3 : 2);
            char* end;
            const unsigned long cp = std::strtoul(digits, &end, hex ? 16 : 10);
            if (end != digits && std::isxdigit(static_cast<unsigned char>(*digits))) {
                c = cp < 0x80 ? static_cast<unsigned char>(cp) : 0x80;
                i = static_cast<size_t>(end - v.c_str()) - (*end == ';' ? 0 : 1);
            }
        } else if (c == '&') {
            for (const auto& [name, ch] :
                 {std::pair<std::string, char>{"colon;", ':'}, {"tab;", ' '}, {"newline;", ' '}}) {
                if (rest.compare(0, name.size(), name) == 0) {
                    c = static_cast<unsigned char>(ch);
                    i += name.size();
                    break;
                }
            }
        }
        if (c <= 0x20 || c == 0x7F) continue;
        r += static_cast<char>(std::tolower(c));
        if (c == ':') break;
    }
    return r;
}

// Reads the filter's output as a browser would and reports the first thing
// on the deny list: a tag, an event handler, a script address, a comment or
// declaration, or a '<' that starts a tag never closed.
inline std::string FirstViolation(const std::string& out) {
    for (size_t i = out.find('<'); i != out.npos; i = out.find('<', i + 1)) {
        size_t j = i + 1;
        if (j < out.size() && out[j] == '/') ++j;
        if (j >= out.size() || !std::isalpha(static_cast<unsigned char>(out[j])))
            return "a '<' that is no tag at " + std::to_string(i);
        size_t k = j;
        while (k < out.size() && !IsWs(out[k]) && out[k] != '/' && out[k] != '>')
            ++k;
        const std::string name = Lower(out.substr(j, k - j));
        if (kDeniedTags.count(name)) return "tag " + name;
        // Attributes, by the browser's rules.
        for (;;) {
            while (k < out.size() && (IsWs(out[k]) || out[k] == '/'))
                ++k;
            if (k >= out.size()) return "unclosed tag at " + std::to_string(i);
            if (out[k] == '>') break;
            size_t a = k++;
            while (k < out.size() && !IsWs(out[k]) && out[k] != '/' && out[k] != '>' &&
                   out[k] != '=')
                ++k;
            const std::string attr = Lower(out.substr(a, k - a));
            if (attr.rfind("on", 0) == 0 || attr == "http-equiv") return "attribute " + attr;
            size_t e = k;
            while (e < out.size() && IsWs(out[e]))
                ++e;
            if (e >= out.size() || out[e] != '=') continue;
            ++e;
            while (e < out.size() && IsWs(out[e]))
                ++e;
            std::string value;
            if (e < out.size() && (out[e] == '"' || out[e] == '\'')) {
                size_t q = out.find(out[e], e + 1);
                if (q == out.npos) return "unclosed value";
                value = out.substr(e + 1, q - e - 1);
                k = q + 1;
            } else {
                k = e;
                while (k < out.size() && !IsWs(out[k]) && out[k] != '>')
                    ++k;
                value = out.substr(e, k - e);
            }
            const std::string scheme = SchemeOf(value);
            if (scheme == "javascript:" || scheme == "vbscript:" || scheme == "data:")
                return "address " + value;
        }
        i = k;
    }
    return "";
}

// The tags text/plain writes itself; every other '<' must be escaped, and
// nothing inside an HREF value may end it.
inline std::string PlainViolation(const std::string& out) {
    for (size_t i = out.find('<'); i != out.npos; i = out.find('<', i + 1)) {
        if (out.compare(i, 4, "<BR>") == 0 || out.compare(i, 4, "</A>") == 0) continue;
        const std::string open = "<A TARGET=\"__eb\" HREF=\"";
        const std::string mail = "<A  HREF=\"";
        size_t v;
        if (out.compare(i, open.size(), open) == 0) {
            v = i + open.size();
        } else if (out.compare(i, mail.size(), mail) == 0) {
            v = i + mail.size();
        } else {
            return "unescaped '<' at " + std::to_string(i);
        }
        const size_t end = out.find("\">", v);
        if (end == out.npos) return "unclosed link";
        if (out.find_first_of("<>\"", v) != end) return "HREF value broken at " + std::to_string(i);
        i = end;
    }
    return "";
}

} // namespace markuptest
