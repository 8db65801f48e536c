// Sampling rounds of the driver against the in-process plant server.
#include "endpoint.h"
#include "host_stub.h"
#include "module_fixture.h"  // device_lines
#include "plant_server.h"
#include "point_table.h"
#include "log_options.h"
#include "quorlin.h"
#include "relay.h"
#include "round_report.h"
#include "test_pki.h"
#include "vtable_slots.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using qrn_host::EventKind;
using testing::HasSubstr;

namespace {

enum class ReadMode { Single, Batch };

// A read mode, and whether the device keeps its session across rounds.
struct Modes {
  Modes(ReadMode r, bool k = false) : read(r), keep(k) {}  // NOLINT: implicit on purpose
  ReadMode read;
  bool keep;
};

// The device settings that choose the modes.
Json::Value mode_settings(Modes mode) {
  Json::Value settings(Json::objectValue);
  if (mode.read == ReadMode::Batch) settings["appSetting"]["read_mode"] = "batch";
  if (mode.keep) settings["appSetting"]["session"] = "keep";
  return settings;
}

// A round built directly, as a device builds its own: it reads for a Quorlin
// device and hands the record and report to that device's host side.
class TestRound {
 public:
  TestRound(uint32_t id, uint16_t port, Modes mode = ReadMode::Single,
            const std::string& address = "127.0.0.1") {
    device_.device_id_ = id;
    device_.server_ip_ = address;
    device_.server_port_ = port;
    apply_read_settings(mode_settings(mode));
  }
  // One round, as the device's sampling thread runs it.
  void do_sample() { round_.run(device_.round_target()); }
  // Applies the "opcua" part of a settings text as InitSetting does, without
  // starting the sampling thread; returns the lines written.
  std::vector<std::string> configure(const std::string& json) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value settings;
    std::string errors;
    EXPECT_TRUE(reader->parse(json.data(), json.data() + json.size(), &settings, &errors))
        << json << ": " << errors;
    testing::internal::CaptureStdout();
    round_.security().configure(settings, device_.device_id_);
    return device_lines(testing::internal::GetCapturedStdout());
  }
  // The "appSetting" part, as InitSetting reads it.
  void apply_read_settings(const Json::Value& settings) {
    const DriverSettings read = parse_driver_settings(settings, device_.device_id_);
    say_setting_problems(read);
    round_.apply(read);
  }
  void report_under(uint32_t data_id) { round_.set_report_id(data_id); }
  std::vector<unsigned char> record() { return device_.record(); }
  int LoadFromCache(const unsigned char* bytes, int length) {
    return device_.LoadFromCache(bytes, length);
  }
  bool data_ready() const { return device_.data_ready_; }
  boost::posix_time::ptime round_time() const { return device_.round_time_; }

 private:
  Quorlin device_;
  std::atomic<bool> stopping_{false};
  SamplingRound round_{device_.round_host(), stopping_};
};

// A device with its own sampling thread, started by InitSetting.
std::unique_ptr<Quorlin> sampling_device(uint32_t id, uint16_t port) {
  auto device = std::make_unique<Quorlin>();
  device->device_id_ = id;
  device->server_ip_ = "127.0.0.1";
  device->server_port_ = port;
  return device;
}

// Client sockets of this process's host connected to `port` (IPv4 loopback).
int established_to(uint16_t port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // header
  int n = 0;
  while (std::getline(tcp, line)) {
    std::istringstream in(line);
    std::string slot, local, remote, state;
    in >> slot >> local >> remote >> state;
    const unsigned remote_port = std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16);
    n += remote_port == port && state == "01";
  }
  return n;
}

// Waits until a round has saved its history (its last call on the device),
// at most 20 s; false when none did.
bool history_saved() {
  return qrn_host::wait_for(
      [](const std::vector<qrn_host::Event>& events) {
        for (const auto& e : events)
          if (e.kind == EventKind::SaveHistory) return true;
        return false;
      },
      20s);
}

// Peak resident memory of this process so far, in KiB.
long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 10, '\n');
  }
  return -1;
}

std::size_t index_of(const char* name) {
  const auto index = plant::PlantServer::index_of(name);
  EXPECT_TRUE(index.has_value()) << name;
  return index.value_or(0);
}

// The record a round against `server` must leave, without the stamp.
std::vector<unsigned char> served_record(uint32_t id, const plant::PlantServer& server) {
  std::vector<unsigned char> rec(7001, 0);
  std::memcpy(rec.data(), &id, 4);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const auto bytes = server.value_bytes(i);
    std::memcpy(rec.data() + quorlin_points[i].offset, bytes.data(), quorlin_points[i].width);
  }
  return rec;
}

// The one round report handed over under `data_id`, decoded; it must come
// after the record (when there is one) and never be saved as history.
qrn_report::RoundReport sent_report(int data_id) {
  qrn_report::RoundReport report;
  const auto events = qrn_host::events();
  std::size_t reports = 0;
  for (std::size_t k = 0; k < events.size(); ++k) {
    const auto& e = events[k];
    if (e.kind == EventKind::SaveHistory) {
      EXPECT_EQ(e.size, 7001u) << "only records are saved as history";
    }
    if (e.kind != EventKind::SendSP || e.data_id != data_id) continue;
    ++reports;
    EXPECT_EQ(k + 1, events.size()) << "the report is the round's last hand-over";
    EXPECT_TRUE(qrn_report::decode(e.bytes.data(), e.bytes.size(), report));
  }
  EXPECT_EQ(reports, 1u);
  return report;
}

class PlantRound : public testing::Test {
 protected:
  void SetUp() override {
    server_.fill_distinct(17);
    server_.start();
    qrn_host::clear_events();
    qrn_host::set_hook(nullptr);
  }
  void TearDown() override {
    qrn_host::set_hook(nullptr);
    server_.stop();
  }

  // The record a round must leave: the id, every point's value in table
  // order (a later point wins shared bytes), zeros elsewhere, no stamp yet.
  std::vector<unsigned char> expected_record(uint32_t id) const {
    return served_record(id, server_);
  }

  // Runs one round on this thread; returns the device's own output lines.
  std::vector<std::string> round(TestRound& device) {
    testing::internal::CaptureStdout();
    device.do_sample();
    return device_lines(testing::internal::GetCapturedStdout());
  }

  static void expect_stamped(std::vector<unsigned char> sent, std::vector<unsigned char> expected,
                             const TestRound& device) {
    const RoundStamp stamp = get_ttime(device.round_time());
    std::memcpy(expected.data() + 6994, stamp.bytes, 7);
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
      ASSERT_EQ(sent[i], expected[i]) << "record byte " << i;
  }

  plant::PlantServer server_;
};

// The round's cases, run in both read modes and both session modes with the
// same expectations.
class DeviceRound : public PlantRound, public testing::WithParamInterface<Modes> {};

// Cases of the batched mode alone.
using BatchedRound = PlantRound;

std::string mode_name(const testing::TestParamInfo<ReadMode>& info) {
  return info.param == ReadMode::Single ? "single" : "batch";
}

std::string modes_name(const testing::TestParamInfo<Modes>& info) {
  return std::string(info.param.read == ReadMode::Single ? "single" : "batch") +
         (info.param.keep ? "_kept" : "");
}

const auto kAllModes = testing::Values(Modes(ReadMode::Single), Modes(ReadMode::Batch),
                                       Modes(ReadMode::Single, true), Modes(ReadMode::Batch, true));

}  // namespace

INSTANTIATE_TEST_SUITE_P(ReadModes, DeviceRound, kAllModes, modes_name);

TEST(DriverInterface, every_operation_sits_in_its_host_slot) {
  QRN_EXPECT_DEVICE_SLOTS(Quorlin);
}

