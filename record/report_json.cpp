#include "report_json.h"

#include "point_table.h"

#include <open62541/types.h>

#include <cstdio>
#include <cstring>

std::string status_name(uint32_t status) {
  const char* name = UA_StatusCode_name(status);
  if (name != nullptr && std::strcmp(name, "Unknown StatusCode") != 0) return name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string outcome_text(uint32_t outcome) {
  if (outcome == UA_STATUSCODE_GOOD) return "";
  if (outcome == UA_STATUSCODE_BADNODATA) return "no point could be read";
  if (outcome == UA_STATUSCODE_BADCONFIGURATIONERROR)
    return "a settings problem holds the device";
  return "round failed: " + status_name(outcome);
}

void add_point_quality(Json::Value& record, const std::vector<uint32_t>* statuses,
                       const std::vector<std::string>* read_at) {
  Json::Value& points = record["points"];
  for (Json::ArrayIndex i = 0; i < points.size(); ++i) {
    Json::Value& p = points[i];
    p["status"] = statuses && i < statuses->size() ? Json::Value(status_name((*statuses)[i]))
                                                   : Json::Value();
    p["read_at"] = read_at && i < read_at->size() && !(*read_at)[i].empty()
                       ? Json::Value((*read_at)[i])
                       : Json::Value();
  }
}

std::string report_stamp_text(const qrn_report::RoundReport& r) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                static_cast<unsigned>(r.stamp[0] | r.stamp[1] << 8), unsigned{r.stamp[2]},
                unsigned{r.stamp[3]}, unsigned{r.stamp[4]}, unsigned{r.stamp[5]},
                unsigned{r.stamp[6]});
  return text;
}

void fold_read_at(const qrn_report::RoundReport& report, std::vector<std::string>& read_at) {
  read_at.resize(kQuorlinPointCount);
  if (report.outcome != UA_STATUSCODE_GOOD) return;
  const std::string stamp = report_stamp_text(report);
  for (std::size_t i = 0; i < report.statuses.size() && i < read_at.size(); ++i) {
    const uint32_t s = report.statuses[i];
    if (!qrn_report::is_bad(s)) read_at[i] = stamp;
  }
}
