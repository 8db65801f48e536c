#include "config.h"

#include "endpoint.h"

#include <json/reader.h>
#include <json/value.h>

#include <memory>
#include <set>

namespace {

// jsoncpp reports "* Line 1, Column 2\n  Syntax error: ...\n"; one line is
// easier to read on a terminal and in a log.
std::string one_line(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (c == '*' && out.empty()) continue;
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
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

}  // namespace

bool parse_host_config(const std::string& text, HostConfig& out, std::string& error) {
  out = HostConfig{};
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["allowSpecialFloats"] = false;
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
    error = "invalid JSON: " + one_line(errors);
    return false;
  }
  if (!root.isObject()) {
    error = "the configuration must be a JSON object";
    return false;
  }
  for (const std::string& key : root.getMemberNames()) {
    if (key != "devices") {
      error = "unknown key \"" + shown(key) + "\" (expected devices)";
      return false;
    }
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
