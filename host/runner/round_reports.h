#pragma once

// Round reports on the host side: which data id each device reports under.
#include <json/value.h>

// The settings handed to a device: its own, with "appSetting":
// {"round_report_id": 5157} added unless they name their own id. `report_id`
// gets the data id its reports come under; 0 when it sends none (an id the
// driver refuses, or an "appSetting" that is not an object, left as it is).
Json::Value settings_with_reports(const Json::Value& settings, int& report_id);
