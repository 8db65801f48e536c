#include "sparkplug_settings.h"

#include "endpoint.h"

#include <algorithm>

namespace {

// A Sparkplug id goes into topic names: no MQTT wildcard or level separator.
bool topic_id(const Json::Value& v) {
  if (!v.isString() || v.asString().empty()) return false;
  const std::string id = v.asString();
  return id.find_first_of("+#/") == std::string::npos &&
         std::none_of(id.begin(), id.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// "tcp://host:port" or "ssl://host:port", the host a name or IPv4 address or
// a bracketed IPv6 one, the port from 1 to 65535.
bool server_address(const std::string& s) {
  const std::size_t scheme = s.find("://");
  if (scheme == std::string::npos || (s.compare(0, scheme, "tcp") != 0 && s.compare(0, scheme, "ssl") != 0))
    return false;
  const std::string rest = s.substr(scheme + 3);
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon + 1 == rest.size() || colon + 6 < rest.size()) return false;
  const std::string port = rest.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long n = std::stoul(port);
  if (n == 0 || n > 65535) return false;
  std::string host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  else if (host.find(':') != std::string::npos) return false;
  return !host.empty() && is_valid_address(host);
}

bool refuse(SparkplugRefusal& refusal, const Json::Value& at, std::string why) {
  refusal.at = &at;
  refusal.why = std::move(why);
  return false;
}

// One key's value into `out` as its row says.
bool read_key(const SparkplugKey& k, const Json::Value& v, SparkplugConfig& out,
              SparkplugRefusal& refusal) {
  const std::string quoted = std::string("\"") + k.key + "\"";
  switch (k.kind) {
    case SparkplugKind::Servers:
      if (!v.isArray() || v.empty()) return refuse(refusal, v, quoted + " must be a non-empty array");
      for (const Json::Value& s : v) {
        if (!s.isString() || !server_address(s.asString()))
          return refuse(refusal, s, "a server must be \"tcp://host:port\" or \"ssl://host:port\"");
        (out.*k.list).push_back(s.asString());
      }
      return true;
    case SparkplugKind::Qos:
      if (!v.isInt() || (v.asInt() != 0 && v.asInt() != 1))
        return refuse(refusal, v, quoted + " must be 0 or 1");
      out.*k.number = v.asInt();
      return true;
    case SparkplugKind::Flag:
      if (!v.isBool()) return refuse(refusal, v, quoted + " must be true or false");
      out.*k.flag = v.asBool();
      return true;
    case SparkplugKind::Compression:
      if (!v.isString() || (v.asString() != "deflate" && v.asString() != "gzip"))
        return refuse(refusal, v, quoted + " must be \"deflate\" or \"gzip\"");
      out.*k.text = v.asString();
      return true;
    case SparkplugKind::Id:
    case SparkplugKind::Text:
      if (k.kind == SparkplugKind::Id && !topic_id(v))
        return refuse(refusal, v, quoted + " must be a non-empty string without '+', '#', '/'");
      if (!v.isString() || v.asString().empty() || v.asString().find('\0') != std::string::npos)
        return refuse(refusal, v, quoted + " must be a non-empty string");
      out.*k.text = v.asString();
      return true;
  }
  return true;
}

const SparkplugKey* find_key(const std::string& key) {
  for (const SparkplugKey& k : kSparkplugKeys)
    if (key == k.key) return &k;
  return nullptr;
}

}  // namespace

bool SparkplugConfig::operator==(const SparkplugConfig& o) const {
  for (const SparkplugKey& k : kSparkplugKeys) {
    const bool same = k.list     ? this->*k.list == o.*k.list
                      : k.text   ? this->*k.text == o.*k.text
                      : k.number ? this->*k.number == o.*k.number
                                 : this->*k.flag == o.*k.flag;
    if (!same) return false;
  }
  return password == o.password;
}

std::string sparkplug_key_list() {
  std::string out;
  for (const SparkplugKey& k : kSparkplugKeys) out += (out.empty() ? "" : ", ") + std::string(k.key);
  return out;
}

std::string sparkplug_table_row(const SparkplugKey& k) {
  return std::string("| `") + k.key + "` | " + k.type + " | " +
         (k.required ? "required" : k.default_text) + " | " + k.allowed + " | " + k.description +
         " |";
}

bool parse_sparkplug(const Json::Value& sp, SparkplugConfig& out, SparkplugRefusal& refusal) {
  if (!sp.isObject()) return refuse(refusal, sp, "must be an object");
  for (const std::string& key : sp.getMemberNames()) {
    const SparkplugKey* k = find_key(key);
    if (k == nullptr) {
      refusal.unknown = true;
      refusal.key = key;
      return refuse(refusal, sp, "");
    }
    if (!read_key(*k, sp[key], out, refusal)) return false;
  }
  for (const SparkplugKey& k : kSparkplugKeys)
    if (k.required && !sp.isMember(k.key))
      return refuse(refusal, sp, "\"" + std::string(k.key) + "\" is missing");
  if (!out.password_file.empty() && out.user.empty())
    return refuse(refusal, sp["password_file"], "a password needs \"user\"");
  if (!out.cert_file.empty() != !out.key_file.empty())
    return refuse(refusal, sp, "\"cert_file\" and \"key_file\" go together");
  return true;
}
