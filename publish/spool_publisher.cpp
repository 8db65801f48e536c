#include "spool_publisher.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// Publishes the replay may have on their way: the rest of the link's window
// stays free for live records, which never wait behind it.
constexpr std::size_t kReplayInFlight = mqtt::Link::kMaxInFlight - 5;
// Rows read from the spool at a time: memory stays bounded by the window.
constexpr std::size_t kRowsPerRead = 8;
constexpr auto kStatusInterval = std::chrono::seconds(5);
constexpr auto kIdleWait = std::chrono::seconds(1);
// While the replay waits for the connection's queue to drain.
constexpr auto kQueueWait = std::chrono::milliseconds(50);
// At a clean stop, how long the last records saved may take to go out.
constexpr auto kDrainWait = std::chrono::seconds(2);
// QoS 0: the settled progress is kept this often.
constexpr auto kSaveInterval = std::chrono::seconds(1);
// The bytes the replay may leave queued on the connection: what the
// connection drains in kReplayQueueTime, within these bounds. A live record
// waits behind no more than that.
constexpr std::size_t kMinReplayQueue = 64 * 1024, kMaxReplayQueue = 16 * 1024 * 1024;
constexpr double kReplayQueueTime = 0.5;
constexpr auto kRateInterval = std::chrono::milliseconds(250);

using Stream = SpoolCursor::Stream;
using Served = DeviceRing::Served;
using PrimaryHost = SparkplugSession::PrimaryHost;

// History's local time text as a time (0 when it does not read).
std::time_t local_time(const std::string& local_text) {
  std::tm tm{};
  if (local_text.size() < 19 ||
      std::sscanf(local_text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t then = std::mktime(&tm);
  return then < 0 ? 0 : then;
}

bool publishable(const SpoolRow& row) { return row.bytes.size() == qrn_record::kSize; }

}  // namespace

SpoolPublisher::SpoolPublisher(const SparkplugConfig& config, EdgeLog log)
    : config_(config), log_(std::move(log)), replay_queue_(kMinReplayQueue) {}

bool SpoolPublisher::open(const std::string& history_path, const std::vector<uint32_t>& ids,
                          std::string& error) {
  if (!spool_.open(history_path, error) || !spool_.forget_others(ids, error)) return false;
  for (uint32_t id : ids) {
    Device d;
    d.id = id;
    SpoolProgress progress;
    bool found = false;
    SpoolRow newest;
    if (!spool_.progress(id, progress, found, error) || !spool_.newest(id, d.data_id, newest, error))
      return false;
    if (!found) {
      progress.replay = progress.boundary = progress.live = newest.seq;
      if (!spool_.save_progress(id, progress, error)) return false;
    }
    d.cursor = SpoolCursor(progress);
    d.kept = progress;
    d.newest = newest.seq;
    count_backlog(d);
    index_[id] = devices_.size();
    devices_.push_back(std::move(d));
  }
  live_ring_ = DeviceRing(devices_.size());
  replay_ring_ = DeviceRing(devices_.size());
  in_.status.enabled = true;
  in_.status.servers = config_.servers;
  return true;
}

// Under `mutex_`: the thread takes a turn.
void SpoolPublisher::poke() {
  in_.poked = true;
  wake_.notify_one();
}

mqtt::LinkEvents SpoolPublisher::link_events() {
  mqtt::LinkEvents events;
  events.connected = [this](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.connect_event = true;
    // The primary host's state as this connection's subscription says it.
    in_.primary = PrimaryHost::Unknown;
    poke();
  };
  events.disconnected = [this](const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.disconnect_event = true;
    poke();
  };
  events.message = [this](const std::string& topic, const unsigned char* data, std::size_t size) {
    on_message(topic, data, size);
  };
  events.acknowledged = [this](uint64_t token) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.acks.push_back(token);
    poke();
  };
  return events;
}

