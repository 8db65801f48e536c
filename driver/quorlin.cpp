#include "quorlin.h"

// The host's side of the device: settings, the sampling thread and its pause,
// and the round's record and report handed over through the base class.
// The round itself is in sampling_round.cpp.
#include "log.h"
#include "log_options.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <chrono>
#include <cstring>
#include <exception>
#include <string>

Quorlin::Quorlin() {
  device_type_ = "quorlin";
  socket_option_ = true;
}

Quorlin::~Quorlin() { stop_sampling(); }

int Quorlin::InitSetting(const Json::Value& settings) {
  write_device_id();
  // The settings are read here once. The security goes first: the first
  // round must not connect without it.
  round_.security().apply(load_session_security(settings), device_id_);
  const DriverSettings read = parse_driver_settings(settings, device_id_);
  say_setting_problems(read);
  apply_settings(read);
  round_.set_report_id(read.round_report_id);
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
  round_.apply(settings);
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
  round_.close_session();
}

void Quorlin::do_sample() { round_.run(round_target()); }

std::vector<unsigned char> Quorlin::record() {
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  const unsigned char* bytes = record_bytes();
  return {bytes, bytes + sizeof data_};
}

void Quorlin::commit_round(const WorkingRecord& work) {
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  // The id is the device's own, whatever a loaded cache carried.
  write_device_id();
  work.copy_into(record_bytes());
  RoundDone();
}

void Quorlin::send_round_report(uint32_t data_id, qrn_report::RoundReport& report,
                                bool handed_over) {
  std::lock_guard<std::recursive_mutex> lock(round_guard_);
  // The record's own stamp when this round handed one over.
  if (handed_over) {
    std::memcpy(report.stamp, record_bytes() + kStampOffset, sizeof report.stamp);
  } else {
    const RoundStamp now = get_ttime(boost::posix_time::second_clock::local_time());
    std::memcpy(report.stamp, now.bytes, sizeof report.stamp);
  }
  const std::vector<unsigned char> bytes = qrn_report::encode(report);
  SendSP(static_cast<int>(data_id), bytes.data(), static_cast<unsigned int>(bytes.size()),
         false);
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
