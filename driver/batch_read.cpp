#include "batch_read.h"

#include "log.h"
#include "log_options.h"
#include "point_table.h"
#include "read_value_ids.h"

#include <open62541/nodeids.h>

#include <exception>
#include <string>

namespace {

// The ring of chunks in flight; the session's last ticket is the limit read's.
constexpr std::size_t kWindow = BatchReader::kMaxWindow;

// The server's MaxNodesPerRead from a read of it; 0 (no limit) for anything
// but a Good UInt32.
uint32_t server_limit(UA_StatusCode status, const UA_ReadResponse& response) {
  if (status != UA_STATUSCODE_GOOD || response.resultsSize != 1) return 0;
  const UA_DataValue& dv = response.results[0];
  if (dv.hasStatus && dv.status != UA_STATUSCODE_GOOD) return 0;
  if (!UA_Variant_hasScalarType(&dv.value, &UA_TYPES[UA_TYPES_UINT32])) return 0;
  return *static_cast<const UA_UInt32*>(dv.value.data);
}

}  // namespace

uint32_t read_mode_setting(const Json::Value& settings, uint32_t device_id) {
  const DriverSettings read = parse_driver_settings(settings, device_id);
  say_setting_problems(read);
  return read.batch_cap;
}

bool read_limit_status(UA_StatusCode status) {
  switch (status) {
    case UA_STATUSCODE_BADTOOMANYOPERATIONS:
    case UA_STATUSCODE_BADTCPMESSAGETOOLARGE:
    case UA_STATUSCODE_BADREQUESTTOOLARGE:
    case UA_STATUSCODE_BADRESPONSETOOLARGE:
    case UA_STATUSCODE_BADENCODINGLIMITSEXCEEDED:
      return true;
    default:
      return false;
  }
}

struct BatchReader::Flight {
  Flight() { UA_ReadResponse_init(&response); }
  ~Flight() { UA_ReadResponse_clear(&response); }
  Flight(const Flight&) = delete;
  Flight& operator=(const Flight&) = delete;

  std::size_t begin = 0;  // first point
  std::size_t count = 0;  // points
  std::size_t ticket = 0;
  UA_StatusCode sent = UA_STATUSCODE_GOOD;  // the send's own failure, if any
  UA_ReadResponse response;
};

BatchReader::BatchReader() = default;
BatchReader::~BatchReader() = default;

void BatchReader::prepare() {
  if (!items_) items_ = shared_read_items();
  if (!flights_) flights_ = std::make_unique<Flight[]>(kWindow);
}

std::size_t BatchReader::chunk_length(std::size_t begin, std::size_t size) const {
  std::size_t n = 0;
  std::size_t bytes = 0;
  // Sized by the string ids, whatever ids are read: never above the budget.
  const UA_ReadValueId* named = shared_read_items();
  while (begin + n < kQuorlinPointCount && n < size) {
    const std::size_t node =
        kReadNodeOverheadBytes + named[begin + n].nodeId.identifier.string.length;
    if (n > 0 && bytes + node > kReadRequestBudgetBytes) break;
    bytes += node;
    ++n;
  }
  return n;
}

UA_StatusCode BatchReader::send_chunk(ClientSession& session, Flight& flight) {
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.maxAge = 0;
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
  // The library only reads the request.
  request.nodesToRead = const_cast<UA_ReadValueId*>(&items_[flight.begin]);
  request.nodesToReadSize = flight.count;
  UA_ReadResponse_clear(&flight.response);
  flight.sent = session.send(&request, &UA_TYPES[UA_TYPES_READREQUEST], &flight.response,
                             &UA_TYPES[UA_TYPES_READRESPONSE], &flight.ticket);
  return flight.sent;
}

void BatchReader::drop_flights(ClientSession& session) {
  session.forget_pending();
  for (std::size_t k = 0; k < in_flight_; ++k)
    UA_ReadResponse_clear(&flights_[(head_ + k) % kWindow].response);
  head_ = 0;
  in_flight_ = 0;
}

