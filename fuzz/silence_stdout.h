#pragma once

#include <fcntl.h>
#include <unistd.h>

// The driver's progress lines would dominate a fuzz run's time: send standard
// output to /dev/null (libFuzzer reports on standard error).
inline void silence_stdout() {
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
}
