#include "plant_server.h"

#include <gtest/gtest.h>
#include <open62541/client.h>
#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "point_table.h"
#include "test_pki.h"

namespace {

using plant::Fault;
using plant::PlantOptions;
using plant::PlantServer;
using plant::ValueType;
using Clock = std::chrono::steady_clock;

void drop_log(void*, UA_LogLevel, UA_LogCategory, const char*, va_list) {}
UA_Logger quiet_logger{&drop_log, nullptr, nullptr};

// The value of one read, freed with it.
struct Reading {
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  UA_Variant value;
  Reading() { UA_Variant_init(&value); }
  ~Reading() { UA_Variant_clear(&value); }
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;
};

// A client like the driver's: default configuration, one synchronous read of
// the Value attribute per point, but with its log silenced.
class Client {
 public:
  explicit Client(UA_UInt32 timeout_ms = 5000) {
    UA_ClientConfig cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.logging = &quiet_logger;
    UA_ClientConfig_setDefault(&cfg);
    cfg.timeout = timeout_ms;
    client_ = UA_Client_newWithConfig(&cfg);
  }
  ~Client() { UA_Client_delete(client_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  UA_StatusCode connect(const std::string& endpoint) {
    return UA_Client_connect(client_, endpoint.c_str());
  }
  std::unique_ptr<Reading> read(const char* name, UA_UInt16 ns = 1) {
    auto r = std::make_unique<Reading>();
    r->status =
        UA_Client_readValueAttribute(client_, UA_NODEID_STRING(ns, const_cast<char*>(name)), &r->value);
    return r;
  }
  std::unique_ptr<Reading> read(std::size_t index) { return read(quorlin_points[index].name); }
  UA_Client* get() const { return client_; }

 private:
  UA_Client* client_ = nullptr;
};

// Throws at start-up if a name is not in the table.
std::size_t index_of(const char* name) { return PlantServer::index_of(name).value(); }

// Points of each width, by their names.
const std::size_t kFlag = index_of("t|D3G1_AI1_1_H_Alarm");     // width 1
const std::size_t kSixteen = index_of("t|D3G3_M41_HZ_PV");      // width 2
const std::size_t kFloat = index_of("t|D3二层末端进水温度");    // width 4
const std::size_t kOilPressure = index_of("t|D3G3_M11_供油压力");  // width 4

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

bool went_down(const PlantServer& server) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (server.running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return !server.running();
}

bool is_type(const UA_Variant& v, int type_index) {
  return v.type == &UA_TYPES[type_index];
}

class PlantServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlantOptions options;
    options.trace_reads = true;
    server_ = std::make_unique<PlantServer>(options);
    server_->start();
    ASSERT_TRUE(server_->running());
    ASSERT_NE(server_->port(), 0);
  }
  void TearDown() override { server_->stop(); }

  std::unique_ptr<PlantServer> server_;
};

using PlantRead = PlantServerTest;
using PlantFault = PlantServerTest;
using PlantLifecycle = PlantServerTest;

TEST_F(PlantRead, each_width_is_served_as_its_type_with_its_value) {
  server_->set_raw(kFlag, 2);  // any non-zero byte is true
  server_->set_int16(kSixteen, -1234);
  server_->set_float(kFloat, 12.5f);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);

  auto flag = client.read(kFlag);
  ASSERT_EQ(flag->status, UA_STATUSCODE_GOOD);
  ASSERT_TRUE(is_type(flag->value, UA_TYPES_BOOLEAN));
  EXPECT_EQ(*static_cast<UA_Byte*>(flag->value.data), 1);
  EXPECT_EQ(server_->value_bytes(kFlag), (std::array<uint8_t, 4>{1, 0, 0, 0}));

  auto sixteen = client.read(kSixteen);
  ASSERT_EQ(sixteen->status, UA_STATUSCODE_GOOD);
  ASSERT_TRUE(is_type(sixteen->value, UA_TYPES_INT16));
  EXPECT_EQ(*static_cast<UA_Int16*>(sixteen->value.data), -1234);

