// Text and name handling of the directory client: UTF-8/UTF-16 conversion,
// case folding and the parsing of full, relative and dotted names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pdksa {

// Appends the UTF-8 form of units; lone surrogates are refused (false).
bool Utf16ToUtf8(const uint16_t* units, size_t n, std::string& out);
// Appends the UTF-16 form of valid UTF-8; false on malformed input.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
bool ValidUtf8(std::string_view in);
// Number of characters (UTF-16 units) of valid UTF-8.
size_t Utf16Length(std::string_view in);

// Case folding used for every comparison of names, attribute and class
// names and text values. It keeps the byte length of each character, so
// folded and display forms split into components at the same offsets.
std::string Fold(std::string_view in);

// Glob match of a folded text against a folded pattern with '*'.
bool GlobMatch(std::string_view text, std::string_view pattern);

struct NameForm {
    bool leafFirst = false; // dotted
    uint32_t separator = '\\';
    uint32_t escape = '\'';
    uint32_t typeSep = '=';
};
NameForm SlashForm();
NameForm DotForm();
// Reads a delimiter table by content; false when it makes no sense.
bool FormFromTable(const uint16_t* table, NameForm& form);

struct ParsedName {
    enum Kind { Full, Relative, Dotted, Self } kind = Relative;
    std::vector<std::string> components; // root first, types removed
};

// Parses a name (UTF-8). explicitForm: a delimiter table was given.
// Returns 0 or a DDCERR code.
int ParseName(std::string_view name, const NameForm* explicitForm, ParsedName& out);

// Joins components into a display path "\a\b" ("" for the root).
std::string JoinPath(const std::vector<std::string>& comps);
std::vector<std::string> SplitPath(std::string_view path);

} // namespace pdksa
