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

BatchReader::Outcome BatchReader::read(ClientSession& session, uint32_t cap, uint32_t device_id,
                                       PointSink& sink) {
  prepare();
  std::size_t size = cap == 0 ? 1 : cap;
  if (learned_ != 0 && learned_ < size) size = learned_;

  // The server's MaxNodesPerRead, asked once per session alongside the first
  // chunks (a smaller limit than theirs sends them again); a kept session's
  // later rounds use the answer it gave.
  UA_ReadValueId limit_item;
  UA_ReadValueId_init(&limit_item);
  limit_item.nodeId =
      UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD);
  limit_item.attributeId = UA_ATTRIBUTEID_VALUE;
  UA_ReadRequest limit_request;
  UA_ReadRequest_init(&limit_request);
  limit_request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
  limit_request.nodesToRead = &limit_item;
  limit_request.nodesToReadSize = 1;
  UA_ReadResponse limit_response;
  UA_ReadResponse_init(&limit_response);
  std::size_t limit_ticket = 0;
  bool limit_pending = false;
  auto ask_limit = [&] {
    UA_ReadResponse_clear(&limit_response);
    limit_pending = session.send(&limit_request, &UA_TYPES[UA_TYPES_READREQUEST], &limit_response,
                                 &UA_TYPES[UA_TYPES_READRESPONSE],
                                 &limit_ticket) == UA_STATUSCODE_GOOD;
  };

  // Whatever way the round ends, no response is written to memory it leaves.
  struct Cleanup {
    BatchReader& reader;
    ClientSession& session;
    UA_ReadResponse& limit_response;
    ~Cleanup() {
      reader.drop_flights(session);
      UA_ReadResponse_clear(&limit_response);
    }
  } cleanup{*this, session, limit_response};

  std::size_t next_send = 0;  // first point not yet asked for
  std::size_t next_take = 0;  // first point not yet handed to the sink
  // A run of refusals: the size before it, the first refusal and its size.
  std::size_t size_before = 0;
  UA_StatusCode refusal = UA_STATUSCODE_GOOD;
  std::size_t refused_count = 0;
  std::size_t proven = 0;          // a size that worked after refusals
  std::size_t advertised = 0;      // the server's MaxNodesPerRead, when below the size
  bool lone_refusal = false;       // a single node refused: its value, not the size
  if (session.activation() != 0 && session.activation() == limit_activation_) {
    if (limit_ != 0 && limit_ < size) size = advertised = limit_;
  } else {
    ask_limit();
  }

  while (next_take < kQuorlinPointCount) {
    while (in_flight_ < window_ && next_send < kQuorlinPointCount) {
      Flight& flight = flights_[(head_ + in_flight_) % kWindow];
      flight.begin = next_send;
      flight.count = chunk_length(next_send, size);
      ++in_flight_;
      next_send += flight.count;
      if (send_chunk(session, flight) != UA_STATUSCODE_GOOD) break;
    }
    if (limit_pending) {
      limit_pending = false;
      const UA_StatusCode answered = session.wait(limit_ticket);
      const uint32_t limit = server_limit(answered, limit_response);
      UA_ReadResponse_clear(&limit_response);
      // A session that answered keeps its answer (a Good answer came on the
      // session now active); one that did not is asked again.
      if (answered == UA_STATUSCODE_GOOD) {
        limit_activation_ = session.activation();
        limit_ = limit;
      }
      if (limit != 0 && limit < size) {
        size = limit;
        advertised = limit;
        bool too_large = false;
        for (std::size_t k = 0; k < in_flight_; ++k)
          too_large |= flights_[(head_ + k) % kWindow].count > size;
        if (too_large) {
          drop_flights(session);
          next_send = next_take;
          continue;
        }
      }
    }

    Flight& flight = flights_[head_];
    UA_StatusCode status =
        flight.sent != UA_STATUSCODE_GOOD ? flight.sent : session.wait(flight.ticket);
    if (status == UA_STATUSCODE_GOOD && flight.response.resultsSize != flight.count)
      status = UA_STATUSCODE_BADUNEXPECTEDERROR;

    if (status == UA_STATUSCODE_GOOD) {
      for (std::size_t k = 0; k < flight.count; ++k) {
        UA_DataValue& value = flight.response.results[k];
        const UA_StatusCode point_status = value.hasStatus ? value.status : UA_STATUSCODE_GOOD;
        if (sink.take(flight.begin + k, point_status, value) == PointSink::Step::Abandon)
          return Outcome::Abandoned;
      }
    } else {
      const bool closed = !session.activated();
      const bool gave_up = status == UA_STATUSCODE_BADSHUTDOWN || status == UA_STATUSCODE_BADTIMEOUT;
      // A session the server no longer knows says nothing about the size.
      const bool session_gone = status == UA_STATUSCODE_BADSESSIONIDINVALID ||
                                status == UA_STATUSCODE_BADSESSIONCLOSED;
      // A request that could not even be sent met a channel closed before it.
      const bool closed_under = closed && flight.sent == UA_STATUSCODE_GOOD;
      if (flight.count > 1 && !gave_up && !session_gone &&
          (read_limit_status(status) || closed_under)) {
        // Too large for this server or channel: half the nodes, same place.
        if (size_before == 0) {
          size_before = size;
          refusal = status;
          refused_count = flight.count;
        }
        const std::size_t begin = flight.begin;
        size = flight.count / 2;
        drop_flights(session);
        next_send = next_take;
        if (!closed) continue;
        const UA_StatusCode again = session.reconnect();
        items_ = shared_read_items();
        if (again == UA_STATUSCODE_GOOD) {
          ask_limit();
          continue;
        }
        // The server is gone, not just the channel: the round ends as a
        // single read's lost session would end it.
        session.mark_lost();
        UA_DataValue none;
        UA_DataValue_init(&none);
        sink.take(begin, status, none);
        return Outcome::Abandoned;
      }
      if (flight.count == 1 && closed && !gave_up && session.recover(status)) {
        // The channel could not carry this one point's reply: it fails alone
        // and the round goes on after it at the size before the refusals.
        lone_refusal = true;
        if (size_before != 0) size = size_before;
        size_before = 0;
        const std::size_t point = flight.begin;
        drop_flights(session);
        items_ = shared_read_items();  // the ids registered belong to the old session
        next_take = next_send = point + 1;
        ask_limit();
        UA_DataValue none;
        UA_DataValue_init(&none);
        if (sink.take(point, UA_STATUSCODE_BADRESPONSETOOLARGE, none) == PointSink::Step::Abandon)
          return Outcome::Abandoned;
        continue;
      }
      if (flight.count == 1 && read_limit_status(status)) {
        // One node alone too large: that point's failure; the size stays.
        lone_refusal = true;
        if (size_before != 0) size = size_before;
        size_before = 0;
      }
      // Whatever a single read of each point would have met, point by point.
      for (std::size_t k = 0; k < flight.count; ++k) {
        UA_DataValue none;
        UA_DataValue_init(&none);
        if (sink.take(flight.begin + k, status, none) == PointSink::Step::Abandon)
          return Outcome::Abandoned;
      }
    }
    if (status == UA_STATUSCODE_GOOD && size_before != 0) {
      proven = size;
      size_before = 0;
    }
    next_take += flight.count;
    UA_ReadResponse_clear(&flight.response);
    head_ = (head_ + 1) % kWindow;
    --in_flight_;
  }

  // Remembered for the device's next rounds, and said once.
  std::size_t remember = advertised;
  std::string why = "the server's MaxNodesPerRead";
  if (proven != 0 && !lone_refusal && (remember == 0 || proven < remember)) {
    remember = proven;
    why = std::string(UA_StatusCode_name(refusal)) + " at " + std::to_string(refused_count);
  }
  if (remember != 0 && remember != learned_) {
    learned_ = static_cast<uint32_t>(remember);
    log_line("Quorlin::do_sample device " + std::to_string(device_id) + " reads at most " +
             std::to_string(remember) + " nodes per request (" + why + ")",
             LogPriority::Warning);
  }
  return Outcome::Done;
}
