#include "mqtt_link.h"

#include <mosquitto.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

// The link runs its own thread around mosquitto_loop() rather than the
// library's mosquitto_loop_start(): only our thread decides which server comes
// next, when the next attempt may start, when an attempt without CONNACK or a
// publish without PUBACK has waited long enough, and stop() never depends on
// the library's reconnection. Each attempt gets a fresh client object, so no
// publish of a lost connection is ever re-sent by the library.

namespace mqtt {

namespace {

using Clock = std::chrono::steady_clock;

// mosquitto_lib_init() and _cleanup() once for all the links of the process.
std::mutex g_lib_mutex;
int g_lib_users = 0;

void lib_acquire() {
  std::lock_guard<std::mutex> lock(g_lib_mutex);
  if (g_lib_users++ == 0) mosquitto_lib_init();
}

void lib_release() {
  std::lock_guard<std::mutex> lock(g_lib_mutex);
  if (--g_lib_users == 0) mosquitto_lib_cleanup();
}

struct Address {
  bool ok = false;
  bool tls = false;
  std::string host;
  int port = 0;
};

// "tcp://host:port" or "ssl://host:port"; the host may be an IPv6 literal in
// brackets; without a port, 1883 or 8883.
Address parse_address(const std::string& text) {
  Address a;
  std::string rest;
  if (text.rfind("tcp://", 0) == 0) {
    rest = text.substr(6);
  } else if (text.rfind("ssl://", 0) == 0) {
    rest = text.substr(6);
    a.tls = true;
  } else {
    return a;
  }
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return a;
    a.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return a;
      port = rest.substr(close + 2);
    }
  } else {
    const std::size_t colon = rest.find(':');
    a.host = rest.substr(0, colon);
    if (colon != std::string::npos) port = rest.substr(colon + 1);
  }
  if (a.host.empty()) return a;
  if (port.empty()) {
    a.port = a.tls ? 8883 : 1883;
  } else {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return a;
    a.port = std::stoi(port);
    if (a.port < 1 || a.port > 65535) return a;
  }
  a.ok = true;
  return a;
}

constexpr const char* kClosedInHandshake = "closed by the broker in the handshake";

// Why an attempt failed or a connection ended, as the line says it.
struct Failure {
  std::string kind;  // refused, unreachable, not authorised, TLS failure, ...
  std::string detail;
  std::string text() const { return kind + " (" + detail + ")"; }
};

std::string errno_text(int err) {
  char buffer[128] = {};
  // The GNU strerror_r returns its text, which may not be the buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

// A failure from a libmosquitto return code; `err` is errno right after the
// call, `tls_detail` the library's last error line.
Failure failure_of(int rc, int err, bool before_connack, const std::string& tls_detail) {
  switch (rc) {
    case MOSQ_ERR_ERRNO:
      if (err == ECONNREFUSED) return {"refused", "connection refused"};
      if (err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == EHOSTDOWN ||
          err == EADDRNOTAVAIL)
        return {"unreachable", errno_text(err)};
      if (err == 0 || err == ECONNRESET || err == EPIPE)
        return {before_connack ? "refused" : "lost",
                before_connack ? "closed before CONNACK" : "connection reset"};
      return {before_connack ? "unreachable" : "lost", errno_text(err)};
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
      return {"unreachable", "host name not resolved"};
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
      return {before_connack ? "refused" : "lost",
              before_connack ? "closed before CONNACK" : "closed by the broker"};
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
      return {"TLS failure", tls_detail.empty() ? "handshake failed" : tls_detail};
    case MOSQ_ERR_KEEPALIVE:
      return {before_connack ? "unreachable" : "lost", "no answer within the keepalive"};
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
      return {"protocol error", "the broker's answer is not MQTT"};
    default:
      return {before_connack ? "refused" : "lost", mosquitto_strerror(rc)};
  }
}

}  // namespace

struct Link::Impl {
  Impl(BrokerSettings s, LinkEvents e, std::function<void(const std::string&)> l)
      : settings(std::move(s)), events(std::move(e)), log_line(std::move(l)) {}

