#include "quorlin.h"

#include "endpoint.h"
#include "log.h"
#include "log_options.h"
#include "point_table.h"
#include "value_copy.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr int kRoundPauseSeconds = 5;

// A read's outcome for the point `name`: any status but Good writes
// "ReadVariant <name> failed"; the value is moved out of the DataValue, which
// is cleared, and dropped with a Bad status (it is not a value of the point).
// With `say` false the line is left out (the "changes" mode said it already).
UA_Variant take_read_value(const char* name, UA_StatusCode rc, UA_DataValue& value,
                           bool say = true) {
  if (rc != UA_STATUSCODE_GOOD && say)
    log_line(std::string("ReadVariant ") + name + " failed", LogPriority::Warning);
  UA_Variant result = value.value;
  UA_Variant_init(&value.value);
  UA_DataValue_clear(&value);
  if (UA_StatusCode_isBad(rc)) UA_Variant_clear(&result);
  return result;
}

// A single-node read of `name`; the caller clears `value`.
UA_StatusCode read_node(ClientSession& session, const char* name, UA_DataValue& value) {
  UA_DataValue_init(&value);
  // The library takes a non-const pointer for string node ids but only reads it.
  return session.read_value(UA_NODEID_STRING(1, const_cast<char*>(name)), &value);
}

}  // namespace

UA_Variant ReadVariant(ClientSession& session, const char* name, UA_StatusCode* status) {
  UA_DataValue value;
  const UA_StatusCode rc = read_node(session, name, value);
  if (status) *status = rc;
  return take_read_value(name, rc, value);
}

Quorlin::Quorlin() {
  device_type_ = "quorlin";
  socket_option_ = true;
}

Quorlin::~Quorlin() { stop_sampling(); }

int Quorlin::InitSetting(const Json::Value& settings) {
  write_device_id();
  // The settings are read here once. The security goes first: the first
  // round must not connect without it.
  security_.apply(load_session_security(settings), device_id_);
  const DriverSettings read = parse_driver_settings(settings, device_id_);
  say_setting_problems(read);
  apply_settings(read);
  report_.set_data_id(read.round_report_id);
  // A device samples on one thread only; later calls re-apply the settings.
  if (!sampler_.started() &&
      !sampler_.start([](void* self) { static_cast<Quorlin*>(self)->sample_data(nullptr); }, this))
    log_line("InitSetting " + std::to_string(device_id_) + " cannot start the sampling thread",
             LogPriority::Error);
  return UniDataDevice::InitSetting(settings);
}

void Quorlin::apply_read_settings(const Json::Value& settings) {
  const DriverSettings read = parse_driver_settings(settings, device_id_);
  say_setting_problems(read);
  apply_settings(read);
}

void Quorlin::apply_settings(const DriverSettings& settings) {
  batch_cap_ = settings.batch_cap;
  log_changes_ = settings.log_changes;
  keep_session_ = settings.session == SessionMode::Keep;
  round_lines_ = settings.round_lines;
}

int Quorlin::process_data(int, unsigned char*, int) { return 0; }

int Quorlin::RefreshStatus() { return 0; }

void Quorlin::RunCheckThreshold() {}

void Quorlin::sample_data(void*) {
  do {
    try {
      do_sample();
    } catch (const std::exception& e) {
      // A failed round must not take the host process down; the next one retries.
      log_line(std::string("Quorlin::do_sample aborted: ") + e.what(), LogPriority::Error);
    }
  } while (pause(kRoundPauseSeconds));
  sessions_.close();
}

bool Quorlin::pause(int seconds) {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  return !pause_cv_.wait_for(lock, std::chrono::seconds(seconds),
                             [this] { return stopping_.load(); });
}

void Quorlin::stop_sampling() {
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
    stopping_ = true;
  }
  pause_cv_.notify_all();
  sampler_.join();
}

void Quorlin::do_sample() {
  report_.begin();
  const UA_StatusCode outcome = sample_round();
  if (report_.active() && outcome != UA_STATUSCODE_BADSHUTDOWN) send_round_report(outcome);
}

