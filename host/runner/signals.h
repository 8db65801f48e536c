#pragma once

// SIGINT and SIGTERM stop the host, SIGHUP reloads its configuration: the
// signals are waited for on a thread of their own and passed to the runner,
// which the run loop watches (reload.h does the reload itself).
#include <signal.h>

#include <atomic>
#include <thread>

class Runner;

class SignalWaiter {
 public:
  explicit SignalWaiter(Runner& runner);
  ~SignalWaiter();
  SignalWaiter(const SignalWaiter&) = delete;
  SignalWaiter& operator=(const SignalWaiter&) = delete;

  // Blocks the three signals; called before any thread exists, so that every
  // later thread inherits the mask and only the waiter takes them.
  static void block_in_this_thread();

 private:
  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};
