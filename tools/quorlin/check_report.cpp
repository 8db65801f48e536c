#include "check_report.h"

#include "endpoint.h"
#include "point_table.h"
#include "text_width.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace check {
namespace {

constexpr const char* kClassNames[kClassCount] = {
    "ok", "missing", "failed", "not numeric", "wider", "narrower", "uncertain", "good with info",
};

// Numeric kinds by name; aliases such as Duration are shown as their kind.
const char* numeric_name(const UA_DataType* t) {
  switch (t->typeKind) {
    case UA_DATATYPEKIND_BOOLEAN: return "Boolean";
    case UA_DATATYPEKIND_SBYTE: return "SByte";
    case UA_DATATYPEKIND_BYTE: return "Byte";
    case UA_DATATYPEKIND_INT16: return "Int16";
    case UA_DATATYPEKIND_UINT16: return "UInt16";
    case UA_DATATYPEKIND_INT32: return "Int32";
    case UA_DATATYPEKIND_UINT32: return "UInt32";
    case UA_DATATYPEKIND_INT64: return "Int64";
    case UA_DATATYPEKIND_UINT64: return "UInt64";
    case UA_DATATYPEKIND_FLOAT: return "Float";
    case UA_DATATYPEKIND_DOUBLE: return "Double";
    default: return nullptr;
  }
}

std::string type_name(const UA_DataType* t) {
  if (const char* n = numeric_name(t)) return n;
  return t->typeName != nullptr ? t->typeName : "unnamed type";
}

std::string bytes(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string hex(uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*" PRIX32, digits, v);
  return text;
}

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string missing_text(const Report& r, const PointCheck& p) {
  if (!p.suggestion.empty()) return "— server has " + p.suggestion;
  if (p.not_all_compared) return "— nothing similar among the ids compared";
  return r.browse.ran ? "— nothing similar on the server" : "— not on the server";
}

std::string ms(double v) {
  char text[32];
  std::snprintf(text, sizeof text, v < 10 ? "%.2f ms" : "%.1f ms", v);
  return text;
}

// Problems in report order: by class, then by table index.
std::vector<const PointCheck*> problems(const Report& r) {
  std::vector<const PointCheck*> out;
  for (const PointCheck& p : r.points)
    if (p.cls != PointClass::Ok) out.push_back(&p);
  std::stable_sort(out.begin(), out.end(), [](const PointCheck* a, const PointCheck* b) {
    return a->cls != b->cls ? a->cls < b->cls : a->index < b->index;
  });
  return out;
}

Json::Value text_or_null(const std::string& s) { return s.empty() ? Json::Value() : Json::Value(s); }

// How often each character occurs, folded into 64 bins (saturating). Each
// edit changes the bins' summed difference by at most 2, so half of it is a
// lower bound of the edit distance, and far cheaper.
using CharCounts = std::array<uint8_t, 64>;

CharCounts count_chars(const std::u32string& s) {
  CharCounts counts{};
  for (char32_t c : s) {
    uint8_t& n = counts[static_cast<std::size_t>(c) & 63u];
    if (n < 255) ++n;
  }
  return counts;
}

std::size_t counts_bound(const CharCounts& a, const CharCounts& b) {
  std::size_t sum = 0;
  for (std::size_t k = 0; k < a.size(); ++k) sum += a[k] > b[k] ? a[k] - b[k] : b[k] - a[k];
  return (sum + 1) / 2;
}

// Levenshtein distance with the caller's rows (kept across calls); anything
// above `limit` is limit + 1.
std::size_t bounded_distance(const std::u32string& a, const std::u32string& b, std::size_t limit,
                             std::vector<std::size_t>& prev, std::vector<std::size_t>& cur) {
  const std::size_t over = limit + 1;
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
  prev.resize(b.size() + 1);
  cur.resize(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    std::size_t row_min = cur[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitute = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, substitute});
      row_min = std::min(row_min, cur[j]);
    }
    // Every later row is at least this row's minimum.
    if (row_min > limit) return over;
    prev.swap(cur);
  }
  return std::min(prev[b.size()], over);
}

}  // namespace

const char* class_name(PointClass c) { return kClassNames[static_cast<std::size_t>(c)]; }