// Every CONNECT sent a bdSeq of its own, kept across restarts; its
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
  resend_window_ = resend_window(settings.keepalive_seconds);
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
    // Records the history committed last (its final group, handed in
    // before this) go out, and the thread ends when they have.
    std::lock_guard<std::mutex> lock(mutex_);
    in_.draining = true;
    in_.drain_deadline = Clock::now() + kDrainWait;
    poke();
  }
  if (thread_.joinable()) thread_.join();
  std::vector<uint64_t> acked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_.stopping = true;
    acked.swap(in_.acks);
  }
  now_ = Clock::now();
  for (uint64_t t : acked) acknowledged(t);
  save_progress(true);
  // A clean end says NDEATH itself: the broker sends no will then.
  if (link_->connected()) session_->node_death(current_bd_seq());
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

void SpoolPublisher::committed(const std::vector<CommittedRow>& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_.committed.insert(in_.committed.end(), rows.begin(), rows.end());
  poke();
}

PublishStatus SpoolPublisher::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_.status;
}

void SpoolPublisher::on_message(const std::string& topic, const unsigned char* data,
                                std::size_t size) {
  const SparkplugSession::Message m = session_->heard(topic, data, size);
  if (m.heard == SparkplugSession::Heard::Nothing) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (m.heard == SparkplugSession::Heard::Rebirth) {
    in_.rebirth = true;
  } else if (believed(m)) {
    in_.primary = m.heard == SparkplugSession::Heard::PrimaryOnline ? PrimaryHost::Online
                                                                    : PrimaryHost::Offline;
  }
  poke();
}

// Under `mutex_`: a STATE older than what the primary host said last is
// stale (a retained message, a late delivery): an offline one older than
// its last online, an online one older than its last STATE. The times are
// kept across connections; a STATE without a time is taken as it comes.
bool SpoolPublisher::believed(const SparkplugSession::Message& m) {
  const bool online = m.heard == SparkplugSession::Heard::PrimaryOnline;
  if (m.timestamp >= 0 && m.timestamp < (online ? in_.host_said : in_.host_online)) {
    log_("sparkplug: the primary host's STATE " + std::string(online ? "online" : "offline") +
             " of " + std::to_string(m.timestamp) + " is older than the one it said before; ignored",
         LogPriority::Warning);
    return false;
  }
  if (m.timestamp >= 0) {
    in_.host_said = std::max(in_.host_said, m.timestamp);
    if (online) in_.host_online = std::max(in_.host_online, m.timestamp);
  }
  return true;
}

void SpoolPublisher::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!in_.stopping) {
    // A turn at once when something came in while the last one played.
    wake_.wait_for(lock, replay_waits_ ? std::chrono::milliseconds(kQueueWait) : kIdleWait,
                   [this] { return in_.poked || in_.stopping; });
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
  in_.poked = false;
  t.connected = in_.connect_event;
  t.disconnected = in_.disconnect_event;
  t.rebirth = in_.rebirth;
  in_.connect_event = in_.disconnect_event = in_.rebirth = false;
  t.acked.swap(in_.acks);
  t.committed.swap(in_.committed);
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
          (in_.committed.empty() && live_ring_.empty() && tokens_.empty() && in_.acks.empty()) ||
          Clock::now() >= in_.drain_deadline);
}

void SpoolPublisher::play(Turn& turn) {
  now_ = Clock::now();
  for (const auto& id : turn.data_ids) {
    const auto it = index_.find(id.first);
    if (it != index_.end()) devices_[it->second].data_id = id.second;
  }
  take_committed(turn.committed);
  if (turn.disconnected || turn.connected) lose_flights();
  if (turn.connected) session_->subscribe();
  for (uint64_t t : turn.acked) acknowledged(t);

  const bool was_born = session_->born();
  const bool may_publish = session_->look(turn.primary);
  // The primary host went offline while connected: what it may have missed
  // goes again once it is back; a session it saw born ends with NDEATH and
  // the link moves on to the next server.
  if (publishing_ && !may_publish && link_->connected()) {
    roll_back();
    if (was_born && turn.primary == PrimaryHost::Offline) session_->leave(current_bd_seq());
  }
  publishing_ = may_publish;
  take_reports(turn.reports, may_publish);
  if (may_publish) publish_turn(turn.rebirth);
  save_progress(false);
  if (now_ >= next_status_) {
    refresh_status();
    next_status_ = now_ + kStatusInterval;
  }
}

