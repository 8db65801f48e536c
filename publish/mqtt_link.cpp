#include "mqtt_link.h"

#include "mqtt_wire.h"

#include <mosquitto.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>

// The link runs its own thread around mosquitto_loop() rather than the
// library's mosquitto_loop_start(): only our thread decides which server comes
// next, when the next attempt may start, when an attempt without CONNACK or a
// publish without PUBACK has waited long enough, and stop() never depends on
// the library's reconnection. Each attempt gets a fresh client object, so no
// publish of a lost connection is ever re-sent by the library. The library
// talks to the broker through the attempt's Wire (mqtt_wire.h), which does
// the TCP and TLS and bounds the packets the library reads.

namespace mqtt {

namespace {

// After every server failed in turn, a wait that doubles up to kMaxBackoff,
// each drawn between 3/4 and all of it: a broker that is back is found within
// seconds, and links that lost it together do not come back in step.
constexpr auto kFirstBackoff = std::chrono::milliseconds(1000);
constexpr auto kMaxBackoff = std::chrono::milliseconds(4000);
// A connection the broker (or the network) ended within kShortConnection of
// its CONNACK is followed by a wait of its own, doubling up to kMaxShortWait
// with the same jitter: a broker that drops each connection, say at a message
// over its packet limit, is not asked again every second.
constexpr auto kShortConnection = std::chrono::seconds(30);
constexpr auto kMaxShortWait = std::chrono::milliseconds(60000);
// How long a leave() gives what was handed over, and the DISCONNECT after
// it, to reach the broker; a stop() gives a second.
constexpr auto kLeaveGrace = std::chrono::milliseconds(5000);

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

std::string errno_text(int err) {
  char buffer[128] = {};
  // The GNU strerror_r returns its text, which may not be the buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

// A failure from a libmosquitto return code; `err` is errno right after the
// call. The library's socket is the relay's, so the broker's side of a close
// is the Wire's to say.
Failure failure_of(int rc, int err, bool before_connack) {
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
    case MOSQ_ERR_NOMEM:
      return {before_connack ? "refused" : "lost", "out of memory"};
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
  Wire* live_wire = nullptr;  // its Wire, open while this is set
  std::string live_server;
  struct Waiting {
    uint64_t token;
    Clock::time_point sent;
    std::string kind;
  };
  std::map<int, Waiting> waiting_ack;  // QoS 1 publishes by message id
  // QoS 0 publishes not yet written, by message id.
  struct Unwritten {
    uint64_t token;
    std::size_t size;
    std::string kind;
  };
  std::map<int, Unwritten> waiting_write;
  std::size_t waiting_write_bytes = 0;
  std::map<std::string, uint64_t> sent;  // by kind, on a live connection
  std::optional<std::string> leaving;    // leave()'s reason, for the live connection
  bool oversize_said = false;            // a publish over the broker's limit, this connection
  // The largest publish handed to the live connection: topic and payload.
  struct Largest {
    std::size_t size = 0;
    std::string topic;
  };
  Largest largest;
  uint64_t next_token = 1;
  uint64_t faults = 0;
  bool fault_was_live = false;  // an exception ended a live connection

  // What the library's callbacks saw, collected under a lock of its own
  // (nothing else is taken under it) and handled after mosquitto_loop()
  // returns, so that no event runs inside the library's callbacks. A
  // callback never throws: what it could not keep is `lost`.
  struct Seen {
    int connack = -1;
    std::vector<int> published;
    std::vector<std::pair<std::string, Bytes>> messages;
    std::string lost;
  };
  std::mutex seen_mutex;
  Seen seen;

  // The link thread's own.
  std::vector<std::string> said;  // the last failure line per server
  std::vector<bool> v311;         // servers that answered MQTT 5 with "unsupported"
  std::vector<bool> try311;       // servers that closed at our MQTT 5 CONNECT: next in 3.1.1
  bool warned_clear_password = false;
  std::deque<std::pair<std::string, std::size_t>> cut;  // cut by the Wire, not yet delivered
  Clock::time_point cut_said = Clock::time_point::min();
  uint64_t cut_unsaid = 0;
  std::minstd_rand jitter;
  Clock::time_point live_since;                  // the live connection's CONNACK
  std::chrono::milliseconds short_wait = kFirstBackoff;  // after the next short connection
  std::chrono::milliseconds pause{0};            // due before the next attempt

  // Between 3/4 and all of `ceiling`.
  std::chrono::milliseconds drawn(std::chrono::milliseconds ceiling) {
    return ceiling - ceiling / 4 * std::uniform_int_distribution<int>(0, 100)(jitter) / 100;
  }

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
    try {
      impl->seen.published.push_back(mid);
    } catch (const std::exception&) {
      impl->seen.lost = "out of memory for an acknowledgement";
    }
  }
  static void on_message(mosquitto*, void* self, const mosquitto_message* m) {
    Impl* impl = static_cast<Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->seen_mutex);
    try {
      const unsigned char* p = static_cast<const unsigned char*>(m->payload);
      impl->seen.messages.emplace_back(m->topic != nullptr ? m->topic : "",
                                       Bytes(p, p + (m->payloadlen > 0 ? m->payloadlen : 0)));
    } catch (const std::exception&) {
      impl->seen.lost = "out of memory for a message";
    }
  }

