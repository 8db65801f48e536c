// The real plug-in module, loaded with dlopen and driven only through the
// host interface.
#include "module_fixture.h"

#include <gmock/gmock.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using qrn_host::EventKind;
using testing::Each;
using testing::Eq;

namespace {

std::size_t count_lines(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

// Polls the device lines written so far under CaptureStdout (which sends fd 1 to
// a temporary file, read back here without ending the capture) until `done`.
bool wait_for_lines(const std::function<bool(const std::vector<std::string>&)>& done,
                    std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = pread(STDOUT_FILENO, buf, sizeof buf, off_t(out.size()))) > 0;)
      out.append(buf, std::size_t(n));
    if (done(device_lines(out))) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

bool sampled(std::size_t rounds, const std::vector<std::string>& lines) {
  return count_lines(lines, "Quorlin::do_sample") >= rounds;
}

}  // namespace

TEST_F(LoadedModule, each_call_gives_a_new_independent_provider) {
  auto first = get_providers_();
  auto second = get_providers_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
  EXPECT_EQ(first[0].use_count(), 1);
  EXPECT_NE(dynamic_cast<QRNSocketDeviceProvider*>(first[0].get()), nullptr);
  first.clear();  // releasing one leaves the other usable
  auto* factory = dynamic_cast<QRNSocketDeviceProvider*>(second[0].get());
  std::unique_ptr<QRNSocketDevice> device(factory->create());
  EXPECT_EQ(device->DeviceType(), "quorlin");
}

TEST_F(LoadedModule, create_gives_distinct_quorlin_devices_with_zero_records) {
  QRNSocketDevice* a = create_device(1);
  QRNSocketDevice* b = create_device(2);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a, b);
  for (QRNSocketDevice* d : {a, b}) {
    EXPECT_EQ(d->DeviceType(), "quorlin");
    EXPECT_TRUE(d->socket_option_);
    EXPECT_FALSE(d->data_ready_);
    EXPECT_TRUE(d->IsSupportDevice("quorlin"));
    EXPECT_EQ(d->RefreshStatus(), 0);
    EXPECT_EQ(d->process_data(0, nullptr, 0), 0);
    EXPECT_EQ(d->GetChildVDevice(0), nullptr);
    EXPECT_THROW(d->Get_Value(0, ""), std::out_of_range);
  }
  testing::internal::CaptureStdout();
  a->RoundDone();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  const auto events = qrn_host::events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].kind, EventKind::SendSP);
  EXPECT_EQ(events[0].size, 7001u);
  EXPECT_THAT(std::vector<unsigned char>(events[0].bytes.begin(), events[0].bytes.begin() + 6994),
              Each(Eq(0)));
}

TEST_F(LoadedModule, cache_round_trip_through_the_module) {
  QRNSocketDevice* d = create_device(5);
  std::string cache(7001, '\x11');
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->LoadFromCache(cache.substr(0, 7000)), 0);
  EXPECT_EQ(d->LoadFromCache(cache), 1);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(qrn_host::count(EventKind::SendSP), 1u);
  EXPECT_EQ(qrn_host::events()[0].bytes[100], 0x11);
  EXPECT_TRUE(d->data_ready_);
}

TEST_F(LoadedModule, device_without_settings_never_samples) {
  create_device(3, "127.0.0.1", 1);
  testing::internal::CaptureStdout();
  // Nothing to wait for: the check is that nothing happens within a bounded time.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(qrn_host::events().empty());
}

TEST_F(LoadedModule, empty_address_rounds_print_only_their_name) {
  QRNSocketDevice* d = create_device(4);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->InitSetting(Json::Value(Json::objectValue)), 1);
  EXPECT_TRUE(wait_for_lines([](const auto& lines) { return sampled(1, lines); }));
  const auto lines = device_lines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(lines, std::vector<std::string>{"Quorlin::do_sample"});
  EXPECT_EQ(qrn_host::count(EventKind::SendSP), 0u);
  EXPECT_EQ(qrn_host::count(EventKind::InitSetting), 1u) << "host settings still applied";
}

TEST_F(LoadedModule, settings_write_the_id_and_unknown_keys_still_start_sampling) {
  QRNSocketDevice* d = create_device(0x01020304);
  Json::Value settings(Json::objectValue);
  settings["unrelated"] = 5;
  testing::internal::CaptureStdout();
  d->InitSetting(settings);
  EXPECT_TRUE(wait_for_lines([](const auto& lines) { return sampled(1, lines); }));
  d->RoundDone();
  const auto lines = device_lines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(count_lines(lines, "Quorlin::do_sample"), 1u);
  const auto sent = qrn_host::events().at(1).bytes;  // after the host's InitSetting
  EXPECT_EQ(std::vector<unsigned char>(sent.begin(), sent.begin() + 5),
            std::vector<unsigned char>({4, 3, 2, 1, 0}));
}

TEST_F(LoadedModule, second_init_setting_reapplies_without_a_second_thread) {
  QRNSocketDevice* d = create_device(6);
  Json::Value settings(Json::objectValue);
  settings["appSetting"]["b_mode"] = 2;
  testing::internal::CaptureStdout();
  d->InitSetting(settings);
  d->InitSetting(settings);
  EXPECT_TRUE(wait_for_lines([](const auto& lines) { return sampled(1, lines); }));
  // A second thread would sample at once; a bounded wait that it does not.
  EXPECT_FALSE(wait_for_lines([](const auto& lines) { return sampled(2, lines); }, 300ms));
  const auto lines = device_lines(testing::internal::GetCapturedStdout());
  EXPECT_EQ(count_lines(lines, "Quorlin::do_sample"), 1u);
  EXPECT_EQ(count_lines(lines, "InitSetting 6 b_mode_:2"), 2u);
  EXPECT_EQ(qrn_host::count(EventKind::InitSetting), 2u);
}

TEST_F(LoadedModule, destroying_a_device_in_its_pause_is_prompt) {
  std::vector<QRNSocketDevice*> devices;
  for (unsigned id = 10; id < 14; ++id) devices.push_back(create_device(id));
  testing::internal::CaptureStdout();
  for (auto* d : devices) d->InitSetting(Json::Value(Json::objectValue));
  // Each has sampled its first round and is pausing before the next.
  EXPECT_TRUE(wait_for_lines([](const auto& lines) { return sampled(4, lines); }));
  const auto start = std::chrono::steady_clock::now();
  for (auto* d : devices) destroy(d);
  const auto took = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStdout();
  EXPECT_LT(took, 500ms);
}
