#include "cli.h"

#include "decimal.h"
#include "endpoint.h"

#include <cstdio>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace cli {
namespace {

// CLI11's help layout with our usage line: "usage: <program> <synopsis>".
class Formatter : public CLI::Formatter {
 public:
  void set(const CLI::App* app, std::string synopsis) { synopsis_[app] = std::move(synopsis); }
  std::string synopsis(const CLI::App* app) const {
    const auto it = synopsis_.find(app);
    return it == synopsis_.end() ? std::string("[options]") : it->second;
  }
  std::string make_usage(const CLI::App* app, std::string name) const override {
    const std::string args = synopsis(app);
    return "usage: " + name + (args.empty() ? "" : " ") + args + "\n";
  }

 private:
  std::map<const CLI::App*, std::string> synopsis_;
};

std::string full_name(const CLI::App& app) {
  std::string name = app.get_name();
  for (const CLI::App* p = app.get_parent(); p != nullptr; p = p->get_parent())
    name = p->get_name() + " " + name;
  return name;
}

// The innermost subcommand the command line selected, or `app` itself.
const CLI::App& selected(const CLI::App& app) {
  const auto subs = app.get_subcommands();
  return subs.empty() ? app : selected(*subs.front());
}

void allow_extras_everywhere(CLI::App& app) {
  app.allow_extras();
  for (CLI::App* sub : app.get_subcommands({})) allow_extras_everywhere(*sub);
}

bool is_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// The usage error for arguments that nothing took, innermost app first.
bool leftover(const CLI::App& innermost, std::string& message, const CLI::App*& where) {
  for (const CLI::App* a = &innermost; a != nullptr; a = a->get_parent()) {
    const std::vector<std::string> rest = a->remaining();
    if (rest.empty()) continue;
    const std::string& arg = rest.front();
    where = a;
    const bool wants_command = !a->get_subcommands({}).empty() && a->get_subcommands().empty();
    if (is_option(arg))
      message = "unknown option '" + arg.substr(0, arg.find('=')) + "'";
    else if (wants_command)
      message = "unknown command '" + arg + "'";
    else
      message = "unexpected argument '" + arg + "'";
    return true;
  }
  return false;
}

// CLI11 names a value-less option as "--opt: 1 required TEXT missing".
std::string parse_error_text(const CLI::ParseError& e) {
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    const std::size_t colon = what.find(':');
    if (colon != std::string::npos && what.find("missing", colon) != std::string::npos)
      return what.substr(0, colon) + " needs a value";
  }
  return what;
}

int print_help(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

void set_synopsis(CLI::App& app, std::string synopsis) {
  auto formatter = std::dynamic_pointer_cast<Formatter>(app.get_formatter());
  if (!formatter) {
    formatter = std::make_shared<Formatter>();
    app.formatter(formatter);
  }
  formatter->set(&app, std::move(synopsis));
}

int usage_error(const CLI::App& app, const std::string& message) {
  const std::string name = full_name(app);
  const auto formatter = std::dynamic_pointer_cast<Formatter>(app.get_formatter());
  const std::string synopsis = formatter ? formatter->synopsis(&app) : "[options]";
  std::fprintf(stderr, "%s: %s\nusage: %s%s%s\n", name.c_str(), message.c_str(), name.c_str(),
               synopsis.empty() ? "" : " ", synopsis.c_str());
  return kUsageError;
}

int parse(CLI::App& app, int argc, const char* const* argv) {
  allow_extras_everywhere(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return print_help(app.help());
  } catch (const CLI::CallForAllHelp&) {
    return print_help(app.help("", CLI::AppFormatMode::All));
  } catch (const CLI::Success&) {  // --version, printed by its flag
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const CLI::ParseError& e) {
    return usage_error(selected(app), parse_error_text(e));
  }
  const CLI::App& innermost = selected(app);
  std::string message;
  const CLI::App* where = nullptr;
  if (leftover(innermost, message, where)) return usage_error(*where, message);
  if (!app.get_subcommands({}).empty() && app.get_subcommands().empty())
    return usage_error(app, "no command given");
  return -1;
}

bool parse_number(const std::string& text, unsigned long min, unsigned long max,
                  unsigned long& out) {
  const auto value = parse_decimal(text, max, 10);
  if (!value || *value < min) return false;
  out = static_cast<unsigned long>(*value);
  return true;
}

CLI::Option* add_number(CLI::App& app, const std::string& name, unsigned long& out,
                        unsigned long min, unsigned long max, const std::string& takes,
                        const std::string& help) {
  return app
      .add_option_function<std::string>(
          name,
          [name, &out, min, max, takes](const std::string& text) {
            if (!parse_number(text, min, max, out))
              throw UsageError(name + " takes " + takes + ", not '" + text + "'");
          },
          help)
      ->type_name("N");
}

CLI::Option* add_address(CLI::App& app, std::string& out, const std::string& help) {
  return app
      .add_option_function<std::string>(
          "--address",
          [&out](const std::string& text) {
            if (!is_valid_address(text))
              throw UsageError("--address takes a host name, IPv4 or IPv6 address, not '" +
                               printable_address(text) + "'");
            out = text;
          },
          help)
      ->type_name("ADDRESS");
}

}  // namespace cli
