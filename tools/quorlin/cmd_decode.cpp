#include "commands.h"
#include "decimal.h"
#include "history.h"
#include "history_copy.h"
#include "point_quality.h"
#include "record.h"
#include "record_json.h"
#include "record_view.h"
#include "report_json.h"
#include "text_width.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "quorlin decode";

struct DecodeOptions {
  std::string file;
  std::string history;
  std::string device;
  bool json = false;
  bool bad = false;
  std::vector<std::string> matches;
};

int usage(const std::string& text) { throw cli::UsageError(text); }

int failure(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
  return 1;
}

bool load_file(const std::string& path, std::vector<unsigned char>& record, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  // One byte more than a record is enough to tell that the file is too long.
  record.assign(qrn_record::kSize + 1, 0);
  in.read(reinterpret_cast<char*>(record.data()), static_cast<std::streamsize>(record.size()));
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  record.resize(static_cast<std::size_t>(in.gcount()));
  if (record.size() != qrn_record::kSize) {
    // The size of a longer file from the file system; a pipe has none.
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    const std::string length =
        record.size() < qrn_record::kSize ? std::to_string(record.size())
        : !ec && size > qrn_record::kSize ? std::to_string(size)
                                          : "more than " + std::to_string(qrn_record::kSize);
    error = path + " is not a record: " + length + " bytes, a record is exactly " +
            std::to_string(qrn_record::kSize);
    return false;
  }
  return true;
}

bool valid_device_id(const std::string& text) {
  return parse_decimal(text, 4294967295ull, 10).has_value();
}

// Opens the history read-only in place, or a copy of it when the place does
// not allow even that (see HistoryCopy).
bool open_history(const std::string& path, HistoryStore& store, HistoryCopy& copy,
                  std::string& error) {
  if (store.open(path, HistoryStore::Mode::ReadOnly, error)) return true;
  if (!store.failed_for_write_access()) return false;
  std::string ignored;
  if (!copy.make(path, ignored) || !store.open(copy.path(), HistoryStore::Mode::ReadOnly, ignored))
    return false;  // the reason in place is the one to give
  error.clear();
  return true;
}

bool load_history(const DecodeOptions& o, std::vector<unsigned char>& record,
                  PointQuality& quality, std::string& error) {
  const auto id = static_cast<uint32_t>(parse_decimal(o.device, 4294967295ull, 10).value_or(0));
  HistoryCopy copy;  // outlives the store that may have it open
  HistoryStore store;
  if (!open_history(o.history, store, copy, error)) return false;
  auto last = store.last(id, qrn_record::kSize, error);
  if (!error.empty()) return false;
  if (!last) {
    error = o.history + " holds no record of device " + o.device;
    return false;
  }
  if (last->bytes.size() != qrn_record::kSize) {
    error = "the last record of device " + o.device + " is " + std::to_string(last->size) +
            " bytes, not " + std::to_string(qrn_record::kSize);
    return false;
  }
  record = std::move(last->bytes);
  return load_point_quality(store, id, quality, error);
}

bool selected(const PointReading& r, const std::vector<std::string>& matches) {
  if (matches.empty()) return true;
  for (const std::string& m : matches)
    if (std::strstr(r.point->name, m.c_str()) != nullptr) return true;
  return false;
}

// The stamp as a date and time, or, when it is none, marked with its bytes.
std::string stamp_shown(const unsigned char* record) {
  if (qrn_record::stamp_valid(record)) return qrn_record::stamp_text(record);
  return "INVALID (bytes " + qrn_record::stamp_hex(record, " ") + ": not a date and time)";
}

