// The broker link against mosquitto brokers on loopback ports and against
// fake brokers that misbehave.
#include "mqtt_link.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

// Polls `done` until it holds or 10 s pass; for state no one signals.
template <class P>
bool eventually(P done) {
  for (const auto end = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(10ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

int listen_socket(int& port) {  // on a free loopback port
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 8) != 0) return -1;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// /usr/sbin/mosquitto on free loopback ports (PORT2 in `more` is the second);
// `more` and `prepare` (a shell command run first) say DIR for its folder.
struct Broker {
  int port = 0, port2 = 0;
  pid_t pid = -1;
  char dir[21] = "/tmp/qrn-mqtt-XXXXXX";
  bool second_listener = false;
  explicit Broker(std::string more = "allow_anonymous true\n", std::string prepare = "true") {
    second_listener = more.find("PORT2") != std::string::npos;
    ::chmod(::mkdtemp(dir), 0755);  // a broker started as root reads as its own user
    ::close(listen_socket(port));
    ::close(listen_socket(port2));
    for (auto [from, to] : {std::pair<std::string, std::string>{"DIR", dir}, {"PORT2", std::to_string(port2)}})
      for (std::string* s : {&more, &prepare})
        for (std::size_t at; (at = s->find(from)) != std::string::npos;) s->replace(at, from.size(), to);
    std::ofstream(dir + std::string("/m.conf")) << "log_type error\nlistener " << port << " 127.0.0.1\n" << more;
    if (std::system(prepare.c_str()) == 0) start();
  }
  void start() {
    if ((pid = ::fork()) == 0 && ::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0)  // ends with the test
      ::_exit(::execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + std::string("/m.conf")).c_str(), nullptr));
    // Started once it listens on every port it was given.
    eventually([&] { return accepts_connections(port) && (!second_listener || accepts_connections(port2)); });
  }
  void stop() {
    if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
  }
  ~Broker() { stop(), std::filesystem::remove_all(dir); }
  std::string url(const std::string& host = "tcp://127.0.0.1", int p = 0) const { return host + ":" + std::to_string(p ? p : port); }
};

// A PUBLISH of `size` bytes ("okok..."), written as it goes.
void send_publish(int fd, const std::string& topic, std::size_t size, int qos, bool v5) {
  std::string head(1, static_cast<char>(0x30 | qos << 1));
  for (std::size_t n = 2 + topic.size() + (qos ? 2 : 0) + v5 + size; head.size() == 1 || n > 0; n /= 128)
    head.push_back(static_cast<char>(n % 128 | (n >= 128 ? 128 : 0)));
  head += std::string{0, static_cast<char>(topic.size())} + topic + (qos ? std::string{0, 7} : "") + (v5 ? std::string(1, 0) : "");
  std::string chunk(std::min<std::size_t>(size, 1 << 16), 'o');
  for (std::size_t i = 1; i < chunk.size(); i += 2) chunk[i] = 'k';
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  for (std::size_t left = size; left > 0; left -= std::min(left, chunk.size()))
    if (::send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL) <= 0) return;
}

