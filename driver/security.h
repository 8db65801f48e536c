#pragma once

// Secure sessions: the device settings' optional "opcua" object, checked and
// loaded once, and applied to each round's session before it connects.

#include "certificates.h"
#include "opcua_session.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What a device's "opcua" settings ask for, with every file already read.
struct SessionSecurity {
  SessionSecurity() = default;
  SessionSecurity(const SessionSecurity&) = delete;
  SessionSecurity& operator=(const SessionSecurity&) = delete;
  ~SessionSecurity();  // wipes the private key and the password

  UA_MessageSecurityMode mode = UA_MESSAGESECURITYMODE_NONE;
  // The one policy allowed; null: the best current policy the server offers.
  const SecurityPolicyInfo* policy = nullptr;
  Bytes certificate;            // DER; empty when none is configured
  Bytes private_key;            // DER
  std::string application_uri;  // the certificate's, which servers compare
  std::vector<Bytes> trusted_servers;
  bool trust_any_server = false;
  std::string user;  // empty: anonymous
  std::string password;
  // Send the password also where neither the channel nor the server's user
  // token policy encrypts it; otherwise such a log-in is refused.
  bool allow_password_in_clear = false;

  // Sets a new session's client up before it connects: the mode and policy
  // (nothing else is accepted), the certificate, the trusted servers, the
  // user. Returns the first failing status.
  UA_StatusCode apply(UA_ClientConfig* config) const;
  // Whether the password can leave unencrypted, so that the server's user
  // token policies are looked at before connecting.
  bool password_needs_check() const;
  // Whether the connected session's channel has the mode and policy asked
  // for; otherwise `problem` says what it has.
  bool session_matches(UA_Client* client, std::string& problem) const;
  // "SignAndEncrypt Basic256Sha256, user \"qrn\"" (never the password).
  std::string describe() const;
};

// The outcome of reading the "opcua" settings.
struct SecurityLoad {
  bool present = false;  // the settings hold an "opcua" value
  // One entry per problem, each starting with the key ("opcua.user: ...").
  std::vector<std::string> problems;
  // What was read only in part ("opcua.trusted_servers: skipped ..."): said,
  // but the device is not held for it.
  std::vector<std::string> notes;
  // Set when present and without problems.
  std::shared_ptr<const SessionSecurity> security;
};

// Checks settings["opcua"] and reads the files it names. Never throws on
// any JSON tree; out of memory is reported as a problem.
SecurityLoad load_session_security(const Json::Value& settings) noexcept;

// Why a secure connection failed, for a person: the status name and what it
// usually means here.
std::string secure_connect_problem(const SessionSecurity& security, UA_StatusCode status);

// Opens the session as `security` asks (a plain connect when it is null)
// and checks the channel it got. Where the password could leave unencrypted,
// the server's endpoints are asked for first and only a user token policy
// that encrypts it is used. Returns Good, the connection's failure,
// BadSecurityModeInsufficient when the server would take the password only
// unencrypted, or BadSecurityModeRejected when the channel is not the one
// asked for (`problem` then says why). With `endpoint_pinned` the client's
// configuration already names the endpoint and token policy of an earlier
// connect, and the endpoints are not asked for again.
UA_StatusCode connect_secure(ClientSession& session, const std::string& url,
                             const SessionSecurity* security, std::string* problem = nullptr,
                             bool endpoint_pinned = false);

// Of a GetEndpoints answer on a connected client, the endpoint and user token
// policy the client's connection uses, picked as the library picks them
// among those of the channel's mode and policy: copies into `endpoint` and
// `token` (initialised by the caller, cleared by the caller), BadNotFound
// when none fits.
UA_StatusCode endpoint_in_use(UA_Client* client, const UA_GetEndpointsResponse& response,
                              UA_EndpointDescription* endpoint, UA_UserTokenPolicy* token);

// What one round of a device connects with.
class RoundSecurity {
 public:
  RoundSecurity(uint32_t device_id, bool held, std::shared_ptr<const SessionSecurity> security)
      : device_id_(device_id), held_(held), security_(std::move(security)) {}
  // The settings have a problem: the round must not connect at all.
  bool held() const { return held_; }
  // Connects the round's session; a secure connection that fails prints one
  // line with the reason. Without "opcua" settings: exactly a plain connect.
  // `status` (may be null) gets the connection's status; with `line`, the
  // secure connection's reason line is put there instead of printed.
  // `endpoint_pinned`: as connect_secure's.
  bool connect(ClientSession& session, const std::string& url, UA_StatusCode* status = nullptr,
               std::string* line = nullptr, bool endpoint_pinned = false) const;
  // The security mode the round asks for.
  UA_MessageSecurityMode mode() const {
    return security_ ? security_->mode : UA_MESSAGESECURITYMODE_NONE;
  }
  // The settings connected with; null without "opcua" settings.
  const std::shared_ptr<const SessionSecurity>& settings() const { return security_; }

 private:
  uint32_t device_id_;
  bool held_;
  std::shared_ptr<const SessionSecurity> security_;
};

// A device's security settings: replaced by each InitSetting on a host
// thread, taken by each round on the sampling thread.
class DeviceSecurity {
 public:
  // Loads settings["opcua"] and applies it.
  void configure(const Json::Value& settings, uint32_t device_id) noexcept {
    apply(load_session_security(settings), device_id);
  }
  // Prints one line per problem naming the key and the device, and once per
  // device a line when any server is trusted; then the rounds use `load`.
  void apply(SecurityLoad load, uint32_t device_id) noexcept;
  RoundSecurity for_round() const;

 private:
  mutable std::mutex mutex_;
  uint32_t device_id_ = 0;
  bool held_ = false;
  std::shared_ptr<const SessionSecurity> security_;
  bool said_trust_any_ = false;
  bool said_clear_ = false;
};
