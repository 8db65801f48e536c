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
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
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

// A little-endian reader over one chunk, which can patch what it reads.
struct Cursor {
  unsigned char* p;
  std::size_t n;
  std::size_t at = 0;
  bool ok = true;
  bool skip(std::size_t k) {
    ok = ok && k <= n - at;
    if (ok) at += k;
    return ok;
  }
  uint32_t u32() {
    if (!skip(4)) return 0;
    return uint32_t{p[at - 4]} | (uint32_t{p[at - 3]} << 8) | (uint32_t{p[at - 2]} << 16) |
           (uint32_t{p[at - 1]} << 24);
  }
  uint8_t u8() { return skip(1) ? p[at - 1] : 0; }
  // A String or ByteString: its bytes' offset and length (0 when null).
  std::size_t text(std::size_t* length) {
    const int32_t len = static_cast<int32_t>(u32());
    *length = len > 0 ? static_cast<std::size_t>(len) : 0;
    const std::size_t start = at;
    skip(*length);
    return start;
  }
  // A NodeId; for a string id, its text's offset and length (else length 0).
  std::size_t node_id(std::size_t* length) {
    *length = 0;
    switch (u8() & 0x3f) {
      case 0: skip(1); return 0;
      case 1: skip(3); return 0;
      case 2: skip(6); return 0;
      case 3: skip(2); return text(length);
      case 4: skip(18); return 0;
      case 5: {
        skip(2);
        std::size_t ignored;
        text(&ignored);
        return 0;
      }
      default: ok = false; return 0;
    }
  }
  void extension_object() {
    std::size_t ignored;
    node_id(&ignored);
    if (u8() != 0) text(&ignored);
  }
  // The type id after a MSG chunk's 24 header bytes (a None channel's), when
  // it is a four-byte one.
  uint32_t message_type() {
    at = 24;
    if (u8() != 1 || u8() != 0) return 0;
    const uint32_t low = u8();
    return low | (uint32_t{u8()} << 8);
  }
};

// The node ids of RegisterNodes answers on one connection, rewritten so that
// they are valid only in this connection's Read requests: the first byte of a
// string id becomes this connection's mark.
class IdScope {
 public:
  explicit IdScope(unsigned char mark) : mark_(mark) {}

  // Rewrites a whole server chunk in place when it answers RegisterNodes.
  void from_server(unsigned char* p, std::size_t n) {
    Cursor c{p, n};
    if (c.message_type() != kRegisterNodesResponse) return;
    c.skip(16);  // timestamp, request handle, service result
    if (c.u8() != 0) return;  // diagnostics: none expected
    std::size_t len = 0;
    for (int32_t k = static_cast<int32_t>(c.u32()); k > 0 && c.ok; --k) c.text(&len);
    c.extension_object();
    std::lock_guard<std::mutex> lock(mu_);
    for (int32_t k = static_cast<int32_t>(c.u32()); k > 0 && c.ok; --k) {
      const std::size_t at = c.node_id(&len);
      if (!c.ok || len == 0) continue;
      const unsigned char first = p[at];
      p[at] = mark_;
      issued_[std::string(reinterpret_cast<const char*>(p + at), len)] = first;
    }
  }

  // Turns the ids this connection issued back in a client chunk that reads.
  void from_client(unsigned char* p, std::size_t n, std::atomic<uint64_t>& restored) {
    Cursor c{p, n};
    if (c.message_type() != kReadRequest) return;
    std::size_t len = 0;
    c.node_id(&len);  // the session's token
    c.skip(16);       // timestamp, request handle, return diagnostics
    c.text(&len);     // audit entry id
    c.skip(4);        // timeout hint
    c.extension_object();
    c.skip(12);  // max age, timestamps to return
    std::lock_guard<std::mutex> lock(mu_);
    for (int32_t k = static_cast<int32_t>(c.u32()); k > 0 && c.ok; --k) {
      const std::size_t at = c.node_id(&len);
      c.skip(4);  // attribute id
      std::size_t ignored;
      c.text(&ignored);  // index range
      c.skip(2);
      c.text(&ignored);  // data encoding
      if (!c.ok || len == 0) continue;
      const auto found = issued_.find(std::string(reinterpret_cast<const char*>(p + at), len));
      if (found == issued_.end()) continue;
      p[at] = found->second;
      ++restored;
    }
  }

 private:
  static constexpr uint32_t kRegisterNodesResponse = 563;  // binary encoding ids
  static constexpr uint32_t kReadRequest = 631;
  const unsigned char mark_;
  std::mutex mu_;
  std::map<std::string, unsigned char> issued_;
};

// Cuts one direction's bytes into whole chunks (8-byte headers: message type,
// chunk type, little-endian size); says whether a chunk begins a MSG message.
class ChunkFramer {
 public:
  void add(const unsigned char* p, std::size_t n) { buf_.insert(buf_.end(), p, p + n); }
  // The next whole chunk (moved into `chunk`), false when none is complete.
  bool next(std::vector<unsigned char>& chunk, bool* message_start) {
    if (buf_.size() < 8) return false;
    uint32_t size = uint32_t{buf_[4]} | (uint32_t{buf_[5]} << 8) | (uint32_t{buf_[6]} << 16) |
                    (uint32_t{buf_[7]} << 24);
    size = std::max<uint32_t>(size, 8);
    if (buf_.size() < size) return false;
    chunk.assign(buf_.begin(), buf_.begin() + size);
    buf_.erase(buf_.begin(), buf_.begin() + size);
    const bool msg = std::memcmp(chunk.data(), "MSG", 3) == 0;
    *message_start = msg && !continued_;
    if (msg) continued_ = chunk[3] == 'C';
    return true;
  }

 private:
  std::vector<unsigned char> buf_;
  bool continued_ = false;
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
  std::unique_ptr<IdScope> scope;  // scope_registered_ids

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
  std::atomic<uint64_t> registered_reads{0};
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
    ChunkFramer framer;
    std::vector<unsigned char> chunk;
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
      if (c.scope) {
        framer.add(buf.data(), static_cast<std::size_t>(n));
        bool start = false;
        bool ok = true;
        while (ok && framer.next(chunk, &start)) {
          if (start && direction == 0) c.scope->from_client(chunk.data(), chunk.size(), registered_reads);
          if (start && direction == 1) c.scope->from_server(chunk.data(), chunk.size());
          ok = write_all(to, chunk.data(), chunk.size());
        }
        if (!ok) break;
        continue;
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
      // Each connection its own mark (a byte no point name starts with).
      if (opt.scope_registered_ids)
        c->scope = std::make_unique<IdScope>(static_cast<unsigned char>(1 + accepted % 31));
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
uint64_t Relay::registered_reads() const { return impl_->registered_reads; }
uint64_t Relay::closed_on_size() const { return impl_->closed_on_size; }
uint64_t Relay::accepted() const { return impl_->accepted; }
std::string Relay::client_bytes() const {
  std::lock_guard<std::mutex> lock(impl_->capture_mu);
  return impl_->captured;
}

}  // namespace plant
