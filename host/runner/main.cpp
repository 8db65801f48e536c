// qrn-host: a small host for the driver plug-in. It loads the module, creates
// and configures the devices of a configuration file, and prints, dumps and
// stores every record the devices hand over.
#include "config.h"
#include "device_lines.h"
#include "history.h"
#include "host_stub.h"
#include "http_view.h"
#include "log.h"
#include "point_quality.h"
#include "qrn_device.h"
#include "record.h"
#include "report_json.h"
#include "retention.h"
#include "stagger.h"
#include "round_reports.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>
#include <limits.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

// Each device is a sampling thread and an OPC UA session of its own; beyond
// this many the unit's cores are saturated, unless --max-devices says so.
constexpr unsigned long kDefaultMaxDevices = 256;
constexpr unsigned long kMostMaxDevices = 1000000;
constexpr unsigned long kMostRounds = 999999999;
// A retention pass at start, then one an hour: each deletes in small batches.
constexpr unsigned kRetentionIntervalSeconds = 3600;
constexpr unsigned long kMostKeepDays = 36500;
constexpr unsigned long kMostKeepMb = 100000000;
constexpr const char* kLogLevels[] = {"error", "warn", "info", "debug"};
// --once gives up on a device whose first round has not ended this long after
// the last device started: a round against a silent controller ends within
// its timeouts (seconds), a slow round point by point within two minutes.
constexpr std::chrono::seconds kOnceBound{150};

// Everything the command line sets; defaults are the values without option.
struct Options {
  std::string plugin;
  std::string config;
  std::optional<unsigned long> rounds;
  bool once = false;
  std::string check_config;
  std::string dump_dir;
  std::string history;
  unsigned long max_devices = kDefaultMaxDevices;
  std::string http;
  std::string log_level = "warn";
  RetentionLimits retention;
};

// The installed plug-in, found from where this program runs: beside it in a
// build tree, else in the plug-in folder under the same prefix
// (/usr/bin/qrn-host finds /usr/lib/qrn/plugins/libquorlin.so).
std::string default_plugin() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return QRN_INSTALLED_PLUGIN;
  const std::filesystem::path dir = std::filesystem::path(std::string(self, n)).parent_path();
  std::error_code ec;
  const std::filesystem::path beside = dir / "libquorlin.so";
  if (std::filesystem::is_regular_file(beside, ec)) return beside.string();
  const std::filesystem::path installed = dir.parent_path() / QRN_PLUGIN_SUBDIR / "libquorlin.so";
  if (std::filesystem::is_regular_file(installed, ec)) return installed.string();
  return QRN_INSTALLED_PLUGIN;
}

// One line on standard error, with its priority when that is the journal.
void say(const std::string& text, LogPriority priority) {
  std::fprintf(stderr, "%sqrn-host: %s\n", journal_prefix(STDERR_FILENO, priority).c_str(),
               text.c_str());
}

// One line on standard output, as say() does.
void out(const std::string& text, LogPriority priority = LogPriority::Info) {
  const std::string line = journal_prefix(STDOUT_FILENO, priority) + text + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// --- command line ------------------------------------------------------------

// A whole number from `least` to `most`, or a usage error in the words the
// option's users know.
unsigned long whole_number(const std::string& option, const std::string& text,
                           unsigned long least, unsigned long most) {
  const std::string range = std::to_string(least) + " to " + std::to_string(most);
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(text) < least || std::stoul(text) > most)
    throw CLI::ValidationError(option + " takes a whole number from " + range + ", not '" +
                               text + "'");
  return std::stoul(text);
}

// A text option that must not be empty.
CLI::Option* add_text(CLI::App& app, const std::string& name, std::string& target,
                      const std::string& type, const std::string& help) {
  return app
      .add_option_function<std::string>(
          name,
          [name, &target](const std::string& value) {
            if (value.empty()) throw CLI::ValidationError(name + " needs a non-empty value");
            target = value;
          },
          help)
      ->type_name(type);
}

