#pragma once

// The broker link's own connection to a broker: TCP, TLS where asked, and a
// relay between it and libmosquitto, which talks to a loopback socket of
// ours. The relay reads each packet's header before passing the packet on,
// so the library never allocates for more than `max_packet` bytes: a larger
// PUBLISH reaches it as the same message with its payload cut away (the
// library acknowledges it as usual), any other larger packet ends the
// connection. libmosquitto itself allocates whatever length a packet header
// announces, and only a reader in front of it sees TLS's plain text.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct ssl_st;

namespace mqtt {

using Clock = std::chrono::steady_clock;

// Why an attempt failed or a connection ended, as the line says it.
struct Failure {
  std::string kind;  // refused, unreachable, not authorised, TLS failure, ...
  std::string detail;
  std::string text() const { return kind + " (" + detail + ")"; }
};

extern const char* const kClosedInHandshake;

// The packets from the broker, read as they pass: what each header says,
// and in place of a PUBLISH over the limit the same PUBLISH without its
// payload (nor its MQTT 5 properties).
class FrameGuard {
 public:
  FrameGuard(std::size_t max_packet, bool v5) : max_(max_packet), v5_(v5) {}
  // Appends to `out` what goes on; false (with `why`) when the stream
  // must end.
  bool feed(const unsigned char* in, std::size_t n, std::string& out, Failure& why);
  // The topics and announced sizes of the messages cut, oldest first.
  std::deque<std::pair<std::string, std::size_t>> cut;

 private:
  bool header_done(std::string& out, Failure& why);
  void emit_cut(std::string& out);

  enum class State { Header, Pass, Topic, Drop } state_ = State::Header;
  const std::size_t max_;
  const bool v5_;
  std::string head_;      // the fixed header being read
  uint32_t length_ = 0;   // its remaining length
  uint32_t left_ = 0;     // bytes of the packet still to pass or drop
  std::string variable_;  // a cut PUBLISH's topic length, topic and id
  std::size_t wanted_ = 0;
};

class Wire {
 public:
  struct Tls {
    std::string ca_file, cert_file, key_file;  // ca_file empty: the system's store
  };
  Wire(std::size_t max_packet, bool v5) : guard_(max_packet, v5) {}
  ~Wire();
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  // Connects to host:port (with TLS when `tls`) and listens on loopback for
  // the library; false with why. `stopped` is asked every 100 ms.
  bool open(const std::string& host, int port, const Tls* tls, Clock::time_point give_up,
            const std::function<bool()>& stopped, Failure& why);
  int local_port() const { return local_port_; }
  // Takes the library's connection (its socket `client`) and starts relaying.
  bool attach(int client, Failure& why);
  // What ended the relay on the broker's side, if it says more than a close.
  std::optional<Failure> broken(bool accepted);
  // Messages cut since the last call: topic and announced size.
  std::deque<std::pair<std::string, std::size_t>> take_cut();
  // Bytes the library wrote that the broker has not taken yet: waiting on
  // loopback for the relay, and in the broker socket's send queue. Any
  // thread, while the Wire is open.
  std::size_t queued() const;
  // Gives the relay up to `wait` to pass on what the library wrote last,
  // then closes both sides.
  void close(std::chrono::milliseconds wait);

 private:
  bool connect_tcp(const std::string& host, int port, Clock::time_point give_up,
                   const std::function<bool()>& stopped, Failure& why);
  bool handshake(const std::string& host, const Tls& tls, Clock::time_point give_up,
                 const std::function<bool()>& stopped, Failure& why);
  bool listen_local(Failure& why);
  void relay();
  void pass_on();
  bool from_broker(unsigned char* buffer, std::size_t size);
  bool to_broker(const unsigned char* data, std::size_t size);
  void end_with(Failure f) noexcept;

  int broker_ = -1, listener_ = -1, local_ = -1, local_port_ = 0;
  ssl_st* ssl_ = nullptr;
  bool tls_ = false;
  FrameGuard guard_;  // the relay thread's
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::optional<Failure> end_;
  bool reset_ = false;  // the broker's side reset rather than closed
  std::deque<std::pair<std::string, std::size_t>> cut_;
};

}  // namespace mqtt
