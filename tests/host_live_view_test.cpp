// The live view without sockets: the --http address, device states over time,
// and that the record served is the copy taken at hand-over.
#include "http_view.h"

#include <json/reader.h>
#include <json/value.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = LiveView::Clock;

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string error;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &error)) << error;
  return value;
}

DeviceConfig device(uint32_t id) {
  DeviceConfig d;
  d.id = id;
  d.address = "127.0.0.1";
  d.port = 4840;
  return d;
}

// A record of device `id` whose first one-byte point (offset 5) holds `mark`,
// stamped 2026-03-04 05:06:07.
std::vector<unsigned char> record(uint32_t id, unsigned char mark) {
  std::vector<unsigned char> r(7001, 0);
  for (int i = 0; i < 4; ++i) r[i] = static_cast<unsigned char>(id >> (8 * i));
  r[5] = mark;
  const unsigned char stamp[] = {0xEA, 0x07, 3, 4, 5, 6, 7};
  std::copy(std::begin(stamp), std::end(stamp), r.begin() + 6994);
  return r;
}

class LiveViewTest : public testing::Test {
 protected:
  LiveViewTest() : view_({device(7), device(9)}, "") {}

  Json::Value device_json(uint32_t id, Clock::time_point now) {
    const LiveView::Reply reply = view_.get("/api/devices", {}, now);
    EXPECT_EQ(reply.status, 200);
    const Json::Value root = parse(reply.body);
    for (const Json::Value& d : root["devices"])
      if (d["id"].asUInt() == id) return d;
    ADD_FAILURE() << "device " << id << " not listed";
    return Json::Value();
  }
  std::string state(uint32_t id, Clock::time_point now) {
    return device_json(id, now)["state"].asString();
  }

  LiveView view_;
  const Clock::time_point t0_ = Clock::now();
};

}  // namespace

