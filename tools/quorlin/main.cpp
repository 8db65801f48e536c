#include "commands.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// Add new subcommands here; the usage text and the help are built from it.
constexpr Command kCommands[] = {
    {"points", "", "print the point table: index, offset, width, node id (tab-separated)",
     define_points},
    {"decode", "FILE | --history DB --device ID  [--json] [--match TEXT]...",
     "print a record's device id, time stamp and every point's value", define_decode},
    {"sim", "[--address 127.0.0.1] [--port 4840] [--fixed SEED] [--profile lively|steady] [--max-sessions N] [security options]",
     "serve all points over OPC UA as a simulated plant until SIGINT or SIGTERM", define_sim},
    {"check",
     "--address A [--port P] | --config FILE --device ID  [--json] [--timeout-ms T] [--no-browse] "
     "[connection options]",
     "read every point once from a controller and report what does not fit the record",
     define_check},
    {"cert", "--out DIR [--uri URN] [--days N]",
     "make an application certificate and private key for secure OPC UA sessions",
     define_cert},
    {"export", "--history DB --device ID [--points I,J,...] [--from TIME] [--to TIME] [--json-lines]",
     "write a device's stored records as CSV or JSON lines", define_export},
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Quorlin driver tools: point table, record decoder, plant simulator, controller check, "
      "certificates, history export.",
      "quorlin");
  std::string names;
  for (const Command& c : kCommands) names += std::string(names.empty() ? "" : "|") + c.name;
  cli::set_synopsis(app, names + " [options]   (quorlin <command> --help)");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(0, 1);
  app.add_flag_callback(
      "--version",
      [] {
        std::printf("quorlin %s\n", QRN_VERSION);
        throw CLI::Success();
      },
      "print the version and exit");
  std::vector<std::pair<CLI::App*, CommandRun>> commands;
  for (const Command& c : kCommands) {
    CLI::App* sub = app.add_subcommand(c.name, c.summary);
    cli::set_synopsis(*sub, c.synopsis);
    commands.emplace_back(sub, c.define(*sub));
  }

  const int parsed = cli::parse(app, argc, argv);
  if (parsed >= 0) return parsed;
  for (const auto& [sub, run] : commands) {
    if (!sub->parsed()) continue;
    try {
      return run();
    } catch (const cli::UsageError& e) {
      return cli::usage_error(*sub, e.what());
    }
  }
  return cli::usage_error(app, "no command given");
}
