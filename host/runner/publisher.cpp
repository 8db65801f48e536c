#include "publisher.h"

#include "history_spool.h"
#include "host_log.h"
#include "mqtt_link.h"
#include "record.h"
#include "round_report.h"
#include "sparkplug_payload.h"

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>

namespace {

// Publishes the replay may have waiting for their PUBACK: the rest of the
// link's window stays free for live records, which never wait behind it.
constexpr std::size_t kReplayInFlight = mqtt::Link::kMaxInFlight - 5;
// Rows read from the spool at a time: memory stays bounded by the window.
constexpr std::size_t kRowsPerRead = 8;
constexpr auto kStatusInterval = std::chrono::seconds(5);
constexpr auto kIdleWait = std::chrono::seconds(1);
// At a clean stop, how long the last records saved may take to go out.
constexpr auto kDrainWait = std::chrono::seconds(2);

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// History's local time text as seconds ago (0 when it does not read).
double seconds_since(const std::string& local_text) {
  std::tm tm{};
  if (local_text.size() < 19 ||
      std::sscanf(local_text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t then = std::mktime(&tm);
  return then < 0 ? 0 : std::max(0.0, std::difftime(std::time(nullptr), then));
}

// A publish waiting for its PUBACK; a stream's are in ascending seq.
struct Flight {
  int64_t seq = 0;
  uint64_t token = 0;
  bool acked = false;
};

}  // namespace

// The publishing thread and what it alone touches; `mutex` guards what the
// link's thread and the sinks hand in (events) and what status() reads.
struct Publisher::Node {
  SparkplugConfig config;
  std::string prefix;  // "spBv1.0/<group>/"
  HistorySpool spool;
  std::mutex spool_mutex;  // the will (link thread) and the publishing thread
  std::unique_ptr<mqtt::Link> link;
  std::thread thread;

  // Handed in, under `mutex`.
  std::mutex mutex;
  std::condition_variable wake;
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
  int primary_online = -1;  // -1 unknown, 0 offline, 1 online
  PublishStatus status;
  uint64_t bd_seq = 0;  // the current connection's, as its will says

  struct Device {
    uint32_t id = 0;
    int data_id = qrn_record::kDataId;
    SpoolProgress progress;
    bool progress_changed = false;
    bool born = false;  // DBIRTH said in this session (and no DDEATH since)
    sparkplug::DeviceState live_state, replay_state;
    std::vector<unsigned char> report;  // latest, decoded into `report_view`
    std::unique_ptr<qrn_report::RoundReport> report_view;
    int64_t live_sent = 0;    // newest seq published live
    int64_t replay_sent = 0;  // newest seq published by the replay
    bool replay_done = true;
    std::deque<Flight> live_q, replay_q;
  };
  std::vector<Device> devices;  // publishing thread only
  std::unordered_map<uint64_t, std::pair<std::size_t, bool>> tokens;  // -> device, live
  bool session = false;       // births said on this connection
  bool need_birth = false;    // on the next chance, with the spool's progress anew
  bool was_online = false;    // publishing allowed at the last look
  unsigned seq = 0;           // the node's message sequence, 0..255
  std::size_t replay_turn = 0;
  std::map<std::string, uint64_t> counts;
  std::chrono::steady_clock::time_point next_status{};
  std::string progress_error;  // the failure to keep progress going on
  // Publishes the saved progress does not cover yet (in flight, or acknowledged
  // since the last save): what a kill now would send again. Kept within the
  // link's window, so that a kill costs at most a window of duplicates.
  std::size_t unsaved = 0;

  std::string topic(const char* type, const std::string& device = "") const {
    return prefix + type + "/" + config.edge_node_id + (device.empty() ? "" : "/" + device);
  }
  void run();
  void on_message(const std::string& topic, const unsigned char* data, std::size_t size);
  bool publish(const char* type, const std::string& device, const sparkplug::Bytes& payload,
               int qos, uint64_t* token);
  void births(bool reset_progress);
  bool device_birth(Device& d, const SpoolRow& row);
  bool publish_row(Device& d, const SpoolRow& row, bool live);
  void acknowledged(uint64_t token);
  void save_progress();
  void live();
  void replay();
  void refresh_status();
  void set_report(Device& d, std::vector<unsigned char> bytes);
  // Room for another publish with at most `window` unsaved.
  bool room(std::size_t window) const {
    // Progress that cannot be saved holds nothing back but the link's window.
    const std::size_t used = progress_error.empty() ? unsaved : link->in_flight();
    return used < window && link->in_flight() < window;
  }
};

void Publisher::Node::set_report(Device& d, std::vector<unsigned char> bytes) {
  auto view = std::make_unique<qrn_report::RoundReport>();
  if (!qrn_report::decode(bytes.data(), bytes.size(), *view)) return;
  d.report = std::move(bytes);
  d.report_view = std::move(view);
}

bool Publisher::Node::publish(const char* type, const std::string& device,
                              const sparkplug::Bytes& payload, int qos, uint64_t* token) {
  const auto t = link->publish(topic(type, device), payload, qos, false);
  if (!t) return false;
  if (token) *token = *t;
  seq = (seq + 1) % 256;
  ++counts[type];
  return true;
}

bool Publisher::Node::device_birth(Device& d, const SpoolRow& row) {
  if (row.bytes.size() != qrn_record::kSize) return false;
  const auto payload = sparkplug::device_birth(now_ms(), static_cast<uint8_t>(seq),
                                               row.bytes.data(), d.report_view.get());
  if (!publish("DBIRTH", std::to_string(d.id), payload, 0, nullptr)) return false;
  d.born = true;
  sparkplug::remember(d.live_state, row.bytes.data(), d.report_view.get());
  return true;
}

// NBIRTH, then each device's DBIRTH from its newest record. After a new
// connection the spool's progress is taken anew: what was acknowledged live
// becomes a skipped range of the replay, which now reaches to the newest record.
void Publisher::Node::births(bool reset_progress) {
  seq = 0;
  uint64_t bd;
  {
    std::lock_guard<std::mutex> lock(mutex);
    bd = bd_seq;
  }
  if (!publish("NBIRTH", "", sparkplug::node_birth(now_ms(), bd), 0, nullptr)) {
    need_birth = need_birth || reset_progress;
    return;
  }
  session = true;
  std::string error;
  for (Device& d : devices) {
    SpoolRow newest, report;
    {
      std::lock_guard<std::mutex> lock(spool_mutex);
      if (!spool.newest(d.id, d.data_id, newest, error) ||
          (d.report.empty() && !spool.newest_other(d.id, d.data_id, report, error)))
        break;
    }
    if (reset_progress) {
      SpoolProgress& p = d.progress;
      if (p.replay >= p.boundary) {
        p.replay = std::max(p.replay, p.live);
        p.skips.clear();
      } else if (p.live > p.boundary) {
        p.skips.emplace_back(p.boundary, p.live);
      }
      p.boundary = p.live = std::max(newest.seq, p.live);
      p.skips.erase(std::remove_if(p.skips.begin(), p.skips.end(),
                                   [&](const auto& s) { return s.second <= p.replay; }),
                    p.skips.end());
      d.progress_changed = true;
      d.live_sent = p.live;
      d.replay_sent = p.replay;
      d.replay_done = p.replay >= p.boundary;
      d.replay_state = {};
    }
    d.born = false;
    if (!report.bytes.empty()) set_report(d, std::move(report.bytes));
    if (newest.seq > 0) device_birth(d, newest);
  }
  // Records saved since are looked for at once.
  std::lock_guard<std::mutex> lock(mutex);
  for (const Device& d : devices) stored.insert(d.id);
  if (!error.empty()) say("sparkplug: " + error, LogPriority::Warning);
}

// One record as DDATA: live (diffed against the last live one) or historical
// (against the replay's previous one, every metric is_historical).
bool Publisher::Node::publish_row(Device& d, const SpoolRow& row, bool live) {
  if (row.bytes.size() != qrn_record::kSize) return true;  // never publishable: passed over
  sparkplug::DeviceState& state = live ? d.live_state : d.replay_state;
  const auto payload =
      sparkplug::device_data(now_ms(), static_cast<uint8_t>(seq), row.bytes.data(),
                             live ? d.report_view.get() : nullptr, !live, state);
  uint64_t token = 0;
  if (!publish("DDATA", std::to_string(d.id), payload, 1, &token)) {
    // The state already holds this record: the next DDATA, of this record
    // again, carries every point instead of the changes.
    state = {};
    return false;
  }
  (live ? d.live_q : d.replay_q).push_back({row.seq, token, false});
  tokens[token] = {static_cast<std::size_t>(&d - devices.data()), live};
  ++unsaved;
  (live ? d.live_sent : d.replay_sent) = row.seq;
  return true;
}

// A PUBACK: the stream's cursor moves over every acknowledged publish at its front.
void Publisher::Node::acknowledged(uint64_t token) {
  const auto it = tokens.find(token);
  if (it == tokens.end()) return;
  Device& d = devices[it->second.first];
  const bool is_live = it->second.second;
  tokens.erase(it);
  std::deque<Flight>& q = is_live ? d.live_q : d.replay_q;
  for (Flight& f : q)
    if (f.token == token) f.acked = true;
  while (!q.empty() && q.front().acked) {
    (is_live ? d.progress.live : d.progress.replay) = q.front().seq;
    q.pop_front();
    d.progress_changed = true;
  }
}

void Publisher::Node::save_progress() {
  if (std::none_of(devices.begin(), devices.end(),
                   [](const Device& d) { return d.progress_changed; }))
    return;
  std::string error;
  std::lock_guard<std::mutex> lock(spool_mutex);
  // Every device's in one transaction: one write to the file however many moved.
  if (spool.begin(error)) {
    bool saved = true;
    for (Device& d : devices)
      if (d.progress_changed && !(saved = spool.save_progress(d.id, d.progress, error))) break;
    if (spool.commit(error) && saved) {
      // What is still unsaved: the publishes not yet acknowledged in order.
      unsaved = 0;
      for (Device& d : devices) {
        d.progress_changed = false;
        unsaved += d.live_q.size() + d.replay_q.size();
      }
    }
  }
  // Said once per failure, not once per try.
  if (!error.empty() && error != progress_error)
    say("sparkplug: progress not kept: " + error, LogPriority::Warning);
  progress_error = error;
}

// New records of every device, as they were saved.
void Publisher::Node::live() {
  std::set<uint32_t> ids;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ids.swap(stored);
    if (committed)
      for (const Device& d : devices) ids.insert(d.id);
    committed = false;
  }
  std::string error;
  for (Device& d : devices) {
    for (;;) {
      if (ids.count(d.id) == 0) break;
      std::vector<SpoolRow> rows;
      {
        std::lock_guard<std::mutex> lock(spool_mutex);
        if (!spool.rows_after(d.id, d.data_id, d.live_sent, INT64_MAX, kRowsPerRead, rows, error))
          break;
      }
      if (rows.empty()) break;
      for (const SpoolRow& row : rows) {
        if (row.bytes.size() != qrn_record::kSize) {  // never publishable: passed over
          d.live_sent = row.seq;
          continue;
        }
        if (!room(mqtt::Link::kMaxInFlight)) {
          // The rest waits for a free slot; looked for again next turn.
          std::lock_guard<std::mutex> lock(mutex);
          stored.insert(d.id);
          return;
        }
        if ((!d.born && !device_birth(d, row)) || !publish_row(d, row, true)) {
          std::lock_guard<std::mutex> lock(mutex);
          stored.insert(d.id);
          return;
        }
      }
      if (rows.size() < kRowsPerRead) break;
    }
  }
  if (!error.empty()) say("sparkplug: " + error, LogPriority::Warning);
}

// The backlog, oldest first per device, a few records per device in turn,
// within the replay's share of the window.
void Publisher::Node::replay() {
  std::string error;
  for (std::size_t tried = 0; tried < devices.size(); ++tried) {
    Device& d = devices[replay_turn++ % devices.size()];
    if (d.replay_done || !room(kReplayInFlight)) continue;
    std::vector<SpoolRow> rows;
    {
      std::lock_guard<std::mutex> lock(spool_mutex);
      if (!spool.rows_after(d.id, d.data_id, d.replay_sent, d.progress.boundary, kRowsPerRead,
                            rows, error))
        break;
    }
    for (const SpoolRow& row : rows) {
      const auto skip = std::find_if(d.progress.skips.begin(), d.progress.skips.end(),
                                     [&](const auto& s) { return row.seq > s.first && row.seq <= s.second; });
      if (skip != d.progress.skips.end()) {
        // Acknowledged live before: the cursor jumps over the range once
        // everything before it is acknowledged.
        d.replay_sent = skip->second;
        if (d.replay_q.empty()) {
          d.progress.replay = skip->second;
          d.progress_changed = true;
        }
        break;
      }
      if (!room(kReplayInFlight) || !publish_row(d, row, false)) break;
    }
    if (rows.empty() || d.replay_sent >= d.progress.boundary) {
      if (d.replay_q.empty()) {
        d.replay_done = true;
        if (d.progress.replay < d.progress.boundary) {
          d.progress.replay = d.progress.boundary;
          d.progress.skips.clear();
          d.progress_changed = true;
        }
      }
    }
  }
  if (!error.empty()) say("sparkplug: " + error, LogPriority::Warning);
}

void Publisher::Node::refresh_status() {
  std::vector<PublishStatus::Device> out;
  std::string error;
  for (const Device& d : devices) {
    PublishStatus::Device s;
    s.id = d.id;
    std::string oldest;
    std::lock_guard<std::mutex> lock(spool_mutex);
    if (spool.backlog(d.id, d.data_id, d.progress, s.backlog, oldest, error))
      s.oldest_seconds = s.backlog > 0 ? seconds_since(oldest) : 0;
    out.push_back(s);
  }
  std::lock_guard<std::mutex> lock(mutex);
  status.devices = std::move(out);
  status.messages = counts;
  status.connected = link->connected();
  status.server = link->server();
  status.primary_host_online = config.primary_host_id.empty() || primary_online == 1;
}

void Publisher::Node::on_message(const std::string& t, const unsigned char* data,
                                 std::size_t size) {
  if (t == topic("NCMD")) {
    std::string what;
    const auto command = sparkplug::decode_node_command(data, size, what);
    if (command == sparkplug::Command::Rebirth) {
      std::lock_guard<std::mutex> lock(mutex);
      rebirth = true;
      wake.notify_one();
    } else {
      say("sparkplug: NCMD refused: " + what, LogPriority::Warning);
    }
    return;
  }
  if (config.primary_host_id.empty() || t != "spBv1.0/STATE/" + config.primary_host_id) return;
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value v;
  std::string errors;
  const char* text = reinterpret_cast<const char*>(data);
  bool parsed = false;
  try {
    parsed = size <= sparkplug::kMaxCommandBytes && reader->parse(text, text + size, &v, &errors);
  } catch (const Json::Exception&) {
  }
  if (!parsed || !v.isObject() || !v["online"].isBool()) {
    say("sparkplug: the primary host's STATE message does not read; ignored", LogPriority::Warning);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  primary_online = v["online"].asBool() ? 1 : 0;
  wake.notify_one();
}

void Publisher::Node::run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    wake.wait_for(lock, kIdleWait);
    if (stopping) break;
    const bool connected_now = connect_event, disconnected_now = disconnect_event;
    const bool rebirth_now = rebirth;
    connect_event = disconnect_event = rebirth = false;
    std::vector<uint64_t> acked;
    acked.swap(acks);
    std::map<uint32_t, std::vector<unsigned char>> new_reports;
    new_reports.swap(reports);
    const std::map<uint32_t, int> ids = data_ids;
    const int online = primary_online;
    lock.unlock();

    for (Device& d : devices) {
      const auto it = ids.find(d.id);
      if (it != ids.end()) d.data_id = it->second;
    }
    if (disconnected_now || connected_now) {
      // What was in flight is lost with the connection: its records are
      // beyond the cursors and go out again with the replay.
      tokens.clear();
      unsaved = 0;
      for (Device& d : devices) {
        d.live_q.clear();
        d.replay_q.clear();
      }
      session = false;
      need_birth = true;
    }
    if (connected_now) {
      link->subscribe(topic("NCMD"), 1);
      if (!config.primary_host_id.empty()) link->subscribe("spBv1.0/STATE/" + config.primary_host_id, 1);
    }
    for (uint64_t t : acked) acknowledged(t);
    save_progress();

    const bool may_publish = link->connected() && (config.primary_host_id.empty() || online == 1);
    if (!config.primary_host_id.empty() && may_publish != was_online && link->connected())
      say(std::string("sparkplug: primary host ") + config.primary_host_id +
              (online == 1 ? " online: publishing" : " offline: records are spooled"),
          LogPriority::Info);
    // The primary host back: a new session once what was in flight is answered.
    if (may_publish && !was_online) need_birth = true;
    if (!may_publish) session = false;
    was_online = may_publish;
    if (may_publish) {
      for (auto& r : new_reports) {
        for (Device& d : devices) {
          if (d.id != r.first) continue;
          set_report(d, std::move(r.second));
          // A round that failed (no record handed over): the device is dead
          // until its next record.
          if (session && d.born && d.report_view && d.report_view->outcome != 0 &&
              publish("DDEATH", std::to_string(d.id),
                      sparkplug::device_death(now_ms(), static_cast<uint8_t>(seq)), 0, nullptr))
            d.born = false;
        }
      }
      const bool drained = tokens.empty();
      if (need_birth && drained) {
        need_birth = false;
        births(true);
      } else if (rebirth_now && session) {
        births(false);
      }
      if (session) {
        live();
        replay();
        save_progress();
      }
    } else {
      for (auto& r : new_reports)
        for (Device& d : devices)
          if (d.id == r.first) set_report(d, std::move(r.second));
    }
    if (std::chrono::steady_clock::now() >= next_status) {
      refresh_status();
      next_status = std::chrono::steady_clock::now() + kStatusInterval;
    }
    lock.lock();
    if (draining && (!session || (stored.empty() && !committed && tokens.empty() && acks.empty()) ||
                     std::chrono::steady_clock::now() >= drain_deadline))
      break;
  }
}