// CLI11's help text, the usage line first with the required options spelt
// out, then the description.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string) const override {
    return "usage: " + app->get_name() + " --config FILE [OPTIONS]\n\n" +
           app->get_description() + "\n";
  }
  std::string make_description(const CLI::App*) const override { return ""; }
};

void define_options(CLI::App& app, Options& o) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(20);
  app.description(
      "Loads the driver module, creates the devices of a configuration file and\n"
      "prints, dumps and stores every record they hand over.");
  app.set_help_flag("-h,--help", "print this help and exit");
  // A repeated option takes its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag_callback(
      "--version",
      [] {
        std::printf("qrn-host %s\n", QRN_VERSION);
        throw CLI::Success();
      },
      "print the version and exit");
  add_text(app, "--plugin", o.plugin, "PATH",
           "the driver module; default: the installed one,\n" QRN_INSTALLED_PLUGIN);
  add_text(app, "--config", o.config, "FILE",
           "devices, in strict JSON; required:\n"
           "{\"devices\": [{\"id\": 7, \"address\": \"10.0.0.5\",\n"
           "               \"port\": 4840, \"settings\": {...}}]}");
  app.add_option_function<std::string>(
         "--rounds",
         [&o](const std::string& v) { o.rounds = whole_number("--rounds", v, 0, kMostRounds); },
         "exit once every device has made N rounds, each a\n"
         "record handed over or a round that failed (then\n"
         "exit 1); 0: set the devices up, then stop;\n"
         "default: run until SIGINT or SIGTERM")
      ->type_name("N");
  app.add_flag_callback(
      "--once", [&o] { o.once = true; },
      "every device runs one round, then exit: 0 when each\n"
      "handed a record over, else 1 with a line per device\n"
      "that did not (a restored record does not count)");
  add_text(app, "--check-config", o.check_config, "FILE",
           "check a configuration as a reload would read it,\n"
           "then exit: 0 when usable, else 1 with the reason");
  add_text(app, "--dump-dir", o.dump_dir, "DIR", "write each record to DIR/<device id>-<round>.bin");
  add_text(app, "--history", o.history, "FILE",
           "keep device history in an SQLite file, held by this\n"
           "host alone; at start-up each device gets its last\n"
           "stored record back");
  app.add_option_function<std::string>(
         "--max-devices",
         [&o](const std::string& v) {
           o.max_devices = whole_number("--max-devices", v, 1, kMostMaxDevices);
         },
         "run at most N devices (default " + std::to_string(kDefaultMaxDevices) +
             "): a configuration\nwith more is refused")
      ->type_name("N");
  app.add_option_function<std::string>(
         "--http",
         [&o](const std::string& v) {
           std::string address, error;
           int port = 0;
           if (!parse_listen_address(v, address, port, error)) throw CLI::ValidationError(error);
           o.http = v;
         },
         "serve the live view (page and JSON API) there, e.g.\n"
         "127.0.0.1:8080; port 0 picks a free port")
      ->type_name("ADDR:PORT");
  app.add_option_function<std::string>(
         "--log-level",
         [&o](const std::string& v) {
           for (const char* level : kLogLevels)
             if (v == level) {
               o.log_level = v;
               return;
             }
           throw CLI::ValidationError("--log-level takes error, warn, info or debug, not '" + v +
                                      "'");
         },
         "the OPC UA library's lines from this level up:\n"
         "error, warn (default), info or debug")
      ->type_name("LEVEL");
  app.add_option_function<std::string>(
         "--keep-days",
         [&o](const std::string& v) {
           o.retention.keep_days = whole_number("--keep-days", v, 1, kMostKeepDays);
         },
         "delete history records older than N days\n"
         "(at start, then hourly, in small batches)")
      ->type_name("N");
  app.add_option_function<std::string>(
         "--keep-mb",
         [&o](const std::string& v) {
           o.retention.keep_bytes =
               static_cast<uint64_t>(whole_number("--keep-mb", v, 1, kMostKeepMb)) << 20;
         },
         "delete the oldest history records while the\n"
         "history holds more than N MiB")
      ->type_name("N");
  app.footer(
      "Installed: the plug-in in " QRN_INSTALLED_PLUGIN_DIR ",\n"
      "the unit's configuration in /etc/qrn/qrn-host.json, history and dumps in\n"
      "/var/lib/qrn (the service qrn-host.service). SIGHUP reads the configuration\n"
      "again; SIGINT and SIGTERM stop the host.");
}

