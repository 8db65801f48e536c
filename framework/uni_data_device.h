#pragma once

#include "device_settings.h"
#include "log.h"
#include "qrn_device.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

// A device that owns one packed record of type Data and completes every round
// the same way: stamp, hand over under SpDataId, reset, threshold check,
// history. Data starts with the 32-bit device id and ends with the 7-byte stamp.
template <typename Data, typename Base, int SpDataId>
class UniDataDevice : public Base {
  static_assert(std::is_trivially_copyable<Data>::value, "record is copied as bytes");
  static_assert(sizeof(Data) >= sizeof(uint32_t) + sizeof(RoundStamp), "record too small");

 public:
  UniDataDevice() { std::memset(static_cast<void*>(&data_), 0, sizeof(Data)); }
  ~UniDataDevice() override = default;

  using Base::LoadFromCache;

  // Takes a stored record back in; only a record of exactly sizeof(Data) bytes.
  int LoadFromCache(const unsigned char* bytes, int length) override {
    if (bytes == nullptr || length < 0 || static_cast<std::size_t>(length) != sizeof(Data))
      return 0;
    std::lock_guard<std::recursive_mutex> lock(round_guard_);
    std::memcpy(static_cast<void*>(&data_), bytes, sizeof(Data));
    this->data_ready_ = true;
    this->RoundDone();
    return 1;
  }

  void RoundDone() override {
    std::lock_guard<std::recursive_mutex> lock(round_guard_);
    if (!this->data_ready_) this->data_ready_ = true;
    this->round_time_ = boost::posix_time::second_clock::local_time();
    const RoundStamp stamp = get_ttime(this->round_time_);
    std::memcpy(record_bytes() + kStampOffset, stamp.bytes, sizeof stamp.bytes);
    Base::SendSP(SpDataId, record_bytes(), sizeof(Data), false);
    this->Reset();
    this->round_state_ = 1;
    this->alarm_flag_ = false;
    this->RunCheckThreshold();
    if (round_lines_) log_line("rvSize is " + std::to_string(this->rules_.size()));
    const bool alarm = Base::DoBatchCheckThreshold(this->rules_);
    this->alarm_flag_ = alarm || this->alarm_flag_;
    Base::SaveDeviceHistory(record_bytes(), sizeof(Data));
    this->rules_.clear();
  }

  int InitSetting(const Json::Value& settings) override {
    write_device_id();
    apply_device_settings(settings, this->device_id_,
                          DeviceSettingsTarget{b_mode_, alarm_ids_, signal_names_,
                                               this->alarm_levels_, this->alarm_values_});
    return Base::InitSetting(settings);
  }

  void RunCheckThreshold() override {}

 protected:
  static constexpr std::size_t kStampOffset = sizeof(Data) - sizeof(RoundStamp);

  unsigned char* record_bytes() { return reinterpret_cast<unsigned char*>(&data_); }

  // Copies device_id_ into the record's first four bytes (native byte order).
  void write_device_id() {
    std::lock_guard<std::recursive_mutex> lock(round_guard_);
    const uint32_t id = this->device_id_;
    std::memcpy(record_bytes(), &id, sizeof id);
  }

  Data data_;
  // The per-round progress lines ("appSetting": "round_lines"); set by the
  // device's InitSetting, read by its sampling thread.
  std::atomic<bool> round_lines_{true};
  int32_t b_mode_ = 1;
  std::map<std::string, std::string> alarm_ids_;
  std::map<std::string, std::string> signal_names_;
  // Serialises round completion, cache loads and a round's commit, so the
  // host never sees or stores a half-written record.
  std::recursive_mutex round_guard_;
};
