#include "mqtt_wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

namespace mqtt {

const char* const kClosedInHandshake = "closed by the broker in the handshake";

namespace {

constexpr int kStopped = -1;  // wait_for()'s answer when stop() came
constexpr int kLate = -2;     // and when the attempt's time ran out

std::string errno_text(int err) {
  char buffer[128] = {};
  // The GNU strerror_r returns its text, which may not be the buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

// The TLS library's reason for its last error ("certificate verify failed").
std::string tls_reason(const char* otherwise) {
  const char* reason = ERR_reason_error_string(ERR_peek_last_error());
  ERR_clear_error();
  return reason != nullptr ? reason : otherwise;
}

// Waits until `fd` is ready for `events`: 0, an errno of the socket, kStopped
// or kLate.
int wait_for(int fd, short events, Clock::time_point give_up, const std::function<bool()>& stopped) {
  for (;;) {
    if (stopped()) return kStopped;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
    if (left.count() <= 0) return kLate;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (r < 0 && errno != EINTR) return errno;
    if (r > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      return err;
    }
  }
}

// Blocks SIGPIPE for the calling thread: a write to a closed socket, by the
// TLS library or libmosquitto (neither asks for MSG_NOSIGNAL), says EPIPE.
void block_sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void put_length(std::string& out, uint32_t n) {
  do {
    unsigned char b = n % 128;
    n /= 128;
    if (n > 0) b |= 128;
    out.push_back(static_cast<char>(b));
  } while (n > 0);
}

}  // namespace

bool FrameGuard::feed(const unsigned char* in, std::size_t n, std::string& out, Failure& why) {
  while (n > 0) {
    std::size_t take = 1;
    switch (state_) {
      case State::Header:
        head_.push_back(static_cast<char>(*in));
        if (head_.size() > 1 && (*in & 128) == 0 && !header_done(out, why)) return false;
        if (head_.size() == 5 && (*in & 128) != 0) {
          why = {"protocol error", "the broker's answer is not MQTT"};
          return false;
        }
        break;
      case State::Pass:
        take = std::min<std::size_t>(n, left_);
        out.append(reinterpret_cast<const char*>(in), take);
        left_ -= static_cast<uint32_t>(take);
        if (left_ == 0) state_ = State::Header;
        break;
      case State::Topic:
        take = std::min(n, wanted_ - variable_.size());
        variable_.append(reinterpret_cast<const char*>(in), take);
        if (variable_.size() == 2 && wanted_ == 2) {
          const unsigned char* v = reinterpret_cast<const unsigned char*>(variable_.data());
          const bool qos = (static_cast<unsigned char>(head_[0]) & 6) != 0;
          wanted_ = 2 + (v[0] * 256u + v[1]) + (qos ? 2 : 0);
          if (wanted_ > length_) {
            why = {"protocol error", "the broker's answer is not MQTT"};
            return false;
          }
        }
        if (variable_.size() == wanted_) emit_cut(out);
        break;
      case State::Drop:
        take = std::min<std::size_t>(n, left_);
        left_ -= static_cast<uint32_t>(take);
        if (left_ == 0) state_ = State::Header;
        break;
    }
    in += take;
    n -= take;
  }
  return true;
}

// The fixed header is read: the packet passes, is cut, or ends the stream.
bool FrameGuard::header_done(std::string& out, Failure& why) {
  length_ = 0;
  for (std::size_t i = head_.size() - 1; i >= 1; --i)
    length_ = length_ * 128 + (static_cast<unsigned char>(head_[i]) & 127);
  const unsigned char first = static_cast<unsigned char>(head_[0]);
  if (length_ + head_.size() <= max_) {
    out += head_;
    head_.clear();
    left_ = length_;
    state_ = left_ > 0 ? State::Pass : State::Header;
    return true;
  }
  // A PUBLISH of QoS 0 or 1 reaches the library without its payload.
  if ((first >> 4) == 3 && ((first >> 1) & 3) <= 1) {
    variable_.clear();
    wanted_ = 2;
    state_ = State::Topic;
    return true;
  }
  why = {"protocol error", "a packet of " + std::to_string(length_ + head_.size()) +
                               " bytes from the broker, over the limit of " +
                               std::to_string(max_)};
  return false;
}

void FrameGuard::emit_cut(std::string& out) {
  out.push_back(head_[0]);
  put_length(out, static_cast<uint32_t>(variable_.size() + (v5_ ? 1 : 0)));
  out += variable_;
  if (v5_) out.push_back('\0');  // no properties
  cut.emplace_back(variable_.substr(2, (static_cast<unsigned char>(variable_[0]) * 256u +
                                        static_cast<unsigned char>(variable_[1]))),
                   length_ + head_.size());
  head_.clear();
  left_ = length_ - static_cast<uint32_t>(wanted_);
  state_ = left_ > 0 ? State::Drop : State::Header;
}

Wire::~Wire() { close(std::chrono::milliseconds(0)); }

bool Wire::open(const std::string& host, int port, const Tls* tls, Clock::time_point give_up,
                const std::function<bool()>& stopped, Failure& why) {
  block_sigpipe();
  if (!connect_tcp(host, port, give_up, stopped, why)) return false;
  tls_ = tls != nullptr;
  if (tls_ && !handshake(host, *tls, give_up, stopped, why)) return false;
  return listen_local(why);
}

bool Wire::connect_tcp(const std::string& host, int port, Clock::time_point give_up,
                       const std::function<bool()>& stopped, Failure& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    why = {"unreachable", "host name not resolved"};
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hold(found, ::freeaddrinfo);
  int err = ECONNREFUSED;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) err = wait_for(fd, POLLOUT, give_up, stopped);
    if (err == 0) {
      broker_ = fd;
      return true;
    }
    ::close(fd);
    if (err == kStopped || err == kLate) break;
  }
  if (err == kStopped) why = {"stopped", ""};
  else if (err == kLate) why = {"unreachable", ""};  // the caller names its time-out
  else if (err == ECONNREFUSED) why = {"refused", "connection refused"};
  else why = {"unreachable", errno_text(err)};
  return false;
}