// The server's MaxNodesPerRead, asked once per session alongside the first
// chunks; its answer lands in `response`, which outlives the round's waits.
struct BatchReader::LimitQuery {
  LimitQuery() {
    UA_ReadValueId_init(&item);
    item.nodeId =
        UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD);
    item.attributeId = UA_ATTRIBUTEID_VALUE;
    UA_ReadRequest_init(&request);
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
    request.nodesToRead = &item;
    request.nodesToReadSize = 1;
    UA_ReadResponse_init(&response);
  }
  ~LimitQuery() { UA_ReadResponse_clear(&response); }
  LimitQuery(const LimitQuery&) = delete;
  LimitQuery& operator=(const LimitQuery&) = delete;

  void ask(ClientSession& session) {
    UA_ReadResponse_clear(&response);
    pending = session.send(&request, &UA_TYPES[UA_TYPES_READREQUEST], &response,
                           &UA_TYPES[UA_TYPES_READRESPONSE], &ticket) == UA_STATUSCODE_GOOD;
  }

  UA_ReadValueId item;
  UA_ReadRequest request;
  UA_ReadResponse response;
  std::size_t ticket = 0;
  bool pending = false;
};

// Where a round stands, and the nodes per request it has come to.
struct BatchReader::Round {
  std::size_t size = 1;       // nodes per request
  std::size_t next_send = 0;  // first point not yet asked for
  std::size_t next_take = 0;  // first point not yet handed to the sink
  // A run of refusals: the size before it, the first refusal and its size.
  std::size_t size_before = 0;
  UA_StatusCode refusal = UA_STATUSCODE_GOOD;
  std::size_t refused_count = 0;
  std::size_t proven = 0;      // a size that worked after refusals
  std::size_t advertised = 0;  // the server's MaxNodesPerRead, when below the size
  bool lone_refusal = false;   // a single node refused: its value, not the size
};

BatchReader::Outcome BatchReader::read(ClientSession& session, uint32_t cap, uint32_t device_id,
                                       PointSink& sink) {
  prepare();
  Round round;
  round.size = cap == 0 ? 1 : cap;
  if (learned_ != 0 && learned_ < round.size) round.size = learned_;
  LimitQuery limit;
  // Whatever way the round ends, no response is written to memory it leaves.
  struct Cleanup {
    BatchReader& reader;
    ClientSession& session;
    ~Cleanup() { reader.drop_flights(session); }
  } cleanup{*this, session};
  // A kept session's later rounds use the answer it gave.
  if (session.activation() != 0 && session.activation() == limit_activation_) {
    if (limit_ != 0 && limit_ < round.size) round.size = round.advertised = limit_;
  } else {
    limit.ask(session);
  }

  while (round.next_take < kQuorlinPointCount) {
    send_window(session, round);
    if (limit.pending && learn_limit(session, limit, round)) continue;
    Flight& flight = flights_[head_];
    UA_StatusCode status =
        flight.sent != UA_STATUSCODE_GOOD ? flight.sent : session.wait(flight.ticket);
    if (status == UA_STATUSCODE_GOOD && flight.response.resultsSize != flight.count)
      status = UA_STATUSCODE_BADUNEXPECTEDERROR;
    if (status != UA_STATUSCODE_GOOD) {
      const Step step = after_refusal(session, flight, status, round, limit, sink);
      if (step == Step::Abandon) return Outcome::Abandoned;
      if (step == Step::Again) continue;
    }
    if (!hand_over(flight, status, sink)) return Outcome::Abandoned;
    if (status == UA_STATUSCODE_GOOD && round.size_before != 0) {
      round.proven = round.size;
      round.size_before = 0;
    }
    round.next_take += flight.count;
    UA_ReadResponse_clear(&flight.response);
    head_ = (head_ + 1) % kWindow;
    --in_flight_;
  }
  remember(round, device_id);
  return Outcome::Done;
}

void BatchReader::send_window(ClientSession& session, Round& round) {
  while (in_flight_ < window_ && round.next_send < kQuorlinPointCount) {
    Flight& flight = flights_[(head_ + in_flight_) % kWindow];
    flight.begin = round.next_send;
    flight.count = chunk_length(round.next_send, round.size);
    ++in_flight_;
    round.next_send += flight.count;
    if (send_chunk(session, flight) != UA_STATUSCODE_GOOD) break;
  }
}

bool BatchReader::hand_over(Flight& flight, UA_StatusCode status, PointSink& sink) {
  for (std::size_t k = 0; k < flight.count; ++k) {
    UA_DataValue none;
    UA_DataValue_init(&none);
    // A failed request: whatever a single read of each point would have met.
    UA_DataValue& value = status == UA_STATUSCODE_GOOD ? flight.response.results[k] : none;
    const UA_StatusCode point_status =
        status != UA_STATUSCODE_GOOD ? status : value.hasStatus ? value.status : UA_STATUSCODE_GOOD;
    if (sink.take(flight.begin + k, point_status, value) == PointSink::Step::Abandon) return false;
  }
  return true;
}

