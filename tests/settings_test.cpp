#include "device_settings.h"
#include "settings_schema.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <climits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using StrMap = std::map<std::string, std::string>;

constexpr uint32_t kId = 42;

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
    ADD_FAILURE() << "bad test JSON: " << text << ": " << errors;
  return root;
}

// One device's settings state; apply() runs the settings and returns the
// trace lines written to standard output.
struct Device {
  int b_mode = 1;
  StrMap alarm_ids, signal_names;
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> alarm_values;

  Lines apply(const std::string& json) {
    const Json::Value settings = parse(json);
    testing::internal::CaptureStdout();
    apply_device_settings(settings, kId,
                          {b_mode, alarm_ids, signal_names, alarm_levels, alarm_values});
    std::istringstream out(testing::internal::GetCapturedStdout());
    Lines lines;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }
};

struct TraceCase {
  const char* name;
  int mode_before;
  const char* json;
  int mode_after;
  Lines lines;
};

void expect_traces(const std::vector<TraceCase>& cases) {
  for (const TraceCase& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.b_mode = c.mode_before;
    EXPECT_EQ(device.apply(c.json), c.lines);
    EXPECT_EQ(device.b_mode, c.mode_after);
  }
}

TEST(DeviceSettings, mode_is_read_only_from_b_mode_inside_app_setting) {
  expect_traces({
    {"empty object", 1, "{}", 1, {}},
    {"null root", 1, "null", 1, {}},
    {"b_mode at top level", 1, R"({"b_mode":3})", 1, {}},
    {"appSetting a string", 1, R"({"appSetting":"b_mode"})", 1, {}},
    {"appSetting an array", 1, R"({"appSetting":[{"b_mode":3}]})", 1, {}},
    {"b_mode number 3", 1, R"({"appSetting":{"b_mode":3}})", 3,
     {"InitSetting 42 b_mode_:3", "here 1"}},
    {"b_mode string 3", 1, R"({"appSetting":{"b_mode":"3"}})", 3,
     {"InitSetting 42 b_mode_:3", "here 1"}},
    {"b_mode without digits", 3, R"({"appSetting":{"b_mode":"x"}})", 0,
     {"InitSetting 42 b_mode_:0"}},
    {"b_mode true", 1, R"({"appSetting":{"b_mode":true}})", 0, {"InitSetting 42 b_mode_:0"}},
    {"b_mode real", 1, R"({"appSetting":{"b_mode":2.9}})", 2, {"InitSetting 42 b_mode_:2"}},
    {"b_mode null", 5, R"({"appSetting":{"b_mode":null}})", 5, {}},
    {"b_mode array", 5, R"({"appSetting":{"b_mode":[3]}})", 5,
     {"InitSetting ignored \"b_mode\": no text value"}},
    {"b_mode object", 3, R"({"appSetting":{"b_mode":{}}})", 3,
     {"InitSetting ignored \"b_mode\": no text value", "here 1"}},
  });
}

TEST(DeviceSettings, threshold_setting_is_read_in_mode_3_and_only_as_object) {
  expect_traces({
    {"mode 3 without thresholdSetting", 3, R"({"thresholdSetting":null})", 3, {"here 1"}},
    {"empty thresholdSetting", 1, R"({"appSetting":{"b_mode":3},"thresholdSetting":{}})", 3,
     {"InitSetting 42 b_mode_:3", "here 1", "here 2"}},
    {"string thresholdSetting", 3, R"({"thresholdSetting":"k"})", 3, {"here 1", "here 2"}},
    {"number thresholdSetting", 3, R"({"thresholdSetting":7})", 3, {"here 1", "here 2"}},
    {"array thresholdSetting", 3, R"({"thresholdSetting":[{"ID":1},{"ID":2}]})", 3,
     {"here 1", "here 2"}},
    {"thresholdSetting ignored outside mode 3", 2, R"({"thresholdSetting":{"k":{}}})", 2, {}},
    {"number root", 3, "5", 3, {"here 1"}},
    {"string root", 3, R"("x")", 3, {"here 1"}},
    {"array root", 3, "[1]", 3, {"here 1"}},
    {"array root in mode 1", 1, R"([{"appSetting":{"b_mode":3}}])", 1, {}},
  });
}

