#pragma once

#include "cli.h"

#include <functional>

// A subcommand declares its options and arguments on its CLI11 app and
// returns the function that runs it once the command line is parsed. The
// function returns the exit status (0 success, 1 runtime failure) or throws
// cli::UsageError for a command line it cannot act on (exit status 2).
using CommandRun = std::function<int()>;
using CommandDefine = CommandRun (*)(CLI::App& app);

struct Command {
  const char* name;
  const char* synopsis;  // arguments for the usage line
  const char* summary;   // the command's line in the command list
  CommandDefine define;
};

CommandRun define_points(CLI::App& app);
CommandRun define_decode(CLI::App& app);
CommandRun define_sim(CLI::App& app);
CommandRun define_check(CLI::App& app);
CommandRun define_cert(CLI::App& app);
CommandRun define_export(CLI::App& app);
