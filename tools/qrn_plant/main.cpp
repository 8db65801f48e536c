// qrn-plant: the plant server as a program, with faults injected on chosen
// points, for commissioning checks and end-to-end tests. Serves until SIGINT
// or SIGTERM.
#include "cli.h"
#include "plant_server.h"
#include "security_options.h"

#include <open62541/types.h>

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "qrn-plant";

using plant::PlantServer;

// A fault that names only a point. Add a row to get an option.
struct PointFault {
  const char* option;
  const char* help;
  void (*apply)(PlantServer& server, std::size_t index);
};

constexpr PointFault kPointFaults[] = {
    {"--missing", "reads of POINT fail with BadNodeIdUnknown",
     [](PlantServer& s, std::size_t i) { s.set_fault(i, plant::Fault::Missing); }},
    {"--double", "POINT is served as a Double scalar",
     [](PlantServer& s, std::size_t i) { s.set_fault(i, plant::Fault::Double); }},
    {"--string", "POINT is served as a String scalar",
     [](PlantServer& s, std::size_t i) { s.set_fault(i, plant::Fault::String); }},
    {"--array", "POINT is served as an array of three values",
     [](PlantServer& s, std::size_t i) { s.set_fault(i, plant::Fault::Array); }},
    {"--empty", "POINT is served as an empty value",
     [](PlantServer& s, std::size_t i) { s.set_fault(i, plant::Fault::Empty); }},
};

// A setting of a point, given as POINT=VALUE; `apply` throws cli::UsageError
// for a value it does not take.
struct PointSetting {
  const char* option;
  const char* value_name;
  const char* help;
  void (*apply)(PlantServer& server, std::size_t index, const std::string& value);
};

plant::ValueType value_type(const std::string& name) {
  static constexpr struct {
    const char* name;
    plant::ValueType type;
  } kTypes[] = {{"Boolean", plant::ValueType::Boolean}, {"Byte", plant::ValueType::Byte},
                {"Int16", plant::ValueType::Int16},     {"UInt16", plant::ValueType::UInt16},
                {"Int32", plant::ValueType::Int32},     {"UInt32", plant::ValueType::UInt32},
                {"Float", plant::ValueType::Float}};
  for (const auto& t : kTypes)
    if (name == t.name) return t.type;
  throw cli::UsageError("--type takes Boolean, Byte, Int16, UInt16, Int32, UInt32 or Float, not '" +
                        name + "'");
}

// A status code by its name ("UncertainInitialValue") or number ("0x40920000").
uint32_t status_code(const std::string& text) {
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end == '\0' && v <= 0xFFFFFFFFull) return static_cast<uint32_t>(v);
  } else {
    for (uint32_t high = 0; high <= 0xFFFFu; ++high)
      if (text == UA_StatusCode_name(high << 16)) return high << 16;
  }
  throw cli::UsageError("--status takes a status code name or number, not '" + text + "'");
}

constexpr PointSetting kPointSettings[] = {
    {"--rename", "POINT=ID", "serve POINT under node id ID instead of its own",
     [](PlantServer& s, std::size_t i, const std::string& id) {
       if (id.empty()) throw cli::UsageError("--rename needs a node id after '='");
       s.rename(i, id);
     }},
    {"--type", "POINT=TYPE", "serve POINT as TYPE (Boolean, Byte, Int16, UInt16, Int32, UInt32, Float)",
     [](PlantServer& s, std::size_t i, const std::string& type) { s.set_type(i, value_type(type)); }},
    {"--status", "POINT=CODE", "serve POINT with status CODE, a name or a number",
     [](PlantServer& s, std::size_t i, const std::string& code) { s.set_status(i, status_code(code)); }},
};

// POINT: a table index from 1 (as `quorlin points` numbers them) or a node id.
std::size_t point_index(const std::string& option, const std::string& point) {
  unsigned long n = 0;
  if (cli::parse_number(point, 1, PlantServer::count(), n)) return n - 1;
  if (const auto i = PlantServer::index_of(point)) return *i;
  throw cli::UsageError(option + " takes a point index from 1 to " +
                        std::to_string(PlantServer::count()) + " or a node id, not '" + point + "'");
}

