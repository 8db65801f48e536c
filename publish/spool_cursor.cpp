#include "spool_cursor.h"

#include <algorithm>

SpoolCursor::SpoolCursor(const SpoolProgress& saved)
    : p_(saved), live_sent_(saved.live), replay_sent_(saved.replay) {
  stands_.front().progress = saved;
}

SpoolCursor::Step SpoolCursor::step(Stream s, int64_t seq, bool publishable) {
  if (s == Stream::Live) {
    if (publishable) return Step::Publish;
    live_sent_ = seq;
    return Step::Pass;
  }
  const auto skip = std::find_if(p_.skips.begin(), p_.skips.end(),
                                 [&](const auto& r) { return seq > r.first && seq <= r.second; });
  if (skip != p_.skips.end()) {
    // Acknowledged live before: the progress jumps over the range once
    // everything before it is acknowledged.
    replay_sent_ = skip->second;
    if (replay_q_.empty()) {
      p_.replay = skip->second;
      changed_ = true;
    }
    return Step::Jump;
  }
  // A replay row never publishable is passed over where it stands.
  return publishable ? Step::Publish : Step::Pass;
}

void SpoolCursor::sent(Stream s, int64_t seq, uint64_t token) {
  (s == Stream::Live ? live_q_ : replay_q_).push_back({seq, token, false});
  (s == Stream::Live ? live_sent_ : replay_sent_) = seq;
}

void SpoolCursor::acknowledged(Stream s, uint64_t token, Clock::time_point now) {
  std::deque<Flight>& q = s == Stream::Live ? live_q_ : replay_q_;
  for (Flight& f : q)
    if (f.token == token) f.acked = true;
  bool moved = false;
  while (!q.empty() && q.front().acked) {
    (s == Stream::Live ? p_.live : p_.replay) = q.front().seq;
    q.pop_front();
    changed_ = moved = true;
  }
  if (moved) stand(now);
}

void SpoolCursor::stand(Clock::time_point now) {
  Stand& last = stands_.back();
  if (last.at != Clock::time_point::min() && now - last.opened < std::chrono::seconds(1)) {
    last.at = now;
    last.progress = p_;
  } else {
    stands_.push_back(Stand{now, now, p_});
  }
}

const SpoolProgress& SpoolCursor::settled(Clock::time_point before) {
  while (stands_.size() >= 2 && stands_[1].at <= before) stands_.pop_front();
  return stands_.front().progress;
}

void SpoolCursor::roll_back(Clock::time_point before) {
  settled(before);
  stands_.resize(1);
  if (!(p_ == stands_.front().progress)) {
    p_ = stands_.front().progress;
    changed_ = true;
  }
  lost();
}

void SpoolCursor::replay_read(bool nothing) {
  if (!(nothing || replay_sent_ >= p_.boundary) || !replay_q_.empty()) return;
  replay_done_ = true;
  if (p_.replay < p_.boundary) {
    p_.replay = p_.boundary;
    p_.skips.clear();
    changed_ = true;
  }
}

void SpoolCursor::lost() {
  live_q_.clear();
  replay_q_.clear();
}

void SpoolCursor::restart(int64_t newest) {
  if (p_.replay >= p_.boundary) {
    p_.replay = std::max(p_.replay, p_.live);
    p_.skips.clear();
  } else if (p_.live > p_.boundary) {
    p_.skips.emplace_back(p_.boundary, p_.live);
  }
  p_.boundary = p_.live = std::max(newest, p_.live);
  p_.skips.erase(std::remove_if(p_.skips.begin(), p_.skips.end(),
                                [&](const auto& r) { return r.second <= p_.replay; }),
                 p_.skips.end());
  changed_ = true;
  live_sent_ = p_.live;
  replay_sent_ = p_.replay;
  replay_done_ = p_.replay >= p_.boundary;
}

void DeviceRing::add(std::size_t device) {
  if (device >= queued_.size()) queued_.resize(device + 1, false);
  if (queued_[device]) return;
  queued_[device] = true;
  ring_.push_back(device);
}

void DeviceRing::walk(const std::function<Served(std::size_t)>& serve) {
  for (std::size_t n = ring_.size(); n > 0 && !ring_.empty(); --n) {
    const std::size_t device = ring_.front();
    const Served served = serve(device);
    if (served == Served::Full) return;
    ring_.pop_front();
    if (served == Served::More) ring_.push_back(device);
    else queued_[device] = false;
  }
}
