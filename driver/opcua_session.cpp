#include "opcua_session.h"

#include <open62541/client_config_default.h>
#include <open62541/plugin/eventloop.h>
#include <open62541/util.h>

#include "endpoint.h"
#include "log.h"
#include "log_options.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Longest single block in the client's event loop before the stop flag is
// looked at again: the latency of a stop request, as the library's event loop
// cannot be woken from another thread. Otherwise a wait blocks until a network
// event, the library's next timed step or its own deadline, whichever is first.
constexpr UA_UInt32 kStopCheckMs = 20;
// A healthy close is one CloseSession exchange; a server that does not
// answer it within this bound gets its channel dropped.
constexpr auto kCloseBound = std::chrono::seconds(1);
// Dropping a channel is local; this only bounds a misbehaving event loop.
constexpr auto kDropBound = std::chrono::milliseconds(200);

Clock::time_point deadline_after(UA_UInt32 ms) {
  return Clock::now() + std::chrono::milliseconds(ms == 0 ? 5000 : ms);
}

UA_SecureChannelState channel_state(UA_Client* client) {
  UA_SecureChannelState channel;
  UA_Client_getState(client, &channel, nullptr, nullptr);
  return channel;
}

// Bytes of a library message printed; the buffer holds a few more, so that a
// longer message ends in "...".
constexpr std::size_t kLibraryTextLimit = 1000;

// The library's standard-output log format, each line written whole. The
// library's own logger prints a line in three pieces, between which a line
// of ours from another thread could land and both would be broken.
// The journal's priority of a library line: fatal and error are errors, debug
// and trace debug.
LogPriority priority_of(UA_LogLevel level) {
  if (level >= UA_LOGLEVEL_ERROR) return LogPriority::Error;
  if (level >= UA_LOGLEVEL_WARNING) return LogPriority::Warning;
  if (level >= UA_LOGLEVEL_INFO) return LogPriority::Info;
  return LogPriority::Debug;
}

// The library warns that it skips the ApplicationURI check on every connect
// without security, i.e. every round: said once per device, as information
// (nothing failed). A device samples on one thread of its own for its whole
// life, so the thread keeps the note.
constexpr char kSkipUriCheck[] = "skip verifying ApplicationURI";
thread_local bool said_skip_uri_check = false;

void log_whole_line(void*, UA_LogLevel level, UA_LogCategory category, const char* msg,
                    va_list args) {
  if (level < library_log_level()) return;
  LogPriority priority = priority_of(level);
  if (std::strncmp(msg, kSkipUriCheck, sizeof kSkipUriCheck - 1) == 0) {
    if (said_skip_uri_check) return;
    said_skip_uri_check = true;
    priority = LogPriority::Info;
  }
  static constexpr const char* kLevels[] = {"trace", "debug", "\x1b[32minfo", "\x1b[33mwarn",
                                            "\x1b[31merror", "\x1b[35mfatal"};
  const bool colour = log_colour();
  static constexpr const char* kCategories[] = {"network", "channel", "session", "server",
                                                "client", "userland", "securitypolicy",
                                                "eventloop", "pubsub", "discovery"};
  const int slot = static_cast<int>(level) / 100 - 1;
  const std::size_t cat = static_cast<std::size_t>(category);
  const UA_Int64 offset = UA_DateTime_localTimeUtcOffset();
  const UA_DateTimeStruct t = UA_DateTime_toStruct(UA_DateTime_now() + offset);
  char head[128];
  const char* name = kLevels[slot < 0 || slot > 5 ? 5 : slot];
  if (!colour && name[0] == '\x1b') name += 5;  // past "\x1b[3Nm"
  std::snprintf(head, sizeof head, "[%04u-%02u-%02u %02u:%02u:%02u.%03u (UTC%+05d)] %s/%s%s\t",
                t.year, t.month, t.day, t.hour, t.min, t.sec, t.milliSec,
                static_cast<int>(offset / UA_DATETIME_SEC / 36), name,
                cat < sizeof kCategories / sizeof *kCategories ? kCategories[cat] : "",
                colour ? "\x1b[0m" : "");
  // The library's messages carry a peer's texts (an error's reason, names,
  // URIs): escaped, so that none can forge or break a line, and bounded.
  char text[1024];
  const int length = std::vsnprintf(text, sizeof text, msg, args);
  if (length < 0) return;
  log_line(std::string(head) + printable_text(text, kLibraryTextLimit, true), priority);
}