bool BatchReader::learn_limit(ClientSession& session, LimitQuery& query, Round& round) {
  query.pending = false;
  const UA_StatusCode answered = session.wait(query.ticket);
  const uint32_t limit = server_limit(answered, query.response);
  UA_ReadResponse_clear(&query.response);
  // A session that answered keeps its answer (a Good answer came on the
  // session now active); one that did not is asked again.
  if (answered == UA_STATUSCODE_GOOD) {
    limit_activation_ = session.activation();
    limit_ = limit;
  }
  if (limit == 0 || limit >= round.size) return false;
  round.size = limit;
  round.advertised = limit;
  // Chunks already sent above the limit are sent again at its size.
  bool too_large = false;
  for (std::size_t k = 0; k < in_flight_; ++k)
    too_large |= flights_[(head_ + k) % kWindow].count > round.size;
  if (!too_large) return false;
  drop_flights(session);
  round.next_send = round.next_take;
  return true;
}

BatchReader::Step BatchReader::after_refusal(ClientSession& session, Flight& flight,
                                             UA_StatusCode status, Round& round,
                                             LimitQuery& limit, PointSink& sink) {
  const bool closed = !session.activated();
  const bool gave_up = status == UA_STATUSCODE_BADSHUTDOWN || status == UA_STATUSCODE_BADTIMEOUT;
  // A session the server no longer knows says nothing about the size.
  const bool session_gone =
      status == UA_STATUSCODE_BADSESSIONIDINVALID || status == UA_STATUSCODE_BADSESSIONCLOSED;
  // A request that could not even be sent met a channel closed before it.
  const bool closed_under = closed && flight.sent == UA_STATUSCODE_GOOD;
  if (flight.count > 1 && !gave_up && !session_gone &&
      (read_limit_status(status) || closed_under)) {
    // Too large for this server or channel: half the nodes, same place.
    if (round.size_before == 0) {
      round.size_before = round.size;
      round.refusal = status;
      round.refused_count = flight.count;
    }
    const std::size_t begin = flight.begin;
    round.size = flight.count / 2;
    drop_flights(session);
    round.next_send = round.next_take;
    if (!closed) return Step::Again;
    const UA_StatusCode again = session.reconnect();
    items_ = shared_read_items();
    if (again == UA_STATUSCODE_GOOD) {
      limit.ask(session);
      return Step::Again;
    }
    // The server is gone, not just the channel: the round ends as a
    // single read's lost session would end it.
    session.mark_lost();
    UA_DataValue none;
    UA_DataValue_init(&none);
    sink.take(begin, status, none);
    return Step::Abandon;
  }
  if (flight.count != 1) return Step::Next;
  if (closed && !gave_up && session.recover(status)) {
    // The channel could not carry this one point's reply: it fails alone
    // and the round goes on after it at the size before the refusals.
    round.lone_refusal = true;
    if (round.size_before != 0) round.size = round.size_before;
    round.size_before = 0;
    const std::size_t point = flight.begin;
    drop_flights(session);
    items_ = shared_read_items();  // the ids registered belong to the old session
    round.next_take = round.next_send = point + 1;
    limit.ask(session);
    UA_DataValue none;
    UA_DataValue_init(&none);
    return sink.take(point, UA_STATUSCODE_BADRESPONSETOOLARGE, none) == PointSink::Step::Abandon
               ? Step::Abandon
               : Step::Again;
  }
  if (read_limit_status(status)) {
    // One node alone too large: that point's failure; the size stays.
    round.lone_refusal = true;
    if (round.size_before != 0) round.size = round.size_before;
    round.size_before = 0;
  }
  return Step::Next;
}

void BatchReader::remember(const Round& round, uint32_t device_id) {
  // Remembered for the device's next rounds, and said once.
  std::size_t remember = round.advertised;
  std::string why = "the server's MaxNodesPerRead";
  if (round.proven != 0 && !round.lone_refusal && (remember == 0 || round.proven < remember)) {
    remember = round.proven;
    why = std::string(UA_StatusCode_name(round.refusal)) + " at " +
          std::to_string(round.refused_count);
  }
  if (remember != 0 && remember != learned_) {
    learned_ = static_cast<uint32_t>(remember);
    log_line("Quorlin::do_sample device " + std::to_string(device_id) + " reads at most " +
             std::to_string(remember) + " nodes per request (" + why + ")",
             LogPriority::Warning);
  }
}
