#include "codec_oracle.h"

#include <cstdint>
#include <vector>

namespace arbortest {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kHex = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Whole bytes held by the first n of four sextets.
void FlushGroup(const std::vector<uint32_t>& group, std::string& out) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = v << 6 | (i < group.size() ? group[i] : 0);
    for (size_t i = 0; i + 1 < group.size(); ++i)
        out += static_cast<char>(v >> (16 - 8 * i) & 0xFF);
}

bool BreakFollows(std::string_view s, size_t i) {
    return i + 1 == s.size() || s.substr(i + 1, 2) == "\r\n";
}

} // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out, line;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k)
            line += k <= n ? kAlphabet[v >> (18 - 6 * k) & 63] : '=';
        if (line.size() == 76) {
            out += line + "\r\n";
            line.clear();
        }
    }
    return line.empty() ? out : out + line + "\r\n";
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    std::vector<uint32_t> group;
    for (char c : text) {
        const size_t at = kAlphabet.find(c);
        if (c == '=') {
            FlushGroup(group, out);
            group.clear();
        } else if (at != std::string_view::npos) {
            group.push_back(static_cast<uint32_t>(at));
            if (group.size() == 4) {
                FlushGroup(group, out);
                group.clear();
            }
        }
    }
    FlushGroup(group, out);
    return out;
}

std::string QuotedPrintableEncode(std::string_view bytes) {
    std::string out, line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (bytes.substr(i, 2) == "\r\n") {
            out += line + "\r\n";
            line.clear();
            ++i;
            continue;
        }
        const bool blank = c == ' ' || c == '\t';
        std::string piece(1, static_cast<char>(c));
        if (c == '=' || c > 126 || (c < 32 && c != '\t') || (blank && BreakFollows(bytes, i)))
            piece = std::string{'=', kHex[c >> 4], kHex[c & 15]};
        if (line.size() + piece.size() > 75) {
            out += line + "=\r\n";
            line.clear();
        }
        line += piece;
    }
    return out + line;
}

std::string QuotedPrintableDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.substr(i + 1, 2) == "\r\n") {
            i += 2;
        } else if (text.substr(i + 1, 1) == "\n") {
            i += 1;
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += '=';
        }
    }
    return out;
}

} // namespace arbortest
