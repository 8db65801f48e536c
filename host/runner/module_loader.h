#pragma once

// Loading the driver module (the plug-in) and finding its device factory.
#include "qrn_device.h"

#include <memory>
#include <string>
#include <vector>

// The installed plug-in, found from where this program runs: beside it in a
// build tree, else in the plug-in folder under the same prefix
// (/usr/bin/qrn-host finds /usr/lib/qrn/plugins/libquorlin.so).
std::string default_plugin();

// The plug-in, unloaded when this goes out of scope: its providers first,
// then the module itself.
class PluginModule {
 public:
  PluginModule() = default;
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;
  ~PluginModule();

  // Loads `plugin` (empty: the installed one), its OPC UA library's lines
  // from `log_level` up, and finds its entry point; false after saying why not.
  bool load(const std::string& plugin, const std::string& log_level);

  // Asks the module for its providers; the socket-device provider among
  // them, or null after saying that there is none.
  QRNSocketDeviceProvider* socket_device_factory();

  // Deletes the providers (after the devices they made).
  void release_providers() { providers_.clear(); }

 private:
  std::string given_;  // the plug-in as named, for the lines about it
  void* handle_ = nullptr;
  void* entry_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
};