TEST_P(DeviceRound, full_round_hands_over_every_byte_from_the_table) {
  server_.set_float(index_of("t|D3二层末端进水温度"), 12.5f);
  server_.set_int16(index_of("t|D3G3_M41_HZ_PV"), 500);
  server_.set_bool(index_of("t|D3G1_AI1_1_H_Alarm"), true);
  TestRound device(0x0A0B0C0D, server_.port(), GetParam());
  std::vector<uint64_t> reads_at_send;
  qrn_host::set_hook([&](const qrn_host::Event& e) {
    if (e.kind == EventKind::SendSP) reads_at_send.push_back(server_.reads());
  });
  server_.reset_reads();

  const auto lines = round(device);

  EXPECT_EQ(lines, std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
  EXPECT_EQ(reads_at_send, std::vector<uint64_t>{kQuorlinPointCount})
      << "one hand-over, after the last read";
  const auto events = qrn_host::events();
  ASSERT_EQ(events.size(), 4u);
  const auto& sent = events[0].bytes;
  expect_stamped(sent, expected_record(0x0A0B0C0D), device);
  EXPECT_EQ(events[3].kind, EventKind::SaveHistory);
  EXPECT_EQ(events[3].bytes, sent);
  EXPECT_EQ(sent[5], 1);
  const std::vector<unsigned char> shared(sent.begin() + 6300, sent.begin() + 6304);
  EXPECT_EQ(shared, std::vector<unsigned char>({0x00, 0x00, 0xF4, 0x01}));
  EXPECT_TRUE(device.data_ready());
}

TEST_P(DeviceRound, changes_log_says_a_failure_when_it_starts_or_changes_and_counts_each_round) {
  const std::size_t i = index_of("t|D3G3_M41_HZ_PV1");
  TestRound device(7, server_.port(), GetParam());
  Json::Value settings = mode_settings(GetParam());
  settings["appSetting"]["log"] = "changes";
  device.apply_read_settings(settings);
  const std::string failed = "ReadVariant t|D3G3_M41_HZ_PV1 failed";
  auto failing = [](int n) {
    return "Quorlin::do_sample device 7: " + std::to_string(n) + " points failing";
  };
  // Fails, fails again, recovers, fails, fails with another status.
  const uint32_t statuses[] = {UA_STATUSCODE_BADOUTOFSERVICE, UA_STATUSCODE_BADOUTOFSERVICE,
                               UA_STATUSCODE_GOOD, UA_STATUSCODE_BADOUTOFSERVICE,
                               UA_STATUSCODE_UNCERTAININITIALVALUE};
  const bool said[] = {true, false, false, true, true};
  for (std::size_t r = 0; r < 5; ++r) {
    server_.set_status(i, statuses[r]);
    const auto lines = round(device);
    std::vector<std::string> expected = {"Quorlin::do_sample"};
    if (said[r]) expected.push_back(failed);
    expected.push_back(failing(statuses[r] == UA_STATUSCODE_GOOD ? 0 : 1));
    expected.push_back("rvSize is 0");
    EXPECT_EQ(lines, expected) << "round " << r + 1;
  }
  // Without the setting every failing round says it.
  device.apply_read_settings(mode_settings(GetParam()));
  EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample", failed, "rvSize is 0"}));
}

TEST_P(DeviceRound, server_down_hands_nothing_over_and_says_why_once) {
  const uint16_t port = server_.port();
  server_.stop();
  TestRound device(9, port, GetParam());
  const auto before = device.record();
  const auto first = round(device);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_THAT(first[1], testing::AllOf(testing::StartsWith("Quorlin::do_sample device 9: cannot "
                                                           "connect to opc.tcp://127.0.0.1:"),
                                       HasSubstr(": Bad")));
  EXPECT_EQ(round(device), std::vector<std::string>{"Quorlin::do_sample"});
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_FALSE(device.data_ready());
  EXPECT_EQ(device.record(), before);

  server_.start();
  EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample",
                                                     "Quorlin::do_sample device 9 connected "
                                                     "after 2 failed rounds",
                                                     "rvSize is 0"}));
}

namespace {

// What a round hands its host, in order, and the record its commits build.
class RecordingHost final : public RoundHost {
 public:
  void commit(const WorkingRecord& work) override {
    calls.push_back("commit");
    work.copy_into(record.data());
  }
  void send_report(uint32_t data_id, qrn_report::RoundReport& report, bool handed_over) override {
    calls.push_back("report " + std::to_string(data_id) + (handed_over ? " after the record" : ""));
    outcome = report.outcome;
  }
  std::vector<std::string> calls;
  std::vector<unsigned char> record = std::vector<unsigned char>(7001, 0);
  uint32_t outcome = 0;
};

}  // namespace

// A round needs no device: it hands its host every point's field, then the
// report; a round that reads nothing hands over the report alone.
TEST_F(PlantRound, a_round_hands_its_host_the_record_then_the_report) {
  RecordingHost host;
  std::atomic<bool> stopping{false};
  SamplingRound round(host, stopping);
  round.set_report_id(6000);
  const RoundTarget target{5, "127.0.0.1", server_.port()};
  testing::internal::CaptureStdout();
  round.run(target);
  EXPECT_EQ(host.calls, std::vector<std::string>({"commit", "report 6000 after the record"}));
  EXPECT_EQ(host.outcome, UA_STATUSCODE_GOOD);
  EXPECT_EQ(host.record, served_record(0, server_)) << "the id is the device's to write";

  host.calls.clear();
  server_.stop();
  round.run(target);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(host.calls, std::vector<std::string>({"report 6000"}));
  EXPECT_TRUE(qrn_report::is_bad(host.outcome));
  EXPECT_TRUE(qrn_host::events().empty()) << "nothing reaches the host framework";
}

// A failing controller is said again at most every ten minutes, with the count.
TEST(ConnectNotice, says_a_reason_when_it_changes_and_then_every_ten_minutes) {
  ConnectNotice notice;
  const auto t0 = ConnectNotice::Clock::time_point{};
  const std::string url = "opc.tcp://plant:4840";
  testing::internal::CaptureStdout();
  notice.failed(4, url, UA_STATUSCODE_BADCONNECTIONREJECTED, {}, t0);
  notice.failed(4, url, UA_STATUSCODE_BADCONNECTIONREJECTED, {}, t0 + 5s);
  notice.failed(4, url, UA_STATUSCODE_BADCONNECTIONREJECTED, {}, t0 + 599s);
  notice.failed(4, url, UA_STATUSCODE_BADCONNECTIONREJECTED, {}, t0 + 600s);
  notice.failed(4, url, UA_STATUSCODE_BADTIMEOUT, "device 4: no secure session", t0 + 605s);
  notice.failed(4, url, UA_STATUSCODE_BADTIMEOUT, "device 4: no secure session", t0 + 610s);
  notice.connected(4);
  notice.connected(4);
  EXPECT_EQ(device_lines(testing::internal::GetCapturedStdout()),
            std::vector<std::string>({
                "Quorlin::do_sample device 4: cannot connect to opc.tcp://plant:4840: "
                "BadConnectionRejected",
                "Quorlin::do_sample device 4: cannot connect to opc.tcp://plant:4840: "
                "BadConnectionRejected (3 failed rounds since the last line)",
                "device 4: no secure session",
                "Quorlin::do_sample device 4 connected after 6 failed rounds",
            }));
}

TEST_P(DeviceRound, faulty_points_keep_their_fields_and_the_rest_is_read) {
  TestRound device(21, server_.port(), GetParam());
  round(device);
  const auto first = device.record();

  server_.fill_distinct(99);
  struct Case {
    const char* name;
    plant::Fault fault;
    const char* line;
  };
  const Case cases[] = {
      {"t|D3G1_AI1_1_H_Alarm", plant::Fault::Missing, "ReadVariant t|D3G1_AI1_1_H_Alarm failed"},
      {"t|D3G3_M11_供油压力", plant::Fault::String,
       "ReadVariant t|D3G3_M11_供油压力 returned no numeric value"},
      {"t|D3G4_M211_功率", plant::Fault::Array,
       "ReadVariant t|D3G4_M211_功率 returned no numeric value"},
      {"t|D3_SB1", plant::Fault::Empty, "ReadVariant t|D3_SB1 returned no numeric value"},
  };
  auto expected = expected_record(21);
  std::vector<std::string> expected_lines{"Quorlin::do_sample"};
  for (const Case& c : cases) {
    const std::size_t i = index_of(c.name);
    server_.set_fault(i, c.fault);
    const QuorlinPoint& p = quorlin_points[i];
    std::memcpy(expected.data() + p.offset, first.data() + p.offset, p.width);
    expected_lines.push_back(c.line);
  }
  // A Double is a fixed-size number: its first four bytes fill a float field.
  const std::size_t dbl = index_of("t|D3_DBR_1");
  server_.set_fault(dbl, plant::Fault::Double);
  const auto dbl_bytes = server_.value_bytes(dbl);
  float as_float;
  std::memcpy(&as_float, dbl_bytes.data(), 4);
  const double as_double = as_float;
  std::memcpy(expected.data() + quorlin_points[dbl].offset, &as_double, 4);
  expected_lines.push_back("rvSize is 0");
  qrn_host::clear_events();

  const auto lines = round(device);

  std::vector<std::string> sorted_lines = lines, sorted_expected = expected_lines;
  EXPECT_EQ(lines.front(), "Quorlin::do_sample");
  EXPECT_EQ(lines.back(), "rvSize is 0");
  std::sort(sorted_lines.begin(), sorted_lines.end());
  std::sort(sorted_expected.begin(), sorted_expected.end());
  EXPECT_EQ(sorted_lines, sorted_expected);
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, expected, device);
}

