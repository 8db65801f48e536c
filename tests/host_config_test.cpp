// The runner's configuration parser: what it accepts, what it fills in, and
// that every refusal is one readable line.
#include "config.h"
#include "device_lines.h"

#include <gtest/gtest.h>
#include <json/writer.h>

#include <string>
#include <vector>

namespace {

HostConfig parse_ok(const std::string& text) {
  HostConfig config;
  std::string error;
  EXPECT_TRUE(parse_host_config(text, config, error)) << text << " -> " << error;
  return config;
}

std::string device(const std::string& members) { return R"({"devices": [{)" + members + "}]}"; }

// One device and a "sparkplug" section with the required keys and `more`.
std::string sparkplug(const std::string& more, const std::string& servers = R"("tcp://b:1883")",
                      const std::string& node = "n") {
  return R"({"devices": [{"id": 1, "address": "a"}], "sparkplug": {"servers": [)" + servers +
         "],\n \"group_id\": \"g\", \"edge_node_id\": \"" + node + "\"" + more + "}}";
}

}  // namespace

TEST(HostConfig, reads_every_device_in_order_with_its_settings) {
  const HostConfig c = parse_ok(R"({"devices": [
      {"id": 7, "address": "10.0.0.5", "port": 4841,
       "settings": {"appSetting": {"b_mode": 3}, "list": [1, 2]}},
      {"id": 8, "address": "plant.local"},
      {"id": 9, "address": "fd00::5"}]})");
  ASSERT_EQ(c.devices.size(), 3u);
  EXPECT_EQ(c.devices[2].address, "fd00::5");
  EXPECT_EQ(c.devices[0].id, 7u);
  EXPECT_EQ(c.devices[0].address, "10.0.0.5");
  EXPECT_EQ(c.devices[0].port, 4841);
  EXPECT_EQ(c.devices[0].settings["appSetting"]["b_mode"].asInt(), 3);
  EXPECT_EQ(c.devices[0].settings["list"].size(), 2u);
  EXPECT_EQ(c.devices[1].id, 8u);
  EXPECT_EQ(c.devices[1].address, "plant.local");
}

TEST(HostConfig, port_defaults_to_4840_and_settings_to_an_empty_object) {
  const HostConfig c = parse_ok(device(R"("id": 1, "address": "127.0.0.1")"));
  ASSERT_EQ(c.devices.size(), 1u);
  EXPECT_EQ(c.devices[0].port, 4840);
  EXPECT_TRUE(c.devices[0].settings.isObject());
  EXPECT_TRUE(c.devices[0].settings.empty());
}

TEST(HostConfig, accepts_the_ends_of_the_id_and_port_ranges) {
  HostConfig c = parse_ok(device(R"("id": 0, "address": "a", "port": 0)"));
  EXPECT_EQ(c.devices.at(0).id, 0u);
  EXPECT_EQ(c.devices.at(0).port, 0);
  c = parse_ok(device(R"("id": 4294967295, "address": "a", "port": 65535)"));
  EXPECT_EQ(c.devices.at(0).id, 4294967295u);
  EXPECT_EQ(c.devices.at(0).port, 65535);
}

struct Refusal {
  const char* what;
  std::string text;
  const char* reason;  // a part of the message
};

TEST(HostConfig, keeps_utf8_text_and_accepts_a_byte_order_mark) {
  HostConfig c = parse_ok(
      "{\"devices\": [{\"id\": 3, \"address\": \"冷站.local\", "
      "\"settings\": {\"note\": \"\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\"}}]}");
  EXPECT_EQ(c.devices.at(0).address, "冷站.local");
  EXPECT_EQ(c.devices.at(0).settings["note"].asString(), "\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf");
  c = parse_ok("\xef\xbb\xbf" + device(R"("id": 4, "address": "a")"));
  EXPECT_EQ(c.devices.at(0).id, 4u);
}

