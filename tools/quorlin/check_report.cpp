#include "check_report.h"

#include "point_table.h"
#include "text_width.h"

#include <algorithm>
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
  const std::size_t over = limit + 1;
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
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

std::optional<std::size_t> closest(std::string_view name,
                                   const std::vector<std::string>& candidates) {
  const std::u32string target = code_points(name);
  std::size_t limit = std::max<std::size_t>(2, target.size() / 4);
  std::optional<std::size_t> best;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const std::size_t d = edit_distance(target, code_points(candidates[k]), limit);
    if (d > limit) continue;
    best = k;
    if (d == 0) break;
    limit = d - 1;  // only a strictly closer one replaces it
  }
  return best;
}

void suggest(Report& report) {
  for (PointCheck& p : report.points) {
    if (p.cls != PointClass::Missing) continue;
    p.suggestion.clear();
    if (const auto k = closest(quorlin_points[p.index].name, report.browse.extra))
      p.suggestion = report.browse.extra[*k];
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
  out << "server    " << (s.application_name.empty() ? "(no name)" : s.application_name);
  if (!s.application_uri.empty()) out << " (" << s.application_uri << ")";
  if (!s.product_name.empty() || !s.software_version.empty())
    out << ", " << s.product_name << (s.product_name.empty() ? "" : " ") << s.software_version;
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
