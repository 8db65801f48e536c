// Device health in the live view: round reports, restored records, the
// health fields of /api/devices (/metrics is written in metrics.cpp).
#include "http_view.h"

#include "point_table.h"
#include "record.h"
#include "record_view.h"
#include "report_json.h"

#include <json/value.h>

#include <cstring>

void LiveView::reported(uint32_t device_id, const std::vector<unsigned char>& bytes) {
  auto report = std::make_shared<qrn_report::RoundReport>();
  if (!qrn_report::decode(bytes.data(), bytes.size(), *report)) return;
  std::shared_ptr<const std::string> old_json;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  for (Device& d : devices_) {
    if (d.config.id != device_id) continue;
    fold_read_at(*report, d.read_at);
    d.failed_rounds = report->outcome == 0 ? 0 : d.failed_rounds + 1;
    const uint32_t outcome = report->outcome;
    const std::size_t others = d.outcomes.size() - d.outcomes.count(0);  // Good has a place kept
    if (outcome == 0 || d.outcomes.count(outcome) != 0 || others + 1 < kMostOutcomeSeries)
      ++d.outcomes[outcome];
    else
      ++d.other_outcomes;
    d.report = std::move(report);
    old_json = std::move(d.json);
    return;
  }
}

void LiveView::restored(uint32_t device_id, const std::vector<unsigned char>& stored,
                        std::vector<uint32_t> statuses, std::vector<std::string> read_at) {
  if (stored.size() != qrn_record::kSize) return;
  auto copy = std::make_shared<const std::vector<unsigned char>>(stored);
  std::shared_ptr<const std::string> old_json;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Device& d : devices_) {
    if (d.config.id != device_id) continue;
    d.record = std::move(copy);
    d.restored = true;
    d.stored_statuses = std::move(statuses);
    d.read_at = std::move(read_at);
    old_json = std::move(d.json);
    return;
  }
}

void LiveView::set_history_gauges(std::function<HistoryGauges()> gauges) {
  std::lock_guard<std::mutex> lock(mutex_);
  history_gauges_ = std::move(gauges);
}

void LiveView::set_failure_counts(
    std::function<std::pair<unsigned long, unsigned long>()> counts) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure_counts_ = std::move(counts);
}

void LiveView::set_publish_status(std::function<PublishStatus()> status) {
  std::lock_guard<std::mutex> lock(mutex_);
  publish_status_ = std::move(status);
}

namespace {

// The points whose names mark them as alarm or fault flags.
const std::vector<std::size_t>& flag_points() {
  static const std::vector<std::size_t> flags = [] {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const std::string name = quorlin_points[i].name;
      for (const char* end : {"Alarm", "Fault"}) {
        const std::size_t n = std::strlen(end);
        if (name.size() >= n && name.compare(name.size() - n, n, end) == 0) out.push_back(i);
      }
    }
    return out;
  }();
  return flags;
}

}  // namespace

void LiveView::health_json(const Device& d, Json::Value& v) {
  const qrn_report::RoundReport* r = d.report.get();
  v["last_outcome"] = r ? Json::Value(status_name(r->outcome)) : Json::Value();
  v["last_error"] = r && r->outcome != 0 ? Json::Value(outcome_text(r->outcome)) : Json::Value();
  v["failed_rounds"] = Json::UInt64(d.failed_rounds);
  v["bad_points"] = r ? Json::Value(r->bad) : Json::Value();
  v["uncertain_points"] = r ? Json::Value(r->uncertain) : Json::Value();
  v["round_ms"] = r ? Json::Value(r->duration_ms) : Json::Value();
  // Alarm and fault flags set in the record shown.
  if (d.record) {
    unsigned active = 0;
    for (const std::size_t i : flag_points()) {
      const QuorlinPoint& p = quorlin_points[i];
      active += field_value(p.width, d.record->data() + p.offset) != 0;
    }
    v["active_alarms"] = active;
  } else {
    v["active_alarms"] = Json::Value();
  }
}