// The reason for a command line that could not be understood, in one line.
std::string parse_error_text(const CLI::App& app, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr && !app.remaining().empty())
    return "unknown argument '" + app.remaining().front() + "'";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    // CLI11 names the option first: "--config: 1 required TEXT missing".
    const std::string what = e.what();
    for (const CLI::Option* opt : app.get_options())
      if (what.rfind(opt->get_name() + ":", 0) == 0) return opt->get_name() + " needs a value";
  }
  return e.what();
}

// 0 when the host is to run, -1 after --help, otherwise the exit status.
int parse_args(int argc, char** argv, Options& options) {
  CLI::App app("", "qrn-host");
  define_options(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return std::fflush(stdout) == 0 ? -1 : kFailure;
  } catch (const CLI::Success&) {  // --version
    return std::fflush(stdout) == 0 ? -1 : kFailure;
  } catch (const CLI::ParseError& e) {
    say(parse_error_text(app, e), LogPriority::Error);
    std::fputs(app.help().c_str(), stderr);
    return kUsageError;
  }
  // Checked here rather than by CLI11 so that an unknown argument is named
  // first, as it comes first on the command line.
  const char* missing =
      options.config.empty() && options.check_config.empty() ? "--config" : nullptr;
  if (options.once && options.rounds) {
    say("--once and --rounds cannot go together", LogPriority::Error);
    std::fputs(app.help().c_str(), stderr);
    return kUsageError;
  }
  if (options.retention.any() && options.history.empty()) {
    say("--keep-days and --keep-mb need --history", LogPriority::Error);
    std::fputs(app.help().c_str(), stderr);
    return kUsageError;
  }
  if (missing != nullptr) {
    say(std::string(missing) + " is required", LogPriority::Error);
    std::fputs(app.help().c_str(), stderr);
    return kUsageError;
  }
  return 0;
}

// --- files -------------------------------------------------------------------

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

// Writes a whole file or none: the bytes go to a temporary file in the same
// folder, which is renamed into place only once every byte is written and synced.
bool write_whole_file(const std::string& path, const unsigned char* data, std::size_t size,
                      std::string& error) {
  const std::size_t slash = path.rfind('/');
  const std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmp-" +
                           std::to_string(getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  int err = 0;
  for (std::size_t done = 0; done < size && err == 0;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      err = errno;
    else if (n == 0)
      err = ENOSPC;
  }
  // On the disk before the name: after a power cut the file is whole or absent.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    error = std::strerror(err);
    return false;
  }
  return true;
}

// Whether the records going to one place (the dump folder, the history) are
// being kept. A failure is one line; the same failure again is counted, not
// repeated, until a record is kept again, which is one line too.
class WriteState {
 public:
  explicit WriteState(std::string place) : place_(std::move(place)) {}

  void failed(const std::string& what, const std::string& error) {
    ++lost_total_;
    ++lost_now_;
    if (error == error_) return;
    error_ = error;
    say(what + ": " + error + " (sampling goes on; said again when records are kept)",
        LogPriority::Warning);
  }

  void succeeded() {
    if (error_.empty()) return;
    say(place_ + ": records kept again after " + std::to_string(lost_now_) + " lost",
        LogPriority::Info);
    error_.clear();
    lost_now_ = 0;
  }

  unsigned long lost() const { return lost_total_; }

 private:
  std::string place_;
  std::string error_;  // the failure going on, empty while records are kept
  unsigned long lost_now_ = 0;
  unsigned long lost_total_ = 0;
};

