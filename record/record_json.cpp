#include "record_json.h"

#include "record.h"

#include <json/writer.h>

#include <cmath>
#include <utility>

Json::Value point_value_json(const PointReading& reading) {
  if (reading.point->width != 4) return Json::Int(static_cast<int>(reading.value));
  return std::isfinite(reading.value) ? Json::Value(reading.value) : Json::Value();
}

Json::Value record_json(const unsigned char* record, const std::vector<PointReading>& rows) {
  Json::Value root(Json::objectValue);
  root["device_id"] = Json::UInt(qrn_record::device_id(record));
  root["time"] = qrn_record::stamp_valid(record) ? Json::Value(qrn_record::stamp_text(record))
                                                  : Json::Value();
  root["time_raw"] = qrn_record::stamp_hex(record, "");
  Json::Value& points = root["points"] = Json::Value(Json::arrayValue);
  for (const PointReading& r : rows) {
    Json::Value p(Json::objectValue);
    p["index"] = Json::UInt(r.index + 1);
    p["name"] = r.point->name;
    p["offset"] = r.point->offset;
    p["width"] = r.point->width;
    p["value"] = point_value_json(r);
    // The raw bytes tell what a null (NaN, infinity) was.
    if (r.point->width == 4) p["raw"] = hex_bytes(r, "");
    if (!r.overwritten_by.empty()) p["overwritten_by"] = r.overwritten_by;
    points.append(std::move(p));
  }
  return root;
}

std::string json_text(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = 9;
  return Json::writeString(builder, value);
}
