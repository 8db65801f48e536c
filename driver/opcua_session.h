#pragma once

#include <open62541/client.h>

#include <atomic>
#include <cstdint>
#include <string>

// Largest message the client accepts from a server. A reply to a read of
// our points is a few dozen bytes per node (a whole batched round is about
// 15 KB); anything near this bound is a faulty or hostile server, and it
// fails that round instead of growing the host's memory.
constexpr uint32_t kMaxReceivedMessageBytes = 4u << 20;

// One OPC UA client session, owned: the client is configured as every round
// needs it, connected and read from with requests that wait by iterating
// the client, so that each wait can be cut short as soon as `stop` is set,
// and closed and deleted on every path by the destructor.
class ClientSession {
 public:
  // `stop` (may be null) ends any wait promptly once it becomes true.
  explicit ClientSession(const std::atomic<bool>* stop = nullptr);
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

  // Sends one service request and waits for its response, which is moved
  // into `response` (initialised by the caller, cleared by the caller).
  // Returns the response's service result; BadTimeout after the client's
  // request timeout, BadShutdown when stopped.
  UA_StatusCode call(const void* request, const UA_DataType* request_type, void* response,
                     const UA_DataType* response_type);

  // Reads the Value attribute of one node with a single-node Read and gives
  // the whole DataValue the server sent (status, value). Returns the status
  // that applies to the value: the service's when the request failed, else
  // the DataValue's.
  UA_StatusCode read_value(const UA_NodeId& node, UA_DataValue* out);

  // Marks the session as gone (lost channel, silent server): the close then
  // drops the channel without asking the server to close the session.
  void mark_lost() { lost_ = true; }
  bool activated() const;

  // Closes and deletes the client: a healthy session with one CloseSession
  // exchange, a lost one by dropping the channel. Bounded in time; idempotent.
  void close();

 private:
  static void on_response(UA_Client* client, void* userdata, UA_UInt32 request_id,
                          void* response);
  bool stopping() const { return stop_ != nullptr && stop_->load(); }
  void iterate();

  UA_Client* client_ = nullptr;
  const std::atomic<bool>* stop_;
  bool lost_ = false;
  // The one request being waited for; responses to abandoned ones are dropped.
  UA_UInt32 awaited_id_ = 0;
  bool answered_ = false;
  void* response_ = nullptr;
  const UA_DataType* response_type_ = nullptr;
};

// Statuses after which the session is gone: every further request would
// only wait for a reconnect or a timeout.
bool session_lost_status(UA_StatusCode status);
