#include "endpoint.h"

#include <arpa/inet.h>

#include <cstdio>

namespace {

bool is_ipv4(const std::string& a) {
  in_addr out{};
  return inet_pton(AF_INET, a.c_str(), &out) == 1;
}

bool is_ipv6(const std::string& a) {
  in6_addr out{};
  return inet_pton(AF_INET6, a.c_str(), &out) == 1;
}

// Bytes of UTF-8 sequences count too: internationalised names resolve locally.
bool is_label_char(char ch) {
  const unsigned char c = static_cast<unsigned char>(ch);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_' || c >= 0x80;
}

bool is_host_name(const std::string& a) {
  if (a.empty() || a.size() > 253) return false;
  bool all_numeric = true;  // "10.0.0.300" is a bad IPv4 address, not a name
  std::size_t start = 0;
  while (start <= a.size()) {
    std::size_t end = a.find('.', start);
    if (end == std::string::npos) end = a.size();
    const std::size_t len = end - start;
    if (len == 0 || len > 63) return false;
    if (a[start] == '-' || a[end - 1] == '-') return false;
    for (std::size_t i = start; i < end; ++i) {
      if (!is_label_char(a[i])) return false;
      all_numeric &= a[i] >= '0' && a[i] <= '9';
    }
    start = end + 1;
  }
  return !all_numeric;
}

}  // namespace

bool is_valid_address(const std::string& address) {
  if (address.find(':') != std::string::npos) return is_ipv6(address);
  return is_ipv4(address) || is_host_name(address);
}

std::string endpoint_url(const std::string& address, uint16_t port) {
  const bool ipv6 = address.find(':') != std::string::npos;
  return "opc.tcp://" + (ipv6 ? "[" + address + "]" : address) + ":" +
         std::to_string(static_cast<unsigned>(port));
}

std::string printable_text(std::string_view text, std::size_t limit, bool keep_tabs) {
  std::string out;
  const bool cut = text.size() > limit;
  for (const char ch : text.substr(0, limit)) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 0x20 && c < 0x7f && c != '\\') || (keep_tabs && c == '\t')) {
      out += ch;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (cut) out += "...";
  return out;
}
