// Sampling rounds of the driver against the in-process plant server.
#include "host_stub.h"
#include "module_fixture.h"  // device_lines
#include "plant_server.h"
#include "point_table.h"
#include "quorlin.h"
#include "test_pki.h"
#include "vtable_slots.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using qrn_host::EventKind;
using testing::HasSubstr;

namespace {

// Exposes what the tests need to look at; sampling stays the driver's.
class TestQuorlin : public Quorlin {
 public:
  TestQuorlin(uint32_t id, uint16_t port) {
    device_id_ = id;
    server_ip_ = "127.0.0.1";
    server_port_ = port;
    write_device_id();
  }
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
    security_.configure(settings, device_id_);
    return device_lines(testing::internal::GetCapturedStdout());
  }
  std::vector<unsigned char> record() {
    std::lock_guard<std::recursive_mutex> lock(round_guard_);
    const auto* p = reinterpret_cast<const unsigned char*>(&data_);
    return {p, p + sizeof data_};
  }
};

std::size_t index_of(const char* name) {
  const auto index = plant::PlantServer::index_of(name);
  EXPECT_TRUE(index.has_value()) << name;
  return index.value_or(0);
}

class SamplingRound : public testing::Test {
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
    std::vector<unsigned char> rec(7001, 0);
    std::memcpy(rec.data(), &id, 4);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const auto bytes = server_.value_bytes(i);
      std::memcpy(rec.data() + quorlin_points[i].offset, bytes.data(), quorlin_points[i].width);
    }
    return rec;
  }

  // Runs one round on this thread; returns the device's own output lines.
  std::vector<std::string> round(TestQuorlin& device) {
    testing::internal::CaptureStdout();
    device.do_sample();
    return device_lines(testing::internal::GetCapturedStdout());
  }

  static void expect_stamped(std::vector<unsigned char> sent, std::vector<unsigned char> expected,
                             const TestQuorlin& device) {
    const RoundStamp stamp = get_ttime(device.round_time_);
    std::memcpy(expected.data() + 6994, stamp.bytes, 7);
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
      ASSERT_EQ(sent[i], expected[i]) << "record byte " << i;
  }

  plant::PlantServer server_;
};

}  // namespace

TEST(DriverInterface, every_operation_sits_in_its_host_slot) {
  QRN_EXPECT_DEVICE_SLOTS(Quorlin);
}

TEST_F(SamplingRound, full_round_hands_over_every_byte_from_the_table) {
  server_.set_float(index_of("t|D3二层末端进水温度"), 12.5f);
  server_.set_int16(index_of("t|D3G3_M41_HZ_PV"), 500);
  server_.set_bool(index_of("t|D3G1_AI1_1_H_Alarm"), true);
  TestQuorlin device(0x0A0B0C0D, server_.port());
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
  EXPECT_TRUE(device.data_ready_);
}

TEST_F(SamplingRound, server_down_ends_the_round_silently) {
  const uint16_t port = server_.port();
  server_.stop();
  TestQuorlin device(9, port);
  const auto before = device.record();
  EXPECT_EQ(round(device), std::vector<std::string>{"Quorlin::do_sample"});
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_FALSE(device.data_ready_);
  EXPECT_EQ(device.record(), before);
}