TEST_P(DeviceRound, server_stopping_mid_round_hands_nothing_over) {
  // After 1000 reads a batched round is between two requests, after 1250
  // in the middle of one.
  for (const uint64_t served : {1000u, 1250u}) {
    SCOPED_TRACE(served);
    TestRound device(31, server_.port(), GetParam());
    round(device);
    const auto before = device.record();
    qrn_host::clear_events();
    server_.fill_distinct(5);
    server_.stop_after(served);

    const auto start = std::chrono::steady_clock::now();
    const auto lines = round(device);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    EXPECT_EQ(lines[0], "Quorlin::do_sample");
    // A server closing with batched requests unread resets the connection,
    // which can discard answers already sent: the loss then shows at the
    // round's first result, and a kept session takes that for a session
    // broken since the last round and tries once to open a new one.
    if (GetParam().keep && GetParam().read == ReadMode::Batch && lines.size() == 2) {
      EXPECT_THAT(lines[1], HasSubstr("cannot connect"));
    } else {
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_THAT(lines[1], testing::StartsWith("ReadVariant "));
      EXPECT_THAT(lines[2], HasSubstr("session lost at"));
    }
    EXPECT_TRUE(qrn_host::events().empty());
    EXPECT_EQ(device.record(), before);

    server_.stop();
    server_.start();
    round(device);
    ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
    expect_stamped(qrn_host::events()[0].bytes, expected_record(31), device);
    server_.fill_distinct(17);
    qrn_host::clear_events();
  }
}

TEST_P(DeviceRound, silent_server_costs_one_timeout_not_one_per_point) {
  TestRound device(41, server_.port(), GetParam());
  round(device);
  const auto before = device.record();
  qrn_host::clear_events();
  // Silent in the middle of a request: a batched round has several out.
  server_.silent_after(700);

  const auto start = std::chrono::steady_clock::now();
  const auto lines = round(device);
  const auto took = std::chrono::steady_clock::now() - start;

  // One request timeout (5 s) after the silence, not a second one in the close.
  EXPECT_LT(took, 8s);
  EXPECT_THAT(lines.back(), HasSubstr("session lost at"));
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_EQ(device.record(), before);

  server_.set_silent(false);
  round(device);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}

TEST_P(DeviceRound, device_destroyed_mid_round_stops_between_reads) {
  auto device = sampling_device(51, server_.port());
  server_.reset_reads();
  // Slow reads keep a batched round in progress while the device goes.
  server_.set_read_delay(50us);
  testing::internal::CaptureStdout();
  device->InitSetting(mode_settings(GetParam()));
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (server_.reads() < 200 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(1ms);
  const auto start = std::chrono::steady_clock::now();
  device.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStdout();
  EXPECT_LT(took, 1s);
  EXPECT_LT(server_.reads(), kQuorlinPointCount);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 0u);
}

// A host thread loading stored records while rounds complete must only ever
// hand over whole records: all points from the cache or all from the round.
TEST_P(DeviceRound, cache_loads_during_rounds_never_tear_a_record) {
  TestRound device(61, server_.port(), GetParam());
  const auto served = expected_record(61);
  std::vector<unsigned char> cache(7001, 0x5A);
  std::atomic<bool> done{false};
  testing::internal::CaptureStdout();
  std::thread loader([&] {
    while (!done) {
      EXPECT_EQ(device.LoadFromCache(cache.data(), 7001), 1);
      std::this_thread::sleep_for(1ms);
    }
  });
  for (int i = 0; i < 2; ++i) device.do_sample();
  done = true;
  loader.join();
  testing::internal::GetCapturedStdout();

  std::size_t from_rounds = 0;
  for (const auto& e : qrn_host::events()) {
    if (e.kind != EventKind::SendSP) continue;
    bool all_cache = true, all_served = true;
    for (std::size_t i = 0; i < kQuorlinPointCount - 1; ++i) {  // the last lies under the stamp
      const QuorlinPoint& p = quorlin_points[i];
      all_cache &= std::memcmp(e.bytes.data() + p.offset, cache.data() + p.offset, p.width) == 0;
      all_served &= std::memcmp(e.bytes.data() + p.offset, served.data() + p.offset, p.width) == 0;
    }
    EXPECT_TRUE(all_cache || all_served) << "torn record";
    from_rounds += all_served && !all_cache;
  }
  EXPECT_EQ(from_rounds, 2u);
}

namespace {

constexpr char kPassword[] = "pump-room-7Xq";

// A plant that takes only SignAndEncrypt Basic256Sha256 from trusted
// clients logging in with a user name, and clients set up against it.
class SecureRound : public PlantRound, public testing::WithParamInterface<Modes> {
 protected:
  static void SetUpTestSuite() { pki_ = new TestPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  static plant::PlantOptions secure_plant() {
    plant::PlantOptions options;
    options.security.certificate = pki_->server_cert;
    options.security.private_key = pki_->server_key;
    options.security.policies = {"Basic256Sha256"};
    options.security.sign = false;
    options.security.anonymous = false;
    options.security.users = {{"qrn", kPassword}, {"viewer", "other-secret"}};
    options.security.trusted_clients = pki_->trusted_clients;
    return options;
  }

  void SetUp() override {
    secure_ = std::make_unique<plant::PlantServer>(secure_plant());
    secure_->fill_distinct(23);
    secure_->start();
    PlantRound::SetUp();
  }
  void TearDown() override {
    PlantRound::TearDown();
    secure_->stop();
  }

  // The device's "opcua" settings; `extra` replaces or adds keys.
  static std::string settings(const std::string& extra = "",
                              const std::string& trusted = pki_->trusted_servers) {
    std::string json = std::string(R"({"opcua": {"security_mode": "SignAndEncrypt", )") +
                       R"("security_policy": "Basic256Sha256", "certificate": ")" +
                       pki_->client_cert + R"(", "private_key": ")" + pki_->client_key +
                       R"(", "trusted_servers": ")" + trusted + R"(", "user": "qrn")";
    json += extra.empty() ? std::string(R"(, "password": ")") + kPassword + "\"" : extra;
    return json + "}}";
  }

  // One round; the device's lines, and all of standard output.
  std::vector<std::string> round_capturing(TestRound& device, std::string& all) {
    testing::internal::CaptureStdout();
    device.do_sample();
    all = testing::internal::GetCapturedStdout();
    return device_lines(all);
  }

  // A round that must fail: it hands nothing over and prints the progress
  // line and one line, which is returned.
  std::string failed_round(TestRound& device) {
    const auto before = device.record();
    qrn_host::clear_events();
    std::string all;
    const auto lines = round_capturing(device, all);
    EXPECT_EQ(all.find(kPassword), std::string::npos) << all;
    EXPECT_TRUE(qrn_host::events().empty());
    EXPECT_EQ(device.record(), before);
    EXPECT_FALSE(device.data_ready());
    EXPECT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    if (lines.size() != 2u) return {};
    EXPECT_EQ(lines[0], "Quorlin::do_sample");
    return lines[1];
  }

  // The secure plant comes back on its port with the other certificate.
  void restart_with_other_certificate() {
    const uint16_t port = secure_->port();
    secure_->stop();
    plant::PlantOptions changed = secure_plant();
    changed.port = port;
    changed.security.certificate = pki_->other_cert;
    changed.security.private_key = pki_->other_key;
    secure_ = std::make_unique<plant::PlantServer>(changed);
    secure_->start();
  }

  static TestPki* pki_;
  std::unique_ptr<plant::PlantServer> secure_;
};

TestPki* SecureRound::pki_ = nullptr;

}  // namespace

// Security applies to the session, whatever the read mode.
INSTANTIATE_TEST_SUITE_P(ReadModes, SecureRound, kAllModes, modes_name);

// Only batched rounds reconnect within a round.
class SecureBatchedRound : public SecureRound {};
INSTANTIATE_TEST_SUITE_P(ReadModes, SecureBatchedRound,
                         testing::Values(Modes(ReadMode::Batch), Modes(ReadMode::Batch, true)),
                         modes_name);

TEST_P(SecureRound, signed_encrypted_round_with_user_hands_over_every_byte) {
  TestRound device(0x51C0BE7A, secure_->port(), GetParam());
  EXPECT_TRUE(device.configure(settings()).empty());
  // Read once by the settings: the round needs none of the files any more.
  const std::string moved = pki_->path("moved");
  std::filesystem::create_directory(moved);
  std::filesystem::rename(pki_->client_key, moved + "/key.der");
  std::string all;

  const auto lines = round_capturing(device, all);

  std::filesystem::rename(moved + "/key.der", pki_->client_key);
  EXPECT_EQ(lines, std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
  EXPECT_EQ(all.find(kPassword), std::string::npos);
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, served_record(0x51C0BE7A, *secure_), device);
  EXPECT_EQ(secure_->reads(), kQuorlinPointCount);
}

