#pragma once

// What `quorlin check` finds out about a controller, and how it is shown:
// each point's read sorted into a class, the closest server id for a point
// the server does not know, and the report as text or as JSON.

#include <open62541/types.h>

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace check {

// One class per point. A value's shape comes before its status: a Double
// with an Uncertain status is "wider", its detail names the status.
enum class PointClass : uint8_t {
  Ok,            // numeric scalar of exactly the field's width, status Good
  Missing,       // BadNodeIdUnknown: the server has no such node
  Failed,        // any other Bad status: the field keeps its previous value
  NotNumeric,    // string, array, structure or empty value: field not written
  Wider,         // numeric scalar larger than the field: its low bytes
  Narrower,      // numeric scalar smaller than the field: zero filled
  Uncertain,     // right shape, Uncertain status: the value is kept
  GoodWithInfo,  // right shape, Good status with info bits: the value is kept
};
constexpr std::size_t kClassCount = 8;

// "ok", "missing", "failed", "not numeric", "wider", "narrower",
// "uncertain", "good with info".
const char* class_name(PointClass c);

struct PointCheck {
  std::size_t index = 0;  // in the point table, from 0
  PointClass cls = PointClass::Ok;
  std::string type;        // the served value's type ("Float", "array of 3 Int16"), "" if none
  std::string status;      // status name, "" for plain Good
  std::string detail;      // what the record gets; "" when ok
  std::string suggestion;  // Missing: the closest browsed id, "" if none
  bool not_all_compared = false;  // Missing: the suggestion step stopped at its cap
};

// Sorts one read of a point with a field of `width` bytes: `status` is what
// the read returned (service or value status), `value` what came with it.
PointCheck classify(std::size_t index, unsigned width, UA_StatusCode status,
                    const UA_Variant& value);

// The status code's name ("BadNodeIdUnknown"); info bits are added as
// "+0xNNNN", codes without a name shown as 0xXXXXXXXX.
std::string status_name(UA_StatusCode code);

// Levenshtein distance between two character strings; any result above
// `limit` is returned as limit + 1 (the computation stops early).
std::size_t edit_distance(const std::u32string& a, const std::u32string& b, std::size_t limit);

// The candidate closest to `name` by edit distance on characters, if one is
// close enough to be a spelling of the same point: at most a quarter of the
// name's characters (and at least 2) differ. Ties go to the earlier candidate.
std::optional<std::size_t> closest(std::string_view name, const std::vector<std::string>& candidates);

struct ServerIdentity {
  std::string application_name, application_uri;  // from the server's endpoints
  std::string product_name, software_version;     // from BuildInfo, "" if not served
  std::optional<uint32_t> max_nodes_per_read;      // OperationLimits, if served
};

struct Timing {
  double connect_ms = 0, reads_ms = 0, close_ms = 0;
  double read_median_ms = 0, read_max_ms = 0;
};

// The browsed ids prepared once for many closest() lookups: sorted, with
// their characters decoded and counted, so that a lookup starts at the ids
// that sort next to the name and skips those whose length or characters
// already differ too much.
class SuggestionIndex {
 public:
  explicit SuggestionIndex(const std::vector<std::string>& candidates);
  ~SuggestionIndex();
  SuggestionIndex(const SuggestionIndex&) = delete;
  SuggestionIndex& operator=(const SuggestionIndex&) = delete;

  std::size_t size() const;
  // As closest(), looking at no more than `max_looked_at` ids, the nearest
  // in sort order first. `complete` tells whether every id was looked at.
  std::optional<std::size_t> closest(std::string_view name, std::size_t max_looked_at,
                                     bool& complete) const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

struct BrowseResult {
  bool ran = false;                 // false with --no-browse
  std::size_t variables = 0;        // variables whose string id starts with "t|D3"
  std::vector<std::string> extra;   // those not in the table, as ids ("ns=2;s=..." off namespace 1)
  std::string stopped;              // why the browse ended early, "" if complete
  double ms = 0;
  // Set by suggest(): how many ids each missing point was compared with at
  // most, and how many points did not get to compare with them all.
  std::size_t compared_per_point = 0;
  std::size_t points_not_all_compared = 0;
};

struct Report {
  std::string endpoint;
  ServerIdentity server;
  std::vector<PointCheck> points;  // every point, in table order
  Timing timing;
  BrowseResult browse;
};

// Fills in each missing point's suggestion from the browsed ids. The work is
// bounded: each missing point looks at kSuggestionBudget / missing ids (at
// least kSuggestionMinPerPoint), so that a server of many look-alike ids is
// checked in seconds; points that stopped short are counted in the report.
constexpr std::size_t kSuggestionBudget = 4000000;
constexpr std::size_t kSuggestionMinPerPoint = 1000;
void suggest(Report& report);

// Counts per class, indexed by PointClass.
std::vector<std::size_t> counts(const Report& report);
bool all_ok(const Report& report);

// The summary, then the problem lines grouped by class (in PointClass order)
// and sorted by table index, then the server's ids not in the table.
std::string text(const Report& report);
// The same content as one JSON object.
Json::Value json(const Report& report);

}  // namespace check