TEST(DeviceSettings, entries_trace_their_items_in_member_order) {
  expect_traces({
    {"entries in byte order", 3,
     R"({"thresholdSetting":{"b":{"NMAlarmID":100,"ID":5,"SignalNumber":2},
         "a":{"ID":"5"},"B":{},"n":7,"s":"text"}})",
     3,
     {"here 1", "here 2", "here B", "42 NMAlarmID is missing", "42 ID is missing",
      "42 SignalNumber is missing", "mobile:B:;;; level:0 value:0", "here a",
      "42 NMAlarmID is missing", "42 SignalNumber is missing", "mobile:a:;5;; level:0 value:0",
      "here b", "mobile:b:100;5;2; level:0 value:0", "here n", "here s"}},
    {"null and array items are absent", 3,
     R"({"thresholdSetting":{"k":{"SignalName":[1],"NMAlarmID":null,"ID":{"x":1},
         "SignalNumber":true}}})",
     3,
     {"here 1", "here 2", "here k", "InitSetting ignored \"SignalName\": no text value",
      "42 NMAlarmID is missing", "InitSetting ignored \"ID\": no text value",
      "42 ID is missing", "mobile:k:;;true; level:0 value:0"}},
  });
}

TEST(DeviceSettings, b_mode_text_converts_like_atoi_with_saturation) {
  const struct {
    const char* json_value;
    int mode;
  } cases[] = {
      {R"("  -12abc")", -12},  {R"("+7")", 7},
      {R"("x")", 0},           {R"("")", 0},
      {R"("\t\n\u000b\f\r 9")", 9}, {R"("- 5")", 0},
      {R"("+-5")", 0},         {R"("0x10")", 0},
      {R"("0007")", 7},        {R"("2147483647")", INT_MAX},
      {R"("2147483648")", INT_MAX}, {R"("99999999999999999999999")", INT_MAX},
      {R"("-2147483648")", INT_MIN}, {R"("-2147483649")", INT_MIN},
      {R"("-99999999999999999999999")", INT_MIN}, {"18446744073709551615", INT_MAX},
      {"-9223372036854775808", INT_MIN}, {"1e30", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json_value);
    Device device;
    const Lines lines =
        device.apply(std::string(R"({"appSetting":{"b_mode":)") + c.json_value + "}}");
    EXPECT_EQ(device.b_mode, c.mode);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "InitSetting 42 b_mode_:" + std::to_string(c.mode));
  }
}

TEST(DeviceSettings, entries_fill_the_tables_and_host_maps) {
  Device device;
  device.b_mode = 3;
  device.apply(R"({"thresholdSetting":{
      "full":{"SignalName":"Pump fault","NMAlarmID":100,"ID":5,"SignalNumber":2},
      "part":{"ID":5,"signalname":"wrong case"},
      "none":{}, "skip":[1,2]}})");
  EXPECT_EQ(device.alarm_ids, (StrMap{{"full", "100;5;2;"}, {"part", ";5;;"}, {"none", ";;;"}}));
  EXPECT_EQ(device.signal_names, (StrMap{{"full", "Pump fault"}}));
  EXPECT_EQ(device.alarm_levels,
            (std::map<std::string, int>{{"full", 0}, {"part", 0}, {"none", 0}}));
  EXPECT_EQ(device.alarm_values,
            (std::map<std::string, float>{{"full", 0.f}, {"part", 0.f}, {"none", 0.f}}));
}

