#include "quorlin.h"

#include "log.h"
#include "point_table.h"
#include "value_copy.h"

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

namespace {

constexpr int kRoundPauseSeconds = 5;

// Statuses after which the session is gone: every further read would only
// wait for a reconnect or a timeout, so the round gives up.
bool session_lost(UA_StatusCode status) {
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
      return true;
    default:
      return false;
  }
}

bool session_active(UA_Client* client) {
  UA_SecureChannelState channel;
  UA_SessionState session;
  UA_StatusCode connect_status;
  UA_Client_getState(client, &channel, &session, &connect_status);
  return session == UA_SESSIONSTATE_ACTIVATED;
}

}  // namespace

UA_Variant ReadVariant(UA_Client* client, char* name, UA_StatusCode* status) {
  UA_Variant result;
  UA_Variant_init(&result);
  const UA_StatusCode rc =
      UA_Client_readValueAttribute(client, UA_NODEID_STRING(1, name), &result);
  if (rc != UA_STATUSCODE_GOOD) log_line(std::string("ReadVariant ") + name + " failed");
  if (status) *status = rc;
  return result;
}

Quorlin::Quorlin() {
  device_type_ = "quorlin";
  socket_option_ = true;
}

Quorlin::~Quorlin() { stop_sampling(); }

int Quorlin::InitSetting(const Json::Value& settings) {
  write_device_id();
  // A device samples on one thread only; later calls re-apply the settings.
  if (!sampler_) sampler_ = std::make_unique<std::thread>(&Quorlin::sample_data, this, nullptr);
  return UniDataDevice::InitSetting(settings);
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
      log_line(std::string("Quorlin::do_sample aborted: ") + e.what());
    }
  } while (pause(kRoundPauseSeconds));
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
  if (sampler_ && sampler_->joinable()) sampler_->join();
  sampler_.reset();
}

void Quorlin::do_sample() {
  log_line("Quorlin::do_sample");
  if (server_ip_.empty()) return;

  UA_Client* client = UA_Client_new();
  if (client == nullptr) return;
  UA_ClientConfig_setDefault(UA_Client_getConfig(client));

  std::ostringstream endpoint;
  endpoint << "opc.tcp://" << server_ip_ << ":" << static_cast<unsigned>(server_port_);
  if (UA_Client_connect(client, endpoint.str().c_str()) != UA_STATUSCODE_GOOD) {
    UA_Client_delete(client);
    return;
  }

  // The round fills a working copy and commits it in one step, so the host
  // never meets a half-written record and a lost session hands nothing over.
  auto work = std::make_unique<Quorlin_Data_t>();
  auto written = std::make_unique<bool[]>(kQuorlinPointCount);
  if (read_points(client, *work, written.get()) == ReadOutcome::Done)
    commit_round(*work, written.get());
  UA_Client_delete(client);
}

Quorlin::ReadOutcome Quorlin::read_points(UA_Client* client, Quorlin_Data_t& work,
                                          bool* written) {
  unsigned char* fields = reinterpret_cast<unsigned char*>(&work);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (stopping_) return ReadOutcome::Abandoned;
    const QuorlinPoint& point = quorlin_points[i];
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    // The library takes a non-const pointer for string node ids but only reads it.
    UA_Variant value = ReadVariant(client, const_cast<char*>(point.name), &status);
    if (status != UA_STATUSCODE_GOOD) {
      UA_Variant_clear(&value);
      if (session_lost(status) || !session_active(client)) {
        log_line(std::string("Quorlin::do_sample session lost at ") + point.name + ": " +
                 UA_StatusCode_name(status));
        return ReadOutcome::Abandoned;
      }
      continue;
    }
    written[i] = copy_value_to_field(value, fields + point.offset, point.width);
    if (!written[i])
      log_line(std::string("ReadVariant ") + point.name + " returned no numeric value");
    UA_Variant_clear(&value);
  }
  return ReadOutcome::Done;
}

void Quorlin::commit_round(const Quorlin_Data_t& work, const bool* written) {
  const unsigned char* from = reinterpret_cast<const unsigned char*>(&work);
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  unsigned char* to = record_bytes();
  // In table order, so a later point sharing bytes with an earlier one wins.
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    if (!written[i]) continue;
    const QuorlinPoint& point = quorlin_points[i];
    std::memcpy(to + point.offset, from + point.offset, point.width);
  }
  RoundDone();
}
