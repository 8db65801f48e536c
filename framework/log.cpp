#include "log.h"

#include <iostream>

void log_line(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
}