  auto temperature = client.read(kFloat);
  ASSERT_EQ(temperature->status, UA_STATUSCODE_GOOD);
  ASSERT_TRUE(is_type(temperature->value, UA_TYPES_FLOAT));
  EXPECT_TRUE(UA_Variant_isScalar(&temperature->value));
  EXPECT_EQ(*static_cast<UA_Float*>(temperature->value.data), 12.5f);
  EXPECT_EQ(server_->value_bytes(kFloat), (std::array<uint8_t, 4>{0x00, 0x00, 0x48, 0x41}));
}

TEST_F(PlantRead, type_overrides_apply_per_point_and_at_once) {
  server_->set_type(kFlag, ValueType::Byte);
  server_->set_raw(kFlag, 0x1A7);  // a byte keeps only the low 8 bits
  server_->set_type(kFloat, ValueType::UInt32);
  server_->set_uint32(kFloat, 0xDEADBEEF);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);

  auto flag = client.read(kFlag);
  ASSERT_TRUE(is_type(flag->value, UA_TYPES_BYTE));
  EXPECT_EQ(*static_cast<UA_Byte*>(flag->value.data), 0xA7);
  auto word = client.read(kFloat);
  ASSERT_TRUE(is_type(word->value, UA_TYPES_UINT32));
  EXPECT_EQ(*static_cast<UA_UInt32*>(word->value.data), 0xDEADBEEFu);
  // The neighbour keeps the width's default.
  EXPECT_TRUE(is_type(client.read(kOilPressure)->value, UA_TYPES_FLOAT));

  server_->set_type(kFloat, ValueType::Float);
  EXPECT_TRUE(is_type(client.read(kFloat)->value, UA_TYPES_FLOAT));
}

TEST(PlantOptions, width_defaults_choose_the_served_types) {
  PlantOptions options;
  options.width1 = ValueType::Byte;
  options.width4 = ValueType::UInt32;
  PlantServer server(options);
  EXPECT_EQ(server.type(kFlag), ValueType::Byte);
  EXPECT_EQ(server.type(kSixteen), ValueType::Int16);
  EXPECT_EQ(server.type(kOilPressure), ValueType::UInt32);
  server.start();
  Client client;
  ASSERT_EQ(client.connect(server.endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_TRUE(is_type(client.read(kFlag)->value, UA_TYPES_BYTE));
  EXPECT_TRUE(is_type(client.read(kOilPressure)->value, UA_TYPES_UINT32));
}

TEST_F(PlantRead, a_full_pass_reads_every_point_in_order_with_its_bytes) {
  server_->fill_distinct(7);
  EXPECT_EQ(server_->reads(), 0u) << "the server's own checks must not count";
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);

  std::size_t mismatches = 0;
  const auto begin = Clock::now();
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    auto r = client.read(i);
    const uint8_t width = quorlin_points[i].width;
    if (r->status != UA_STATUSCODE_GOOD || !r->value.data || r->value.type->memSize < width) {
      ADD_FAILURE() << quorlin_points[i].name << ": " << UA_StatusCode_name(r->status);
      continue;
    }
    const auto expected = server_->value_bytes(i);
    if (std::memcmp(r->value.data, expected.data(), width) != 0) ++mismatches;
  }
  const double ms = elapsed_ms(begin);
  RecordProperty("full_pass_ms", std::to_string(ms));
  std::printf("full pass of %zu reads: %.1f ms\n", kQuorlinPointCount, ms);

  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(server_->reads(), kQuorlinPointCount);
  const auto trace = server_->take_trace();
  ASSERT_EQ(trace.size(), kQuorlinPointCount);
  for (std::size_t i = 0; i < trace.size(); ++i) ASSERT_EQ(trace[i], i);
  EXPECT_TRUE(server_->take_trace().empty());
  EXPECT_LT(ms, 3000.0);
}