struct DeviceSlot {
  uint32_t id = 0;
  DeviceConfig config;  // the entry it was made from, compared on reload
  std::unique_ptr<QRNSocketDevice> device;
  unsigned long rounds = 0;  // records handed over so far
  unsigned long failed_rounds = 0;  // rounds that handed nothing over
  uint32_t last_failure = 0;        // the outcome of the last of them
  unsigned long ended = 0;   // rounds of its own ended (a restored record is not one)
  bool round_lines = true;   // its "device N round N ..." line
  int data_id = qrn_record::kDataId;
  int report_id = 0;         // its round reports' data id; 0: none
  bool restoring = false;    // its stored record is being handed back
  bool remade = false;       // ran before in this run: its restored record is no new round
};

// Everything the hook touches; the hook runs on the devices' threads (and on
// the main thread for a restored record), serialised by `mutex`. A record that
// cannot be dumped or stored is reported and counted; sampling goes on.
class Runner {
 public:
  // `history_gate` is held around each save; retention holds it around its steps.
  Runner(const Options& options, HistoryStore* history, std::mutex* history_gate)
      : options_(options), history_(history), history_gate_(history_gate) {}

  void add(DeviceSlot* slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot->device.get()] = slot;
  }

  // Forgets a device once it is deleted (its last round's events are in).
  void remove(const QRNVDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.erase(device);
    changed_.notify_all();
  }

  void request_reload() {
    std::lock_guard<std::mutex> lock(mutex_);
    reload_ = true;
    changed_.notify_all();
  }

  // Whether a reload was asked for since the last call.
  bool take_reload() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool asked = reload_;
    reload_ = false;
    return asked;
  }

  // False for a remade device's restored record, which the live view skips too.
  bool on_event(const qrn_host::Event& e) {
    if (e.kind != qrn_host::EventKind::SendSP && e.kind != qrn_host::EventKind::SaveHistory)
      return true;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = slots_.find(e.device);
    if (it == slots_.end()) return true;
    DeviceSlot& slot = *it->second;
    // --rounds 0 sets the devices up (a stored record restored) and stops
    // them: a round that got under way meanwhile is no record of the run.
    if (options_.rounds && *options_.rounds == 0 && !slot.restoring) return false;
    const bool report = e.kind == qrn_host::EventKind::SendSP && slot.report_id != 0 &&
                        e.data_id == slot.report_id;
    if (slot.restoring && slot.remade) return false;
    const bool reached_before = reached(slot);
    if (e.kind == qrn_host::EventKind::SendSP && !report) {
      handed_over(slot, e);
    } else if (report) {
      // A round's report says how it ended, also when it handed nothing over.
      qrn_report::RoundReport r;
      ++slot.ended;
      if (qrn_report::decode(e.bytes.data(), e.bytes.size(), r) && r.outcome != 0) {
        ++slot.failed_rounds;
        slot.last_failure = r.outcome;
      }
      // Round reports go into the history beside the records; one that cannot
      // be saved is counted, the records' lines say what fails.
      std::string error;
      if (history_ != nullptr) {
        std::lock_guard<std::mutex> gate(*history_gate_);
        if (!history_->save(slot.id, slot.report_id, qrn_record::local_now_text(), e.bytes.data(),
                            e.bytes.size(), error))
          ++reports_lost_;
      }
    } else if (history_ != nullptr && !slot.restoring) {
      // A restored record is in the history already.
      std::string error;
      std::lock_guard<std::mutex> gate(*history_gate_);
      if (history_->save(slot.id, slot.data_id, qrn_record::local_now_text(), e.bytes.data(),
                         e.bytes.size(), error))
        history_state_.succeeded();
      else
        history_state_.failed("cannot save device " + std::to_string(slot.id) +
                                  "'s record in history " + history_->path(),
                              error);
    }
    // Only a device reaching the goal can end wait(): waking the waiter on
    // every record would cost a thread switch per round.
    if (!reached_before && reached(slot)) changed_.notify_all();
    return true;
  }

  void request_stop(int signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_signal_) stop_signal_ = signal;
    changed_.notify_all();
  }

  // Until every device has made the rounds --rounds or --once asks for, a
  // stop signal came, a reload was asked for or `deadline` passed.
  void wait(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [&] {
      if (stop_signal_ != 0 || reload_) return true;
      if (!options_.rounds && !options_.once) return false;
      for (const auto& entry : slots_)
        if (!reached(*entry.second)) return false;
      return true;
    };
    if (deadline)
      changed_.wait_until(lock, *deadline, ready);
    else
      changed_.wait(lock, ready);
  }

  // One line per device whose rounds handed nothing over, or that made none
  // of its own with --once; empty when every round handed a record over.
  std::vector<std::string> round_failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& entry : slots_) {
      const DeviceSlot& s = *entry.second;
      const std::string who = "device " + std::to_string(s.id) + ": ";
      if (s.failed_rounds > 0)
        lines.push_back(who + std::to_string(s.failed_rounds) + " of " +
                        std::to_string(s.ended) + " rounds handed no record over (last: " +
                        status_name(s.last_failure) + ")");
      else if (!reached(s))
        lines.push_back(who + "no round ended within " + std::to_string(kOnceBound.count()) +
                        " s");
    }
    return lines;
  }

  int stop_signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_signal_;
  }

  // Waits until `when`; false as soon as a signal came.
  bool pause_until(std::chrono::steady_clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, when, [&] { return stop_signal_ != 0; });
  }

  void set_restoring(DeviceSlot& slot, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    slot.restoring = on;
  }

  // Records and reports lost to the history, and records lost to the dump
  // folder, so far.
  std::pair<unsigned long, unsigned long> failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {history_state_.lost() + reports_lost_, dump_state_.lost()};
  }

  // One line on the records lost over the whole run, or "" when none was.
  std::string losses() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    if (dump_state_.lost() > 0)
      text = std::to_string(dump_state_.lost()) + " records not written to " + options_.dump_dir;
    if (history_state_.lost() > 0)
      text += (text.empty() ? "" : ", ") + std::to_string(history_state_.lost()) +
              " records not saved in history " + options_.history;
    return text;
  }

 private:
  // Whether the device made the rounds asked for: with --once its first
  // round of its own ended, with --rounds N it handed over N records or
  // made N rounds in all.
  bool reached(const DeviceSlot& slot) const {
    if (options_.once) return slot.ended > 0;
    return options_.rounds && slot.rounds + slot.failed_rounds >= *options_.rounds;
  }

  void handed_over(DeviceSlot& slot, const qrn_host::Event& e) {
    slot.data_id = e.data_id;
    const unsigned long round = ++slot.rounds;
    // Without reports a record of its own is how a round is seen to end.
    if (slot.report_id == 0 && !slot.restoring) ++slot.ended;
    const std::string time =
        e.bytes.size() >= qrn_record::kSize ? qrn_record::stamp_text(e.bytes.data()) : "-";
    char line[160];
    std::snprintf(line, sizeof line, "device %u round %lu data %d size %u time %s",
                  static_cast<unsigned>(slot.id), round, e.data_id, e.size, time.c_str());
    if (slot.round_lines) out(line);
    if (!options_.dump_dir.empty()) {
      const std::string path = options_.dump_dir + "/" + std::to_string(slot.id) + "-" +
                               std::to_string(round) + ".bin";
      std::string error;
      if (write_whole_file(path, e.bytes.data(), e.bytes.size(), error))
        dump_state_.succeeded();
      else
        dump_state_.failed("cannot write " + path, error);
    }
  }

  const Options& options_;
  HistoryStore* history_;
  std::mutex* history_gate_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<const QRNVDevice*, DeviceSlot*> slots_;
  WriteState dump_state_{"dump folder " + options_.dump_dir};
  WriteState history_state_{"history " + options_.history};
  unsigned long reports_lost_ = 0;  // round reports not saved in history
  int stop_signal_ = 0;
  bool reload_ = false;
};

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

