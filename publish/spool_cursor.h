#pragma once

// One device's place in the spool: how far its live and replay streams have
// sent, which of their publishes wait to count as published (a PUBACK, or at
// QoS 0 the write to the socket), the progress they make, and that progress
// as it stood a while ago (what a break may have lost since). Plain data, one
// thread.
#include "history_spool.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

class SpoolCursor {
 public:
  // Live: records saved since the connection began; replay: the older ones
  // not yet acknowledged, up to the boundary.
  enum class Stream { Live, Replay };
  // What to do with the next row a stream read.
  enum class Step {
    Publish,
    Pass,  // never publishable: passed over
    Jump,  // the replay jumped over a range acknowledged live: read again
  };

  using Clock = std::chrono::steady_clock;

  SpoolCursor() = default;
  // Goes on from saved progress; the replay waits for the first session.
  explicit SpoolCursor(const SpoolProgress& saved);

  const SpoolProgress& progress() const { return p_; }
  // The progress moved since it was last kept.
  bool changed() const { return changed_; }
  void kept() { changed_ = false; }

  // The stream's rows to read next: after `after(s)`, up to `upto(s)`.
  int64_t after(Stream s) const { return s == Stream::Live ? live_sent_ : replay_sent_; }
  int64_t upto(Stream s) const { return s == Stream::Live ? INT64_MAX : p_.boundary; }
  bool replay_done() const { return replay_done_; }
  std::size_t in_flight() const { return live_q_.size() + replay_q_.size(); }

  // The next row `seq` the stream read, in order.
  Step step(Stream s, int64_t seq, bool publishable);
  // The row went out as the publish `token`.
  void sent(Stream s, int64_t seq, uint64_t token);
  // The PUBACK of `token` (or its write, at QoS 0), at `now`: the stream's
  // progress moves over every acknowledged publish at its front.
  void acknowledged(Stream s, uint64_t token, Clock::time_point now = Clock::time_point());

  // The progress as it stood at `before`: every record it counts went out by
  // then. Older stands are forgotten.
  const SpoolProgress& settled(Clock::time_point before);
  // A break that may have lost what went out since `before`: the progress
  // goes back to settled(before), and what was in flight is dropped. The
  // next session's replay sends those records again.
  void roll_back(Clock::time_point before);
  // A replay read found nothing more (`nothing`), or read up to the
  // boundary: once its publishes are acknowledged the replay is done.
  void replay_read(bool nothing);

  // The connection went, and what was in flight with it: those rows are
  // beyond the progress and go out again with the replay.
  void lost();
  // A new session: the progress taken anew. What was acknowledged live
  // becomes a skipped range of the replay, which now reaches to `newest`.
  void restart(int64_t newest);

 private:
  // A publish waiting for its PUBACK; a stream's are in ascending seq.
  struct Flight {
    int64_t seq = 0;
    uint64_t token = 0;
    bool acked = false;
  };

  // The progress as it stood at each time, one stand per second at most
  // (the newest one follows the progress until a second has passed); the
  // first stands for every time before the next.
  struct Stand {
    Clock::time_point at, opened;
    SpoolProgress progress;
  };
  void stand(Clock::time_point now);

  SpoolProgress p_;
  std::deque<Stand> stands_{Stand{Clock::time_point::min(), Clock::time_point::min(), {}}};
  bool changed_ = false;
  int64_t live_sent_ = 0;    // newest seq published live
  int64_t replay_sent_ = 0;  // newest seq published by the replay
  bool replay_done_ = true;
  std::deque<Flight> live_q_, replay_q_;
};

// The devices that have records to publish, served in turn: each wake-up's
// walk starts where the last one stopped, so that a window that fills up
// holds back no device for longer than a turn of the others.
class DeviceRing {
 public:
  enum class Served {
    Done,  // nothing more to publish: it leaves the ring
    More,  // served its share and has more: to the back
    Full,  // the window is full: it stays first, and the walk ends
  };

  explicit DeviceRing(std::size_t devices = 0) : queued_(devices, false) {}
  // The device has records to publish (again); no-op when already in.
  void add(std::size_t device);
  bool empty() const { return ring_.empty(); }
  std::size_t size() const { return ring_.size(); }
  // Serves the devices in the ring once each at most, from the first.
  void walk(const std::function<Served(std::size_t device)>& serve);

 private:
  std::deque<std::size_t> ring_;
  std::vector<bool> queued_;
};
