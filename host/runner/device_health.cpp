// Device health in the live view: round reports, restored records, /metrics.
#include "http_view.h"

#include "point_table.h"
#include "record.h"
#include "record_view.h"
#include "report_json.h"

#include <json/value.h>

#include <cstdio>
#include <cstring>
#include <sstream>

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

void LiveView::set_failure_counts(
    std::function<std::pair<unsigned long, unsigned long>()> counts) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure_counts_ = std::move(counts);
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

namespace {

// A label value in the text format: backslash, quote and newline escaped.
std::string label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

LiveView::Reply LiveView::metrics_reply() const {
  std::ostringstream up, records, rounds, duration, points, stamp;
  std::function<std::pair<unsigned long, unsigned long>()> counts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counts = failure_counts_;
    for (const Device& d : devices_) {
      const std::string dev = "device=\"" + std::to_string(d.config.id) + "\"";
      const qrn_report::RoundReport* r = d.report.get();
      up << "qrn_device_up{" << dev << "} " << (r && r->outcome == 0 ? 1 : 0) << '\n';
      records << "qrn_records_total{" << dev << "} " << d.records << '\n';
      for (const auto& o : d.outcomes)
        rounds << "qrn_rounds_total{" << dev << ",outcome=\"" << label(status_name(o.first))
               << "\"} " << o.second << '\n';
      if (d.other_outcomes > 0)
        rounds << "qrn_rounds_total{" << dev << ",outcome=\"other\"} " << d.other_outcomes << '\n';
      if (r) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", r->duration_ms / 1000.0);
        duration << "qrn_round_duration_seconds{" << dev << "} " << seconds << '\n';
        points << "qrn_points{" << dev << ",status=\"good\"} " << r->good << '\n'
               << "qrn_points{" << dev << ",status=\"uncertain\"} " << r->uncertain << '\n'
               << "qrn_points{" << dev << ",status=\"bad\"} " << r->bad << '\n';
      }
      if (d.record_wall)
        stamp << "qrn_last_record_timestamp_seconds{" << dev << "} "
              << std::chrono::duration_cast<std::chrono::seconds>(
                     d.record_wall->time_since_epoch())
                     .count()
              << '\n';
    }
  }
  const auto failures = counts ? counts() : std::pair<unsigned long, unsigned long>{0, 0};
  std::ostringstream out;
  family(out, "qrn_device_up", "gauge", "1 when the device's last round handed a record over");
  out << up.str();
  family(out, "qrn_records_total", "counter", "records handed over");
  out << records.str();
  family(out, "qrn_rounds_total", "counter", "round attempts by outcome");
  out << rounds.str();
  family(out, "qrn_round_duration_seconds", "gauge", "the last round's duration");
  out << duration.str();
  family(out, "qrn_points", "gauge", "points by the status of their last read");
  out << points.str();
  family(out, "qrn_last_record_timestamp_seconds", "gauge",
         "when the last record was handed over (Unix time)");
  out << stamp.str();
  family(out, "qrn_history_write_failures_total", "counter", "records not saved in history");
  out << "qrn_history_write_failures_total " << failures.first << '\n';
  family(out, "qrn_dump_write_failures_total", "counter", "records not written to the dump folder");
  out << "qrn_dump_write_failures_total " << failures.second << '\n';
  return {200, "text/plain; version=0.0.4; charset=utf-8", out.str()};
}
