#pragma once

// One device's place in the spool: how far its live and replay streams have
// sent, which of their publishes wait for a PUBACK, and the progress the
// acknowledgements make (what the history keeps). Plain data, one thread.
#include "history_spool.h"

#include <cstddef>
#include <cstdint>
#include <deque>

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
  // The PUBACK of `token`: the stream's progress moves over every
  // acknowledged publish at its front.
  void acknowledged(Stream s, uint64_t token);
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

  SpoolProgress p_;
  bool changed_ = false;
  int64_t live_sent_ = 0;    // newest seq published live
  int64_t replay_sent_ = 0;  // newest seq published by the replay
  bool replay_done_ = true;
  std::deque<Flight> live_q_, replay_q_;
};
