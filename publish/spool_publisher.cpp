#include "spool_publisher.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

using Stream = SpoolCursor::Stream;
using PrimaryHost = SparkplugSession::PrimaryHost;

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

bool publishable(const SpoolRow& row) { return row.bytes.size() == qrn_record::kSize; }

}  // namespace

SpoolPublisher::SpoolPublisher(const SparkplugConfig& config, EdgeLog log)
    : config_(config), log_(std::move(log)) {}

bool SpoolPublisher::open(const std::string& history_path, const std::vector<uint32_t>& ids,
                          std::string& error) {
  if (!spool_.open(history_path, error) || !spool_.forget_others(ids, error)) return false;
  for (uint32_t id : ids) {
    Device d;
    d.id = id;
    SpoolProgress progress;
    bool found = false;
    SpoolRow newest;
    if (!spool_.progress(id, progress, found, error) ||
        (!found && !spool_.newest(id, d.data_id, newest, error)))
      return false;
    if (!found) {
      progress.replay = progress.boundary = progress.live = newest.seq;
      if (!spool_.save_progress(id, progress, error)) return false;
    }
    d.cursor = SpoolCursor(progress);
    devices_.push_back(std::move(d));
  }
  in_.status.enabled = true;
  in_.status.servers = config_.servers;
  return true;
}

mqtt::LinkEvents SpoolPublisher::link_events() {
  mqtt::LinkEvents events;
  events.connected = [this](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.connect_event = true;
    // The primary host's state as this connection's subscription says it.
    in_.primary = PrimaryHost::Unknown;
    wake_.notify_one();
  };
  events.disconnected = [this](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.disconnect_event = true;
    wake_.notify_one();
  };
  events.message = [this](const std::string& topic, const unsigned char* data, std::size_t size) {
    on_message(topic, data, size);
  };
  events.acknowledged = [this](uint64_t token) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.acks.push_back(token);
    wake_.notify_one();
  };
  return events;
}

// Every connection attempt a bdSeq of its own, kept across restarts; its
// NDEATH is the will, and the NBIRTH that follows carries the same.
mqtt::Will SpoolPublisher::next_will() {
  uint64_t bd = 0;
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (!spool_.next_bd_seq(bd, problem)) {
      std::lock_guard<std::mutex> inner(mutex_);
      bd = (in_.bd_seq + 1) % 256;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  in_.bd_seq = bd;
  return mqtt::Will{session_->topic("NDEATH"), sparkplug::node_death(bd), 1, false};
}

void SpoolPublisher::start(const mqtt::BrokerSettings& settings) {
  const EdgeLog log = log_;
  link_ = std::make_unique<mqtt::Link>(settings, link_events(), [log](const std::string& line) {
    log("sparkplug: " + line, LogPriority::Info);
  });
  session_ = std::make_unique<SparkplugSession>(config_, *link_, log_);
  thread_ = std::thread([this] { run(); });
  link_->start([this] { return next_will(); });
}

void SpoolPublisher::finish() {
  {
    // Records the history committed last (its final group) are looked for
    // once more, and the thread ends when they are acknowledged.
    std::lock_guard<std::mutex> lock(mutex_);
    in_.draining = true;
    in_.committed = true;
    in_.drain_deadline = std::chrono::steady_clock::now() + kDrainWait;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
  std::vector<uint64_t> acked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.stopping = true;
    acked.swap(in_.acks);
  }
  for (uint64_t t : acked) acknowledged(t);
  save_progress();
  // A clean end says NDEATH itself: the broker sends no will then.
  if (link_->connected()) {
    uint64_t bd;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bd = in_.bd_seq;
    }
    link_->publish(session_->topic("NDEATH"), sparkplug::node_death(bd), 0, false);
  }
  link_->stop();
}

// No wake-up: a record is read once the history has committed it
// (committed()), and a report is taken at the thread's next turn.
void SpoolPublisher::stored(uint32_t device_id, int data_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data_id != qrn_record::kDataId) in_.data_ids[device_id] = data_id;
}

void SpoolPublisher::report(uint32_t device_id, const std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_.reports[device_id] = bytes;
}

void SpoolPublisher::committed() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_.committed = true;
  wake_.notify_one();
}

PublishStatus SpoolPublisher::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_.status;
}

void SpoolPublisher::on_message(const std::string& topic, const unsigned char* data,
                                std::size_t size) {
  const SparkplugSession::Heard heard = session_->heard(topic, data, size);
  if (heard == SparkplugSession::Heard::Nothing) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (heard == SparkplugSession::Heard::Rebirth) in_.rebirth = true;
  else in_.primary = heard == SparkplugSession::Heard::PrimaryOnline ? PrimaryHost::Online
                                                                     : PrimaryHost::Offline;
  wake_.notify_one();
}

void SpoolPublisher::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!in_.stopping) {
    wake_.wait_for(lock, kIdleWait);
    if (in_.stopping) break;
    Turn turn = take_turn();
    lock.unlock();
    play(turn);
    lock.lock();
    if (stop_now()) break;
  }
}

