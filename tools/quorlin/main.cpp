#include "commands.h"

#include <cstdio>
#include <cstring>

namespace {

// Add new subcommands here; the usage text is built from this table.
constexpr Command kCommands[] = {
    {"points", "", "print the point table: index, offset, width, node id (tab-separated)",
     cmd_points},
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
