#include "device_set.h"

#include "device_lines.h"
#include "history.h"
#include "host_log.h"
#include "http_view.h"
#include "point_quality.h"
#include "round_reports.h"

#include <json/value.h>

#include <string>

namespace {

// Hands the device its last stored record, unless that record has the wrong
// size or another device's id. False when the history could not be read.
// The view shows it unless `view` is null (a remade device shows its last).
bool restore_last(HistoryStore& history, QRNSocketDevice& device, uint32_t id,
                  HttpView* view) {
  const std::string who = "device " + std::to_string(id);
  std::string error;
  const auto last = history.last(id, qrn_record::kSize, error);
  if (!error.empty()) {
    say(who + ": " + error, LogPriority::Error);
    return false;
  }
  if (!last) return true;
  if (last->bytes.size() != qrn_record::kSize) {
    say(who + ": last stored record (" + std::to_string(last->size) +
        " bytes) refused, not restored", LogPriority::Warning);
  } else if (qrn_record::device_id(last->bytes.data()) != id) {
    say(who + ": last stored record carries device id " +
        std::to_string(qrn_record::device_id(last->bytes.data())) + ", not restored",
        LogPriority::Warning);
  } else if (device.LoadFromCache(last->bytes.data(), static_cast<int>(last->bytes.size())) == 0) {
    say(who + ": last stored record (" + std::to_string(last->size) +
        " bytes) refused, not restored", LogPriority::Warning);
  } else if (view != nullptr) {
    // The points' quality as the device's round reports of the last hour
    // (at five seconds a round) tell it.
    PointQuality quality;
    std::string why;
    if (!load_point_quality(history, id, quality, why, 720)) {
      say(who + ": last stored record restored without its points' quality: " + why,
          LogPriority::Warning);
      quality = PointQuality();
    }
    view->restored(id, last->bytes, std::move(quality.statuses), std::move(quality.read_at));
  }
  return true;
}

}  // namespace

DeviceSet::~DeviceSet() {
  while (!slots_.empty()) stop(slots_.size() - 1);
}

bool DeviceSet::start(const DeviceConfig& dc) {
  auto slot = std::make_unique<DeviceSlot>();
  slot->id = dc.id;
  slot->config = dc;
  // A device made again goes on counting: its dump files are not overwritten.
  const auto ran = rounds_.find(dc.id);
  slot->remade = ran != rounds_.end();
  slot->rounds = slot->remade ? ran->second : 0;
  slot->device.reset(factory_.create());
  if (!slot->device) {
    say("device " + std::to_string(dc.id) + ": the provider made no device",
        LogPriority::Error);
    return false;
  }
  slot->round_lines = round_lines_on(dc);
  out(device_start_line(dc));
  for (const std::string& line : unknown_key_lines(dc)) say(line, LogPriority::Warning);
  runner_.add(slot.get());
  slots_.push_back(std::move(slot));
  QRNSocketDevice& device = *slots_.back()->device;

  Json::Value cfg(Json::objectValue);
  cfg["address"] = dc.address;
  cfg["port"] = dc.port;
  device.Init(std::weak_ptr<QRNController>(), dc.id, cfg);
  runner_.set_restoring(*slots_.back(), true);
  HttpView* shown = slots_.back()->remade ? nullptr : &view_;
  const bool restored = !history_ || restore_last(*history_, device, dc.id, shown);
  runner_.set_restoring(*slots_.back(), false);
  if (!restored) return false;
  device.InitSetting(settings_with_reports(dc.settings, slots_.back()->report_id));
  return true;
}

void DeviceSet::stop(std::size_t i) {
  const QRNVDevice* key = slots_[i]->device.get();
  slots_[i]->device.reset();  // stops and joins its sampling thread
  runner_.remove(key);
  rounds_[slots_[i]->id] = slots_[i]->rounds;
  slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(i));
}
