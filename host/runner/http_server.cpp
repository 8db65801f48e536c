#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point deadline, Clock::time_point now) {
  if (deadline <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(ms, 1000));
}

// True once `fd` is ready for `events`, false at the deadline or on error.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, ms_until(deadline, now));
    if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
    if (n < 0 && errno != EINTR) return false;
  }
}

void address_text(const sockaddr_storage& a, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  ip = text;
}

// One connection as httplib reads and writes it: first the bytes the
// polling thread already received, then the socket, never past the deadline.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int fd, std::string in, Clock::time_point deadline)
      : fd_(fd), in_(std::move(in)), deadline_(deadline) {}

  bool is_readable() const override {
    return pos_ < in_.size() || wait_for(fd_, POLLIN, deadline_);
  }
  bool is_writable() const override { return wait_for(fd_, POLLOUT, deadline_); }

  ssize_t read(char* ptr, size_t size) override {
    if (pos_ < in_.size()) {
      const std::size_t n = std::min(size, in_.size() - pos_);
      std::memcpy(ptr, in_.data() + pos_, n);
      pos_ += n;
      return static_cast<ssize_t>(n);
    }
    for (;;) {
      const ssize_t n = ::recv(fd_, ptr, size, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for(fd_, POLLIN, deadline_)) return -1;
    }
  }

  ssize_t write(const char* ptr, size_t size) override {
    for (;;) {
      const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for(fd_, POLLOUT, deadline_)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) address_text(a, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) address_text(a, ip, port);
  }
  socket_t socket() const override { return fd_; }

  // Bytes received beyond the request (the next one, pipelined).
  std::string rest() const { return in_.substr(pos_); }

 private:
  int fd_;
  std::string in_;
  std::size_t pos_ = 0;
  Clock::time_point deadline_;
};

}  // namespace

BoundedHttpServer::BoundedHttpServer(const HttpLimits& limits) : limits_(limits) {}

BoundedHttpServer::~BoundedHttpServer() {
  stop_serving();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

int BoundedHttpServer::listen_on(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int err = EADDRNOTAVAIL;
  for (addrinfo* a = found; a != nullptr && listen_fd_ < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      err = errno;
      continue;
    }
    // Not SO_REUSEPORT: a second host on the same port must fail rather
    // than share it.
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
      listen_fd_ = fd;
    } else {
      err = errno;
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  if (listen_fd_ < 0) {
    errno = err;
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  std::string ip;
  int bound_port = -1;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
    address_text(bound, ip, bound_port);
  return bound_port;
}

void BoundedHttpServer::start_serving() {
  if (listen_fd_ < 0 || poller_.joinable()) return;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  poller_ = std::thread([this] { poll_loop(); });
  for (std::size_t k = 0; k < limits_.workers; ++k) workers_.emplace_back([this] { worker(); });
}

void BoundedHttpServer::stop_serving() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Replies under way end at once instead of at their deadline.
    for (int fd : busy_) ::shutdown(fd, SHUT_RDWR);
  }
  ready_cv_.notify_all();
  wake();
  if (poller_.joinable()) poller_.join();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (Connection& c : ready_) ::close(c.fd);
  for (Connection& c : returned_) ::close(c.fd);
  ready_.clear();
  returned_.clear();
  if (wake_[0] >= 0) {
    ::close(wake_[0]);
    ::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
  }
}