TEST_F(PlantRead, node_ids_are_exact_utf8_strings_in_namespace_one) {
  server_->set_float(kOilPressure, 0.75f);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);

  auto oil = client.read("t|D3G3_M11_供油压力");
  ASSERT_EQ(oil->status, UA_STATUSCODE_GOOD);
  ASSERT_TRUE(is_type(oil->value, UA_TYPES_FLOAT));
  EXPECT_EQ(*static_cast<UA_Float*>(oil->value.data), 0.75f);

  EXPECT_EQ(client.read("t|D3G3_M11_供油压")->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(client.read("t|D3G3_M11_供油压力", 2)->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(client.read("t|D3G3_M11_供油压力", 0)->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(server_->reads(), 1u);
}

TEST_F(PlantFault, other_types_are_served_as_declared) {
  server_->set_float(kFloat, 12.5f);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);

  server_->set_fault(kFloat, Fault::String);
  auto text = client.read(kFloat);
  ASSERT_EQ(text->status, UA_STATUSCODE_GOOD);
  EXPECT_TRUE(is_type(text->value, UA_TYPES_STRING));

  server_->set_fault(kFloat, Fault::Double);
  auto wide = client.read(kFloat);
  ASSERT_TRUE(is_type(wide->value, UA_TYPES_DOUBLE));
  EXPECT_EQ(*static_cast<UA_Double*>(wide->value.data), 12.5);

  server_->set_fault(kFloat, Fault::Array);
  auto array = client.read(kFloat);
  ASSERT_TRUE(is_type(array->value, UA_TYPES_FLOAT));
  ASSERT_FALSE(UA_Variant_isScalar(&array->value));
  ASSERT_EQ(array->value.arrayLength, 3u);
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_EQ(static_cast<UA_Float*>(array->value.data)[k], 12.5f);

  server_->set_fault(kFloat, Fault::Empty);
  auto empty = client.read(kFloat);
  EXPECT_EQ(empty->status, UA_STATUSCODE_GOOD);
  EXPECT_TRUE(UA_Variant_isEmpty(&empty->value));
  EXPECT_EQ(empty->value.data, nullptr);

  // A fault on one point leaves the others alone; clearing restores the value.
  EXPECT_TRUE(is_type(client.read(kOilPressure)->value, UA_TYPES_FLOAT));
  server_->clear_faults();
  EXPECT_EQ(server_->fault(kFloat), Fault::None);
  auto back = client.read(kFloat);
  ASSERT_TRUE(is_type(back->value, UA_TYPES_FLOAT));
  EXPECT_EQ(*static_cast<UA_Float*>(back->value.data), 12.5f);
  EXPECT_EQ(server_->reads(), 6u);
}

TEST_F(PlantFault, a_missing_point_reads_with_a_bad_status) {
  server_->set_fault(kSixteen, Fault::Missing);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  auto missing = client.read(kSixteen);
  EXPECT_EQ(missing->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
  EXPECT_EQ(missing->value.data, nullptr);
  // The session survives: the next point reads normally.
  EXPECT_EQ(client.read(kSixteen + 1)->status, UA_STATUSCODE_GOOD);
}

TEST_F(PlantFault, a_renamed_point_is_served_under_its_new_id_from_the_next_start) {
  const std::string renamed = "t|D3G3_M11_供油压力_1";
  server_->set_float(kOilPressure, 0.5f);
  server_->rename(kOilPressure, renamed);
  EXPECT_EQ(server_->node_id(kOilPressure), renamed);
  {
    Client before;
    ASSERT_EQ(before.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
    EXPECT_EQ(before.read(kOilPressure)->status, UA_STATUSCODE_GOOD) << "renamed while running";
  }
  server_->stop();
  server_->start();
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(client.read(kOilPressure)->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
  auto moved = client.read(renamed.c_str());
  ASSERT_EQ(moved->status, UA_STATUSCODE_GOOD);
  ASSERT_TRUE(is_type(moved->value, UA_TYPES_FLOAT));
  EXPECT_EQ(*static_cast<UA_Float*>(moved->value.data), 0.5f);

  // Two points under one id cannot be served; an empty id restores the name.
  server_->stop();
  server_->rename(kFloat, renamed);
  try {
    server_->start();
    ADD_FAILURE() << "two points with one id started";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(renamed), std::string::npos) << e.what();
  }
  server_->rename(kOilPressure, "");
  server_->rename(kFloat, "");
  EXPECT_EQ(server_->node_id(kOilPressure), "t|D3G3_M11_供油压力");
  server_->start();
  Client again;
  ASSERT_EQ(again.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(again.read(kOilPressure)->status, UA_STATUSCODE_GOOD);
  EXPECT_EQ(again.read(renamed.c_str())->status, UA_STATUSCODE_BADNODEIDUNKNOWN);
}

TEST_F(PlantFault, stop_after_lets_exactly_n_reads_through_then_goes_down) {
  Client client(1000);
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  server_->stop_after(5);
  for (std::size_t i = 0; i < 5; ++i) ASSERT_EQ(client.read(i)->status, UA_STATUSCODE_GOOD) << i;
  EXPECT_NE(client.read(5)->status, UA_STATUSCODE_GOOD);
  EXPECT_EQ(server_->reads(), 5u);

  EXPECT_TRUE(went_down(*server_));
  Client late(1000);
  EXPECT_NE(late.connect(server_->endpoint()), UA_STATUSCODE_GOOD) << "still listening";
}

TEST_F(PlantFault, a_silent_server_lets_reads_time_out_and_recovers) {
  Client client(500);
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  ASSERT_EQ(client.read(kFlag)->status, UA_STATUSCODE_GOOD);
  server_->set_silent(true);
  EXPECT_TRUE(server_->running());

  auto begin = Clock::now();
  EXPECT_EQ(client.read(kFlag)->status, UA_STATUSCODE_BADTIMEOUT);
  double ms = elapsed_ms(begin);
  EXPECT_GE(ms, 400.0);
  EXPECT_LT(ms, 2500.0);

  // New connections are accepted by the kernel but never answered.
  Client fresh(500);
  begin = Clock::now();
  EXPECT_NE(fresh.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  ms = elapsed_ms(begin);
  EXPECT_GE(ms, 400.0);
  EXPECT_LT(ms, 2500.0);
  EXPECT_EQ(server_->reads(), 1u);

  server_->set_silent(false);
  Client after(2000);
  ASSERT_EQ(after.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(after.read(kFlag)->status, UA_STATUSCODE_GOOD);
}

TEST_F(PlantLifecycle, a_restart_listens_on_the_same_port) {
  const uint16_t port = server_->port();
  server_->set_float(kFloat, 3.5f);
  {
    Client client;
    ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
    ASSERT_EQ(client.read(kFloat)->status, UA_STATUSCODE_GOOD);
    server_->stop();  // with the client still connected
    EXPECT_FALSE(server_->running());
  }
  server_->stop();  // a second stop does nothing
  {
    Client refused(1000);
    EXPECT_NE(refused.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  }
  server_->start();
  EXPECT_EQ(server_->port(), port);
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  auto r = client.read(kFloat);
  ASSERT_TRUE(is_type(r->value, UA_TYPES_FLOAT));
  EXPECT_EQ(*static_cast<UA_Float*>(r->value.data), 3.5f) << "values survive a restart";
}

TEST_F(PlantLifecycle, closed_sessions_leave_the_read_bookkeeping) {
  Client kept;
  ASSERT_EQ(kept.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  ASSERT_EQ(kept.read(kFlag)->status, UA_STATUSCODE_GOOD);
  // Hosts that came and went, each closing its session after a read.
  for (int i = 0; i < 20; ++i) {
    Client passing;
    ASSERT_EQ(passing.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
    ASSERT_EQ(passing.read(kFlag)->status, UA_STATUSCODE_GOOD);
    UA_Client_disconnect(passing.get());
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (server_->reading_sessions() > 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server_->reading_sessions(), 1u) << "only the kept session is still open";
  EXPECT_EQ(server_->sessions(), 21u) << "every session that read is counted once";
  EXPECT_EQ(kept.read(kFlag)->status, UA_STATUSCODE_GOOD);
  EXPECT_EQ(server_->sessions(), 21u);
  server_->close_sessions();
  EXPECT_EQ(server_->reading_sessions(), 0u);
}

TEST_F(PlantLifecycle, stop_after_zero_goes_down_at_once_and_can_start_again) {
  server_->stop_after(0);
  ASSERT_TRUE(went_down(*server_));
  {
    Client refused(1000);
    EXPECT_NE(refused.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  }
  server_->start();
  Client client;
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(client.read(kFlag)->status, UA_STATUSCODE_GOOD);
}

TEST_F(PlantLifecycle, stop_ends_a_silence_and_a_restart_talks_again) {
  server_->set_silent(true);
  server_->stop();
  EXPECT_FALSE(server_->running());
  server_->start();
  Client client(2000);
  ASSERT_EQ(client.connect(server_->endpoint()), UA_STATUSCODE_GOOD);
  EXPECT_EQ(client.read(kFlag)->status, UA_STATUSCODE_GOOD);
}

TEST_F(PlantLifecycle, two_servers_on_port_zero_get_their_own_ports) {
  PlantServer other;
  other.start();
  EXPECT_NE(other.port(), 0);
  EXPECT_NE(other.port(), server_->port());

  server_->set_uint32(kOilPressure, 0);
  server_->set_type(kOilPressure, ValueType::UInt32);
  other.set_type(kOilPressure, ValueType::UInt32);
  other.set_uint32(kOilPressure, 42);
  Client client;
  ASSERT_EQ(client.connect(other.endpoint()), UA_STATUSCODE_GOOD);
  auto r = client.read(kOilPressure);
  ASSERT_TRUE(is_type(r->value, UA_TYPES_UINT32));
  EXPECT_EQ(*static_cast<UA_UInt32*>(r->value.data), 42u);
  EXPECT_EQ(other.reads(), 1u);
  EXPECT_EQ(server_->reads(), 0u);
}

TEST_F(PlantLifecycle, start_fails_clearly_when_misused) {
  EXPECT_THROW(server_->start(), std::logic_error);
  EXPECT_TRUE(server_->running());

  PlantOptions busy;
  busy.port = server_->port();
  PlantServer second(busy);
  EXPECT_THROW(second.start(), std::runtime_error);
  EXPECT_FALSE(second.running());

  PlantOptions nowhere;
  nowhere.address = "192.0.2.1";  // not an address of this host
  PlantServer third(nowhere);
  EXPECT_THROW(third.start(), std::runtime_error);
}

TEST(PlantSecurityOptions, endpoints_follow_the_options_and_unusable_ones_fail_start) {
  const TestPki pki;
  PlantOptions options;
  options.security.certificate = pki.server_cert;
  options.security.private_key = pki.server_key;
  options.security.policies = {"None", "Aes256_Sha256_RsaPss", "Basic256Sha256"};
  options.security.sign = false;
  PlantServer server(options);
  server.start();
  Client client;
  size_t count = 0;
  UA_EndpointDescription* endpoints = nullptr;
  ASSERT_EQ(UA_Client_getEndpoints(client.get(), server.endpoint().c_str(), &count, &endpoints),
            UA_STATUSCODE_GOOD);
  std::vector<std::string> offered;
  for (size_t i = 0; i < count; ++i) {
    const UA_String& uri = endpoints[i].securityPolicyUri;
    const std::string policy(reinterpret_cast<const char*>(uri.data), uri.length);
    offered.push_back(policy.substr(policy.find('#') + 1) + "/" +
                      std::to_string(endpoints[i].securityMode));
    const UA_String& app = endpoints[i].server.applicationUri;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(app.data), app.length),
              "urn:quorlin:test:plant");
  }
  UA_Array_delete(endpoints, count, &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
  std::sort(offered.begin(), offered.end());
  EXPECT_EQ(offered, std::vector<std::string>({"Aes256_Sha256_RsaPss/3", "Basic256Sha256/3",
                                               "None/1"}));
  server.stop();

  struct Bad {
    const char* name;
    void (*change)(plant::PlantSecurity&, const TestPki&);
  };
  const Bad cases[] = {
      {"unknown policy", [](plant::PlantSecurity& s, const TestPki&) { s.policies = {"Rot13"}; }},
      {"no certificate", [](plant::PlantSecurity& s, const TestPki&) { s.certificate.clear(); }},
      {"unreadable key",
       [](plant::PlantSecurity& s, const TestPki& p) { s.private_key = p.path("none"); }},
      {"key of another certificate",
       [](plant::PlantSecurity& s, const TestPki& p) { s.private_key = p.other_key; }},
      {"unreadable trusted clients",
       [](plant::PlantSecurity& s, const TestPki& p) { s.trusted_clients = p.path("none"); }},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.name);
    PlantOptions bad = options;
    c.change(bad.security, pki);
    PlantServer refused(bad);
    EXPECT_THROW(refused.start(), std::runtime_error);
    EXPECT_FALSE(refused.running());
  }
}

TEST(PlantValues, value_bytes_follow_the_type_width) {
  PlantServer server;
  server.set_raw(kFlag, 0x100);  // low byte 0: false
  EXPECT_EQ(server.value_bytes(kFlag), (std::array<uint8_t, 4>{0, 0, 0, 0}));
  server.set_type(kFlag, ValueType::Byte);
  server.set_raw(kFlag, 0x1FF);
  EXPECT_EQ(server.value_bytes(kFlag), (std::array<uint8_t, 4>{0xFF, 0, 0, 0}));
  server.set_raw(kSixteen, 0x12345678);
  EXPECT_EQ(server.value_bytes(kSixteen), (std::array<uint8_t, 4>{0x78, 0x56, 0, 0}));
  server.set_int16(kSixteen, 500);
  EXPECT_EQ(server.value_bytes(kSixteen), (std::array<uint8_t, 4>{0xF4, 0x01, 0, 0}));
  server.set_uint32(kFloat, 0x01020304);
  EXPECT_EQ(server.value_bytes(kFloat), (std::array<uint8_t, 4>{4, 3, 2, 1}));
}

TEST(PlantValues, bulk_values_and_bad_arguments) {
  PlantServer server;
  std::vector<uint32_t> raws(PlantServer::count());
  for (std::size_t i = 0; i < raws.size(); ++i) raws[i] = static_cast<uint32_t>(i * 3);
  server.set_all_raw(raws);
  EXPECT_EQ(server.raw(0), 0u);
  EXPECT_EQ(server.raw(kQuorlinPointCount - 1), (kQuorlinPointCount - 1) * 3);
  raws.pop_back();
  EXPECT_THROW(server.set_all_raw(raws), std::invalid_argument);
  EXPECT_THROW(server.set_raw(kQuorlinPointCount, 1), std::out_of_range);
  EXPECT_THROW(server.value_bytes(kQuorlinPointCount), std::out_of_range);
  EXPECT_FALSE(PlantServer::index_of("t|D3_SB3").has_value());
  EXPECT_EQ(PlantServer::index_of("t|D3G5_M214_TTime_M1"), kQuorlinPointCount - 1);
}

TEST(PlantValues, distinct_fill_separates_neighbours_and_repeats_per_seed) {
  PlantServer a;
  PlantServer b;
  a.fill_distinct(3);
  b.fill_distinct(3);
  std::size_t same_as_previous = 0;
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    ASSERT_EQ(a.raw(i), b.raw(i));
    if (i > 0 && quorlin_points[i].width == quorlin_points[i - 1].width &&
        a.value_bytes(i) == a.value_bytes(i - 1))
      ++same_as_previous;
  }
  EXPECT_EQ(same_as_previous, 0u);
  b.fill_distinct(4);
  EXPECT_NE(a.raw(kOilPressure), b.raw(kOilPressure));
}

}  // namespace