std::string status_name(UA_StatusCode code) {
  if (code == UA_STATUSCODE_GOOD) return "Good";
  const char* base = UA_StatusCode_name(code & 0xFFFF0000u);
  if (base == nullptr ||
      !(starts_with(base, "Good") || starts_with(base, "Uncertain") || starts_with(base, "Bad")))
    return hex(code, 8);
  std::string name = base;
  if ((code & 0xFFFFu) != 0) name += "+" + hex(code & 0xFFFFu, 4);
  return name;
}

PointCheck classify(std::size_t index, unsigned width, UA_StatusCode status,
                    const UA_Variant& value) {
  PointCheck c;
  c.index = index;
  if (status != UA_STATUSCODE_GOOD) c.status = status_name(status);
  if (UA_StatusCode_isBad(status)) {
    // The round drops whatever comes with a Bad status.
    c.cls = status == UA_STATUSCODE_BADNODEIDUNKNOWN ? PointClass::Missing : PointClass::Failed;
    if (c.cls == PointClass::Failed) c.detail = c.status;
    return c;
  }
  const std::string kept = "the field keeps its previous value";
  const std::string status_note = c.status.empty() ? "" : " (" + c.status + ")";
  const UA_DataType* type = value.type;
  if (type == nullptr) {
    c.cls = PointClass::NotNumeric;
    c.detail = "empty value: " + kept + status_note;
    return c;
  }
  if (!UA_Variant_isScalar(&value)) {
    c.cls = PointClass::NotNumeric;
    c.type = "array of " + std::to_string(value.arrayLength) + " " + type_name(type);
    c.detail = c.type + ": " + kept + status_note;
    return c;
  }
  c.type = type_name(type);
  if (numeric_name(type) == nullptr) {
    c.cls = PointClass::NotNumeric;
    c.detail = c.type + ": " + kept + status_note;
    return c;
  }
  const std::size_t size = type->memSize;
  const std::string into = c.type + " into " + bytes(width) + ": ";
  if (size > width) {
    c.cls = PointClass::Wider;
    c.detail = into + (width == 1 ? "the low byte" : "the low " + bytes(width)) + " of the " +
               c.type + status_note;
  } else if (size < width) {
    c.cls = PointClass::Narrower;
    c.detail = into + "its " + bytes(size) + ", the upper " + bytes(width - size) + " zero" +
               status_note;
  } else if (UA_StatusCode_isUncertain(status)) {
    c.cls = PointClass::Uncertain;
    c.detail = c.status + ", value kept";
  } else if (status != UA_STATUSCODE_GOOD) {
    c.cls = PointClass::GoodWithInfo;
    c.detail = c.status + ", value kept";
  }
  return c;
}

std::size_t edit_distance(const std::u32string& a, const std::u32string& b, std::size_t limit) {
  std::vector<std::size_t> prev, cur;
  return bounded_distance(a, b, limit, prev, cur);
}

struct SuggestionIndex::Data {
  struct Entry {
    std::size_t original;  // the candidate's position as given
    std::u32string chars;
    CharCounts counts;
  };
  std::vector<std::string_view> keys;  // the candidates' bytes, sorted
  std::vector<Entry> entries;          // in the same order
};

SuggestionIndex::SuggestionIndex(const std::vector<std::string>& candidates)
    : data_(std::make_unique<Data>()) {
  std::vector<std::size_t> order(candidates.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return candidates[a] < candidates[b]; });
  data_->keys.reserve(order.size());
  data_->entries.reserve(order.size());
  for (std::size_t k : order) {
    data_->keys.emplace_back(candidates[k]);
    std::u32string chars = code_points(candidates[k]);
    const CharCounts counts = count_chars(chars);
    data_->entries.push_back({k, std::move(chars), counts});
  }
}

SuggestionIndex::~SuggestionIndex() = default;

std::size_t SuggestionIndex::size() const { return data_->entries.size(); }

