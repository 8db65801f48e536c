#pragma once

// The JSON form of round reports and of a point's quality, shared by
// `quorlin decode` and the qrn-host live view.
#include "round_report.h"

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

// The status code's name ("Good", "BadOutOfService"); hex for an unknown one.
std::string status_name(uint32_t status);

// What went wrong in a round with this outcome, short; "" for Good.
std::string outcome_text(uint32_t outcome);

// Adds "status" and "read_at" to each point of a record_json() document:
// the point's last status (null without one) and the stamp of the round
// that last wrote its field (null when none did).
void add_point_quality(Json::Value& record, const std::vector<uint32_t>* statuses,
                       const std::vector<std::string>* read_at);

// Per point, the stamp text of the last round among `reports` (oldest
// first) that handed a record over with the point read (not Bad); "" when
// none did. Folds one report into `read_at` (sized to the point count).
void fold_read_at(const qrn_report::RoundReport& report, std::vector<std::string>& read_at);

// The report's stamp as "YYYY-MM-DD HH:MM:SS".
std::string report_stamp_text(const qrn_report::RoundReport& report);
