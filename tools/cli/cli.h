#pragma once

// Command-line handling shared by the quorlin command and the plant program:
// CLI11 apps with one error style. A usage error is two lines on standard
// error, "<program>: <message>" and "usage: <program> <synopsis>", exit
// status 2; --help prints the full help on standard output, exit status 0.

#include <CLI/CLI.hpp>

#include <string>

namespace cli {

// Exit status for a command line that could not be understood.
constexpr int kUsageError = 2;

// A command line the program cannot act on. Thrown from option callbacks
// while parsing and from a command's own checks after parsing.
class UsageError : public CLI::ParseError {
 public:
  explicit UsageError(std::string message)
      : CLI::ParseError("UsageError", std::move(message), CLI::ExitCodes::ValidationError) {}
};

// Gives `app` (the program or one of its subcommands) the shared help format
// and the argument synopsis of its usage line. Subcommands inherit the
// format of the app they are added to after this call.
void set_synopsis(CLI::App& app, std::string synopsis);

// Parses the command line into `app` and its subcommands. Returns -1 when the
// program should go on; otherwise the exit status after printing the help
// (0, or 1 if standard output failed) or the usage error (2). Arguments that
// no option takes are usage errors: "unknown option '--x'", "unexpected
// argument 'x'".
int parse(CLI::App& app, int argc, const char* const* argv);

// Prints the usage error for `app` as described above; returns kUsageError.
int usage_error(const CLI::App& app, const std::string& message);

// "--name VALUE": a whole decimal number from `min` to `max` stored in `out`;
// anything else is the usage error "--name takes <takes>, not 'VALUE'".
CLI::Option* add_number(CLI::App& app, const std::string& name, unsigned long& out,
                        unsigned long min, unsigned long max, const std::string& takes,
                        const std::string& help);

// "--address A": a host name, IPv4 or IPv6 literal that the driver would
// connect to (is_valid_address), stored in `out`.
CLI::Option* add_address(CLI::App& app, std::string& out, const std::string& help);

// Parses a whole decimal number from min to max (no sign, no blanks).
bool parse_number(const std::string& text, unsigned long min, unsigned long max,
                  unsigned long& out);

}  // namespace cli
