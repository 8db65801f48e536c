#pragma once

#include <open62541/client.h>
#include <open62541/plugin/eventloop.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// TCP connections one connect() may open: the handshake itself may need a
// second or third (a redirect, a switch to the secured endpoint); a peer that
// closes every connection gets no more than this.
constexpr unsigned kMaxConnectionsPerConnect = 3;

// Reconnects a round may make to go on past a point whose reply dropped the
// channel; after these the round is abandoned.
constexpr unsigned kMaxRecoveriesPerRound = 3;

// Largest message the client accepts from a server. A reply to a read of
// our points is a few dozen bytes per node (a whole batched round is about
// 15 KB); anything near this bound is a faulty or hostile server, and it
// fails that round instead of growing the host's memory.
constexpr uint32_t kMaxReceivedMessageBytes = 4u << 20;

// One OPC UA client session, owned: the client is configured as every round
// needs it, connected and read from with requests that wait by iterating
// the client, so that each wait can be cut short as soon as `stop` is set,
// and closed and deleted on every path by the destructor.
// The client's log: the library's standard-output lines, each written whole.
extern UA_Logger library_line_logger;

class ClientSession {
 public:
  // `stop` (may be null) ends any wait promptly once it becomes true;
  // `logger` gets the library's log lines.
  explicit ClientSession(const std::atomic<bool>* stop = nullptr,
                         UA_Logger* logger = &library_line_logger);
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Null only if the client could not be created.
  UA_Client* client() const { return client_; }
  UA_ClientConfig* config() const;

  // Opens the secure channel and an activated session. Returns the
  // connection's status: Good, the failure, BadTimeout after the client's
  // request timeout, or BadShutdown when stopped.
  UA_StatusCode connect(const std::string& url);

  // Opens a channel without a session, asks the server for its endpoints
  // (moved into `response`, cleared by the caller) and drops the channel
  // again: what the server offers, before anything goes to a session.
  // Statuses as connect() and call().
  UA_StatusCode get_endpoints(const std::string& url, UA_GetEndpointsResponse* response);

  // Sends one service request and waits for its response, which is moved
  // into `response` (initialised by the caller, cleared by the caller).
  // Returns the response's service result; BadTimeout after the client's
  // request timeout, BadShutdown when stopped.
  UA_StatusCode call(const void* request, const UA_DataType* request_type, void* response,
                     const UA_DataType* response_type);

  // Pipelined requests: up to kMaxInFlight sent before their answers arrive.
  // send() dispatches one request and gives a ticket; its response is moved
  // into `response` (initialised and later cleared by the caller) once it
  // arrives. wait() waits for that ticket's response with call()'s statuses
  // and frees the ticket. A failed send() returns its status and no ticket.
  static constexpr std::size_t kMaxInFlight = 8;
  UA_StatusCode send(const void* request, const UA_DataType* request_type, void* response,
                     const UA_DataType* response_type, std::size_t* ticket);
  UA_StatusCode wait(std::size_t ticket);
  // Frees every ticket; late responses to them are dropped, and the buffers
  // given to send() are not written any more.
  void forget_pending();

  // Drops the channel and opens a new session on the same client and URL as
  // the last connect(), with the same configuration. Returns connect()'s status.
  UA_StatusCode reconnect();

  // Reads the Value attribute of one node with a single-node Read and gives
  // the whole DataValue the server sent (status, value). Returns the status
  // that applies to the value: the service's when the request failed, else
  // the DataValue's.
  UA_StatusCode read_value(const UA_NodeId& node, UA_DataValue* out);

  // After a request whose channel was dropped under it (not a timeout, not a
  // stop): reconnects, at most kMaxRecoveriesPerRound times between calls
  // of new_round(), so that the round fails that request alone. True when
  // the session is active again.
  bool recover(UA_StatusCode status);
  void new_round() { recoveries_ = 0; }
  // Replaces the stop flag; null: nothing cuts waits short (a kept session's
  // close at the device's stop, which is bounded on its own).
  void set_stop(const std::atomic<bool>* stop) { stop_ = stop; }

  // Marks the session as gone (lost channel, silent server): the close then
  // drops the channel without asking the server to close the session.
  void mark_lost() { lost_ = true; }
  bool activated() const;
  // Differs for every activation of a session on any client; 0 before the
  // first. What a server told one session holds while this stays the same.
  uint32_t activation() const { return activation_; }

  // Closes and deletes the client: a healthy session with one CloseSession
  // exchange, a lost one by dropping the channel. Bounded in time; idempotent.
  void close();
  // Closes a session whose channel broke, which the server may still hold
  // until it times out: a new channel to the last URL, on which the library
  // activates the same session, within `bound`, then CloseSession as close()
  // does. Not tried after a stop or a request or connect that timed out.
  void close_broken(std::chrono::milliseconds bound);

  // TCP connections opened by the last connect() (and reconnect()).
  unsigned connections() const { return connections_; }

 private:
  static void on_response(UA_Client* client, void* userdata, UA_UInt32 request_id,
                          void* response);
  bool stopping() const { return stop_ != nullptr && stop_->load(); }
  // Called from the client's state callback, as a wait may have ended: queues
  // an empty step, so that the event loop's turn in progress does not go on
  // to block on the network (it blocks only when no step is queued). A state
  // change can come from a queued step (a socket's close) run just before
  // the turn would block. Responses to our requests arrive from the network.
  void nudge();
  // Runs the client's event loop until `finished(&status)` is true (then
  // gives that status), BadTimeout at `deadline`, BadShutdown when
  // `stoppable` and the device stops. `block_first`: nothing queued can end
  // the wait, so the first turn may block.
  template <class Finished>
  UA_StatusCode run_until(Finished finished, std::chrono::steady_clock::time_point deadline,
                          bool stoppable, bool block_first = false);
  void drop_channel();
  bool wait_closed(std::chrono::steady_clock::time_point deadline);
  static uint32_t next_activation();
  void start_counting();  // of the TCP connections a connect opens
  void force_drop();
  static void on_state(UA_Client* client, UA_SecureChannelState channel, UA_SessionState session,
                       UA_StatusCode connect_status);

  // A request sent and not yet waited for; responses to freed ones are dropped.
  struct Pending {
    bool live = false;
    bool answered = false;
    UA_UInt32 id = 0;
    void* response = nullptr;
    const UA_DataType* response_type = nullptr;
    std::chrono::steady_clock::time_point deadline;
  };

  UA_Client* client_ = nullptr;
  const std::atomic<bool>* stop_;
  bool lost_ = false;
  bool silent_ = false;  // the last connect, or a request since, timed out
  bool was_active_ = false;
  uint32_t activation_ = 0;
  std::string url_;
  unsigned connections_ = 0;
  unsigned recoveries_ = 0;
  UA_SecureChannelState last_channel_ = UA_SECURECHANNELSTATE_CLOSED;
  Pending pending_[kMaxInFlight];
  UA_DelayedCallback nudge_{};  // queued while its callback is set
};

// Statuses after which the session is gone: every further request would
// only wait for a reconnect or a timeout.
bool session_lost_status(UA_StatusCode status);
