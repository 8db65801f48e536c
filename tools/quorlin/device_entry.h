#pragma once

// A device's connection as qrn-host's configuration file describes it, for
// `quorlin check --config FILE --device ID`.
#include "security.h"

#include <cstdint>
#include <memory>
#include <string>

struct DeviceConnection {
  std::string address;
  uint16_t port = 4840;
  std::shared_ptr<const SessionSecurity> security;  // null: clear text, anonymous
};

// Reads FILE as qrn-host does and takes the entry with id `device` (its
// address, port and "opcua" settings, files read as the driver reads them).
// False with one line in `error`.
bool device_connection(const std::string& file, const std::string& device, DeviceConnection& out,
                       std::string& error);