// A fake broker: 'c' closes each connection, 'g' answers garbage, 's' stays
// silent, 'a' speaks 3.1.1 only (refuses MQTT 5) and sends CONNACK and
// nothing more, 'o' too but closes the connection at an MQTT 5 CONNECT;
// after CONNACK 'b' (MQTT 5, QoS 0) and 'B' (3.1.1 only, QoS 1) send a
// 64 MiB message on t/big, then "ok" on t/small, and 'x' closes the
// connection once it has read 512 bytes.
struct Fake {
  int port = 0, fd = listen_socket(port);
  std::atomic<int> accepts{0};
  std::vector<int> open;
  std::thread thread{[this] {
    for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0; ++accepts, open.push_back(c)) {
      char b[512];
      if (mode == 'c') ::shutdown(c, SHUT_RDWR);
      if (mode == 'g') ::send(c, "\xf2\xff\xff\xff\xff garbage", 13, MSG_NOSIGNAL);
      if (mode == 'a' && ::recv(c, b, sizeof b, 0) > 8) ::send(c, b[8] == 5 ? "\x20\x02\0\x01" : "\x20\x02\0\0", 4, MSG_NOSIGNAL);
      if (mode == 'o' && ::recv(c, b, sizeof b, 0) > 8) b[8] == 5 ? (void)::shutdown(c, SHUT_RDWR) : (void)::send(c, "\x20\x02\0\0", 4, MSG_NOSIGNAL);
      if ((mode == 'b' || mode == 'B' || mode == 'x') && ::recv(c, b, sizeof b, 0) > 8) {
        const bool v5 = b[8] == 5;
        if (v5 && mode == 'B') {
          ::send(c, "\x20\x02\0\x01", 4, MSG_NOSIGNAL);
          continue;
        }
        ::send(c, v5 ? "\x20\x03\0\0\0" : "\x20\x02\0\0", v5 ? 5 : 4, MSG_NOSIGNAL);
        if (mode == 'x') {
          ::recv(c, b, sizeof b, MSG_WAITALL), ::shutdown(c, SHUT_RDWR);
          continue;
        }
        send_publish(c, "t/big", 64 << 20, v5 ? 0 : 1, v5), send_publish(c, "t/small", 2, 0, v5);
      }
    }
  }};
  const char mode;
  explicit Fake(char m) : mode(m) {}
  ~Fake() {
    ::shutdown(fd, SHUT_RDWR), thread.join(), ::close(fd);
    for (int c : open) ::close(c);
  }
};

// A link whose events and lines are recorded under one lock.
struct Client {
  std::mutex mutex;
  std::condition_variable changed;
  Lines lines, messages, ends;  // ends: the reasons `disconnected` gave
  std::vector<uint64_t> acked;
  std::string up;  // the connected server
  std::atomic<int> throws{0};  // connections whose `connected` event throws
  mqtt::Link link;
  explicit Client(mqtt::BrokerSettings s)
      : link(std::move(s),
             {[this](const std::string& server) {
                note([&] { up = server; });
                if (throws.fetch_sub(1) > 0) throw std::runtime_error("boom");
              },
              [this](const std::string& why) { note([&] { up.clear(), ends.push_back(why); }); },
              [this](const std::string& t, const unsigned char* p, std::size_t n) { note([&] { messages.push_back(t + "=" + std::string(p, p + n)); }); },
              [this](uint64_t token) { note([&] { acked.push_back(token); }); }},
             [this](const std::string& line) { note([&] { lines.push_back(line); }); }) {}
  template <class F>
  void note(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    f(), changed.notify_all();
  }
  template <class P>
  bool wait(P p, std::chrono::steady_clock::duration within = 10s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, within, p);
  }
  bool wait_up(const std::string& server) { return wait([&] { return up == server; }); }
  template <class T>
  T get(const T& field) {  // a copy of a recorded field, taken under the lock
    std::lock_guard<std::mutex> lock(mutex);
    return field;
  }
};

mqtt::BrokerSettings settings(Lines servers, std::string id = "") {
  mqtt::BrokerSettings s;
  s.servers = std::move(servers);
  s.client_id = std::move(id);
  s.keepalive_seconds = 5;
  s.connect_timeout_seconds = s.ack_timeout_seconds = 2;
  return s;
}

mqtt::Bytes bytes(const std::string& s) { return mqtt::Bytes(s.begin(), s.end()); }