  const BrokerSettings settings;
  const LinkEvents events;
  const std::function<void(const std::string&)> log_line;
  std::function<Will()> will;
  std::thread thread;

  // Shared with the callers' threads.
  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  mosquitto* live = nullptr;  // the client while its CONNACK has been accepted
  std::string live_server;
  struct Waiting {
    uint64_t token;
    Clock::time_point sent;
  };
  std::map<int, Waiting> waiting_ack;  // QoS 1 publishes by message id
  // QoS 0 publishes not yet written, by message id: token and size.
  std::map<int, std::pair<uint64_t, std::size_t>> waiting_write;
  std::size_t waiting_write_bytes = 0;
  uint64_t next_token = 1;

  // What the library's callbacks saw, collected under a lock of its own
  // (nothing else is taken under it) and handled after mosquitto_loop()
  // returns, so that no event runs inside the library's callbacks.
  struct Seen {
    int connack = -1;
    std::vector<int> published;
    std::vector<std::pair<std::string, Bytes>> messages;
    std::string last_error;
  };
  std::mutex seen_mutex;
  Seen seen;

  // The link thread's own.
  std::vector<std::string> said;  // the last failure line per server
  bool warned_clear_password = false;

  bool stop_requested() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
  }

  // Waits until `until` or stop(); true when stopped.
  bool sleep_until(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex);
    return wake.wait_until(lock, until, [this] { return stopping; });
  }

  void say(const std::string& text) {
    if (log_line) log_line("broker: " + text);
  }

  // One line per server and failure: the same failure again says nothing.
  void failed(std::size_t index, const Failure& f) {
    const std::string line = settings.servers[index] + ": " + f.text();
    if (said[index] == line) return;
    // A bare close after the TLS library named its reason is the same state.
    const std::string tls = settings.servers[index] + ": TLS failure (";
    if (f.kind == "TLS failure" && f.detail == kClosedInHandshake && said[index].rfind(tls, 0) == 0) return;
    said[index] = line;
    say(line);
  }

  static void on_connect(mosquitto*, void* self, int rc) {
    Impl* impl = static_cast<Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->seen_mutex);
    impl->seen.connack = rc;
  }
  static void on_publish(mosquitto*, void* self, int mid) {
    Impl* impl = static_cast<Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->seen_mutex);
    impl->seen.published.push_back(mid);
  }
  static void on_message(mosquitto*, void* self, const mosquitto_message* m) {
    Impl* impl = static_cast<Impl*>(self);
    const unsigned char* p = static_cast<const unsigned char*>(m->payload);
    Bytes payload(p, p + (m->payloadlen > 0 ? m->payloadlen : 0));
    std::lock_guard<std::mutex> lock(impl->seen_mutex);
    impl->seen.messages.emplace_back(m->topic != nullptr ? m->topic : "", std::move(payload));
  }
  // The library's error lines; of the TLS library's, its reason alone
  // ("OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed").
  static void on_log(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    std::string line = text;
    const std::size_t reason = line.rfind("::");
    if (line.rfind("OpenSSL", 0) == 0 && reason != std::string::npos) line.erase(0, reason + 2);
    Impl* impl = static_cast<Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->seen_mutex);
    impl->seen.last_error = line;
  }

  std::string last_error() {
    std::lock_guard<std::mutex> lock(seen_mutex);
    return seen.last_error;
  }

  void run() {
    const std::size_t n = settings.servers.size();
    said.assign(n, std::string());
    if (n == 0) {
      say("no server to connect to");
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait(lock, [this] { return stopping; });
      return;
    }
    std::vector<Clock::time_point> last_attempt(n, Clock::time_point::min());
    std::size_t index = 0, failed_in_turn = 0;
    auto backoff = std::chrono::seconds(1);
    while (!stop_requested()) {
      // At most one attempt per second per server.
      if (last_attempt[index] != Clock::time_point::min() &&
          sleep_until(last_attempt[index] + std::chrono::seconds(1)))
        break;
      last_attempt[index] = Clock::now();
      const bool was_connected = attempt(index);
      if (was_connected) {
        backoff = std::chrono::seconds(1);
        failed_in_turn = 0;
      } else {
        ++failed_in_turn;
      }
      index = (index + 1) % n;
      // Every server failed in turn: wait longer each time, up to 30 s.
      if (failed_in_turn >= n) {
        failed_in_turn = 0;
        if (sleep_until(Clock::now() + backoff)) break;
        backoff = std::min(backoff * 2, std::chrono::seconds(30));
      }
    }
  }

  // One connection attempt to servers[index] and, when it is accepted, the
  // connection until it ends; true when the broker accepted it.
  bool attempt(std::size_t index) {
    const std::string& server = settings.servers[index];
    const Address address = parse_address(server);
    if (!address.ok) {
      failed(index, {"refused", "not a tcp://host:port or ssl://host:port address"});
      return false;
    }
    if (!settings.password.empty() && !address.tls) {
      if (!settings.allow_password_in_clear) {
        failed(index, {"refused", "a password goes over ssl:// only, unless "
                                  "allow_password_in_clear is set; not connecting"});
        return false;
      }
      if (!warned_clear_password) {
        warned_clear_password = true;
        say(server + ": the password goes in clear (allow_password_in_clear)");
      }
    }
    Will w;
    if (will) w = will();
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      seen = Seen();
    }
    mosquitto* m =
        mosquitto_new(settings.client_id.empty() ? nullptr : settings.client_id.c_str(), true, this);
    if (m == nullptr) {
      failed(index, {"refused", "no client: " + errno_text(errno)});
      return false;
    }
    const bool accepted = converse(index, address, w, m);
    mosquitto_destroy(m);
    return accepted;
  }

  // Sets the client up, connects and runs its loop; true when CONNACK
  // accepted the connection.
  bool converse(std::size_t index, const Address& address, const Will& w, mosquitto* m) {
    if (!set_up(index, address, w, m)) return false;
    errno = 0;
    const int rc =
        mosquitto_connect_async(m, address.host.c_str(), address.port, settings.keepalive_seconds);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
      failed(index, failure_of(rc, err, true, last_error()));
      return false;
    }
    // Over TLS the library reports a connect() that failed at once (refused
    // on this host) with success; its errno and the socket's state tell.
    const int connect_err = err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH ? err : 0;
    Failure end;
    if (!run_connection(index, address.tls, connect_err, m, end)) return false;
    ended(settings.servers[index], end);
    return true;
  }

  // The client's callbacks, credentials, will and TLS; false (said) when
  // the library refuses one of them.
  bool set_up(std::size_t index, const Address& address, const Will& w, mosquitto* m) {
    mosquitto_threaded_set(m, true);
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_message_callback_set(m, on_message);
    mosquitto_log_callback_set(m, on_log);
    mosquitto_max_inflight_messages_set(m, static_cast<unsigned>(kMaxInFlight));
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.user.empty())
      rc = mosquitto_username_pw_set(
          m, settings.user.c_str(), settings.password.empty() ? nullptr : settings.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !w.topic.empty())
      rc = mosquitto_will_set(m, w.topic.c_str(), static_cast<int>(w.payload.size()),
                              w.payload.data(), w.qos, w.retain);
    if (rc != MOSQ_ERR_SUCCESS) {
      failed(index, {"refused", std::string("client set-up: ") + mosquitto_strerror(rc)});
      return false;
    }
    if (address.tls) {
      auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
      // The peer's certificate (against ca_file, else the system's store) and
      // its host name are both checked.
      rc = mosquitto_tls_set(m, opt(settings.ca_file),
                             settings.ca_file.empty() ? "/etc/ssl/certs" : nullptr, opt(settings.cert_file),
                             opt(settings.key_file), nullptr);
      if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m, 1, nullptr, nullptr);
      if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, false);
      if (rc != MOSQ_ERR_SUCCESS) {
        failed(index, {"TLS failure", "the ca_file, cert_file or key_file cannot be used"});
        return false;
      }
    }
    return true;
  }

  // What the callbacks saw since the last turn; the library's last error
  // line stays for the next.
  Seen take_seen() {
    Seen got;
    std::lock_guard<std::mutex> lock(seen_mutex);
    std::swap(got, seen);
    seen.last_error = got.last_error;
    return got;
  }

  // The client's loop from the connect on, until the attempt fails, the
  // connection ends or stop(); true when CONNACK accepted it, with `end`
  // saying how it ended. An attempt's failure is said here.
  bool run_connection(std::size_t index, bool tls, int connect_err, mosquitto* m, Failure& end) {
    const Clock::time_point give_up =
        Clock::now() + std::chrono::seconds(std::max(1, settings.connect_timeout_seconds));
    bool accepted = false;
    for (;;) {
      if (stop_requested()) {
        if (accepted) farewell(m);
        end = {"stopped", ""};
        break;
      }
      const int rc = mosquitto_loop(m, 100, 1);
      const int err = errno;
      const Seen got = take_seen();
      if (got.connack == 0 && !accepted) {
        accepted = true;
        went_live(settings.servers[index], m);
      } else if (got.connack > 0) {
        const bool auth = got.connack == 4 || got.connack == 5;
        failed(index, {auth ? "not authorised" : "refused",
                       std::string("CONNACK: ") + mosquitto_connack_string(got.connack)});
        break;
      }
      acknowledge(got.published);
      for (const auto& message : got.messages)
        if (events.message)
          events.message(message.first, message.second.data(), message.second.size());
      if (rc != MOSQ_ERR_SUCCESS || (!accepted && connect_err != 0 && socket_failed(m))) {
        end = loop_failure(rc, err, accepted, tls, connect_err, got.last_error);
        if (!accepted) failed(index, end);
        break;
      }
      if (!accepted && Clock::now() >= give_up) {
        failed(index, {"unreachable", "no CONNACK within " +
                                          std::to_string(settings.connect_timeout_seconds) + " s"});
        break;
      }
      if (accepted && ack_overdue()) {
        end = {"lost", "no PUBACK within " + std::to_string(settings.ack_timeout_seconds) + " s"};
        break;
      }
    }
    return accepted;
  }

  // Why the loop failed: `rc` from mosquitto_loop() with its errno, or the
  // attempt's socket in error after a connect that failed at once.
  static Failure loop_failure(int rc, int err, bool accepted, bool tls, int connect_err,
                              const std::string& last_error) {
    Failure end = rc != MOSQ_ERR_SUCCESS ? failure_of(rc, err, !accepted, last_error)
                                         : failure_of(MOSQ_ERR_ERRNO, connect_err, true, "");
    // A TLS peer that closes during or right after the handshake (a
    // client certificate refused) leaves the library's TLS error line.
    // With TLS 1.3 the broker refuses a client certificate after the
    // client's side of the handshake is done; the refusal may then reach
    // us as a bare close, with no line.
    if (!accepted && tls) {
      if (!last_error.empty())
        end = {"TLS failure", last_error};
      else if (rc == MOSQ_ERR_ERRNO && err == EPROTO)
        end = {"TLS failure", kClosedInHandshake};
    }
    return end;
  }

  // CONNACK accepted: the client takes publishes, the failures said so far
  // are forgotten, and the caller hears of it.
  void went_live(const std::string& server, mosquitto* m) {
    said.assign(said.size(), std::string());
    {
      std::lock_guard<std::mutex> lock(mutex);
      live = m;
      live_server = server;
    }
    say("connected to " + server);
    if (events.connected) events.connected(server);
  }

  // An accepted connection is over: nothing more goes to it, the publishes
  // still waiting are forgotten, and the line and event say why.
  void ended(const std::string& server, const Failure& end) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      live = nullptr;
      live_server.clear();
      waiting_ack.clear();
      waiting_write.clear();
      waiting_write_bytes = 0;
    }
    if (end.kind == "stopped") {
      say("disconnected from " + server);
    } else {
      say(server + ": connection " + end.text());
      if (events.disconnected) events.disconnected(end.text());
    }
  }

  // Whether the attempt's socket is closed or in error: one still connecting
  // polls as neither.
  static bool socket_failed(mosquitto* m) {
    pollfd p{mosquitto_socket(m), POLLOUT, 0};
    return p.fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
  }

  // Publishes written (QoS 0) or acknowledged (QoS 1): their tokens go to
  // `acknowledged`, outside the lock.
  void acknowledge(const std::vector<int>& mids) {
    if (mids.empty()) return;
    std::vector<uint64_t> tokens;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (int mid : mids) {
        auto it = waiting_ack.find(mid);
        if (it != waiting_ack.end()) {
          tokens.push_back(it->second.token);
          waiting_ack.erase(it);
        } else if (auto w = waiting_write.find(mid); w != waiting_write.end()) {
          tokens.push_back(w->second.first);
          waiting_write_bytes -= w->second.second;
          waiting_write.erase(w);
        }
      }
    }
    if (events.acknowledged)
      for (uint64_t token : tokens) events.acknowledged(token);
  }

  bool ack_overdue() {
    const auto limit = std::chrono::seconds(std::max(1, settings.ack_timeout_seconds));
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : waiting_ack)
      if (now - entry.second.sent >= limit) return true;
    return false;
  }

  // A clean DISCONNECT (the broker then drops the will), given up to a second
  // to be written.
  void farewell(mosquitto* m) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      live = nullptr;
    }
    if (mosquitto_disconnect(m) != MOSQ_ERR_SUCCESS) return;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < until && mosquitto_loop(m, 100, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
};

