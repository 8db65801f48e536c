// Round completion, cache loading and the interface defaults of the uniform
// data device, observed through the host stand-in; the journal's line prefix.
#include "host_stub.h"
#include "log.h"
#include "quorlin_data.h"
#include "uni_data_device.h"
#include "vtable_slots.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <atomic>
#include <thread>

using qrn_host::EventKind;
using testing::ElementsAre;

namespace {

class TestDevice : public UniDataDevice<Quorlin_Data_t, QRNSocketDevice, 5156> {
 public:
  int process_data(int, unsigned char*, int) override { return 0; }
  const Quorlin_Data_t& record() const { return data_; }
  Quorlin_Data_t& record() { return data_; }
  int mode() const { return b_mode_; }
};

// Adds rules and an alarm in its threshold hook, to see where the hook runs.
class RuleDevice : public TestDevice {
 public:
  void RunCheckThreshold() override {
    hook_saw_alarm_flag = alarm_flag_;
    rules_.push_back(rule_value{"a", 1.0, 1});
    rules_.push_back(rule_value{"b", 2.0, 2});
  }
  bool hook_saw_alarm_flag = true;
};

std::vector<unsigned char> bytes_of(const Quorlin_Data_t& r) {
  const auto* p = reinterpret_cast<const unsigned char*>(&r);
  return {p, p + sizeof r};
}

std::vector<EventKind> kinds(const std::vector<qrn_host::Event>& events) {
  std::vector<EventKind> out;
  for (const auto& e : events) out.push_back(e.kind);
  return out;
}

class RoundCompletion : public testing::Test {
 protected:
  void SetUp() override {
    qrn_host::clear_events();
    qrn_host::set_batch_result(false);
  }
  void TearDown() override { qrn_host::set_batch_result(false); }
};

std::vector<unsigned char> cached_record(unsigned char fill) {
  std::vector<unsigned char> cache(7001, fill);
  for (std::size_t i = 0; i < cache.size(); ++i) cache[i] = static_cast<unsigned char>(fill + i);
  return cache;
}

}  // namespace

TEST(DeviceInterface, every_operation_sits_in_its_host_slot) {
  QRN_EXPECT_DEVICE_SLOTS(TestDevice);
  EXPECT_EQ(vtable_slot(&QRNSocketDeviceProvider::create), 2);
}

TEST(DeviceInterface, fresh_device_has_zero_record_mode_one_and_no_data) {
  TestDevice d;
  EXPECT_EQ(bytes_of(d.record()), std::vector<unsigned char>(7001, 0));
  EXPECT_EQ(d.mode(), 1);
  EXPECT_FALSE(d.data_ready_);
}

TEST(DeviceInterface, get_value_refuses_even_after_a_round) {
  TestDevice d;
  VDeviceInterface& dev = d;
  for (int round = 0; round < 2; ++round) {
    try {
      dev.Get_Value(0, "anything");
      ADD_FAILURE() << "Get_Value returned";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "数据未就绪");
    }
    testing::internal::CaptureStdout();
    dev.RoundDone();
    testing::internal::GetCapturedStdout();
  }
  EXPECT_TRUE(d.data_ready_);
}

TEST(DeviceInterface, identity_children_and_socket_forwarders) {
  TestDevice d;
  d.device_id_ = 42;
  d.device_type_ = "kind";
  d.use_controller_db_ = true;
  d.socket_id_ = 9;
  VDeviceInterface& dev = d;
  EXPECT_EQ(dev.DataId(), 42u);
  EXPECT_EQ(dev.DeviceType(), "kind");
  EXPECT_TRUE(dev.UseControllerDb());
  for (unsigned index : {0u, 1u, 1000u}) EXPECT_EQ(d.GetChildVDevice(index), nullptr);
  EXPECT_TRUE(d.GetAllChildVDevices().empty());

  qrn_host::clear_events();
  const unsigned char payload[] = {1, 2, 3};
  QRNSocketDevice& sock = d;
  EXPECT_EQ(sock.SendSocketData(payload, 3), 3);
  std::vector<boost::asio::const_buffer> bufs{boost::asio::buffer(payload, 2),
                                              boost::asio::buffer(payload + 2, 1)};
  EXPECT_EQ(sock.SendSocketData(bufs), 3);
  const auto events = qrn_host::events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.kind, EventKind::SocketSend);
    EXPECT_EQ(e.data_id, 9) << "forwarded on the device's own socket";
    EXPECT_EQ(e.bytes, std::vector<unsigned char>({1, 2, 3}));
  }
}

