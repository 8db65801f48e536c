#include "session_keeper.h"

#include "batch_read.h"
#include "log.h"
#include "point_table.h"
#include "read_value_ids.h"

#include <exception>

bool SessionKeeper::still_open(const RoundSecurity& security, const std::string& url) const {
  if (url != url_ || security.settings() != security_) return false;
  // Takes in what arrived since the last round: a closed connection or a
  // renewed channel. No wait: an idle, healthy session has nothing pending.
  UA_Client* client = session_->client();
  UA_Client_run_iterate(client, 0);
  UA_SecureChannelState channel;
  UA_SessionState session;
  UA_StatusCode status;
  UA_Client_getState(client, &channel, &session, &status);
  return channel == UA_SECURECHANNELSTATE_OPEN && session == UA_SESSIONSTATE_ACTIVATED &&
         status == UA_STATUSCODE_GOOD;
}

ClientSession* SessionKeeper::acquire(SessionMode mode, const RoundSecurity& security,
                                      const std::string& url, bool batched, bool* reused,
                                      UA_StatusCode* status, std::string* reason) {
  *reused = false;
  *status = UA_STATUSCODE_GOOD;
  const bool keep = mode == SessionMode::Keep;
  if (session_ && (!keep || !kept_)) close();
  if (session_ && keep) {
    if (still_open(security, url)) {
      *reused = true;
      // Another activation (a reconnect within an earlier round) may be
      // another session, which knows none of the ids registered before.
      if (batched && session_->activation() != registered_on_) register_points();
      return session_.get();
    }
    retire();
  }
  // A connect with a remembered endpoint that fails may have met a server
  // that changed (its certificate, its endpoints): it is tried once more at
  // once with the endpoints asked for, as a connect without memory would.
  const bool pinned = pin_endpoint(security, url);
  if (!open(keep, security, url, status, reason)) {
    if (!pinned) return nullptr;
    forget_endpoint();
    if (*status == UA_STATUSCODE_BADSHUTDOWN || *status == UA_STATUSCODE_BADTIMEOUT ||
        !open(keep, security, url, status, reason))
      return nullptr;
    remember_endpoint(security, url);
  } else if (!pinned) {
    remember_endpoint(security, url);
  }
  if (keep) {
    url_ = url;
    security_ = security.settings();
    if (batched) register_points();
  }
  return session_.get();
}

bool SessionKeeper::open(bool keep, const RoundSecurity& security, const std::string& url,
                         UA_StatusCode* status, std::string* reason) {
  session_ = std::make_unique<ClientSession>(stop_);
  kept_ = keep;
  UA_ClientConfig* cfg = session_->config();
  if (cfg == nullptr) {
    *status = UA_STATUSCODE_BADOUTOFMEMORY;
    session_.reset();
    return false;
  }
  if (keep) cfg->requestedSessionTimeout = kKeptSessionTimeoutMs;
  bool pinned = false;
  if (have_endpoint_) {
    pinned = UA_EndpointDescription_copy(&endpoint_, &cfg->endpoint) == UA_STATUSCODE_GOOD &&
             UA_UserTokenPolicy_copy(&endpoint_token_, &cfg->userTokenPolicy) ==
                 UA_STATUSCODE_GOOD;
    if (!pinned) {
      // Out of memory: a connect with discovery.
      UA_EndpointDescription_clear(&cfg->endpoint);
      UA_UserTokenPolicy_clear(&cfg->userTokenPolicy);
    }
  }
  if (reason != nullptr) reason->clear();
  if (!security.connect(*session_, url, status, reason, pinned)) {
    session_.reset();
    return false;
  }
  return true;
}

bool SessionKeeper::pin_endpoint(const RoundSecurity& security, const std::string& url) {
  if (have_endpoint_ && (url != endpoint_url_ || security.settings() != endpoint_security_))
    forget_endpoint();
  return have_endpoint_;
}

void SessionKeeper::remember_endpoint(const RoundSecurity& security, const std::string& url) {
  forget_endpoint();
  UA_GetEndpointsRequest request;
  UA_GetEndpointsRequest_init(&request);
  request.endpointUrl = UA_STRING(const_cast<char*>(url.c_str()));
  UA_GetEndpointsResponse response;
  UA_GetEndpointsResponse_init(&response);
  // One request on the new session's channel, in the rounds that discover.
  UA_StatusCode st = session_->call(&request, &UA_TYPES[UA_TYPES_GETENDPOINTSREQUEST], &response,
                                    &UA_TYPES[UA_TYPES_GETENDPOINTSRESPONSE]);
  if (st == UA_STATUSCODE_GOOD)
    st = endpoint_in_use(session_->client(), response, &endpoint_, &endpoint_token_);
  UA_GetEndpointsResponse_clear(&response);
  if (st != UA_STATUSCODE_GOOD) return;  // the next connect discovers again
  try {
    endpoint_url_ = url;
  } catch (const std::exception&) {
    UA_EndpointDescription_clear(&endpoint_);
    UA_UserTokenPolicy_clear(&endpoint_token_);
    return;
  }
  endpoint_security_ = security.settings();
  have_endpoint_ = true;
}