// Publishes acknowledged in order and delivered; the will asked for with
// each CONNECT is published when the broker drops the connection (here:
// another client takes its id over), not after leave(), which writes what it
// was handed first and takes the next server, nor after a clean stop.
TEST(MqttLink, PublishesAcknowledgedAndWillOnLossOnly) {
  Broker broker("allow_anonymous true\nlistener PORT2 127.0.0.1\n");
  const std::string one = broker.url(), two = broker.url("tcp://127.0.0.1", broker.port2);
  Client sub(settings({one})), pub(settings({one, two}, "edge")), thief(settings({one}, "edge"));
  sub.link.start(nullptr);
  ASSERT_TRUE(sub.wait_up(one));
  ASSERT_TRUE(sub.link.subscribe("t/#", 1));
  // The subscription is in place once sub's own probe comes back: the broker
  // reads a connection's packets in order, but not across connections.
  ASSERT_TRUE(sub.link.publish("t/probe", bytes("ready"), 1, false));
  ASSERT_TRUE(sub.wait([&] { return !sub.messages.empty(); }));
  EXPECT_FALSE(pub.link.publish("t/a", bytes("early"), 1, false)) << "not connected yet";
  pub.link.leave("not connected yet: nothing to leave");
  std::atomic<int> connections{0};
  pub.link.start([&] { return mqtt::Will{"t/death", bytes(std::to_string(++connections)), 1, false}; });
  ASSERT_TRUE(pub.wait_up(one));
  EXPECT_EQ(pub.link.server(), one);
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 3; ++i) tokens.push_back(pub.link.publish("t/a", bytes(std::to_string(i)), 1, false).value_or(0));
  ASSERT_TRUE(pub.wait([&] { return pub.acked.size() == 3; }));
  // A QoS 0 publish is reported once written to the socket.
  tokens.push_back(pub.link.publish("t/a", bytes("3"), 0, false).value_or(0));
  ASSERT_TRUE(pub.wait([&] { return pub.acked.size() == 4; }));
  EXPECT_EQ(pub.get(pub.acked), tokens);
  EXPECT_EQ(pub.link.sent(), (std::map<std::string, uint64_t>{{"t/a", 4}}));
  EXPECT_EQ(pub.link.in_flight(), 0u);
  // That socket is the relay's: the broker may not have the message yet.
  ASSERT_TRUE(sub.wait([&] { return sub.messages.size() == 5; }));
  thief.link.start(nullptr);
  ASSERT_TRUE(thief.wait_up(one));
  thief.link.stop();
  ASSERT_TRUE(pub.wait_up(two));
  tokens.push_back(pub.link.publish("t/last", bytes("bye"), 0, false).value_or(0));
  pub.link.leave("moving on");
  EXPECT_FALSE(pub.link.publish("t/a", bytes("late"), 0, false)) << "nothing after the last message";
  ASSERT_TRUE(pub.wait_up(one));
  ASSERT_TRUE(sub.wait([&] { return sub.messages.size() >= 7; })) << testing::PrintToString(sub.get(sub.messages));
  pub.link.stop();
  std::this_thread::sleep_for(500ms);  // time for a will that leave() and stop() must not send
  EXPECT_EQ(sub.get(sub.messages), (Lines{"t/probe=ready", "t/a=0", "t/a=1", "t/a=2", "t/a=3", "t/death=1", "t/last=bye"}));
  EXPECT_EQ(pub.get(pub.acked), tokens) << "the last one written before the DISCONNECT";
  EXPECT_EQ(connections, 3);
  EXPECT_EQ(pub.get(pub.ends), (Lines{"lost (closed by the broker)", "moving on"}));
  EXPECT_EQ(pub.get(pub.lines), (Lines{"broker: connected to " + one,
                                       "broker: " + one + ": connection lost (closed by the broker) after a message of 4 bytes on t/a; next attempt in 1 s",
                                       "broker: connected to " + two, "broker: disconnected from " + two + ": moving on",
                                       "broker: connected to " + one, "broker: disconnected from " + one}));
}

// The first server down, then the second lost and both refused until the
// first is back: the link goes on in turn, and asks for the will only for
// the CONNECTs it sends, none for a server that refused.
TEST(MqttLink, FailsOverToTheNextServer) {
  Broker first, second;
  first.stop();
  Client c(settings({first.url(), second.url()}));
  std::atomic<int> wills{0};
  c.link.start([&] { return mqtt::Will{"t/death", bytes(std::to_string(++wills)), 1, false}; });
  ASSERT_TRUE(c.wait_up(second.url()));
  EXPECT_EQ(wills, 1);
  second.stop();
  const std::string refused = "broker: " + second.url() + ": refused (connection refused)";
  ASSERT_TRUE(c.wait([&] { return std::count(c.lines.begin(), c.lines.end(), refused) == 1; }));
  first.start();
  EXPECT_TRUE(c.wait_up(first.url()));
  EXPECT_EQ(wills, 2);
  EXPECT_EQ(c.get(c.lines), (Lines{"broker: " + first.url() + ": refused (connection refused)", "broker: connected to " + second.url(),
                                   "broker: " + second.url() + ": connection lost (closed by the broker); next attempt in 1 s",
                                   "broker: " + first.url() + ": refused (connection refused)", refused, "broker: connected to " + first.url()}));
}