  void run() {
    const std::size_t n = settings.servers.size();
    said.assign(n, std::string());
    v311.assign(n, false);
    try311.assign(n, false);
    if (n == 0) {
      say("no server to connect to");
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait(lock, [this] { return stopping; });
      return;
    }
    jitter.seed(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    std::vector<Clock::time_point> last_attempt(n, Clock::time_point::min());
    std::size_t index = 0, failed_in_turn = 0;
    auto backoff = kFirstBackoff;
    while (!stop_requested()) {
      // At most one attempt per second per server.
      if (last_attempt[index] != Clock::time_point::min() &&
          sleep_until(last_attempt[index] + std::chrono::seconds(1)))
        break;
      last_attempt[index] = Clock::now();
      if (guarded_attempt(index)) {
        backoff = kFirstBackoff;
        failed_in_turn = 0;
      } else {
        ++failed_in_turn;
      }
      index = (index + 1) % n;
      const auto after_short = std::exchange(pause, std::chrono::milliseconds(0));
      if (after_short.count() > 0 && sleep_until(Clock::now() + after_short)) break;
      if (failed_in_turn >= n) {
        failed_in_turn = 0;
        if (sleep_until(Clock::now() + drawn(backoff))) break;
        backoff = std::min(backoff * 2, kMaxBackoff);
      }
    }
  }

  // An attempt whose exception (an event's, or memory) ends it: the
  // connection, if any, is over, said and counted, and the link goes on.
  bool guarded_attempt(std::size_t index) {
    std::string what;
    try {
      return attempt(index);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "unknown exception";
    }
    fault(settings.servers[index], what);
    return false;
  }

  // `server`: the one being tried, or empty when between attempts.
  void fault(const std::string& server, const std::string& what) noexcept {
    bool was_live = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      was_live = live != nullptr || fault_was_live;
      fault_was_live = false;
      live = nullptr;
      live_wire = nullptr;
      live_server.clear();
      waiting_ack.clear();
      waiting_write.clear();
      waiting_write_bytes = 0;
      ++faults;
    }
    try {
      say((server.empty() ? "" : server + ": ") + "the link failed (" + what + "); connecting again");
      if (was_live && events.disconnected) events.disconnected("the link failed (" + what + ")");
    } catch (...) {
      // Nothing more can be said; the state is already right.
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
    // A broker that answers MQTT 5 with "unsupported" is asked again at once
    // in 3.1.1, and so from then on. One that closes the connection at an
    // MQTT 5 CONNECT (an older broker may) is asked in 3.1.1 at the next
    // attempt, and in MQTT 5 again after that.
    for (bool v5 = !v311[index] && !try311[index];;) {
      try311[index] = false;
      const int outcome = converse(index, address, v5);
      if (outcome >= 0) return outcome == 1;
      v311[index] = true;
      if (!v5 || stop_requested()) return false;
      v5 = false;
    }
  }

  using Client = std::unique_ptr<mosquitto, decltype(&mosquitto_destroy)>;

  // The Wire to the broker, the client over it and its connection: 1 when
  // CONNACK accepted it, 0 when not, -1 when the broker does not speak the
  // protocol version asked.
  int converse(std::size_t index, const Address& address, bool v5) {
    const Clock::time_point give_up =
        Clock::now() + std::chrono::seconds(std::max(1, settings.connect_timeout_seconds));
    const Failure late{"unreachable",
                       "no CONNACK within " + std::to_string(settings.connect_timeout_seconds) + " s"};
    Wire wire(std::max<std::size_t>(settings.max_packet_bytes, 64), v5);
    const Wire::Tls tls{settings.ca_file, settings.cert_file, settings.key_file};
    Failure why;
    if (!wire.open(address.host, address.port, address.tls ? &tls : nullptr, give_up,
                   [this] { return stop_requested(); }, why)) {
      if (why.kind != "stopped") failed(index, why.detail.empty() ? late : why);
      return 0;
    }
    // Asked for per CONNECT sent, not per attempt: the caller may number them.
    Will w;
    if (will) w = will();
    {
      std::lock_guard<std::mutex> lock(seen_mutex);
      seen = Seen();
    }
    cut.clear();
    Client m(mosquitto_new(settings.client_id.empty() ? nullptr : settings.client_id.c_str(), true, this),
             mosquitto_destroy);
    if (!m) {
      failed(index, {"refused", "no client: " + errno_text(errno)});
      return 0;
    }
    if (!set_up(index, w, v5, m.get()) || !connect_through(index, wire, v5, m.get()))
      return 0;
    Failure end;
    int accepted = 0;
    try {
      accepted = run_connection(index, wire, give_up, v5, m.get(), end);
    } catch (...) {
      // No caller may reach the client once it is destroyed.
      std::lock_guard<std::mutex> lock(mutex);
      fault_was_live = live != nullptr;
      live = nullptr;
      live_wire = nullptr;
      throw;
    }
    {
      // No caller may reach the client once it is destroyed, nor the Wire
      // once it closes; ended() says the end.
      std::lock_guard<std::mutex> lock(mutex);
      live = nullptr;
      live_wire = nullptr;
    }
    m.reset();  // the library's socket closes: the relay passes on what it wrote last
    wire.close(end.kind == "left" ? kLeaveGrace : std::chrono::milliseconds(1000));
    if (accepted == 1) ended(settings.servers[index], end);
    return accepted;
  }

  // The client's callbacks, credentials, will and protocol version; false
  // (said) when the library refuses one of them.
  bool set_up(std::size_t index, const Will& w, bool v5, mosquitto* m) {
    mosquitto_threaded_set(m, true);
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_message_callback_set(m, on_message);
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    if (rc == MOSQ_ERR_SUCCESS)
      rc = mosquitto_max_inflight_messages_set(m, static_cast<unsigned>(kMaxInFlight));
    if (rc == MOSQ_ERR_SUCCESS && !settings.user.empty())
      rc = mosquitto_username_pw_set(
          m, settings.user.c_str(), settings.password.empty() ? nullptr : settings.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !w.topic.empty())
      rc = mosquitto_will_set(m, w.topic.c_str(), static_cast<int>(w.payload.size()),
                              w.payload.data(), w.qos, w.retain);
    if (rc != MOSQ_ERR_SUCCESS) {
      failed(index, {"refused", std::string("client set-up: ") + mosquitto_strerror(rc)});
      return false;
    }
    return true;
  }

  // The client connects to the Wire's loopback socket, asking with MQTT 5
  // for packets no larger than the Wire passes; the Wire takes it on.
  bool connect_through(std::size_t index, Wire& wire, bool v5, mosquitto* m) {
    mosquitto_property* props = nullptr;
    int rc = MOSQ_ERR_SUCCESS;
    if (v5)
      rc = mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                        static_cast<uint32_t>(settings.max_packet_bytes));
    if (rc == MOSQ_ERR_SUCCESS)
      rc = mosquitto_connect_bind_v5(m, "127.0.0.1", wire.local_port(), settings.keepalive_seconds,
                                     nullptr, props);
    mosquitto_property_free_all(&props);
    Failure why;
    if (rc != MOSQ_ERR_SUCCESS) why = {"refused", std::string("client: ") + mosquitto_strerror(rc)};
    if (rc == MOSQ_ERR_SUCCESS && wire.attach(mosquitto_socket(m), why)) return true;
    failed(index, why);
    return false;
  }