// The plug-in, unloaded when it goes out of scope (after its objects are gone).
struct Module {
  void* handle = nullptr;
  ~Module() {
    if (handle) dlclose(handle);
  }
};

// Waits for SIGINT, SIGTERM (stop) and SIGHUP (reload) on a thread of its
// own; the signals are blocked in every other thread.
class SignalWaiter {
 public:
  explicit SignalWaiter(Runner& runner) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    thread_ = std::thread([this, &runner] {
      int signal = 0;
      while (sigwait(&set_, &signal) == 0 && !done_) {
        if (signal != SIGHUP) {
          runner.request_stop(signal);
          return;
        }
        runner.request_reload();
      }
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
    sigaddset(&set, SIGHUP);
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
      if (runner.on_event(e)) view.on_event(e);
    });
  }
  ~HookGuard() { qrn_host::set_hook(nullptr); }
};

// Hands the device its last stored record, unless that record has the wrong
// size or another device's id. False when the history could not be read.
// The view shows it unless `view` is null (a remade device shows its last).
bool restore_last(HistoryStore& history, QRNSocketDevice& device, uint32_t id,
                  HttpView* view) {
  const std::string who = "device " + std::to_string(id);
  std::string error;
  const auto last = history.last(id, qrn_record::kSize, error);
  if (!error.empty()) {
    say(who + ": " + error, LogPriority::Error);
    return false;
  }
  if (!last) return true;
  if (last->bytes.size() != qrn_record::kSize) {
    say(who + ": last stored record (" + std::to_string(last->size) +
        " bytes) refused, not restored", LogPriority::Warning);
  } else if (qrn_record::device_id(last->bytes.data()) != id) {
    say(who + ": last stored record carries device id " +
        std::to_string(qrn_record::device_id(last->bytes.data())) + ", not restored",
        LogPriority::Warning);
  } else if (device.LoadFromCache(last->bytes.data(), static_cast<int>(last->bytes.size())) == 0) {
    say(who + ": last stored record (" + std::to_string(last->size) +
        " bytes) refused, not restored", LogPriority::Warning);
  } else if (view != nullptr) {
    // The points' quality as the device's round reports of the last hour
    // (at five seconds a round) tell it.
    PointQuality quality;
    std::string why;
    if (!load_point_quality(history, id, quality, why, 720)) {
      say(who + ": last stored record restored without its points' quality: " + why,
          LogPriority::Warning);
      quality = PointQuality();
    }
    view->restored(id, last->bytes, std::move(quality.statuses), std::move(quality.read_at));
  }
  return true;
}

