#pragma once

#include <pthread.h>

#include <cstddef>

// Stack of a sampling thread: a round's deepest path (a secure connect's key
// operations, the library's encoding, a log line) uses well under a quarter
// of it; sanitizer builds need several times more. The default (8 MiB) per
// device would use up a 32-bit unit's address space with a few hundred.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSamplerStackBytes = 512u << 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kSamplerStackBytes = 512u << 10;
#else
constexpr std::size_t kSamplerStackBytes = 256u << 10;
#endif
#else
constexpr std::size_t kSamplerStackBytes = 256u << 10;
#endif

// A joinable thread with a stack of a given size (std::thread cannot set it).
class SizedStackThread {
 public:
  SizedStackThread() = default;
  ~SizedStackThread() { join(); }
  SizedStackThread(const SizedStackThread&) = delete;
  SizedStackThread& operator=(const SizedStackThread&) = delete;

  // Runs body(arg) on a new thread; false when it could not be started.
  bool start(void (*body)(void*), void* arg, std::size_t stack_bytes = kSamplerStackBytes);
  bool started() const { return started_; }
  // Waits for the thread to end; nothing when none runs.
  void join();

 private:
  pthread_t thread_{};
  bool started_ = false;
};