  // What the callbacks saw since the last turn.
  Seen take_seen() {
    Seen got;
    std::lock_guard<std::mutex> lock(seen_mutex);
    std::swap(got, seen);
    return got;
  }

  // The client's loop from the connect on, until the attempt fails, the
  // connection ends or stop(): 1 when CONNACK accepted it (with `end` saying
  // how it ended), 0 when not, -1 for a broker without the protocol version.
  // An attempt's failure is said here.
  int run_connection(std::size_t index, Wire& wire, Clock::time_point give_up, bool v5,
                     mosquitto* m, Failure& end) {
    bool accepted = false;
    for (;;) {
      if (stop_requested()) {
        if (accepted) farewell(m, std::chrono::milliseconds(1000));
        end = {"stopped", ""};
        break;
      }
      if (std::optional<std::string> why = accepted ? leave_requested() : std::nullopt) {
        farewell(m, kLeaveGrace);
        acknowledge(take_seen().published);  // written before the DISCONNECT
        end = {"left", *why};
        break;
      }
      const int rc = mosquitto_loop(m, 100, 1);
      const int err = errno;
      Seen got = take_seen();
      if (got.connack == 0 && !accepted) {
        accepted = true;
        went_live(settings.servers[index], m, wire);
      } else if (got.connack > 0) {
        if (v5 && (got.connack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                             got.connack == CONNACK_REFUSED_PROTOCOL_VERSION))
          return -1;
        const bool auth = got.connack == 4 || got.connack == 5 ||
                          got.connack == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
                          got.connack == MQTT_RC_NOT_AUTHORIZED;
        const char* text = got.connack < 128 ? mosquitto_connack_string(got.connack)
                                             : mosquitto_reason_string(got.connack);
        failed(index, {auth ? "not authorised" : "refused", std::string("CONNACK: ") + text});
        break;
      }
      acknowledge(got.published);
      deliver(wire, got.messages);
      if (rc != MOSQ_ERR_SUCCESS || !got.lost.empty()) {
        end = !got.lost.empty() ? Failure{"lost", got.lost} : failure_of(rc, err, !accepted);
        if (const auto broken = wire.broken(accepted)) end = *broken;
        if (!accepted) {
          failed(index, end);
          try311[index] = v5 && end.detail == "closed before CONNACK";
        }
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
    return accepted ? 1 : 0;
  }

  // The messages go to `message`, but for those the Wire cut: the library
  // has them with no payload, in the order the Wire cut them.
  void deliver(Wire& wire, const std::vector<std::pair<std::string, Bytes>>& messages) {
    for (auto& c : wire.take_cut()) cut.push_back(std::move(c));
    for (const auto& message : messages) {
      if (!cut.empty() && message.second.empty() && message.first == cut.front().first) {
        said_cut(cut.front().first, cut.front().second);
        cut.pop_front();
      } else if (events.message) {
        events.message(message.first, message.second.data(), message.second.size());
      }
    }
  }

  // A line per message dropped for its size, at most one every 10 s: the
  // others are counted in the next.
  void said_cut(const std::string& topic, std::size_t size) {
    const Clock::time_point now = Clock::now();
    if (cut_said != Clock::time_point::min() && now - cut_said < std::chrono::seconds(10)) {
      ++cut_unsaid;
      return;
    }
    say("a message of " + std::to_string(size) + " bytes on " + topic + " dropped: over the limit of " +
        std::to_string(settings.max_packet_bytes) + " bytes" +
        (cut_unsaid > 0 ? " (and " + std::to_string(cut_unsaid) + " more since the last line)" : ""));
    cut_said = now;
    cut_unsaid = 0;
  }

  // CONNACK accepted: the client takes publishes, the failures said so far
  // are forgotten, and the caller hears of it.
  void went_live(const std::string& server, mosquitto* m, Wire& wire) {
    said.assign(said.size(), std::string());
    live_since = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex);
      live = m;
      live_wire = &wire;
      live_server = server;
      leaving.reset();  // a leave() asked of an earlier connection
      oversize_said = false;
      largest = Largest();
    }
    say("connected to " + server);
    if (events.connected) events.connected(server);
  }

