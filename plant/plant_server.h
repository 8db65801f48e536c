#pragma once

// An OPC UA server that stands in for the cooling-plant controller: it serves
// every point of the point table as a readable variable in namespace 1, with
// values, value types and faults that the caller sets while it runs.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plant {

// The OPC UA scalar type a point is served as.
enum class ValueType : uint8_t { Boolean, Byte, Int16, UInt16, Int32, UInt32, Float };

// What a read of one point returns instead of its value.
enum class Fault : uint8_t {
  None,
  Missing,  // bad status BadNodeIdUnknown, no value
  String,   // a String scalar
  Double,   // a Double scalar holding the point's numeric value
  Array,    // an array of three elements of the point's type, each its value
  Empty,    // a good status with an empty variant (no type, no data)
  Huge,     // a String scalar of kHugeValueBytes bytes
  Oversized,  // a String scalar of kOversizedValueBytes bytes
};

// The size of the string a point with Fault::Huge serves.
constexpr std::size_t kHugeValueBytes = 100u << 20;
// Just over what a client bounding messages to 4 MiB takes (its library lets
// a message's last 64 KiB chunk pass the bound); cheap to serve many times.
constexpr std::size_t kOversizedValueBytes = (4u << 20) + (128u << 10);

// What a secure plant offers and accepts. With no policies the server offers
// the None endpoint only and takes anonymous clients, as an unsecured plant.
struct PlantSecurity {
  std::string certificate;  // the server's certificate file (DER or PEM)
  std::string private_key;  // its private key file (DER or PEM)
  // Policies by short name ("Basic256Sha256") or URI; "None" adds the
  // unsecured endpoint. Each other policy gets an endpoint per mode below.
  std::vector<std::string> policies;
  bool sign = true;              // offer Sign endpoints
  bool sign_and_encrypt = true;  // offer SignAndEncrypt endpoints
  bool anonymous = true;         // anonymous log-in allowed
  std::vector<std::pair<std::string, std::string>> users;  // user name, password
  // Folder of the client certificates the server accepts; empty: any.
  std::string trusted_clients;
  // Takes user passwords unencrypted, as a careless controller would: the
  // None endpoint's user-name token policy has no security policy, and the
  // Sign endpoints' one names None (SignAndEncrypt ones stay encrypted).
  bool password_in_clear = false;
};

struct PlantOptions {
  std::string address = "127.0.0.1";  // host name or IPv4 address to listen on
  uint16_t port = 0;                  // 0: the system picks a free port
  // The type a point is served as, by its field width; set_type overrides.
  ValueType width1 = ValueType::Boolean;
  ValueType width2 = ValueType::Int16;
  ValueType width4 = ValueType::Float;
  // The server's ApplicationDescription name; its URI is "urn:quorlin:plant",
  // or with a certificate the certificate's.
  std::string application_name = "Quorlin plant server";
  bool trace_reads = false;   // record the point index of every read (take_trace)
  bool log_warnings = false;  // the server's log: errors only, or warnings too (stderr)
  // Limits a server may have, for the clients' sake: the MaxNodesPerRead it
  // enforces and announces (0: none), the largest request message it takes
  // (at least 8192; a larger request closes the channel with
  // BadTcpMessageTooLarge; 0: the library's default, unbounded).
  uint32_t max_nodes_per_read = 0;
  bool hide_max_nodes_per_read = false;  // enforced, but its variable is absent
  uint32_t max_message_bytes = 0;
  // RegisterNodes of more than one node is refused (BadTooManyOperations),
  // as from a server with a small limit on it.
  bool refuse_register_nodes = false;
  // Sessions and secure channels the server holds at once (0: the library's
  // default of 100); a client over it gets BadTooManySessions.
  uint32_t max_sessions = 0;  // at most 65535
  // A request message above this many bytes closes its connection without
  // an answer, as some controllers do (0: never). The server then listens
  // behind a relay that watches the requests; port() is the relay's.
  uint32_t close_above_request_bytes = 0;
  // Serves the points under this many look-alike ids instead of their table
  // names: "<name>~<n>" for each point in turn, n = 0, 1, ... (0: none). A
  // server full of near misses, for the suggestion step of `quorlin check`.
  std::size_t lookalike_ids = 0;
  PlantSecurity security;
};

