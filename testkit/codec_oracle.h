// Plain, slow transfer-encoding codecs written straight from the rules, to
// check the stream codecs against and to make message bodies for peers.
#pragma once

#include <string>
#include <string_view>

namespace arbortest {

// Base64 in lines of 76 characters, each ending in CR LF; "" for "".
std::string Base64Encode(std::string_view bytes);
// Skips everything outside the alphabet; "=" ends a group, and a group cut
// short keeps the whole bytes it holds.
std::string Base64Decode(std::string_view text);

// Quoted-printable: CR LF stays a hard line break; "=", bytes outside
// printable ASCII and any other CR or LF are escaped, as is a space or tab
// before a line break or at the very end; lines stay within 76 characters
// through soft breaks.
std::string QuotedPrintableEncode(std::string_view bytes);
// "=XX" in either case is a byte, "=" before a line end a soft break; any
// other "=" stays as it is.
std::string QuotedPrintableDecode(std::string_view text);

} // namespace arbortest
