#include "options.h"

#include "option_table.h"

#include "decimal.h"
#include "host_log.h"
#include "http_view.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

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

// The value of an option that takes one, checked as its kind says.
unsigned long checked_value(const OptionEntry& e, const std::string& value) {
  switch (e.kind) {
    case OptionKind::Text:
      if (value.empty()) throw CLI::ValidationError(std::string(e.name) + " needs a non-empty value");
      return 0;
    case OptionKind::WholeNumber:
      return whole_number(e.name, value, e.least, e.most);
    case OptionKind::Level:
      for (const char* level : kLogLevels)
        if (value == level) return 0;
      throw CLI::ValidationError(std::string(e.name) + " takes error, warn, info or debug, not '" +
                                 value + "'");
    case OptionKind::Listen: {
      std::string address, error;
      int port = 0;
      if (!parse_listen_address(value, address, port, error)) throw CLI::ValidationError(error);
      return 0;
    }
    default:
      return 0;
  }
}

// One option of the table, defined in CLI11.
void define_option(CLI::App& app, Options& o, const OptionEntry& e) {
  switch (e.kind) {
    case OptionKind::Help:
      app.set_help_flag(e.name, e.help);
      return;
    case OptionKind::Version:
      app.add_flag_callback(
          e.name,
          [] {
            std::printf("qrn-host %s\n", QRN_VERSION);
            throw CLI::Success();
          },
          e.help);
      return;
    case OptionKind::Flag:
      app.add_flag_callback(e.name, [&o, &e] { e.set(o, "", 0); }, e.help);
      return;
    default:
      app.add_option_function<std::string>(
             e.name, [&o, &e](const std::string& v) { e.set(o, v, checked_value(e, v)); }, e.help)
          ->type_name(e.value);
  }
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

// The help's layout, its opening and closing words.
void define_help(CLI::App& app) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(20);
  app.description(
      "Loads the driver module, creates the devices of a configuration file and\n"
      "prints, dumps and stores every record they hand over.");
  // A repeated option takes its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
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
  for (std::size_t i = 0; i < kHostOptionCount; ++i) define_option(app, options, kHostOptions[i]);
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
