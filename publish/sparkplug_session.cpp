#include "sparkplug_session.h"

#include <json/reader.h>
#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace {

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

SparkplugSession::SparkplugSession(const SparkplugConfig& config, mqtt::Link& link, EdgeLog log)
    : config_(config), prefix_("spBv1.0/" + config.group_id + "/"),
      compression_(config.compression == "gzip"      ? sparkplug::Compression::Gzip
                   : config.compression == "deflate" ? sparkplug::Compression::Deflate
                                                     : sparkplug::Compression::None),
      link_(link), log_(std::move(log)) {}

std::string SparkplugSession::topic(const char* type, const std::string& device) const {
  return prefix_ + type + "/" + config_.edge_node_id + (device.empty() ? "" : "/" + device);
}

SparkplugSession::Message SparkplugSession::heard(const std::string& t, const unsigned char* data,
                                                  std::size_t size) const {
  if (t == topic("NCMD")) {
    std::string what;
    const auto command = sparkplug::decode_node_command(data, size, what);
    if (command == sparkplug::Command::Rebirth) return {Heard::Rebirth};
    log_("sparkplug: NCMD refused: " + what, LogPriority::Warning);
    return {};
  }
  if (config_.primary_host_id.empty() || t != "spBv1.0/STATE/" + config_.primary_host_id)
    return {};
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value v;
  std::string errors;
  const char* text = reinterpret_cast<const char*>(data);
  bool parsed = false;
  try {
    parsed = size <= sparkplug::kMaxCommandBytes && reader->parse(text, text + size, &v, &errors);
  } catch (const Json::Exception&) {
  }
  const Json::Value* ts = parsed && v.isObject() ? v.find("timestamp", "timestamp" + 9) : nullptr;
  if (!parsed || !v.isObject() || !v["online"].isBool() ||
      (ts && !(ts->isUInt64() && ts->asUInt64() <= INT64_MAX))) {
    log_("sparkplug: the primary host's STATE message does not read; ignored", LogPriority::Warning);
    return {};
  }
  return {v["online"].asBool() ? Heard::PrimaryOnline : Heard::PrimaryOffline,
          ts ? static_cast<int64_t>(ts->asUInt64()) : -1};
}

void SparkplugSession::subscribe() {
  link_.subscribe(topic("NCMD"), 1);
  if (!config_.primary_host_id.empty()) link_.subscribe("spBv1.0/STATE/" + config_.primary_host_id, 1);
}

bool SparkplugSession::look(PrimaryHost primary) {
  const bool online = primary == PrimaryHost::Online;
  const bool may_publish = link_.connected() && (config_.primary_host_id.empty() || online);
  if (!config_.primary_host_id.empty() && may_publish != was_online_ && link_.connected())
    log_(std::string("sparkplug: primary host ") + config_.primary_host_id +
             (online ? " online: publishing" : " offline: records are spooled"),
         LogPriority::Info);
  // The primary host back: a new session once what was in flight is answered.
  if (may_publish && !was_online_) state_ = State::BirthDue;
  if (!may_publish && state_ == State::Born) state_ = State::Dead;
  was_online_ = may_publish;
  return may_publish;
}

bool SparkplugSession::publish(const char* type, const std::string& device,
                               const sparkplug::Bytes& payload, int qos, uint64_t* token) {
  const std::string name = topic(type, device);
  const auto t = link_.publish(name, payload, qos, false, type);
  if (!t) return false;
  if (token) *token = *t;
  seq_ = (seq_ + 1) % 256;
  bytes_ += name.size() + payload.size();
  return true;
}

bool SparkplugSession::node_birth(uint64_t bd_seq, bool anew) {
  seq_ = 0;
  if (publish("NBIRTH", "", sparkplug::node_birth(now_ms(), bd_seq), 0, nullptr)) {
    state_ = State::Born;
    return true;
  }
  if (anew) state_ = State::BirthDue;
  return false;
}

bool SparkplugSession::device_birth(uint32_t device_id, const unsigned char* record,
                                    uint64_t round_seq, const qrn_report::RoundReport* report) {
  const auto payload = sparkplug::compressed(
      sparkplug::device_birth(now_ms(), static_cast<uint8_t>(seq_), device_id, record, round_seq,
                              report),
      compression_);
  return publish("DBIRTH", std::to_string(device_id), payload, 0, nullptr);
}

bool SparkplugSession::device_data(uint32_t device_id, const unsigned char* record,
                                   uint64_t round_seq, const qrn_report::RoundReport* report,
                                   bool historical, sparkplug::DeviceState& state, int qos,
                                   uint64_t& token) {
  const auto payload = sparkplug::compressed(
      sparkplug::device_data(now_ms(), static_cast<uint8_t>(seq_), device_id, record, round_seq,
                             report, historical, state),
      compression_);
  if (publish("DDATA", std::to_string(device_id), payload, qos, &token)) return true;
  // The state already holds this record: the next DDATA, of this record
  // again, carries every point instead of the changes.
  state = {};
  return false;
}

bool SparkplugSession::node_death(uint64_t bd_seq) {
  // At QoS 1, as the will; at QoS 0 when the window has no room for it.
  const sparkplug::Bytes payload = sparkplug::node_death(bd_seq);
  return link_.publish(topic("NDEATH"), payload, 1, false, "NDEATH") ||
         link_.publish(topic("NDEATH"), payload, 0, false, "NDEATH");
}

void SparkplugSession::leave(uint64_t bd_seq) {
  node_death(bd_seq);
  link_.leave("the primary host " + config_.primary_host_id + " is offline");
  state_ = State::Dead;
}

bool SparkplugSession::device_death(uint32_t device_id) {
  return publish("DDEATH", std::to_string(device_id),
                 sparkplug::device_death(now_ms(), static_cast<uint8_t>(seq_)), 0, nullptr);
}
