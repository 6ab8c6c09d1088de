// MIME structure of a stored message, with exact byte offsets of every
// part's body as the QBRAW command takes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace revo {

struct MimePart {
    std::string type = "text", subtype = "plain"; // lower case
    std::string charset;                          // as given, empty when absent
    std::string encoding = "7bit";                // lower case
    std::string name;                             // file name or name parameter
    size_t start = 0, length = 0;                 // the body, offsets into the message
    std::vector<MimePart> children; // parts of a multipart; the message of a message/rfc822
    bool IsContainer() const { return type == "multipart" || type == "message"; }
};

// Never fails: malformed input yields the best structure that can be read
// (a broken multipart becomes a container with the parts that were found).
MimePart ParseMime(std::string_view message);

// The structure listing sent for QMIME: one 2002 line per part in document
// order, and after the contents of every multipart or message part a 2003
// line (2004 for multipart/alternative). Lines come without line ends.
std::vector<std::string> StructureLines(const MimePart& top);

} // namespace revo
