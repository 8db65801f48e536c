#pragma once

// One MQTT connection at a time to the first of several brokers that takes
// it: servers tried in turn, at most one attempt per second per server, and
// after connections the broker ends within 30 s a wait doubling up to 60 s;
// TLS where the address says ssl://. MQTT 5 where the broker speaks it, else
// 3.1.1. Publishes are QoS 0 or 1 with a bounded number in flight; their
// PUBACKs are reported by token. No packet from the broker makes the link
// hold more than max_packet_bytes of it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mqtt {

using Bytes = std::vector<unsigned char>;

struct BrokerSettings {
  std::vector<std::string> servers;  // "tcp://host:port" or "ssl://host:port"
  std::string client_id;
  std::string user;
  std::string password;  // empty: none sent
  std::string ca_file, cert_file, key_file;
  bool allow_password_in_clear = false;  // else a password goes over TLS only
  int keepalive_seconds = 30;  // 5 or more
  // An attempt without CONNACK after this long is given up (the next server).
  int connect_timeout_seconds = 10;
  // A QoS 1 publish without PUBACK after this long drops the connection.
  int ack_timeout_seconds = 60;
  // The largest packet taken from the broker (MQTT 5's Maximum Packet Size):
  // a larger message is dropped with a line, any other larger packet ends
  // the connection.
  std::size_t max_packet_bytes = 256 * 1024;
};

// The message the broker publishes when the connection is lost.
struct Will {
  std::string topic;
  Bytes payload;
  int qos = 1;
  bool retain = false;
};

// Called from the link's own thread, never under the caller's locks nor the
// link's: they may call publish() and subscribe().
struct LinkEvents {
  std::function<void(const std::string& server)> connected;
  std::function<void(const std::string& reason)> disconnected;
  std::function<void(const std::string& topic, const unsigned char* payload, std::size_t size)>
      message;
  // A QoS 1 publish's PUBACK, or a QoS 0 publish written to the socket. When
  // a connection ends, the publishes still waiting are never reported, not
  // even after a reconnection: the caller sends them again from its own store.
  std::function<void(uint64_t token)> acknowledged;
};

class Link {
 public:
  static constexpr std::size_t kMaxInFlight = 20;

  // `log_line` gets one line per change of connection state, with the
  // reason (refused, unreachable, not authorised, TLS failure).
  Link(BrokerSettings settings, LinkEvents events, std::function<void(const std::string&)> log_line);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Starts connecting in the background; `will` is asked for, on the link's
  // thread, once per CONNECT sent (its payload may change between them): an
  // attempt that reaches no broker asks nothing.
  void start(std::function<Will()> will);
  // Disconnects cleanly (no will) and joins the thread. A host name is
  // resolved on the link's thread: stop() waits for a look-up under way.
  void stop();
  // From any thread: ends the current connection with a DISCONNECT written
  // after what was already handed over (no will), said with `reason` and
  // reported by `disconnected`; publishes are refused from here on. The link
  // then goes on to the next server. Nothing when not connected.
  void leave(const std::string& reason);

  // Sessions are clean: a subscription lasts one connection, so subscribe
  // again in `connected`. False when not connected.
  bool subscribe(const std::string& topic, int qos);
  // A token for the publish, or nothing when not connected or, for QoS 1,
  // when kMaxInFlight publishes wait for their PUBACK (for QoS 0, when
  // kMaxInFlight wait to be written to the socket). `kind` names it in sent().
  std::optional<uint64_t> publish(const std::string& topic, const Bytes& payload, int qos,
                                  bool retain, const std::string& kind = std::string());
  // Publishes waiting for their PUBACK or, at QoS 0, to be written.
  std::size_t in_flight() const;
  // Bytes given to the connection and not yet taken by the broker: the QoS 0
  // payloads waiting to be written, the library's socket's queue, what
  // waits on loopback for the relay and the broker socket's send queue.
  // What a new publish waits behind when the network, not the broker, is
  // the bottleneck.
  std::size_t unsent_bytes() const;
  bool connected() const;
  std::string server() const;  // the connected server, empty when none
  // Publishes sent on a live connection, by kind: QoS 0 once written, QoS 1
  // once acknowledged.
  std::map<std::string, uint64_t> sent() const;
  // Times the link's thread failed (an exception) and started over.
  uint64_t faults() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mqtt
