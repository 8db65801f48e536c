#pragma once

// qrn-host's command-line options, one row each: the parser defines every
// option from this table, and the README's option table is its rows.
#include "options.h"

#include <cstddef>
#include <string>

enum class OptionKind {
  Help,         // prints the help and exits
  Version,      // prints the version and exits
  Flag,         // takes no value
  Text,         // a non-empty text
  WholeNumber,  // a whole number from `least` to `most`
  Level,        // one of kLogLevels
  Listen,       // ADDR:PORT for a listening socket
};

struct OptionEntry {
  const char* name;            // as the parser knows it: "--rounds", "-h,--help"
  OptionKind kind;
  const char* value;           // the value's name in the help ("N", "FILE"); "" for none
  unsigned long least, most;   // a WholeNumber's bounds
  const char* fallback;        // what holds without the option, in the README's words
  // Stores the checked value: the text as given, and a WholeNumber's number.
  void (*set)(Options& options, const std::string& text, unsigned long number);
  const char* help;            // the help's text, its lines broken as printed
};

extern const char* const kLogLevels[4];
extern const OptionEntry kHostOptions[];
extern const std::size_t kHostOptionCount;

// The option's row of the README's table:
// | `--rounds N` | run until SIGINT or SIGTERM | 0 to 999999999 | exit once ... |
std::string option_table_row(const OptionEntry& entry);