TEST_F(SamplingRound, faulty_points_keep_their_fields_and_the_rest_is_read) {
  TestQuorlin device(21, server_.port());
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

TEST_F(SamplingRound, server_stopping_mid_round_hands_nothing_over) {
  TestQuorlin device(31, server_.port());
  round(device);
  const auto before = device.record();
  qrn_host::clear_events();
  server_.fill_distinct(5);
  server_.stop_after(1000);

  const auto start = std::chrono::steady_clock::now();
  const auto lines = round(device);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Quorlin::do_sample");
  EXPECT_THAT(lines[1], testing::StartsWith("ReadVariant "));
  EXPECT_THAT(lines[2], HasSubstr("session lost at"));
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_EQ(device.record(), before);

  server_.stop();
  server_.start();
  round(device);
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  expect_stamped(qrn_host::events()[0].bytes, expected_record(31), device);
}

TEST_F(SamplingRound, silent_server_costs_one_timeout_not_one_per_point) {
  TestQuorlin device(41, server_.port());
  round(device);
  const auto before = device.record();
  qrn_host::clear_events();
  server_.reset_reads();
  std::thread silencer([this] {
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (server_.reads() < 700 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(1ms);
    server_.set_silent(true);
  });

  const auto start = std::chrono::steady_clock::now();
  const auto lines = round(device);
  const auto took = std::chrono::steady_clock::now() - start;
  silencer.join();

  EXPECT_LT(took, 15s);
  EXPECT_THAT(lines.back(), HasSubstr("session lost at"));
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_EQ(device.record(), before);

  server_.set_silent(false);
  round(device);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}

TEST_F(SamplingRound, device_destroyed_mid_round_stops_between_reads) {
  auto device = std::make_unique<TestQuorlin>(51, server_.port());
  server_.reset_reads();
  testing::internal::CaptureStdout();
  device->InitSetting(Json::Value(Json::objectValue));
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
TEST_F(SamplingRound, cache_loads_during_rounds_never_tear_a_record) {
  TestQuorlin device(61, server_.port());
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
class SecureRound : public SamplingRound {
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
    SamplingRound::SetUp();
  }
  void TearDown() override {
    SamplingRound::TearDown();
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
  std::vector<std::string> round_capturing(TestQuorlin& device, std::string& all) {
    testing::internal::CaptureStdout();
    device.do_sample();
    all = testing::internal::GetCapturedStdout();
    return device_lines(all);
  }

  // A round that must fail: it hands nothing over and prints the progress
  // line and one line, which is returned.
  std::string failed_round(TestQuorlin& device) {
    const auto before = device.record();
    qrn_host::clear_events();
    std::string all;
    const auto lines = round_capturing(device, all);
    EXPECT_EQ(all.find(kPassword), std::string::npos) << all;
    EXPECT_TRUE(qrn_host::events().empty());
    EXPECT_EQ(device.record(), before);
    EXPECT_FALSE(device.data_ready_);
    EXPECT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    if (lines.size() != 2u) return {};
    EXPECT_EQ(lines[0], "Quorlin::do_sample");
    return lines[1];
  }

  std::vector<unsigned char> expected_secure_record(uint32_t id) const {
    std::vector<unsigned char> rec(7001, 0);
    std::memcpy(rec.data(), &id, 4);
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const auto bytes = secure_->value_bytes(i);
      std::memcpy(rec.data() + quorlin_points[i].offset, bytes.data(), quorlin_points[i].width);
    }
    return rec;
  }

  static TestPki* pki_;
  std::unique_ptr<plant::PlantServer> secure_;
};

TestPki* SecureRound::pki_ = nullptr;

}  // namespace

TEST_F(SecureRound, signed_encrypted_round_with_user_hands_over_every_byte) {
  TestQuorlin device(0x51C0BE7A, secure_->port());
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
  expect_stamped(qrn_host::events()[0].bytes, expected_secure_record(0x51C0BE7A), device);
  EXPECT_EQ(secure_->reads(), kQuorlinPointCount);
}

TEST_F(SecureRound, refused_secure_connections_hand_nothing_over_and_say_why) {
  TestQuorlin wrong_password(71, secure_->port());
  wrong_password.configure(settings(R"(, "password": "pump-room-7Xr")"));
  EXPECT_THAT(failed_round(wrong_password),
              testing::AllOf(HasSubstr("device 71: no secure session with opc.tcp://127.0.0.1:"),
                             HasSubstr("(SignAndEncrypt Basic256Sha256, user \"qrn\")"),
                             HasSubstr("BadUserAccessDenied"),
                             HasSubstr("refused the user name or password")));

  TestQuorlin untrusted_server(72, secure_->port());
  untrusted_server.configure(settings("", pki_->untrusted_servers));
  EXPECT_THAT(failed_round(untrusted_server),
              testing::AllOf(HasSubstr("device 72: no secure session"),
                             HasSubstr("BadCertificateUntrusted"),
                             HasSubstr("not in trusted_servers")));

  // The plain plant of the base fixture offers None only.
  TestQuorlin none_only(73, server_.port());
  none_only.configure(settings());
  EXPECT_THAT(failed_round(none_only),
              testing::AllOf(HasSubstr("device 73: no secure session"),
                             HasSubstr("offers no endpoint with this security mode")));

  // The plant does not trust this client's certificate.
  TestQuorlin untrusted_client(74, secure_->port());
  untrusted_client.configure(R"({"opcua": {"security_mode": "SignAndEncrypt", "certificate": ")" +
                             pki_->other_cert + R"(", "private_key": ")" + pki_->other_key +
                             R"(", "trusted_servers": ")" + pki_->trusted_servers +
                             R"(", "user": "qrn", "password": ")" + kPassword + "\"}}");
  EXPECT_THAT(failed_round(untrusted_client),
              testing::AllOf(HasSubstr("device 74: no secure session"),
                             HasSubstr("(SignAndEncrypt, user \"qrn\")"),
                             HasSubstr("BadSecurityChecksFailed")));

  // Anonymous log-in, which the plant refuses.
  TestQuorlin anonymous(75, secure_->port());
  anonymous.configure(R"({"opcua": {"security_mode": "SignAndEncrypt", "certificate": ")" +
                      pki_->client_cert + R"(", "private_key": ")" + pki_->client_key +
                      R"(", "trusted_servers": ")" + pki_->trusted_servers + "\"}}");
  EXPECT_THAT(failed_round(anonymous),
              testing::AllOf(HasSubstr("(SignAndEncrypt, anonymous)"),
                             HasSubstr("offers no endpoint with this security mode")));
  EXPECT_EQ(secure_->reads(), 0u);
}

TEST_F(SecureRound, settings_error_holds_the_device_until_corrected) {
  TestQuorlin device(76, secure_->port());
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

// The whole path through InitSetting: the first round already connects securely.
TEST_F(SecureRound, init_setting_applies_security_before_the_first_round) {
  auto device = std::make_unique<TestQuorlin>(77, secure_->port());
  Json::Value settings_tree;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const std::string text = settings();
  ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &settings_tree, nullptr));
  testing::internal::CaptureStdout();
  device->InitSetting(settings_tree);
  const bool handed_over = qrn_host::wait_for(
      [](const std::vector<qrn_host::Event>& events) {
        for (const auto& e : events)
          if (e.kind == EventKind::SendSP) return true;
        return false;
      },
      20s);
  device.reset();
  const std::string all = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(handed_over);
  EXPECT_EQ(all.find(kPassword), std::string::npos);
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 1u);
}