// Passwords over plain connections only when allowed; certificates and host
// names checked; one line per change, not per attempt.
TEST(MqttLink, CredentialsAndCertificates) {
  const std::string make = "openssl req -x509 -days 2 -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 -keyout ";
  // The TLS listener on every address "localhost" names (127.0.0.1, and ::1
  // where the hosts file says so), as the client connects to that name.
  Broker broker("allow_anonymous false\npassword_file DIR/pw\nlistener PORT2 localhost\ncafile DIR/ca.pem\ncertfile DIR/s.pem\n"
                "keyfile DIR/s.key\nrequire_certificate true\n",
                "cd DIR && mosquitto_passwd -c -b pw unit secret && chmod 644 pw && (" + make + "ca.key -out ca.pem -subj /CN=ca && " + make +
                    "s.key -out s.pem -subj /CN=localhost -addext subjectAltName=DNS:localhost -CA ca.pem -CAkey ca.key && " + make +
                    "c.key -out c.pem -subj /CN=unit -CA ca.pem -CAkey ca.key) 2>/dev/null && chmod 644 *");
  int closed = 0;
  ::close(listen_socket(closed));
  const std::string tcp = broker.url(), tls = broker.url("ssl://localhost", broker.port2), ip = broker.url("ssl://127.0.0.1", broker.port2),
                    none = broker.url("ssl://localhost", closed);
  struct {
    std::string server, password, ca;
    bool clear, cert;
    Lines lines;
  } cases[] = {
      {tcp, "secret", "ca", false, true, {"broker: " + tcp + ": refused (a password goes over ssl:// only"}},
      {tcp, "wrong", "ca", true, true, {"broker: " + tcp + ": the password goes in clear", "broker: " + tcp + ": not authorised (CONNACK: "}},
      {tcp, "secret", "ca", true, true, {"broker: " + tcp + ": the password goes in clear", "broker: connected to " + tcp}},
      {tls, "secret", "ca", false, true, {"broker: connected to " + tls}},
      {tls, "secret", "c", false, true, {"broker: " + tls + ": TLS failure (certificate verify failed)"}},  // not its issuer
      {ip, "secret", "ca", false, true, {"broker: " + ip + ": TLS failure (certificate verify failed)"}},  // not its name
      {tls, "secret", "ca", false, false, {"broker: " + tls + ": TLS failure (tlsv13 alert certificate required)"}},
      {none, "secret", "ca", false, true, {"broker: " + none + ": refused (connection refused)"}},
  };
  for (const auto& k : cases) {
    mqtt::BrokerSettings s = settings({k.server});
    s.user = "unit", s.password = k.password, s.allow_password_in_clear = k.clear;
    s.ca_file = broker.dir + ("/" + k.ca + ".pem");
    if (k.cert) s.cert_file = broker.dir + std::string("/c.pem"), s.key_file = broker.dir + std::string("/c.key");
    Client c(s);
    const auto started = std::chrono::steady_clock::now();
    c.link.start(nullptr);
    EXPECT_TRUE(c.wait([&] { return c.lines.size() >= k.lines.size(); })) << "case " << &k - cases;
    // Then time for a second attempt when they fail, which must add no line.
    std::this_thread::sleep_for(std::max<std::chrono::steady_clock::duration>(2500ms - (std::chrono::steady_clock::now() - started), 1100ms));
    Lines cut = c.get(c.lines);
    // TLS 1.3 refuses a missing client certificate after the handshake: an
    // attempt may see the bare close before the one that reads the alert.
    const std::string bare = "broker: " + k.server + ": TLS failure (closed by the broker in the handshake)";
    if (!k.cert && cut.size() == 2 && cut[0] == bare) cut.erase(cut.begin());
    if (!k.cert && cut == Lines{bare}) continue;
    for (std::size_t i = 0; i < cut.size() && i < k.lines.size(); ++i) cut[i].resize(std::min(cut[i].size(), k.lines[i].size()));
    EXPECT_EQ(cut, k.lines) << "case " << &k - cases;
  }
}

