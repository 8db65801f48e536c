// qrn-host: a small host for the driver plug-in. It loads the module, creates
// and configures the devices of a configuration file, and prints, dumps and
// stores every record the devices hand over.
#include "config.h"
#include "history.h"
#include "host_stub.h"
#include "http_view.h"
#include "qrn_device.h"
#include "record.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

constexpr const char* kUsage =
    "usage: qrn-host --plugin PATH --config FILE [--rounds N] [--dump-dir DIR] [--history FILE]\n"
    "                [--http ADDRESS:PORT]\n"
    "\n"
    "  --plugin PATH    the driver module (build/libquorlin.so)\n"
    "  --config FILE    devices: {\"devices\": [{\"id\": 7, \"address\": \"10.0.0.5\",\n"
    "                   \"port\": 4840, \"settings\": {...}}]}\n"
    "  --rounds N       exit once every device has handed over N records\n"
    "                   (0: set the devices up, then stop); default: run until\n"
    "                   SIGINT or SIGTERM\n"
    "  --dump-dir DIR   write each record to DIR/<device id>-<round>.bin\n"
    "  --history FILE   keep device history in an SQLite file; at start-up each\n"
    "                   device gets its last stored record back\n"
    "  --http ADDR:PORT serve the live view (page and JSON API) there, e.g.\n"
    "                   127.0.0.1:8080; port 0 picks a free port\n";

struct Options {
  std::string plugin;
  std::string config;
  std::optional<unsigned long> rounds;
  std::string dump_dir;
  std::string history;
  std::string http;
};

// One line on standard error.
void say(const std::string& text) {
  std::fprintf(stderr, "qrn-host: %s\n", text.c_str());
}

int usage_error(const std::string& text) {
  say(text);
  std::fputs(kUsage, stderr);
  return kUsageError;
}

// 0 on success, otherwise the exit status.
int parse_args(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::fflush(stdout);
      return -1;
    }
    std::string* target = nullptr;
    std::string rounds_text;
    if (arg == "--plugin") target = &options.plugin;
    else if (arg == "--config") target = &options.config;
    else if (arg == "--dump-dir") target = &options.dump_dir;
    else if (arg == "--history") target = &options.history;
    else if (arg == "--rounds") target = &rounds_text;
    else if (arg == "--http") target = &options.http;
    else return usage_error("unknown argument '" + arg + "'");
    if (i + 1 >= argc) return usage_error(arg + " needs a value");
    *target = argv[++i];
    if (target->empty()) return usage_error(arg + " needs a non-empty value");
    if (target == &rounds_text) {
      if (rounds_text.size() > 9 ||
          rounds_text.find_first_not_of("0123456789") != std::string::npos)
        return usage_error("--rounds takes a whole number from 0 to 999999999, not '" +
                           rounds_text + "'");
      options.rounds = std::stoul(rounds_text);
    }
    if (target == &options.http) {
      std::string address, error;
      int port = 0;
      if (!parse_listen_address(options.http, address, port, error)) return usage_error(error);
    }
  }
  if (options.plugin.empty()) return usage_error("--plugin is required");
  if (options.config.empty()) return usage_error("--config is required");
  return 0;
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = "cannot read " + path + ": it is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  text = buffer.str();
  return true;
}

// Creates the directory when missing and proves that a file can be written in it.
bool prepare_dump_dir(const std::string& dir, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    error = "cannot use dump directory " + dir + ": " +
            (ec ? ec.message() : std::string("not a directory"));
    return false;
  }
  const std::string probe = dir + "/.qrn-host-probe-" + std::to_string(getpid());
  std::FILE* f = std::fopen(probe.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write in dump directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  std::remove(probe.c_str());
  return true;
}

struct DeviceSlot {
  uint32_t id = 0;
  std::unique_ptr<QRNSocketDevice> device;
  unsigned long rounds = 0;  // records handed over so far
  int data_id = qrn_record::kDataId;
};