// The relaxed forms other JSON readers take are refused, each with the line
// and column (bytes, from 1) where it starts.
TEST(HostConfig, refuses_what_is_not_strict_json_naming_the_position) {
  const std::string one = device(R"("id": 1, "address": "a")");  // 40 bytes
  const std::vector<Refusal> cases = {
      {"line comment", "// plant A\n" + one, "Line 1, Column 1: a comment"},
      {"block comment", R"({"devices": [{"id": 1, "address": "a" /* x */}]})",
       "Line 1, Column 39: a comment"},
      {"comment after the document", one + "\n// end", "Line 2, Column 1: a comment"},
      {"trailing comma in an array", R"({"devices": [{"id": 1, "address": "a"},]})",
       "Line 1, Column 40: a comma before ']'"},
      {"trailing comma in an object", "{\"devices\": [{\"id\": 1, \"address\": \"a\",\r\n }]}",
       "Line 2, Column 2: a comma before '}'"},
      {"text after the document", one + "\n\n  x", "Line 3, Column 3: Extra non-whitespace"},
      {"a second document", one + one, "Line 1, Column 41: Extra non-whitespace"},
      {"text after a NUL byte", one + std::string("\0{\"x\": 1}", 9), "Line 1, Column 41: a NUL byte"},
      {"NUL byte inside a string",
       R"({"devices": [{"id": 1, "address": "a)" + std::string(1, '\0') + R"(b"}]})",
       "Line 1, Column 37: a NUL byte"},
      {"slashes inside strings are text, outside a comment",
       R"({"devices": [{"id": 1, "address": "a//b\"/*"}]} /)", "Line 1, Column 49: a comment"},
      {"byte-order mark not at the start", " \xef\xbb\xbf" + one, "Line 1, Column 2:"},
      {"single quotes", R"({"devices": [{"id": 1, "address": 'a'}]})", "Line 1, Column 35:"},
      {"Latin-1 byte in a string", "{\"devices\": [{\"id\": 1, \"address\": \"caf\xe9\"}]}",
       "Line 1, Column 39: not UTF-8"},
      {"overlong slash", "{\"devices\": [{\"id\": 1, \"address\": \"\xc0\xaf\"}]}",
       "Line 1, Column 36: not UTF-8"},
      {"encoded surrogate", "{\"devices\": [{\"id\": 1, \"address\": \"\xed\xa0\x80\"}]}",
       "Line 1, Column 36: not UTF-8"},
      {"above U+10FFFF", "{\"devices\": [{\"id\": 1, \"address\": \"\xf4\x90\x80\x80\"}]}",
       "Line 1, Column 36: not UTF-8"},
      {"sequence cut by the end", one + "\n\xe5\x86", "Line 2, Column 1: not UTF-8"},
  };
  for (const Refusal& c : cases) {
    HostConfig config;
    std::string error;
    EXPECT_FALSE(parse_host_config(c.text, config, error)) << c.what;
    EXPECT_EQ(error.rfind("invalid JSON: ", 0), 0u) << c.what << ": " << error;
    EXPECT_NE(error.find(c.reason), std::string::npos)
        << c.what << ": \"" << error << "\" lacks \"" << c.reason << "\"";
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": " << error;
  }
}

TEST(HostConfig, refuses_bad_configurations_with_one_line_reasons) {
  const std::vector<Refusal> cases = {
      {"empty text", "", "invalid JSON"},
      {"truncated", R"({"devices": [{"id": 1)", "invalid JSON"},
      {"trailing text", device(R"("id": 1, "address": "a")") + " x", "invalid JSON"},
      {"duplicate key", R"({"devices": [], "devices": []})", "invalid JSON"},
      {"array root", "[]", "must be a JSON object"},
      {"number root", "42", "must be a JSON object"},
      {"no devices key", "{}", "\"devices\" must be an array"},
      {"devices not an array", R"({"devices": {}})", "\"devices\" must be an array"},
      {"no devices", R"({"devices": []})", "is empty"},
      {"unknown top key", R"({"devices": [], "device": 1})", "unknown key \"device\""},
      {"device not an object", R"({"devices": [7]})", "device #1 is not an object"},
      {"missing id", device(R"("address": "a")"), "\"id\" is missing"},
      {"null id", device(R"("id": null, "address": "a")"), "\"id\" must be an integer"},
      {"string id", device(R"("id": "7", "address": "a")"), "\"id\" must be an integer"},
      {"fractional id", device(R"("id": 7.5, "address": "a")"), "\"id\" must be an integer"},
      {"id written as real", device(R"("id": 7.0, "address": "a")"), "\"id\" must be an integer"},
      {"negative id", device(R"("id": -1, "address": "a")"), "\"id\" must be an integer"},
      {"id above 32 bits", device(R"("id": 4294967296, "address": "a")"),
       "\"id\" must be an integer"},
      {"id above 64 bits", device(R"("id": 18446744073709551616, "address": "a")"),
       "\"id\" must be an integer"},
      {"missing address", device(R"("id": 1)"), "\"address\" must be a non-empty string"},
      {"empty address", device(R"("id": 1, "address": "")"), "\"address\" must be"},
      {"numeric address", device(R"("id": 1, "address": 127)"), "\"address\" must be"},
      {"address with NUL", device(R"("id": 1, "address": "a\u0000b")"), "NUL"},
      {"port and path spliced into the address",
       device(R"("id": 1, "address": "127.0.0.1:48400/x")"),
       "device 1: \"address\" \"127.0.0.1:48400/x\" is not a host name, IPv4 or IPv6 address"},
      {"address with a line break", device(R"("id": 1, "address": "a\nb")"), "\"a\\x0ab\""},
      {"address with a blank", device(R"("id": 1, "address": "plant a")"), "is not a host name"},
      {"port above range", device(R"("id": 1, "address": "a", "port": 65536)"),
       "\"port\" must be an integer from 0 to 65535"},
      {"negative port", device(R"("id": 1, "address": "a", "port": -1)"), "\"port\" must be"},
      {"string port", device(R"("id": 1, "address": "a", "port": "4840")"), "\"port\" must be"},
      {"settings not an object", device(R"("id": 1, "address": "a", "settings": [])"),
       "\"settings\" must be an object"},
      {"misspelt key", device(R"("id": 1, "adress": "a")"), "unknown key \"adress\""},
      {"same id twice",
       R"({"devices": [{"id": 5, "address": "a"}, {"id": 5, "address": "b"}]})",
       "device 5 is configured twice"},
      {"second device bad", R"({"devices": [{"id": 5, "address": "a"}, {"address": "b"}]})",
       "device #2"},
      {"control characters in a key", device("\"id\": 1, \"address\": \"a\", \"x\\n\\u0001\": 1"),
       "unknown key \"x\\x0a\\x01\""},
      {"sparkplug not an object", R"({"devices": [{"id": 1, "address": "a"}], "sparkplug": 1})",
       "Line 1, Column 55: sparkplug: must be an object"},
      {"sparkplug without servers",
       R"({"devices": [{"id": 1, "address": "a"}], "sparkplug": {"group_id": "g",
           "edge_node_id": "n"}})", "Line 1, Column 55: sparkplug: \"servers\" is missing"},
      {"sparkplug without edge node", R"({"devices": [{"id": 1, "address": "a"}],
           "sparkplug": {"servers": ["tcp://b:1"], "group_id": "g"}})", "\"edge_node_id\" is missing"},
      {"no server", sparkplug("", ""), "\"servers\" must be a non-empty array"},
      {"server scheme", sparkplug("", R"("tcp://b:1", "http://b:80")"),
       "Line 1, Column 81: sparkplug: a server must be"},
      {"server without port", sparkplug("", R"("ssl://b")"), "a server must be"},
      {"server port zero", sparkplug("", R"("tcp://b:0")"), "a server must be"},
      {"server host with blank", sparkplug("", R"("tcp://a b:1")"), "a server must be"},
      {"wildcard in an id", sparkplug("", R"("tcp://b:1")", "n/#"), "without '+', '#', '/'"},
      {"empty primary host", sparkplug(R"(, "primary_host_id": "")"), "\"primary_host_id\" must be"},
      {"misspelt sparkplug key", sparkplug(R"(, "sever": 1)"), "unknown key \"sever\""},
      {"password in clear not a boolean", sparkplug(R"(, "allow_password_in_clear": "yes")"),
       "must be true or false"},
      {"password file without user", sparkplug(R"(, "password_file": "/p")"), "needs \"user\""},
      {"certificate without key", sparkplug(R"(, "cert_file": "/c")"), "go together"},
  };
  for (const Refusal& c : cases) {
    HostConfig config;
    std::string error;
    EXPECT_FALSE(parse_host_config(c.text, config, error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos)
        << c.what << ": \"" << error << "\" lacks \"" << c.reason << "\"";
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": " << error;
    for (unsigned char ch : error) EXPECT_GE(ch, 0x20) << c.what << ": control byte in message";
  }
}

TEST(HostConfig, reads_the_sparkplug_section) {
  EXPECT_FALSE(parse_ok(device(R"("id": 1, "address": "a")")).has_sparkplug);
  const HostConfig c = parse_ok(sparkplug(R"(, "primary_host_id": "scada", "user": "u",
      "password_file": "/p", "ca_file": "/ca", "cert_file": "/c", "key_file": "/k",
      "allow_password_in_clear": true)", R"("tcp://10.0.0.9:1883", "ssl://[fd00::9]:8883")"));
  ASSERT_TRUE(c.has_sparkplug);
  const SparkplugConfig& s = c.sparkplug;
  EXPECT_EQ(s.servers, (std::vector<std::string>{"tcp://10.0.0.9:1883", "ssl://[fd00::9]:8883"}));
  EXPECT_EQ(s.group_id + "/" + s.edge_node_id + "/" + s.primary_host_id, "g/n/scada");
  EXPECT_EQ(s.user + s.password_file + s.ca_file + s.cert_file + s.key_file, "u/p/ca/c/k");
  EXPECT_TRUE(s.allow_password_in_clear);
}

// Each key of the section's table lands in its own member, counts for a
// reload's comparison and is named in the unknown-key message.
TEST(HostConfig, every_sparkplug_key_is_read_compared_and_listed) {
  Json::Value section;
  section["servers"].append("tcp://b:1883");
  for (const char* key : {"group_id", "edge_node_id", "primary_host_id", "user", "password_file",
                          "ca_file", "cert_file", "key_file"})
    section[key] = std::string("x") + key;
  section["allow_password_in_clear"] = false;
  section["data_qos"] = 0;
  const auto text = [](const Json::Value& sp) {
    Json::Value root;
    root["devices"][0]["id"] = 1;
    root["devices"][0]["address"] = "a";
    root["sparkplug"] = sp;
    return Json::writeString(Json::StreamWriterBuilder(), root);
  };
  const SparkplugConfig base = parse_ok(text(section)).sparkplug;
  EXPECT_EQ(base, parse_ok(text(section)).sparkplug);
  for (const SparkplugKey& k : kSparkplugKeys) {
    Json::Value changed = section;
    if (k.kind == SparkplugKind::Servers) changed[k.key][0] = "tcp://z:1";
    else if (k.kind == SparkplugKind::Flag) changed[k.key] = true;
    else if (k.kind == SparkplugKind::Qos) changed[k.key] = 1;
    else if (k.kind == SparkplugKind::Compression) changed[k.key] = "gzip";
    else changed[k.key] = "z";
    const SparkplugConfig c = parse_ok(text(changed)).sparkplug;
    EXPECT_NE(c, base) << k.key;
    if (k.text != nullptr) {
      EXPECT_EQ(c.*k.text, k.kind == SparkplugKind::Compression ? "gzip" : "z") << k.key;
    } else if (k.list != nullptr) {
      EXPECT_EQ(c.*k.list, std::vector<std::string>{"tcp://z:1"}) << k.key;
    } else if (k.number != nullptr) {
      EXPECT_EQ(c.*k.number, 1) << k.key;
      changed[k.key] = 2;
      HostConfig refused;
      std::string why;
      EXPECT_FALSE(parse_host_config(text(changed), refused, why)) << k.key;
      EXPECT_NE(why.find("\"data_qos\" must be 0 or 1"), std::string::npos) << why;
    } else {
      EXPECT_TRUE(c.*k.flag) << k.key;
    }
  }
  section["sever"] = 1;
  HostConfig out;
  std::string error;
  EXPECT_FALSE(parse_host_config(text(section), out, error));
  EXPECT_NE(error.find("unknown key \"sever\" (expected servers, group_id, edge_node_id, "
                       "primary_host_id, user, password_file, ca_file, cert_file, key_file, "
                       "allow_password_in_clear, compression, data_qos)"),
            std::string::npos) << error;
  SparkplugConfig with_password = base;
  with_password.password = "secret";
  EXPECT_NE(with_password, base);
}

TEST(HostConfig, parsing_replaces_what_the_output_held) {
  HostConfig config;
  config.devices.resize(3);
  std::string error;
  ASSERT_TRUE(parse_host_config(device(R"("id": 2, "address": "a")"), config, error));
  ASSERT_EQ(config.devices.size(), 1u);
  EXPECT_EQ(config.devices[0].id, 2u);
}

TEST(HostConfig, survives_deeply_nested_and_binary_text) {
  HostConfig config;
  std::string error;
  const std::string deep = device(R"("id": 1, "address": "a", "settings": {"x": )" +
                                  std::string(5000, '[') + std::string(5000, ']') + "}");
  EXPECT_FALSE(parse_host_config(deep, config, error));
  const std::string binary("{\"devices\": [\xff\xfe\x00\x01]}", 19);
  EXPECT_FALSE(parse_host_config(binary, config, error));
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

// What a device's start line says, and which settings keys get a warning.
TEST(HostConfig, start_line_shows_the_connection_and_unknown_keys_get_a_line_each) {
  const struct {
    std::string members;
    const char* line;
    std::vector<std::string> unknown;
    bool round_lines = true;
  } cases[] = {
      {R"("id": 7, "address": "10.0.0.5")",
       "device 7: opc.tcp://10.0.0.5:4840, read single, session per round, security None, "
       "anonymous",
       {}},
      {R"("id": 8, "address": "fd00::5", "port": 4841, "settings": {"appSetting":
          {"read_mode": "batch", "max_nodes_per_read": 100, "log": "changes", "b_mode": 1,
           "session": "keep", "round_report_id": 9}, "thresholdSetting": {}})",
       "device 8: opc.tcp://[fd00::5]:4841, read batch (100 nodes), session keep, security None, "
       "anonymous, log changes",
       {}},
      {R"("id": 9, "address": "plc", "settings": {"opcua": {"security_mode": "Sign",
          "user": "qrn", "password": "x"}, "appSetting": {"red_mode": "batch", "l\nog": 1},
          "opcau": {}})",
       "device 9: opc.tcp://plc:4840, read single, session per round, security Sign best policy, "
       "user \"qrn\"",
       {"device 9: unknown key \"opcau\" in settings (ignored)",
        "device 9: unknown key \"l?og\" in appSetting (ignored)",
        "device 9: unknown key \"red_mode\" in appSetting (ignored)"}},
      {R"("id": 10, "address": "a", "settings": {"appSetting": {"round_lines": false}})",
       "device 10: opc.tcp://a:4840, read single, session per round, security None, anonymous",
       {},
       false},
      {R"("id": 12, "address": "a", "settings": {"appSetting": {"read_mode": "batch",
          "max_nodes_per_read": "x", "session": 1}})",
       "device 12: opc.tcp://a:4840, read single, session per round, security None, anonymous",
       {}},
      {R"("id": 11, "address": "a", "settings": {"appSetting": {"round_lines": "no"}})",
       "device 11: opc.tcp://a:4840, read single, session per round, security None, anonymous",
       {},
       true},
  };
  for (const auto& c : cases) {
    const HostConfig config = parse_ok(device(c.members));
    ASSERT_EQ(config.devices.size(), 1u);
    EXPECT_EQ(device_start_line(config.devices[0]), c.line);
    EXPECT_EQ(unknown_key_lines(config.devices[0]), c.unknown) << c.members;
    EXPECT_EQ(round_lines_on(config.devices[0]), c.round_lines) << c.members;
  }
}