// Brokers that close, answer garbage, stay silent or never acknowledge: the
// link says so once, tries again at most once a second, and stops at once.
TEST(MqttLink, HostileBrokers) {
  const std::pair<char, std::string> cases[] = {
      {'c', "refused (closed before CONNACK)"}, {'g', "protocol error (the broker's answer is not MQTT)"}, {'s', "unreachable (no CONNACK within 2 s)"}, {'a', ""}, {'o', ""}};
  for (const auto& [mode, line] : cases) {
    Fake fake(mode);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(fake.port);
    Client c(settings({url}));
    const auto started = std::chrono::steady_clock::now();
    c.link.start(nullptr);
    if (mode == 'a') {
      ASSERT_TRUE(c.wait_up(url));
      for (std::size_t i = 0; i < mqtt::Link::kMaxInFlight; ++i) EXPECT_TRUE(c.link.publish("t", bytes("x"), 1, false));
      EXPECT_FALSE(c.link.publish("t", bytes("x"), 1, false)) << "beyond the window";
      EXPECT_EQ(c.link.in_flight(), mqtt::Link::kMaxInFlight);
      ASSERT_TRUE(c.wait([&] { return c.lines.size() == 3; })) << "dropped for want of PUBACK, then again";
      EXPECT_EQ(c.get(c.lines), (Lines{"broker: connected to " + url, "broker: " + url + ": connection lost (no PUBACK within 2 s); next attempt in 1 s",
                                       "broker: connected to " + url}));
      EXPECT_EQ(c.link.in_flight(), 0u);
      EXPECT_TRUE(c.wait([&] { return c.acked.empty(); })) << "never acknowledged";
      EXPECT_TRUE(c.link.sent().empty()) << "none counted as sent";
    } else if (mode == 'o') {
      ASSERT_TRUE(c.wait_up(url)) << "asked in 3.1.1 after the close";
      EXPECT_EQ(c.get(c.lines), (Lines{"broker: " + url + ": refused (closed before CONNACK)", "broker: connected to " + url}));
    } else {
      EXPECT_TRUE(eventually([&] { return fake.accepts >= 2; })) << mode;
      std::this_thread::sleep_until(started + 4500ms);  // at most three attempts in that time
      EXPECT_EQ(c.get(c.lines), Lines{"broker: " + url + ": " + line});
      EXPECT_GE(fake.accepts, 2) << mode;
    }
    const auto before = std::chrono::steady_clock::now();
    c.link.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms) << mode;
    EXPECT_LE(fake.accepts, 3) << mode;
  }
}

// A broker that closes each connection at a large message: the link waits
// 1 s, then 2 s, then 4 s before it connects again (not a second each time),
// and the line of each end names the message.
TEST(MqttLink, ABrokerClosingEachConnectionIsAskedLessAndLess) {
  Fake fake('x');
  const std::string url = "tcp://127.0.0.1:" + std::to_string(fake.port), up = "broker: connected to " + url;
  Client c(settings({url}));
  const auto window = std::chrono::steady_clock::now() + 5s;
  c.link.start(nullptr);
  for (long n = 0; c.wait([&] { return std::count(c.lines.begin(), c.lines.end(), up) > n; }, window - std::chrono::steady_clock::now()); ++n)
    EXPECT_TRUE(c.link.publish("t/big", mqtt::Bytes(5000, 'x'), 0, false));
  EXPECT_GE(fake.accepts, 2);
  EXPECT_LE(fake.accepts, 3) << "the fourth comes 5.25 s after the first at the earliest";
  Lines lines = c.get(c.lines);
  lines.resize(4);
  const std::string end = "broker: " + url + ": connection lost (closed by the broker) after a message of 5005 bytes on t/big; next attempt in ";
  EXPECT_EQ(lines, (Lines{up, end + "1 s", up, end + "2 s"}));
}

