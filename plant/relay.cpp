#include "relay.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace plant {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAcceptPollMs = 20;  // latency of stop()
constexpr std::size_t kReadBytes = 64 * 1024;

int connect_to(const std::string& address, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

void no_delay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool write_all(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// Follows the OPC UA TCP framing of one direction (8-byte headers: message
// type, chunk type, little-endian size) and adds up the chunks of each MSG.
class MessageMeter {
 public:
  explicit MessageMeter(uint32_t limit) : limit_(limit) {}
  // True once a header shows the current MSG message above the limit.
  bool exceeds(const unsigned char* p, std::size_t n) {
    while (n > 0) {
      if (chunk_left_ > 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(n, chunk_left_));
        chunk_left_ -= k;
        p += k;
        n -= k;
        continue;
      }
      header_[have_++] = *p++;
      --n;
      if (have_ < sizeof header_) continue;
      have_ = 0;
      const uint32_t size = static_cast<uint32_t>(header_[4]) | (uint32_t{header_[5]} << 8) |
                            (uint32_t{header_[6]} << 16) | (uint32_t{header_[7]} << 24);
      chunk_left_ = size >= sizeof header_ ? size - sizeof header_ : 0;
      if (std::memcmp(header_, "MSG", 3) != 0) continue;
      message_ += size;
      if (message_ > limit_) return true;
      if (header_[3] != 'C') message_ = 0;  // final or abort chunk: the message ends
    }
    return false;
  }

 private:
  const uint32_t limit_;
  unsigned char header_[8] = {};
  std::size_t have_ = 0;
  uint64_t chunk_left_ = 0;
  uint64_t message_ = 0;
};

struct Packet {
  Clock::time_point due;
  std::vector<unsigned char> bytes;
};

// One relayed connection: a reader per direction and, with a delay, a
// writer per direction that sends each read's bytes once they are due.
struct Connection {
  int client = -1;
  int server = -1;
  std::atomic<bool> closed{false};
  std::atomic<int> running{0};
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Packet> queue[2];  // 0: towards the server, 1: towards the client
  std::vector<std::thread> threads;

  void shut() {
    if (!closed.exchange(true)) {
      shutdown(client, SHUT_RDWR);
      if (server >= 0) shutdown(server, SHUT_RDWR);
    }
    std::lock_guard<std::mutex> lock(mu);
    cv.notify_all();
  }
  ~Connection() {
    shut();
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
    close(client);
    if (server >= 0) close(server);
  }
};

}  // namespace

struct Relay::Impl {
  explicit Impl(RelayOptions o) : opt(std::move(o)) {}

  const RelayOptions opt;
  int listener = -1;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> closed_on_size{0};
  std::atomic<uint64_t> accepted{0};
  mutable std::mutex capture_mu;
  std::string captured;  // capture: the clients' bytes
  std::thread acceptor;
  std::list<std::unique_ptr<Connection>> connections;  // the acceptor's until stop