void print_table(const unsigned char* record, const std::vector<PointReading>& rows,
                 const PointQuality& q) {
  std::size_t name_width = display_width("node id");
  for (const PointReading& r : rows) name_width = std::max(name_width, display_width(r.point->name));
  std::ostringstream out;
  out << "device " << qrn_record::device_id(record) << "\n"
      << "time   " << stamp_shown(record) << "\n\n";
  out << pad_left("#", 4) << "  " << pad_left("offset", 6) << "  w  " << pad_right("node id", name_width)
      << "  " << pad_left("value", 14)
      << (q.any ? "  " + pad_right("status", 26) + "  " + pad_right("read at", 19) : "") << "  raw\n";
  for (const PointReading& r : rows) {
    std::string line = pad_left(std::to_string(r.index + 1), 4) + "  " +
                       pad_left(std::to_string(r.point->offset), 6) + "  " +
                       std::to_string(r.point->width) + "  " + pad_right(r.point->name, name_width) +
                       "  " + pad_left(value_text(r), 14);
    if (q.any)
      line += "  " + pad_right(status_name(q.statuses[r.index]), 26) + "  " +
              pad_right(q.read_at[r.index].empty() ? "-" : q.read_at[r.index], 19);
    if (r.point->width == 4) line += "  " + hex_bytes(r, " ");
    if (!r.overwritten_by.empty())
      line += "  (partly overwritten by " + r.overwritten_by + ")";
    out << line << "\n";
  }
  std::fputs(out.str().c_str(), stdout);
}

void print_json(const unsigned char* record, const std::vector<PointReading>& rows,
                const PointQuality& q) {
  Json::Value doc = record_json(record, rows);
  if (q.any) {
    // Per row, in the rows' order.
    std::vector<uint32_t> statuses;
    std::vector<std::string> read_at;
    for (const PointReading& r : rows) {
      statuses.push_back(q.statuses[r.index]);
      read_at.push_back(q.read_at[r.index]);
    }
    add_point_quality(doc, &statuses, &read_at);
  }
  std::fputs(json_text(doc).c_str(), stdout);
  std::fputc('\n', stdout);
}

int run_decode(const DecodeOptions& o) {
  for (const std::string& m : o.matches)
    if (m.empty()) return usage("--match needs a non-empty text");
  if (!o.file.empty() && !o.history.empty())
    return usage("give either a record file or --history, not both");
  if (o.file.empty() && o.history.empty()) return usage("no record file given");
  if (!o.history.empty() && o.device.empty()) return usage("--history needs --device ID");
  if (o.history.empty() && !o.device.empty()) return usage("--device goes with --history");
  if (!o.device.empty() && !valid_device_id(o.device))
    return usage("--device takes a device id from 0 to 4294967295, not '" + o.device + "'");

  if (o.bad && o.history.empty()) return usage("--bad goes with --history");

  std::vector<unsigned char> record;
  PointQuality quality;
  std::string error;
  if (!(o.file.empty() ? load_history(o, record, quality, error)
                       : load_file(o.file, record, error)))
    return failure(error);

  std::vector<PointReading> rows;
  for (PointReading& r : read_points(record.data()))
    if (selected(r, o.matches) &&
        (!o.bad || (quality.any && quality.statuses[r.index] != 0)))
      rows.push_back(std::move(r));
  for (const std::string& m : o.matches) {
    bool any = false;
    for (const PointReading& r : rows) any = any || std::strstr(r.point->name, m.c_str());
    if (!any) return failure("no point name contains '" + m + "'");
  }

  if (o.json)
    print_json(record.data(), rows, quality);
  else
    print_table(record.data(), rows, quality);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("quorlin decode: writing standard output");
    return 1;
  }
  return 0;
}

}  // namespace

CommandRun define_decode(CLI::App& app) {
  auto o = std::make_shared<DecodeOptions>();
  app.add_option("FILE", o->file, "a record file, exactly 7001 bytes")->type_name("");
  app.add_option("--history", o->history, "read the device's last record from this history database")
      ->type_name("DB");
  app.add_option("--device", o->device, "the device id, 0 to 4294967295 (with --history)")
      ->type_name("ID");
  app.add_flag("--json", o->json, "one JSON document instead of the table");
  app.add_flag("--bad", o->bad,
               "only the points whose last read was not Good (with --history, from the\n"
               "device's round reports)");
  app.add_option("--match", o->matches,
                 "keep the points whose node id contains TEXT (repeatable)")
      ->type_name("TEXT")
      ->take_all()
      ->allow_extra_args(false);
  return [o] { return run_decode(*o); };
}
