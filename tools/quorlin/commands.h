#pragma once

#include <cstdio>

// A subcommand gets the arguments after its own name and returns the exit
// status: 0 on success, 1 on a runtime failure, 2 on a usage error.
using CommandFn = int (*)(int argc, char** argv);

struct Command {
  const char* name;
  const char* args;     // argument synopsis for the usage text, may be ""
  const char* summary;  // one line for the usage text
  CommandFn run;
};

// Exit status for a command line that could not be understood.
constexpr int kUsageError = 2;

// Writes the usage text listing every subcommand to `out`.
void print_usage(std::FILE* out);

// True for "-h" and "--help".
bool is_help_option(const char* arg);

int cmd_points(int argc, char** argv);
int cmd_decode(int argc, char** argv);
int cmd_sim(int argc, char** argv);
