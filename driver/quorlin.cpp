#include "quorlin.h"

// The host's side of the device: settings, the sampling thread and its pause.
// The round itself is in sampling_round.cpp, its reads in point_reader.cpp,
// the record's packing in record_packer.cpp.
#include "log.h"
#include "log_options.h"

#include <chrono>
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