TEST_F(RoundCompletion, hands_over_stamps_resets_checks_and_saves_in_order) {
  RuleDevice d;
  d.device_id_ = 7;
  d.alarm_flag_ = true;
  d.record().points[100] = 0xAB;
  testing::internal::CaptureStdout();
  const auto before = boost::posix_time::second_clock::local_time();
  d.RoundDone();
  const auto after = boost::posix_time::second_clock::local_time();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 2\n");

  const auto events = qrn_host::events();
  ASSERT_THAT(kinds(events), ElementsAre(EventKind::SendSP, EventKind::Reset,
                                         EventKind::BatchCheck, EventKind::SaveHistory));
  const auto& sent = events[0];
  EXPECT_EQ(sent.data_id, 5156);
  EXPECT_EQ(sent.size, 7001u);
  EXPECT_FALSE(sent.flag);
  EXPECT_EQ(sent.bytes, bytes_of(d.record())) << "the record as it stands, stamp included";
  EXPECT_EQ(sent.bytes[104], 0xAB);
  EXPECT_EQ(events[2].rule_count, 2u) << "rules of this round's hook reach the batch";
  EXPECT_EQ(events[3].bytes, sent.bytes);
  EXPECT_EQ(events[3].size, 7001u);

  EXPECT_FALSE(d.hook_saw_alarm_flag) << "flag cleared before the hook runs";
  EXPECT_FALSE(d.alarm_flag_) << "batch said no alarm";
  EXPECT_TRUE(d.rules_.empty());
  EXPECT_EQ(d.round_state_, 1);
  EXPECT_TRUE(d.data_ready_);
  EXPECT_GE(d.round_time_, before);
  EXPECT_LE(d.round_time_, after);
  const RoundStamp stamp = get_ttime(d.round_time_);
  EXPECT_EQ(std::vector<unsigned char>(sent.bytes.begin() + 6994, sent.bytes.end()),
            std::vector<unsigned char>(stamp.bytes, stamp.bytes + 7));
}

TEST_F(RoundCompletion, batch_result_sets_the_alarm_flag_and_empty_rules_still_checked) {
  TestDevice d;
  qrn_host::set_batch_result(true);
  testing::internal::CaptureStdout();
  d.RoundDone();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_TRUE(d.alarm_flag_);
  ASSERT_EQ(qrn_host::count(EventKind::BatchCheck), 1u);
  EXPECT_EQ(qrn_host::events()[2].rule_count, 0u);

  qrn_host::set_batch_result(false);
  testing::internal::CaptureStdout();
  d.RoundDone();
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(d.alarm_flag_) << "each round carries only its own result";
}

TEST_F(RoundCompletion, fresh_device_hands_over_zeros_apart_from_the_stamp) {
  TestDevice d;
  testing::internal::CaptureStdout();
  d.RoundDone();
  testing::internal::GetCapturedStdout();
  const auto sent = qrn_host::events().at(0).bytes;
  EXPECT_EQ(std::vector<unsigned char>(sent.begin(), sent.begin() + 6994),
            std::vector<unsigned char>(6994, 0));
  EXPECT_GE(sent[6994] | (sent[6995] << 8), 2000) << "stamp year";
}

TEST_F(RoundCompletion, load_from_cache_refuses_every_other_length_and_a_null_buffer) {
  TestDevice d;
  d.record().points[0] = 5;
  const auto cache = cached_record(1);
  for (int length : {0, 7000, 7002, -1, -7001, 1 << 30}) {
    EXPECT_EQ(d.LoadFromCache(cache.data(), length), 0) << length;
  }
  EXPECT_EQ(d.LoadFromCache(nullptr, 7001), 0);
  std::string text(reinterpret_cast<const char*>(cache.data()), 7000);
  VDeviceInterface& dev = d;
  EXPECT_EQ(dev.LoadFromCache(text), 0);
  text += std::string(2, 'x');
  EXPECT_EQ(dev.LoadFromCache(text), 0);
  EXPECT_TRUE(qrn_host::events().empty());
  EXPECT_FALSE(d.data_ready_);
  std::vector<unsigned char> expected(7001, 0);
  expected[4] = 5;
  EXPECT_EQ(bytes_of(d.record()), expected);
}

TEST_F(RoundCompletion, load_from_cache_replaces_the_record_and_completes_a_round) {
  TestDevice d;
  d.device_id_ = 3;
  const auto cache = cached_record(7);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d.LoadFromCache(cache.data(), 7001), 1);
  const std::string string_form(reinterpret_cast<const char*>(cache.data()), cache.size());
  VDeviceInterface& dev = d;
  EXPECT_EQ(dev.LoadFromCache(string_form), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\nrvSize is 0\n");

  EXPECT_TRUE(d.data_ready_);
  const auto events = qrn_host::events();
  ASSERT_EQ(events.size(), 8u);
  const auto sent = events[0].bytes;
  EXPECT_EQ(std::vector<unsigned char>(sent.begin(), sent.begin() + 6994),
            std::vector<unsigned char>(cache.begin(), cache.begin() + 6994))
      << "the cached bytes, device id included";
  const RoundStamp stamp = get_ttime(d.round_time_);
  EXPECT_EQ(std::vector<unsigned char>(sent.begin() + 6994, sent.end()),
            std::vector<unsigned char>(stamp.bytes, stamp.bytes + 7))
      << "a fresh stamp over the cached one";
  EXPECT_EQ(events[3].kind, EventKind::SaveHistory);
  EXPECT_EQ(events[3].bytes, sent);
}