TEST_P(SecureRound, refused_secure_connections_hand_nothing_over_and_say_why) {
  TestRound wrong_password(71, secure_->port(), GetParam());
  wrong_password.configure(settings(R"(, "password": "pump-room-7Xr")"));
  EXPECT_THAT(failed_round(wrong_password),
              testing::AllOf(HasSubstr("device 71: no secure session with opc.tcp://127.0.0.1:"),
                             HasSubstr("(SignAndEncrypt Basic256Sha256, user \"qrn\")"),
                             HasSubstr("BadUserAccessDenied"),
                             HasSubstr("refused the user name or password")));

  TestRound untrusted_server(72, secure_->port(), GetParam());
  untrusted_server.configure(settings("", pki_->untrusted_servers));
  EXPECT_THAT(failed_round(untrusted_server),
              testing::AllOf(HasSubstr("device 72: no secure session"),
                             HasSubstr("BadCertificateUntrusted"),
                             HasSubstr("not in trusted_servers")));

  // The plain plant of the base fixture offers None only.
  TestRound none_only(73, server_.port(), GetParam());
  none_only.configure(settings());
  EXPECT_THAT(failed_round(none_only),
              testing::AllOf(HasSubstr("device 73: no secure session"),
                             HasSubstr("offers no endpoint with this security mode")));

  // The plant does not trust this client's certificate.
  TestRound untrusted_client(74, secure_->port(), GetParam());
  untrusted_client.configure(R"({"opcua": {"security_mode": "SignAndEncrypt", "certificate": ")" +
                             pki_->other_cert + R"(", "private_key": ")" + pki_->other_key +
                             R"(", "trusted_servers": ")" + pki_->trusted_servers +
                             R"(", "user": "qrn", "password": ")" + kPassword + "\"}}");
  EXPECT_THAT(failed_round(untrusted_client),
              testing::AllOf(HasSubstr("device 74: no secure session"),
                             HasSubstr("(SignAndEncrypt, user \"qrn\")"),
                             HasSubstr("BadSecurityChecksFailed")));

  // Anonymous log-in, which the plant refuses.
  TestRound anonymous(75, secure_->port(), GetParam());
  anonymous.configure(R"({"opcua": {"security_mode": "SignAndEncrypt", "certificate": ")" +
                      pki_->client_cert + R"(", "private_key": ")" + pki_->client_key +
                      R"(", "trusted_servers": ")" + pki_->trusted_servers + "\"}}");
  EXPECT_THAT(failed_round(anonymous),
              testing::AllOf(HasSubstr("(SignAndEncrypt, anonymous)"),
                             HasSubstr("offers no endpoint with this security mode")));
  EXPECT_EQ(secure_->reads(), 0u);
}

// A kept secure session whose server comes back with a certificate the
// device does not trust is not re-established: the round says why.
class SecureKeptRound : public SecureRound {};
INSTANTIATE_TEST_SUITE_P(ReadModes, SecureKeptRound,
                         testing::Values(Modes(ReadMode::Single, true), Modes(ReadMode::Batch, true)),
                         modes_name);

TEST_P(SecureKeptRound, refuses_a_server_whose_certificate_changed) {
  TestRound device(79, secure_->port(), GetParam());
  device.configure(settings());
  std::string all;
  EXPECT_EQ(round_capturing(device, all), std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
  restart_with_other_certificate();
  qrn_host::clear_events();
  const auto lines = round_capturing(device, all);
  ASSERT_EQ(lines.size(), 2u) << all;
  EXPECT_THAT(lines[1], testing::AllOf(HasSubstr("device 79: no secure session"),
                                       HasSubstr("BadCertificateUntrusted")));
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_EQ(secure_->reads(), 0u);
}

// Later rounds connect with the endpoint the first one chose: one connection
// a round (none on a kept session). A server back with another certificate
// the device trusts is still read in that round, after one failed connect.
TEST_P(SecureRound, later_rounds_reuse_the_endpoint_and_follow_a_new_certificate) {
  const std::string both = pki_->path("both-servers");
  std::filesystem::create_directories(both);
  const auto overwrite = std::filesystem::copy_options::overwrite_existing;
  std::filesystem::copy_file(pki_->server_cert, both + "/plant.der", overwrite);
  std::filesystem::copy_file(pki_->other_cert, both + "/other.der", overwrite);
  plant::RelayOptions through;
  through.target_port = secure_->port();
  plant::Relay relay(through);
  relay.start();
  TestRound device(81, relay.port(), GetParam());
  EXPECT_TRUE(device.configure(settings("", both)).empty());
  std::string all;
  round_capturing(device, all);
  for (int i = 0; i < 2; ++i) {
    const uint64_t before = relay.accepted();
    round_capturing(device, all);
    EXPECT_EQ(relay.accepted() - before, GetParam().keep ? 0u : 1u) << all;
  }
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 3u);

  restart_with_other_certificate();
  qrn_host::clear_events();
  EXPECT_EQ(round_capturing(device, all),
            std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}))
      << all;
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  relay.stop();
}

TEST_P(SecureRound, settings_error_holds_the_device_until_corrected) {
  TestRound device(76, secure_->port(), GetParam());
  const auto said = device.configure(settings(R"(, "password": 5)"));
  EXPECT_EQ(said, std::vector<std::string>(
                      {"InitSetting 76 opcua.password: not a text value; the device reads "
                       "nothing until this is corrected"}));
  for (int i = 0; i < 2; ++i) {
    std::string all;
    EXPECT_EQ(round_capturing(device, all), std::vector<std::string>{"Quorlin::do_sample"});
  }
  EXPECT_TRUE(qrn_host::events().empty());

  EXPECT_TRUE(device.configure(settings()).empty());
  std::string all;
  round_capturing(device, all);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}

// A batched round whose channel the plant closes on a large request opens
// the next one, on the same client, just as securely.
TEST_P(SecureBatchedRound, reconnect_within_a_batched_round_keeps_its_security) {
  plant::PlantOptions options = secure_plant();
  options.close_above_request_bytes = 16384;
  plant::PlantServer closing(options);
  closing.fill_distinct(29);
  closing.start();
  TestRound device(78, closing.port(), ReadMode::Batch);
  EXPECT_TRUE(device.configure(settings()).empty());
  std::string all;

  const auto lines = round_capturing(device, all);

  ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
  EXPECT_THAT(lines[1], testing::StartsWith("Quorlin::do_sample device 78 reads at most "));
  EXPECT_EQ(closing.closed_on_size(), 1u);
  EXPECT_EQ(all.find(kPassword), std::string::npos);
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, served_record(78, closing), device);
}

// A plant taking passwords unencrypted (None endpoint, Sign endpoints whose
// token policy names None), watched on the wire: a password goes out only
// encrypted, or where the device's settings knowingly allow it.
TEST_P(SecureRound, password_leaves_only_encrypted_unless_allowed) {
  plant::PlantOptions options = secure_plant();
  options.security.policies = {"None", "Basic256Sha256"};
  options.security.sign = true;
  options.security.trusted_clients.clear();
  options.security.password_in_clear = true;
  plant::PlantServer clear_plant(options);
  clear_plant.fill_distinct(31);
  clear_plant.start();
  // Its None endpoint encrypts the password with the server's certificate.
  options.security.password_in_clear = false;
  plant::PlantServer encrypting_plant(options);
  encrypting_plant.fill_distinct(31);
  encrypting_plant.start();
  const std::string key = R"("certificate": ")" + pki_->client_cert +
                          R"(", "private_key": ")" + pki_->client_key + R"(", )";
  const std::string identity =
      key + R"("trusted_servers": ")" + pki_->trusted_servers + R"(", )";
  const std::string login = std::string(R"("user": "qrn", "password": ")") + kPassword + R"(")";
  const std::string in_clear = "the server would receive the password unencrypted";
  const std::string untrusted = "which would encrypt the password, is not in trusted_servers";
  struct Case {
    const char* name;
    std::string opcua;
    bool logs_in, on_wire;
    std::string refusal = {};
    bool encrypting = false;
  };
  const Case cases[] = {
      {"None channel", login, false, false, in_clear},
      {"None channel, allowed", login + R"(, "allow_password_in_clear": true)", true, true},
      {"Sign with a None token policy", R"("security_mode": "Sign", )" + identity + login, false,
       false, in_clear},
      {"Sign, allowed",
       R"("security_mode": "Sign", )" + identity + login + R"(, "allow_password_in_clear": true)",
       true, true},
      {"SignAndEncrypt", R"("security_mode": "SignAndEncrypt", )" + identity + login, true, false},
      {"None channel, encrypted to a trusted server", identity + login, true, false, {}, true},
      {"None channel, encrypted to an untrusted server",
       key + R"("trusted_servers": ")" + pki_->untrusted_servers + R"(", )" + login, false, false,
       untrusted, true},
      {"None channel, encrypted, no trusted servers", key + login, false, false, untrusted, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plant::PlantServer& plant = c.encrypting ? encrypting_plant : clear_plant;
    plant::RelayOptions watch;
    watch.target_port = plant.port();
    watch.capture = true;
    plant::Relay relay(watch);
    relay.start();
    TestRound device(79, relay.port(), GetParam());
    const auto said = device.configure("{\"opcua\": {" + c.opcua + "}}");
    const bool allowed = c.opcua.find("allow_password_in_clear") != std::string::npos;
    EXPECT_EQ(said.size(), allowed ? 1u : 0u) << testing::PrintToString(said);
    plant.reset_reads();
    qrn_host::clear_events();
    if (c.logs_in) {
      // The second round connects with the endpoint and token policy the
      // first one chose, and must not send the password differently.
      std::string all;
      round_capturing(device, all);
      round_capturing(device, all);
      EXPECT_EQ(qrn_host::count(EventKind::SendSP), 2u) << all;
      EXPECT_EQ(plant.reads(), 2 * kQuorlinPointCount);
    } else {
      EXPECT_THAT(failed_round(device),
                  testing::AllOf(HasSubstr("device 79: "), HasSubstr(c.refusal)));
      EXPECT_EQ(plant.reads(), 0u);
    }
    relay.stop();
    EXPECT_EQ(relay.client_bytes().find(kPassword) != std::string::npos, c.on_wire);
  }
}

// The whole path through InitSetting: the first round already connects securely.
TEST_P(SecureRound, init_setting_applies_security_before_the_first_round) {
  auto device = sampling_device(77, secure_->port());
  Json::Value settings_tree;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const std::string text = settings();
  ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &settings_tree, nullptr));
  settings_tree["appSetting"] = mode_settings(GetParam())["appSetting"];
  testing::internal::CaptureStdout();
  device->InitSetting(settings_tree);
  // Until the round has saved its history: its last call on the device.
  const bool handed_over = history_saved();
  device.reset();
  const std::string all = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(handed_over);
  EXPECT_EQ(all.find(kPassword), std::string::npos);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}

