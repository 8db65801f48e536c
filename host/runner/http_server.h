#pragma once

// The live view's connections, bounded: its own accept loop in front of
// cpp-httplib's request handling, so that idle or slow clients can neither
// take the descriptors the devices need nor hold up other clients. Request
// heads are collected by one polling thread and only whole ones go to the
// workers; every read, write and idle wait has a deadline.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct HttpLimits {
  // Open at once. A new connection past either bound takes the place of the
  // oldest one waiting for a request (of its own address for the second);
  // with none waiting it is closed at once.
  std::size_t max_connections = 64;
  std::size_t max_per_address = 8;
  std::size_t workers = 4;           // requests answered at once
  std::chrono::milliseconds head_time{4000};   // for a request's head to arrive whole
  std::chrono::milliseconds keep_alive{3000};  // idle between two requests
  std::chrono::milliseconds reply_time{4000};  // to read a body and write the reply
  std::size_t max_head_bytes = 16384;
  std::size_t requests_per_connection = 100;
};

class BoundedHttpServer : public httplib::Server {
 public:
  explicit BoundedHttpServer(const HttpLimits& limits);
  ~BoundedHttpServer() override;  // stops serving
  BoundedHttpServer(const BoundedHttpServer&) = delete;
  BoundedHttpServer& operator=(const BoundedHttpServer&) = delete;

  // Listens on `address` (a numeric address or a name) and `port` (0: any
  // free one). The port listened on, or -1 with errno set.
  int listen_on(const std::string& address, int port);
  // Serves on threads of its own until stop_serving() or destruction.
  void start_serving();
  // Closes every connection (replies under way are cut short) and joins.
  void stop_serving();

  std::size_t refused() const { return refused_; }  // closed at once for the cap
  std::size_t evicted() const { return evicted_; }  // closed to make room for a new one
  const HttpLimits& limits() const { return limits_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection {
    int fd = -1;
    std::string in;  // received bytes not yet handled
    Clock::time_point deadline;
    std::size_t served = 0;
    std::string peer;         // the client's address
    Clock::time_point since;  // waiting for a request since
  };

  void poll_loop();
  void accept_all(Clock::time_point now);
  void worker();
  void close_connection(const Connection& c);
  // Makes room for a connection from `peer` by closing the oldest waiting one
  // that holds the room; false when none is waiting.
  bool make_room(const std::string& peer, bool peer_full, Clock::time_point now);
  void wake();
  static bool head_complete(const std::string& in);

  const HttpLimits limits_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // a pipe: workers and stop_serving() wake the polling thread
  std::thread poller_;
  std::vector<std::thread> workers_;
  std::vector<Connection> waiting_;  // the polling thread's alone
  Clock::time_point accept_resumes_{};  // after running out of descriptors
  Clock::time_point last_refusal_note_{};
  std::size_t refusals_unsaid_ = 0;
  Clock::time_point last_eviction_note_{};
  std::size_t evictions_unsaid_ = 0;

  std::mutex mutex_;  // everything below
  std::condition_variable ready_cv_;
  std::deque<Connection> ready_;      // whole heads, for the workers
  std::vector<Connection> returned_;  // kept alive after a reply
  std::set<int> busy_;                // connections a worker holds
  std::size_t open_ = 0;              // every connection held
  std::map<std::string, std::size_t> per_peer_;  // connections held by address
  bool stopping_ = false;
  std::atomic<std::size_t> refused_{0};
  std::atomic<std::size_t> evicted_{0};
};
