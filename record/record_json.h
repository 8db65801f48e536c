#pragma once

// The JSON form of a decoded record, shared by `quorlin decode --json` and
// the qrn-host live view so that both give the same document.
#include "record_view.h"

#include <json/value.h>

#include <string>
#include <vector>

// {"device_id", "time", "points": [{"index" (from 1), "name", "offset",
// "width", "value", "raw" (4-byte fields), "overwritten_by" (when so)}]}.
Json::Value record_json(const unsigned char* record, const std::vector<PointReading>& rows);

// A point's value as JSON: an integer for 1 and 2 bytes, a number for a
// finite float, null for NaN and infinity (JSON has neither).
Json::Value point_value_json(const PointReading& reading);

// One line of compact UTF-8 JSON; floats with 9 significant digits, enough
// to read every float back exactly.
std::string json_text(const Json::Value& value);
