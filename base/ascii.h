// ASCII case rules for keywords, names and options. The system matches its
// keywords (MIME types, charset names, protocol words, directory options)
// without regard to ASCII case and nothing else: these never consult the
// locale, and bytes outside A-Z/a-z compare as themselves.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Linked into the shared libraries too: never part of their interface.
#pragma GCC visibility push(hidden)

namespace arbor {

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// For C strings, without measuring either first; null equals nothing.
constexpr bool EqualNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    for (;; ++a, ++b) {
        const char x = AsciiLower(*a);
        if (x != AsciiLower(*b)) return false;
        if (x == '\0') return true;
    }
}

// At most n bytes, stopping early where both strings end.
constexpr bool EqualNoCaseN(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char x = AsciiLower(a[i]);
        if (x != AsciiLower(b[i])) return false;
        if (x == '\0') return true;
    }
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string Lower(std::string_view s);
std::string Upper(std::string_view s);
void LowerInPlace(std::string& s);
void UpperInPlace(char* s); // a C string, up to its terminator

} // namespace arbor

#pragma GCC visibility pop
