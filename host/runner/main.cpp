// qrn-host: a small host for the driver plug-in. It loads the module, creates
// and configures the devices of a configuration file, and prints, dumps and
// stores every record the devices hand over.
//
// Where things are: options.cpp (command line and help), module_loader.cpp
// (the plug-in), run.cpp (one run), device_set.cpp (making devices),
// runner.cpp (their rounds and lines), record_sinks.cpp (dump files, history,
// live view), signals.cpp (SIGINT, SIGTERM, SIGHUP), reload.cpp (the reload
// on SIGHUP and --check-config), metrics.cpp (/metrics).
#include "host_log.h"
#include "options.h"
#include "reload.h"
#include "run.h"
#include "signals.h"

#include <malloc.h>

#include <exception>
#include <string>

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
