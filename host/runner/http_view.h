#pragma once

// The live view of qrn-host: a page and a small JSON API over HTTP that show
// each device's latest record and, from the history file, a point's trend.
#include "config.h"
#include "history_gauges.h"
#include "publish_status.h"
#include "record.h"
#include "round_report.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qrn_host {
struct Event;
}
namespace Json {
class Value;
}
class BoundedHttpServer;

// "ADDRESS:PORT", an IPv6 address in brackets ("[::1]:8080"); port 0 to
// 65535. False with a one-line reason.
bool parse_listen_address(const std::string& text, std::string& address, int& port,
                          std::string& error);

// 127.0.0.0/8, ::1 and "localhost": addresses only this machine reaches.
bool is_loopback_address(const std::string& address);

// Whether a request's Host header names this view: an IP address, the
// address listened on, "localhost" or this machine's name (`own_name`), with
// or without a port; no header at all is a client that is no browser. A page
// of another site reaching the view through a name it made resolve here
// (DNS rebinding) sends that name and is refused.
bool is_allowed_host(const std::string& header, const std::string& listen_address,
                     const std::string& own_name);

// `text` with each byte that is not part of well-formed UTF-8 written as
// "\xNN", so that it can go into JSON.
std::string printable_utf8(const std::string& text);

// How many connections the view may hold besides `devices` devices: the
// soft descriptor limit is raised to the hard one first; then a reserve per
// device and for the host are set aside from what is not yet open, and the
// view gets half of the rest, at most HttpView::kMostConnections.
std::size_t live_view_connection_budget(std::size_t devices);

// What the view serves, without sockets: records in, replies out. Every
// member may be called from any thread.
class LiveView {
 public:
  using Clock = std::chrono::steady_clock;
  // A device is stale when its last record is older than two periods; the
  // period is the last interval between its records, at least this.
  static constexpr std::chrono::seconds kNominalPeriod = qrn_record::kRoundPeriod;
  // The history a trend may ask for, in minutes.
  static constexpr int kMaxMinutes = 1440;
  // Outcomes with a /metrics series of their own per device, Good included;
  // the rest count under "other": the server chooses the codes, and a series
  // once shown stays.
  static constexpr std::size_t kMostOutcomeSeries = 8;

  struct Reply {
    int status = 200;
    std::string content_type;
    std::string body;
  };

  // `history_path` empty: no trends.
  LiveView(const std::vector<DeviceConfig>& devices, std::string history_path);

  // The devices after a reload, in their new order: a kept or changed one
  // keeps what it showed, a removed one goes, an added one has nothing yet.
  void set_devices(const std::vector<DeviceConfig>& devices);

  // Keeps a copy of a record that a configured device handed over at `at`;
  // holds the lock only to swap in the copy.
  void handed_over(uint32_t device_id, const std::vector<unsigned char>& record,
                   Clock::time_point at);

  // Keeps a device's latest round report (device_health.cpp); a report that
  // does not decode is dropped.
  void reported(uint32_t device_id, const std::vector<unsigned char>& bytes);
  // The record just handed over was restored from history: shown as
  // "restored" with `stored`, its stamp as stored, until a live one comes.
  // `statuses` and `read_at` (may be empty) are its points' quality as the
  // history's round reports tell it.
  void restored(uint32_t device_id, const std::vector<unsigned char>& stored,
                std::vector<uint32_t> statuses = {}, std::vector<std::string> read_at = {});
  // Where /metrics gets the host's history and dump write failures.
  void set_failure_counts(std::function<std::pair<unsigned long, unsigned long>()> counts);
  // Where /metrics and /api/devices get the history's budget gauges.
  void set_history_gauges(std::function<HistoryGauges()> gauges);
  // Where /metrics and /api/devices get the publishing's state, when on.
  void set_publish_status(std::function<PublishStatus()> status);

  // The answer to GET `path` with the query's parameters at time `now`.
  Reply get(const std::string& path, const std::multimap<std::string, std::string>& query,
            Clock::time_point now) const;

 private:
  struct Device {
    DeviceConfig config;
    unsigned long records = 0;  // handed over so far
    std::optional<Clock::time_point> last_at;
    Clock::duration last_interval{};
    std::shared_ptr<const std::vector<unsigned char>> record;  // the last 7001-byte one
    std::shared_ptr<const std::string> json;  // `record` as JSON, made on first request
    bool restored = false;  // `record` came from history, not from this run
    std::optional<std::chrono::system_clock::time_point> record_wall;  // of the last record
    std::shared_ptr<const qrn_report::RoundReport> report;  // the latest round report
    std::vector<uint32_t> stored_statuses;  // a restored record's, until a report comes
    std::vector<std::string> read_at;  // per point, the last round that wrote it
    unsigned long failed_rounds = 0;    // in a row
    std::map<uint32_t, unsigned long> outcomes;  // rounds per outcome
    unsigned long other_outcomes = 0;  // rounds whose outcome found no place in `outcomes`
  };

  // Health fields of a device entry in /api/devices (device_health.cpp).
  static void health_json(const Device& d, Json::Value& entry);
  // The /metrics text (metrics.cpp).
  Reply metrics_reply() const;
  // The history's files, its file system's free space and the budget's
  // gauges, as /api/devices gives them (metrics.cpp).
  Json::Value history_space_json() const;

  Reply devices_reply(Clock::time_point now) const;
  Reply record_reply(uint32_t id) const;
  Reply history_reply(uint32_t id, std::size_t index,
                      const std::multimap<std::string, std::string>& query) const;

  const std::string history_path_;
  mutable std::mutex mutex_;
  std::function<std::pair<unsigned long, unsigned long>()> failure_counts_;
  std::function<HistoryGauges()> history_gauges_;
  std::function<PublishStatus()> publish_status_;
  mutable std::vector<Device> devices_;  // in configuration order
};

// LiveView behind cpp-httplib's server on a thread of its own (requests run on
// the server's pool threads), fed from the host's event hook.
class HttpView {
 public:
  HttpView(const std::vector<DeviceConfig>& devices, const std::string& history_path);
  ~HttpView();  // stops serving
  HttpView(const HttpView&) = delete;
  HttpView& operator=(const HttpView&) = delete;

  // The connections the view keeps open at most, whatever the descriptors.
  static constexpr std::size_t kMostConnections = 64;

  // Listens on "ADDRESS:PORT" and prints the page's URL once it does (and a
  // line that the page has no authentication unless the address is a
  // loopback one). False with a one-line reason, also when the descriptor
  // limit leaves no connection to the view.
  bool start(const std::string& listen, std::string& error);

  // Takes a copy of every record and round report handed over while serving.
  void on_event(const qrn_host::Event& e);
  // See LiveView::restored.
  void restored(uint32_t device_id, const std::vector<unsigned char>& stored,
                std::vector<uint32_t> statuses, std::vector<std::string> read_at);
  LiveView& view() { return view_; }

 private:
  void stop();

  LiveView view_;
  std::size_t devices_;
  std::unique_ptr<BoundedHttpServer> server_;
  std::atomic<bool> serving_{false};
};
