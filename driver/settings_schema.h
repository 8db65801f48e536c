#pragma once

// Every key of a device's "settings" that the driver knows, in constant
// tables: its type, default, allowed values and one line saying what it does.
// The driver's InitSetting, qrn-host's start line and unknown-key warnings and
// the README's settings table come from kDeviceSettings; the "opcua" object's
// known keys, its unknown-key line and its README table from kOpcuaSettings.
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Nodes per Read request when "max_nodes_per_read" is not given.
constexpr uint32_t kDefaultMaxNodesPerRead = 500;

// How a key's value is checked.
enum class SettingKind {
  Object,  // a section of its own, checked by its reader
  Mode,    // text or number read like atoi (the framework's b_mode)
  Choice,  // one of `choices`, as text
  Whole,   // whole number from `low` to `high`, never `excluded`
  Flag,    // true or false
  Text,    // a text value, checked further by its reader
};

struct SettingEntry {
  const char* section;  // "settings" (top level), "appSetting" or "opcua"
  const char* key;
  SettingKind kind;
  const char* choices[2];  // Choice: the texts allowed, the default first
  uint32_t low, high, excluded;  // Whole: the bounds, and one value refused (0: none)
  const char* type;              // the type as the README says it
  const char* default_text;      // the default as the README says it
  const char* allowed;           // the values allowed as the README says them
  // A present value that is not allowed gives the line "InitSetting <id>
  // <key> <problem>; <fallback>"; without a problem it reads as the default.
  const char* problem;
  const char* fallback;
  const char* description;
};

// Lines of "appSetting" keys are said in this order.
inline constexpr SettingEntry kDeviceSettings[] = {
    {"settings", "appSetting", SettingKind::Object, {}, 0, 0, 0, "object", "{}",
     "the keys below", nullptr, nullptr, "the driver's own settings"},
    {"settings", "thresholdSetting", SettingKind::Object, {}, 0, 0, 0, "object", "{}",
     "entries of SignalName, NMAlarmID, ID, SignalNumber", nullptr, nullptr,
     "the alarm signals, read when b_mode is 3"},
    {"settings", "opcua", SettingKind::Object, {}, 0, 0, 0, "object", "absent: no security",
     "see Connecting securely", nullptr, nullptr,
     "security mode and policy, certificates, trusted servers, user"},
    {"appSetting", "b_mode", SettingKind::Mode, {}, 0, 0, 0, "text or number", "1",
     "a whole number, read like C's atoi", nullptr, nullptr,
     "the operating mode; 3 reads thresholdSetting"},
    {"appSetting", "read_mode", SettingKind::Choice, {"single", "batch"}, 0, 0, 0, "text",
     "\"single\"", "\"single\", \"batch\"", "is not \"single\" or \"batch\"",
     "reading point by point", "reads point by point or in batched Read requests"},
    {"appSetting", "max_nodes_per_read", SettingKind::Whole, {}, 1, UINT32_MAX, 0,
     "whole number", "500", "1 to 4294967295", "is not a positive whole number",
     "reading point by point", "most nodes in one batched Read request"},
    {"appSetting", "log", SettingKind::Choice, {"every", "changes"}, 0, 0, 0, "text",
     "every failure", "\"changes\"", nullptr, nullptr,
     "\"changes\": a point's failure line only when it starts or changes"},
    {"appSetting", "session", SettingKind::Choice, {"round", "keep"}, 0, 0, 0, "text",
     "\"round\"", "\"round\", \"keep\"", "is not \"round\" or \"keep\"", "a session per round",
     "a session per round, or one kept across rounds"},
    {"appSetting", "round_lines", SettingKind::Flag, {}, 0, 0, 0, "true or false", "true",
     "true, false", "is not true or false", "round lines are written",
     "false leaves out the per-round progress lines"},
    {"appSetting", "round_report_id", SettingKind::Whole, {}, 1, 0x7fffffffu, 5156,
     "whole number", "none (qrn-host: 5157)", "1 to 2147483647 but 5156",
     "is not a positive data id other than 5156", "no round reports",
     "data id of the round reports sent after each round"},
};

// The keys of the "opcua" object (security.cpp reads it), in the order the
// unknown-key line lists them.
inline constexpr SettingEntry kOpcuaSettings[] = {
    {"opcua", "security_mode", SettingKind::Text, {}, 0, 0, 0, "text", "None",
     "None, Sign, SignAndEncrypt", nullptr, nullptr,
     "the channel's security; only an endpoint with exactly this mode is used"},
    {"opcua", "security_policy", SettingKind::Text, {}, 0, 0, 0, "text",
     "the best the server offers",
     "None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss, Basic256, "
     "Basic128Rsa15 (or the policy URIs)",
     nullptr, nullptr, "the one security policy allowed"},
    {"opcua", "certificate", SettingKind::Text, {}, 0, 0, 0, "text", "none", "a DER or PEM file",
     nullptr, nullptr, "the driver's application certificate; required for Sign and SignAndEncrypt"},
    {"opcua", "private_key", SettingKind::Text, {}, 0, 0, 0, "text", "none",
     "a DER or PEM file", nullptr, nullptr, "the certificate's unencrypted key"},
    {"opcua", "trusted_servers", SettingKind::Text, {}, 0, 0, 0, "text", "none",
     "a folder of DER or PEM certificates", nullptr, nullptr,
     "the server certificates accepted when security is on"},
    {"opcua", "trust_any_server", SettingKind::Flag, {}, 0, 0, 0, "true or false", "false",
     "true, false", nullptr, nullptr, "true accepts any server's certificate"},
    {"opcua", "user", SettingKind::Text, {}, 0, 0, 0, "text", "none: anonymous", "a user name",
     nullptr, nullptr, "logs in with this user name"},
    {"opcua", "password", SettingKind::Text, {}, 0, 0, 0, "text", "none", "any text", nullptr,
     nullptr, "the user's password; never printed"},
    {"opcua", "password_file", SettingKind::Text, {}, 0, 0, 0, "text", "none",
     "a file its owner alone may read", nullptr, nullptr,
     "a file whose first line is the password (instead of password)"},
    {"opcua", "allow_password_in_clear", SettingKind::Flag, {}, 0, 0, 0, "true or false",
     "false", "true, false", nullptr, nullptr,
     "true sends the password also where nothing encrypts it"},
};

// The entry of `key` in `section`; nullptr for a key the driver does not know.
const SettingEntry* find_setting(const char* section, const std::string& key);

// The keys of `section`, in table order, separated by ", ".
std::string setting_keys(const char* section);

// The README's row for an entry: "| `key` | type | default | allowed | description |".
std::string setting_table_row(const SettingEntry& entry);

enum class SessionMode { Round, Keep };

// What a device's "appSetting" asks of the driver, read once per InitSetting.
struct DriverSettings {
  uint32_t batch_cap = 0;  // nodes per batched Read; 0: single reads
  bool log_changes = false;
  SessionMode session = SessionMode::Round;
  bool round_lines = true;
  uint32_t round_report_id = 0;  // 0: no round reports
  // One line per value not allowed, in table order, each with what is done instead.
  std::vector<std::string> problems;
};

// Reads "appSetting" (b_mode is the framework's); a root or section that is
// not an object reads as empty. Never throws: out of memory gives the defaults.
DriverSettings parse_driver_settings(const Json::Value& settings, uint32_t device_id) noexcept;

// qrn-host's summary of the "opcua" object: "None", or the mode with its
// policy ("best policy" when none is named), then ", anonymous" or the user.
std::string security_summary(const Json::Value& settings);