TEST(DeviceSettings, mobile_line_shows_existing_level_and_value) {
  const struct {
    int level;
    float value;
    const char* shown;
  } cases[] = {{2, 1.5f, "level:2 value:1.5"},
               {-7, 0.1f, "level:-7 value:0.1"},
               {0, 1234567.f, "level:0 value:1.23457e+06"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    Device device;
    device.b_mode = 3;
    device.alarm_levels["k"] = c.level;
    device.alarm_values["k"] = c.value;
    EXPECT_EQ(device.apply(R"({"thresholdSetting":{"k":{"NMAlarmID":1,"ID":2,"SignalNumber":3}}})"),
              (Lines{"here 1", "here 2", "here k", std::string("mobile:k:1;2;3; ") + c.shown}));
    EXPECT_EQ(device.alarm_levels["k"], c.level);
    EXPECT_EQ(device.alarm_values["k"], c.value);
  }
}

TEST(DeviceSettings, later_call_replaces_met_keys_and_keeps_the_rest) {
  Device device;
  device.apply(R"({"appSetting":{"b_mode":"3"},"thresholdSetting":{
      "k1":{"SignalName":"A","NMAlarmID":1,"ID":1,"SignalNumber":1},
      "k2":{"SignalName":"B","ID":2}}})");
  // No "appSetting": mode 3 stays and the entries are read again.
  const Lines lines = device.apply(R"({"thresholdSetting":{
      "k1":{"ID":9,"SignalName":null}, "k3":{"SignalName":7}}})");
  EXPECT_EQ(lines, (Lines{"here 1", "here 2", "here k1", "42 NMAlarmID is missing",
                          "42 SignalNumber is missing", "mobile:k1:;9;; level:0 value:0",
                          "here k3", "42 NMAlarmID is missing", "42 ID is missing",
                          "42 SignalNumber is missing", "mobile:k3:;;; level:0 value:0"}));
  EXPECT_EQ(device.b_mode, 3);
  EXPECT_EQ(device.alarm_ids, (StrMap{{"k1", ";9;;"}, {"k2", ";2;;"}, {"k3", ";;;"}}));
  EXPECT_EQ(device.signal_names, (StrMap{{"k1", "A"}, {"k2", "B"}, {"k3", "7"}}));
}

// The driver's reading of "appSetting": what each value gives, and the line
// for a value not allowed.
TEST(DriverSettings, values_not_allowed_fall_back_with_one_line_each) {
  const struct {
    const char* json;
    uint32_t cap;
    bool changes, keep, lines;
    uint32_t report;
    Lines problems;
  } cases[] = {
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":"x","log":"changes"}})", 0,
       true, false, true, 0,
       {"InitSetting 42 max_nodes_per_read is not a positive whole number; reading point by point"}},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":7,"session":"keep",
          "round_lines":false,"round_report_id":9}})", 7, false, true, false, 9, {}},
      {R"({"appSetting":{"log":1,"session":"Keep","round_lines":"no","round_report_id":5156}})",
       0, false, false, true, 0,
       {"InitSetting 42 session is not \"round\" or \"keep\"; a session per round",
        "InitSetting 42 round_lines is not true or false; round lines are written",
        "InitSetting 42 round_report_id is not a positive data id other than 5156; no round "
        "reports"}},
      {R"({"appSetting":{"round_report_id":2147483648,"session":"round"}})", 0, false, false,
       true, 0,
       {"InitSetting 42 round_report_id is not a positive data id other than 5156; no round "
        "reports"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const DriverSettings s = parse_driver_settings(parse(c.json), kId);
    EXPECT_EQ(s.batch_cap, c.cap);
    EXPECT_EQ(s.log_changes, c.changes);
    EXPECT_EQ(s.session == SessionMode::Keep, c.keep);
    EXPECT_EQ(s.round_lines, c.lines);
    EXPECT_EQ(s.round_report_id, c.report);
    EXPECT_EQ(s.problems, c.problems);
  }
}

}  // namespace
