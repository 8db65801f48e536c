#pragma once

// Reading the configuration file, at start, on SIGHUP (the reload: the
// running devices brought in line with the file) and for --check-config.
#include "config.h"
#include "options.h"

#include <string>

class DeviceSet;
class HttpView;
class EdgeNode;

// Reads and checks the configuration file: one line in `error` if unusable.
// A reload takes only a regular file: a pipe would hold up the running host.
bool load_config(const Options& options, HostConfig& config, std::string& error,
                 bool reload = false);

// --check-config: the file as a reload would take it, said in one line;
// returns the exit status.
int check_config(Options options);

// SIGHUP: reads the configuration again and applies it to `devices`, the
// live view and the publishing (a changed "sparkplug" section reconnects).
// An unusable file leaves the running devices as they are. False when a
// device could not be made.
bool reload(const Options& options, DeviceSet& devices, HttpView& view, EdgeNode* publisher);
