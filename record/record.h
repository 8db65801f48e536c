#pragma once

// What the host side knows of a driver record: its size, the device id in
// the first four bytes and the time stamp in the last seven.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace qrn_record {

constexpr std::size_t kSize = 7001;
constexpr int kDataId = 5156;
constexpr std::size_t kStampOffset = 6994;
constexpr std::size_t kStampSize = 7;

// How often a device reads a record: the pause between its rounds.
constexpr std::chrono::seconds kRoundPeriod{5};

// Bytes 0..3, little-endian.
uint32_t device_id(const unsigned char* record);

// Bytes 6994..7000 (year little-endian 16-bit, month, day, hour, minute,
// second) as "YYYY-MM-DD HH:MM:SS"; the stamp already is local time. The
// fields are printed as they are, valid or not (see stamp_valid).
std::string stamp_text(const unsigned char* record);

// Whether the stamp is a date and time that can exist: year 1 to 9999, month,
// day of that month, hour, minute and second in their ranges.
bool stamp_valid(const unsigned char* record);

// The stamp's seven bytes as hex, "ea0703040506" style (sep "") or spaced.
std::string stamp_hex(const unsigned char* record, const char* sep);

// History's time text: `when` as local "YYYY-MM-DD HH:MM:SS", which sorts
// as the times do (a saved row's saved_at, the bounds its queries compare).
std::string local_time_text(std::time_t when);

// The current local time in the same form.
std::string local_now_text();

// The local time `ago` before now in the same form.
std::string local_time_ago(std::chrono::seconds ago);

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (also with a T between) as history's
// time text; a bare date is the day's start (or, when `end`, its end).
bool parse_time_bound(const std::string& text, bool end, std::string& out);

}  // namespace qrn_record
