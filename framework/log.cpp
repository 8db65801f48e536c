#include "log.h"

#include <cstdio>

// Goes through C stdio, which the standard streams share by default: one
// locked fwrite per line, and no stream-initialisation object in the module.
void log_line(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}