// TLS over the connected socket: the peer's certificate checked against
// ca_file (else the system's store) and its name or address.
bool Wire::handshake(const std::string& host, const Tls& tls, Clock::time_point give_up,
                     const std::function<bool()>& stopped, Failure& why) {
  const std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                               ::SSL_CTX_free);
  auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  bool ok = ctx != nullptr && SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) == 1 &&
            SSL_CTX_load_verify_locations(ctx.get(), opt(tls.ca_file),
                                          tls.ca_file.empty() ? "/etc/ssl/certs" : nullptr) == 1;
  if (ok && !tls.cert_file.empty())
    ok = SSL_CTX_use_certificate_chain_file(ctx.get(), tls.cert_file.c_str()) == 1 &&
         SSL_CTX_use_PrivateKey_file(ctx.get(), tls.key_file.c_str(), SSL_FILETYPE_PEM) == 1 &&
         SSL_CTX_check_private_key(ctx.get()) == 1;
  if (ok) ssl_ = SSL_new(ctx.get());
  if (!ok || ssl_ == nullptr) {
    ERR_clear_error();
    why = {"TLS failure", "the ca_file, cert_file or key_file cannot be used"};
    return false;
  }
  SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE);
  SSL_clear_mode(ssl_, SSL_MODE_AUTO_RETRY);
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
  unsigned char address[sizeof(in6_addr)];
  const bool literal = ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
                       ::inet_pton(AF_INET6, host.c_str(), address) == 1;
  if (literal) X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
  else if (X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) != 1 ||
           SSL_set_tlsext_host_name(ssl_, host.c_str()) != 1) {
    ERR_clear_error();
    why = {"TLS failure", "the host name cannot be checked"};
    return false;
  }
  SSL_set_fd(ssl_, broker_);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) return true;
    const int e = SSL_get_error(ssl_, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      why = {"TLS failure", e == SSL_ERROR_SSL ? tls_reason("handshake failed") : kClosedInHandshake};
      return false;
    }
    const int w = wait_for(broker_, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, give_up, stopped);
    if (w == kStopped || w == kLate) {
      why = {w == kStopped ? "stopped" : "unreachable", ""};
      return false;
    }
  }
}

bool Wire::listen_local(Failure& why) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    why = {"refused", "no loopback socket: " + errno_text(errno)};
    return false;
  }
  local_port_ = ntohs(a.sin_port);
  return true;
}

