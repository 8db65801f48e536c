#include "commands.h"

#include <cstdio>
#include <cstring>

namespace {

// Add new subcommands here; the usage text is built from this table.
constexpr Command kCommands[] = {
    {"points", "", "print the point table: index, offset, width, node id (tab-separated)",
     cmd_points},
    {"decode", "FILE | --history DB --device ID  [--json] [--match TEXT]...",
     "print a record's device id, time stamp and every point's value; --match keeps\n"
     "      the points whose node id contains TEXT",
     cmd_decode},
    {"sim", "[--address 127.0.0.1] [--port 4840] [--fixed SEED]",
     "serve all points over OPC UA as a simulated plant until SIGINT or SIGTERM\n"
     "      (--port 0: any free port). --fixed: constant values, byte (i+SEED)%256,\n"
     "      int16 3i-4000+SEED, float (i-1000)/2+SEED for point index i from 0",
     cmd_sim},
};

}  // namespace

bool is_help_option(const char* arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

void print_usage(std::FILE* out) {
  std::fputs("usage: quorlin <command> [args]\n       quorlin --help\n\ncommands:\n", out);
  for (const Command& c : kCommands) {
    std::fprintf(out, "  %s%s%s\n      %s\n", c.name, c.args[0] != '\0' ? " " : "", c.args,
                 c.summary);
  }
}

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return kUsageError;
  }
  const char* name = argv[1];
  if (is_help_option(name)) {
    print_usage(stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(c.name, name) == 0) {
      return c.run(argc - 2, argv + 2);
    }
  }
  std::fprintf(stderr, "quorlin: unknown command '%s'\n", name);
  print_usage(stderr);
  return kUsageError;
}