void SessionKeeper::forget_endpoint() {
  UA_EndpointDescription_clear(&endpoint_);
  UA_UserTokenPolicy_clear(&endpoint_token_);
  endpoint_security_.reset();
  have_endpoint_ = false;
}

void SessionKeeper::release(bool broken) {
  if (!session_) return;
  if (kept_ && !broken) return;
  if (kept_) {
    retire();
    return;
  }
  if (broken) session_->mark_lost();
  session_.reset();  // closes it
  forget_registered();
  security_.reset();
}

void SessionKeeper::retire() {
  // The server would otherwise hold the broken session until it times out,
  // and a device whose connection breaks often would pile them up.
  session_->close_broken(kReplacedCloseBound);
  session_.reset();
  forget_registered();
  security_.reset();
}

void SessionKeeper::close() {
  if (!session_) return;
  // Not cut short by the stop: a stopping device still says goodbye.
  session_->set_stop(nullptr);
  session_.reset();
  forget_registered();
  security_.reset();
}

void SessionKeeper::forget_registered() {
  items_.clear();
  items_.shrink_to_fit();
  for (UA_NodeId& id : registered_) UA_NodeId_clear(&id);
  registered_.clear();
  registered_.shrink_to_fit();
}

void SessionKeeper::register_points() {
  forget_registered();
  registered_on_ = session_->activation();
  const UA_ReadValueId* named = shared_read_items();
  std::vector<UA_NodeId> ids;
  std::vector<UA_NodeId> chunk;
  bool differs = false;
  try {
    ids.reserve(kQuorlinPointCount);
    std::size_t begin = 0;
    while (begin < kQuorlinPointCount) {
      // Requests of the batched reads' size and byte budget.
      chunk.clear();
      std::size_t bytes = 0;
      while (begin + chunk.size() < kQuorlinPointCount && chunk.size() < kDefaultMaxNodesPerRead) {
        const UA_NodeId& id = named[begin + chunk.size()].nodeId;
        const std::size_t node = kReadNodeOverheadBytes + id.identifier.string.length;
        if (!chunk.empty() && bytes + node > kReadRequestBudgetBytes) break;
        bytes += node;
        chunk.push_back(id);  // borrowed: the library only reads the request
      }
      UA_RegisterNodesRequest request;
      UA_RegisterNodesRequest_init(&request);
      request.nodesToRegister = chunk.data();
      request.nodesToRegisterSize = chunk.size();
      UA_RegisterNodesResponse response;
      UA_RegisterNodesResponse_init(&response);
      const UA_StatusCode st =
          session_->call(&request, &UA_TYPES[UA_TYPES_REGISTERNODESREQUEST], &response,
                         &UA_TYPES[UA_TYPES_REGISTERNODESRESPONSE]);
      const bool ok = st == UA_STATUSCODE_GOOD && response.registeredNodeIdsSize == chunk.size();
      if (ok) {
        for (std::size_t k = 0; k < chunk.size(); ++k) {
          differs = differs || !UA_NodeId_equal(&chunk[k], &response.registeredNodeIds[k]);
          ids.push_back(response.registeredNodeIds[k]);  // moved out of the response
          UA_NodeId_init(&response.registeredNodeIds[k]);
        }
      }
      UA_RegisterNodesResponse_clear(&response);
      // Not supported, refused or lost: the session reads by the string ids.
      if (!ok) break;
      begin += chunk.size();
    }
    if (differs && ids.size() == kQuorlinPointCount) {
      items_.assign(named, named + kQuorlinPointCount);
      for (std::size_t i = 0; i < kQuorlinPointCount; ++i) items_[i].nodeId = ids[i];
      registered_ = std::move(ids);
      return;
    }
  } catch (const std::exception&) {
    items_.clear();  // out of memory: string ids
  }
  // The server gave the string ids back (or none): nothing to keep.
  for (UA_NodeId& id : ids) UA_NodeId_clear(&id);
}