bool Wire::attach(int client, Failure& why) {
  sockaddr_in want{}, peer{};
  socklen_t len = sizeof want;
  if (client < 0 || ::getsockname(client, reinterpret_cast<sockaddr*>(&want), &len) != 0) {
    why = {"refused", "the client has no socket"};
    return false;
  }
  // A loopback connect is there at once; the attempt's own time may be spent.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(2);
  const auto never = [] { return false; };
  while (local_ < 0) {
    if (wait_for(listener_, POLLIN, give_up, never) != 0) {
      why = {"refused", "the client did not connect to the relay"};
      return false;
    }
    len = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    // Only the library's own connection: its address and port.
    if (fd >= 0 && peer.sin_port == want.sin_port && peer.sin_addr.s_addr == want.sin_addr.s_addr)
      local_ = fd;
    else if (fd >= 0)
      ::close(fd);
  }
  ::close(listener_);
  listener_ = -1;
  const int one = 1;
  ::setsockopt(local_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  try {
    thread_ = std::thread([this] { relay(); });
  } catch (const std::system_error& e) {
    why = {"refused", std::string("no relay thread: ") + e.what()};
    return false;
  }
  return true;
}

void Wire::relay() {
  block_sigpipe();
  try {
    pass_on();
  } catch (...) {  // memory, for the packets it passes on
    try {
      end_with({"lost", "the relay failed"});
    } catch (...) {
    }
  }
  // The library sees the end; the broker sees a close.
  ::shutdown(local_, SHUT_RDWR);
  ::shutdown(broker_, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  done_cv_.notify_all();
}

// Both ways until either side closes or fails.
void Wire::pass_on() {
  unsigned char buffer[16384];
  for (;;) {
    pollfd p[2] = {{broker_, POLLIN, 0}, {local_, POLLIN, 0}};
    const bool pending = tls_ && SSL_pending(ssl_) > 0;
    if (!pending && ::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((pending || p[0].revents != 0) && !from_broker(buffer, sizeof buffer)) break;
    if (p[1].revents != 0) {
      const ssize_t n = ::recv(local_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !to_broker(buffer, static_cast<std::size_t>(n))) break;
    }
  }
}

// Reads what the broker sent and passes it on through the guard; false when
// the relay ends.
bool Wire::from_broker(unsigned char* buffer, std::size_t size) {
  ssize_t n = 0;
  if (tls_) {
    ERR_clear_error();
    const int r = SSL_read(ssl_, buffer, static_cast<int>(size));
    const int e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
    if (e == SSL_ERROR_SSL) end_with({"TLS failure", tls_reason("TLS error")});
    if (e == SSL_ERROR_SYSCALL && errno == ECONNRESET) end_with({"", "reset"});
    if (r <= 0) return false;
    n = r;
  } else {
    n = ::recv(broker_, buffer, size, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return false;
  }
  std::string out;
  Failure why;
  if (!guard_.feed(buffer, static_cast<std::size_t>(n), out, why)) {
    end_with(why);
    return false;
  }
  if (!guard_.cut.empty()) {
    // Known before the library can deliver the cut message.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& c : guard_.cut) cut_.push_back(std::move(c));
    guard_.cut.clear();
  }
  return send_all(local_, out.data(), out.size());
}

bool Wire::to_broker(const unsigned char* data, std::size_t size) {
  while (size > 0) {
    short wait = POLLOUT;
    if (tls_) {
      ERR_clear_error();
      const int r = SSL_write(ssl_, data, static_cast<int>(size));
      if (r > 0) {
        data += r;
        size -= static_cast<std::size_t>(r);
        continue;
      }
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ) wait = POLLIN;
      else if (e != SSL_ERROR_WANT_WRITE) return false;
    } else {
      const ssize_t n = ::send(broker_, data, size, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
    pollfd p{broker_, wait, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
  }
  return true;
}

void Wire::end_with(Failure f) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (f.kind.empty()) reset_ = true;
  else if (!end_) end_ = std::move(f);
}

std::optional<Failure> Wire::broken(bool accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end_ && end_->kind == "TLS failure" && accepted) return Failure{"lost", "TLS: " + end_->detail};
  if (end_) return end_;
  // A TLS broker that resets the connection before CONNACK refused us in
  // (or right after) the handshake: TLS 1.3 refuses a client certificate then.
  if (reset_ && tls_ && !accepted) return Failure{"TLS failure", kClosedInHandshake};
  return std::nullopt;
}

std::size_t Wire::queued() const {
  int waiting = 0, sending = 0;
  if (local_ < 0 || ioctl(local_, SIOCINQ, &waiting) != 0 || waiting < 0) waiting = 0;
  if (broker_ < 0 || ioctl(broker_, SIOCOUTQ, &sending) != 0 || sending < 0) sending = 0;
  return static_cast<std::size_t>(waiting) + static_cast<std::size_t>(sending);
}

std::deque<std::pair<std::string, std::size_t>> Wire::take_cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<std::pair<std::string, std::size_t>> got;
  got.swap(cut_);
  return got;
}

void Wire::close(std::chrono::milliseconds wait) {
  if (thread_.joinable()) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_cv_.wait_for(lock, wait, [this] { return done_; });
    }
    ::shutdown(local_, SHUT_RDWR);
    ::shutdown(broker_, SHUT_RDWR);
    thread_.join();
  }
  if (ssl_ != nullptr) SSL_free(ssl_);
  ssl_ = nullptr;
  for (int* fd : {&broker_, &listener_, &local_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

}  // namespace mqtt