bool Publisher::apply(const HostConfig& config, std::string& error) {
  std::vector<uint32_t> ids;
  for (const DeviceConfig& dc : config.devices) ids.push_back(dc.id);
  if (!config.has_sparkplug) {
    stop();
    return true;
  }
  if (running_ && config.sparkplug == config_ && ids == devices_) return true;
  stop();
  auto node = std::make_unique<Node>();
  node->config = config.sparkplug;
  node->prefix = "spBv1.0/" + config.sparkplug.group_id + "/";
  if (!node->spool.open(history_path_, error) || !node->spool.forget_others(ids, error))
    return false;
  for (uint32_t id : ids) {
    Node::Device d;
    d.id = id;
    bool found = false;
    SpoolRow newest;
    if (!node->spool.progress(id, d.progress, found, error) ||
        (!found && !node->spool.newest(id, d.data_id, newest, error)))
      return false;
    // A device published for the first time starts after what is already
    // saved: older history is not sent.
    if (!found) {
      d.progress.replay = d.progress.boundary = d.progress.live = newest.seq;
      if (!node->spool.save_progress(id, d.progress, error)) return false;
    }
    d.live_sent = d.progress.live;
    d.replay_sent = d.progress.replay;
    node->devices.push_back(std::move(d));
  }
  node->status.enabled = true;
  node->status.servers = config.sparkplug.servers;

  const SparkplugConfig& sp = config.sparkplug;
  mqtt::BrokerSettings settings;
  settings.servers = sp.servers;
  settings.client_id = "qrn-" + sp.group_id + "-" + sp.edge_node_id;
  settings.user = sp.user;
  settings.password = sp.password;
  settings.ca_file = sp.ca_file;
  settings.cert_file = sp.cert_file;
  settings.key_file = sp.key_file;
  settings.allow_password_in_clear = sp.allow_password_in_clear;
  Node* n = node.get();
  mqtt::LinkEvents events;
  events.connected = [n](const std::string&) {
    std::lock_guard<std::mutex> lock(n->mutex);
    n->connect_event = true;
    // The primary host's state as this connection's subscription says it.
    n->primary_online = -1;
    n->wake.notify_one();
  };
  events.disconnected = [n](const std::string&) {
    std::lock_guard<std::mutex> lock(n->mutex);
    n->disconnect_event = true;
    n->wake.notify_one();
  };
  events.message = [n](const std::string& topic, const unsigned char* data, std::size_t size) {
    n->on_message(topic, data, size);
  };
  events.acknowledged = [n](uint64_t token) {
    std::lock_guard<std::mutex> lock(n->mutex);
    n->acks.push_back(token);
    n->wake.notify_one();
  };
  node->link = std::make_unique<mqtt::Link>(settings, events, [](const std::string& line) {
    say("sparkplug: " + line, LogPriority::Info);
  });
  node->thread = std::thread([n] { n->run(); });
  // Every connection attempt a bdSeq of its own, kept across restarts; its
  // NDEATH is the will, and the NBIRTH that follows carries the same.
  node->link->start([n] {
    uint64_t bd = 0;
    std::string problem;
    {
      std::lock_guard<std::mutex> lock(n->spool_mutex);
      if (!n->spool.next_bd_seq(bd, problem)) {
        std::lock_guard<std::mutex> inner(n->mutex);
        bd = (n->bd_seq + 1) % 256;
      }
    }
    std::lock_guard<std::mutex> lock(n->mutex);
    n->bd_seq = bd;
    return mqtt::Will{n->topic("NDEATH"), sparkplug::node_death(bd), 1, false};
  });
  say("sparkplug: publishing as " + sp.group_id + "/" + sp.edge_node_id + " to " +
          sp.servers.front() + (sp.servers.size() > 1 ? " (and " + std::to_string(sp.servers.size() - 1) + " more)" : ""),
      LogPriority::Info);
  {
    std::lock_guard<std::mutex> lock(node_mutex_);
    node_ = std::move(node);
  }
  config_ = config.sparkplug;
  devices_ = ids;
  running_ = true;
  return true;
}