// What a controller sends with a value decides whether the field takes it:
// every status but Good prints the failed line; only Bad keeps the old bytes.
TEST_P(DeviceRound, value_statuses_decide_whether_the_field_is_written) {
  TestRound device(71, server_.port(), GetParam());
  round(device);
  const auto first = device.record();
  server_.fill_distinct(71);
  struct Case {
    const char* name;
    uint32_t status;
    bool written;
    uint32_t reported;  // in the round report
    plant::Fault fault = plant::Fault::None;
  };
  const Case cases[] = {
      {"t|D3G1_AI1_1_H_Alarm", 0x00004000u, true, 0x00004000u},                      // Good, info bits
      {"t|D3G3_M11_供油压力", UA_STATUSCODE_GOODLOCALOVERRIDE, true,
       UA_STATUSCODE_GOODLOCALOVERRIDE},                                               // Good, override
      {"t|D3G3_M41_HZ_PV", UA_STATUSCODE_UNCERTAIN, true, UA_STATUSCODE_UNCERTAIN},     // 2 bytes
      {"t|D3G4_M211_功率", UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE, true,
       UA_STATUSCODE_UNCERTAINLASTUSABLEVALUE},
      {"t|D3_DBR_7", UA_STATUSCODE_BADSENSORFAILURE, false, UA_STATUSCODE_BADSENSORFAILURE},
      {"t|D3G5_V9_status", UA_STATUSCODE_BADOUTOFSERVICE, false, UA_STATUSCODE_BADOUTOFSERVICE},
      {"t|D3XLG1_T3", UA_STATUSCODE_GOOD, true, UA_STATUSCODE_GOOD},
      {"t|D3_SB1", UA_STATUSCODE_GOOD, false, UA_STATUSCODE_BADTYPEMISMATCH, plant::Fault::String},
      {"t|D3_SB2", UA_STATUSCODE_BADNODEIDUNKNOWN, false, UA_STATUSCODE_BADNODEIDUNKNOWN,
       plant::Fault::Missing},
  };
  device.report_under(qrn_report::kDefaultDataId);
  // Served as another type than its width's, with the same bytes.
  const std::size_t retyped = index_of("t|D3G3_M41_功率");
  server_.set_type(retyped, plant::ValueType::UInt32);
  auto expected = expected_record(71);
  std::map<std::size_t, std::string> failed;  // lines come in table order
  for (const Case& c : cases) {
    const std::size_t i = index_of(c.name);
    if (c.fault != plant::Fault::None) server_.set_fault(i, c.fault);
    else server_.set_status(i, c.status);
    const QuorlinPoint& p = quorlin_points[i];
    if (!c.written) std::memcpy(expected.data() + p.offset, first.data() + p.offset, p.width);
    if (c.status != UA_STATUSCODE_GOOD) failed[i] = std::string("ReadVariant ") + c.name + " failed";
    if (c.fault == plant::Fault::String)
      failed[i] = std::string("ReadVariant ") + c.name + " returned no numeric value";
  }
  std::vector<std::string> expected_lines{"Quorlin::do_sample"};
  for (const auto& f : failed) expected_lines.push_back(f.second);
  expected_lines.push_back("rvSize is 0");
  qrn_host::clear_events();

  EXPECT_EQ(round(device), expected_lines);
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 2u);
  const auto record = qrn_host::events()[0].bytes;
  expect_stamped(record, expected, device);

  // The report: every point's status; the record is the same with reports on.
  const qrn_report::RoundReport report = sent_report(qrn_report::kDefaultDataId);
  ASSERT_EQ(report.statuses.size(), kQuorlinPointCount);
  std::size_t uncertain = 0, bad = 0;
  // Each field's type is the value it holds: the first round's for those
  // this one did not write (reports were off then). 1 Boolean, 4 Int16, 10 Float.
  ASSERT_EQ(report.types.size(), kQuorlinPointCount);
  for (const Case& c : cases) {
    EXPECT_EQ(report.statuses[index_of(c.name)], c.reported) << c.name;
    const char by_width = "\0\1\4\0\12"[quorlin_points[index_of(c.name)].width];
    EXPECT_EQ(report.types[index_of(c.name)], by_width) << c.name;
    uncertain += qrn_report::is_uncertain(c.reported);
    bad += qrn_report::is_bad(c.reported);
  }
  EXPECT_EQ(report.types[retyped], qrn_report::builtin::UInt32);
  EXPECT_EQ(report.outcome, UA_STATUSCODE_GOOD);
  EXPECT_EQ(report.device_id, 71u);
  EXPECT_EQ(0, std::memcmp(report.stamp, record.data() + 6994, 7)) << "the record's stamp";
  EXPECT_EQ(report.read_mode, GetParam().read == ReadMode::Batch ? 1 : 0);
  EXPECT_EQ(report.session_mode, GetParam().keep ? 1 : 0);
  EXPECT_EQ(report.security_mode, UA_MESSAGESECURITYMODE_NONE);
  EXPECT_EQ(report.uncertain, uncertain);
  EXPECT_EQ(report.bad, bad);
  EXPECT_EQ(report.good + report.uncertain + report.bad, kQuorlinPointCount);
}

// Every failed round attempt is reported too, with why it failed; points the
// round never reached carry that outcome.
TEST_P(DeviceRound, failed_rounds_report_their_outcome) {
  struct Case {
    const char* what;
    std::function<void(TestRound&)> arrange;
    uint32_t outcome;  // 0: any Bad status but BadNoData
    std::size_t good;  // the first `good` points are read Good
    uint32_t last;     // the last point's status; 0: the outcome
  };
  const uint16_t port = server_.port();
  const Case cases[] = {
      {"refused connect", [&](TestRound&) { server_.stop(); }, 0, 0, 0},
      {"session lost mid-round", [&](TestRound&) { server_.stop_after(1000); }, 0, 1000, 0},
      {"all points Bad",
       [&](TestRound&) {
         for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
           server_.set_status(i, UA_STATUSCODE_BADDEVICEFAILURE);
       },
       UA_STATUSCODE_BADNODATA, 0, UA_STATUSCODE_BADDEVICEFAILURE},
      {"held settings error",
       [&](TestRound& d) { d.configure(R"({"opcua": {"security_mode": 5}})"); },
       UA_STATUSCODE_BADCONFIGURATIONERROR, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRound device(81, port, GetParam());
    device.report_under(6000);
    c.arrange(device);
    qrn_host::clear_events();
    round(device);
    const qrn_report::RoundReport report = sent_report(6000);
    EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u) << "the report alone";
    if (c.outcome != 0) {
      EXPECT_EQ(report.outcome, c.outcome);
    } else {
      EXPECT_TRUE(qrn_report::is_bad(report.outcome));
      EXPECT_NE(report.outcome, UA_STATUSCODE_BADNODATA);
    }
    ASSERT_EQ(report.statuses.size(), kQuorlinPointCount);
    EXPECT_EQ(report.statuses.back(), c.last != 0 ? c.last : report.outcome);
    // The reset of a server going down with batched requests unread can
    // discard answers already sent: fewer points may have arrived, never more.
    const std::size_t good = GetParam().read == ReadMode::Batch ? report.good : c.good;
    EXPECT_LE(report.good, c.good);
    EXPECT_EQ(report.good, good);
    EXPECT_EQ(report.bad, kQuorlinPointCount - good);
    if (good > 0) {
      EXPECT_EQ(report.statuses[good - 1], UA_STATUSCODE_GOOD);
    }
    if (good < kQuorlinPointCount) {
      EXPECT_TRUE(qrn_report::is_bad(report.statuses[good]));
    }
    // The report's stamp is the local time of the round: a valid date.
    EXPECT_GE(report.stamp[2], 1);
    EXPECT_LE(report.stamp[2], 12);
    server_.stop();
    server_.clear_faults();
    server_.start();
  }
}