  // An accepted connection is over (its client already out of callers'
  // reach): the publishes still waiting are forgotten, and one line and the
  // event say why.
  void ended(const std::string& server, const Failure& end) {
    Largest most;
    {
      std::lock_guard<std::mutex> lock(mutex);
      live_server.clear();
      waiting_ack.clear();
      waiting_write.clear();
      waiting_write_bytes = 0;
      std::swap(most, largest);
    }
    if (end.kind == "stopped" || end.kind == "left") {
      short_wait = kFirstBackoff;
      say("disconnected from " + server + (end.detail.empty() ? "" : ": " + end.detail));
      if (end.kind == "left" && events.disconnected) events.disconnected(end.detail);
      return;
    }
    say(server + ": connection " + end.text() + after_end(end, most));
    if (events.disconnected) events.disconnected(end.text());
  }

  // A connection the broker ended soon after accepting it sets the wait
  // before the next attempt; the line names it and, when the broker closed
  // it, the largest message it was handed, the likely cause.
  std::string after_end(const Failure& end, const Largest& most) {
    if (Clock::now() - live_since >= kShortConnection) {
      short_wait = kFirstBackoff;
      return "";
    }
    std::string text;
    const bool closed = end.kind == "lost" &&
                        (end.detail == "closed by the broker" || end.detail == "connection reset");
    if (closed && most.size > 0)
      text = " after a message of " + std::to_string(most.size) + " bytes on " + most.topic;
    pause = drawn(short_wait);
    short_wait = std::min(short_wait * 2, kMaxShortWait);
    return text + "; next attempt in " + std::to_string((pause.count() + 500) / 1000) + " s";
  }

