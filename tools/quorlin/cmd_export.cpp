// quorlin export: a device's records from a history file as CSV (RFC 4180) or
// JSON lines, one row per record, values as `quorlin decode` writes them.
#include "commands.h"
#include "history.h"
#include "history_copy.h"
#include "record.h"
#include "record_view.h"

#include <sqlite3.h>

#include <chrono>
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

bool digits(const std::string& text, std::size_t most) {
  return !text.empty() && text.size() <= most &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (also with a T between), as the
// history's saved_at text; a bare date is the day's start (or, for --to, its end).
bool time_bound(const std::string& text, bool end, std::string& out) {
  std::string t = text;
  if (t.size() == 19 && t[10] == 'T') t[10] = ' ';
  const char* shape = t.size() == 10 ? "dddd-dd-dd" : "dddd-dd-dd dd:dd:dd";
  if (t.size() != std::strlen(shape)) return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return false;
  out = t.size() == 10 ? t + (end ? " 23:59:59" : " 00:00:00") : t;
  return true;
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
    if (!digits(item, 4) || std::stoul(item) < 1 || std::stoul(item) > kQuorlinPointCount) {
      error = "--points takes point numbers from 1 to " + std::to_string(kQuorlinPointCount) +
              " separated by commas, not '" + item + "'";
      return false;
    }
    out.push_back(std::stoul(item) - 1);
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

using Clock = std::chrono::steady_clock;

int past_deadline(void* deadline) {
  return Clock::now() > *static_cast<Clock::time_point*>(deadline) ? 1 : 0;
}

// Opens the history read-only and prepares the device's rows, oldest first:
// a row's bytes only when it is a record (a row of another size is never
// loaded, however large: length() of a blob does not read it). A 'history' that is not a table (a
// view may run any query) is refused. False with `error`; `write_access` when
// SQLite could not set up its files beside the database.
bool open_rows(const std::string& path, SqliteQuery& d, std::string& error, bool& write_access) {
  auto fail = [&](const std::string& what) {
    const int code = d.db ? sqlite3_extended_errcode(d.db) & 0xff : SQLITE_NOMEM;
    write_access = code == SQLITE_CANTOPEN || code == SQLITE_READONLY || code == SQLITE_PERM;
    error = what + path + ": " + (d.db ? sqlite3_errmsg(d.db) : "out of memory");
    return false;
  };
  if (sqlite3_open_v2(path.c_str(), &d.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return fail("cannot open history ");
  sqlite3_extended_result_codes(d.db, 1);
  sqlite3_busy_timeout(d.db, 2000);
  if (sqlite3_prepare_v2(d.db, "SELECT type FROM sqlite_master WHERE name = 'history'", -1,
                         &d.stmt, nullptr) != SQLITE_OK)
    return fail("cannot read history ");
  const int rc = sqlite3_step(d.stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail("cannot read history ");
  const auto* type = rc == SQLITE_ROW ? sqlite3_column_text(d.stmt, 0) : nullptr;
  const std::string kind = type ? reinterpret_cast<const char*>(type) : "table";
  sqlite3_finalize(d.stmt);
  d.stmt = nullptr;
  if (kind != "table") {
    write_access = false;
    error = "cannot read history " + path + ": its 'history' is a " + kind + ", not a table";
    return false;
  }
  // The range is found through the (device_id, saved_at) index.
  if (sqlite3_prepare_v2(d.db,
                         "SELECT CASE WHEN typeof(record) = 'blob' AND "
                         "length(record) = ?4 THEN record END FROM history WHERE device_id = ?1 "
                         "AND saved_at >= ?2 AND saved_at <= ?3 AND data_id = ?5 ORDER BY saved_at, seq",
                         -1, &d.stmt, nullptr) != SQLITE_OK)
    return fail("cannot read history ");
  return true;
}

int run_export(const ExportOptions& o) {
  if (o.history.empty()) return usage("--history DB is required");
  if (o.device.empty()) return usage("--device ID is required");
  if (!digits(o.device, 10) || std::stoull(o.device) > 4294967295ull)
    return usage("--device takes a device id from 0 to 4294967295, not '" + o.device + "'");
  std::string from = "0000-00-00 00:00:00", to = "9999-99-99 99:99:99", error;
  if (!o.from.empty() && !time_bound(o.from, false, from))
    return usage("--from takes YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS', not '" + o.from + "'");
  if (!o.to.empty() && !time_bound(o.to, true, to))
    return usage("--to takes YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS', not '" + o.to + "'");
  std::vector<std::size_t> points;
  if (!point_list(o.points, points, error)) return usage(error);

  HistoryCopy copy;  // outlives the connection that may have it open
  auto d = std::make_unique<SqliteQuery>();
  bool write_access = false;
  if (!open_rows(o.history, *d, error, write_access)) {
    // As decode does: a history in a place this user cannot write is read
    // from a private copy; the reason in place is the one to give.
    std::string ignored;
    d = std::make_unique<SqliteQuery>();
    if (!write_access || !copy.make(o.history, ignored) ||
        !open_rows(copy.path(), *d, ignored, write_access))
      return failure(error);
  }
  sqlite3_bind_int64(d->stmt, 1, static_cast<sqlite3_int64>(std::stoull(o.device)));
  sqlite3_bind_text(d->stmt, 2, from.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(d->stmt, 3, to.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(d->stmt, 4, static_cast<sqlite3_int64>(qrn_record::kSize));
  // Records only: the round reports stored beside them are no records.
  sqlite3_bind_int(d->stmt, 5, qrn_record::kDataId);
  // Each row within the bound that decode has: a crafted file can make a
  // step endless.
  Clock::time_point deadline;
  sqlite3_progress_handler(d->db, 1000, &past_deadline, &deadline);

  if (!o.json_lines) {
    std::string header = "time";
    for (std::size_t i : points) header += "," + csv_field(quorlin_points[i].name);
    std::fputs((header + "\r\n").c_str(), stdout);
  }
  int rc;
  unsigned long skipped = 0;
  while ((deadline = Clock::now() + HistoryStore::kReadTimeBound,
          rc = sqlite3_step(d->stmt)) == SQLITE_ROW) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(d->stmt, 0));
    if (blob == nullptr || sqlite3_column_bytes(d->stmt, 0) != static_cast<int>(qrn_record::kSize)) {
      ++skipped;  // not a record of this driver
      continue;
    }
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
  }
  if ((rc & 0xff) == SQLITE_INTERRUPT)
    return failure("cannot read history " + o.history + ": the query ran past " +
                   std::to_string(HistoryStore::kReadTimeBound.count()) + " s");
  if (rc != SQLITE_DONE) return failure("cannot read history " + o.history + ": " + sqlite3_errmsg(d->db));
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