TEST_P(DeviceRound, a_controller_failing_every_point_hands_nothing_over) {
  TestRound device(72, server_.port(), GetParam());
  round(device);
  const auto before = device.record();
  qrn_host::clear_events();
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
    server_.set_status(i, UA_STATUSCODE_BADDEVICEFAILURE);

  const auto lines = round(device);

  ASSERT_EQ(lines.size(), kQuorlinPointCount + 2);
  EXPECT_EQ(lines[1], "ReadVariant t|D3G1_AI1_1_H_Alarm failed");
  EXPECT_EQ(lines.back(), "Quorlin::do_sample no point could be read");
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_EQ(device.record(), before);
}

// A cache from another device is handed over as loaded, but every round
// after it carries this device's id.
TEST_P(DeviceRound, rounds_write_the_devices_own_id_over_a_loaded_cache) {
  TestRound device(0x01020304, server_.port(), GetParam());
  std::vector<unsigned char> cache(7001, 0x11);
  std::memcpy(cache.data(), "\xEF\xBE\xAD\xDE", 4);
  testing::internal::CaptureStdout();
  ASSERT_EQ(device.LoadFromCache(cache.data(), 7001), 1);
  testing::internal::GetCapturedStdout();
  round(device);
  const auto events = qrn_host::events();
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 2u);
  EXPECT_EQ(std::vector<unsigned char>(events[0].bytes.begin(), events[0].bytes.begin() + 4),
            std::vector<unsigned char>({0xEF, 0xBE, 0xAD, 0xDE}));
  const auto& sent = events[4].bytes;
  EXPECT_EQ(std::vector<unsigned char>(sent.begin(), sent.begin() + 4),
            std::vector<unsigned char>({0x04, 0x03, 0x02, 0x01}));
}

// A kept session serves round after round (one session on the server, one
// connection); one that broke between rounds, by a restart or closed by the
// server, is replaced within the round, which then reads as a new session's would.
// Cases of kept sessions alone, in both read modes.
class KeptRound : public DeviceRound {};
INSTANTIATE_TEST_SUITE_P(ReadModes, KeptRound,
                         testing::Values(Modes(ReadMode::Single, true), Modes(ReadMode::Batch, true)),
                         modes_name);

TEST_P(KeptRound, one_session_serves_many_rounds_and_a_broken_one_is_replaced_in_the_round) {
  TestRound device(81, server_.port(), GetParam());
  const std::vector<std::string> quiet{"Quorlin::do_sample", "rvSize is 0"};
  const uint64_t sessions_before = server_.sessions();
  const auto expect_round = [&](uint64_t sessions, const char* step) {
    SCOPED_TRACE(step);
    qrn_host::clear_events();
    EXPECT_EQ(round(device), quiet);
    ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
    expect_stamped(qrn_host::events()[0].bytes, expected_record(81), device);
    EXPECT_EQ(server_.sessions() - sessions_before, sessions);
    EXPECT_EQ(established_to(server_.port()), 1);
  };
  for (int i = 0; i < 3; ++i) expect_round(1, "kept");
  server_.stop();
  server_.fill_distinct(3);
  server_.start();
  expect_round(2, "after a restart");
  server_.close_sessions();
  server_.fill_distinct(4);
  expect_round(3, "after the server closed it");
}

// Connections cut between rounds leave no session behind on the server: each
// broken kept session is closed there before its replacement opens.
TEST_P(KeptRound, cut_connections_leave_one_session_per_device_on_the_server) {
  plant::RelayOptions through;
  through.target_port = server_.port();
  plant::Relay relay(through);
  relay.start();
  std::vector<std::unique_ptr<TestRound>> devices;
  for (uint32_t id = 0; id < 3; ++id)
    devices.push_back(std::make_unique<TestRound>(84 + id, relay.port(), GetParam()));
  for (int cut = 0; cut <= 4; ++cut) {
    if (cut > 0) {
      relay.stop();  // closes every connection
      relay.start();
    }
    for (auto& device : devices) round(*device);
  }
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 15u);
  const auto give_up = std::chrono::steady_clock::now() + 2s;
  while (server_.open_sessions() != devices.size() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(server_.open_sessions(), devices.size());
  devices.clear();
  relay.stop();
}

// A server that refuses RegisterNodes is read by the string ids, with the
// same records and lines.
TEST_F(BatchedRound, kept_session_without_registered_nodes_reads_by_string_ids) {
  plant::PlantOptions options;
  options.refuse_register_nodes = true;
  plant::PlantServer refusing(options);
  refusing.fill_distinct(17);
  refusing.start();
  TestRound device(82, refusing.port(), Modes(ReadMode::Batch, true));
  for (int i = 0; i < 2; ++i) {
    qrn_host::clear_events();
    EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
    ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
    expect_stamped(qrn_host::events()[0].bytes, served_record(82, refusing), device);
  }
  EXPECT_EQ(refusing.sessions(), 1u);
}

// A device stopped between rounds closes its kept session at once.
TEST_P(KeptRound, stopping_a_device_closes_its_idle_session_promptly) {
  auto device = sampling_device(83, server_.port());
  testing::internal::CaptureStdout();
  device->InitSetting(mode_settings(GetParam()));
  const bool handed_over = history_saved();
  const int open_while_idle = established_to(server_.port());
  const auto start = std::chrono::steady_clock::now();
  device.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(handed_over);
  EXPECT_EQ(open_while_idle, 1);
  EXPECT_LT(took, 1s);
  EXPECT_EQ(established_to(server_.port()), 0);
  // Closed by CloseSession: a dropped channel would leave the session behind.
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  while (server_.open_sessions() != 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(server_.open_sessions(), 0u);
}

// A host service that throws ends the round, never with the session left open.
TEST_P(DeviceRound, a_throwing_host_leaves_no_session_open) {
  TestRound device(73, server_.port(), GetParam());
  int refused = 0;
  qrn_host::set_hook([&refused](const qrn_host::Event& e) {
    if (e.kind != EventKind::SendSP) return;
    ++refused;
    throw std::runtime_error("host refuses the record");
  });
  testing::internal::CaptureStdout();
  for (int i = 0; i < 20; ++i) EXPECT_THROW(device.do_sample(), std::runtime_error);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(refused, 20);
  EXPECT_LE(established_to(server_.port()), 1);
}

TEST_P(DeviceRound, controller_addresses_ipv6_literals_and_refused_splices) {
  struct Url {
    const char* address;
    const char* url;
  };
  for (const Url& u : {Url{"::1", "opc.tcp://[::1]:4840"}, Url{"fd00::5", "opc.tcp://[fd00::5]:4840"},
                       Url{"10.0.0.5", "opc.tcp://10.0.0.5:4840"},
                       Url{"plant-controller.example", "opc.tcp://plant-controller.example:4840"}}) {
    EXPECT_TRUE(is_valid_address(u.address)) << u.address;
    EXPECT_EQ(endpoint_url(u.address, 4840), u.url);
  }
  for (const char* bad : {"127.0.0.1:48400/x", "plant controller", "host\nforged line", "[::1]",
                          "10.0.0.300", "a..b", "-plant", "fe80::1%eth0", "::1/128"})
    EXPECT_FALSE(is_valid_address(bad)) << bad;

  plant::PlantOptions v6;
  v6.address = "::1";
  plant::PlantServer server6(v6);
  server6.fill_distinct(17);
  server6.start();
  TestRound device(74, server6.port(), GetParam(), "::1");
  EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, expected_record(74), device);
  server6.stop();

  // A port and path spliced into the address must not reach any server.
  qrn_host::clear_events();
  server_.reset_reads();
  TestRound spliced(75, server_.port(), GetParam(),
                      "127.0.0.1:" + std::to_string(server_.port()) + "/x");
  const auto lines = round(spliced);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Quorlin::do_sample device 75: address \"127.0.0.1:" +
                          std::to_string(server_.port()) +
                          "/x\" is not a host name, IPv4 or IPv6 address; not connecting");
  EXPECT_EQ(round(spliced), std::vector<std::string>{"Quorlin::do_sample"}) << "said once";
  TestRound forged(76, server_.port(), GetParam(), "x\nrvSize is 0");
  EXPECT_THAT(round(forged).at(1), HasSubstr("address \"x\\x0arvSize is 0\""));
  EXPECT_EQ(server_.reads(), 0u);
  EXPECT_TRUE(qrn_host::events().empty());
}

class SamplingRoundMemory : public testing::TestWithParam<ReadMode> {};
INSTANTIATE_TEST_SUITE_P(ReadModes, SamplingRoundMemory,
                         testing::Values(ReadMode::Single, ReadMode::Batch), mode_name);