  void pump(Connection& c, int direction) {
    const int from = direction == 0 ? c.client : c.server;
    const int to = direction == 0 ? c.server : c.client;
    const bool delayed = opt.delay.count() > 0;
    std::unique_ptr<MessageMeter> meter;
    if (direction == 0 && opt.close_above_request_bytes > 0)
      meter = std::make_unique<MessageMeter>(opt.close_above_request_bytes);
    std::vector<unsigned char> buf(kReadBytes);
    for (;;) {
      const ssize_t n = recv(from, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      if (direction == 0 && opt.capture) {
        std::lock_guard<std::mutex> lock(capture_mu);
        captured.append(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(n));
      }
      if (meter && meter->exceeds(buf.data(), static_cast<std::size_t>(n))) {
        ++closed_on_size;
        break;
      }
      if (!delayed) {
        if (!write_all(to, buf.data(), static_cast<std::size_t>(n))) break;
        continue;
      }
      std::lock_guard<std::mutex> lock(c.mu);
      c.queue[direction].push_back({Clock::now() + opt.delay, {buf.begin(), buf.begin() + n}});
      c.cv.notify_all();
    }
    c.shut();
    --c.running;
  }

  void deliver(Connection& c, int direction) {
    const int to = direction == 0 ? c.server : c.client;
    std::unique_lock<std::mutex> lock(c.mu);
    std::deque<Packet>& q = c.queue[direction];
    while (!c.closed) {
      if (q.empty()) {
        c.cv.wait(lock);
        continue;
      }
      if (Clock::now() < q.front().due) {
        c.cv.wait_until(lock, q.front().due);
        continue;
      }
      Packet p = std::move(q.front());
      q.pop_front();
      lock.unlock();
      const bool ok = write_all(to, p.bytes.data(), p.bytes.size());
      lock.lock();
      if (!ok) break;
    }
    lock.unlock();
    c.shut();
    --c.running;
  }

  // Echo, Hold and Refuse: the peer itself, on the client socket alone.
  void answer(Connection& c) {
    std::vector<unsigned char> buf(kReadBytes);
    for (;;) {
      const ssize_t n = recv(c.client, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      if (opt.mode == RelayMode::Refuse) {
        // "ERRF", the message size, BadTcpInternalError, the reason (UA String).
        std::string err = "ERRF";
        const auto put = [&err](uint32_t v) {
          for (int k = 0; k < 4; ++k) err += static_cast<char>((v >> (8 * k)) & 0xff);
        };
        put(static_cast<uint32_t>(16 + opt.reason.size()));
        put(0x80820000u);
        put(static_cast<uint32_t>(opt.reason.size()));
        err += opt.reason;
        write_all(c.client, reinterpret_cast<const unsigned char*>(err.data()), err.size());
        break;
      }
      if (opt.mode == RelayMode::Echo &&
          !write_all(c.client, buf.data(), static_cast<std::size_t>(n)))
        break;
    }
    c.shut();
    --c.running;
  }

  void accept_loop() {
    while (!stopping) {
      pollfd pfd{listener, POLLIN, 0};
      if (poll(&pfd, 1, kAcceptPollMs) <= 0) continue;
      const int client = accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      // Finished connections are freed as new ones come.
      ++accepted;
      if (opt.mode == RelayMode::AcceptAndClose) {
        close(client);
        continue;
      }
      connections.remove_if([](const std::unique_ptr<Connection>& c) { return c->running == 0; });
      auto c = std::make_unique<Connection>();
      c->client = client;
      if (opt.mode != RelayMode::Forward) {
        c->running = 1;
        c->threads.emplace_back(&Impl::answer, this, std::ref(*c));
        connections.push_back(std::move(c));
        continue;
      }
      c->server = connect_to(opt.target_address, opt.target_port);
      if (c->server < 0) continue;  // the destructor closes the client
      no_delay(c->client);
      no_delay(c->server);
      const bool delayed = opt.delay.count() > 0;
      c->running = delayed ? 4 : 2;
      for (int d = 0; d < 2; ++d) {
        c->threads.emplace_back(&Impl::pump, this, std::ref(*c), d);
        if (delayed) c->threads.emplace_back(&Impl::deliver, this, std::ref(*c), d);
      }
      connections.push_back(std::move(c));
    }
    connections.clear();
  }

  void start() {
    if (acceptor.joinable()) throw std::logic_error("relay: already running");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(opt.address.c_str(), std::to_string(port ? port : opt.port).c_str(), &hints,
                    &found) != 0)
      throw std::runtime_error("relay: bad address " + opt.address);
    int fd = -1;
    for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
      fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
      if (fd < 0) continue;
      const int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 16) != 0) {
        close(fd);
        fd = -1;
      }
    }
    freeaddrinfo(found);
    if (fd < 0) throw std::runtime_error("relay: cannot listen on " + opt.address);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    port = ntohs(bound.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    listener = fd;
    stopping = false;
    acceptor = std::thread(&Impl::accept_loop, this);
  }

  void stop() {
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    if (listener >= 0) close(listener);
    listener = -1;
  }
};

Relay::Relay(RelayOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Relay::~Relay() { stop(); }
void Relay::start() { impl_->start(); }
void Relay::stop() { impl_->stop(); }
uint16_t Relay::port() const { return impl_->port; }
uint64_t Relay::closed_on_size() const { return impl_->closed_on_size; }
uint64_t Relay::accepted() const { return impl_->accepted; }
std::string Relay::client_bytes() const {
  std::lock_guard<std::mutex> lock(impl_->capture_mu);
  return impl_->captured;
}

}  // namespace plant