// Each client has an event loop of its own, which by default also holds a UDP
// connection manager and gives each manager a 128 KiB receive buffer. The
// client speaks TCP only: the UDP manager goes, and the TCP one reads in
// 16 KiB pieces. An answer to one batched request is a few KB; the server's
// chunks stay at the 64 KiB we ask for, and the channel joins the pieces of
// a larger one. A larger buffer is touched by the larger answers and stays
// resident: 64 KiB here cost about 40 KiB per device. Per device that is
// 240 KiB less reserved, and for a session per round less memory mapped and
// faulted in every round.
constexpr UA_UInt32 kReceiveBufferBytes = 16u << 10;

bool trim_event_loop(UA_EventLoop* el) {
  if (el == nullptr) return false;
  const UA_String udp = UA_STRING(const_cast<char*>("udp"));
  const UA_String tcp = UA_STRING(const_cast<char*>("tcp"));
  for (UA_EventSource* es = el->eventSources; es != nullptr;) {
    UA_EventSource* next = es->next;
    if (es->eventSourceType == UA_EVENTSOURCETYPE_CONNECTIONMANAGER) {
      const UA_String& protocol = reinterpret_cast<UA_ConnectionManager*>(es)->protocol;
      if (UA_String_equal(&protocol, &udp)) {
        if (el->deregisterEventSource(el, es) == UA_STATUSCODE_GOOD) es->free(es);
      } else if (UA_String_equal(&protocol, &tcp)) {
        UA_UInt32 bytes = kReceiveBufferBytes;
        if (UA_KeyValueMap_setScalar(&es->params, UA_QUALIFIEDNAME(0, const_cast<char*>("recv-bufsize")),
                                     &bytes, &UA_TYPES[UA_TYPES_UINT32]) != UA_STATUSCODE_GOOD)
          return false;
      }
    }
    es = next;
  }
  return true;
}

}  // namespace

// Constant-initialised: no start-up code; the library only calls it.
UA_Logger library_line_logger = {&log_whole_line, nullptr, nullptr};

bool session_lost_status(UA_StatusCode status) {
  switch (status) {
    case UA_STATUSCODE_BADCONNECTIONCLOSED:
    case UA_STATUSCODE_BADCONNECTIONREJECTED:
    case UA_STATUSCODE_BADSECURECHANNELCLOSED:
    case UA_STATUSCODE_BADSECURECHANNELIDINVALID:
    case UA_STATUSCODE_BADSESSIONCLOSED:
    case UA_STATUSCODE_BADSESSIONIDINVALID:
    case UA_STATUSCODE_BADSESSIONNOTACTIVATED:
    case UA_STATUSCODE_BADTIMEOUT:
    case UA_STATUSCODE_BADREQUESTTIMEOUT:
    case UA_STATUSCODE_BADCOMMUNICATIONERROR:
    case UA_STATUSCODE_BADSERVERNOTCONNECTED:
    case UA_STATUSCODE_BADNOTCONNECTED:
    case UA_STATUSCODE_BADDISCONNECT:
    case UA_STATUSCODE_BADSHUTDOWN:
    case UA_STATUSCODE_BADSERVERHALTED:
    case UA_STATUSCODE_BADTCPINTERNALERROR:
    case UA_STATUSCODE_BADTCPMESSAGETOOLARGE:
      return true;
    default:
      return false;
  }
}

ClientSession::ClientSession(const std::atomic<bool>* stop, UA_Logger* logger) : stop_(stop) {
  UA_ClientConfig cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.logging = logger;  // before the defaults: the event loop takes it too
  if (UA_ClientConfig_setDefault(&cfg) == UA_STATUSCODE_GOOD && trim_event_loop(cfg.eventLoop)) {
    cfg.localConnectionConfig.localMaxMessageSize = kMaxReceivedMessageBytes;
    cfg.clientContext = this;
    cfg.stateCallback = &ClientSession::on_state;
    client_ = UA_Client_newWithConfig(&cfg);
  }
  if (client_ == nullptr) UA_ClientConfig_clear(&cfg);
}
ClientSession::~ClientSession() { close(); }

UA_ClientConfig* ClientSession::config() const {
  return client_ ? UA_Client_getConfig(client_) : nullptr;
}

