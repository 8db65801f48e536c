#include "runner.h"

#include "host_log.h"
#include "report_json.h"

#include <cstdio>

void Runner::add(DeviceSlot* slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[slot->device.get()] = slot;
}

void Runner::remove(const QRNVDevice* device) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.erase(device);
  changed_.notify_all();
}

void Runner::on_event(const qrn_host::Event& e) {
  if (e.kind != qrn_host::EventKind::SendSP && e.kind != qrn_host::EventKind::SaveHistory)
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = slots_.find(e.device);
  if (it == slots_.end()) return;
  DeviceSlot& slot = *it->second;
  // --rounds 0 sets the devices up (a stored record restored) and stops
  // them: a round that got under way meanwhile is no record of the run.
  if (options_.rounds && *options_.rounds == 0 && !slot.restoring) return;
  const bool report = e.kind == qrn_host::EventKind::SendSP && slot.report_id != 0 &&
                      e.data_id == slot.report_id;
  // A remade device's restored record is no new round, nor new to the view.
  if (slot.restoring && slot.remade) return;
  const bool reached_before = reached(slot);
  Handed::Kind kind = Handed::Kind::Stored;
  std::string line;
  if (e.kind == qrn_host::EventKind::SendSP && !report) {
    line = handed_over(slot, e);
    kind = Handed::Kind::Record;
  } else if (report) {
    round_ended(slot, e);
    kind = Handed::Kind::Report;
  }
  sinks_.hand({kind, slot.id, report ? slot.report_id : slot.data_id, slot.rounds,
               slot.restoring, e});
  // The round's line once every sink has the record: whoever reads the line
  // finds the record in the live view and queued for the history.
  if (!line.empty()) out(line);
  // Only a device reaching the goal can end wait(): waking the waiter on
  // every record would cost a thread switch per round.
  if (!reached_before && reached(slot)) changed_.notify_all();
}

void Runner::request_reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  reload_ = true;
  changed_.notify_all();
}

bool Runner::take_reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool asked = reload_;
  reload_ = false;
  return asked;
}

void Runner::request_stop(int signal) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stop_signal_) stop_signal_ = signal;
  changed_.notify_all();
}

int Runner::stop_signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_signal_;
}

void Runner::wait(std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] {
    if (stop_signal_ != 0 || reload_) return true;
    if (!options_.rounds && !options_.once) return false;
    for (const auto& entry : slots_)
      if (!reached(*entry.second)) return false;
    return true;
  };
  if (deadline)
    changed_.wait_until(lock, *deadline, ready);
  else
    changed_.wait(lock, ready);
}

bool Runner::pause_until(std::chrono::steady_clock::time_point when) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_until(lock, when, [&] { return stop_signal_ != 0; });
}

std::vector<std::string> Runner::round_failures() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& entry : slots_) {
    const DeviceSlot& s = *entry.second;
    const std::string who = "device " + std::to_string(s.id) + ": ";
    if (s.failed_rounds > 0)
      lines.push_back(who + std::to_string(s.failed_rounds) + " of " +
                      std::to_string(s.ended) + " rounds handed no record over (last: " +
                      status_name(s.last_failure) + ")");
    else if (!reached(s))
      lines.push_back(who + "no round ended within " + std::to_string(kOnceBound.count()) +
                      " s");
  }
  return lines;
}

void Runner::set_restoring(DeviceSlot& slot, bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  slot.restoring = on;
}

std::pair<unsigned long, unsigned long> Runner::failures() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_.failures();
}

std::string Runner::losses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_.losses();
}

// Whether the device made the rounds asked for: with --once its first
// round of its own ended, with --rounds N it handed over N records or
// made N rounds in all.
bool Runner::reached(const DeviceSlot& slot) const {
  if (options_.once) return slot.ended > 0;
  return options_.rounds && slot.rounds + slot.failed_rounds >= *options_.rounds;
}

// Counts the record and returns its line (empty where the device's lines are off).
std::string Runner::handed_over(DeviceSlot& slot, const qrn_host::Event& e) {
  slot.data_id = e.data_id;
  const unsigned long round = ++slot.rounds;
  // Without reports a record of its own is how a round is seen to end.
  if (slot.report_id == 0 && !slot.restoring) ++slot.ended;
  const std::string time =
      e.bytes.size() >= qrn_record::kSize ? qrn_record::stamp_text(e.bytes.data()) : "-";
  char line[160];
  std::snprintf(line, sizeof line, "device %u round %lu data %d size %u time %s",
                static_cast<unsigned>(slot.id), round, e.data_id, e.size, time.c_str());
  return slot.round_lines ? std::string(line) : std::string();
}

// A round's report says how it ended, also when it handed nothing over.
void Runner::round_ended(DeviceSlot& slot, const qrn_host::Event& e) {
  qrn_report::RoundReport r;
  ++slot.ended;
  if (qrn_report::decode(e.bytes.data(), e.bytes.size(), r) && r.outcome != 0) {
    ++slot.failed_rounds;
    slot.last_failure = r.outcome;
  }
}