// Reads and checks the configuration file: one line in `error` if unusable.
// A reload takes only a regular file: a pipe would hold up the running host.
bool load_config(const Options& options, HostConfig& config, std::string& error,
                 bool reload = false) {
  std::string text;
  if (!read_config_file(options.config, text, error, reload)) return false;
  if (!parse_host_config(text, config, error)) {
    error = options.config + ": " + error;
    return false;
  }
  if (config.devices.size() > options.max_devices) {
    error = options.config + ": " + std::to_string(config.devices.size()) +
            " devices, more than the " + std::to_string(options.max_devices) +
            " this host runs (each is a thread and a session; --max-devices N raises the limit)";
    return false;
  }
  return true;
}

bool same_entry(const DeviceConfig& a, const DeviceConfig& b) {
  return a.address == b.address && a.port == b.port && a.settings == b.settings;
}

// The running devices: made from configuration entries, deleted (their
// threads stopped and joined) on reload or at exit.
class DeviceSet {
 public:
  DeviceSet(QRNSocketDeviceProvider& factory, Runner& runner, HistoryStore* history,
            HttpView& view)
      : factory_(factory), runner_(runner), history_(history), view_(view) {}
  ~DeviceSet() {
    while (!slots_.empty()) stop(slots_.size() - 1);
  }