Link::Link(BrokerSettings settings, LinkEvents events,
           std::function<void(const std::string&)> log_line)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(events), std::move(log_line))) {
  lib_acquire();
}

Link::~Link() {
  stop();
  lib_release();
}

void Link::start(std::function<Will()> will) {
  if (impl_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = false;
  }
  impl_->will = std::move(will);
  Impl* impl = impl_.get();
  impl_->thread = std::thread([impl] {
    try {
      impl->run();
    } catch (const std::exception& e) {
      impl->say(std::string("the link stopped: ") + e.what());
    }
  });
}

void Link::stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
}

bool Link::subscribe(const std::string& topic, int qos) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->live == nullptr) return false;
  return mosquitto_subscribe(impl_->live, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

std::optional<uint64_t> Link::publish(const std::string& topic, const Bytes& payload, int qos,
                                      bool retain) {
  if (qos != 0 && qos != 1) return std::nullopt;
  // MQTT's largest remaining length leaves less than this for the payload.
  if (payload.size() > 268435455u - 65536u) return std::nullopt;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->live == nullptr) return std::nullopt;
  if ((qos == 1 ? impl_->waiting_ack.size() : impl_->waiting_write.size()) >= kMaxInFlight)
    return std::nullopt;
  int mid = 0;
  if (mosquitto_publish(impl_->live, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), qos, retain) != MOSQ_ERR_SUCCESS)
    return std::nullopt;
  const uint64_t token = impl_->next_token++;
  if (qos == 1) {
    impl_->waiting_ack[mid] = {token, Clock::now()};
  } else {
    impl_->waiting_write[mid] = {token, payload.size()};
    impl_->waiting_write_bytes += payload.size();
  }
  return token;
}

std::size_t Link::in_flight() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->waiting_ack.size() + impl_->waiting_write.size();
}

std::size_t Link::unsent_bytes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->live == nullptr) return 0;
  int queued = 0;
  const int fd = mosquitto_socket(impl_->live);
  if (fd < 0 || ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  return impl_->waiting_write_bytes + static_cast<std::size_t>(queued);
}

bool Link::connected() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->live != nullptr;
}

std::string Link::server() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->live_server;
}

}  // namespace mqtt
