#include "sized_stack_thread.h"

#include <limits.h>

#include <new>

namespace {

struct Start {
  void (*body)(void*);
  void* arg;
};

void* run(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.body(s.arg);
  return nullptr;
}

}  // namespace

bool SizedStackThread::start(void (*body)(void*), void* arg, std::size_t stack_bytes) {
  if (started_) return true;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const std::size_t least = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  if (stack_bytes < least) stack_bytes = least;
  pthread_attr_setstacksize(&attr, stack_bytes);
  Start* s = new (std::nothrow) Start{body, arg};
  const bool ok = s != nullptr && pthread_create(&thread_, &attr, &run, s) == 0;
  if (!ok) delete s;
  pthread_attr_destroy(&attr);
  started_ = ok;
  return ok;
}

void SizedStackThread::join() {
  if (!started_) return;
  pthread_join(thread_, nullptr);
  started_ = false;
}