// A reply far beyond anything our reads need fails its point, not the host:
// the client drops a channel whose message passes its bound. The server runs
// in a child process so that only the client's memory is measured here.
TEST_P(SamplingRoundMemory, a_huge_value_does_not_grow_the_host) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork with threads is not supported under ThreadSanitizer";
#endif
  int ports[2];
  ASSERT_EQ(pipe(ports), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ports[0]);
    plant::PlantServer server;
    server.fill_distinct(3);
    server.set_fault(*plant::PlantServer::index_of("t|D3_DBR_1"), plant::Fault::Huge);
    server.start();
    const uint16_t port = server.port();
    if (write(ports[1], &port, sizeof port) != sizeof port) _exit(1);
    for (;;) pause();  // serves until the parent kills it
  }
  close(ports[1]);
  uint16_t port = 0;
  ASSERT_EQ(read(ports[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  qrn_host::clear_events();
  TestRound device(77, port, GetParam());
  const long before = peak_rss_kib();
  testing::internal::CaptureStdout();
  device.do_sample();
  const auto lines = device_lines(testing::internal::GetCapturedStdout());
  const long grown = peak_rss_kib() - before;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ports[0]);

#if defined(__SANITIZE_ADDRESS__)
  // Freed buffers stay in the sanitizer's quarantine (256 MiB by default):
  // every piece of a partial reply the client grew and dropped (per batched
  // retry) counts here, up to that cap. The plain build checks the bound.
  const long bound_kib = 320 * 1024;
#else
  const long bound_kib = 32 * 1024;
#endif
  EXPECT_LT(grown, bound_kib) << "KiB";
  // The point fails alone; the round reconnects and reads the others.
  EXPECT_EQ(lines, std::vector<std::string>({"Quorlin::do_sample", "ReadVariant t|D3_DBR_1 failed",
                                             "rvSize is 0"}));
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}

// Destroying a device returns promptly whatever its round is waiting for.
TEST_P(DeviceRound, destroying_a_device_waiting_on_a_silent_server_returns_promptly) {
  for (const bool while_reading : {false, true}) {
    SCOPED_TRACE(while_reading ? "reading" : "connecting");
    server_.set_silent(false);
    server_.reset_reads();
    if (!while_reading) server_.set_silent(true);
    // Silent in the middle of a request: a batched round has several out.
    if (while_reading) server_.silent_after(200);
    auto device = sampling_device(78, server_.port());
    testing::internal::CaptureStdout();
    device->InitSetting(mode_settings(GetParam()));
    std::this_thread::sleep_for(300ms);  // the round is now waiting for an answer
    const auto start = std::chrono::steady_clock::now();
    device.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStdout();
    EXPECT_LT(took, 1s);
    EXPECT_EQ(qrn_host::count(EventKind::SendSP), 0u);
  }
  server_.set_silent(false);
}

// Both modes meet every kind of point result alike: the same record, and the
// same lines in the same order (overlapping fields resolve the same way). A
// value too large for any message fails its point alone, up to the round's
// reconnect bound; one more loses the session in both.
TEST_F(BatchedRound, every_point_result_gives_the_same_record_and_lines_as_single_reads) {
  const auto at = [](const char* name) { return index_of(name); };
  server_.set_fault(at("t|D3G1_AI1_1_H_Alarm"), plant::Fault::Missing);
  server_.set_fault(at("t|D3G3_M11_供油压力"), plant::Fault::String);
  server_.set_fault(at("t|D3G4_M211_功率"), plant::Fault::Array);
  server_.set_fault(at("t|D3_SB1"), plant::Fault::Empty);
  server_.set_fault(at("t|D3_DBR_1"), plant::Fault::Double);
  server_.set_status(at("t|D3G1_AI1_1_HH_Alarm"), UA_STATUSCODE_UNCERTAININITIALVALUE);
  server_.set_status(at("t|D3G1_AI1_1_L_Alarm"), UA_STATUSCODE_BADSENSORFAILURE);
  server_.set_status(at("t|D3G1_AI1_1_LL_Alarm"), UA_STATUSCODE_GOOD | 0x400u);  // info bits
  // Of the overlapping pair, the later point fails: the earlier one's bytes stay.
  server_.set_fault(at("t|D3G3_M41_HZ_PV"), plant::Fault::Missing);

  const char* const oversized[] = {"t|D3G3_M51_HZ_PV1", "t|D3G3_M11_冷凝器出水温度",
                                   "t|D3G3_M211_HZ_PV1", "t|D3G3_M212_HZ_PV1"};
  for (const std::size_t too_large : {0u, 1u, 4u}) {
    SCOPED_TRACE(std::to_string(too_large) + " oversized values");
    for (std::size_t k = 0; k < too_large; ++k)
      server_.set_fault(at(oversized[k]), plant::Fault::Oversized);
    std::vector<std::vector<unsigned char>> records[2];
    std::vector<std::string> lines[2];
    for (const ReadMode mode : {ReadMode::Single, ReadMode::Batch}) {
      const int m = static_cast<int>(mode);
      TestRound device(81, server_.port(), mode);
      qrn_host::clear_events();
      lines[m] = round(device);
      for (const auto& e : qrn_host::events())
        if (e.kind == EventKind::SendSP) records[m].push_back({e.bytes.begin(), e.bytes.begin() + 6994});
    }
    EXPECT_EQ(records[1], records[0]);
    EXPECT_EQ(lines[1], lines[0]);
    EXPECT_THAT(lines[0], testing::Contains("ReadVariant t|D3G1_AI1_1_L_Alarm failed"));
    if (too_large > kMaxRecoveriesPerRound) {
      EXPECT_TRUE(records[0].empty());
      EXPECT_THAT(lines[0].back(),
                  testing::StartsWith(std::string("Quorlin::do_sample session lost at ") +
                                      oversized[kMaxRecoveriesPerRound]));
      continue;
    }
    EXPECT_EQ(lines[0].size(), 10u + too_large) << testing::PrintToString(lines[0]);
    ASSERT_EQ(records[0].size(), 1u);
    for (std::size_t k = 0; k < too_large; ++k) {
      EXPECT_THAT(lines[0], testing::Contains(std::string("ReadVariant ") + oversized[k] + " failed"));
      const QuorlinPoint& p = quorlin_points[at(oversized[k])];
      EXPECT_EQ(std::vector<unsigned char>(records[0][0].begin() + p.offset,
                                           records[0][0].begin() + p.offset + p.width),
                std::vector<unsigned char>(p.width, 0))
          << oversized[k] << " keeps the new device's bytes";
    }
  }
}

// A kept session that reconnected within a round to get past an oversized
// point registers the ids again on the new session: with a server whose
// registered ids are its sessions', every round reads by them.
TEST_F(BatchedRound, a_reconnect_within_a_kept_round_registers_the_ids_again) {
  const char* const oversized = "t|D3G3_M211_HZ_PV1";
  server_.set_fault(index_of(oversized), plant::Fault::Oversized);
  plant::RelayOptions scoped;
  scoped.target_port = server_.port();
  scoped.scope_registered_ids = true;
  plant::Relay relay(scoped);
  relay.start();
  TestRound device(93, relay.port());
  // One node per request: the oversized point's request fails alone.
  Json::Value settings = mode_settings(Modes(ReadMode::Batch, true));
  settings["appSetting"]["max_nodes_per_read"] = 1;
  device.apply_read_settings(settings);
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE(r);
    const uint64_t before = relay.registered_reads();
    EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample",
                                                      std::string("ReadVariant ") + oversized +
                                                          " failed",
                                                      "rvSize is 0"}));
    EXPECT_GT(relay.registered_reads(), before);
  }
  relay.stop();
}

// Servers that take fewer nodes per request than the device asks for: the
// round gives what single reads give, and the smaller size is said once.
struct Limit {
  const char* name;
  plant::PlantOptions options;
  const char* reason;  // in the line about the size
};

class LimitedServer : public testing::TestWithParam<Limit> {};

plant::PlantOptions limited(uint32_t nodes, bool hidden, uint32_t message, uint32_t closing) {
  plant::PlantOptions o;
  o.max_nodes_per_read = nodes;
  o.hide_max_nodes_per_read = hidden;
  o.max_message_bytes = message;
  o.close_above_request_bytes = closing;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LimitedServer,
    testing::Values(
        Limit{"nodes_per_read", limited(100, false, 0, 0),
              " 100 nodes per request (the server's MaxNodesPerRead)"},
        // Refused with BadTooManyOperations: 500, 250 and 125 nodes.
        Limit{"nodes_per_read_unannounced", limited(100, true, 0, 0),
              " 62 nodes per request (BadTooManyOperations at 500)"},
        // The server drops the channel on a request above its message size.
        Limit{"message_size", limited(0, false, 8192, 0), " (BadSecureChannelClosed at 500)"},
        Limit{"closes_channel", limited(0, false, 0, 16384), " at 500)"}),
    [](const testing::TestParamInfo<Limit>& info) { return std::string(info.param.name); });

