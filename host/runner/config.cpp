#include "config.h"

#include "endpoint.h"

#include <json/reader.h>
#include <json/value.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace {

// A byte offset as jsoncpp gives positions: "Line 3, Column 7", both from 1,
// the column counted in bytes; "\r\n", "\r" and "\n" end a line.
std::string position(const std::string& text, std::size_t offset) {
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++line;
      line_start = i + 1;
    }
  }
  return "Line " + std::to_string(line) + ", Column " + std::to_string(offset - line_start + 1);
}

// The offset of "Line L, Column C" (as jsoncpp counts them) in the text.
std::size_t offset_of(const std::string& text, std::size_t line, std::size_t column) {
  std::size_t i = 0;
  for (std::size_t l = 1; l < line && i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) ++l;
  }
  return column > 0 ? i + column - 1 : i;
}



// The first NUL byte, or '/' outside a string (a comment: jsoncpp skips some
// comments even when told not to allow them), as a reason with its position;
// "" when there is none.
std::string nul_or_comment(const std::string& text) {
  bool in_string = false, escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') return position(text, i) + ": a NUL byte";
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '/') {
      return position(text, i) + ": a comment, which JSON does not allow";
    }
  }
  return "";
}

// jsoncpp's first error ("* Line 1, Column 2\n  Syntax error: ...\n") as one
// line, in plainer words where a trailing comma is the cause.
std::string first_error(const std::string& text, const std::string& errors) {
  std::size_t line = 0, column = 0;
  const std::size_t at = errors.find("Line ");
  if (at == std::string::npos ||
      std::sscanf(errors.c_str() + at, "Line %zu, Column %zu", &line, &column) != 2)
    return errors.substr(0, errors.find('\n'));
  const std::size_t nl = errors.find('\n', at);
  std::string message = nl == std::string::npos ? "" : errors.substr(nl + 1);
  message = message.substr(0, message.find('\n'));
  message.erase(0, message.find_first_not_of(' '));

  const std::size_t offset = offset_of(text, line, column);
  if (offset < text.size()) {
    const char c = text[offset];
    std::size_t before = offset;
    while (before > 0 && std::strchr(" \t\r\n", text[before - 1]) != nullptr) --before;
    if ((c == ']' || c == '}') && before > 0 && text[before - 1] == ',')
      message = "a comma before '" + std::string(1, c) + "', which JSON does not allow";
  }
  std::string out = "Line " + std::to_string(line) + ", Column " + std::to_string(column) + ": ";
  for (char ch : message) out.push_back(static_cast<unsigned char>(ch) < 0x20 ? '?' : ch);
  return out;
}

// Only JSON integers (not 7.0, not "7") from 0 to max.
bool integer_upto(const Json::Value& v, Json::LargestUInt max) {
  if (v.type() == Json::intValue)
    return v.asLargestInt() >= 0 && static_cast<Json::LargestUInt>(v.asLargestInt()) <= max;
  if (v.type() == Json::uintValue) return v.asLargestUInt() <= max;
  return false;
}

// A key as it may appear in a one-line message: control characters escaped,
// long keys shortened.
std::string shown(const std::string& key) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : key.substr(0, 64)) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (key.size() > 64) out += "...";
  return out;
}

bool parse_device(const Json::Value& d, std::size_t index, DeviceConfig& out, std::string& error) {
  const std::string where = "device #" + std::to_string(index + 1);
  if (!d.isObject()) {
    error = where + " is not an object";
    return false;
  }
  static const std::set<std::string> known = {"id", "address", "port", "settings"};
  for (const std::string& key : d.getMemberNames()) {
    if (known.count(key) == 0) {
      error = where + ": unknown key \"" + shown(key) + "\" (expected id, address, port, settings)";
      return false;
    }
  }
  if (!d.isMember("id")) {
    error = where + ": \"id\" is missing";
    return false;
  }
  if (!integer_upto(d["id"], 4294967295u)) {
    error = where + ": \"id\" must be an integer from 0 to 4294967295";
    return false;
  }
  out.id = static_cast<uint32_t>(d["id"].asLargestUInt());
  const std::string named = "device " + std::to_string(out.id);

  const Json::Value& address = d["address"];
  if (!address.isString() || address.asString().empty()) {
    error = named + ": \"address\" must be a non-empty string";
    return false;
  }
  out.address = address.asString();
  if (out.address.find('\0') != std::string::npos) {
    error = named + ": \"address\" contains a NUL character";
    return false;
  }
  if (!is_valid_address(out.address)) {
    error = named + ": \"address\" \"" + printable_address(out.address) +
            "\" is not a host name, IPv4 or IPv6 address";
    return false;
  }

  if (d.isMember("port")) {
    if (!integer_upto(d["port"], 65535)) {
      error = named + ": \"port\" must be an integer from 0 to 65535";
      return false;
    }
    out.port = static_cast<uint16_t>(d["port"].asLargestUInt());
  }

  if (d.isMember("settings")) {
    if (!d["settings"].isObject()) {
      error = named + ": \"settings\" must be an object";
      return false;
    }
    out.settings = d["settings"];
  }
  return true;
}

