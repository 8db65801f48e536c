#pragma once

// The configuration's "sparkplug" section: the devices' records published to
// an MQTT broker as a Sparkplug B edge node. Every key is one row of
// kSparkplugKeys; the parser, the unknown-key message, the key list, the
// reload comparison and the README's table all go through it.
#include <json/value.h>

#include <string>
#include <vector>

struct SparkplugConfig {
  std::vector<std::string> servers;  // "tcp://host:port" or "ssl://host:port", tried in turn
  std::string group_id, edge_node_id;
  std::string primary_host_id;  // empty: publish whenever connected
  std::string user, password_file;
  std::string ca_file, cert_file, key_file;
  bool allow_password_in_clear = false;
  std::string compression;  // "deflate", "gzip"; empty: none
  int data_qos = 0;  // DDATA's QoS; 1: progress from the broker's PUBACK
  std::string password;  // password_file's first line, read by the host's loader
  bool operator==(const SparkplugConfig& o) const;
  bool operator!=(const SparkplugConfig& o) const { return !(*this == o); }
};

// How a key's value is checked.
enum class SparkplugKind {
  Servers,  // a non-empty array of "tcp://host:port" or "ssl://host:port"
  Id,       // a non-empty text that goes into topics: no '+', '#', '/' or control characters
  Text,     // a non-empty text without NUL
  Flag,     // true or false
  Compression,  // "deflate" or "gzip"
  Qos,          // 0 or 1
};

struct SparkplugKey {
  const char* key;
  SparkplugKind kind;
  bool required;
  // Where the value goes: the one member of the kind's type.
  std::vector<std::string> SparkplugConfig::*list;
  std::string SparkplugConfig::*text;
  bool SparkplugConfig::*flag;
  int SparkplugConfig::*number;
  // As the README's table says them.
  const char* type;
  const char* default_text;  // absent: what applies (a required key has none)
  const char* allowed;
  const char* description;
};

// The section's keys in the order messages list them.
inline constexpr SparkplugKey kSparkplugKeys[] = {
    {"servers", SparkplugKind::Servers, true, &SparkplugConfig::servers, nullptr, nullptr, nullptr,
     "list of texts", "", "`tcp://HOST:PORT`, `ssl://HOST:PORT` (IPv6 in brackets)",
     "tried in turn; one connection at a time"},
    {"group_id", SparkplugKind::Id, true, nullptr, &SparkplugConfig::group_id, nullptr, nullptr, "text",
     "", "no `+`, `#` or `/`", "the topics' group"},
    {"edge_node_id", SparkplugKind::Id, true, nullptr, &SparkplugConfig::edge_node_id, nullptr, nullptr,
     "text", "", "no `+`, `#` or `/`", "the topics' node"},
    {"primary_host_id", SparkplugKind::Id, false, nullptr, &SparkplugConfig::primary_host_id,
     nullptr, nullptr, "text", "none: publish whenever connected", "no `+`, `#` or `/`",
     "publish only while `spBv1.0/STATE/<id>` says `{\"online\": true}`; spool otherwise"},
    {"user", SparkplugKind::Text, false, nullptr, &SparkplugConfig::user, nullptr, nullptr, "text", "none",
     "not empty", "the MQTT user name"},
    {"password_file", SparkplugKind::Text, false, nullptr, &SparkplugConfig::password_file,
     nullptr, nullptr, "text", "none: no password", "a path; needs `user`",
     "its first line is the password; a regular file readable by its owner alone (as the "
     "devices' password files)"},
    {"ca_file", SparkplugKind::Text, false, nullptr, &SparkplugConfig::ca_file, nullptr, nullptr, "text",
     "the system's store", "a path",
     "the certificates an `ssl://` server's certificate is checked against"},
    {"cert_file", SparkplugKind::Text, false, nullptr, &SparkplugConfig::cert_file, nullptr, nullptr,
     "text", "none", "a path; goes with `key_file`", "a client certificate"},
    {"key_file", SparkplugKind::Text, false, nullptr, &SparkplugConfig::key_file, nullptr, nullptr, "text",
     "none", "a path; goes with `cert_file`", "the client certificate's key"},
    {"allow_password_in_clear", SparkplugKind::Flag, false, nullptr, nullptr,
     &SparkplugConfig::allow_password_in_clear, nullptr, "true or false", "false", "true, false",
     "`true` sends the password over `tcp://` too (one warning line); otherwise a password "
     "goes over TLS only"},
    {"compression", SparkplugKind::Compression, false, nullptr, &SparkplugConfig::compression,
     nullptr, nullptr, "text", "none", "`deflate`, `gzip`",
     "DBIRTH and DDATA go compressed (`SPBV1.0_COMPRESSED`) when that makes them smaller"},
    {"data_qos", SparkplugKind::Qos, false, nullptr, nullptr, nullptr, &SparkplugConfig::data_qos,
     "0 or 1", "0", "0, 1",
     "the DDATA's QoS. 0 (Sparkplug B 3.0): a record counts as published once written to the "
     "connection, and after a break those written in the 65 s before it go again; 1: a record "
     "counts once the broker acknowledged it (outside Sparkplug B 3.0, which says QoS 0)"},
};

// "servers, group_id, ...": the keys as an unknown-key message lists them.
std::string sparkplug_key_list();
// The README's row for a key: "| `key` | type | default | allowed | description |".
std::string sparkplug_table_row(const SparkplugKey& key);

// Why a section was refused: the value at fault and the reason, or an
// unknown key (the caller words it, with the key shown safely).
struct SparkplugRefusal {
  const Json::Value* at = nullptr;
  std::string why;
  bool unknown = false;
  std::string key;  // the unknown key
};

// Reads the section into `out` (which starts as default); false with the
// refusal at the first key at fault, in the object's key order, then the
// missing required keys and the rules between keys.
bool parse_sparkplug(const Json::Value& section, SparkplugConfig& out, SparkplugRefusal& refusal);
