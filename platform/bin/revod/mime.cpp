// A careful MIME reader: headers, Content-Type parameters, multipart
// boundaries and encapsulated messages, tracking absolute byte offsets.
#include "mime.h"

#include "netio.h"

#include <cstring>
#include <utility>

namespace revo {
namespace {

// Nesting deeper than this is listed but not descended into, so that a
// hostile message cannot exhaust the stack.
constexpr int kMaxDepth = 32;
constexpr size_t kMaxWord = 63; // the agents hold each structure word in 64 bytes
constexpr size_t kMaxName = 255;

struct Headers {
    std::string contentType, encoding, disposition;
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// End of the line that starts at pos: index of its LF, or end.
size_t LineEnd(std::string_view msg, size_t pos, size_t end) {
    const void* lf = std::memchr(msg.data() + pos, '\n', end - pos);
    return lf ? static_cast<size_t>(static_cast<const char*>(lf) - msg.data()) : end;
}

// Reads the header block at pos; returns where the body starts (after the
// empty line, or end when there is none).
size_t ParseHeaders(std::string_view msg, size_t pos, size_t end, Headers& h) {
    std::string* current = nullptr;
    while (pos < end) {
        size_t le = LineEnd(msg, pos, end);
        std::string_view line = msg.substr(pos, le - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t next = le < end ? le + 1 : end;
        if (line.empty()) return next;
        if (line.front() == ' ' || line.front() == '\t') {
            if (current) { // folded continuation
                current->push_back(' ');
                current->append(Trim(line));
            }
        } else {
            current = nullptr;
            size_t colon = line.find(':');
            if (colon != std::string_view::npos) {
                std::string_view name = Trim(line.substr(0, colon));
                if (EqualNoCase(name, "content-type"))
                    current = &h.contentType;
                else if (EqualNoCase(name, "content-transfer-encoding"))
                    current = &h.encoding;
                else if (EqualNoCase(name, "content-disposition"))
                    current = &h.disposition;
                if (current) {
                    current->assign(Trim(line.substr(colon + 1)));
                }
            }
        }
        pos = next;
    }
    return end;
}

// Removes (comments), leaving quoted strings alone.
std::string StripComments(std::string_view v) {
    std::string out;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (quoted) {
            out.push_back(c);
            if (c == '\\' && i + 1 < v.size())
                out.push_back(v[++i]);
            else if (c == '"')
                quoted = false;
        } else if (depth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++depth;
            else if (c == ')')
                --depth;
        } else if (c == '(') {
            depth = 1;
        } else {
            if (c == '"') quoted = true;
            out.push_back(c);
        }
    }
    return out;
}

// value; name=value; name="quoted value" ... : the leading value and the
// parameter asked for (empty when absent).
struct Field {
    std::string value;
    std::vector<std::pair<std::string, std::string>> params;
    std::string Param(std::string_view name) const {
        for (const auto& [n, v] : params)
            if (n == name) return v;
        return {};
    }
};

Field ParseField(std::string_view raw) {
    Field f;
    std::string text = StripComments(raw);
    std::string_view s = text;
    size_t semi = s.find(';');
    f.value = Lower(Trim(s.substr(0, semi)));
    while (semi != std::string_view::npos) {
        s.remove_prefix(semi + 1);
        size_t eq = s.find('=');
        size_t nextSemi = s.find(';');
        if (eq == std::string_view::npos || (nextSemi != std::string_view::npos && nextSemi < eq)) {
            semi = nextSemi;
            continue;
        }
        std::string name = Lower(Trim(s.substr(0, eq)));
        s.remove_prefix(eq + 1);
        while (!s.empty() && IsSpace(s.front()))
            s.remove_prefix(1);
        std::string value;
        if (!s.empty() && s.front() == '"') {
            size_t i = 1;
            for (; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                value.push_back(s[i]);
            }
            s.remove_prefix(std::min(i + 1, s.size()));
            semi = s.find(';');
        } else {
            semi = s.find(';');
            value.assign(Trim(s.substr(0, semi)));
        }
        f.params.emplace_back(std::move(name), std::move(value));
    }
    return f;
}

// Splits [from, end) at the delimiter lines of boundary; each part's range
// excludes the line break before the next delimiter, which belongs to it.
std::vector<std::pair<size_t, size_t>> SplitMultipart(std::string_view msg, size_t from, size_t end,
                                                      std::string_view boundary) {
    std::vector<std::pair<size_t, size_t>> parts;
    bool open = false;
    size_t partStart = 0;
    auto closePart = [&](size_t lineStart) {
        size_t e = lineStart;
        if (e > partStart && msg[e - 1] == '\n') --e;
        if (e > partStart && msg[e - 1] == '\r') --e;
        parts.emplace_back(partStart, e - partStart);
        open = false;
    };
    size_t pos = from;
    while (pos < end) {
        const size_t le = LineEnd(msg, pos, end);
        std::string_view line = msg.substr(pos, le - pos);
        if (line.size() >= 2 + boundary.size() && line[0] == '-' && line[1] == '-' &&
            line.substr(2, boundary.size()) == boundary) {
            std::string_view rest = line.substr(2 + boundary.size());
            const bool closing = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
            if (closing) rest.remove_prefix(2);
            if (Trim(rest).empty()) {
                if (open) closePart(pos);
                if (closing) return parts;
                open = true;
                partStart = le < end ? le + 1 : end;
            }
        }
        pos = le < end ? le + 1 : end;
    }
    if (open) // no closing delimiter: the last part runs to the end
        parts.emplace_back(partStart, end - partStart);
    return parts;
}

std::string Token(std::string_view s) {
    std::string out(s.substr(0, kMaxWord));
    for (auto& c : out)
        if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == 0x7f) c = '_';
    return out;
}

MimePart ParsePart(std::string_view msg, size_t pos, size_t end, int depth, bool digest) {
    MimePart part;
    Headers h;
    const size_t body = ParseHeaders(msg, pos, end, h);
    Field ct = ParseField(h.contentType);
    size_t slash = ct.value.find('/');
    if (!h.contentType.empty() && slash != std::string::npos && slash > 0 &&
        slash + 1 < ct.value.size()) {
        part.type = Trim(std::string_view(ct.value).substr(0, slash));
        part.subtype = Trim(std::string_view(ct.value).substr(slash + 1));
    } else if (digest) {
        part.type = "message";
        part.subtype = "rfc822";
    }
    part.charset = ct.Param("charset");
    part.name = ct.Param("name");
    if (!h.disposition.empty()) {
        std::string file = ParseField(h.disposition).Param("filename");
        if (!file.empty()) part.name = file;
    }
    std::string enc = Lower(Trim(StripComments(h.encoding)));
    if (!enc.empty()) part.encoding = enc;
    part.start = body;
    part.length = end - body;

    if (depth >= kMaxDepth) return part;
    if (part.type == "multipart") {
        const std::string boundary = ct.Param("boundary");
        if (!boundary.empty())
            for (auto [s, n] : SplitMultipart(msg, body, end, boundary))
                part.children.push_back(
                    ParsePart(msg, s, s + n, depth + 1, part.subtype == "digest"));
    } else if (part.type == "message" && (part.subtype == "rfc822" || part.subtype == "global") &&
               (part.encoding == "7bit" || part.encoding == "8bit" || part.encoding == "binary")) {
        part.children.push_back(ParsePart(msg, body, end, depth + 1, false));
    }
    return part;
}

void Emit(const MimePart& p, std::vector<std::string>& out) {
    std::string charset = p.charset.empty() ? (p.type == "text" ? "US-ASCII" : "-") : p.charset;
    std::string name = p.name.substr(0, kMaxName);
    for (auto& c : name)
        if (static_cast<unsigned char>(c) < ' ' || c == '"' || c == 0x7f) c = '_';
    out.push_back(std::to_string(REVO_MIME_PART) + " " + Token(p.type) + " " + Token(p.subtype) +
                  " " + Token(charset) + " " + Token(p.encoding) + " \"" + name + "\" " +
                  std::to_string(p.start) + " " + std::to_string(p.length));
    for (const auto& c : p.children)
        Emit(c, out);
    if (p.IsContainer())
        out.push_back(p.type == "multipart" && p.subtype == "alternative"
                          ? std::to_string(REVO_MIME_END_ALTERN) + " End of alternatives"
                          : std::to_string(REVO_MIME_END_PART) + " End of " + Token(p.type) + "/" +
                                Token(p.subtype));
}

} // namespace

MimePart ParseMime(std::string_view message) {
    return ParsePart(message, 0, message.size(), 0, false);
}

std::vector<std::string> StructureLines(const MimePart& top) {
    std::vector<std::string> out;
    Emit(top, out);
    return out;
}

} // namespace revo