// The rows the history committed: each device's newest seq and backlog, and
// the devices with new rows join the live walk.
void SpoolPublisher::take_committed(const std::vector<CommittedRow>& rows) {
  const std::time_t saved = std::time(nullptr);
  for (const CommittedRow& row : rows) {
    const auto it = index_.find(row.device_id);
    if (it == index_.end()) continue;
    Device& d = devices_[it->second];
    if (row.data_id != d.data_id || row.seq <= d.newest) continue;
    d.newest = row.seq;
    if (d.backlog++ == 0) d.oldest = saved;
    live_ring_.add(it->second);
  }
}

// What was in flight is lost with the connection: its records are beyond the
// cursors and go out again with the replay. At QoS 0 so do those written
// within the resend window.
void SpoolPublisher::lose_flights() {
  if (config_.data_qos == 0) roll_back();
  tokens_.clear();
  unsaved_ = 0;
  for (Device& d : devices_) d.cursor.lost();
  session_->connection_changed();
}

// A break: every device's progress goes back to what it was a resend window
// ago, and that is kept at once, so that a kill now loses nothing either.
void SpoolPublisher::roll_back() {
  tokens_.clear();
  for (Device& d : devices_) d.cursor.roll_back(now_ - resend_window_);
  save_progress(true);
}

void SpoolPublisher::take_reports(std::map<uint32_t, std::vector<unsigned char>>& reports,
                                  bool may_publish) {
  for (auto& r : reports) {
    const auto it = index_.find(r.first);
    if (it == index_.end()) continue;
    Device& d = devices_[it->second];
    set_report(d, std::move(r.second));
    // A round that failed (no record handed over): the device is dead
    // until its next record.
    if (may_publish && session_->born() && d.born && d.report_view &&
        d.report_view->outcome != 0 && session_->device_death(d.id))
      d.born = false;
  }
}

void SpoolPublisher::publish_turn(bool rebirth) {
  const bool drained = tokens_.empty();
  if (session_->state() == SparkplugSession::State::BirthDue && drained) births(true);
  else if (rebirth && session_->born()) births(false);
  // DDATA only once every device's DBIRTH of this session is said.
  if (session_->born() && opening_births()) {
    measure_link();
    live();
    replay();
  }
}

void SpoolPublisher::set_report(Device& d, std::vector<unsigned char> bytes) {
  auto view = std::make_unique<qrn_report::RoundReport>();
  if (!qrn_report::decode(bytes.data(), bytes.size(), *view)) return;
  d.report = std::move(bytes);
  d.report_view = std::move(view);
}

uint64_t SpoolPublisher::current_bd_seq() {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_.bd_seq;
}

// NBIRTH, then each device's DBIRTH from its newest record; `anew` (a new
// session) takes the spool's progress anew. The DBIRTHs follow in device
// order (opening_births), over as many turns as the window needs, before any
// DDATA.
void SpoolPublisher::births(bool anew) {
  if (!session_->node_birth(current_bd_seq(), anew)) return;
  std::string error;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    Device& d = devices_[i];
    SpoolRow newest, report;
    {
      std::lock_guard<std::mutex> lock(spool_mutex_);
      if (!spool_.newest(d.id, d.data_id, newest, error) ||
          (d.report.empty() && !spool_.newest_other(d.id, d.data_id, report, error)))
        break;
    }
    d.newest = std::max(d.newest, newest.seq);
    if (anew) {
      d.cursor.restart(newest.seq);
      d.replay_state = {};
      count_backlog(d);
      if (!d.cursor.replay_done()) replay_ring_.add(i);
    }
    d.born = false;
    if (!report.bytes.empty()) set_report(d, std::move(report.bytes));
    // Records saved since go out once every DBIRTH is said.
    live_ring_.add(i);
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
  births_said_ = 0;
}

