// Soak run: complete sampling rounds back to back (no pause) against the
// in-process plant server, with faults on a share of the rounds, checking
// every round's outcome and watching the process's resident memory.
//
//   soak [--rounds N] [--silent K] [--seed S]
//
// Round r (from 1) is, in this order of precedence:
//   silent  one of K rounds spread over the run (default K = 1): the server
//           falls silent after a random number of reads, the round waits for
//           the client's timeout (about 5 s) and is abandoned;
//   stop    r % 25 == 0: the server goes down after a random number of reads
//           (stop_after), the round is abandoned, the server is restarted;
//   faults  r % 10 == 0: 1 to 6 random points are Missing, String, Double,
//           Array or Empty for this round;
//   clean   every other round.
// The values change every round. Every hand-over is compared byte for byte
// with what the server served (and, for faulted points, with the previous
// record), and every round's stdout lines are counted against its faults.
//
// Resident memory (VmRSS) is taken after round 100 and after the last round,
// each time with a freshly restarted server; the plant server lives in this
// process, so its memory counts too. Exit 1
// if any round departs from what its faults predict or if VmRSS grew by more
// than 64 KiB between the two readings.
#include "host_stub.h"
#include "plant_server.h"
#include "point_table.h"
#include "quorlin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDeviceId = 0x50AC0001;
constexpr std::size_t kRecordSize = 7001;
constexpr std::size_t kStampOffset = 6994;
constexpr long kRssLimitKiB = 64;
constexpr int kRssBaselineRound = 100;

class SoakDevice : public Quorlin {
 public:
  explicit SoakDevice(uint16_t port) {
    device_id_ = kDeviceId;
    server_ip_ = "127.0.0.1";
    server_port_ = port;
    write_device_id();
  }
};

long rss_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::strtol(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return kib;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ends_with(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Standard output lines of one round, by kind.
struct LineCounts {
  long round_start = 0;    // "Quorlin::do_sample"
  long completed = 0;      // "rvSize is ..."
  long read_failed = 0;    // "ReadVariant <name> failed"
  long no_numeric = 0;     // "ReadVariant <name> returned no numeric value"
  long session_lost = 0;   // "Quorlin::do_sample session lost at ..."
  long aborted = 0;        // "Quorlin::do_sample aborted: ..."
  long library = 0;        // open62541's own log lines ("[time] level/category ...")
  long library_warn = 0;   // of which warnings, errors or fatal
  long other = 0;

  void add(const LineCounts& o) {
    round_start += o.round_start;
    completed += o.completed;
    read_failed += o.read_failed;
    no_numeric += o.no_numeric;
    session_lost += o.session_lost;
    aborted += o.aborted;
    library += o.library;
    library_warn += o.library_warn;
    other += o.other;
  }
};

// Standard output goes to an unlinked temporary file opened for appending;
// after each round its lines are counted and the file is emptied again.
class StdoutCapture {
 public:
  bool open() {
    char path[] = "/tmp/qrn-soak-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ < 0) return false;
    unlink(path);
    if (fcntl(fd_, F_SETFL, O_APPEND) != 0) return false;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    return saved_ >= 0 && dup2(fd_, STDOUT_FILENO) >= 0;
  }

  void restore() {
    std::fflush(stdout);
    if (saved_ >= 0) dup2(saved_, STDOUT_FILENO);
    if (saved_ >= 0) close(saved_);
    if (fd_ >= 0) close(fd_);
    saved_ = fd_ = -1;
  }

  // Counts the lines written since the last call; first_other receives the
  // first unrecognised line, if any.
  LineCounts take(std::string* first_other) {
    std::fflush(stdout);
    LineCounts c;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || st.st_size <= 0) return c;
    buffer_.resize(static_cast<std::size_t>(st.st_size));
    const ssize_t got = pread(fd_, &buffer_[0], buffer_.size(), 0);
    if (ftruncate(fd_, 0) != 0) std::perror("soak: ftruncate");
    if (got <= 0) return c;
    buffer_.resize(static_cast<std::size_t>(got));
    std::size_t start = 0;
    while (start < buffer_.size()) {
      std::size_t end = buffer_.find('\n', start);
      if (end == std::string::npos) end = buffer_.size();
      line_.assign(buffer_, start, end - start);
      classify(line_, c, first_other);
      start = end + 1;
    }
    return c;
  }

 private:
  static void classify(const std::string& line, LineCounts& c, std::string* first_other) {
    if (line.empty()) return;
    if (line == "Quorlin::do_sample") {
      ++c.round_start;
    } else if (starts_with(line, "rvSize is ")) {
      ++c.completed;
    } else if (starts_with(line, "Quorlin::do_sample session lost at ")) {
      ++c.session_lost;
    } else if (starts_with(line, "Quorlin::do_sample aborted")) {
      ++c.aborted;
    } else if (starts_with(line, "ReadVariant ") && ends_with(line, " returned no numeric value")) {
      ++c.no_numeric;
    } else if (starts_with(line, "ReadVariant ") && ends_with(line, " failed")) {
      ++c.read_failed;
    } else if (line[0] == '[') {
      ++c.library;
      // The level may be wrapped in colour escapes: "\x1b[33mwarn/client\x1b[0m".
      if (line.find("warn/") != std::string::npos || line.find("error/") != std::string::npos ||
          line.find("fatal/") != std::string::npos)
        ++c.library_warn;
    } else {
      ++c.other;
      if (first_other && first_other->empty()) *first_other = line;
    }
  }

  int fd_ = -1;
  int saved_ = -1;
  std::string buffer_;
  std::string line_;
};

enum class Kind { Clean, Faults, Stop, Silent };
const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Clean: return "clean";
    case Kind::Faults: return "faults";
    case Kind::Stop: return "stop";
    case Kind::Silent: return "silent";
  }
  return "?";
}