struct PlantArgs {
  std::string address = "127.0.0.1";
  unsigned long port = 4840;
  unsigned long seed = 0;
  bool fixed = false;
  std::vector<std::vector<std::string>> faults{std::size(kPointFaults)};
  std::vector<std::vector<std::string>> settings{std::size(kPointSettings)};
  cli::PlantSecurityOptions security;
};

void apply(const PlantArgs& args, PlantServer& server) {
  for (std::size_t k = 0; k < std::size(kPointFaults); ++k)
    for (const std::string& point : args.faults[k])
      kPointFaults[k].apply(server, point_index(kPointFaults[k].option, point));
  for (std::size_t k = 0; k < std::size(kPointSettings); ++k) {
    const std::string option = kPointSettings[k].option;
    for (const std::string& arg : args.settings[k]) {
      const std::size_t eq = arg.find('=');
      if (eq == std::string::npos)
        throw cli::UsageError(option + " takes " + kPointSettings[k].value_name + ", not '" + arg +
                              "'");
      kPointSettings[k].apply(server, point_index(option, arg.substr(0, eq)), arg.substr(eq + 1));
    }
  }
  // Values last: they follow the types the points are served as.
  server.fill_distinct(static_cast<uint32_t>(args.fixed ? args.seed : std::time(nullptr)));
}

// `security`: the line describing what a secure server offers, or empty.
int serve(PlantServer& server, const std::string& security) {
  // Blocked before the server's thread starts, so only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    server.start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kName, e.what());
    return 1;
  }
  std::printf("listening on %s\n", server.endpoint().c_str());
  if (!security.empty()) std::printf("security: %s\n", security.c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop_signals, &signal);
  server.stop();
  std::fprintf(stderr, "%s: stopped\n", kName);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("OPC UA server standing in for the plant controller, with faults on chosen "
               "points. POINT is a table index from 1 or a node id; fault options repeat.",
               kName);
  cli::set_synopsis(app,
                    "[--address A] [--port P] [--fixed SEED] [fault options]... [security options]");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  PlantArgs args;
  cli::add_address(app, args.address, "address to listen on (default 127.0.0.1)");
  cli::add_number(app, "--port", args.port, 0, 65535, "0 to 65535 (0: any free port)",
                  "port to listen on (default 4840; 0: any free port)");
  const CLI::Option* fixed =
      cli::add_number(app, "--fixed", args.seed, 0, 4294967295ul, "a seed from 0 to 4294967295",
                      "the same values on every run for the same SEED (default: a new seed)")
          ->type_name("SEED");
  for (std::size_t k = 0; k < std::size(kPointFaults); ++k)
    app.add_option(kPointFaults[k].option, args.faults[k], kPointFaults[k].help)
        ->type_name("POINT")
        ->take_all()
        ->allow_extra_args(false)
        ->group("Faults");
  for (std::size_t k = 0; k < std::size(kPointSettings); ++k)
    app.add_option(kPointSettings[k].option, args.settings[k], kPointSettings[k].help)
        ->type_name(kPointSettings[k].value_name)
        ->take_all()
        ->allow_extra_args(false)
        ->group("Faults");
  unsigned long lookalikes = 0;
  cli::add_number(app, "--lookalikes", lookalikes, 0, 1000000, "0 to 1000000",
                  "serve the points under N look-alike ids \"<name>~<n>\" instead of their "
                  "own (for quorlin check's suggestions)")
      ->type_name("N");
  unsigned long max_sessions = 0;
  cli::add_number(app, "--max-sessions", max_sessions, 0, 65535, "0 to 65535",
                  "sessions and secure channels held at once (default 100; for many "
                  "devices on kept sessions)")
      ->type_name("N");
  args.security.add_to(app);

  const int parsed = cli::parse(app, argc, argv);
  if (parsed >= 0) return parsed;
  args.fixed = fixed->count() > 0;
  plant::PlantOptions options;
  options.address = args.address;
  options.port = static_cast<uint16_t>(args.port);
  try {
    args.security.finish();
  } catch (const cli::UsageError& e) {
    return cli::usage_error(app, e.what());
  }
  options.security = args.security.security;
  options.lookalike_ids = lookalikes;
  options.max_sessions = static_cast<uint32_t>(max_sessions);
  const bool secured = !options.security.policies.empty();
  PlantServer server(options);
  try {
    apply(args, server);
  } catch (const cli::UsageError& e) {
    return cli::usage_error(app, e.what());
  }
  return serve(server, secured ? args.security.describe() : std::string());
}
