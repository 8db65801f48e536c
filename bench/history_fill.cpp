// The history benchmark's long history and its reads (bench/history_bench.py):
// one device's records moving as `quorlin sim`'s plant moves, each with its
// round report, saved through HistoryStore::save under synthetic times five
// seconds apart; then the reads a host and its tools make of such a file.
//
//   history_fill fill DB DEVICE ROUNDS END [lively|steady]
//       ROUNDS records and reports, the last saved at END (seconds since the
//       epoch); prints "saved ROUNDS rounds in S s".
//   history_fill last DB DEVICE
//       opens the file as the host does at start-up and reads the device's
//       last record; prints "open MS ms, last MS ms".
//   history_fill trend DB DEVICE MINUTES END
//       the live view's trend of a chilled-water temperature over the
//       MINUTES before END; prints "trend N values in MS ms".
#include "history.h"
#include "history_reader.h"
#include "point_table.h"
#include "record.h"
#include "round_report.h"
#include "sim_model.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The record's stamp fields as the driver writes them: year (LE), month, day,
// hour, minute, second, local time.
void write_stamp(unsigned char* out, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  const int year = local.tm_year + 1900;
  out[0] = static_cast<unsigned char>(year & 0xff);
  out[1] = static_cast<unsigned char>(year >> 8);
  out[2] = static_cast<unsigned char>(local.tm_mon + 1);
  out[3] = static_cast<unsigned char>(local.tm_mday);
  out[4] = static_cast<unsigned char>(local.tm_hour);
  out[5] = static_cast<unsigned char>(local.tm_min);
  out[6] = static_cast<unsigned char>(local.tm_sec);
}

// The plant's values into their fields, in table order as the driver packs
// them (a later point sharing bytes with an earlier one wins).
void pack(const sim::Plant& plant, uint32_t device, std::time_t when, unsigned char* record) {
  std::memcpy(record, &device, 4);  // little-endian hosts only, as the record is
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& p = quorlin_points[i];
    const double v = plant.value(i);
    unsigned char* field = record + p.offset;
    switch (plant.model(i).type) {
      case sim::Type::Boolean:
      case sim::Type::Byte: field[0] = static_cast<unsigned char>(v); break;
      case sim::Type::Int16: {
        const auto x = static_cast<int16_t>(v);
        std::memcpy(field, &x, 2);
        break;
      }
      case sim::Type::Float: {
        const auto x = static_cast<float>(v);
        std::memcpy(field, &x, 4);
        break;
      }
    }
  }
  write_stamp(record + qrn_record::kStampOffset, when);
}

int fill(const std::string& path, uint32_t device, long rounds, std::time_t end,
         sim::Profile profile) {
  HistoryStore store;
  std::string error;
  if (!store.open(path, HistoryStore::Mode::ReadWrite, error)) {
    std::fprintf(stderr, "history_fill: %s\n", error.c_str());
    return 1;
  }
  sim::Plant plant(static_cast<uint32_t>(device) * 7919u, profile);
  std::vector<unsigned char> record(qrn_record::kSize, 0);
  qrn_report::RoundReport report;
  report.device_id = device;
  report.read_mode = 1;
  report.session_mode = 1;
  report.statuses.assign(kQuorlinPointCount, 0);
  qrn_report::count_statuses(report);
  uint32_t duration = 60;
  const auto start = Clock::now();
  for (long r = 0; r < rounds; ++r) {
    for (int s = 0; s < 5; ++s) plant.tick();  // a round every five seconds
    const std::time_t when = end - static_cast<std::time_t>(5 * (rounds - 1 - r));
    pack(plant, device, when, record.data());
    std::memcpy(report.stamp, record.data() + qrn_record::kStampOffset, 7);
    duration = duration * 7 % 97 + 30;  // 30 to 126 ms, varying as rounds do
    report.duration_ms = duration;
    const std::vector<unsigned char> bytes = qrn_report::encode(report);
    const std::string saved_at = qrn_record::local_time_text(when);
    if (!store.save(device, qrn_record::kDataId, saved_at, record.data(), record.size(), error) ||
        !store.save(device, qrn_report::kDefaultDataId, saved_at, bytes.data(), bytes.size(),
                    error)) {
      std::fprintf(stderr, "history_fill: round %ld: %s\n", r, error.c_str());
      return 1;
    }
    if ((r + 1) % 51840 == 0)
      std::fprintf(stderr, "history_fill: %ld rounds, %.0f s\n", r + 1, ms_since(start) / 1000);
  }
  store.close();
  std::printf("saved %ld rounds in %.1f s\n", rounds, ms_since(start) / 1000);
  return 0;
}

int last(const std::string& path, uint32_t device) {
  HistoryStore store;
  std::string error;
  const auto start = Clock::now();
  if (!store.open(path, HistoryStore::Mode::ReadWrite, error)) {
    std::fprintf(stderr, "history_fill: %s\n", error.c_str());
    return 1;
  }
  const double open_ms = ms_since(start);
  const auto read = Clock::now();
  const auto found = store.last(device, qrn_record::kSize, error);
  const double last_ms = ms_since(read);
  if (!found || found->bytes.size() != qrn_record::kSize) {
    std::fprintf(stderr, "history_fill: no last record: %s\n", error.c_str());
    return 1;
  }
  std::printf("open %.2f ms, last %.2f ms\n", open_ms, last_ms);
  return 0;
}

int trend(const std::string& path, uint32_t device, long minutes, std::time_t end) {
  std::size_t index = 0;
  while (index < kQuorlinPointCount &&
         std::strstr(quorlin_points[index].name, "蒸发器出水温度") == nullptr)
    ++index;
  if (index == kQuorlinPointCount) return 1;
  const QuorlinPoint& point = quorlin_points[index];
  std::size_t values = 0;
  std::string error;
  bool timed_out = false;
  const auto start = Clock::now();
  if (!read_point_trend(path, device, point.offset, point.width,
                        qrn_record::local_time_text(end - minutes * 60),
                        [&](const std::string&, const unsigned char*) { ++values; }, error,
                        timed_out)) {
    std::fprintf(stderr, "history_fill: %s\n", error.c_str());
    return 1;
  }
  std::printf("trend %zu values in %.2f ms\n", values, ms_since(start));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  auto number = [&](int i) { return std::strtol(argv[i], nullptr, 10); };
  if (what == "fill" && (argc == 6 || argc == 7))
    return fill(argv[2], static_cast<uint32_t>(number(3)), number(4), number(5),
                argc == 7 && std::string(argv[6]) == "steady" ? sim::Profile::Steady
                                                              : sim::Profile::Lively);
  if (what == "last" && argc == 4) return last(argv[2], static_cast<uint32_t>(number(3)));
  if (what == "trend" && argc == 6)
    return trend(argv[2], static_cast<uint32_t>(number(3)), number(4), number(5));
  std::fprintf(stderr,
               "usage: history_fill fill DB DEVICE ROUNDS END [lively|steady]\n"
               "       history_fill last DB DEVICE\n"
               "       history_fill trend DB DEVICE MINUTES END\n");
  return 2;
}
