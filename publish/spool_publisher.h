#pragma once

// The publishing thread of the edge node: each turn it takes what the other
// threads handed in, says the births when due, publishes the devices' new
// records live and their backlog as the replay, and keeps each device's
// progress in the history (the spool).
#include "history_spool.h"
#include "mqtt_link.h"
#include "publish_status.h"
#include "record.h"
#include "round_report.h"
#include "sparkplug_session.h"
#include "spool_cursor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class SpoolPublisher {
 public:
  SpoolPublisher(const SparkplugConfig& config, EdgeLog log);

  // Opens the history as the spool and each device's progress. A device
  // published for the first time starts after what is already saved: older
  // history is not sent. False with a reason.
  bool open(const std::string& history_path, const std::vector<uint32_t>& device_ids,
            std::string& error);
  // Connects to the broker as `settings` say and starts the thread.
  void start(const mqtt::BrokerSettings& settings);
  // A clean stop: the records the history committed last go out within
  // kDrainWait, the progress is kept, NDEATH said and the link closed.
  void finish();

  // From the sinks' threads: a device's record stored under `data_id`, its
  // newest round report, rows committed to the history.
  void stored(uint32_t device_id, int data_id);
  void report(uint32_t device_id, const std::vector<unsigned char>& bytes);
  void committed();
  PublishStatus status() const;

 private:
  struct Device {
    uint32_t id = 0;
    int data_id = qrn_record::kDataId;
    SpoolCursor cursor;
    bool born = false;  // DBIRTH said in this session (and no DDEATH since)
    sparkplug::DeviceState live_state, replay_state;
    std::vector<unsigned char> report;  // latest, decoded into `report_view`
    std::unique_ptr<qrn_report::RoundReport> report_view;
  };

  // What the link's thread and the sinks hand in, and what status() reads:
  // under `mutex_`.
  struct Inbox {
    bool stopping = false;
    // A clean stop: what the history holds goes out first, within kDrainWait.
    bool draining = false;
    std::chrono::steady_clock::time_point drain_deadline{};
    bool connect_event = false, disconnect_event = false, rebirth = false;
    std::vector<uint64_t> acks;
    std::set<uint32_t> stored;  // devices to look at for new records now
    bool committed = false;     // the history committed rows: every device may have new ones
    std::map<uint32_t, std::vector<unsigned char>> reports;  // new round reports
    std::map<uint32_t, int> data_ids;  // a device's record data id, when not the default
    SparkplugSession::PrimaryHost primary = SparkplugSession::PrimaryHost::Unknown;
    PublishStatus status;
    uint64_t bd_seq = 0;  // the current connection's, as its will says
  };

  // One turn's share of the inbox.
  struct Turn {
    bool connected = false, disconnected = false, rebirth = false;
    std::vector<uint64_t> acked;
    std::map<uint32_t, std::vector<unsigned char>> reports;
    std::map<uint32_t, int> data_ids;
    SparkplugSession::PrimaryHost primary = SparkplugSession::PrimaryHost::Unknown;
  };

  void run();
  Turn take_turn();
  void play(Turn& turn);
  bool stop_now() const;
  void lose_flights();
  void take_reports(std::map<uint32_t, std::vector<unsigned char>>& reports, bool may_publish);
  void publish_turn(bool rebirth);
  void births(bool anew);
  bool device_birth(Device& d, const SpoolRow& row);
  bool publish_row(Device& d, const SpoolRow& row, SpoolCursor::Stream stream);
  void acknowledged(uint64_t token);
  void save_progress();
  void live();
  bool live_device(Device& d, std::string& error);
  void replay();
  void refresh_status();
  void set_report(Device& d, std::vector<unsigned char> bytes);
  void on_message(const std::string& topic, const unsigned char* data, std::size_t size);
  mqtt::LinkEvents link_events();
  mqtt::Will next_will();
  // Room for another publish with at most `window` unsaved.
  bool room(std::size_t window) const;

  const SparkplugConfig config_;
  const EdgeLog log_;
  HistorySpool spool_;
  std::mutex spool_mutex_;  // the will (link thread) and the publishing thread
  std::unique_ptr<mqtt::Link> link_;
  std::unique_ptr<SparkplugSession> session_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Inbox in_;

  // The publishing thread's alone.
  std::vector<Device> devices_;
  std::unordered_map<uint64_t, std::pair<std::size_t, SpoolCursor::Stream>> tokens_;  // -> device
  std::size_t replay_turn_ = 0;
  std::chrono::steady_clock::time_point next_status_{};
  std::string progress_error_;  // the failure to keep progress going on
  // Publishes the saved progress does not cover yet (in flight, or
  // acknowledged since the last save): what a kill now would send again.
  // Kept within the link's window, so that a kill costs at most a window of
  // duplicates.
  std::size_t unsaved_ = 0;
};
