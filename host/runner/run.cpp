#include "run.h"

#include "device_set.h"
#include "history.h"
#include "host_log.h"
#include "host_stub.h"
#include "http_view.h"
#include "module_loader.h"
#include "publishing.h"
#include "record_sinks.h"
#include "reload.h"
#include "retention.h"
#include "runner.h"
#include "signals.h"
#include "stagger.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

// A retention pass at start, then one a minute: each deletes in small batches,
// and the disk budget follows the file system's free space closely.
constexpr unsigned kRetentionIntervalSeconds = 60;

// Where the records go besides the lines: the dump folder, the history with
// its retention, the live view.
struct Stores {
  // Before the history, whose commits wake it, and retention, which counts
  // into it: both are gone before it is.
  std::unique_ptr<EdgeNode> publisher;  // with --history: the spool it publishes from
  std::unique_ptr<HistoryStore> history;
  std::mutex history_gate;  // saves and retention's steps, one at a time
  Retention retention;
  RecordSinks sinks;
};

// Opens what the options ask for; false after saying why not.
bool open_stores(const Options& options, const HostConfig& config, Stores& stores) {
  std::string error;
  if (!options.dump_dir.empty()) {
    if (!prepare_dump_dir(options.dump_dir, error)) {
      say(error, LogPriority::Error);
      return false;
    }
    stores.sinks.set_dump(std::make_unique<DumpSink>(options.dump_dir));
  }
  if (options.history.empty()) {
    if (!config.has_sparkplug) return true;
    say(options.config + ": sparkplug: publishing needs --history (the records are published "
        "from it)", LogPriority::Error);
    return false;
  }
  stores.history = std::make_unique<HistoryStore>();
  if (!stores.history->open(options.history, HistoryStore::Mode::ReadWrite, error)) {
    say(error, LogPriority::Error);
    return false;
  }
  stores.publisher = std::make_unique<EdgeNode>(options.history, say);
  stores.retention.set_publisher(stores.publisher.get());
  // Rows reach the file a group at a time: the publisher looks when one has.
  stores.history->set_on_commit([publisher = stores.publisher.get()](
                                    const std::vector<CommittedRow>& rows) { publisher->wake(rows); });
  // Always: without --keep-mb the disk budget applies.
  if (!stores.retention.start(options.history, options.retention, kRetentionIntervalSeconds,
                              &stores.history_gate, error)) {
    say(error, LogPriority::Error);
    return false;
  }
  auto history = std::make_unique<HistorySink>(*stores.history, stores.history_gate, options.history);
  // A full file system that deletes records not yet published: counted as
  // retention's size limit counts them.
  history->set_unpublished_deleted([publisher = stores.publisher.get()](unsigned long n) {
    publisher->dropped(n);
  });
  stores.sinks.set_history(std::move(history));
  // After the history: a record is published once it is saved.
  if (!apply_publishing(*stores.publisher, config, error)) {
    say(error, LogPriority::Error);
    return false;
  }
  stores.sinks.add(std::make_unique<PublisherSink>(*stores.publisher));
  return true;
}

// Routes the host's events to the runner while it exists. The in-memory event
// log is off: a long-running host would otherwise keep every record.
struct HookGuard {
  explicit HookGuard(Runner& runner) {
    qrn_host::set_recording(false);
    qrn_host::set_hook([&runner](const qrn_host::Event& e) { runner.on_event(e); });
  }
  ~HookGuard() { qrn_host::set_hook(nullptr); }
  HookGuard(const HookGuard&) = delete;
  HookGuard& operator=(const HookGuard&) = delete;
};

// Starts the configured devices, their first rounds spread over the pause,
// as many devices would otherwise all connect at once. False when one could
// not be made; stops starting at a signal.
bool start_devices(const Options& options, const HostConfig& config, Runner& runner,
                   DeviceSet& devices) {
  const auto spacing = first_round_spacing(config.devices.size());
  const auto first_start = std::chrono::steady_clock::now();
  std::size_t started = 0;
  for (const DeviceConfig& dc : config.devices) {
    if (runner.stop_signal() != 0) break;
    const bool spread = !options.rounds || *options.rounds > 0;
    if (started > 0 && spread && !runner.pause_until(first_start + spacing * started)) break;
    ++started;
    if (!devices.start(dc)) return false;
  }
  return true;
}

// Runs the devices until their rounds are made or a signal stops them,
// reloading on SIGHUP; returns the exit status so far.
int run_devices(const Options& options, const HostConfig& config,
                QRNSocketDeviceProvider& factory, Runner& runner, Stores& stores,
                HttpView& view) {
  // Deleted before the providers, which go before the module.
  DeviceSet devices(factory, runner, stores.history.get(), view);
  int status = start_devices(options, config, runner, devices) ? 0 : kFailure;
  // --once gives each device's first round a bound of its own.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (options.once) deadline = std::chrono::steady_clock::now() + kOnceBound;
  const bool some_rounds = options.once || (options.rounds && *options.rounds > 0);
  while (status == 0 && (!options.rounds || *options.rounds > 0)) {
    runner.wait(deadline);
    if (runner.stop_signal() != 0 || !runner.take_reload()) break;
    if (!reload(options, devices, view, stores.publisher.get())) status = kFailure;
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
  return status;
}

}  // namespace

int run(const Options& options) {
  std::string error;
  HostConfig config;
  if (!load_config(options, config, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  Stores stores;
  if (!open_stores(options, config, stores)) return kFailure;
  PluginModule module;
  if (!module.load(options.plugin, options.log_level)) return kFailure;

  Runner runner(options, stores.sinks);
  HttpView view(config.devices, options.history);  // serves only with --http
  // Every figure's source before the first request: /metrics never answers
  // without a family that it shows later.
  view.view().set_failure_counts([&runner] { return runner.failures(); });
  view.view().set_history_gauges([&stores] {
    HistoryGauges g = stores.retention.gauges();
    if (stores.history) g.given_way = stores.history->rows_given_way_total();
    return g;
  });
  if (EdgeNode* publisher = stores.publisher.get())
    view.view().set_publish_status([publisher] { return publisher->status(); });
  if (!options.http.empty() && !view.start(options.http, error)) {
    say(error, LogPriority::Error);
    return kFailure;
  }
  stores.sinks.add(std::make_unique<LiveViewSink>(view));
  HookGuard hook(runner);

  int status = kFailure;
  {
    SignalWaiter signals(runner);
    QRNSocketDeviceProvider* factory = module.socket_device_factory();
    if (factory != nullptr) status = run_devices(options, config, *factory, runner, stores, view);
    module.release_providers();
  }
  stores.retention.stop();
  // The last group, so that its outcome is in the losses.
  if (stores.history) stores.history->flush();
  if (stores.publisher) stores.publisher->stop();
  // Losses were said as they happened; a run stopped by a signal (the
  // service's stop) still ends well, one that ran its rounds does not.
  const std::string lost = runner.losses();
  if (!lost.empty()) {
    say(lost, LogPriority::Warning);
    if (status == 0 && runner.stop_signal() == 0) status = kFailure;
  }
  return status;
}