  // Creates, restores and configures the device; false when that failed.
  bool start(const DeviceConfig& dc) {
    auto slot = std::make_unique<DeviceSlot>();
    slot->id = dc.id;
    slot->config = dc;
    // A device made again goes on counting: its dump files are not overwritten.
    const auto ran = rounds_.find(dc.id);
    slot->remade = ran != rounds_.end();
    slot->rounds = slot->remade ? ran->second : 0;
    slot->device.reset(factory_.create());
    if (!slot->device) {
      say("device " + std::to_string(dc.id) + ": the provider made no device",
          LogPriority::Error);
      return false;
    }
    slot->round_lines = round_lines_on(dc);
    out(device_start_line(dc));
    for (const std::string& line : unknown_key_lines(dc)) say(line, LogPriority::Warning);
    runner_.add(slot.get());
    slots_.push_back(std::move(slot));
    QRNSocketDevice& device = *slots_.back()->device;

    Json::Value cfg(Json::objectValue);
    cfg["address"] = dc.address;
    cfg["port"] = dc.port;
    device.Init(std::weak_ptr<QRNController>(), dc.id, cfg);
    runner_.set_restoring(*slots_.back(), true);
    HttpView* shown = slots_.back()->remade ? nullptr : &view_;
    const bool restored = !history_ || restore_last(*history_, device, dc.id, shown);
    runner_.set_restoring(*slots_.back(), false);
    if (!restored) return false;
    device.InitSetting(settings_with_reports(dc.settings, slots_.back()->report_id));
    return true;
  }

  // Applies a new configuration: removed and changed devices are deleted
  // (their records stay in the history), then added and changed ones made.
  bool apply(const HostConfig& config) {
    std::map<uint32_t, const DeviceConfig*> wanted;
    for (const DeviceConfig& dc : config.devices) wanted[dc.id] = &dc;
    for (std::size_t i = slots_.size(); i-- > 0;) {
      const auto it = wanted.find(slots_[i]->id);
      if (it != wanted.end() && same_entry(*it->second, slots_[i]->config)) {
        wanted.erase(it);
        continue;
      }
      out("device " + std::to_string(slots_[i]->id) + ": " +
          (it == wanted.end() ? "removed, stopped" : "changed, made again"));
      stop(i);
    }
    for (const DeviceConfig& dc : config.devices)
      if (wanted.count(dc.id) != 0 && !start(dc)) return false;
    return true;
  }

 private:
  void stop(std::size_t i) {
    const QRNVDevice* key = slots_[i]->device.get();
    slots_[i]->device.reset();  // stops and joins its sampling thread
    runner_.remove(key);
    rounds_[slots_[i]->id] = slots_[i]->rounds;
    slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(i));
  }

  QRNSocketDeviceProvider& factory_;
  Runner& runner_;
  HistoryStore* history_;
  HttpView& view_;
  std::vector<std::unique_ptr<DeviceSlot>> slots_;
  std::map<uint32_t, unsigned long> rounds_;  // records of devices no longer running
};

