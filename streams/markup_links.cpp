// Links of the markup filters: the host's prefixes and the schemes that no
// rewritten page may follow.
#include "markup.h"

#include "ascii.h"

namespace lw::markup {

Prefixes LinkPrefixes(LWStream* in) {
    static constexpr char kNone[2] = {'\0', '\0'};
    if (in->URL == nullptr) {
        ConsoleMessage("\rHTML.H: Missing required URL argument\n");
        in->URL = kNone;
    }
    const char* web = in->URL;
    const size_t n = std::strlen(web);
    return {{web, n}, {web + n + 1}};
}

namespace {

// Value of the character reference at v[i] ('&'), advancing i past it; 0
// when it is none the scheme check knows (the '&' then stands for itself).
uint32_t Reference(std::string_view v, size_t& i) {
    size_t j = i + 1;
    if (j < v.size() && v[j] == '#') {
        const bool hex = j + 1 < v.size() && (v[j + 1] == 'x' || v[j + 1] == 'X');
        j += hex ? 2 : 1;
        uint32_t cp = 0;
        size_t digits = 0;
        for (; j < v.size(); ++j, ++digits) {
            const char c = arbor::AsciiLower(v[j]);
            uint32_t d;
            if (c >= '0' && c <= '9') {
                d = static_cast<uint32_t>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                d = static_cast<uint32_t>(c - 'a' + 10);
            } else {
                break;
            }
            cp = cp > 0x10FFFF ? cp : cp * (hex ? 16 : 10) + d;
        }
        if (digits == 0) return 0;
        if (j < v.size() && v[j] == ';') ++j;
        i = j;
        return cp == 0 ? 0xFFFD : cp;
    }
    // The named references a browser reads inside a scheme.
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"colon;", ':'}, {"tab;", '\t'}, {"newline;", '\n'}};
    for (const auto& [name, c] : kNamed) {
        if (arbor::StartsWithNoCase(v.substr(j), name)) {
            i = j + name.size();
            return static_cast<unsigned char>(c);
        }
    }
    return 0;
}

} // namespace

bool DangerousScheme(std::string_view v) {
    static constexpr std::string_view kSchemes[] = {"javascript:", "vbscript:", "data:"};
    char head[12];
    size_t n = 0;
    for (size_t i = 0; i < v.size() && n < sizeof head;) {
        uint32_t c = static_cast<unsigned char>(v[i]);
        if (c == '&') {
            const uint32_t r = Reference(v, i);
            if (r == 0) ++i;
            c = r == 0 ? '&' : r;
        } else {
            ++i;
        }
        if (c <= 0x20 || c == 0x7F) continue;
        head[n++] = c < 0x80 ? arbor::AsciiLower(static_cast<char>(c)) : '\x80';
        if (c == ':') break;
    }
    const std::string_view h(head, n);
    for (const auto scheme : kSchemes)
        if (h == scheme) return true;
    return false;
}

} // namespace lw::markup