// Everything the hook touches; the hook runs on the devices' threads (and on
// the main thread for a restored record), serialised by `mutex`.
class Runner {
 public:
  Runner(const Options& options, HistoryStore* history)
      : options_(options), history_(history) {}

  void add(DeviceSlot* slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot->device.get()] = slot;
  }

  void on_event(const qrn_host::Event& e) {
    if (e.kind != qrn_host::EventKind::SendSP && e.kind != qrn_host::EventKind::SaveHistory)
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = slots_.find(e.device);
    if (it == slots_.end() || failed_) return;
    DeviceSlot& slot = *it->second;
    if (e.kind == qrn_host::EventKind::SendSP) {
      handed_over(slot, e);
    } else if (history_ != nullptr) {
      std::string error;
      if (!history_->save(slot.id, slot.data_id, qrn_record::local_now_text(), e.bytes.data(),
                          e.bytes.size(), error))
        fail("device " + std::to_string(slot.id) + ": " + error);
    }
    changed_.notify_all();
  }

  void request_stop(int signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_signal_) stop_signal_ = signal;
    changed_.notify_all();
  }

  // Until every device has handed over `rounds` records, a signal came, or a
  // record could not be kept.
  void wait(std::optional<unsigned long> rounds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      if (failed_ || stop_signal_ != 0) return true;
      if (!rounds) return false;
      for (const auto& entry : slots_)
        if (entry.second->rounds < *rounds) return false;
      return true;
    });
  }

  bool failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  int stop_signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_signal_;
  }

 private:
  void handed_over(DeviceSlot& slot, const qrn_host::Event& e) {
    slot.data_id = e.data_id;
    const unsigned long round = ++slot.rounds;
    const std::string time =
        e.bytes.size() >= qrn_record::kSize ? qrn_record::stamp_text(e.bytes.data()) : "-";
    char line[160];
    std::snprintf(line, sizeof line, "device %u round %lu data %d size %u time %s\n",
                  static_cast<unsigned>(slot.id), round, e.data_id, e.size, time.c_str());
    std::fputs(line, stdout);
    std::fflush(stdout);
    if (!options_.dump_dir.empty()) {
      const std::string path = options_.dump_dir + "/" + std::to_string(slot.id) + "-" +
                               std::to_string(round) + ".bin";
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(e.bytes.data()),
                static_cast<std::streamsize>(e.bytes.size()));
      out.close();
      if (!out) fail("cannot write " + path + ": " + std::strerror(errno));
    }
  }

  void fail(const std::string& text) {
    if (!failed_) say(text);
    failed_ = true;
  }

  const Options& options_;
  HistoryStore* history_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<const QRNVDevice*, DeviceSlot*> slots_;
  bool failed_ = false;
  int stop_signal_ = 0;
};

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

// The plug-in, unloaded when it goes out of scope (after its objects are gone).
struct Module {
  void* handle = nullptr;
  ~Module() {
    if (handle) dlclose(handle);
  }
};

// Waits for SIGINT or SIGTERM on a thread of its own; the signals are
// blocked in every other thread.
class SignalWaiter {
 public:
  explicit SignalWaiter(Runner& runner) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    thread_ = std::thread([this, &runner] {
      int signal = 0;
      if (sigwait(&set_, &signal) == 0 && !done_) runner.request_stop(signal);
    });
  }
  ~SignalWaiter() {
    done_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait if still waiting
    thread_.join();
  }

  static void block_in_this_thread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

 private:
  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Routes the host's events to the runner while it exists. The in-memory event
// log is off: a long-running host would otherwise keep every record.
struct HookGuard {
  HookGuard(Runner& runner, HttpView& view) {
    qrn_host::set_recording(false);
    qrn_host::set_hook([&runner, &view](const qrn_host::Event& e) {
      runner.on_event(e);
      view.on_event(e);
    });
  }
  ~HookGuard() { qrn_host::set_hook(nullptr); }
};

