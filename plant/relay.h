#pragma once

// A TCP relay on loopback that stands between an OPC UA client and server:
// it forwards both directions, optionally after a fixed delay each way (a
// network's latency), and optionally closes a connection instead of
// forwarding a request message above a size (a server that drops the
// channel on large requests). It can also stand in for a hostile peer that
// never forwards: one that echoes every byte, closes each connection as soon
// as it is accepted, holds connections open without answering, or refuses
// each with an error message of its own words.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace plant {

enum class RelayMode {
  Forward,         // relays to the target
  Echo,            // sends every byte back to the client
  AcceptAndClose,  // closes each connection right after accepting it
  Hold,            // keeps connections open, reads and never answers
  Refuse,          // answers the first message with an ERR carrying `reason`, then closes
};

struct RelayOptions {
  RelayMode mode = RelayMode::Forward;
  std::string address = "127.0.0.1";  // where the relay listens
  uint16_t port = 0;                  // 0: the system picks a free port
  std::string target_address = "127.0.0.1";
  uint16_t target_port = 0;
  std::chrono::microseconds delay{0};  // added to each direction
  // A client message ("MSG", all its chunks) above this many bytes closes
  // the connection before any of it reaches the server; 0: never.
  uint32_t close_above_request_bytes = 0;
  // Keeps every byte the clients send, for client_bytes().
  bool capture = false;
  // Refuse: the ERR message's reason text, sent as is.
  std::string reason;
  // Forward on a None channel: the string node ids a RegisterNodes answer
  // returns are rewritten to ids that only this connection's Read requests
  // may use (they are turned back on the way to the server), as a server
  // whose registered ids belong to the session that registered them.
  bool scope_registered_ids = false;
};

class Relay {
 public:
  explicit Relay(RelayOptions options);
  ~Relay();  // stops
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Listens and returns; throws std::runtime_error if it cannot.
  void start();
  // Closes every connection and the listening socket, joins the threads.
  void stop();
  uint16_t port() const;
  // Connections closed because of a large request.
  uint64_t closed_on_size() const;
  // Connections accepted so far.
  uint64_t accepted() const;
  // What the clients have sent so far, all connections in arrival order (capture).
  std::string client_bytes() const;
  // scope_registered_ids: node ids in Read requests turned back into the
  // server's, so far (reads by registered ids that were valid).
  uint64_t registered_reads() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace plant
