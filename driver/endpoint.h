#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Whether `address` names a controller the driver may connect to: a host name
// (letters, digits, '-', '_' and UTF-8 in dot-separated labels), an IPv4 address or an
// IPv6 literal (without brackets or zone). Anything else, such as text with a
// port or path spliced in, blanks or control characters, is refused.
bool is_valid_address(const std::string& address);

// "opc.tcp://" + address + ":" + port; an IPv6 literal goes in brackets.
std::string endpoint_url(const std::string& address, uint16_t port);

// Text for a log line: printable ASCII as is, every other byte (control
// characters, newlines, escapes) and the backslash as \xNN, so that no text
// can break or forge a line. Of a longer text only the first `limit` bytes
// are printed, followed by "...". `keep_tabs`: a tab stays a tab (the library
// separates the parts of its lines with them).
std::string printable_text(std::string_view text, std::size_t limit = SIZE_MAX,
                           bool keep_tabs = false);

// Bytes of one text from a peer (a server's name, reason or URI) printed in
// a line; a peer's texts have no use beyond this in our lines.
constexpr std::size_t kPeerTextLimit = 256;

// An address for a log line, as printable_text whole.
inline std::string printable_address(const std::string& address) {
  return printable_text(address);
}