template <class Finished>
UA_StatusCode ClientSession::run_until(Finished finished, Clock::time_point deadline,
                                       bool stoppable, bool block_first) {
  // Turns alternate between running what is due without blocking and
  // blocking: the event loop runs queued steps (a socket's close, the rest of
  // a received buffer) before it blocks, and would otherwise block through a
  // wait that such a step has already ended.
  for (bool block = block_first;; block = !block) {
    UA_StatusCode st = UA_STATUSCODE_GOOD;
    if (finished(&st)) return st;
    if (stoppable && stopping()) return UA_STATUSCODE_BADSHUTDOWN;
    const auto now = Clock::now();
    if (now >= deadline) return UA_STATUSCODE_BADTIMEOUT;
    UA_UInt32 ms = 0;
    if (block) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      ms = static_cast<UA_UInt32>(std::min<long long>(left, kStopCheckMs));
    }
    UA_Client_run_iterate(client_, ms);
  }
}

void ClientSession::nudge() {
  // Queued already, or the client is being deleted.
  if (nudge_.callback != nullptr || config()->clientContext == nullptr) return;
  UA_EventLoop* el = config()->eventLoop;
  if (el == nullptr) return;
  nudge_.callback = [](void*, void* context) {
    static_cast<ClientSession*>(context)->nudge_.callback = nullptr;
  };
  nudge_.application = nullptr;
  nudge_.context = this;
  el->addDelayedCallback(el, &nudge_);
}

bool ClientSession::wait_closed(Clock::time_point deadline) {
  return run_until([this](UA_StatusCode*) {
           return channel_state(client_) == UA_SECURECHANNELSTATE_CLOSED;
         }, deadline, false) == UA_STATUSCODE_GOOD;
}

bool ClientSession::activated() const {
  if (client_ == nullptr) return false;
  UA_SessionState session;
  UA_Client_getState(client_, nullptr, &session, nullptr);
  return session == UA_SESSIONSTATE_ACTIVATED;
}

void ClientSession::on_state(UA_Client* client, UA_SecureChannelState channel,
                             UA_SessionState session, UA_StatusCode) {
  auto* self = static_cast<ClientSession*>(UA_Client_getContext(client));
  if (self == nullptr) return;
  self->nudge();
  // Any activation may be another session (the library re-activates on its
  // own after a channel loss), so each gets a number of its own.
  const bool active = session == UA_SESSIONSTATE_ACTIVATED;
  if (active && !self->was_active_) self->activation_ = next_activation();
  self->was_active_ = active;
  // Every new TCP connection starts as Connecting; the library opens the next
  // one from inside the callback that closed the last, so no Closed is seen.
  if (channel == UA_SECURECHANNELSTATE_CONNECTING &&
      self->last_channel_ != UA_SECURECHANNELSTATE_CONNECTING &&
      ++self->connections_ >= kMaxConnectionsPerConnect)
    UA_Client_getConfig(client)->noReconnect = true;  // the next close ends the connect
  self->last_channel_ = channel;
}

uint32_t ClientSession::next_activation() {
  // Unique across clients (a new client may reuse a deleted one's address);
  // 0 stays "never activated" when the count wraps.
  static std::atomic<uint32_t> serial{0};
  uint32_t n = ++serial;
  while (n == 0) n = ++serial;
  return n;
}

void ClientSession::start_counting() {
  connections_ = 0;
  last_channel_ = channel_state(client_);
  config()->noReconnect = false;
}