void BoundedHttpServer::wake() {
  if (wake_[1] < 0) return;
  const char byte = 1;
  // A full pipe already wakes the poller.
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

bool BoundedHttpServer::head_complete(const std::string& in) {
  return in.find("\r\n\r\n") != std::string::npos || in.find("\n\n") != std::string::npos;
}

void BoundedHttpServer::close_connection(const Connection& c) {
  ::close(c.fd);
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  const auto it = per_peer_.find(c.peer);
  if (it != per_peer_.end() && --it->second == 0) per_peer_.erase(it);
}

bool BoundedHttpServer::make_room(const std::string& peer, bool peer_full, Clock::time_point now) {
  auto oldest = waiting_.end();
  // Not one accepted just now: its request may be on the way unread.
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
    if ((!peer_full || it->peer == peer) && it->since < now &&
        (oldest == waiting_.end() || it->since < oldest->since))
      oldest = it;
  if (oldest == waiting_.end()) return false;
  close_connection(*oldest);
  waiting_.erase(oldest);
  ++evicted_;
  ++evictions_unsaid_;
  // One line a minute at most, however many make way.
  if (last_eviction_note_ == Clock::time_point{} ||
      now - last_eviction_note_ >= std::chrono::minutes(1)) {
    std::printf("http: the live view keeps %zu connections, %zu from one address; %zu waiting "
                "ones closed for newer ones\n",
                limits_.max_connections, limits_.max_per_address, evictions_unsaid_);
    std::fflush(stdout);
    last_eviction_note_ = now;
    evictions_unsaid_ = 0;
  }
  return true;
}

void BoundedHttpServer::accept_all(Clock::time_point now) {
  for (;;) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&from), &from_len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the listening socket stays readable,
      // so it is left alone for a while rather than polled in a tight loop.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        accept_resumes_ = now + std::chrono::milliseconds(100);
      return;
    }
    std::string peer;
    int ignored_port = 0;
    address_text(from, peer, ignored_port);
    // Idle and slow clients cannot lock others out: a client holds a share of
    // the connections at most, and the one waiting longest makes way.
    bool full = true;
    for (int attempt = 0; attempt < 2 && full; ++attempt) {
      bool peer_full;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t& held = per_peer_[peer];
        peer_full = held >= limits_.max_per_address;
        full = peer_full || open_ >= limits_.max_connections;
        if (!full) {
          ++open_;
          ++held;
        } else if (held == 0) {
          per_peer_.erase(peer);
        }
      }
      if (full && !make_room(peer, peer_full, now)) break;
    }
    if (!full) {
      waiting_.push_back({fd, std::string(), now + limits_.head_time, 0, peer, now});
      continue;
    }
    ++refused_;  // before the close, which the client sees at once
    ::close(fd);
    ++refusals_unsaid_;
    // One line a minute at most, however many are refused.
    if (last_refusal_note_ == Clock::time_point{} || now - last_refusal_note_ >= std::chrono::minutes(1)) {
      std::printf("http: %zu connections open, the most the live view keeps; %zu more closed at once\n",
                  limits_.max_connections, refusals_unsaid_);
      std::fflush(stdout);
      last_refusal_note_ = now;
      refusals_unsaid_ = 0;
    }
  }
}

void BoundedHttpServer::poll_loop() {
  std::vector<pollfd> fds;
  char buffer[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      for (Connection& c : returned_) {
        if (head_complete(c.in)) {
          ready_.push_back(std::move(c));
          ready_cv_.notify_one();
        } else {
          waiting_.push_back(std::move(c));
        }
      }
      returned_.clear();
    }
    Clock::time_point now = Clock::now();
    const bool accepting = now >= accept_resumes_;
    Clock::time_point next = now + std::chrono::seconds(1);
    if (!accepting) next = std::min(next, accept_resumes_);
    fds.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
    for (const Connection& c : waiting_) {
      fds.push_back({c.fd, POLLIN, 0});
      next = std::min(next, c.deadline);
    }
    if (::poll(fds.data(), fds.size(), ms_until(next, now)) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0)
      while (::read(wake_[0], buffer, sizeof buffer) > 0) {
      }
    now = Clock::now();

    // Bytes of request heads; whole ones go to the workers.
    std::vector<Connection> still;
    still.reserve(waiting_.size());
    for (std::size_t k = 0; k < waiting_.size(); ++k) {
      Connection& c = waiting_[k];
      bool drop = false;
      if (fds[k + 2].revents != 0) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0)
          c.in.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
          drop = true;
      }
      if (!drop && head_complete(c.in)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.push_back(std::move(c));
        ready_cv_.notify_one();
        continue;
      }
      if (drop || c.in.size() > limits_.max_head_bytes || now >= c.deadline) {
        close_connection(c);
        continue;
      }
      still.push_back(std::move(c));
    }
    waiting_.swap(still);
    if (accepting && (fds[1].revents & POLLIN) != 0) accept_all(now);
  }
  for (Connection& c : waiting_) close_connection(c);
  waiting_.clear();
}

void BoundedHttpServer::worker() {
  for (;;) {
    Connection c;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_cv_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
      if (stopping_) return;
      c = std::move(ready_.front());
      ready_.pop_front();
      busy_.insert(c.fd);
    }
    DeadlineStream stream(c.fd, std::move(c.in), Clock::now() + limits_.reply_time);
    const bool last = c.served + 1 >= limits_.requests_per_connection;
    bool closed = false;
    bool ok = false;
    try {
      ok = process_request(stream, last, closed, nullptr);
    } catch (...) {
      ok = false;  // nothing leaves the server's threads
    }
    ++c.served;
    bool keep = ok && !closed && !last;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_.erase(c.fd);
      keep = keep && !stopping_;
      if (keep) {
        c.in = stream.rest();
        c.since = Clock::now();
        c.deadline = c.since + limits_.keep_alive;
        returned_.push_back(std::move(c));
      }
    }
    if (keep)
      wake();
    else
      close_connection(c);
  }
}