// Points are addressed by their index in the point table (0 .. count()-1).
// Values are held as "raw" numbers whose little-endian bytes are the bytes a
// reader of the value finds in memory: the low 1, 2 or 4 bytes, by type.
// Every member is safe to call from any thread while the server runs; index
// arguments out of range throw std::out_of_range.
class PlantServer {
 public:
  explicit PlantServer(PlantOptions options = {});
  ~PlantServer();  // stops the server
  PlantServer(const PlantServer&) = delete;
  PlantServer& operator=(const PlantServer&) = delete;

  // Builds the address space and returns once the server listens; throws
  // std::runtime_error if it cannot (address in use, bad address, unusable
  // security options: unreadable files, unknown policies). A restart
  // after stop() listens on the port of the previous run. Throws
  // std::logic_error if already running.
  void start();
  // Closes all connections, stops listening, joins the server thread and
  // frees the server. Safe to call at any time, also twice. Clears silence
  // and stop_after; point values, types and faults are kept.
  void stop();
  // From start() until stop() or until stop_after brought the server down.
  bool running() const;

  uint16_t port() const;         // the port listened on; 0 before the first start
  std::string endpoint() const;  // "opc.tcp://" + address + ":" + port

  // Serves the point under the node id (and browse name) `node_id` in
  // namespace 1 instead of its table name, from the next start() on; an empty
  // id restores the table name. Reads of the table name then fail with
  // BadNodeIdUnknown. start() throws if two points end up with one id.
  void rename(std::size_t index, const std::string& node_id);
  std::string node_id(std::size_t index) const;

  static std::size_t count();
  static std::optional<std::size_t> index_of(std::string_view name);

  // Values.
  void set_raw(std::size_t index, uint32_t raw);
  void set_bool(std::size_t index, bool value);
  void set_byte(std::size_t index, uint8_t value);
  void set_int16(std::size_t index, int16_t value);
  void set_uint32(std::size_t index, uint32_t value);
  void set_float(std::size_t index, float value);
  // One raw value per point, in table order; throws std::invalid_argument on
  // a size other than count().
  void set_all_raw(const std::vector<uint32_t>& raws);
  // Gives every point a value that is valid for its type and, as far as the
  // type's width allows, differs from its neighbours'. Same seed, same values.
  void fill_distinct(uint32_t seed);
  uint32_t raw(std::size_t index) const;
  // The bytes of the value as a reader decodes it with no fault set: the
  // type's width of the raw bytes (a Boolean as 0 or 1), zero padded.
  std::array<uint8_t, 4> value_bytes(std::size_t index) const;

  // Types.
  void set_type(std::size_t index, ValueType type);
  ValueType type(std::size_t index) const;

  // Faults.
  void set_fault(std::size_t index, Fault fault);
  Fault fault(std::size_t index) const;
  // The status code served with the point's value (0: Good, the default).
  // Any other code goes with whatever the point serves, value included.
  void set_status(std::size_t index, uint32_t status);
  // Serves n more point reads, then closes every connection and stops
  // listening, as a controller going down would. n = 0: at once.
  void stop_after(uint64_t n);
  // Silent: connections and the listening socket stay open, but the server
  // answers nothing until it is made talkative again. Returns once no
  // further request will be answered.
  void set_silent(bool silent);
  // Serves n more point reads, then goes silent in the middle of the request
  // being served: not even its answer goes out until set_silent(false) or
  // stop(). n = 0: at the next read.
  void silent_after(uint64_t n);
  // Each point read takes this long to serve (a slow controller); 0: none.
  void set_read_delay(std::chrono::microseconds delay);
  // No point faults or statuses, no silence, no pending stop_after.
  void clear_faults();

  // Connections closed because of a request above close_above_request_bytes.
  uint64_t closed_on_size() const;

  // Sessions that read points since construction (restarts included).
  uint64_t sessions() const;
  // Sessions that read points and are still open: what each point read
  // looks its session up in. A closed or timed-out session leaves it.
  uint64_t reading_sessions() const;
  // Sessions the running server holds now (a client that drops its channel
  // without CloseSession leaves its session behind until it times out).
  uint64_t open_sessions() const;
  // Closes every session that read points, server-side, as a server that
  // expires or drops sessions does; their clients' connections stay open.
  // Returns once they are closed.
  void close_sessions();

  // Point reads served since construction or reset_reads.
  uint64_t reads() const;
  void reset_reads();
  // The indices of the reads since the last call, in order (trace_reads).
  std::vector<std::size_t> take_trace();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace plant
