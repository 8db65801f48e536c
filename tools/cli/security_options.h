#pragma once

// Security options of the tools: a plant server's (its certificate, the
// policies and modes it offers, who may log in, whose certificates it
// accepts) and a client's, which are the device settings' "opcua" keys.

#include "cli.h"
#include "plant_server.h"
#include "security.h"

#include <memory>
#include <string>
#include <vector>

namespace cli {

// Options that fill a plant server's security; checked by finish().
struct PlantSecurityOptions {
  plant::PlantSecurity security;
  std::vector<std::string> modes;  // --mode, in the order given
  std::vector<std::string> users;  // --user NAME:PASSWORD
  std::string user_file;           // --user-file: NAME:PASSWORD lines
  bool no_anonymous = false;

  void add_to(CLI::App& app);
  // Checks the combination and fills `security`; throws UsageError.
  void finish();
  // "SignAndEncrypt with Basic256Sha256; anonymous refused, 1 user; any client certificate"
  std::string describe() const;
};

// A client's connection options, named after the settings' "opcua" keys.
struct ClientSecurityOptions {
  std::string mode, policy, certificate, private_key, trusted_servers, user, password_file;
  bool trust_any_server = false;
  bool allow_password_in_clear = false;

  void add_to(CLI::App& app);
  // The options as the settings' "opcua" object, checked and loaded the way
  // the driver loads it. Null when no option was given; throws UsageError
  // with the first problem (a password is never part of it).
  std::shared_ptr<const SessionSecurity> load() const;
};

}  // namespace cli
