#include "session_keeper.h"

#include "batch_read.h"
#include "log.h"
#include "point_table.h"
#include "read_table.h"

#include <exception>

SessionMode session_mode_setting(const Json::Value& settings, uint32_t device_id) {
  try {
    // Only constant look-ups on objects: the tree is never extended.
    if (settings.type() != Json::objectValue) return SessionMode::Round;
    const Json::Value& app = settings["appSetting"];
    if (app.type() != Json::objectValue) return SessionMode::Round;
    const Json::Value& mode = app["session"];
    if (mode.isNull()) return SessionMode::Round;
    if (mode.isString() && mode.asString() == "keep") return SessionMode::Keep;
    if (mode.isString() && mode.asString() == "round") return SessionMode::Round;
    log_line("InitSetting " + std::to_string(device_id) +
             " session is not \"round\" or \"keep\"; a session per round");
  } catch (const std::exception&) {
    // Out of memory while logging: a session per round.
  }
  return SessionMode::Round;
}

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
      return session_.get();
    }
    session_->mark_lost();
    close();
  }
  session_ = std::make_unique<ClientSession>(stop_);
  kept_ = keep;
  if (session_->client() == nullptr) {
    *status = UA_STATUSCODE_BADOUTOFMEMORY;
    session_.reset();
    return nullptr;
  }
  if (keep) session_->config()->requestedSessionTimeout = kKeptSessionTimeoutMs;
  if (!security.connect(*session_, url, status, reason)) {
    session_.reset();
    return nullptr;
  }
  if (keep) {
    url_ = url;
    security_ = security.settings();
    if (batched) register_points();
  }
  return session_.get();
}

void SessionKeeper::release(bool broken) {
  if (!session_) return;
  if (kept_ && !broken) return;
  if (broken) session_->mark_lost();
  session_.reset();  // closes it
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
