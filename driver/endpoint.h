#pragma once

#include <cstdint>
#include <string>

// Whether `address` names a controller the driver may connect to: a host name
// (letters, digits, '-', '_' and UTF-8 in dot-separated labels), an IPv4 address or an
// IPv6 literal (without brackets or zone). Anything else, such as text with a
// port or path spliced in, blanks or control characters, is refused.
bool is_valid_address(const std::string& address);

// "opc.tcp://" + address + ":" + port; an IPv6 literal goes in brackets.
std::string endpoint_url(const std::string& address, uint16_t port);

// The address for a log line: printable ASCII as is, every other byte as \xNN,
// so that no address can break or forge a line.
std::string printable_address(const std::string& address);
