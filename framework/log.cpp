#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool names_stream_of(const char* journal_stream, int fd) {
  // strtoull alone would take blanks and a sign: each number must be digits.
  if (journal_stream == nullptr || !digit(journal_stream[0])) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long device = std::strtoull(journal_stream, &end, 10);
  if (*end != ':' || !digit(end[1]) || errno != 0) return false;
  const char* inode_text = end + 1;
  const unsigned long long inode = std::strtoull(inode_text, &end, 10);
  if (*end != '\0' || errno != 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

std::string journal_prefix(int fd, LogPriority priority) {
  // -1: not looked at yet. Constant-initialised; the streams do not change
  // under a running process, so one look each is enough.
  static std::atomic<int> is_journal[2] = {{-1}, {-1}};
  bool journal = false;
  if (fd == STDOUT_FILENO || fd == STDERR_FILENO) {
    std::atomic<int>& known = is_journal[fd == STDOUT_FILENO ? 0 : 1];
    int seen = known.load(std::memory_order_relaxed);
    if (seen < 0) {
      seen = names_stream_of(std::getenv("JOURNAL_STREAM"), fd) ? 1 : 0;
      known.store(seen, std::memory_order_relaxed);
    }
    journal = seen == 1;
  } else {
    journal = names_stream_of(std::getenv("JOURNAL_STREAM"), fd);
  }
  if (!journal) return std::string();
  return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

// Goes through C stdio, which the standard streams share by default: one
// locked fwrite per line, and no stream-initialisation object in the module.
void log_line(const std::string& text, LogPriority priority) {
  std::string line = journal_prefix(STDOUT_FILENO, priority);
  line.reserve(line.size() + text.size() + 1);
  line.append(text).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}