// The "sparkplug" object; a refusal names the offending value's position.
bool read_sparkplug(const std::string& text, const Json::Value& section, SparkplugConfig& out,
                    std::string& error) {
  SparkplugRefusal refusal;
  if (parse_sparkplug(section, out, refusal)) return true;
  error = position(text, static_cast<std::size_t>(refusal.at->getOffsetStart())) + ": sparkplug: " +
          (refusal.unknown
               ? "unknown key \"" + shown(refusal.key) + "\" (expected " + sparkplug_key_list() + ")"
               : refusal.why);
  return false;
}

}  // namespace

std::size_t invalid_utf8_at(const std::string& text, std::size_t from) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = from; i < n;) {
    const unsigned c = s[i];
    std::size_t len = 0;
    unsigned low = 0x80, high = 0xbf;  // the second byte's range
    if (c < 0x80) len = 1;
    else if (c >= 0xc2 && c <= 0xdf) len = 2;
    else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) low = 0xa0;
      if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) low = 0x90;
      if (c == 0xf4) high = 0x8f;
    } else {
      return i;
    }
    if (len > 1) {
      if (i + len > n || s[i + 1] < low || s[i + 1] > high) return i;
      for (std::size_t k = 2; k < len; ++k)
        if (s[i + k] < 0x80 || s[i + k] > 0xbf) return i;
    }
    i += len;
  }
  return std::string::npos;
}

bool parse_host_config(const std::string& original, HostConfig& out, std::string& error) {
  out = HostConfig{};
  // A UTF-8 byte-order mark is accepted; it becomes white space so that the
  // positions in messages stay those of the file.
  std::string text = original;
  if (text.compare(0, 3, "\xef\xbb\xbf") == 0) text.replace(0, 3, "   ");
  // jsoncpp would stop at a NUL byte and take the text before it for the
  // whole document, and it does not check UTF-8: both are checked first.
  const std::string found = nul_or_comment(text);
  if (!found.empty()) {
    error = "invalid JSON: " + found;
    return false;
  }
  const std::size_t bad = invalid_utf8_at(text);
  if (bad != std::string::npos) {
    error = "invalid JSON: " + position(text, bad) + ": not UTF-8";
    return false;
  }
  Json::CharReaderBuilder builder;
  // No comments, trailing commas, single quotes, text after the document or
  // duplicate keys: the document is plain JSON.
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["allowSpecialFloats"] = false;
  builder["strictRoot"] = false;  // a root that is no object gets the message below
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const Json::Exception& e) {
    // The reader throws rather than reports on nesting beyond its stack limit.
    errors = e.what();
  }
  if (!parsed) {
    error = "invalid JSON: " + first_error(text, errors);
    return false;
  }
  if (!root.isObject()) {
    error = "the configuration must be a JSON object";
    return false;
  }
  for (const std::string& key : root.getMemberNames()) {
    if (key != "devices" && key != "sparkplug") {
      error = "unknown key \"" + shown(key) + "\" (expected devices, sparkplug)";
      return false;
    }
  }
  if (root.isMember("sparkplug")) {
    out.has_sparkplug = true;
    if (!read_sparkplug(text, root["sparkplug"], out.sparkplug, error)) return false;
  }
  const Json::Value& devices = root["devices"];
  if (!devices.isArray()) {
    error = "\"devices\" must be an array of device objects";
    return false;
  }
  if (devices.empty()) {
    error = "\"devices\" is empty: nothing to run";
    return false;
  }
  std::set<uint32_t> ids;
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    DeviceConfig device;
    if (!parse_device(devices[i], i, device, error)) return false;
    if (!ids.insert(device.id).second) {
      error = "device " + std::to_string(device.id) + " is configured twice";
      return false;
    }
    out.devices.push_back(std::move(device));
  }
  return true;
}

bool read_config_file(const std::string& path, std::string& text, std::string& error,
                      bool regular_only) {
  const std::string cannot = "cannot read " + path + ": ";
  struct stat st {};
  // The type first: opening a device may already have effects.
  if (::stat(path.c_str(), &st) != 0) {
    error = cannot + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = cannot + "it is a directory";
    return false;
  }
  if (!S_ISREG(st.st_mode) && (regular_only || !S_ISFIFO(st.st_mode))) {
    error = cannot + "not a regular file";
    return false;
  }
  const std::string too_large =
      cannot + "larger than " + std::to_string(kMaxConfigBytes >> 20) + " MiB, not a configuration";
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxConfigBytes) {
    error = too_large;
    return false;
  }
  // Not waiting in open: a pipe swapped in after the check has no writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
  if (fd < 0) {
    error = cannot + std::strerror(errno);
    return false;
  }
  if (regular_only && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    error = cannot + "not a regular file";
    return false;
  }
  // Read to the bound and one byte past it, whatever the size said: a file
  // may grow and a pipe has none.
  std::string out(kMaxConfigBytes + 1, '\0');
  std::size_t got = 0;
  int err = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, &out[got], out.size() - got);
    if (n > 0) got += static_cast<std::size_t>(n);
    else if (n == 0) break;
    else if (errno != EINTR) {
      err = errno;
      break;
    }
  }
  ::close(fd);
  if (err != 0) {
    error = cannot + std::strerror(err);
    return false;
  }
  if (got > kMaxConfigBytes) {
    error = too_large;
    return false;
  }
  out.resize(got);
  text = std::move(out);
  return true;
}
