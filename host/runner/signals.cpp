#include "signals.h"

#include "runner.h"

#include <pthread.h>

namespace {

void add_host_signals(sigset_t& set) {
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
}

}  // namespace

SignalWaiter::SignalWaiter(Runner& runner) {
  add_host_signals(set_);
  thread_ = std::thread([this, &runner] {
    int signal = 0;
    while (sigwait(&set_, &signal) == 0 && !done_) {
      if (signal != SIGHUP) {
        runner.request_stop(signal);
        return;
      }
      runner.request_reload();
    }
  });
}

SignalWaiter::~SignalWaiter() {
  done_ = true;
  pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait if still waiting
  thread_.join();
}

void SignalWaiter::block_in_this_thread() {
  sigset_t set;
  add_host_signals(set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
