// quorlin export: a device's records from a history file as CSV (RFC 4180) or
// JSON lines, one row per record, values as `quorlin decode` writes them.
#include "commands.h"
#include "decimal.h"
#include "history_copy.h"
#include "history_reader.h"
#include "record.h"
#include "record_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "quorlin export";

struct ExportOptions {
  std::string history;
  std::string device;
  std::string points;
  std::string from;
  std::string to;
  bool json_lines = false;
};

int usage(const std::string& text) { throw cli::UsageError(text); }

int failure(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
  return 1;
}

// 1-based point indexes, "I,J,..."; every point when empty.
bool point_list(const std::string& text, std::vector<std::size_t>& out, std::string& error) {
  if (text.empty()) {
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) out.push_back(i);
    return true;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const auto number = parse_decimal(item, kQuorlinPointCount, 4);
    if (!number || *number < 1) {
      error = "--points takes point numbers from 1 to " + std::to_string(kQuorlinPointCount) +
              " separated by commas, not '" + item + "'";
      return false;
    }
    out.push_back(static_cast<std::size_t>(*number) - 1);
    start = comma + 1;
  }
  return true;
}

// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A JSON string of text that is UTF-8 already (node ids, times).
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

int run_export(const ExportOptions& o) {
  if (o.history.empty()) return usage("--history DB is required");
  if (o.device.empty()) return usage("--device ID is required");
  const auto device = parse_decimal(o.device, 4294967295ull, 10);
  if (!device)
    return usage("--device takes a device id from 0 to 4294967295, not '" + o.device + "'");
  std::string from = "0000-00-00 00:00:00", to = "9999-99-99 99:99:99", error;
  if (!o.from.empty() && !qrn_record::parse_time_bound(o.from, false, from))
    return usage("--from takes YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS', not '" + o.from + "'");
  if (!o.to.empty() && !qrn_record::parse_time_bound(o.to, true, to))
    return usage("--to takes YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS', not '" + o.to + "'");
  std::vector<std::size_t> points;
  if (!point_list(o.points, points, error)) return usage(error);

  HistoryCopy copy;  // outlives the reader that may have it open
  HistoryReader reader;
  if (!reader.open(o.history, error)) {
    // As decode does: a history in a place this user cannot write is read
    // from a private copy; the reason in place is the one to give.
    std::string ignored;
    if (!reader.failed_for_write_access() || !copy.make(o.history, ignored) ||
        !reader.open(copy.path(), ignored))
      return failure(error);
  }

  if (!o.json_lines) {
    std::string header = "time";
    for (std::size_t i : points) header += "," + csv_field(quorlin_points[i].name);
    std::fputs((header + "\r\n").c_str(), stdout);
  }
  unsigned long skipped = 0;
  auto write_row = [&](const unsigned char* blob) {
    const std::vector<PointReading> all = read_points(blob);
    // An invalid stamp is left empty (JSON null) rather than passed off as a time.
    const bool stamped = qrn_record::stamp_valid(blob);
    const std::string time = stamped ? qrn_record::stamp_text(blob) : "";
    std::string line;
    if (o.json_lines) {
      line = "{\"time\": " + (stamped ? json_string(time) : std::string("null"));
      for (std::size_t i : points) {
        const std::string v = value_text(all[i]);
        const bool number = std::isfinite(all[i].value);
        line += ", " + json_string(quorlin_points[i].name) + ": " + (number ? v : json_string(v));
      }
      line += "}\n";
    } else {
      line = time;
      for (std::size_t i : points) line += "," + value_text(all[i]);
      line += "\r\n";
    }
    std::fputs(line.c_str(), stdout);
  };
  if (!reader.each_record(static_cast<uint32_t>(*device), from, to, write_row, skipped, o.history,
                          error))
    return failure(error);
  if (skipped > 0)
    std::fprintf(stderr, "%s: %lu stored records were not %zu bytes and were left out\n", kName,
                 skipped, qrn_record::kSize);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("quorlin export: writing standard output");
    return 1;
  }
  return 0;
}

}  // namespace

CommandRun define_export(CLI::App& app) {
  auto o = std::make_shared<ExportOptions>();
  app.add_option("--history", o->history, "the history database")->type_name("DB");
  app.add_option("--device", o->device, "the device id, 0 to 4294967295")->type_name("ID");
  app.add_option("--points", o->points, "only these points, by number from 1 (I,J,...)")
      ->type_name("LIST");
  app.add_option("--from", o->from, "records saved at or after TIME (YYYY-MM-DD[ HH:MM:SS])")
      ->type_name("TIME");
  app.add_option("--to", o->to, "records saved at or before TIME")->type_name("TIME");
  app.add_flag("--json-lines", o->json_lines, "one JSON object per record instead of CSV");
  return [o] { return run_export(*o); };
}
