#include "host_log.h"

#include <unistd.h>

#include <cstdio>

// One line on standard error, with its priority when that is the journal.
void say(const std::string& text, LogPriority priority) {
  std::fprintf(stderr, "%sqrn-host: %s\n", journal_prefix(STDERR_FILENO, priority).c_str(),
               text.c_str());
}

// One line on standard output, as say() does.
void out(const std::string& text, LogPriority priority) {
  const std::string line = journal_prefix(STDOUT_FILENO, priority) + text + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}