UA_StatusCode Quorlin::sample_round() {
  if (round_lines_) log_line("Quorlin::do_sample");
  if (server_ip_.empty()) return UA_STATUSCODE_BADCONFIGURATIONERROR;
  const std::string address = server_ip_;
  if (!is_valid_address(address)) {
    // Said once per address: a spliced or garbled address is never connected to.
    if (address != refused_address_)
      log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": address \"" +
               printable_address(address) +
               "\" is not a host name, IPv4 or IPv6 address; not connecting",
               LogPriority::Warning);
    refused_address_ = address;
    return UA_STATUSCODE_BADCONFIGURATIONERROR;
  }
  refused_address_.clear();
  // A settings problem was said by InitSetting; nothing is read until it is corrected.
  const RoundSecurity security = security_.for_round();
  if (security.held()) return UA_STATUSCODE_BADCONFIGURATIONERROR;

  const std::string url = endpoint_url(address, server_port_);
  const SessionMode mode = keep_session_ ? SessionMode::Keep : SessionMode::Round;
  // The round fills a working copy and commits it in one step, so the host
  // never meets a half-written record and a lost session hands nothing over.
  auto work = std::make_unique<Quorlin_Data_t>();
  auto written = std::make_unique<bool[]>(kQuorlinPointCount);
  // A kept session that broke since the last round is replaced, and the
  // round read on the new one, as a session of its own would have been.
  for (bool reused = true; reused;) {
    // Releases the session on every path, including a host service that throws.
    SessionLease lease(sessions_);
    UA_StatusCode status = UA_STATUSCODE_BADOUTOFMEMORY;
    std::string reason;
    ClientSession* session =
        sessions_.acquire(mode, security, url, batch_cap_ != 0, &reused, &status, &reason);
    if (session == nullptr) {
      if (status != UA_STATUSCODE_BADSHUTDOWN)
        connect_notice_.failed(device_id_, url, status, reason);
      return status;
    }
    if (!reused) connect_notice_.connected(device_id_);
    probe_ = reused;
    stale_ = false;
    batch_.set_items(sessions_.registered());
    lost_status_ = UA_STATUSCODE_BADSHUTDOWN;
    const ReadOutcome outcome = read_points(*session, *work, written.get());
    if (sessions_.registered() != nullptr && batch_.items() != sessions_.registered())
      sessions_.forget_registered();  // reconnected within the round
    if (outcome == ReadOutcome::Stale) {
      lease.broken();
      continue;
    }
    if (outcome != ReadOutcome::Done) {
      lease.broken();
      return lost_status_;
    }
    if (log_changes_)
      log_line("Quorlin::do_sample device " + std::to_string(device_id_) + ": " +
               std::to_string(failures_.failing()) + " points failing");
    if (std::none_of(written.get(), written.get() + kQuorlinPointCount,
                     [](bool w) { return w; })) {
      // Handing over last round's values under a fresh stamp would pass them off as read.
      log_line("Quorlin::do_sample no point could be read", LogPriority::Warning);
      return UA_STATUSCODE_BADNODATA;
    }
    commit_round(*work, written.get());
    return UA_STATUSCODE_GOOD;
  }
  return UA_STATUSCODE_BADINTERNALERROR;  // not reached: the loop returns
}

bool Quorlin::stale(ClientSession& session, UA_StatusCode status) {
  if (!probe_) return false;
  probe_ = false;
  stale_ = UA_StatusCode_isBad(status) && !stopping_ &&
           (session_lost_status(status) || !session.activated());
  return stale_;
}

