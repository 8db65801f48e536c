// A device's spool cursor driven as the publishing thread drives it, over a
// spool whose seqs have gaps (other devices' rows) and reads of three rows.
#include "spool_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

namespace {

using Stream = SpoolCursor::Stream;
using Step = SpoolCursor::Step;

struct Row {
  int64_t seq;
  bool publishable;
};

// The device's rows in the spool and the publishes on the wire.
struct Rig {
  std::vector<Row> spool;
  std::map<uint64_t, std::pair<Stream, int64_t>> in_flight;  // token -> stream, seq
  std::vector<int64_t> sent[2];                              // per stream, in order
  uint64_t next_token = 1;

  void add(int64_t from, int64_t to) {
    for (int64_t s = from; s <= to; ++s) spool.push_back({s, true});
  }
  std::vector<Row> read(int64_t after, int64_t upto) const {
    std::vector<Row> out;
    for (const Row& r : spool)
      if (r.seq > after && r.seq <= upto && out.size() < 3) out.push_back(r);
    return out;
  }
  // Reads and publishes the stream's rows until the spool has no more or
  // `window` publishes wait for their PUBACK.
  void pump(SpoolCursor& c, Stream s, std::size_t window = 100) {
    for (int reads = 0; reads < 1000; ++reads) {
      const std::vector<Row> rows = read(c.after(s), c.upto(s));
      for (const Row& row : rows) {
        const Step step = c.step(s, row.seq, row.publishable);
        if (step == Step::Jump) break;
        if (step == Step::Pass) continue;
        if (in_flight.size() >= window) return;
        c.sent(s, row.seq, next_token);
        in_flight[next_token++] = {s, row.seq};
        sent[s == Stream::Live ? 0 : 1].push_back(row.seq);
      }
      if (s == Stream::Replay) c.replay_read(rows.empty());
      if (rows.empty()) return;
    }
    FAIL() << "the stream reads without end";
  }
  void ack(SpoolCursor& c, int64_t seq,
           SpoolCursor::Clock::time_point at = SpoolCursor::Clock::time_point()) {
    for (auto it = in_flight.begin(); it != in_flight.end(); ++it) {
      if (it->second.second != seq) continue;
      c.acknowledged(it->second.first, it->first, at);
      in_flight.erase(it);
      return;
    }
    ADD_FAILURE() << seq << " is not in flight";
  }
  void ack_all(SpoolCursor& c) {
    while (!in_flight.empty()) ack(c, in_flight.begin()->second.second);
  }
  // The connection is gone: what was in flight is never acknowledged.
  void lose(SpoolCursor& c) {
    in_flight.clear();
    c.lost();
    sent[0].clear();
    sent[1].clear();
  }
};

std::vector<int64_t> seqs(int64_t from, int64_t to) {
  std::vector<int64_t> out;
  for (int64_t s = from; s <= to; ++s) out.push_back(s);
  return out;
}

TEST(SpoolCursor, live_rows_go_out_once_in_order_and_progress_waits_for_the_oldest_ack) {
  Rig rig;
  rig.spool = {{4, true}, {7, true}, {8, false}, {9, true}, {12, true}, {13, true}, {20, true}};
  SpoolCursor c(SpoolProgress{2, 2, 2, {}});
  rig.pump(c, Stream::Live, 3);  // a full window: 4, 7, 9
  EXPECT_EQ(rig.sent[0], (std::vector<int64_t>{4, 7, 9}));
  rig.ack(c, 7);
  rig.ack(c, 9);
  EXPECT_FALSE(c.changed()) << "4 is not acknowledged yet";
  EXPECT_EQ(c.progress().live, 2);
  rig.ack(c, 4);
  EXPECT_TRUE(c.changed());
  EXPECT_EQ(c.progress().live, 9);
  c.kept();
  rig.spool.push_back({25, true});
  rig.pump(c, Stream::Live);
  rig.ack_all(c);
  EXPECT_EQ(rig.sent[0], (std::vector<int64_t>{4, 7, 9, 12, 13, 20, 25}));
  EXPECT_EQ(c.progress().live, 25);
  EXPECT_EQ(c.in_flight(), 0u);
  EXPECT_EQ(c.progress().replay, 2) << "the live stream leaves the replay alone";
}

// Two connections lost, the second during the replay, the third session
// begun from the progress the history kept (a restart): every row is
// acknowledged, rows acknowledged live before are not sent again, and what
// was in flight unacknowledged is.
TEST(SpoolCursor, lost_connections_and_a_restart_send_again_only_what_was_not_acknowledged) {
  Rig rig;
  rig.add(11, 30);
  SpoolCursor c(SpoolProgress{10, 10, 10, {}});
  c.restart(10);
  rig.pump(c, Stream::Live, 8);  // 11..18
  for (int64_t s : {11, 12, 13, 14, 16}) rig.ack(c, s);
  EXPECT_EQ(c.progress().live, 14);
  rig.lose(c);

  c.restart(30);  // the replay: 15..30, 16 again as it was not acknowledged in order
  EXPECT_FALSE(c.replay_done());
  EXPECT_EQ(c.progress().boundary, 30);
  rig.pump(c, Stream::Replay, 10);  // 15..24
  EXPECT_EQ(rig.sent[1], seqs(15, 24));
  for (int64_t s = 15; s <= 20; ++s) rig.ack(c, s);
  rig.add(31, 35);
  rig.pump(c, Stream::Live);
  for (int64_t s = 31; s <= 35; ++s) rig.ack(c, s);
  EXPECT_EQ(c.progress().replay, 20);
  EXPECT_EQ(c.progress().live, 35);
  const SpoolProgress kept = c.progress();
  rig.lose(c);

  rig.add(36, 40);
  SpoolCursor again(kept);
  again.restart(40);
  EXPECT_EQ(again.progress().skips, (std::vector<std::pair<int64_t, int64_t>>{{30, 35}}));
  rig.pump(again, Stream::Replay, 4);  // 21..24, then the rest as acknowledgements free the window
  while (!again.replay_done()) {
    ASSERT_FALSE(rig.in_flight.empty()) << "the replay stalled at " << again.after(Stream::Replay);
    rig.ack(again, rig.in_flight.begin()->second.second);
    rig.pump(again, Stream::Replay, 4);
  }
  std::vector<int64_t> expected = seqs(21, 30);
  for (int64_t s : seqs(36, 40)) expected.push_back(s);
  EXPECT_EQ(rig.sent[1], expected) << "31..35 were acknowledged live";
  EXPECT_EQ(again.progress().replay, 40);
  rig.pump(again, Stream::Live);
  EXPECT_TRUE(rig.sent[0].empty()) << "36..40 predate the session: the replay's";
}

TEST(SpoolCursor, the_replay_jumps_a_skipped_range_only_once_what_precedes_it_is_acknowledged) {
  Rig rig;
  rig.add(1, 12);
  SpoolCursor c(SpoolProgress{2, 5, 9, {}});
  c.restart(12);  // replay 3..12 but for (5, 9]
  rig.pump(c, Stream::Replay);
  EXPECT_EQ(rig.sent[1], (std::vector<int64_t>{3, 4, 5, 10, 11, 12}));
  EXPECT_EQ(c.progress().replay, 2) << "jumped while 3..5 were in flight";
  rig.ack(c, 3);
  rig.ack(c, 4);
  rig.ack(c, 5);
  EXPECT_EQ(c.progress().replay, 5);
  EXPECT_FALSE(c.replay_done());
  rig.ack_all(c);
  rig.pump(c, Stream::Replay);
  EXPECT_TRUE(c.replay_done());
  EXPECT_EQ(c.progress().replay, 12);
}

// QoS 0: a record counts once written, and a break may have lost what went
// out within the resend window before it. Those records go again with the
// replay, older ones do not; a second break soon after sends again what the
// first replay wrote since, and the kept progress moves on once a window has
// passed without a break.
TEST(SpoolCursor, a_break_sends_again_what_went_out_within_the_window_before_it) {
  using namespace std::chrono_literals;
  const auto t0 = SpoolCursor::Clock::time_point() + 1000s;
  const auto window = 65s;
  Rig rig;
  SpoolCursor c(SpoolProgress{0, 0, 0, {}});
  c.restart(0);
  for (int64_t s = 1; s <= 20; ++s) {  // one record every 5 s
    rig.add(s, s);
    rig.pump(c, Stream::Live);
    rig.ack(c, s, t0 + s * 5s);
  }
  EXPECT_EQ(c.settled(t0 + 100s - window).live, 7) << "written by t0 + 35 s";
  c.roll_back(t0 + 100s - window);
  rig.lose(c);
  c.restart(20);
  rig.pump(c, Stream::Replay, 5);
  EXPECT_EQ(rig.sent[1], seqs(8, 12));
  for (int64_t s = 8; s <= 12; ++s) rig.ack(c, s, t0 + 105s);

  c.roll_back(t0 + 110s - window);  // before the first break's replay wrote a thing
  rig.lose(c);
  c.restart(20);
  EXPECT_EQ(c.progress().replay, 7);
  rig.pump(c, Stream::Replay);
  EXPECT_EQ(rig.sent[1], seqs(8, 20));
  for (int64_t s = 8; s <= 20; ++s) rig.ack(c, s, t0 + 111s);
  rig.pump(c, Stream::Replay);
  EXPECT_TRUE(c.replay_done());
  // Every record up to this one counts as published.
  auto through = [](const SpoolProgress& p) {
    return p.replay >= p.boundary ? std::max(p.replay, p.live) : p.replay;
  };
  EXPECT_EQ(through(c.settled(t0 + 170s - window)), 7) << "the replay's records still within the window";
  EXPECT_EQ(through(c.settled(t0 + 180s - window)), 20);
}

// A window far smaller than the devices with records (200 devices, 20 in
// flight) under more load than it takes: each wake-up's walk starts where the
// last stopped, so every device with records is served at least once every
// ten wake-ups, busy devices do not crowd out the others, and a device added
// while queued is queued once.
TEST(DeviceRing, a_full_window_starves_no_device) {
  constexpr std::size_t kDevices = 200, kWindow = 20;
  DeviceRing ring(kDevices);
  std::vector<int64_t> saved(kDevices, 0), published(kDevices, 0);
  std::vector<int> last_served(kDevices, -1);
  int longest_wait = 0;
  for (int wake = 0; wake < 150; ++wake) {
    for (std::size_t d = 0; d < kDevices; ++d) {
      // Twice what the window takes: the first 20 devices a record at every
      // wake-up, all a record every tenth; then the load stops and the
      // backlog drains.
      if (wake < 50 && (d < kWindow || wake % 10 == 0)) ++saved[d];
      if (published[d] < saved[d]) ring.add(d);
    }
    std::size_t in_flight = 0;  // written since the last wake-up
    ring.walk([&](std::size_t d) {
      if (in_flight == kWindow) return DeviceRing::Served::Full;
      ++in_flight;
      ++published[d];  // one record, the oldest not yet published
      longest_wait = std::max(longest_wait, wake - last_served[d]);
      last_served[d] = wake;
      return published[d] < saved[d] ? DeviceRing::Served::More : DeviceRing::Served::Done;
    });
    EXPECT_LE(ring.size(), kDevices);
  }
  EXPECT_LE(longest_wait, static_cast<int>(kDevices / kWindow));
  EXPECT_EQ(published, saved) << "the backlog drained once the load stopped";
}

}  // namespace
