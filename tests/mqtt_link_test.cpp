// The broker link against real mosquitto brokers on loopback ports and
// against fake brokers that misbehave.
#include "mqtt_link.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A listening loopback socket on a free port.
int listen_socket(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 8) != 0) return -1;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// /usr/sbin/mosquitto on a free loopback port with extra configuration lines.
struct Broker {
  int port = 0;
  pid_t pid = -1;
  std::string dir;
  explicit Broker(const std::string& extra = "allow_anonymous true\n") {
    char pattern[] = "/tmp/qrn-mqtt-XXXXXX";
    dir = ::mkdtemp(pattern);
    ::chmod(dir.c_str(), 0755);  // a broker started as root reads as its own user
    ::close(listen_socket(port));
    std::ofstream(dir + "/m.conf") << "listener " << port << " 127.0.0.1\nlog_type error\n" << extra;
    pid = ::fork();
    if (pid == 0) {
      ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + "/m.conf").c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 100 && !accepts(); ++i) std::this_thread::sleep_for(50ms);
  }
  ~Broker() {
    stop();
    std::filesystem::remove_all(dir);
  }
  bool accepts() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }
  void stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
  std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port); }
};

// A link with its events and lines recorded.
struct Client {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines, messages;
  std::vector<uint64_t> acked;
  std::string connected_to;
  mqtt::Link link;

  explicit Client(mqtt::BrokerSettings s)
      : link(std::move(s),
             {[this](const std::string& server) { note([&] { connected_to = server; }); },
              [this](const std::string&) { note([&] { connected_to.clear(); }); },
              [this](const std::string& topic, const unsigned char* p, std::size_t n) {
                note([&] { messages.push_back(topic + "=" + std::string(p, p + n)); });
              },
              [this](uint64_t token) { note([&] { acked.push_back(token); }); }},
             [this](const std::string& line) { note([&] { lines.push_back(line); }); }) {}
  template <class F>
  void note(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    f();
    changed.notify_all();
  }
  template <class P>
  bool wait(P p, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, p);
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
};

mqtt::BrokerSettings settings(std::vector<std::string> servers) {
  mqtt::BrokerSettings s;
  s.servers = std::move(servers);
  s.keepalive_seconds = 5;
  s.connect_timeout_seconds = 2;
  return s;
}

mqtt::Bytes bytes(const std::string& s) { return mqtt::Bytes(s.begin(), s.end()); }

TEST(MqttLink, PublishesAreAcknowledgedAndDelivered) {
  Broker broker;
  Client sub(settings({broker.url()})), pub(settings({broker.url()}));
  sub.link.start(nullptr);
  ASSERT_TRUE(sub.wait([&] { return !sub.connected_to.empty(); }));
  ASSERT_TRUE(sub.link.subscribe("t/#", 1));
  EXPECT_FALSE(pub.link.publish("t/a", bytes("early"), 1, false)) << "not connected yet";
  pub.link.start(nullptr);
  ASSERT_TRUE(pub.wait([&] { return pub.connected_to == broker.url(); }));
  EXPECT_EQ(pub.link.server(), broker.url());
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 3; ++i) tokens.push_back(*pub.link.publish("t/a", bytes(std::to_string(i)), 1, false));
  ASSERT_TRUE(pub.wait([&] { return pub.acked.size() == 3; }));
  EXPECT_EQ(pub.acked, tokens);
  EXPECT_EQ(pub.link.in_flight(), 0u);
  ASSERT_TRUE(sub.wait([&] { return sub.messages.size() == 3; }));
  EXPECT_EQ(sub.messages, (std::vector<std::string>{"t/a=0", "t/a=1", "t/a=2"}));
  EXPECT_EQ(pub.log(), std::vector<std::string>{"broker: connected to " + broker.url()});
}

}  // namespace
