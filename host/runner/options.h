#pragma once

// qrn-host's command line: the options, their checks, the help text.
#include "retention.h"

#include <chrono>
#include <optional>
#include <string>

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

// --once gives up on a device whose first round has not ended this long after
// the last device started: a round against a silent controller ends within
// its timeouts (seconds), a slow round point by point within two minutes.
constexpr std::chrono::seconds kOnceBound{150};

// Each device is a sampling thread and an OPC UA session of its own; beyond
// this many the unit's cores are saturated, unless --max-devices says so.
constexpr unsigned long kDefaultMaxDevices = 256;

// Everything the command line sets; defaults are the values without option.
struct Options {
  std::string plugin;
  std::string config;
  std::optional<unsigned long> rounds;
  bool once = false;
  std::string check_config;
  std::string dump_dir;
  std::string history;
  unsigned long max_devices = kDefaultMaxDevices;
  std::string http;
  std::string log_level = "warn";
  RetentionLimits retention;
};

// 0 when the host is to run, -1 after --help or --version, otherwise the
// exit status (a usage error is said with the help on standard error).
int parse_args(int argc, char** argv, Options& options);
