#pragma once

// The publishing thread of the edge node: each turn it takes what the other
// threads handed in, says the births when due, publishes the devices' new
// records live and their backlog as the replay, and keeps each device's
// progress in the history (the spool).
#include "history.h"
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
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
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
  // newest round report, the rows of a group the history committed.
  void stored(uint32_t device_id, int data_id);
  void report(uint32_t device_id, const std::vector<unsigned char>& bytes);
  void committed(const std::vector<CommittedRow>& rows);
  PublishStatus status() const;

  // After a break (the connection lost, the primary host offline) the
  // records that went out this long before it are sent again: at QoS 0 a
  // break goes unseen for up to two keepalives (a PINGREQ unanswered for a
  // keepalive), and the primary host's will comes 1.5 of its keepalives
  // after it died; the margin covers the socket's queue (kept short, see
  // kReplayQueue) and the time to notice.
  static std::chrono::seconds resend_window(int keepalive_seconds) {
    return std::chrono::seconds(2 * keepalive_seconds + 5);
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct Device {
    uint32_t id = 0;
    int data_id = qrn_record::kDataId;
    SpoolCursor cursor;
    bool born = false;  // DBIRTH said in this session (and no DDEATH since)
    sparkplug::DeviceState live_state, replay_state;
    std::vector<unsigned char> report;  // latest, decoded into `report_view`
    std::unique_ptr<qrn_report::RoundReport> report_view;
    int64_t newest = 0;      // the newest committed row's seq under data_id
    SpoolProgress kept;      // the progress last saved
    uint64_t backlog = 0;    // records saved and not yet published
    std::time_t oldest = 0;  // when the oldest of them was saved, as far as known
  };

  // A publish on its way: its device (index), stream and the row's saved time.
  struct Flight {
    std::size_t device;
    SpoolCursor::Stream stream;
    std::time_t saved;
  };

  // What the link's thread and the sinks hand in, and what status() reads:
  // under `mutex_`.
  struct Inbox {
    bool stopping = false;
    bool poked = false;  // something new since the thread's last turn
    // A clean stop: what the history holds goes out first, within kDrainWait.
    bool draining = false;
    Clock::time_point drain_deadline{};
    bool connect_event = false, disconnect_event = false, rebirth = false;
    std::vector<uint64_t> acks;
    std::vector<CommittedRow> committed;  // rows committed since the last turn
    std::map<uint32_t, std::vector<unsigned char>> reports;  // new round reports
    std::map<uint32_t, int> data_ids;  // a device's record data id, when not the default
    SparkplugSession::PrimaryHost primary = SparkplugSession::PrimaryHost::Unknown;
    PublishStatus status;
    uint64_t bd_seq = 0;  // the current connection's, as its will says
    // The primary host's last STATE time and last online time (-1: none).
    int64_t host_said = -1, host_online = -1;
  };

  // One turn's share of the inbox.
  struct Turn {
    bool connected = false, disconnected = false, rebirth = false;
    std::vector<uint64_t> acked;
    std::vector<CommittedRow> committed;
    std::map<uint32_t, std::vector<unsigned char>> reports;
    std::map<uint32_t, int> data_ids;
    SparkplugSession::PrimaryHost primary = SparkplugSession::PrimaryHost::Unknown;
  };

  void run();
  Turn take_turn();
  void play(Turn& turn);
  bool stop_now() const;
  void poke();
  void take_committed(const std::vector<CommittedRow>& rows);
  void lose_flights();
  void roll_back();
  void take_reports(std::map<uint32_t, std::vector<unsigned char>>& reports, bool may_publish);
  void publish_turn(bool rebirth);
  void births(bool anew);
  bool opening_births();
  void count_backlog(Device& d);
  bool device_birth(Device& d, const SpoolRow& row);
  bool publish_row(Device& d, const SpoolRow& row, SpoolCursor::Stream stream);
  void acknowledged(uint64_t token);
  void passed(Device& d);
  void save_progress(bool now);
  bool save(const std::vector<std::pair<Device*, SpoolProgress>>& moved);
  void live();
  DeviceRing::Served live_device(Device& d, std::string& error);
  bool birth_from_newest(Device& d, std::string& error);
  void replay();
  DeviceRing::Served replay_device(Device& d, std::size_t& queued, std::string& error);
  void measure_link();
  void refresh_status();
  void set_report(Device& d, std::vector<unsigned char> bytes);
  void on_message(const std::string& topic, const unsigned char* data, std::size_t size);
  bool believed(const SparkplugSession::Message& m);
  uint64_t current_bd_seq();
  mqtt::LinkEvents link_events();
  mqtt::Will next_will();
  // Room for another publish with at most `window` unsaved or in flight.
  bool room(std::size_t window) const;
  // Rows to read for one device now: no more than the window can take.
  std::size_t rows_to_read(std::size_t window) const;

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
  std::unordered_map<uint32_t, std::size_t> index_;  // device id -> devices_
  DeviceRing live_ring_, replay_ring_;  // devices with live rows, with a replay
  std::unordered_map<uint64_t, Flight> tokens_;
  Clock::time_point now_{};  // the turn's time
  std::chrono::seconds resend_window_{0};
  bool publishing_ = false;  // publishing allowed at the last turn
  std::size_t births_said_ = 0;  // devices whose opening DBIRTH is said, in order
  Clock::time_point next_status_{}, next_save_{};
  std::string progress_error_;  // the failure to keep progress going on
  // QoS 1: publishes the saved progress does not cover yet (in flight, or
  // acknowledged since the last save): what a kill now would send again.
  // Kept within the link's window, so that a kill costs at most a window of
  // duplicates.
  std::size_t unsaved_ = 0;
  // What the connection drains per second, measured while it has a queue,
  // and how much of a queue the replay may leave ahead of live records.
  uint64_t given_bytes_ = 0;  // the session's bytes() at the last measure
  std::size_t last_unsent_ = 0;
  Clock::time_point rate_since_{};
  std::size_t drained_ = 0;
  std::size_t replay_queue_;
  bool replay_waits_ = false;  // held back by the queue: look again soon
};