UA_StatusCode ClientSession::connect(const std::string& url) {
  if (client_ == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
  url_ = url;
  lost_ = false;
  silent_ = false;
  start_counting();
  UA_StatusCode st = UA_Client_connectAsync(client_, url.c_str());
  if (st == UA_STATUSCODE_GOOD)
    st = run_until([this](UA_StatusCode* status) {
           UA_SessionState session;
           UA_Client_getState(client_, nullptr, &session, status);
           return *status != UA_STATUSCODE_GOOD || session == UA_SESSIONSTATE_ACTIVATED;
         }, deadline_after(config()->timeout), true);
  if (st == UA_STATUSCODE_GOOD) return st;
  lost_ = true;
  silent_ = st == UA_STATUSCODE_BADTIMEOUT;
  return st;
}

// The library leaves a channel "Closing" without closing its connection when
// a message of an unknown type arrives (a peer echoing our Hello): its own
// close then returns at once, and its disconnect waits for Closed for ever.
// Stopping the client's TCP connection manager closes every connection of
// this client (the event loop is the client's own), which clears the
// channel; the manager is started again for a later connect.
void ClientSession::force_drop() {
  UA_EventLoop* el = config()->eventLoop;
  if (el == nullptr) return;
  const UA_String tcp = UA_STRING(const_cast<char*>("tcp"));
  for (UA_EventSource* es = el->eventSources; es != nullptr; es = es->next) {
    if (es->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
    if (!UA_String_equal(&reinterpret_cast<UA_ConnectionManager*>(es)->protocol, &tcp)) continue;
    if (es->state != UA_EVENTSOURCESTATE_STARTED) continue;
    es->stop(es);
    run_until([es](UA_StatusCode*) { return es->state == UA_EVENTSOURCESTATE_STOPPED; },
              Clock::now() + kDropBound, false);
    if (es->state == UA_EVENTSOURCESTATE_STOPPED) es->start(es);
  }
}

UA_StatusCode ClientSession::get_endpoints(const std::string& url,
                                           UA_GetEndpointsResponse* response) {
  if (client_ == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
  url_ = url;
  start_counting();
  UA_StatusCode st = UA_Client_connectSecureChannelAsync(client_, url.c_str());
  const auto deadline = deadline_after(config()->timeout);
  // Asked on the first channel that opens (the library's discovery channel):
  // a channel it replaces under the request gets the request again.
  for (int attempt = 0; st == UA_STATUSCODE_GOOD; ++attempt) {
    st = run_until([this](UA_StatusCode* status) {
           UA_SecureChannelState channel;
           UA_Client_getState(client_, &channel, nullptr, status);
           return *status != UA_STATUSCODE_GOOD || channel == UA_SECURECHANNELSTATE_OPEN;
         }, deadline, true);
    if (st != UA_STATUSCODE_GOOD) break;
    UA_GetEndpointsRequest request;
    UA_GetEndpointsRequest_init(&request);
    request.endpointUrl = UA_STRING(const_cast<char*>(url.c_str()));
    UA_GetEndpointsResponse_clear(response);
    st = call(&request, &UA_TYPES[UA_TYPES_GETENDPOINTSREQUEST], response,
              &UA_TYPES[UA_TYPES_GETENDPOINTSRESPONSE]);
    if (attempt < 2 && (st == UA_STATUSCODE_BADSECURECHANNELCLOSED ||
                        st == UA_STATUSCODE_BADCONNECTIONCLOSED))
      st = UA_STATUSCODE_GOOD;
    else
      break;
  }
  forget_pending();
  drop_channel();
  return st;
}

void ClientSession::drop_channel() {
  UA_Client_disconnectSecureChannelAsync(client_);
  if (!wait_closed(Clock::now() + kDropBound)) force_drop();
}

UA_StatusCode ClientSession::reconnect() {
  if (client_ == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
  forget_pending();
  drop_channel();
  return connect(url_);
}

bool ClientSession::recover(UA_StatusCode status) {
  if (client_ == nullptr || stopping() || recoveries_ >= kMaxRecoveriesPerRound) return false;
  // A silent server would only cost another timeout.
  if (status == UA_STATUSCODE_BADTIMEOUT || status == UA_STATUSCODE_BADREQUESTTIMEOUT ||
      status == UA_STATUSCODE_BADSHUTDOWN)
    return false;
  ++recoveries_;
  return reconnect() == UA_STATUSCODE_GOOD;
}

void ClientSession::on_response(UA_Client*, void* userdata, UA_UInt32 request_id,
                                void* response) {
  auto* self = static_cast<ClientSession*>(userdata);
  for (Pending& p : self->pending_) {
    if (!p.live || p.answered || p.id != request_id) continue;
    // Moves the decoded response out; the client then clears an empty shell.
    std::memcpy(p.response, response, p.response_type->memSize);
    UA_init(response, p.response_type);
    p.answered = true;
    return;
  }
  // Not waited for any more (abandoned earlier): the client clears it.
}

UA_StatusCode ClientSession::send(const void* request, const UA_DataType* request_type,
                                  void* response, const UA_DataType* response_type,
                                  std::size_t* ticket) {
  if (client_ == nullptr) return UA_STATUSCODE_BADSERVERNOTCONNECTED;
  std::size_t slot = 0;
  while (slot < kMaxInFlight && pending_[slot].live) ++slot;
  if (slot == kMaxInFlight) return UA_STATUSCODE_BADRESOURCEUNAVAILABLE;
  UA_UInt32 id = 0;
  // Reserved before sending: a send that fails at once may answer right away.
  Pending& p = pending_[slot];
  p = Pending{};
  p.live = true;
  p.response = response;
  p.response_type = response_type;
  p.id = 0;
  const UA_StatusCode st = __UA_Client_AsyncService(
      client_, request, request_type, &ClientSession::on_response, response_type, this, &id);
  if (st != UA_STATUSCODE_GOOD) {
    p.live = false;
    return st;
  }
  p.id = id;
  p.deadline = deadline_after(config()->timeout) + std::chrono::milliseconds(500);
  *ticket = slot;
  return UA_STATUSCODE_GOOD;
}

UA_StatusCode ClientSession::wait(std::size_t ticket) {
  if (ticket >= kMaxInFlight || !pending_[ticket].live) return UA_STATUSCODE_BADINVALIDARGUMENT;
  Pending& p = pending_[ticket];
  // A request was just sent: nothing is queued that could answer it, so the
  // first turn blocks until the network has something.
  const UA_StatusCode st =
      run_until([&p](UA_StatusCode*) { return p.answered; }, p.deadline, true, true);
  p.live = false;  // a late response to this request is dropped
  silent_ = silent_ || st == UA_STATUSCODE_BADTIMEOUT;
  if (st != UA_STATUSCODE_GOOD) return st;
  // Every response type starts with its ResponseHeader.
  return static_cast<const UA_ResponseHeader*>(p.response)->serviceResult;
}

void ClientSession::forget_pending() {
  for (Pending& p : pending_) p.live = false;
}

UA_StatusCode ClientSession::call(const void* request, const UA_DataType* request_type,
                                  void* response, const UA_DataType* response_type) {
  std::size_t ticket = 0;
  const UA_StatusCode st = send(request, request_type, response, response_type, &ticket);
  if (st != UA_STATUSCODE_GOOD) return st;
  return wait(ticket);
}

UA_StatusCode ClientSession::read_value(const UA_NodeId& node, UA_DataValue* out) {
  UA_ReadValueId item;
  UA_ReadValueId_init(&item);
  item.nodeId = node;
  item.attributeId = UA_ATTRIBUTEID_VALUE;
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = &item;
  request.nodesToReadSize = 1;
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
  UA_ReadResponse response;
  UA_ReadResponse_init(&response);
  UA_StatusCode st = call(&request, &UA_TYPES[UA_TYPES_READREQUEST], &response,
                          &UA_TYPES[UA_TYPES_READRESPONSE]);
  if (st == UA_STATUSCODE_GOOD) {
    if (response.resultsSize == 1) {
      *out = response.results[0];  // moved: the response keeps an empty shell
      UA_DataValue_init(&response.results[0]);
      st = out->hasStatus ? out->status : UA_STATUSCODE_GOOD;
    } else {
      st = UA_STATUSCODE_BADUNEXPECTEDERROR;
    }
  }
  UA_ReadResponse_clear(&response);
  return st;
}

void ClientSession::close_broken(std::chrono::milliseconds bound) {
  if (client_ == nullptr) return;
  const auto deadline = Clock::now() + bound;
  lost_ = true;  // unless a new channel activates the session again
  // A server that stopped answering would only cost the whole bound.
  if (activation_ != 0 && !url_.empty() && !stopping() && !silent_) {
    forget_pending();
    drop_channel();
    start_counting();
    if (UA_Client_connectAsync(client_, url_.c_str()) == UA_STATUSCODE_GOOD)
      lost_ = run_until([this](UA_StatusCode* status) {
                UA_SessionState session;
                UA_Client_getState(client_, nullptr, &session, status);
                return *status != UA_STATUSCODE_GOOD || session == UA_SESSIONSTATE_ACTIVATED;
              }, deadline, true) != UA_STATUSCODE_GOOD;
  }
  close();
}

void ClientSession::close() {
  if (client_ == nullptr) return;
  const bool polite = !lost_ && !stopping() && activated();
  const auto closed = [this](UA_StatusCode*) {
    return channel_state(client_) == UA_SECURECHANNELSTATE_CLOSED;
  };
  bool done = false;
  if (polite) {
    UA_Client_disconnectAsync(client_);
    // A stop during the CloseSession exchange drops the channel instead.
    done = run_until(closed, Clock::now() + kCloseBound, true) == UA_STATUSCODE_GOOD;
  }
  if (!done) {
    // No answer to CloseSession, or none asked for: drop the channel.
    UA_Client_disconnectSecureChannelAsync(client_);
    done = wait_closed(Clock::now() + kDropBound);
  }
  // Still not closed: the library's delete would wait for it for ever.
  if (!done) force_drop();
  // Nothing of ours may be queued or queue itself: the event loop stops only
  // once no step is queued, and would block the delete for a whole turn.
  config()->clientContext = nullptr;
  if (nudge_.callback != nullptr && config()->eventLoop != nullptr)
    config()->eventLoop->removeDelayedCallback(config()->eventLoop, &nudge_);
  nudge_.callback = nullptr;
  UA_Client_delete(client_);
  client_ = nullptr;
}
