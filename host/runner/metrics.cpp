// /metrics: the live view's device health and the host's write failures in
// the Prometheus text format.
#include "http_view.h"

#include "report_json.h"

#include <json/json.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

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

// The history's files (database and WAL) and its file system's free space,
// from the file system alone: a scrape never waits on the database; the
// budget's gauges as retention's last pass found them.
struct HistorySpace {
  unsigned long long bytes = 0;
  bool free_known = false;
  unsigned long long free = 0;
  HistoryGauges gauges;
};

HistorySpace history_space(const std::string& path, const std::function<HistoryGauges()>& gauges) {
  HistorySpace h;
  struct stat st {};
  for (const char* suffix : {"", "-wal"})
    if (stat((path + suffix).c_str(), &st) == 0) h.bytes += static_cast<unsigned long long>(st.st_size);
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) == 0) {
    h.free_known = true;
    h.free = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  }
  if (gauges) h.gauges = gauges();
  return h;
}

void history_space(std::ostringstream& out, const HistorySpace& h) {
  family(out, "qrn_history_bytes", "gauge", "the history file and its WAL");
  out << "qrn_history_bytes " << h.bytes << '\n';
  if (h.free_known) {
    family(out, "qrn_history_filesystem_free_bytes", "gauge",
           "free space on the history's file system");
    out << "qrn_history_filesystem_free_bytes " << h.free << '\n';
  }
  if (h.gauges.oldest_known) {
    family(out, "qrn_history_oldest_record_timestamp_seconds", "gauge",
           "the earliest saved time of a row kept in the history, never later than now "
           "(Unix time)");
    out << "qrn_history_oldest_record_timestamp_seconds " << h.gauges.oldest_unix << '\n';
  }
  family(out, "qrn_history_deleted_rows_total", "counter",
         "history rows deleted: by --keep-days, by the size limit, and giving way on a full "
         "file system");
  out << "qrn_history_deleted_rows_total{reason=\"age\"} " << h.gauges.deleted_by_age << '\n'
      << "qrn_history_deleted_rows_total{reason=\"size\"} " << h.gauges.deleted_by_size << '\n'
      << "qrn_history_deleted_rows_total{reason=\"full\"} " << h.gauges.given_way << '\n';
  if (h.gauges.days_left_known) {
    char days[32];
    std::snprintf(days, sizeof days, "%.2f", h.gauges.days_left);
    family(out, "qrn_history_days_left", "gauge",
           "days until the history reaches its size budget at the last minute's rate");
    out << "qrn_history_days_left " << days << '\n';
  }
}

// The publishing to a broker, when configured.
void publishing(std::ostringstream& out, const PublishStatus& s) {
  family(out, "qrn_publish_connected", "gauge", "1 while connected to a broker");
  out << "qrn_publish_connected " << (s.connected ? 1 : 0) << '\n';
  family(out, "qrn_publish_server", "gauge", "1 for the server connected to, 0 for the others");
  for (const std::string& server : s.servers)
    out << "qrn_publish_server{server=\"" << label(server) << "\"} "
        << (s.connected && server == s.server ? 1 : 0) << '\n';
  family(out, "qrn_publish_backlog_records", "gauge",
         "records saved that the broker has not acknowledged yet");
  for (const PublishStatus::Device& d : s.devices)
    out << "qrn_publish_backlog_records{device=\"" << d.id << "\"} " << d.backlog << '\n';
  family(out, "qrn_publish_oldest_unpublished_seconds", "gauge",
         "age of the oldest record not yet acknowledged (0 when none)");
  for (const PublishStatus::Device& d : s.devices) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f", d.oldest_seconds);
    out << "qrn_publish_oldest_unpublished_seconds{device=\"" << d.id << "\"} " << seconds
        << '\n';
  }
  family(out, "qrn_publish_messages_total", "counter",
         "Sparkplug messages sent on a live connection by type (QoS 1: acknowledged)");
  for (const char* type : {"NBIRTH", "DBIRTH", "DDATA", "DDEATH"}) {
    const auto it = s.messages.find(type);
    out << "qrn_publish_messages_total{type=\"" << type << "\"} "
        << (it == s.messages.end() ? 0 : it->second) << '\n';
  }
  family(out, "qrn_publish_link_failures_total", "counter",
         "times the broker link failed (an exception) and connected again");
  out << "qrn_publish_link_failures_total " << s.link_failures << '\n';
  family(out, "qrn_publish_dropped_total", "counter",
         "records deleted by the history's size limit or on a full file system before a broker "
         "acknowledged them");
  out << "qrn_publish_dropped_total " << s.dropped << '\n';
}

}  // namespace

Json::Value LiveView::history_space_json() const {
  std::function<HistoryGauges()> gauges;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gauges = history_gauges_;
  }
  const HistorySpace h = history_space(history_path_, gauges);
  Json::Value v(Json::objectValue);
  v["bytes"] = Json::UInt64(h.bytes);
  v["filesystem_free_bytes"] = h.free_known ? Json::Value(Json::UInt64(h.free)) : Json::Value();
  v["oldest_record_timestamp"] =
      h.gauges.oldest_known ? Json::Value(Json::Int64(h.gauges.oldest_unix)) : Json::Value();
  v["days_left"] = h.gauges.days_left_known ? Json::Value(h.gauges.days_left) : Json::Value();
  return v;
}

LiveView::Reply LiveView::metrics_reply() const {
  std::ostringstream up, records, rounds, duration, points, stamp;
  std::function<std::pair<unsigned long, unsigned long>()> counts;
  std::function<HistoryGauges()> gauges;
  std::function<PublishStatus()> publish_status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counts = failure_counts_;
    gauges = history_gauges_;
    publish_status = publish_status_;
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
  family(out, "qrn_history_write_failures_total", "counter",
         "records and round reports not saved in history");
  out << "qrn_history_write_failures_total " << failures.first << '\n';
  family(out, "qrn_dump_write_failures_total", "counter", "records not written to the dump folder");
  out << "qrn_dump_write_failures_total " << failures.second << '\n';
  if (!history_path_.empty()) history_space(out, history_space(history_path_, gauges));
  if (publish_status) {
    const PublishStatus status = publish_status();
    if (status.enabled) publishing(out, status);
  }
  return {200, "text/plain; version=0.0.4; charset=utf-8", out.str()};
}