TEST_P(LimitedServer, batched_round_matches_single_reads_and_says_the_size_once) {
  plant::PlantServer server(GetParam().options);
  server.fill_distinct(23);
  server.start();
  qrn_host::clear_events();
  TestRound single(91, server.port(), ReadMode::Single);
  TestRound batched(91, server.port(), ReadMode::Batch);
  auto run = [](TestRound& device) {
    testing::internal::CaptureStdout();
    device.do_sample();
    return device_lines(testing::internal::GetCapturedStdout());
  };

  const auto single_lines = run(single);
  const auto first = run(batched);
  const auto second = run(batched);

  EXPECT_EQ(single_lines, std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));
  ASSERT_EQ(first.size(), 3u) << testing::PrintToString(first);
  EXPECT_THAT(first[1], testing::StartsWith("Quorlin::do_sample device 91 reads at most "));
  EXPECT_THAT(first[1], testing::EndsWith(GetParam().reason));
  EXPECT_EQ(second, single_lines) << "the size is remembered";
  if (GetParam().options.close_above_request_bytes != 0) {
    EXPECT_EQ(server.closed_on_size(), 1u);
  }

  const auto events = qrn_host::events();
  std::vector<std::vector<unsigned char>> sent;
  for (const auto& e : events)
    if (e.kind == EventKind::SendSP) sent.push_back({e.bytes.begin(), e.bytes.begin() + 6994});
  ASSERT_EQ(sent.size(), 3u);
  auto expected = served_record(91, server);
  expected.resize(6994);
  for (const auto& record : sent) EXPECT_EQ(record, expected);
}

// A kept session asks for the server's limit once; a server back with a
// smaller one is asked again on the new session, not refused into it.
TEST_F(BatchedRound, a_new_kept_session_asks_for_the_limit_again) {
  plant::PlantOptions options = limited(100, false, 0, 0);
  auto limited_server = std::make_unique<plant::PlantServer>(options);
  limited_server->start();
  TestRound device(92, limited_server->port(), Modes(ReadMode::Batch, true));
  const std::string said = "Quorlin::do_sample device 92 reads at most ";
  const std::string why = " nodes per request (the server's MaxNodesPerRead)";
  EXPECT_THAT(round(device), testing::Contains(said + "100" + why));
  EXPECT_EQ(round(device), std::vector<std::string>({"Quorlin::do_sample", "rvSize is 0"}));

  options.port = limited_server->port();
  options.max_nodes_per_read = 50;
  limited_server->stop();
  limited_server = std::make_unique<plant::PlantServer>(options);
  limited_server->fill_distinct(23);
  limited_server->start();
  qrn_host::clear_events();
  EXPECT_THAT(round(device), testing::Contains(said + "50" + why));
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, served_record(92, *limited_server), device);
}

// Peers that are no OPC UA server. A round against one hands nothing over,
// opens at most a connect's connections and says a bounded number of lines,
// and the next round runs; a device waiting on one is destroyed promptly.
struct HostilePeer {
  const char* name;
  plant::RelayMode mode;
  int rounds;  // run on the test's thread (a holding peer costs a timeout each)
};

class HostilePeerRound : public testing::TestWithParam<HostilePeer> {};

INSTANTIATE_TEST_SUITE_P(
    Peers, HostilePeerRound,
    testing::Values(HostilePeer{"echo", plant::RelayMode::Echo, 2},
                    HostilePeer{"accept_and_close", plant::RelayMode::AcceptAndClose, 2},
                    HostilePeer{"hold", plant::RelayMode::Hold, 0},
                    HostilePeer{"refuse_with_forged_lines", plant::RelayMode::Refuse, 2}),
    [](const testing::TestParamInfo<HostilePeer>& info) { return std::string(info.param.name); });

TEST_P(HostilePeerRound, rounds_go_on_bounded_and_the_device_stops_promptly) {
  plant::RelayOptions options;
  options.mode = GetParam().mode;
  options.reason = "x\ndevice 4242 round 1 data 5156\r\x1b[2J\n" + std::string(4000, 'A');
  plant::Relay peer(options);
  peer.start();
  qrn_host::clear_events();
  TestRound device(95, peer.port());
  for (int r = 0; r < GetParam().rounds; ++r) {
    SCOPED_TRACE(r);
    const uint64_t before = peer.accepted();
    testing::internal::CaptureStdout();
    device.do_sample();
    const std::string out = testing::internal::GetCapturedStdout();
    const auto lines = device_lines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Quorlin::do_sample");
    EXPECT_LE(lines.size(), 2u) << "at most the line on the failed connect";
    EXPECT_GE(peer.accepted() - before, 1u);
    EXPECT_LE(peer.accepted() - before, kMaxConnectionsPerConnect);
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 40) << out;
    // A peer's words are printed escaped and bounded.
    EXPECT_EQ(out.find("\ndevice 4242"), std::string::npos) << out;
    EXPECT_EQ(out.find_first_of("\x1b\r"), std::string::npos) << out;
    EXPECT_EQ(out.find(std::string(1001, 'A')), std::string::npos);
  }
  EXPECT_TRUE(qrn_host::events().empty());

  auto sampling = sampling_device(96, peer.port());
  const uint64_t before = peer.accepted();
  testing::internal::CaptureStdout();
  sampling->InitSetting(Json::Value(Json::objectValue));
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (peer.accepted() == before && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(1ms);
  const auto start = std::chrono::steady_clock::now();
  sampling.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStdout();
  EXPECT_GT(peer.accepted(), before);
  EXPECT_LT(took, 1s);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 0u);
}

// A point-by-point read longer than the period is said once, and again only
// when its duration moves by more than half of the one last said.
TEST(SlowRoundNotice, said_once_and_again_when_the_duration_moves_by_half) {
  const struct {
    long long ms;
    const char* said;  // "" for no line
  } rounds[] = {
      {4000, ""}, {5000, ""}, {117300, "117.3 s"}, {120000, ""}, {170000, ""},
      {176000, "176.0 s"}, {90000, ""}, {87000, "87.0 s"}, {3000, ""}, {130000, ""},
  };
  SlowRoundNotice notice;
  for (const auto& r : rounds) {
    SCOPED_TRACE(r.ms);
    const std::string line =
        notice.after_round(7, std::chrono::milliseconds(r.ms), std::chrono::seconds(5));
    if (*r.said == '\0') {
      EXPECT_EQ(line, "");
      continue;
    }
    EXPECT_EQ(line, std::string("Quorlin::do_sample device 7: reading point by point took ") +
                        r.said +
                        ", longer than the 5 s period; \"read_mode\": \"batch\" reads the same "
                        "points in a few round trips");
  }
}

TEST(ReadModeSetting, batch_only_when_asked_and_bad_values_fall_back_with_one_line) {
  const struct {
    const char* json;
    uint32_t cap;
    const char* line;  // "" for none
  } cases[] = {
      {R"({})", 0, ""},
      {R"({"appSetting":{"b_mode":3}})", 0, ""},
      {R"({"appSetting":{"read_mode":"single"}})", 0, ""},
      {R"({"appSetting":{"read_mode":null}})", 0, ""},
      {R"({"appSetting":{"read_mode":"batch"}})", 500, ""},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":100}})", 100, ""},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":64.0}})", 64, ""},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":4294967295}})", 4294967295u, ""},
      {R"({"read_mode":"batch"})", 0, ""},
      {R"({"appSetting":"read_mode"})", 0, ""},
      {R"(["batch"])", 0, ""},
      {R"({"appSetting":{"read_mode":"Batch"}})", 0, "read_mode is not"},
      {R"({"appSetting":{"read_mode":1}})", 0, "read_mode is not"},
      {R"({"appSetting":{"read_mode":["batch"]}})", 0, "read_mode is not"},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":0}})", 0, "max_nodes_per_read is not"},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":-5}})", 0, "max_nodes_per_read is not"},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":2.5}})", 0, "max_nodes_per_read is not"},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":"500"}})", 0, "max_nodes_per_read is not"},
      {R"({"appSetting":{"read_mode":"batch","max_nodes_per_read":4294967296}})", 0, "max_nodes_per_read is not"},
      {R"({"appSetting":{"read_mode":"single","max_nodes_per_read":true}})", 0, "max_nodes_per_read is not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Json::Value settings;
    ASSERT_TRUE(Json::Reader().parse(c.json, settings));
    testing::internal::CaptureStdout();
    const uint32_t cap = read_mode_setting(settings, 42);
    const auto lines = device_lines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(cap, c.cap);
    if (*c.line == '\0') {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_THAT(lines[0], testing::StartsWith(std::string("InitSetting 42 ") + c.line));
      EXPECT_THAT(lines[0], testing::EndsWith("; reading point by point"));
    }
  }
}