std::optional<std::size_t> SuggestionIndex::closest(std::string_view name,
                                                    std::size_t max_looked_at,
                                                    bool& complete) const {
  const std::u32string target = code_points(name);
  const CharCounts target_counts = count_chars(target);
  // Within a quarter of the name's characters; then only as close as the best
  // so far (an equal distance still wins for an earlier candidate).
  std::size_t bound = std::max<std::size_t>(2, target.size() / 4);
  std::optional<std::size_t> best;
  std::vector<std::size_t> prev, cur;
  const std::vector<Data::Entry>& entries = data_->entries;
  // Outwards from where the name would sort: ids that share its beginning
  // come first.
  std::size_t below = static_cast<std::size_t>(
      std::lower_bound(data_->keys.begin(), data_->keys.end(), name) - data_->keys.begin());
  std::size_t above = below;
  std::size_t looked = 0;
  bool up = true;
  while (looked < max_looked_at && (below > 0 || above < entries.size())) {
    const bool take_above = above < entries.size() && (below == 0 || up);
    up = !up;
    const Data::Entry& e = entries[take_above ? above++ : --below];
    ++looked;
    const std::size_t length_gap = e.chars.size() > target.size() ? e.chars.size() - target.size()
                                                                   : target.size() - e.chars.size();
    if (length_gap > bound || counts_bound(target_counts, e.counts) > bound) continue;
    const std::size_t d = bounded_distance(target, e.chars, bound, prev, cur);
    if (d > bound || (best && d == bound && e.original > *best)) continue;
    best = e.original;
    bound = d;
  }
  complete = below == 0 && above == entries.size();
  return best;
}

std::optional<std::size_t> closest(std::string_view name,
                                   const std::vector<std::string>& candidates) {
  bool complete = false;
  return SuggestionIndex(candidates).closest(name, candidates.size(), complete);
}

void suggest(Report& report) {
  BrowseResult& browse = report.browse;
  std::size_t missing = 0;
  for (const PointCheck& p : report.points) missing += p.cls == PointClass::Missing ? 1 : 0;
  browse.compared_per_point = 0;
  browse.points_not_all_compared = 0;
  if (missing == 0) return;
  const SuggestionIndex index(browse.extra);
  const std::size_t per_point = std::max(kSuggestionMinPerPoint, kSuggestionBudget / missing);
  browse.compared_per_point = std::min(per_point, index.size());
  for (PointCheck& p : report.points) {
    if (p.cls != PointClass::Missing) continue;
    p.suggestion.clear();
    bool complete = false;
    if (const auto k = index.closest(quorlin_points[p.index].name, per_point, complete))
      p.suggestion = browse.extra[*k];
    p.not_all_compared = !complete;
    browse.points_not_all_compared += complete ? 0 : 1;
  }
}

std::vector<std::size_t> counts(const Report& report) {
  std::vector<std::size_t> n(kClassCount, 0);
  for (const PointCheck& p : report.points) ++n[static_cast<std::size_t>(p.cls)];
  return n;
}

bool all_ok(const Report& report) {
  return std::all_of(report.points.begin(), report.points.end(),
                     [](const PointCheck& p) { return p.cls == PointClass::Ok; });
}