// --check-config: the file as a reload would take it, said in one line.
int check_config(Options options) {
  options.config = options.check_config;
  HostConfig config;
  std::string error;
  if (!load_config(options, config, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  for (const DeviceConfig& dc : config.devices)
    for (const std::string& line : unknown_key_lines(dc)) say(line, LogPriority::Warning);
  out(options.config + ": " + std::to_string(config.devices.size()) +
      (config.devices.size() == 1 ? " device" : " devices") + ", usable");
  return 0;
}

int run(const Options& options) {
  std::string error;
  HostConfig config;
  if (!load_config(options, config, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  if (!options.dump_dir.empty() && !prepare_dump_dir(options.dump_dir, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  std::unique_ptr<HistoryStore> history;
  std::mutex history_gate;  // saves and retention's steps, one at a time
  Retention retention;
  if (!options.history.empty()) {
    history = std::make_unique<HistoryStore>();
    if (!history->open(options.history, HistoryStore::Mode::ReadWrite, error)) {
      say(error, LogPriority::Error);
      return kFailure;
    }
    if (options.retention.any() &&
        !retention.start(options.history, options.retention, kRetentionIntervalSeconds,
                         &history_gate, error)) {
      say(error, LogPriority::Error);
      return kFailure;
    }
  }

  // The module reads the library's log level when it logs; set before it loads
  // and before any thread exists.
  ::setenv("QRN_LOG_LEVEL", options.log_level.c_str(), 1);
  // A bare file name means a file here, not a search of the library path.
  const std::string given = options.plugin.empty() ? default_plugin() : options.plugin;
  const std::string plugin = given.find('/') == std::string::npos ? "./" + given : given;
  Module module;
  module.handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module.handle == nullptr) {
    say(std::string("cannot load plug-in: ") + dlerror(), LogPriority::Error);
    return kFailure;
  }
  void* entry = dlsym(module.handle, "get_providers");
  if (entry == nullptr) {
    say("plug-in " + given + " has no get_providers", LogPriority::Error);
    return kFailure;
  }

  Runner runner(options, history.get(), &history_gate);
  HttpView view(config.devices, options.history);  // serves only with --http
  if (!options.http.empty() && !view.start(options.http, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  HookGuard hook(runner, view);
  view.view().set_failure_counts([&runner] { return runner.failures(); });

  int status = 0;
  {
    SignalWaiter signals(runner);
    std::vector<std::shared_ptr<Provider>> providers =
        reinterpret_cast<GetProvidersFn>(entry)();
    QRNSocketDeviceProvider* factory = nullptr;
    for (const auto& p : providers)
      if (!factory) factory = dynamic_cast<QRNSocketDeviceProvider*>(p.get());
    if (factory == nullptr) {
      say("plug-in " + given + " offers no socket-device provider", LogPriority::Error);
      status = kFailure;
    } else {
      // Deleted before the providers, which go before the module.
      DeviceSet devices(*factory, runner, history.get(), view);
      // First rounds spread over the pause, as many devices would otherwise
      // all connect at once.
      const auto spacing = first_round_spacing(config.devices.size());
      const auto first_start = std::chrono::steady_clock::now();
      std::size_t started = 0;
      for (const DeviceConfig& dc : config.devices) {
        if (runner.stop_signal() != 0) break;
        const bool spread = !options.rounds || *options.rounds > 0;
        if (started > 0 && spread && !runner.pause_until(first_start + spacing * started)) break;
        ++started;
        if (!devices.start(dc)) {
          status = kFailure;
          break;
        }
      }
      // --once gives each device's first round a bound of its own.
      std::optional<std::chrono::steady_clock::time_point> deadline;
      if (options.once) deadline = std::chrono::steady_clock::now() + kOnceBound;
      const bool some_rounds = options.once || (options.rounds && *options.rounds > 0);
      while (status == 0 && (!options.rounds || *options.rounds > 0)) {
        runner.wait(deadline);
        if (runner.stop_signal() != 0 || !runner.take_reload()) break;
        // An unusable file leaves the running devices as they are.
        HostConfig next;
        if (!load_config(options, next, error, true)) {
          say("reload refused, devices unchanged: " + error, LogPriority::Warning);
          continue;
        }
        say("reloading " + options.config, LogPriority::Info);
        view.view().set_devices(next.devices);
        if (!devices.apply(next)) status = kFailure;
      }
      if (runner.stop_signal() != 0) {
        say(std::string("stopping on ") + (runner.stop_signal() == SIGINT ? "SIGINT" : "SIGTERM"),
            LogPriority::Info);
      } else if (some_rounds && status == 0) {
        for (const std::string& line : runner.round_failures()) {
          say(line, LogPriority::Warning);
          status = kFailure;
        }
      }
    }
    providers.clear();
  }
  retention.stop();
  // Losses were said as they happened; a run stopped by a signal (the
  // service's stop) still ends well, one that ran its rounds does not.
  const std::string lost = runner.losses();
  if (!lost.empty()) {
    say(lost, LogPriority::Warning);
    if (status == 0 && runner.stop_signal() == 0) status = kFailure;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every later thread inherits the mask.
  SignalWaiter::block_in_this_thread();
#ifdef M_ARENA_MAX
  // One malloc arena per sampling thread would reserve 64 MiB (1 MiB on a
  // 32-bit unit) of address space each; a few shared arenas serve them all.
  mallopt(M_ARENA_MAX, 2);
#endif
  try {
    Options options;
    const int parsed = parse_args(argc, argv, options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    if (!options.check_config.empty()) return check_config(options);
    return run(options);
  } catch (const std::exception& e) {
    say(std::string("error: ") + e.what(), LogPriority::Error);
    return kFailure;
  }
}