TEST(ListenAddress, parses_address_and_port_and_refuses_the_rest) {
  struct Case {
    const char* text;
    bool ok;
    const char* address;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"127.0.0.1:0", true, "127.0.0.1", 0},
      {"localhost:65535", true, "localhost", 65535},
      {"[::1]:9000", true, "::1", 9000},
      {"0.0.0.0:80", true, "0.0.0.0", 80},
      {"127.0.0.1", false, "", 0},           // no port
      {"127.0.0.1:", false, "", 0},
      {":8080", false, "", 0},               // no address
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:-1", false, "", 0},
      {"127.0.0.1:+80", false, "", 0},
      {"127.0.0.1:80x", false, "", 0},
      {"127.0.0.1:99999999999999999999999", false, "", 0},
      {"::1:80", false, "", 0},              // IPv6 needs brackets
      {"[::1:80", false, "", 0},
      {"[]:80", false, "", 0},
      {"[not-v6]:80", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string address = "unchanged", error;
    int port = -7;
    EXPECT_EQ(parse_listen_address(c.text, address, port, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
      EXPECT_EQ(error, "") << c.text;
    } else {
      EXPECT_NE(error.find(c.text), std::string::npos) << c.text << ": " << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << c.text;
    }
  }
}

TEST(ListenAddress, only_this_machines_addresses_count_as_loopback) {
  for (const char* a : {"127.0.0.1", "127.255.0.9", "::1", "localhost"})
    EXPECT_TRUE(is_loopback_address(a)) << a;
  for (const char* a : {"0.0.0.0", "10.0.0.5", "128.0.0.1", "::",
                        "plant.example", "", "127.0.0.1.example"})
    EXPECT_FALSE(is_loopback_address(a)) << a;
}

TEST_F(LiveViewTest, state_goes_from_no_record_to_live_to_stale_after_two_periods) {
  Json::Value d = device_json(7, t0_);
  EXPECT_EQ(d["state"].asString(), "no record yet");
  EXPECT_EQ(d["records"].asInt(), 0);
  EXPECT_TRUE(d["last_stamp"].isNull());
  EXPECT_EQ(d["address"].asString(), "127.0.0.1");
  EXPECT_EQ(d["port"].asInt(), 4840);

  view_.handed_over(7, record(7, 1), t0_);
  d = device_json(7, t0_ + seconds(1));
  EXPECT_EQ(d["state"].asString(), "live");
  EXPECT_EQ(d["records"].asInt(), 1);
  EXPECT_EQ(d["last_stamp"].asString(), "2026-03-04 05:06:07");
  EXPECT_EQ(state(7, t0_ + seconds(10)), "live");  // two nominal periods
  EXPECT_EQ(state(7, t0_ + seconds(10) + milliseconds(1)), "stale");
  EXPECT_EQ(state(9, t0_ + seconds(60)), "no record yet");  // the other device untouched

  // A new record makes the device live again.
  view_.handed_over(7, record(7, 2), t0_ + seconds(30));
  EXPECT_EQ(state(7, t0_ + seconds(31)), "live");
  EXPECT_EQ(device_json(7, t0_ + seconds(31))["records"].asInt(), 2);
}

TEST_F(LiveViewTest, a_slow_device_gets_its_own_period_and_a_fast_one_the_nominal) {
  // Rounds 20 s apart: stale only after 40 s without a record.
  view_.handed_over(7, record(7, 1), t0_);
  view_.handed_over(7, record(7, 2), t0_ + seconds(20));
  EXPECT_EQ(state(7, t0_ + seconds(59)), "live");
  EXPECT_EQ(state(7, t0_ + seconds(61)), "stale");
  EXPECT_DOUBLE_EQ(device_json(7, t0_ + seconds(61))["period_seconds"].asDouble(), 20.0);

  // A record right after another (a restored one, then the first round)
  // does not shrink the period below the nominal five seconds.
  view_.handed_over(9, record(9, 1), t0_);
  view_.handed_over(9, record(9, 2), t0_ + milliseconds(300));
  EXPECT_EQ(state(9, t0_ + seconds(10)), "live");
  EXPECT_EQ(state(9, t0_ + seconds(11)), "stale");
}

TEST_F(LiveViewTest, serves_the_copy_taken_at_hand_over_and_each_new_record) {
  std::vector<unsigned char> source = record(7, 11);
  view_.handed_over(7, source, t0_);
  source[5] = 99;  // the device's buffer moves on; the view must not
  auto first_value = [&] {
    const LiveView::Reply reply = view_.get("/api/devices/7/record", {}, t0_);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.content_type.rfind("application/json", 0), 0u);
    const Json::Value r = parse(reply.body);
    EXPECT_EQ(r["device_id"].asInt(), 7);
    EXPECT_EQ(r["points"].size(), 2706u);
    return r["points"][0]["value"].asInt();
  };
  EXPECT_EQ(first_value(), 11);
  EXPECT_EQ(first_value(), 11);  // again, from the JSON kept for this record
  view_.handed_over(7, record(7, 12), t0_ + seconds(5));
  EXPECT_EQ(first_value(), 12);  // not the JSON of the record before
}

TEST_F(LiveViewTest, ignores_other_devices_and_keeps_only_whole_records) {
  view_.handed_over(8, record(8, 1), t0_);  // not configured
  EXPECT_EQ(view_.get("/api/devices/8/record", {}, t0_).status, 404);
  EXPECT_EQ(parse(view_.get("/api/devices", {}, t0_).body)["devices"].size(), 2u);

  view_.handed_over(7, record(7, 5), t0_);
  view_.handed_over(7, std::vector<unsigned char>(100, 0), t0_ + seconds(1));  // not a record
  const Json::Value d = device_json(7, t0_ + seconds(2));
  EXPECT_EQ(d["records"].asInt(), 2);  // both were handed over
  EXPECT_EQ(d["state"].asString(), "live");
  const LiveView::Reply reply = view_.get("/api/devices/7/record", {}, t0_);
  EXPECT_EQ(parse(reply.body)["points"][0]["value"].asInt(), 5);  // the last whole one
}

TEST_F(LiveViewTest, history_without_a_history_file_is_not_found_but_bad_minutes_are_bad) {
  const LiveView::Reply none = view_.get("/api/devices/7/points/1/history", {}, t0_);
  EXPECT_EQ(none.status, 404);
  EXPECT_NE(parse(none.body)["error"].asString().find("--history"), std::string::npos);
  const LiveView::Reply bad =
      view_.get("/api/devices/7/points/1/history", {{"minutes", "0"}}, t0_);
  EXPECT_EQ(bad.status, 400);
}