TEST(HostStamp, encodes_year_little_endian_then_month_day_hour_minute_second) {
  const boost::posix_time::ptime t(boost::gregorian::date(2026, 12, 7),
                                   boost::posix_time::time_duration(23, 59, 58));
  const RoundStamp s = get_ttime(t);
  EXPECT_THAT(std::vector<unsigned char>(s.bytes, s.bytes + 7),
              ElementsAre(0xEA, 0x07, 12, 7, 23, 59, 58));
  const RoundStamp none = get_ttime(boost::posix_time::ptime());
  EXPECT_THAT(std::vector<unsigned char>(none.bytes, none.bytes + 7),
              ElementsAre(0, 0, 0, 0, 0, 0, 0));
}

// Round completion on one thread and cache loads on another must not tear the
// record: every record the host receives is whole, either a loaded one or the
// one the rounds keep writing.
TEST(RoundConcurrency, cache_loads_and_rounds_never_interleave) {
  qrn_host::clear_events();
  TestDevice d;
  d.device_id_ = 11;
  const auto cache_a = cached_record(9);
  const auto cache_b = cached_record(100);
  std::atomic<bool> go{false};
  testing::internal::CaptureStdout();
  std::thread loader([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
      const auto& cache = i % 2 ? cache_b : cache_a;
      EXPECT_EQ(d.LoadFromCache(cache.data(), 7001), 1);
    }
  });
  go = true;
  for (int i = 0; i < 200; ++i) d.RoundDone();
  loader.join();
  testing::internal::GetCapturedStdout();

  const auto events = qrn_host::events();
  std::size_t sends = 0;
  for (const auto& e : events) {
    if (e.kind != EventKind::SendSP) continue;
    ++sends;
    const bool zeros = std::all_of(e.bytes.begin(), e.bytes.begin() + 6994,
                                   [](unsigned char b) { return b == 0; });
    const bool a = std::equal(e.bytes.begin(), e.bytes.begin() + 6994, cache_a.begin());
    const bool b = std::equal(e.bytes.begin(), e.bytes.begin() + 6994, cache_b.begin());
    EXPECT_TRUE(zeros || a || b) << "torn record";
  }
  EXPECT_EQ(sends, 400u);
  // Each round's four host calls come as one block.
  for (std::size_t i = 0; i + 3 < events.size(); i += 4) {
    EXPECT_EQ(events[i].kind, EventKind::SendSP);
    EXPECT_EQ(events[i + 3].kind, EventKind::SaveHistory);
  }
}

// The device's settings entry: id first, then the settings, then the host's
// own handling, whose result is passed back unchanged, whatever the tree.
TEST_F(RoundCompletion, init_setting_writes_the_id_and_returns_the_host_result) {
  qrn_host::set_init_setting_result(7);
  Json::Value array(Json::arrayValue);
  array.append(1);
  for (const Json::Value& settings :
       {Json::Value(Json::objectValue), Json::Value(), Json::Value(5), array}) {
    TestDevice d;
    d.device_id_ = 0xA1B2C3D4;
    qrn_host::clear_events();
    testing::internal::CaptureStdout();
    EXPECT_EQ(d.InitSetting(settings), 7) << settings.toStyledString();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const uint32_t stored = d.record().device_id;  // a copy: the field is unaligned
    EXPECT_EQ(stored, 0xA1B2C3D4u);
    EXPECT_EQ(qrn_host::count(EventKind::InitSetting), 1u);
  }
  qrn_host::set_init_setting_result(1);
}

// JOURNAL_STREAM names the journal's stream as "DEVICE:INODE"; another file or
// any other text is no journal, and its lines get no priority.
TEST(JournalStream, only_the_named_device_and_inode_is_the_journal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  struct stat st;
  ASSERT_EQ(fstat(fds[1], &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  EXPECT_TRUE(names_stream_of((dev + ":" + ino).c_str(), fds[1]));
  for (const std::string& v : {dev + ":" + std::to_string(st.st_ino + 1), dev + ":" + ino + "x",
                               ":" + ino, dev + ":", dev, " " + dev + ":" + ino,
                               dev + ":-" + ino, std::string()})
    EXPECT_FALSE(names_stream_of(v.c_str(), fds[1])) << v;
  EXPECT_FALSE(names_stream_of(nullptr, fds[1]));
  // A stream other than standard output and error is looked at every time.
  ::setenv("JOURNAL_STREAM", (dev + ":" + ino).c_str(), 1);
  EXPECT_EQ(journal_prefix(fds[1], LogPriority::Warning), "<4>");
  EXPECT_EQ(journal_prefix(fds[1], LogPriority::Info), "<6>");
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(journal_prefix(fds[1], LogPriority::Warning), "");
  close(fds[0]);
  close(fds[1]);
}