// Under `mutex_`.
SpoolPublisher::Turn SpoolPublisher::take_turn() {
  Turn t;
  t.connected = in_.connect_event;
  t.disconnected = in_.disconnect_event;
  t.rebirth = in_.rebirth;
  in_.connect_event = in_.disconnect_event = in_.rebirth = false;
  t.acked.swap(in_.acks);
  t.reports.swap(in_.reports);
  t.data_ids = in_.data_ids;
  t.primary = in_.primary;
  return t;
}

// Under `mutex_`: a clean stop ends the thread once nothing is left to go
// out, or at the deadline.
bool SpoolPublisher::stop_now() const {
  return in_.draining &&
         (!session_->born() ||
          (in_.stored.empty() && !in_.committed && tokens_.empty() && in_.acks.empty()) ||
          std::chrono::steady_clock::now() >= in_.drain_deadline);
}

void SpoolPublisher::play(Turn& turn) {
  for (Device& d : devices_) {
    const auto it = turn.data_ids.find(d.id);
    if (it != turn.data_ids.end()) d.data_id = it->second;
  }
  if (turn.disconnected || turn.connected) lose_flights();
  if (turn.connected) session_->subscribe();
  for (uint64_t t : turn.acked) acknowledged(t);
  save_progress();

  const bool may_publish = session_->look(turn.primary);
  take_reports(turn.reports, may_publish);
  if (may_publish) publish_turn(turn.rebirth);
  if (std::chrono::steady_clock::now() >= next_status_) {
    refresh_status();
    next_status_ = std::chrono::steady_clock::now() + kStatusInterval;
  }
}

// What was in flight is lost with the connection: its records are beyond the
// cursors and go out again with the replay.
void SpoolPublisher::lose_flights() {
  tokens_.clear();
  unsaved_ = 0;
  for (Device& d : devices_) d.cursor.lost();
  session_->connection_changed();
}

void SpoolPublisher::take_reports(std::map<uint32_t, std::vector<unsigned char>>& reports,
                                  bool may_publish) {
  for (auto& r : reports) {
    for (Device& d : devices_) {
      if (d.id != r.first) continue;
      set_report(d, std::move(r.second));
      // A round that failed (no record handed over): the device is dead
      // until its next record.
      if (may_publish && session_->born() && d.born && d.report_view &&
          d.report_view->outcome != 0 && session_->device_death(d.id))
        d.born = false;
    }
  }
}

void SpoolPublisher::publish_turn(bool rebirth) {
  const bool drained = tokens_.empty();
  if (session_->state() == SparkplugSession::State::BirthDue && drained) births(true);
  else if (rebirth && session_->born()) births(false);
  if (session_->born()) {
    live();
    replay();
    save_progress();
  }
}

void SpoolPublisher::set_report(Device& d, std::vector<unsigned char> bytes) {
  auto view = std::make_unique<qrn_report::RoundReport>();
  if (!qrn_report::decode(bytes.data(), bytes.size(), *view)) return;
  d.report = std::move(bytes);
  d.report_view = std::move(view);
}

// NBIRTH, then each device's DBIRTH from its newest record; `anew` (a new
// session) takes the spool's progress anew.
void SpoolPublisher::births(bool anew) {
  uint64_t bd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bd = in_.bd_seq;
  }
  if (!session_->node_birth(bd, anew)) return;
  std::string error;
  for (Device& d : devices_) {
    SpoolRow newest, report;
    {
      std::lock_guard<std::mutex> lock(spool_mutex_);
      if (!spool_.newest(d.id, d.data_id, newest, error) ||
          (d.report.empty() && !spool_.newest_other(d.id, d.data_id, report, error)))
        break;
    }
    if (anew) {
      d.cursor.restart(newest.seq);
      d.replay_state = {};
    }
    d.born = false;
    if (!report.bytes.empty()) set_report(d, std::move(report.bytes));
    if (newest.seq > 0) device_birth(d, newest);
  }
  {
    // Records saved since are looked for at once.
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Device& d : devices_) in_.stored.insert(d.id);
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
}

bool SpoolPublisher::device_birth(Device& d, const SpoolRow& row) {
  if (!publishable(row)) return false;
  if (!session_->device_birth(d.id, row.bytes.data(), d.report_view.get())) return false;
  d.born = true;
  sparkplug::remember(d.live_state, row.bytes.data(), d.report_view.get());
  return true;
}

// One record as DDATA: live (diffed against the last live one) or historical
// (against the replay's previous one, every metric is_historical).
bool SpoolPublisher::publish_row(Device& d, const SpoolRow& row, Stream stream) {
  const bool is_live = stream == Stream::Live;
  uint64_t token = 0;
  if (!session_->device_data(d.id, row.bytes.data(), is_live ? d.report_view.get() : nullptr,
                             !is_live, is_live ? d.live_state : d.replay_state, token))
    return false;
  d.cursor.sent(stream, row.seq, token);
  tokens_[token] = {static_cast<std::size_t>(&d - devices_.data()), stream};
  ++unsaved_;
  return true;
}

