#pragma once

#include "opcua_session.h"
#include "settings_schema.h"

#include <json/value.h>
#include <open62541/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// A request's nodes stop before their estimated encoding passes this, so
// that every request fits one 64 KiB frame whatever the server's limits.
constexpr std::size_t kReadRequestBudgetBytes = 60000;
// Estimated encoding of one node to read, besides its id's UTF-8 bytes.
constexpr std::size_t kReadNodeOverheadBytes = 21;

// The read mode in a device's settings ("appSetting": "read_mode",
// "max_nodes_per_read"), read by the settings schema: 0 for single reads,
// else the largest number of nodes per batched Read request. A value it
// cannot use gives its line and single reads. Never throws on any JSON tree.
uint32_t read_mode_setting(const Json::Value& settings, uint32_t device_id);

// Statuses that say a request was too large for the server or the channel.
bool read_limit_status(UA_StatusCode status);

// Receives each point's read result from a batched round, in table order.
class PointSink {
 public:
  enum class Step { Next, Abandon };
  // `status` is the one that applies to the value, as a single-node read
  // would give it; `value` is the point's DataValue, to be taken or cleared.
  virtual Step take(std::size_t index, UA_StatusCode status, UA_DataValue& value) = 0;

 protected:
  ~PointSink() = default;
};

// Reads every point of the table in multi-node Read requests on one session,
// several requests in flight, and hands each result to a sink. Owned by one
// device and used by its sampling thread only; it remembers across rounds
// the request size that the device's server turned out to take.
class BatchReader {
 public:
  enum class Outcome { Done, Abandoned };

  BatchReader();
  ~BatchReader();
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  // One round: points in chunks of at most `cap` nodes, fewer when the
  // server's MaxNodesPerRead, the request budget or a remembered size say so.
  // A request refused for its size (or whose channel closed under it) is
  // retried with half the nodes, after a reconnect if needed, down to one.
  // Abandoned as soon as the sink abandons or the session cannot go on.
  Outcome read(ClientSession& session, uint32_t cap, uint32_t device_id, PointSink& sink);

  // Reads by these ReadValueIds (one per point, in table order, e.g. the
  // ids a session registered) instead of the shared table; null: the shared
  // table. A reconnect within a round goes back to the shared table, since
  // registered ids belong to the session they were registered on; the
  // session's keeper registers them again on the new session.
  void set_items(const UA_ReadValueId* items) { items_ = items; }
  const UA_ReadValueId* items() const { return items_; }

  // Requests in flight at once, 1 to kMaxWindow (the default): 1 waits for
  // each answer before the next request, as benchmarks compare.
  static constexpr std::size_t kMaxWindow = ClientSession::kMaxInFlight - 1;
  void set_window(std::size_t window) {
    window_ = window < 1 ? 1 : window > kMaxWindow ? kMaxWindow : window;
  }

 private:
  struct Flight;
  struct LimitQuery;
  struct Round;
  enum class Step { Next, Again, Abandon };
  // Sends chunks of the round's size until the window is full.
  void send_window(ClientSession& session, Round& round);
  // A request's results, or its failure for each of its points, to the sink;
  // false when the sink abandons.
  bool hand_over(Flight& flight, UA_StatusCode status, PointSink& sink);
  // Takes the server's MaxNodesPerRead into the round's size; true when the
  // chunks in flight were dropped to be sent again smaller.
  bool learn_limit(ClientSession& session, LimitQuery& query, Round& round);
  // A failed request: a smaller size and Again when it was too large (after
  // a reconnect if its channel closed), else Next to fail its points.
  Step after_refusal(ClientSession& session, Flight& flight, UA_StatusCode status, Round& round,
                     LimitQuery& limit, PointSink& sink);
  // Keeps the size the round came to for the next rounds, and says it once.
  void remember(const Round& round, uint32_t device_id);
  std::size_t chunk_length(std::size_t begin, std::size_t size) const;
  UA_StatusCode send_chunk(ClientSession& session, Flight& flight);
  void drop_flights(ClientSession& session);
  void prepare();

  // The ReadValueIds read: the table shared by all devices, or the ids a
  // session registered (set_items).
  const UA_ReadValueId* items_ = nullptr;
  std::unique_ptr<Flight[]> flights_;
  std::size_t head_ = 0;
  std::size_t in_flight_ = 0;
  std::size_t window_ = kMaxWindow;
  uint32_t learned_ = 0;
  // The MaxNodesPerRead (0: none) that the session of this activation gave.
  uint32_t limit_activation_ = 0;
  uint32_t limit_ = 0;
};
