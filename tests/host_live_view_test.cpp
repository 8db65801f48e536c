// The live view without sockets: the --http address, device states over time,
// and that the record served is the copy taken at hand-over; then its bounded
// server on loopback against idle and slow clients.
#include "http_server.h"
#include "http_view.h"
#include "round_report.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/value.h>

#include <gtest/gtest.h>

#include <cerrno>
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

TEST(ListenAddress, host_header_must_name_this_view) {
  struct Case {
    const char* header;
    const char* listen;
    bool allowed;
  };
  const Case cases[] = {
      {"", "127.0.0.1", true},  // no browser
      {"127.0.0.1:8080", "127.0.0.1", true},
      {"10.0.0.9", "0.0.0.0", true},  // any address literal
      {"[::1]:8080", "::1", true},
      {"LocalHost:80", "127.0.0.1", true},
      {"unit7", "0.0.0.0", true},  // this machine's name
      {"unit7.:80", "0.0.0.0", true},
      {"view.plant:8080", "view.plant", true},  // the name listened on
      {"evil.example:8080", "127.0.0.1", false},
      {"evil.example", "0.0.0.0", false},
      {"127.0.0.1.evil.example", "127.0.0.1", false},
      {"localhost.evil.example", "127.0.0.1", false},
      {"127.0.0.1:80x", "127.0.0.1", false},
      {"[::1", "::1", false},
      {"[evil]:80", "::1", false},
      {":80", "127.0.0.1", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_allowed_host(c.header, c.listen, "unit7"), c.allowed) << c.header;
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

TEST_F(LiveViewTest, metrics_count_rare_outcomes_under_other) {
  qrn_report::RoundReport report;
  for (uint32_t code = 0; code <= 40; ++code) {  // Good, then 40 codes of the server's choosing
    report.outcome = code == 0 ? 0 : 0x80000000u | (code << 16);
    view_.reported(7, qrn_report::encode(report));
  }
  const std::string metrics = view_.get("/metrics", {}, t0_).body;
  std::size_t series = 0;
  for (std::size_t at = 0; (at = metrics.find("\nqrn_rounds_total{", at)) != std::string::npos; ++at)
    ++series;
  EXPECT_EQ(series, LiveView::kMostOutcomeSeries + 1);
  EXPECT_NE(metrics.find("qrn_rounds_total{device=\"7\",outcome=\"other\"} 33\n"), std::string::npos);
}

TEST_F(LiveViewTest, history_without_a_history_file_is_not_found_but_bad_minutes_are_bad) {
  const LiveView::Reply none = view_.get("/api/devices/7/points/1/history", {}, t0_);
  EXPECT_EQ(none.status, 404);
  EXPECT_NE(parse(none.body)["error"].asString().find("--history"), std::string::npos);
  const LiveView::Reply bad =
      view_.get("/api/devices/7/points/1/history", {{"minutes", "0"}}, t0_);
  EXPECT_EQ(bad.status, 400);
}

TEST_F(LiveViewTest, error_texts_stay_json_with_invalid_utf8_escaped) {
  const LiveView::Reply reply = view_.get("/caf\xc3\xa9/\xff\xc3", {}, t0_);
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(parse(reply.body)["error"].asString(), "no such page: /caf\xc3\xa9/\\xff\\xc3");
}

// The bounded server on loopback: slow and idle clients hold no worker and no
// more than the cap of connections; excess connections are closed at once.
namespace {

// From `from`, another loopback address than 127.0.0.1 when given.
int connect_to(int port, const char* from = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  if (from != nullptr) {
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{10, 0};  // far beyond what a prompt answer takes
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

void send_text(int fd, const std::string& text) {
  EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// What arrives until the peer closes, the receive timeout passes or `until` is seen.
std::string receive(int fd, const std::string& until = "") {
  std::string got;
  char buffer[4096];
  ssize_t n;
  while ((until.empty() || got.find(until) == std::string::npos) &&
         (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
    got.append(buffer, static_cast<std::size_t>(n));
  return got;
}

// A bounded server answering GET /ping with "pong" on a free loopback port,
// serving; `port` gets the port (0 when it could not listen).
std::unique_ptr<BoundedHttpServer> ping_server(const HttpLimits& limits, int& port) {
  auto server = std::make_unique<BoundedHttpServer>(limits);
  server->Get("/ping", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("pong", "text/plain");
  });
  port = server->listen_on("127.0.0.1", 0);
  if (port > 0) server->start_serving();
  return server;
}

// Closed, or reset for bytes it never read; not a receive timeout.
bool closed_by_peer(int fd) {
  char byte;
  const ssize_t n = recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

}  // namespace

TEST(BoundedHttpServer, slow_clients_wait_alone_and_make_way_for_new_connections) {
  HttpLimits limits;
  limits.max_connections = 3;
  limits.max_per_address = 2;
  limits.workers = 1;
  limits.head_time = std::chrono::seconds(60);  // slow heads stay until the end
  int port = 0;
  const auto server = ping_server(limits, port);
  ASSERT_GT(port, 0);

  const int slow1 = connect_to(port), slow2 = connect_to(port);
  send_text(slow1, "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n");  // never finished
  send_text(slow2, "GE");
  const int normal = connect_to(port, "127.0.0.2");
  send_text(normal, "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string reply = receive(normal, "pong");
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  EXPECT_NE(reply.find("pong"), std::string::npos) << reply;

  // The slow clients' address holds its share: a third connection from it
  // takes the place of the one waiting longest.
  const int fourth = connect_to(port);
  send_text(fourth, "GET /ping HTTP/1.1\r\n\r\n");
  EXPECT_NE(receive(fourth, "pong").find("pong"), std::string::npos);
  EXPECT_TRUE(closed_by_peer(slow1));
  // All three open: a new client's connection takes the place of the oldest.
  const int fifth = connect_to(port, "127.0.0.3");
  send_text(fifth, "GET /ping HTTP/1.1\r\n\r\n");
  EXPECT_NE(receive(fifth, "pong").find("pong"), std::string::npos);
  EXPECT_TRUE(closed_by_peer(slow2));
  EXPECT_EQ(server->evicted(), 2u);
  EXPECT_EQ(server->refused(), 0u);

  // A kept-alive connection answers its next request, pipelined ones too.
  send_text(normal, "GET /ping HTTP/1.1\r\n\r\nGET /none HTTP/1.1\r\nConnection: close\r\n\r\n");
  const std::string two = receive(normal);
  EXPECT_EQ(two.rfind("HTTP/1.1 200", 0), 0u) << two;
  EXPECT_NE(two.find("HTTP/1.1 404"), std::string::npos) << two;
  EXPECT_TRUE(closed_by_peer(normal));

  // Stopping ends the kept-alive ones at once.
  server->stop_serving();
  EXPECT_TRUE(closed_by_peer(fourth));
  EXPECT_TRUE(closed_by_peer(fifth));
  for (int fd : {slow1, slow2, normal, fourth, fifth}) close(fd);
}

TEST(BoundedHttpServer, idle_connections_are_closed_at_their_deadlines) {
  HttpLimits limits;
  limits.head_time = std::chrono::milliseconds(200);
  limits.keep_alive = std::chrono::milliseconds(200);
  int port = 0;
  const auto server = ping_server(limits, port);
  ASSERT_GT(port, 0);
  const int idle = connect_to(port), kept = connect_to(port);
  send_text(kept, "GET /ping HTTP/1.1\r\n\r\n");
  EXPECT_NE(receive(kept, "pong").find("pong"), std::string::npos);
  // Both within the receive timeout of 10 s, not when the client gives up.
  EXPECT_TRUE(closed_by_peer(idle));
  EXPECT_TRUE(closed_by_peer(kept));
  close(idle);
  close(kept);
}