  // Publishes written (QoS 0) or acknowledged (QoS 1) on this connection:
  // counted as sent, and their tokens go to `acknowledged`, outside the lock.
  void acknowledge(const std::vector<int>& mids) {
    if (mids.empty()) return;
    std::vector<uint64_t> tokens;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (int mid : mids) {
        auto ack = waiting_ack.find(mid);
        if (ack != waiting_ack.end()) {
          tokens.push_back(ack->second.token);
          ++sent[ack->second.kind];
          waiting_ack.erase(ack);
          continue;
        }
        auto write = waiting_write.find(mid);
        if (write != waiting_write.end()) {
          tokens.push_back(write->second.token);
          ++sent[write->second.kind];
          waiting_write_bytes -= write->second.size;
          waiting_write.erase(write);
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

  std::optional<std::string> leave_requested() {
    std::lock_guard<std::mutex> lock(mutex);
    return leaving;
  }

  // A clean DISCONNECT (the broker then drops the will). The library writes
  // its queue in order, so what was handed over goes first; the loop runs
  // until the library closes after the DISCONNECT, for up to `wait` (a
  // second once stop() is asked).
  void farewell(mosquitto* m, std::chrono::milliseconds wait) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      live = nullptr;
      live_wire = nullptr;
    }
    if (mosquitto_disconnect(m) != MOSQ_ERR_SUCCESS) return;
    const Clock::time_point start = Clock::now();
    for (Clock::time_point now = start; now < start + wait; now = Clock::now()) {
      if (now >= start + std::chrono::seconds(1) && stop_requested()) break;
      if (mosquitto_loop(m, 100, 1) != MOSQ_ERR_SUCCESS) break;
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
    // An exception outside an attempt: said, counted, and the link starts
    // over after a second.
    while (!impl->stop_requested()) {
      try {
        impl->run();
        return;
      } catch (const std::exception& e) {
        impl->fault("", e.what());
      } catch (...) {
        impl->fault("", "unknown exception");
      }
      if (impl->sleep_until(Clock::now() + std::chrono::seconds(1))) return;
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

void Link::leave(const std::string& reason) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->live != nullptr) impl_->leaving = reason;
}

bool Link::subscribe(const std::string& topic, int qos) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->live == nullptr) return false;
  return mosquitto_subscribe(impl_->live, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

std::optional<uint64_t> Link::publish(const std::string& topic, const Bytes& payload, int qos,
                                      bool retain, const std::string& kind) {
  if (qos != 0 && qos != 1) return std::nullopt;
  // MQTT's largest remaining length leaves less than this for the payload.
  if (payload.size() > 268435455u - 65536u) return std::nullopt;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (impl_->live == nullptr || impl_->leaving) return std::nullopt;
  if ((qos == 1 ? impl_->waiting_ack.size() : impl_->waiting_write.size()) >= kMaxInFlight)
    return std::nullopt;
  int mid = 0;
  const int rc = mosquitto_publish(impl_->live, &mid, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    // Over the Maximum Packet Size the broker gave in its CONNACK: it never
    // goes on this connection, said once per connection.
    if (rc == MOSQ_ERR_OVERSIZE_PACKET && !std::exchange(impl_->oversize_said, true)) {
      const std::string server = impl_->live_server;
      lock.unlock();
      impl_->say(server + ": a message of " + std::to_string(topic.size() + payload.size()) +
                 " bytes on " + topic + " is over the broker's maximum packet size: not sent");
    }
    return std::nullopt;
  }
  const uint64_t token = impl_->next_token++;
  const std::string& name = kind.empty() ? topic : kind;
  if (qos == 1) {
    impl_->waiting_ack[mid] = {token, Clock::now(), name};
  } else {
    impl_->waiting_write[mid] = {token, payload.size(), name};
    impl_->waiting_write_bytes += payload.size();
  }
  if (topic.size() + payload.size() > impl_->largest.size)
    impl_->largest = {topic.size() + payload.size(), topic};
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
  return impl_->waiting_write_bytes + static_cast<std::size_t>(queued) +
         (impl_->live_wire != nullptr ? impl_->live_wire->queued() : 0);
}

bool Link::connected() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->live != nullptr;
}

std::string Link::server() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->live_server;
}

std::map<std::string, uint64_t> Link::sent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->sent;
}

uint64_t Link::faults() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->faults;
}

}  // namespace mqtt
