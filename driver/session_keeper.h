#pragma once

// Where a round's OPC UA session comes from: a new one per round (the
// default), or one kept open across rounds ("appSetting": {"session":
// "keep"}) and opened anew as soon as it breaks.

#include "opcua_session.h"
#include "security.h"
#include "settings_schema.h"

#include <json/value.h>
#include <open62541/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The session timeout a kept session asks for: a dozen rounds, so that a
// late round never finds it expired, and a vanished client's session does
// not hold the server's resources for long.
constexpr double kKeptSessionTimeoutMs = 60000;

// How long the connect that closes a broken kept session on the server may
// take before the session is replaced (its CloseSession is bounded as any
// close's).
constexpr auto kReplacedCloseBound = std::chrono::milliseconds(2000);

// Owned by one device, used by its sampling thread only.
class SessionKeeper {
 public:
  explicit SessionKeeper(const std::atomic<bool>* stop) : stop_(stop) {}
  ~SessionKeeper() {
    close();
    forget_endpoint();
  }
  SessionKeeper(const SessionKeeper&) = delete;
  SessionKeeper& operator=(const SessionKeeper&) = delete;

  // The connected session a round reads on, or null when none could be
  // opened; `status` and `reason` then say why, as RoundSecurity::connect
  // gives them.
  // Keep mode returns the kept session when it is still open for this URL
  // and these security settings (`reused` is then set), else opens one.
  // With `batched`, a newly kept session registers the points' node ids,
  // and a kept one again after it was activated anew.
  ClientSession* acquire(SessionMode mode, const RoundSecurity& security, const std::string& url,
                         bool batched, bool* reused, UA_StatusCode* status, std::string* reason);
  // The round is over. A per-round session, or a kept one that `broken`
  // says is unusable, is closed (a broken one by dropping its channel).
  void release(bool broken);

  // The ReadValueIds by the node ids the kept session registered, when the
  // server returned ids other than the string ids; null otherwise.
  const UA_ReadValueId* registered() const { return items_.empty() ? nullptr : items_.data(); }
  // The session that registered them is gone (replaced within a round).
  void forget_registered();

  // Closes the kept session, if any: with one CloseSession, bounded by the
  // session's close, whatever the stop flag says (the device's stop).
  void close();

 private:
  bool still_open(const RoundSecurity& security, const std::string& url) const;
  // Closes the broken kept session on the server where it can be reached.
  void retire();
  void register_points();
  // A new session_, connected; false with `status` and `reason` when not.
  bool open(bool keep, const RoundSecurity& security, const std::string& url,
            UA_StatusCode* status, std::string* reason);
  // The endpoint the last discovery chose is reused by later connects with
  // the same URL and settings, which then skip the discovery requests (and,
  // for a secure endpoint, the unsecured channel they need); it is dropped
  // when a connect with it fails.
  bool pin_endpoint(const RoundSecurity& security, const std::string& url);
  void remember_endpoint(const RoundSecurity& security, const std::string& url);
  void forget_endpoint();

  const std::atomic<bool>* stop_;
  std::unique_ptr<ClientSession> session_;
  bool kept_ = false;  // session_ stays after the round
  std::string url_;
  std::shared_ptr<const SessionSecurity> security_;  // held: compared by identity
  std::vector<UA_NodeId> registered_;  // owned ids returned by the server
  uint32_t registered_on_ = 0;  // the session activation last registered on
  std::vector<UA_ReadValueId> items_;  // read descriptors by those ids
  // The remembered endpoint (owned), for endpoint_url_ and endpoint_security_.
  bool have_endpoint_ = false;
  UA_EndpointDescription endpoint_{};
  UA_UserTokenPolicy endpoint_token_{};
  std::string endpoint_url_;
  std::shared_ptr<const SessionSecurity> endpoint_security_;
};

// Releases a round's session on every path, a throwing host included.
class SessionLease {
 public:
  explicit SessionLease(SessionKeeper& keeper) : keeper_(keeper) {}
  ~SessionLease() { keeper_.release(broken_); }
  SessionLease(const SessionLease&) = delete;
  SessionLease& operator=(const SessionLease&) = delete;
  void broken() { broken_ = true; }

 private:
  SessionKeeper& keeper_;
  bool broken_ = false;
};