// The session's DBIRTHs in device order, as far as the window has room;
// true once every device's is said.
bool SpoolPublisher::opening_births() {
  std::string error;
  while (births_said_ < devices_.size()) {
    Device& d = devices_[births_said_];
    if (!d.born && !birth_from_newest(d, error)) break;
    ++births_said_;
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
  return births_said_ == devices_.size();
}

// The device's backlog as the file has it up to its newest row known: once
// per session, as the commits and publishes keep it up to date in between.
void SpoolPublisher::count_backlog(Device& d) {
  std::string oldest, error;
  std::lock_guard<std::mutex> lock(spool_mutex_);
  if (spool_.backlog(d.id, d.data_id, d.cursor.progress(), d.backlog, oldest, error, d.newest))
    d.oldest = local_time(oldest);
}

bool SpoolPublisher::device_birth(Device& d, const SpoolRow& row) {
  if (!publishable(row)) return false;
  if (!session_->device_birth(d.id, row.bytes.data(), row.round_seq, d.report_view.get()))
    return false;
  d.born = true;
  sparkplug::remember(d.live_state, row.bytes.data(), d.report_view.get());
  return true;
}

// One record as DDATA: live (diffed against the last live one) or historical
// (against the replay's previous one, every metric is_historical).
bool SpoolPublisher::publish_row(Device& d, const SpoolRow& row, Stream stream) {
  const bool is_live = stream == Stream::Live;
  // A replayed record has no report: it is typed as the device's birth said.
  if (!is_live) d.replay_state.types = d.live_state.types;
  uint64_t token = 0;
  if (!session_->device_data(d.id, row.bytes.data(), row.round_seq,
                             is_live ? d.report_view.get() : nullptr, !is_live,
                             is_live ? d.live_state : d.replay_state, config_.data_qos, token))
    return false;
  d.cursor.sent(stream, row.seq, token);
  tokens_[token] = Flight{static_cast<std::size_t>(&d - devices_.data()), stream,
                          local_time(row.saved_at)};
  ++unsaved_;
  return true;
}

void SpoolPublisher::acknowledged(uint64_t token) {
  const auto it = tokens_.find(token);
  if (it == tokens_.end()) return;
  const Flight f = it->second;
  tokens_.erase(it);
  Device& d = devices_[f.device];
  d.cursor.acknowledged(f.stream, token, now_);
  if (d.backlog > 0) --d.backlog;
  // The oldest record not yet published is no older than this one: the
  // replay's while it lasts, else the live stream's.
  if (f.stream == Stream::Replay || d.cursor.replay_done()) d.oldest = std::max(d.oldest, f.saved);
}

// A row never publishable, passed over: no longer waiting.
void SpoolPublisher::passed(Device& d) {
  if (d.backlog > 0) --d.backlog;
}

// The progress kept in the file. QoS 1: as the acknowledgements made it, at
// every turn that moved it. QoS 0: as it stood a resend window ago (what no
// break since can have lost), once a second or, with `now`, at once.
void SpoolPublisher::save_progress(bool now) {
  std::vector<std::pair<Device*, SpoolProgress>> moved;
  if (config_.data_qos == 1) {
    for (Device& d : devices_)
      if (d.cursor.changed()) moved.emplace_back(&d, d.cursor.progress());
  } else {
    if (!now && now_ < next_save_) return;
    next_save_ = now_ + kSaveInterval;
    for (Device& d : devices_) {
      const SpoolProgress& settled = d.cursor.settled(now_ - resend_window_);
      if (!(settled == d.kept)) moved.emplace_back(&d, settled);
    }
  }
  if (moved.empty() || !save(moved)) return;
  for (auto& m : moved) {
    m.first->kept = m.second;
    m.first->cursor.kept();
  }
  // What is still unsaved: the publishes not yet acknowledged in order.
  unsaved_ = 0;
  for (Device& d : devices_) unsaved_ += d.cursor.in_flight();
}

// Every device's in one transaction: one write to the file however many moved.
bool SpoolPublisher::save(const std::vector<std::pair<Device*, SpoolProgress>>& moved) {
  std::string error;
  bool saved = false;
  {
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (spool_.begin(error)) {
      saved = true;
      for (const auto& m : moved)
        if (!(saved = spool_.save_progress(m.first->id, m.second, error))) break;
      saved = spool_.commit(error) && saved;
    }
  }
  // Said once per failure, not once per try.
  if (!error.empty() && error != progress_error_)
    log_("sparkplug: progress not kept: " + error, LogPriority::Warning);
  progress_error_ = error;
  return saved;
}

bool SpoolPublisher::room(std::size_t window) const {
  const std::size_t in_flight = link_->in_flight();
  // QoS 1: the saved progress stays within a window of the acknowledgements;
  // progress that cannot be saved holds nothing back but the link's window.
  const std::size_t used =
      config_.data_qos == 1 && progress_error_.empty() ? std::max(unsaved_, in_flight) : in_flight;
  return used < window;
}

std::size_t SpoolPublisher::rows_to_read(std::size_t window) const {
  const std::size_t in_flight = link_->in_flight();
  const std::size_t used = config_.data_qos == 1 ? std::max(unsaved_, in_flight) : in_flight;
  return std::min(kRowsPerRead, used < window ? window - used : 0);
}

// New records of every device with committed rows, as they were saved: a
// share of each in turn, a walk again while the window has room and a walk
// moved something.
void SpoolPublisher::live() {
  std::string error;
  for (int walks = 0; walks < 64 && !live_ring_.empty() && room(mqtt::Link::kMaxInFlight);
       ++walks) {
    const std::size_t before = tokens_.size();
    live_ring_.walk([&](std::size_t i) { return live_device(devices_[i], error); });
    if (tokens_.size() == before) break;
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
}

// The device's DBIRTH when not said yet, then its next live rows.
Served SpoolPublisher::live_device(Device& d, std::string& error) {
  const bool rows = d.cursor.after(Stream::Live) < d.newest;
  if (!d.born && !rows) return birth_from_newest(d, error) ? Served::Done : Served::Full;
  if (!rows) return Served::Done;
  const std::size_t limit = rows_to_read(mqtt::Link::kMaxInFlight);
  if (limit == 0) return Served::Full;
  std::vector<SpoolRow> read;
  {
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (!spool_.rows_after(d.id, d.data_id, d.cursor.after(Stream::Live),
                           d.cursor.upto(Stream::Live), limit, read, error))
      return Served::Done;  // looked at again with its next commit
  }
  if (read.empty()) return Served::Done;  // deleted since
  for (const SpoolRow& row : read) {
    if (d.cursor.step(Stream::Live, row.seq, publishable(row)) == SpoolCursor::Step::Pass) {
      passed(d);
      continue;
    }
    // A point served as another type than the birth said: the device is born again.
    const bool birth = !d.born || sparkplug::types_changed(d.live_state, d.report_view.get());
    if (!room(mqtt::Link::kMaxInFlight) || (birth && !device_birth(d, row)) ||
        !publish_row(d, row, Stream::Live))
      return Served::Full;
  }
  return d.cursor.after(Stream::Live) < d.newest ? Served::More : Served::Done;
}

// A device born from its newest record, or with every point null when it
// has none yet; false when the window has no room for it now.
bool SpoolPublisher::birth_from_newest(Device& d, std::string& error) {
  if (!room(mqtt::Link::kMaxInFlight)) return false;
  SpoolRow newest;
  {
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (!spool_.newest(d.id, d.data_id, newest, error)) return true;
  }
  if (newest.seq > 0 && publishable(newest)) return device_birth(d, newest);
  if (!session_->device_birth(d.id, nullptr, 0, d.report_view.get())) return false;
  d.born = true;
  sparkplug::remember(d.live_state, nullptr, d.report_view.get());
  return true;
}

// The backlog, oldest first per device, a few records per device in turn,
// within the replay's share of the window and, so that a live record never
// waits long behind it, of the connection's queue.
void SpoolPublisher::replay() {
  std::string error;
  std::size_t queued = link_->unsent_bytes();
  replay_waits_ = false;
  for (int walks = 0; walks < 64 && !replay_ring_.empty() && room(kReplayInFlight); ++walks) {
    const std::size_t before = tokens_.size();
    replay_ring_.walk([&](std::size_t i) { return replay_device(devices_[i], queued, error); });
    if (tokens_.size() == before) break;
  }
  if (!error.empty()) log_("sparkplug: " + error, LogPriority::Warning);
}

Served SpoolPublisher::replay_device(Device& d, std::size_t& queued, std::string& error) {
  if (d.cursor.replay_done()) return Served::Done;
  if (!d.born) return Served::More;  // after its DBIRTH
  // Everything read is out: done once it counts as published.
  if (d.cursor.after(Stream::Replay) >= d.cursor.upto(Stream::Replay)) {
    d.cursor.replay_read(true);
    return d.cursor.replay_done() ? Served::Done : Served::More;
  }
  if (queued >= replay_queue_) {
    replay_waits_ = true;
    return Served::Full;
  }
  const std::size_t limit = rows_to_read(kReplayInFlight);
  if (limit == 0) return Served::Full;
  std::vector<SpoolRow> rows;
  {
    std::lock_guard<std::mutex> lock(spool_mutex_);
    if (!spool_.rows_after(d.id, d.data_id, d.cursor.after(Stream::Replay),
                           d.cursor.upto(Stream::Replay), limit, rows, error))
      return Served::More;
  }
  for (const SpoolRow& row : rows) {
    const SpoolCursor::Step step = d.cursor.step(Stream::Replay, row.seq, publishable(row));
    if (step == SpoolCursor::Step::Jump) break;
    if (step == SpoolCursor::Step::Pass) {
      passed(d);
      continue;
    }
    const uint64_t bytes = session_->bytes();
    if (!room(kReplayInFlight) || !publish_row(d, row, Stream::Replay)) return Served::Full;
    queued += static_cast<std::size_t>(session_->bytes() - bytes);
  }
  d.cursor.replay_read(rows.empty());
  return d.cursor.replay_done() ? Served::Done : Served::More;
}

// How fast the connection drains its queue, from what was given to it and
// what is still queued; the replay may leave kReplayQueueTime of it queued.
void SpoolPublisher::measure_link() {
  const std::size_t unsent = link_->unsent_bytes();
  const uint64_t given = session_->bytes() - given_bytes_;
  const uint64_t out = last_unsent_ + given;
  drained_ += out > unsent ? static_cast<std::size_t>(out - unsent) : 0;
  given_bytes_ = session_->bytes();
  last_unsent_ = unsent;
  const auto spent = now_ - rate_since_;
  if (spent < kRateInterval) return;
  const double rate = static_cast<double>(drained_) / std::chrono::duration<double>(spent).count();
  replay_queue_ = std::clamp(static_cast<std::size_t>(rate * kReplayQueueTime), kMinReplayQueue,
                             kMaxReplayQueue);
  drained_ = 0;
  rate_since_ = now_;
}

void SpoolPublisher::refresh_status() {
  std::vector<PublishStatus::Device> out;
  out.reserve(devices_.size());
  const std::time_t now = std::time(nullptr);
  for (const Device& d : devices_) {
    PublishStatus::Device s;
    s.id = d.id;
    s.backlog = d.backlog;
    s.oldest_seconds = d.backlog > 0 && d.oldest > 0 ? std::max(0.0, std::difftime(now, d.oldest)) : 0;
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
