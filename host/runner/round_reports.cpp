#include "round_reports.h"

#include "record.h"
#include "round_report.h"

Json::Value settings_with_reports(const Json::Value& settings, int& report_id) {
  report_id = 0;
  if (!settings.isNull() && !settings.isObject()) return settings;
  Json::Value out = settings.isNull() ? Json::Value(Json::objectValue) : settings;
  if (out.isMember("appSetting") && !out["appSetting"].isObject()) return settings;
  Json::Value& app = out["appSetting"];
  if (!app.isMember("round_report_id")) {
    app["round_report_id"] = qrn_report::kDefaultDataId;
    report_id = qrn_report::kDefaultDataId;
    return out;
  }
  const Json::Value& own = app["round_report_id"];
  if (own.isUInt() && own.asUInt() > 0 && own.asUInt() <= 0x7fffffffu &&
      own.asUInt() != static_cast<unsigned>(qrn_record::kDataId))
    report_id = static_cast<int>(own.asUInt());
  return settings;
}