// The process's resident memory (VmRSS) or its peak (VmHWM) in KiB.
long memory_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// A 64 MiB message from another client through the broker (which MQTT 5
// asks to keep it: 'm') or from a broker itself ('b', 'B'): never read into
// memory, and the link stays up and takes what follows.
TEST(MqttLink, OversizedMessagesAreDroppedUnread) {
  for (const char mode : {'m', 'b', 'B'}) {
    std::optional<Broker> broker;
    std::optional<Fake> fake;
    mode == 'm' ? (void)broker.emplace() : (void)fake.emplace(mode);
    const std::string url = broker ? broker->url() : "tcp://127.0.0.1:" + std::to_string(fake->port);
    Client c(settings({url}));
    ASSERT_TRUE(std::ofstream("/proc/self/clear_refs") << "5") << "the peak cannot be reset";
    const long before = memory_kib("VmRSS");
    c.link.start(nullptr);
    ASSERT_TRUE(c.wait_up(url)) << mode;
    Lines expected{"t/small=ok"}, lines{"broker: connected to " + url};
    if (broker) {
      ASSERT_TRUE(c.link.subscribe("t/#", 1));
      ASSERT_TRUE(c.link.publish("t/probe", bytes("ready"), 1, false));
      ASSERT_TRUE(c.wait([&] { return !c.messages.empty(); }));
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(broker->port)), {htonl(INADDR_LOOPBACK)}, {}};
      char connack[4];
      ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
      ::send(fd, "\x10\x0f\0\x04MQTT\x04\x02\0\x3c\0\x03" "big", 17, MSG_NOSIGNAL);
      ASSERT_EQ(::recv(fd, connack, 4, MSG_WAITALL), 4);
      send_publish(fd, "t/big", 64 << 20, 0, false), send_publish(fd, "t/small", 2, 0, false);
      ::send(fd, "\xe0\0", 2, MSG_NOSIGNAL), ::close(fd);
      expected.insert(expected.begin(), "t/probe=ready");
    } else {
      lines.push_back("broker: a message of " + std::to_string((64 << 20) + (mode == 'b' ? 13 : 14)) +
                      " bytes on t/big dropped: over the limit of 262144 bytes");
    }
    EXPECT_TRUE(c.wait([&] { return c.messages.size() == expected.size(); })) << mode;
    Lines got = c.get(c.messages);
    for (std::string& m : got) m.resize(std::min<std::size_t>(m.size(), 20));  // short if it failed
    EXPECT_EQ(got, expected) << mode;
    EXPECT_LT(memory_kib("VmHWM") - before, 16 * 1024) << mode;
    if (broker) {
      EXPECT_TRUE(c.link.publish("t/after", bytes("x"), 1, false));
      EXPECT_TRUE(c.wait([&] { return c.acked.size() == 2; })) << "publishing goes on";
    }
    EXPECT_TRUE(c.link.connected()) << mode;
    EXPECT_EQ(c.get(c.lines), lines) << mode;
  }
}

// A publish over the Maximum Packet Size the broker gave in its CONNACK is
// refused, said once per connection; the connection and smaller ones go on.
TEST(MqttLink, APublishOverTheBrokersLimitIsRefusedAndSaidOnce) {
  Broker broker("allow_anonymous true\nmax_packet_size 10000\n");
  Client c(settings({broker.url()}));
  c.link.start(nullptr);
  ASSERT_TRUE(c.wait_up(broker.url()));
  EXPECT_FALSE(c.link.publish("t/big", mqtt::Bytes(20000, 'x'), 0, false));
  EXPECT_FALSE(c.link.publish("t/big", mqtt::Bytes(20000, 'x'), 0, false));
  EXPECT_TRUE(c.link.publish("t/small", bytes("x"), 0, false));
  EXPECT_TRUE(c.link.connected());
  EXPECT_EQ(c.get(c.lines), (Lines{"broker: connected to " + broker.url(),
                                   "broker: " + broker.url() + ": a message of 20005 bytes on t/big "
                                   "is over the broker's maximum packet size: not sent"}));
}

// An exception in the link's thread (here from an event) ends the
// connection, not the link: said once, counted, and connected again.
TEST(MqttLink, AFailureInItsThreadBringsAReconnect) {
  Broker broker;
  Client c(settings({broker.url()}));
  c.throws = 1;
  c.link.start(nullptr);
  EXPECT_TRUE(c.wait([&] { return c.lines.size() >= 3 && !c.up.empty(); }));
  EXPECT_EQ(c.get(c.lines), (Lines{"broker: connected to " + broker.url(),
                                   "broker: " + broker.url() + ": the link failed (boom); connecting again",
                                   "broker: connected to " + broker.url()}));
  EXPECT_EQ(c.link.faults(), 1u);
  EXPECT_TRUE(c.link.connected());
}

}  // namespace
