#pragma once

// The runner's configuration file: which devices to create, where their
// controllers are, and the JSON settings each device receives.
#include "sparkplug_settings.h"

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DeviceConfig {
  uint32_t id = 0;
  std::string address;
  uint16_t port = 4840;                        // the standard OPC UA port
  Json::Value settings{Json::objectValue};     // handed to InitSetting as is
};

struct HostConfig {
  std::vector<DeviceConfig> devices;
  bool has_sparkplug = false;
  SparkplugConfig sparkplug;
};

// Parses a configuration of the form
//   {"devices": [{"id": 7, "address": "10.0.0.5", "port": 4840, "settings": {...}}]}
// "id" and "address" are required, "port" defaults to 4840, "settings" to {}.
// An optional top-level "sparkplug" object (SparkplugConfig) needs "servers",
// "group_id" and "edge_node_id"; its refusals name the line and column.
// Unknown keys are refused so that a misspelt key does not go unnoticed.
// The text must be strict JSON in UTF-8: comments, trailing commas, text after
// the document (or after a NUL byte) and invalid UTF-8 are refused, naming
// the line and column (in bytes); a leading byte-order mark is accepted.
// On failure returns false with a one-line reason in `error`; `out` is then
// unspecified. Accepts any text without crashing.
bool parse_host_config(const std::string& text, HostConfig& out, std::string& error);

// The largest configuration file read: a few hundred devices take some
// kilobytes, so anything near this is not a configuration.
constexpr std::size_t kMaxConfigBytes = std::size_t{4} << 20;

// Reads a configuration file whole: a regular file or a pipe, at most
// kMaxConfigBytes. Directories, devices (/dev/zero would never end) and larger
// files are refused; false with a one-line reason naming the path.
// `regular_only` refuses pipes too and never waits to open: a running host
// reloading must not hang on a pipe without a writer.
bool read_config_file(const std::string& path, std::string& text, std::string& error,
                      bool regular_only = false);

// Where `text` stops being well-formed UTF-8 (overlong forms, surrogates and
// code points above U+10FFFF included) at or after `from`, or npos.
std::size_t invalid_utf8_at(const std::string& text, std::size_t from = 0);