int run(const Options& options) {
  std::string error;
  std::string text;
  if (!read_file(options.config, text, error)) {
    say(error);
    return kFailure;
  }
  HostConfig config;
  if (!parse_host_config(text, config, error)) {
    say(options.config + ": " + error);
    return kFailure;
  }
  if (!options.dump_dir.empty() && !prepare_dump_dir(options.dump_dir, error)) {
    say(error);
    return kFailure;
  }
  std::unique_ptr<HistoryStore> history;
  if (!options.history.empty()) {
    history = std::make_unique<HistoryStore>();
    if (!history->open(options.history, HistoryStore::Mode::ReadWrite, error)) {
      say(error);
      return kFailure;
    }
  }

  // A bare file name means a file here, not a search of the library path.
  const std::string plugin =
      options.plugin.find('/') == std::string::npos ? "./" + options.plugin : options.plugin;
  Module module;
  module.handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module.handle == nullptr) {
    say(std::string("cannot load plug-in: ") + dlerror());
    return kFailure;
  }
  void* entry = dlsym(module.handle, "get_providers");
  if (entry == nullptr) {
    say("plug-in " + options.plugin + " has no get_providers");
    return kFailure;
  }

  Runner runner(options, history.get());
  HttpView view(config.devices, options.history);  // serves only with --http
  if (!options.http.empty() && !view.start(options.http, error)) {
    say(error);
    return kFailure;
  }
  HookGuard hook(runner, view);

  std::vector<std::unique_ptr<DeviceSlot>> slots;
  int status = 0;
  {
    SignalWaiter signals(runner);
    std::vector<std::shared_ptr<Provider>> providers =
        reinterpret_cast<GetProvidersFn>(entry)();
    QRNSocketDeviceProvider* factory = nullptr;
    for (const auto& p : providers)
      if (!factory) factory = dynamic_cast<QRNSocketDeviceProvider*>(p.get());
    if (factory == nullptr) {
      say("plug-in " + options.plugin + " offers no socket-device provider");
      status = kFailure;
    }

    for (const DeviceConfig& dc : config.devices) {
      if (status != 0 || runner.stop_signal() != 0 || runner.failed()) break;
      auto slot = std::make_unique<DeviceSlot>();
      slot->id = dc.id;
      slot->device.reset(factory->create());
      if (!slot->device) {
        say("device " + std::to_string(dc.id) + ": the provider made no device");
        status = kFailure;
        break;
      }
      runner.add(slot.get());
      slots.push_back(std::move(slot));
      QRNSocketDevice& device = *slots.back()->device;

      Json::Value cfg(Json::objectValue);
      cfg["address"] = dc.address;
      cfg["port"] = dc.port;
      device.Init(std::weak_ptr<QRNController>(), dc.id, cfg);

      if (history) {
        error.clear();
        const auto last = history->last(dc.id, error);
        if (!error.empty()) {
          say("device " + std::to_string(dc.id) + ": " + error);
          status = kFailure;
          break;
        }
        if (last && device.LoadFromCache(last->data(), static_cast<int>(last->size())) == 0)
          say("device " + std::to_string(dc.id) + ": last stored record (" +
                    std::to_string(last->size()) + " bytes) refused, not restored");
      }
      device.InitSetting(dc.settings);
    }

    if (status == 0 && (!options.rounds || *options.rounds > 0)) runner.wait(options.rounds);
    if (runner.stop_signal() != 0)
      say(std::string("stopping on ") + (runner.stop_signal() == SIGINT ? "SIGINT" : "SIGTERM"));

    // Devices first (their destructors stop and join the sampling threads),
    // then the providers, then the module.
    for (auto it = slots.rbegin(); it != slots.rend(); ++it) (*it)->device.reset();
    providers.clear();
  }
  if (status == 0 && runner.failed()) status = kFailure;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every later thread inherits the mask.
  SignalWaiter::block_in_this_thread();
  Options options;
  const int parsed = parse_args(argc, argv, options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  try {
    return run(options);
  } catch (const std::exception& e) {
    say(std::string("error: ") + e.what());
    return kFailure;
  }
}
