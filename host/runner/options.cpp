#include "options.h"

#include "decimal.h"
#include "host_log.h"
#include "http_view.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr unsigned long kMostMaxDevices = 1000000;
constexpr unsigned long kMostRounds = 999999999;
constexpr unsigned long kMostKeepDays = 36500;
constexpr unsigned long kMostKeepMb = 100000000;
constexpr const char* kLogLevels[] = {"error", "warn", "info", "debug"};

// A whole number from `least` to `most`, or a usage error in the words the
// option's users know.
unsigned long whole_number(const std::string& option, const std::string& text,
                           unsigned long least, unsigned long most) {
  const auto n = parse_decimal(text, most, 9);
  if (!n || *n < least)
    throw CLI::ValidationError(option + " takes a whole number from " + std::to_string(least) +
                               " to " + std::to_string(most) + ", not '" + text + "'");
  return static_cast<unsigned long>(*n);
}

// "NAME N": a whole number from `least` to `most`, handed to `set`.
CLI::Option* add_whole_number(CLI::App& app, const std::string& name, unsigned long least,
                              unsigned long most, std::function<void(unsigned long)> set,
                              const std::string& help) {
  return app
      .add_option_function<std::string>(
          name,
          [name, least, most, set](const std::string& value) {
            set(whole_number(name, value, least, most));
          },
          help)
      ->type_name("N");
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

// The help's layout and the options that are not settings.
void define_help(CLI::App& app) {
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
}

// What the host runs and for how long.
void define_run_options(CLI::App& app, Options& o) {
  add_text(app, "--plugin", o.plugin, "PATH",
           "the driver module; default: the installed one,\n" QRN_INSTALLED_PLUGIN);
  add_text(app, "--config", o.config, "FILE",
           "devices, in strict JSON; required:\n"
           "{\"devices\": [{\"id\": 7, \"address\": \"10.0.0.5\",\n"
           "               \"port\": 4840, \"settings\": {...}}]}");
  add_whole_number(app, "--rounds", 0, kMostRounds, [&o](unsigned long n) { o.rounds = n; },
                   "exit once every device has made N rounds, each a\n"
                   "record handed over or a round that failed (then\n"
                   "exit 1); 0: set the devices up, then stop;\n"
                   "default: run until SIGINT or SIGTERM");
  app.add_flag_callback(
      "--once", [&o] { o.once = true; },
      "every device runs one round, then exit: 0 when each\n"
      "handed a record over, else 1 with a line per device\n"
      "that did not (a restored record does not count)");
  add_text(app, "--check-config", o.check_config, "FILE",
           "check a configuration as a reload would read it,\n"
           "then exit: 0 when usable, else 1 with the reason");
}

// Where records go, how many devices, the live view and the library's lines.
void define_output_options(CLI::App& app, Options& o) {
  add_text(app, "--dump-dir", o.dump_dir, "DIR", "write each record to DIR/<device id>-<round>.bin");
  add_text(app, "--history", o.history, "FILE",
           "keep device history in an SQLite file, held by this\n"
           "host alone; at start-up each device gets its last\n"
           "stored record back");
  add_whole_number(app, "--max-devices", 1, kMostMaxDevices,
                   [&o](unsigned long n) { o.max_devices = n; },
                   "run at most N devices (default " + std::to_string(kDefaultMaxDevices) +
                       "): a configuration\nwith more is refused");
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
}

// How long the history keeps records, and the help's closing words.
void define_retention_options(CLI::App& app, Options& o) {
  add_whole_number(app, "--keep-days", 1, kMostKeepDays,
                   [&o](unsigned long n) { o.retention.keep_days = n; },
                   "delete history records older than N days by\n"
                   "their saved time (at start, then every minute,\n"
                   "in small batches)");
  add_whole_number(app, "--keep-mb", 1, kMostKeepMb,
                   [&o](unsigned long n) { o.retention.keep_bytes = static_cast<uint64_t>(n) << 20; },
                   "delete the oldest history records while the\n"
                   "history holds more than N MiB; default: at most\n"
                   "half of its file system, and never under 10 %\n"
                   "of it left free");
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

// A usage error: the reason, then the help, on standard error.
int usage_error(const CLI::App& app, const std::string& reason) {
  say(reason, LogPriority::Error);
  std::fputs(app.help().c_str(), stderr);
  return kUsageError;
}

}  // namespace

int parse_args(int argc, char** argv, Options& options) {
  CLI::App app("", "qrn-host");
  define_help(app);
  define_run_options(app, options);
  define_output_options(app, options);
  define_retention_options(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return std::fflush(stdout) == 0 ? -1 : kFailure;
  } catch (const CLI::Success&) {  // --version
    return std::fflush(stdout) == 0 ? -1 : kFailure;
  } catch (const CLI::ParseError& e) {
    return usage_error(app, parse_error_text(app, e));
  }
  // Checked here rather than by CLI11 so that an unknown argument is named
  // first, as it comes first on the command line.
  const char* missing =
      options.config.empty() && options.check_config.empty() ? "--config" : nullptr;
  if (options.once && options.rounds)
    return usage_error(app, "--once and --rounds cannot go together");
  if (options.retention.any() && options.history.empty())
    return usage_error(app, "--keep-days and --keep-mb need --history");
  if (missing != nullptr) return usage_error(app, std::string(missing) + " is required");
  return 0;
}