void Publisher::stop() {
  std::unique_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(node_mutex_);
    node.swap(node_);
  }
  running_ = false;
  if (!node) return;
  {
    // Records the history committed last (its final group) are looked for
    // once more, and the thread ends when they are acknowledged.
    std::lock_guard<std::mutex> lock(node->mutex);
    node->draining = true;
    node->committed = true;
    node->drain_deadline = std::chrono::steady_clock::now() + kDrainWait;
    node->wake.notify_one();
  }
  if (node->thread.joinable()) node->thread.join();
  std::vector<uint64_t> acked;
  {
    std::lock_guard<std::mutex> lock(node->mutex);
    node->stopping = true;
    acked.swap(node->acks);
  }
  for (uint64_t t : acked) node->acknowledged(t);
  node->save_progress();
  // A clean end says NDEATH itself: the broker sends no will then.
  if (node->link->connected()) {
    uint64_t bd;
    {
      std::lock_guard<std::mutex> lock(node->mutex);
      bd = node->bd_seq;
    }
    node->link->publish(node->topic("NDEATH"), sparkplug::node_death(bd), 0, false);
  }
  node->link->stop();
}

void Publisher::take(const Handed& item) {
  std::lock_guard<std::mutex> hold(node_mutex_);
  Node* n = node_.get();
  if (n == nullptr) return;
  // No wake-up: a record is read once the history has committed it (wake()),
  // and a report is taken at the thread's next turn.
  std::lock_guard<std::mutex> lock(n->mutex);
  if (item.kind == Handed::Kind::Stored && !item.restored) {
    if (item.data_id != qrn_record::kDataId) n->data_ids[item.device_id] = item.data_id;
  } else if (item.kind == Handed::Kind::Report) {
    n->reports[item.device_id] = item.event.bytes;
  }
}

void Publisher::wake() {
  std::lock_guard<std::mutex> hold(node_mutex_);
  Node* n = node_.get();
  if (n == nullptr) return;
  std::lock_guard<std::mutex> lock(n->mutex);
  n->committed = true;
  n->wake.notify_one();
}

PublishStatus Publisher::status() const {
  PublishStatus s;
  std::lock_guard<std::mutex> hold(node_mutex_);
  if (node_) {
    std::lock_guard<std::mutex> lock(node_->mutex);
    s = node_->status;
  }
  s.dropped = dropped_;
  return s;
}

Publisher::~Publisher() { stop(); }
Publisher::Publisher(std::string history_path) : history_path_(std::move(history_path)) {}