void SpoolPublisher::acknowledged(uint64_t token) {
  const auto it = tokens_.find(token);
  if (it == tokens_.end()) return;
  devices_[it->second.first].cursor.acknowledged(it->second.second, token);
  tokens_.erase(it);
}

void SpoolPublisher::save_progress() {
  if (std::none_of(devices_.begin(), devices_.end(),
                   [](const Device& d) { return d.cursor.changed(); }))
    return;
  std::string error;
  std::lock_guard<std::mutex> lock(spool_mutex_);
  // Every device's in one transaction: one write to the file however many moved.
  if (spool_.begin(error)) {
    bool saved = true;
    for (Device& d : devices_)
      if (d.cursor.changed() && !(saved = spool_.save_progress(d.id, d.cursor.progress(), error)))
        break;
    if (spool_.commit(error) && saved) {
      // What is still unsaved: the publishes not yet acknowledged in order.
      unsaved_ = 0;
      for (Device& d : devices_) {
        d.cursor.kept();
        unsaved_ += d.cursor.in_flight();
      }
    }
  }
  // Said once per failure, not once per try.
  if (!error.empty() && error != progress_error_)
    log_("sparkplug: progress not kept: " + error, LogPriority::Warning);
  progress_error_ = error;
}

bool SpoolPublisher::room(std::size_t window) const {
  // Progress that cannot be saved holds nothing back but the link's window.
  const std::size_t used = progress_error_.empty() ? unsaved_ : link_->in_flight();
  return used < window && link_->in_flight() < window;
}

// New records of every device, as they were saved.
void SpoolPublisher::live() {
  std::set<uint32_t> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ids.swap(in_.stored);
    if (in_.committed)
      for (const Device& d : devices_) ids.insert(d.id);
    in_.committed = false;
  }
  std::string error;
  for (Device& d : devices_)
    if (ids.count(d.id) != 0 && !live_device(d, error)) return;
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
}

// False when the window is full or a publish failed: the rest waits, and
// the device is looked at again next turn.
bool SpoolPublisher::live_device(Device& d, std::string& error) {
  for (;;) {
    std::vector<SpoolRow> rows;
    {
      std::lock_guard<std::mutex> lock(spool_mutex_);
      if (!spool_.rows_after(d.id, d.data_id, d.cursor.after(Stream::Live),
                             d.cursor.upto(Stream::Live), kRowsPerRead, rows, error))
        return true;
    }
    if (rows.empty()) return true;
    for (const SpoolRow& row : rows) {
      if (d.cursor.step(Stream::Live, row.seq, publishable(row)) == SpoolCursor::Step::Pass)
        continue;
      if (!room(mqtt::Link::kMaxInFlight) || (!d.born && !device_birth(d, row)) ||
          !publish_row(d, row, Stream::Live)) {
        std::lock_guard<std::mutex> lock(mutex_);
        in_.stored.insert(d.id);
        return false;
      }
    }
    if (rows.size() < kRowsPerRead) return true;
  }
}

// The backlog, oldest first per device, a few records per device in turn,
// within the replay's share of the window.
void SpoolPublisher::replay() {
  std::string error;
  for (std::size_t tried = 0; tried < devices_.size(); ++tried) {
    Device& d = devices_[replay_turn_++ % devices_.size()];
    if (d.cursor.replay_done() || !room(kReplayInFlight)) continue;
    std::vector<SpoolRow> rows;
    {
      std::lock_guard<std::mutex> lock(spool_mutex_);
      if (!spool_.rows_after(d.id, d.data_id, d.cursor.after(Stream::Replay),
                             d.cursor.upto(Stream::Replay), kRowsPerRead, rows, error))
        break;
    }
    for (const SpoolRow& row : rows) {
      const SpoolCursor::Step step = d.cursor.step(Stream::Replay, row.seq, publishable(row));
      if (step == SpoolCursor::Step::Jump || !room(kReplayInFlight)) break;
      if (step == SpoolCursor::Step::Pass) continue;
      if (!publish_row(d, row, Stream::Replay)) break;
    }
    d.cursor.replay_read(rows.empty());
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
}

void SpoolPublisher::refresh_status() {
  std::vector<PublishStatus::Device> out;
  std::string error;
  for (const Device& d : devices_) {
    PublishStatus::Device s;
    s.id = d.id;
    std::string oldest;
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (spool_.backlog(d.id, d.data_id, d.cursor.progress(), s.backlog, oldest, error))
      s.oldest_seconds = s.backlog > 0 ? seconds_since(oldest) : 0;
    out.push_back(s);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  in_.status.devices = std::move(out);
  in_.status.messages = session_->counts();
  in_.status.link_failures = link_->faults();
  in_.status.connected = link_->connected();
  in_.status.server = link_->server();
  in_.status.primary_host_online =
      config_.primary_host_id.empty() || in_.primary == PrimaryHost::Online;
}
