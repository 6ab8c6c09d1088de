#include "text.h"

#include "pdksa.h"

#include <algorithm>
#include <cstring>

namespace pdksa {

namespace {

void PutUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one character at in[i]; returns its byte length, 0 when malformed
// (overlong forms, surrogates, truncated sequences, values above U+10FFFF).
size_t DecodeUtf8(std::string_view in, size_t i, uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t len;
    uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (in.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(in[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

uint32_t FoldChar(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0x80) return c;
    // Latin-1, Greek and Cyrillic capitals map to small letters of the same
    // encoded length, so folding never moves component boundaries.
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x137 && (c % 2) == 0) return c + 1;
    if (c >= 0x14A && c <= 0x177 && (c % 2) == 0) return c + 1;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

} // namespace

bool Utf16ToUtf8(const uint16_t* units, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= n || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
        PutUtf8(u, out);
    }
    return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    for (size_t i = 0; i < in.size();) {
        uint32_t cp;
        const size_t len = DecodeUtf8(in, i, cp);
        if (len == 0) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

bool ValidUtf8(std::string_view in) {
    for (size_t i = 0; i < in.size();) {
        uint32_t cp;
        const size_t len = DecodeUtf8(in, i, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

size_t Utf16Length(std::string_view in) {
    size_t n = 0;
    for (size_t i = 0; i < in.size();) {
        uint32_t cp;
        const size_t len = DecodeUtf8(in, i, cp);
        if (len == 0) return n + (in.size() - i); // not reached for valid input
        n += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return n;
}

std::string Fold(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        uint32_t cp;
        const size_t len = DecodeUtf8(in, i, cp);
        if (len == 0) { // stored texts are valid; keep any other byte as it is
            out.push_back(in[i++]);
            continue;
        }
        PutUtf8(FoldChar(cp), out);
        i += len;
    }
    return out;
}

bool GlobMatch(std::string_view text, std::string_view pattern) {
    size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p, ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

NameForm SlashForm() {
    return NameForm{};
}

NameForm DotForm() {
    NameForm f;
    f.leafFirst = true;
    f.separator = '.';
    f.escape = '\\';
    return f;
}

bool FormFromTable(const uint16_t* table, NameForm& form) {
    if (table[0] > 1 || table[3] == 0 || table[5] == 0) return false;
    form.leafFirst = table[0] == 1;
    form.separator = table[3];
    form.typeSep = table[5];
    form.escape = table[7];
    return form.separator < 0x80 && form.typeSep < 0x80 && form.escape < 0x80;
}

namespace {

// Removes a leading attribute type ("CN=", "OU=") from a component.
std::string_view StripType(std::string_view comp, char typeSep) {
    size_t i = 0;
    while (i < comp.size() && i <= 16 &&
           ((comp[i] >= 'A' && comp[i] <= 'Z') || (comp[i] >= 'a' && comp[i] <= 'z') ||
            (i > 0 && comp[i] >= '0' && comp[i] <= '9')))
        ++i;
    if (i > 0 && i < comp.size() && comp[i] == typeSep) return comp.substr(i + 1);
    return comp;
}

int CheckComponent(std::string_view comp) {
    if (comp.empty() || comp == "." || comp == "..") return DDCERR_ILLEGAL_DS_NAME;
    for (char c : comp)
        if (static_cast<unsigned char>(c) < 0x20 || c == '\\') return DDCERR_ILLEGAL_DS_NAME;
    if (Utf16Length(comp) > DDC_MAX_RDN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    return 0;
}

bool LooksDotted(std::string_view name) {
    if (name.find('\\') != std::string_view::npos) return false;
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    return StripType(name.substr(0, dot), '=').size() != dot;
}

} // namespace

int ParseName(std::string_view name, const NameForm* explicitForm, ParsedName& out) {
    out = ParsedName{};
    if (!ValidUtf8(name)) return DDCERR_NO_CHARACTER_MAPPING;
    if (Utf16Length(name) > DDC_MAX_DN_CHARS) return DDCERR_ILLEGAL_DS_NAME;
    if (name.empty()) return DDCERR_ILLEGAL_DS_NAME;
    if (name == ".") {
        out.kind = ParsedName::Self;
        return 0;
    }
    NameForm form = explicitForm ? *explicitForm : (LooksDotted(name) ? DotForm() : SlashForm());
    const char sep = static_cast<char>(form.separator);
    const char esc = static_cast<char>(form.escape);
    const char typeSep = static_cast<char>(form.typeSep);

    std::vector<std::string> parts;
    std::string cur;
    size_t i = 0;
    bool full = false;
    if (!form.leafFirst && name[0] == sep) {
        full = true;
        i = 1;
    }
    bool any = false;
    for (; i < name.size(); ++i) {
        const char c = name[i];
        if (form.leafFirst && c == esc && esc != 0 && i + 1 < name.size() &&
            (name[i + 1] == sep || name[i + 1] == esc)) {
            cur.push_back(name[++i]);
            any = true;
        } else if (c == sep) {
            parts.push_back(std::move(cur));
            cur.clear();
            any = false;
        } else {
            cur.push_back(c);
            any = true;
        }
    }
    if (any) parts.push_back(std::move(cur)); // a trailing separator is ignored
    for (auto& p : parts) {
        std::string_view v = StripType(p, typeSep);
        if (int rc = CheckComponent(v)) return rc;
        out.components.emplace_back(v);
    }
    if (form.leafFirst) {
        if (out.components.empty()) return DDCERR_ILLEGAL_DS_NAME;
        std::reverse(out.components.begin(), out.components.end());
        out.kind = ParsedName::Dotted;
    } else if (full) {
        out.kind = ParsedName::Full;
    } else {
        if (out.components.empty()) return DDCERR_ILLEGAL_DS_NAME;
        out.kind = ParsedName::Relative;
    }
    return 0;
}

std::string JoinPath(const std::vector<std::string>& comps) {
    std::string s;
    for (const auto& c : comps) {
        s.push_back('\\');
        s += c;
    }
    return s;
}

std::vector<std::string> SplitPath(std::string_view path) {
    std::vector<std::string> out;
    size_t i = 0;
    if (!path.empty() && path[0] == '\\') i = 1;
    while (i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string_view::npos) j = path.size();
        out.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

} // namespace pdksa