Quorlin::ReadOutcome Quorlin::read_points(ClientSession& session, Quorlin_Data_t& work,
                                          bool* written) {
  unsigned char* fields = reinterpret_cast<unsigned char*>(&work);
  session.new_round();
  if (const uint32_t cap = batch_cap_) {
    // Each batched result meets the same rule as a single read's, in order.
    struct Sink final : PointSink {
      Quorlin& device;
      ClientSession& session;
      unsigned char* fields;
      bool* written;
      Sink(Quorlin& d, ClientSession& s, unsigned char* f, bool* w)
          : device(d), session(s), fields(f), written(w) {}
      Step take(std::size_t i, UA_StatusCode status, UA_DataValue& dv) override {
        if (device.stopping_ || device.stale(session, status)) {
          UA_DataValue_clear(&dv);
          return Step::Abandon;
        }
        UA_Variant value = take_read_value(quorlin_points[i].name, status, dv,
                                           device.failures_.should_say(i, status, device.log_changes_));
        return device.settle_point(session, i, status, value, fields, written) == PointStep::Next
                   ? Step::Next
                   : Step::Abandon;
      }
    } sink(*this, session, fields, written);
    if (batch_.read(session, cap, device_id_, sink) == BatchReader::Outcome::Done)
      return ReadOutcome::Done;
    return stale_ ? ReadOutcome::Stale : ReadOutcome::Abandoned;
  }
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (stopping_) return ReadOutcome::Abandoned;
    UA_DataValue dv;
    UA_DataValue_init(&dv);
    const char* name = quorlin_points[i].name;
    // The library takes a non-const pointer for string node ids but only reads it.
    const UA_StatusCode status =
        session.read_value(UA_NODEID_STRING(1, const_cast<char*>(name)), &dv);
    if (stale(session, status)) {
      UA_DataValue_clear(&dv);
      return ReadOutcome::Stale;
    }
    UA_Variant value =
        take_read_value(name, status, dv, failures_.should_say(i, status, log_changes_));
    if (settle_point(session, i, status, value, fields, written, true) != PointStep::Next)
      return ReadOutcome::Abandoned;
  }
  const std::string slow = slow_round_.after_round(
      device_id_,
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                            started),
      std::chrono::seconds(kRoundPauseSeconds));
  if (!slow.empty()) log_line(slow, LogPriority::Warning);
  return ReadOutcome::Done;
}

Quorlin::PointStep Quorlin::settle_point(ClientSession& session, std::size_t i,
                                         UA_StatusCode status, UA_Variant& value,
                                         unsigned char* fields, bool* written, bool may_recover) {
  const QuorlinPoint& point = quorlin_points[i];
  if (UA_StatusCode_isBad(status)) {
    if (stopping_) return PointStep::Abandon;
    if (session_lost_status(status) || !session.activated()) {
      if (may_recover && session.recover(status)) {
        report_.point(i, status, false);
        return PointStep::Next;
      }
      session.mark_lost();
      lost_status_ = status;
      report_.point(i, status, false);
      log_line(std::string("Quorlin::do_sample session lost at ") + point.name + ": " +
               UA_StatusCode_name(status),
               LogPriority::Warning);
      return PointStep::Abandon;
    }
    report_.point(i, status, false);
    return PointStep::Next;
  }
  // Good with info bits and Uncertain values are kept; their line is out already.
  written[i] = copy_value_to_field(value, fields + point.offset, point.width);
  if (!written[i] && status == UA_STATUSCODE_GOOD)
    log_line(std::string("ReadVariant ") + point.name + " returned no numeric value",
             LogPriority::Warning);
  report_.point(i, status, written[i]);
  UA_Variant_clear(&value);
  return PointStep::Next;
}

void Quorlin::commit_round(const Quorlin_Data_t& work, const bool* written) {
  const unsigned char* from = reinterpret_cast<const unsigned char*>(&work);
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  unsigned char* to = record_bytes();
  // The id is the device's own, whatever a loaded cache carried.
  write_device_id();
  // In table order, so a later point sharing bytes with an earlier one wins.
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (!written[i]) continue;
    const QuorlinPoint& point = quorlin_points[i];
    std::memcpy(to + point.offset, from + point.offset, point.width);
  }
  RoundDone();
}