// The bytes a Double fault puts into a field: the point's number as a double.
std::array<uint8_t, 8> double_bytes(const plant::PlantServer& server, std::size_t i) {
  const auto b = server.value_bytes(i);
  uint32_t u32 = 0;
  std::memcpy(&u32, b.data(), 4);
  uint16_t u16 = 0;
  std::memcpy(&u16, b.data(), 2);
  double v = 0;
  switch (server.type(i)) {
    case plant::ValueType::Boolean:
    case plant::ValueType::Byte: v = b[0]; break;
    case plant::ValueType::Int16: v = static_cast<int16_t>(u16); break;
    case plant::ValueType::UInt16: v = u16; break;
    case plant::ValueType::Int32: v = static_cast<int32_t>(u32); break;
    case plant::ValueType::UInt32: v = u32; break;
    case plant::ValueType::Float: {
      float f;
      std::memcpy(&f, &u32, 4);
      v = f;
      break;
    }
  }
  std::array<uint8_t, 8> out{};
  std::memcpy(out.data(), &v, 8);
  return out;
}

struct Options {
  int rounds = 2000;
  int silent = 1;
  uint32_t seed = 1;
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const long v = std::strtol(argv[++i], &end, 10);
    if (*end != '\0' || v < 0) return false;
    if (a == "--rounds" && v >= 1) o.rounds = static_cast<int>(v);
    else if (a == "--silent") o.silent = static_cast<int>(v);
    else if (a == "--seed") o.seed = static_cast<uint32_t>(v);
    else return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parse(argc, argv, opt)) {
    std::fprintf(stderr, "usage: soak [--rounds N] [--silent K] [--seed S]\n");
    return 2;
  }

  std::set<int> silent_rounds;
  for (int j = 1; j <= opt.silent; ++j)
    silent_rounds.insert(static_cast<int>(static_cast<long long>(opt.rounds) * j / (opt.silent + 1)) + 1);

  qrn_host::set_recording(false);
  long sends = 0, histories = 0, bad_events = 0;
  std::vector<unsigned char> sent(kRecordSize, 0);
  qrn_host::set_hook([&](const qrn_host::Event& e) {
    if (e.kind == qrn_host::EventKind::SendSP) {
      ++sends;
      if (e.data_id != 5156 || e.size != kRecordSize || e.bytes.size() != kRecordSize || e.flag)
        ++bad_events;
      else
        sent.assign(e.bytes.begin(), e.bytes.end());
    } else if (e.kind == qrn_host::EventKind::SaveHistory) {
      ++histories;
      if (e.bytes != sent) ++bad_events;
    }
  });

  StdoutCapture capture;
  if (!capture.open()) {
    std::perror("soak: capturing standard output");
    return 1;
  }

  plant::PlantServer server;
  server.fill_distinct(0);
  server.start();
  SoakDevice device(server.port());
  std::mt19937 rng(opt.seed);

  LineCounts total, expected_total;
  long handed = 0, abandoned = 0, mismatched_rounds = 0, restarts = 0;
  uint64_t stale_reads = 0;
  long rounds_of[4] = {}, faults_of[6] = {};
  double ms_of[4] = {}, max_ms_of[4] = {};
  long rss_base = -1, rss_end = -1;
  std::string first_problem;
  std::vector<unsigned char> expected(kRecordSize, 0), mask(kRecordSize, 0);
  std::vector<std::pair<std::size_t, plant::Fault>> faults;

  const auto problem = [&](int round, const std::string& what) {
    ++mismatched_rounds;
    if (first_problem.empty()) first_problem = "round " + std::to_string(round) + ": " + what;
  };

  const auto start = Clock::now();
  for (int r = 1; r <= opt.rounds; ++r) {
    const Kind kind = silent_rounds.count(r) ? Kind::Silent
                      : r % 25 == 0          ? Kind::Stop
                      : r % 10 == 0          ? Kind::Faults
                                             : Kind::Clean;
    const auto k = static_cast<std::size_t>(kind);
    ++rounds_of[k];
    server.fill_distinct(static_cast<uint32_t>(r));
    LineCounts expect;
    expect.round_start = 1;

    faults.clear();
    if (kind == Kind::Faults) {
      const int n = 1 + static_cast<int>(rng() % 6);
      while (static_cast<int>(faults.size()) < n) {
        const std::size_t i = rng() % kQuorlinPointCount;
        if (std::any_of(faults.begin(), faults.end(), [i](const auto& f) { return f.first == i; }))
          continue;
        const auto fault = static_cast<plant::Fault>(1 + rng() % 5);
        faults.emplace_back(i, fault);
        server.set_fault(i, fault);
        ++faults_of[static_cast<int>(fault)];
        if (fault == plant::Fault::Missing) ++expect.read_failed;
        else if (fault != plant::Fault::Double) ++expect.no_numeric;
      }
    }
    const bool completes = kind == Kind::Clean || kind == Kind::Faults;
    if (completes) {
      expect.completed = 1;
    } else {
      // The read after the server goes away fails, and the round gives up.
      expect.read_failed = 1;
      expect.session_lost = 1;
    }

    // What the hand-over must hold: each point read in table order (a later
    // point wins shared bytes) over the previous record; faulted points keep
    // the previous bytes, except a Double, which is a number too.
    std::fill(mask.begin(), mask.end(), 0);
    if (completes) {
      std::copy(sent.begin(), sent.end(), expected.begin());
      std::memcpy(expected.data(), &kDeviceId, 4);
      for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
        const QuorlinPoint& p = quorlin_points[i];
        const auto f = std::find_if(faults.begin(), faults.end(),
                                    [i](const auto& x) { return x.first == i; });
        if (f == faults.end()) {
          const auto b = server.value_bytes(i);
          std::memcpy(expected.data() + p.offset, b.data(), p.width);
        } else if (f->second == plant::Fault::Double) {
          const auto b = double_bytes(server, i);
          std::memcpy(expected.data() + p.offset, b.data(), p.width);
        }
      }
    }

    const uint64_t reads_before = server.reads();
    const long sends_before = sends;
    std::atomic<bool> round_over{false};
    std::thread silencer;
    if (kind == Kind::Stop) {
      server.stop_after(1 + rng() % (kQuorlinPointCount - 1));
    } else if (kind == Kind::Silent) {
      const uint64_t after = 1 + rng() % (kQuorlinPointCount - 1);
      silencer = std::thread([&server, &round_over, reads_before, after] {
        while (!round_over && server.reads() < reads_before + after)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!round_over) server.set_silent(true);
      });
    }

    const auto t0 = Clock::now();
    device.do_sample();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    round_over = true;
    if (silencer.joinable()) silencer.join();
    ms_of[k] += ms;
    max_ms_of[k] = std::max(max_ms_of[k], ms);

    if (kind == Kind::Stop) {
      server.stop();
      server.start();
      ++restarts;
    } else if (kind == Kind::Silent) {
      server.set_silent(false);
    } else if (kind == Kind::Faults) {
      server.clear_faults();
    }

    std::string other;
    const LineCounts got = capture.take(&other);
    total.add(got);
    expected_total.add(expect);

    const long handed_now = sends - sends_before;
    if (handed_now == 1) ++handed;
    else if (handed_now == 0) ++abandoned;
    if (handed_now != (completes ? 1 : 0)) {
      problem(r, std::string(kind_name(kind)) + " round handed over " + std::to_string(handed_now) +
                     " record(s)");
    } else if (got.round_start != expect.round_start || got.completed != expect.completed ||
               got.read_failed != expect.read_failed || got.no_numeric != expect.no_numeric ||
               got.session_lost != expect.session_lost || got.aborted != 0 || got.other != 0) {
      problem(r, std::string(kind_name(kind)) + " round lines: failed " +
                     std::to_string(got.read_failed) + "/" + std::to_string(expect.read_failed) +
                     ", no numeric " + std::to_string(got.no_numeric) + "/" +
                     std::to_string(expect.no_numeric) + ", session lost " +
                     std::to_string(got.session_lost) + "/" + std::to_string(expect.session_lost) +
                     (other.empty() ? "" : ", unexpected line: " + other));
    } else if (completes && std::memcmp(sent.data(), expected.data(), kStampOffset) != 0) {
      std::size_t at = 0;
      while (sent[at] == expected[at]) ++at;
      problem(r, std::string(kind_name(kind)) + " round record differs from the served values at byte " +
                     std::to_string(at));
    } else if (completes && (server.reads() - reads_before < kQuorlinPointCount ||
                             server.reads() - reads_before > kQuorlinPointCount + stale_reads)) {
      problem(r, "round read " + std::to_string(server.reads() - reads_before) + " points");
    }
    // Woken up again, the server answers the request that timed out during
    // the silence; it counts as a read of the following round.
    stale_reads = kind == Kind::Silent ? 1 : 0;

    // Both readings are taken just after a server restart: a server that has
    // been serving holds more live memory than a fresh one (about 200 KiB
    // here), which is state, not growth. Leaked memory survives a restart.
    if (r == kRssBaselineRound || r == opt.rounds) {
      if (kind != Kind::Stop) {
        server.stop();
        server.start();
        ++restarts;
      }
      (r == kRssBaselineRound ? rss_base : rss_end) = rss_kib();
    }
    if (r % 500 == 0 && r != opt.rounds)
      std::fprintf(stderr, "soak: round %d, VmRSS %ld KiB\n", r, rss_kib());
  }
  const double wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  server.stop();
  qrn_host::set_hook(nullptr);
  capture.restore();

  std::printf("soak: %d rounds in %.1f s (seed %u)\n", opt.rounds, wall_s, opt.seed);
  for (int k = 0; k < 4; ++k) {
    if (rounds_of[k] == 0) continue;
    std::printf("  %-6s rounds %5ld   mean %7.1f ms   max %7.1f ms\n",
                kind_name(static_cast<Kind>(k)), rounds_of[k], ms_of[k] / rounds_of[k],
                max_ms_of[k]);
  }
  std::printf("  faults set: missing %ld, string %ld, double %ld, array %ld, empty %ld\n",
              faults_of[1], faults_of[2], faults_of[3], faults_of[4], faults_of[5]);
  std::printf("  server restarts %ld, point reads served %llu\n", restarts,
              static_cast<unsigned long long>(server.reads()));
  std::printf("rounds handed over %ld, abandoned %ld (host saw %ld SendSP, %ld history, %ld malformed)\n",
              handed, abandoned, sends, histories, bad_events);
  std::printf("lines seen (expected):\n");
  std::printf("  Quorlin::do_sample          %6ld (%ld)\n", total.round_start, expected_total.round_start);
  std::printf("  rvSize is ...               %6ld (%ld)\n", total.completed, expected_total.completed);
  std::printf("  ReadVariant ... failed      %6ld (%ld)\n", total.read_failed, expected_total.read_failed);
  std::printf("  ... no numeric value        %6ld (%ld)\n", total.no_numeric, expected_total.no_numeric);
  std::printf("  ... session lost at ...     %6ld (%ld)\n", total.session_lost, expected_total.session_lost);
  std::printf("  do_sample aborted           %6ld (0)\n", total.aborted);
  std::printf("  open62541 log lines         %6ld (of which warn/error %ld)\n", total.library,
              total.library_warn);
  std::printf("  other                       %6ld (0)\n", total.other);

  int rc = 0;
  if (mismatched_rounds != 0 || bad_events != 0 || histories != sends) {
    std::printf("FAIL: %ld round(s) departed from what their faults predict; first: %s\n",
                mismatched_rounds, first_problem.empty() ? "(host events)" : first_problem.c_str());
    rc = 1;
  }
  if (rss_base < 0) {
    std::printf("VmRSS after the last round %ld KiB (no check: it needs more than %d rounds)\n",
                rss_end, kRssBaselineRound);
  } else {
    const long grew = rss_end - rss_base;
    std::printf("VmRSS after round %d %ld KiB, after round %d %ld KiB, difference %+ld KiB"
                " (limit %ld KiB; includes the in-process server)\n",
                kRssBaselineRound, rss_base, opt.rounds, rss_end, grew, kRssLimitKiB);
    if (opt.rounds > kRssBaselineRound && grew > kRssLimitKiB) {
      std::printf("FAIL: resident memory grew by %ld KiB, more than %ld KiB\n", grew, kRssLimitKiB);
      rc = 1;
    }
  }
  if (rc == 0) std::printf("soak: PASS\n");
  return rc;
}
