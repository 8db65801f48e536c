#include "commands.h"
#include "plant_server.h"
#include "point_table.h"
#include "security_options.h"
#include "sim_model.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

namespace {

constexpr const char* kName = "quorlin sim";

struct SimOptions {
  std::string address = "127.0.0.1";
  unsigned long port = 4840;
  bool fixed = false;
  unsigned long seed = 0;
  sim::Profile profile = sim::Profile::Lively;
  unsigned long max_sessions = 0;  // 0: the server's own limit (100)
  cli::PlantSecurityOptions security;
};

plant::ValueType served_as(sim::Type type) {
  switch (type) {
    case sim::Type::Boolean: return plant::ValueType::Boolean;
    case sim::Type::Byte: return plant::ValueType::Byte;
    case sim::Type::Int16: return plant::ValueType::Int16;
    case sim::Type::Float: break;
  }
  return plant::ValueType::Float;
}

void publish(plant::PlantServer& server, std::size_t index, sim::Type type, double value) {
  switch (type) {
    case sim::Type::Boolean: server.set_bool(index, value != 0); break;
    case sim::Type::Byte: server.set_byte(index, static_cast<uint8_t>(value)); break;
    case sim::Type::Int16: server.set_int16(index, static_cast<int16_t>(value)); break;
    case sim::Type::Float: server.set_float(index, static_cast<float>(value)); break;
  }
}

sim::Type fixed_type(unsigned width) {
  return width == 1 ? sim::Type::Byte : width == 2 ? sim::Type::Int16 : sim::Type::Float;
}

int run_sim(const SimOptions& o) {
  const std::string& address = o.address;
  const unsigned long port = o.port;
  const bool fixed = o.fixed;
  const unsigned long seed = o.seed;
  // Blocked before the server's thread starts, so only sigtimedwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  plant::PlantOptions options;
  options.address = address;
  options.port = static_cast<uint16_t>(port);
  options.security = o.security.security;
  options.max_sessions = static_cast<uint32_t>(o.max_sessions);
  const bool secured = !options.security.policies.empty();
  plant::PlantServer server(options);
  sim::Plant plant(static_cast<uint32_t>(std::time(nullptr)), o.profile);
  const auto seed_value = static_cast<unsigned>(seed);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const unsigned width = quorlin_points[i].width;
    const sim::Type type = fixed ? fixed_type(width) : plant.model(i).type;
    server.set_type(i, served_as(type));
    publish(server, i, type,
            fixed ? sim::fixed_value(i, width, seed_value) : plant.value(i));
  }
  try {
    server.start();
  } catch (const std::exception& e) {
    // The plant's own text names what failed: a file, a policy or the port.
    if (secured) std::fprintf(stderr, "%s: %s\n", kName, e.what());
    else std::fprintf(stderr, "%s: cannot listen on %s:%lu: %s\n", kName, address.c_str(), port,
                      e.what());
    return 1;
  }
  std::printf("listening on %s\n", server.endpoint().c_str());
  if (secured) std::printf("security: %s\n", o.security.describe().c_str());
  std::fflush(stdout);

  // Values move once a second until SIGINT or SIGTERM.
  const timespec second{1, 0};
  for (;;) {
    const int signal = sigtimedwait(&stop_signals, nullptr, &second);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (signal < 0 && errno != EAGAIN && errno != EINTR) break;
    if (fixed || signal >= 0) continue;
    plant.tick();
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
      publish(server, i, plant.model(i).type, plant.value(i));
  }
  server.stop();
  std::fprintf(stderr, "%s: stopped\n", kName);
  return 0;
}

}  // namespace

CommandRun define_sim(CLI::App& app) {
  auto o = std::make_shared<SimOptions>();
  cli::add_address(app, o->address, "address to listen on (default 127.0.0.1)");
  cli::add_number(app, "--port", o->port, 0, 65535, "0 to 65535 (0: any free port)",
                  "port to listen on (default 4840; 0: any free port)");
  const CLI::Option* fixed =
      cli::add_number(app, "--fixed", o->seed, 0, 1000, "a seed from 0 to 1000",
                      "constant values instead of a moving plant: byte (i+SEED)%256, int16 "
                      "3i-4000+SEED, float (i-1000)/2+SEED for point index i from 0")
          ->type_name("SEED");
  app.add_option_function<std::string>(
         "--profile",
         [o](const std::string& text) {
           if (text == "lively") o->profile = sim::Profile::Lively;
           else if (text == "steady") o->profile = sim::Profile::Steady;
           else throw cli::UsageError("--profile takes lively or steady, not '" + text + "'");
         },
         "how the plant moves: lively (default) changes every analog value every second "
         "and flags within minutes; steady serves analog values on their sensors' resolution "
         "(0.1 °C, 0.01 bar, 0.1 Hz, 1 %), a step every few rounds around a slow daily "
         "drift, and flags that change within minutes to hours")
      ->type_name("NAME");
  cli::add_number(app, "--max-sessions", o->max_sessions, 0, 65535, "0 to 65535",
                  "sessions and secure channels held at once (default 100; for many "
                  "devices on kept sessions)")
      ->type_name("N");
  o->security.add_to(app);
  return [o, fixed] {
    o->fixed = fixed->count() > 0;
    o->security.finish();
    return run_sim(*o);
  };
}