std::string text(const Report& r) {
  std::ostringstream out;
  const ServerIdentity& s = r.server;
  out << "endpoint  " << r.endpoint << "\n";
  // The server names itself: its words are printed escaped and bounded, so
  // that none can forge a line or drive the terminal.
  const auto peer = [](const std::string& t) { return printable_text(t, kPeerTextLimit); };
  out << "server    " << (s.application_name.empty() ? "(no name)" : peer(s.application_name));
  if (!s.application_uri.empty()) out << " (" << peer(s.application_uri) << ")";
  if (!s.product_name.empty() || !s.software_version.empty())
    out << ", " << peer(s.product_name) << (s.product_name.empty() ? "" : " ")
        << peer(s.software_version);
  out << "\n";
  out << "limits    MaxNodesPerRead ";
  if (!s.max_nodes_per_read) out << "not served";
  else if (*s.max_nodes_per_read == 0) out << "0 (no limit)";
  else out << *s.max_nodes_per_read;
  out << "\n";

  const std::vector<std::size_t> n = counts(r);
  out << "points    " << r.points.size() << " read: " << n[0] << " ok";
  for (std::size_t c = 1; c < kClassCount; ++c)
    if (n[c] > 0) out << ", " << n[c] << " " << kClassNames[c];
  out << "\n";
  const Timing& t = r.timing;
  out << "round     connect " << ms(t.connect_ms) << ", " << r.points.size() << " reads "
      << ms(t.reads_ms) << " (median " << ms(t.read_median_ms) << ", max " << ms(t.read_max_ms)
      << "), close " << ms(t.close_ms) << "\n";
  out << "browse    ";
  if (!r.browse.ran) {
    out << "not done (--no-browse)\n";
  } else {
    out << r.browse.variables << " t|D3 variables, " << r.browse.extra.size()
        << " not in the table, " << ms(r.browse.ms);
    if (!r.browse.stopped.empty()) out << "; stopped early: " << r.browse.stopped;
    out << "\n";
    if (r.browse.points_not_all_compared > 0)
      out << "suggest   " << r.browse.points_not_all_compared
          << " missing points each compared with the " << r.browse.compared_per_point
          << " ids sorting nearest of " << r.browse.extra.size() << "; more not compared\n";
  }

  const std::vector<const PointCheck*> rows = problems(r);
  if (!rows.empty()) {
    std::size_t class_w = 0, index_w = 0, name_w = 0;
    for (const PointCheck* p : rows) {
      class_w = std::max(class_w, display_width(class_name(p->cls)));
      index_w = std::max(index_w, std::to_string(p->index + 1).size());
      name_w = std::max(name_w, display_width(quorlin_points[p->index].name));
    }
    out << "\n";
    for (const PointCheck* p : rows) {
      const std::string detail = p->cls == PointClass::Missing ? missing_text(r, *p) : p->detail;
      out << pad_right(class_name(p->cls), class_w) << "  "
          << pad_left(std::to_string(p->index + 1), index_w) << "  "
          << pad_right(quorlin_points[p->index].name, name_w) << "  " << detail << "\n";
    }
  }
  if (!r.browse.extra.empty()) {
    out << "\nserver variables not in the table:\n";
    for (const std::string& id : r.browse.extra) out << "  " << id << "\n";
  }
  return out.str();
}

Json::Value json(const Report& r) {
  Json::Value root(Json::objectValue);
  root["endpoint"] = r.endpoint;
  Json::Value& server = root["server"] = Json::Value(Json::objectValue);
  server["application_name"] = r.server.application_name;
  server["application_uri"] = r.server.application_uri;
  server["product_name"] = text_or_null(r.server.product_name);
  server["software_version"] = text_or_null(r.server.software_version);
  server["max_nodes_per_read"] =
      r.server.max_nodes_per_read ? Json::Value(Json::UInt(*r.server.max_nodes_per_read))
                                  : Json::Value();
  root["points"] = Json::UInt64(r.points.size());
  Json::Value& count = root["counts"] = Json::Value(Json::objectValue);
  const std::vector<std::size_t> n = counts(r);
  for (std::size_t c = 0; c < kClassCount; ++c) count[kClassNames[c]] = Json::UInt64(n[c]);
  Json::Value& timing = root["timing_ms"] = Json::Value(Json::objectValue);
  timing["connect"] = r.timing.connect_ms;
  timing["reads"] = r.timing.reads_ms;
  timing["read_median"] = r.timing.read_median_ms;
  timing["read_max"] = r.timing.read_max_ms;
  timing["close"] = r.timing.close_ms;
  if (r.browse.ran) {
    Json::Value& browse = root["browse"] = Json::Value(Json::objectValue);
    browse["variables"] = Json::UInt64(r.browse.variables);
    Json::Value& extra = browse["not_in_table"] = Json::Value(Json::arrayValue);
    for (const std::string& id : r.browse.extra) extra.append(id);
    browse["stopped"] = text_or_null(r.browse.stopped);
    browse["compared_per_point"] = Json::UInt64(r.browse.compared_per_point);
    browse["points_not_all_compared"] = Json::UInt64(r.browse.points_not_all_compared);
    browse["ms"] = r.browse.ms;
  } else {
    root["browse"] = Json::Value();
  }
  Json::Value& list = root["problems"] = Json::Value(Json::arrayValue);
  for (const PointCheck* p : problems(r)) {
    Json::Value item(Json::objectValue);
    item["index"] = Json::UInt64(p->index + 1);
    item["name"] = quorlin_points[p->index].name;
    item["class"] = class_name(p->cls);
    item["type"] = text_or_null(p->type);
    item["status"] = text_or_null(p->status);
    item["detail"] = p->cls == PointClass::Missing ? missing_text(r, *p) : p->detail;
    item["suggestion"] = text_or_null(p->suggestion);
    list.append(std::move(item));
  }
  root["ok"] = all_ok(r);
  return root;
}

}  // namespace check
