#include "plant_server.h"

#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "certificates.h"
#include "endpoint.h"
#include "point_table.h"
#include "relay.h"

namespace plant {
namespace {

// Longest wait of one event-loop pass. UA_Server_run_iterate waits up to
// half a second when idle, which would be the latency of stop() and
// set_silent(); the event loop's own run() takes the bound directly.
constexpr UA_UInt32 kLoopWaitMs = 10;

enum class State { Stopped, Running, Down };

// Session ids as set members; the set's copies are owned (cleared on erase).
struct NodeIdHash {
  std::size_t operator()(const UA_NodeId& id) const { return UA_NodeId_hash(&id); }
};
struct NodeIdEqual {
  bool operator()(const UA_NodeId& a, const UA_NodeId& b) const { return UA_NodeId_equal(&a, &b); }
};
using SessionSet = std::unordered_set<UA_NodeId, NodeIdHash, NodeIdEqual>;

struct Point {
  uint32_t raw = 0;
  ValueType type = ValueType::Boolean;
  Fault fault = Fault::None;
  uint32_t status = 0;
};

const UA_DataType* ua_type(ValueType t) {
  switch (t) {
    case ValueType::Boolean: return &UA_TYPES[UA_TYPES_BOOLEAN];
    case ValueType::Byte: return &UA_TYPES[UA_TYPES_BYTE];
    case ValueType::Int16: return &UA_TYPES[UA_TYPES_INT16];
    case ValueType::UInt16: return &UA_TYPES[UA_TYPES_UINT16];
    case ValueType::Int32: return &UA_TYPES[UA_TYPES_INT32];
    case ValueType::UInt32: return &UA_TYPES[UA_TYPES_UINT32];
    case ValueType::Float: return &UA_TYPES[UA_TYPES_FLOAT];
  }
  return &UA_TYPES[UA_TYPES_BOOLEAN];
}

// Writes the typed value whose little-endian bytes are the low bytes of raw.
// Built from numbers, not by copying memory, so it holds on any host order.
void store_value(ValueType t, uint32_t raw, void* dst) {
  switch (t) {
    case ValueType::Boolean: *static_cast<UA_Boolean*>(dst) = (raw & 0xffu) != 0; break;
    case ValueType::Byte: *static_cast<UA_Byte*>(dst) = static_cast<UA_Byte>(raw); break;
    case ValueType::UInt16: *static_cast<UA_UInt16*>(dst) = static_cast<UA_UInt16>(raw); break;
    case ValueType::UInt32: *static_cast<UA_UInt32*>(dst) = raw; break;
    case ValueType::Int16: {
      const uint16_t bits = static_cast<uint16_t>(raw);
      std::memcpy(dst, &bits, sizeof bits);
      break;
    }
    case ValueType::Int32:
    case ValueType::Float: std::memcpy(dst, &raw, sizeof raw); break;
  }
}

double numeric_value(ValueType t, uint32_t raw) {
  union {
    UA_Boolean b;
    UA_Byte u8;
    UA_Int16 i16;
    UA_UInt16 u16;
    UA_Int32 i32;
    UA_UInt32 u32;
    UA_Float f;
  } v;
  store_value(t, raw, &v);
  switch (t) {
    case ValueType::Boolean: return v.b ? 1.0 : 0.0;
    case ValueType::Byte: return v.u8;
    case ValueType::Int16: return v.i16;
    case ValueType::UInt16: return v.u16;
    case ValueType::Int32: return v.i32;
    case ValueType::UInt32: return v.u32;
    case ValueType::Float: return v.f;
  }
  return 0.0;
}

std::size_t checked(std::size_t index) {
  if (index >= kQuorlinPointCount)
    throw std::out_of_range("plant point index " + std::to_string(index) + " out of range");
  return index;
}

std::string status_text(UA_StatusCode st) { return UA_StatusCode_name(st); }

// The port of the first discovery URL that names one; the server adds the
// URL with the port it was given when it listens on a dynamic port.
uint16_t listened_port(const UA_ServerConfig* cfg) {
  const UA_ApplicationDescription& app = cfg->applicationDescription;
  for (std::size_t i = 0; i < app.discoveryUrlsSize; ++i) {
    const std::string url(reinterpret_cast<const char*>(app.discoveryUrls[i].data),
                          app.discoveryUrls[i].length);
    const std::size_t colon = url.rfind(':');
    if (colon == std::string::npos || colon + 1 >= url.size()) continue;
    unsigned long port = 0;
    try {
      port = std::stoul(url.substr(colon + 1));
    } catch (const std::exception&) {
      continue;
    }
    if (port > 0 && port <= 65535) return static_cast<uint16_t>(port);
  }
  return 0;
}

// The server's listening socket shares its port (SO_REUSEPORT), so a second
// server on a taken port would start and split the connections with the
// first. A plain bind tells a live listener from leftover TIME_WAIT sockets.
bool port_taken(const std::string& address, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;  // the server reports a bad address itself
  bool taken = false;
  for (const addrinfo* ai = found; ai && !taken; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    taken = bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno == EADDRINUSE;
    close(fd);
  }
  freeaddrinfo(found);
  return taken;
}

UA_ByteString view(const Bytes& bytes) {
  return UA_ByteString{bytes.size(), const_cast<UA_Byte*>(bytes.data())};
}

UA_String text_view(const std::string& text) {
  return UA_String{text.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()))};
}

// The server's certificate (DER) and key (DER) from their files.
void load_identity(const PlantSecurity& sec, Bytes& cert, Bytes& key) {
  if (sec.certificate.empty() || sec.private_key.empty())
    throw std::runtime_error("plant server: secure policies need a certificate and a private key");
  Bytes raw;
  std::string problem = read_small_file(sec.certificate, raw);
  if (!problem.empty())
    throw std::runtime_error("plant server: cannot read the certificate " + sec.certificate +
                             ": " + problem);
  cert = pem_to_der(raw);
  problem = read_small_file(sec.private_key, raw);
  if (!problem.empty())
    throw std::runtime_error("plant server: cannot read the private key " + sec.private_key +
                             ": " + problem);
  const std::string bad = load_private_key(raw, key);
  wipe(raw);
  if (!bad.empty()) throw std::runtime_error("plant server: " + sec.private_key + " " + bad);
  problem = check_key_pair(cert, key);
  if (!problem.empty()) throw std::runtime_error("plant server: " + problem);
}

// The None endpoint takes the password in its token unencrypted; each Sign
// endpoint gets one user-name token policy naming None (its id ends in
// "#None", as the library matches ids against the token's policy).
UA_StatusCode take_passwords_in_clear(UA_ServerConfig& cfg) {
  cfg.allowNonePolicyPassword = true;
  for (std::size_t i = 0; i < cfg.endpointsSize; ++i) {
    UA_EndpointDescription& e = cfg.endpoints[i];
    if (e.securityMode != UA_MESSAGESECURITYMODE_SIGN) continue;
    UA_UserTokenPolicy token;
    UA_UserTokenPolicy_init(&token);
    token.tokenType = UA_USERTOKENTYPE_USERNAME;
    token.policyId = UA_STRING(const_cast<char*>("open62541-username-policy#None"));
    token.securityPolicyUri =
        UA_STRING(const_cast<char*>("http://opcfoundation.org/UA/SecurityPolicy#None"));
    const UA_StatusCode st = UA_Array_appendCopy(reinterpret_cast<void**>(&e.userIdentityTokens),
                                                 &e.userIdentityTokensSize, &token,
                                                 &UA_TYPES[UA_TYPES_USERTOKENPOLICY]);
    if (st != UA_STATUSCODE_GOOD) return st;
  }
  return UA_STATUSCODE_GOOD;
}

// Policies, endpoints, trusted clients and log-ins of a secure plant, on a
// configuration that offers the None endpoint with the server's certificate.
UA_StatusCode configure_security(UA_ServerConfig& cfg, const PlantSecurity& sec, const Bytes& cert,
                                 const Bytes& key) {
  std::vector<const SecurityPolicyInfo*> policies;
  bool none = false;
  for (const std::string& name : sec.policies) {
    const SecurityPolicyInfo* p = find_security_policy(name);
    if (p == nullptr)
      throw std::runtime_error("plant server: unknown security policy " + name + " (known: " +
                               security_policy_names() + ")");
    if (p->make == nullptr) none = true;
    else if (std::find(policies.begin(), policies.end(), p) == policies.end()) policies.push_back(p);
  }
  UA_StatusCode st = UA_STATUSCODE_GOOD;
  if (!none) {
    UA_Array_delete(cfg.endpoints, cfg.endpointsSize, &UA_TYPES[UA_TYPES_ENDPOINTDESCRIPTION]);
    cfg.endpoints = nullptr;
    cfg.endpointsSize = 0;
  }
  for (const SecurityPolicyInfo* p : policies) {
    if (st != UA_STATUSCODE_GOOD) break;
    auto* grown = static_cast<UA_SecurityPolicy*>(
        UA_realloc(cfg.securityPolicies, sizeof(UA_SecurityPolicy) * (cfg.securityPoliciesSize + 1)));
    if (grown == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
    cfg.securityPolicies = grown;
    UA_SecurityPolicy* added = &cfg.securityPolicies[cfg.securityPoliciesSize];
    std::memset(added, 0, sizeof *added);
    st = p->make(added, view(cert), view(key), cfg.logging);
    if (st != UA_STATUSCODE_GOOD) break;
    ++cfg.securityPoliciesSize;
    const UA_String uri = UA_STRING(const_cast<char*>(p->uri));
    if (sec.sign) st = UA_ServerConfig_addEndpoint(&cfg, uri, UA_MESSAGESECURITYMODE_SIGN);
    if (st == UA_STATUSCODE_GOOD && sec.sign_and_encrypt)
      st = UA_ServerConfig_addEndpoint(&cfg, uri, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
  }
  if (st == UA_STATUSCODE_GOOD && !sec.trusted_clients.empty()) {
    std::vector<NamedBytes> files;
    const std::string problem = read_folder_files(sec.trusted_clients, files);
    if (!problem.empty())
      throw std::runtime_error("plant server: cannot read the trusted clients " +
                               sec.trusted_clients + ": " + problem);
    std::vector<Bytes> ders;
    std::vector<UA_ByteString> list;
    for (const NamedBytes& f : files) ders.push_back(pem_to_der(f.bytes));
    for (const Bytes& d : ders) list.push_back(view(d));
    st = UA_CertificateVerification_Trustlist(&cfg.secureChannelPKI, list.data(), list.size(),
                                              nullptr, 0, nullptr, 0);
    if (st == UA_STATUSCODE_GOOD)
      st = UA_CertificateVerification_Trustlist(&cfg.sessionPKI, list.data(), list.size(), nullptr,
                                                0, nullptr, 0);
  }
  if (st == UA_STATUSCODE_GOOD) {
    // After the policies: the user-token policies follow the server's policies.
    std::vector<UA_UsernamePasswordLogin> logins;
    for (const auto& user : sec.users) logins.push_back({text_view(user.first), text_view(user.second)});
    st = UA_AccessControl_default(&cfg, sec.anonymous, nullptr, logins.size(), logins.data());
  }
  if (st == UA_STATUSCODE_GOOD && sec.password_in_clear) st = take_passwords_in_clear(cfg);
  return st;
}

}  // namespace

struct PlantServer::Impl {
  struct NodeContext {
    Impl* impl;
    std::size_t index;
  };

  explicit Impl(PlantOptions o)
      : opt(std::move(o)), points(kQuorlinPointCount), renamed(kQuorlinPointCount) {
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      contexts.push_back({this, i});
      const uint8_t width = quorlin_points[i].width;
      points[i].type = width == 1 ? opt.width1 : width == 2 ? opt.width2 : opt.width4;
    }
    logger.log = &Impl::log_line;
    logger.context = this;
    logger.clear = nullptr;  // owned here, not by the server config
  }

  const PlantOptions opt;
  std::vector<NodeContext> contexts;
  UA_Logger logger{};

  std::mutex control_mu;  // serialises start and stop

  mutable std::mutex mu;  // everything below
  std::condition_variable cv;
  std::vector<Point> points;
  std::vector<std::string> renamed;  // node ids served instead of table names ("": none)
  uint64_t reads = 0;
  uint64_t sessions = 0;
  uint64_t open_session_count = 0;  // the running server's, after its last loop pass
  // Open sessions of the running server that read points; a session leaves
  // when the server closes it, so each read's look-up stays cheap however
  // many clients came and went.
  SessionSet reading_sessions;
  // The access control's own closeSession, called before ours forgets.
  void (*default_close_session)(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*) = nullptr;
  bool close_requested = false;
  std::vector<std::size_t> trace;
  bool building = false;       // nodes being added: reads are the server's own checks
  uint64_t stop_countdown = 0;  // reads left before going down; 0: none pending
  bool silent = false;
  uint64_t silence_countdown = 0;  // reads left before going silent mid-request
  std::chrono::microseconds read_delay{0};
  bool parked = false;         // the loop honours the silence
  bool stop_requested = false;
  bool down_pending = false;
  State state = State::Stopped;
  uint16_t port = 0;         // where clients connect: the server's or the relay's
  uint16_t server_port = 0;  // where the server itself listens
  std::unique_ptr<Relay> relay;  // with close_above_request_bytes

  std::thread thread;  // the server thread (run)
  std::string add_error;  // the node add_nodes failed on (server thread only)

  static void log_line(void* context, UA_LogLevel level, UA_LogCategory,
                       const char* msg, va_list args) {
    const auto* self = static_cast<const Impl*>(context);
    const UA_LogLevel least = self->opt.log_warnings ? UA_LOGLEVEL_WARNING : UA_LOGLEVEL_ERROR;
    if (level < least) return;
    char text[512];
    std::vsnprintf(text, sizeof text, msg, args);
    std::fprintf(stderr, "plant server: %s\n", text);
  }

  static UA_StatusCode read_point(UA_Server*, const UA_NodeId* session, void*, const UA_NodeId*,
                                  void* node_context, UA_Boolean source_timestamp,
                                  const UA_NumericRange* range, UA_DataValue* out) {
    const auto* ctx = static_cast<const NodeContext*>(node_context);
    if (session != nullptr) ctx->impl->note_session(*session);
    return ctx->impl->serve(ctx->index, source_timestamp, range, out);
  }

  // Server thread: counts the sessions that read points.
  void note_session(const UA_NodeId& session) {
    std::lock_guard<std::mutex> lock(mu);
    if (building || reading_sessions.count(session) != 0) return;
    UA_NodeId copy;
    if (UA_NodeId_copy(&session, &copy) != UA_STATUSCODE_GOOD) return;
    reading_sessions.insert(copy);
    ++sessions;
  }

  // Server thread: the server removes a session (closed by its client or by
  // close_sessions, timed out, or at shutdown).
  static void on_close_session(UA_Server* server, UA_AccessControl* ac, const UA_NodeId* session,
                               void* session_context) {
    auto* self = static_cast<Impl*>(UA_Server_getConfig(server)->context);
    if (self->default_close_session) self->default_close_session(server, ac, session, session_context);
    if (session != nullptr) self->forget_session(*session);
  }

  void forget_session(const UA_NodeId& session) {
    std::lock_guard<std::mutex> lock(mu);
    const auto it = reading_sessions.find(session);
    if (it == reading_sessions.end()) return;
    UA_NodeId owned = *it;
    reading_sessions.erase(it);
    UA_NodeId_clear(&owned);
  }

  // Server thread: closes the sessions close_sessions() asked to close.
  void close_noted_sessions(UA_Server* server) {
    std::vector<UA_NodeId> ids;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!close_requested) return;
      ids.assign(reading_sessions.begin(), reading_sessions.end());
      reading_sessions.clear();  // ownership moved to `ids`
    }
    for (UA_NodeId& id : ids) {
      UA_Server_closeSession(server, &id);
      UA_NodeId_clear(&id);
    }
    std::lock_guard<std::mutex> lock(mu);
    close_requested = false;
    cv.notify_all();
  }

  void forget_sessions() {
    for (const UA_NodeId& id : reading_sessions) {
      UA_NodeId owned = id;
      UA_NodeId_clear(&owned);
    }
    reading_sessions.clear();
  }

  // The point's value as its fault has it served (or the read's failure).
  static UA_StatusCode put_value(const Point& p, UA_DataValue* out) {
    const UA_DataType* type = ua_type(p.type);
    UA_StatusCode st = UA_STATUSCODE_GOOD;
    switch (p.fault) {
      case Fault::Missing:
        return UA_STATUSCODE_BADNODEIDUNKNOWN;
      case Fault::Empty:
        break;
      case Fault::String: {
        UA_String text = UA_STRING(const_cast<char*>("not a number"));
        st = UA_Variant_setScalarCopy(&out->value, &text, &UA_TYPES[UA_TYPES_STRING]);
        break;
      }
      case Fault::Huge:
      case Fault::Oversized: {
        const std::size_t bytes = p.fault == Fault::Huge ? kHugeValueBytes : kOversizedValueBytes;
        UA_String text;
        text.length = bytes;
        text.data = static_cast<UA_Byte*>(UA_malloc(bytes));
        if (!text.data) return UA_STATUSCODE_BADOUTOFMEMORY;
        std::memset(text.data, 'x', bytes);
        UA_Variant_setScalar(&out->value, UA_String_new(), &UA_TYPES[UA_TYPES_STRING]);
        *static_cast<UA_String*>(out->value.data) = text;
        break;
      }
      case Fault::Double: {
        const UA_Double d = numeric_value(p.type, p.raw);
        st = UA_Variant_setScalarCopy(&out->value, &d, &UA_TYPES[UA_TYPES_DOUBLE]);
        break;
      }
      case Fault::Array: {
        constexpr std::size_t kLength = 3;
        void* array = UA_Array_new(kLength, type);
        if (!array) return UA_STATUSCODE_BADOUTOFMEMORY;
        for (std::size_t k = 0; k < kLength; ++k)
          store_value(p.type, p.raw, static_cast<char*>(array) + k * type->memSize);
        UA_Variant_setArray(&out->value, array, kLength, type);
        break;
      }
      case Fault::None: {
        alignas(8) unsigned char scalar[8] = {};
        store_value(p.type, p.raw, scalar);
        st = UA_Variant_setScalarCopy(&out->value, scalar, type);
        break;
      }
    }
    return st;
  }

  UA_StatusCode serve(std::size_t index, bool source_timestamp, const UA_NumericRange* range,
                      UA_DataValue* out) {
    Point p;
    std::chrono::microseconds delay{0};
    {
      std::unique_lock<std::mutex> lock(mu);
      p = points[index];
      if (!building) delay = read_delay;
      if (!building && silence_countdown > 0 && --silence_countdown == 0) {
        // Silent from within this request: the server thread waits here.
        silent = true;
        parked = true;
        cv.notify_all();
        cv.wait(lock, [this] { return !silent || stop_requested || down_pending; });
        parked = false;
      }
      if (building) {
        p.fault = Fault::None;
        p.status = UA_STATUSCODE_GOOD;
      } else {
        // Going down: a request that slipped in before the sockets close.
        if (down_pending) return UA_STATUSCODE_BADSERVERHALTED;
        ++reads;
        if (opt.trace_reads) trace.push_back(index);
        if (stop_countdown > 0 && --stop_countdown == 0) {
          down_pending = true;
          cv.notify_all();
        }
      }
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (range) return UA_STATUSCODE_BADINDEXRANGEINVALID;

    const UA_StatusCode st = put_value(p, out);
    if (st != UA_STATUSCODE_GOOD) return st;
    out->hasValue = true;
    if (p.status != UA_STATUSCODE_GOOD) {
      out->status = p.status;
      out->hasStatus = true;
    }
    if (source_timestamp) {
      out->sourceTimestamp = UA_DateTime_now();
      out->hasSourceTimestamp = true;
    }
    return UA_STATUSCODE_GOOD;
  }

  UA_StatusCode add_nodes(UA_Server* s) {
    const UA_NodeId parent = UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER);
    const UA_NodeId organizes = UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES);
    const UA_NodeId variable_type = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE);
    UA_DataSource source;
    source.read = &Impl::read_point;
    source.write = nullptr;
    std::vector<std::string> names(kQuorlinPointCount);
    {
      std::lock_guard<std::mutex> lock(mu);
      for (std::size_t i = 0; i < kQuorlinPointCount; ++i)
        names[i] = renamed[i].empty() ? quorlin_points[i].name : renamed[i];
    }
    // Look-alike ids replace the table names, and more follow, each read as
    // the point it resembles.
    const std::size_t served = std::max(kQuorlinPointCount, opt.lookalike_ids);
    if (opt.lookalike_ids > 0) {
      names.resize(served);
      for (std::size_t k = 0; k < served; ++k)
        names[k] = std::string(quorlin_points[k % kQuorlinPointCount].name) + "~" +
                   std::to_string(k / kQuorlinPointCount);
    }
    for (std::size_t i = 0; i < served; ++i) {
      // The server copies the id and names; the library only reads them.
      char* name = const_cast<char*>(names[i].c_str());
      UA_VariableAttributes attr = UA_VariableAttributes_default;
      attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), name);
      attr.accessLevel = UA_ACCESSLEVELMASK_READ;
      attr.userAccessLevel = UA_ACCESSLEVELMASK_READ;
      // Any type and rank: types and faults change while the server runs.
      attr.dataType = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATATYPE);
      attr.valueRank = UA_VALUERANK_ANY;
      const UA_StatusCode st = UA_Server_addDataSourceVariableNode(
          s, UA_NODEID_STRING(1, name), parent, organizes, UA_QUALIFIEDNAME(1, name),
          variable_type, attr, source, &contexts[i % kQuorlinPointCount], nullptr);
      if (st != UA_STATUSCODE_GOOD) {
        add_error = names[i] + ": " + status_text(st);
        return st;
      }
    }
    return UA_STATUSCODE_GOOD;
  }

  // The application name and URI (a secure server's is its certificate's,
  // which clients compare), in the configuration and in every endpoint a
  // client is shown.
  UA_StatusCode set_identity(UA_ServerConfig& cfg, const std::string& uri) const {
    UA_ApplicationDescription& app = cfg.applicationDescription;
    UA_LocalizedText_clear(&app.applicationName);
    UA_String_clear(&app.applicationUri);
    app.applicationName = UA_LOCALIZEDTEXT_ALLOC("", opt.application_name.c_str());
    app.applicationUri = UA_STRING_ALLOC(uri.c_str());
    if (app.applicationName.text.data == nullptr || app.applicationUri.data == nullptr)
      return UA_STATUSCODE_BADOUTOFMEMORY;
    for (std::size_t i = 0; i < cfg.endpointsSize; ++i) {
      UA_ApplicationDescription_clear(&cfg.endpoints[i].server);
      const UA_StatusCode st = UA_ApplicationDescription_copy(&app, &cfg.endpoints[i].server);
      if (st != UA_STATUSCODE_GOOD) return st;
    }
    return UA_STATUSCODE_GOOD;
  }

  // Builds a server for the given port, not yet listening; throws on failure.
  UA_Server* build(uint16_t listen_port) {
    const bool secured = !opt.security.policies.empty();
    Bytes cert, key;
    if (secured) load_identity(opt.security, cert, key);
    const UA_ByteString cert_view = view(cert);
    UA_ServerConfig cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.logging = &logger;
    UA_StatusCode st =
        UA_ServerConfig_setMinimal(&cfg, listen_port, cert.empty() ? nullptr : &cert_view);
    if (st == UA_STATUSCODE_GOOD && secured) {
      try {
        st = configure_security(cfg, opt.security, cert, key);
      } catch (...) {
        wipe(key);
        UA_ServerConfig_clean(&cfg);
        throw;
      }
    }
    wipe(key);
    // After the endpoints: each shows the server's name and URI.
    if (st == UA_STATUSCODE_GOOD)
      st = set_identity(cfg, cert.empty() ? "urn:quorlin:plant" : certificate_uri(cert));
    if (st == UA_STATUSCODE_GOOD) {
      // One URL with the host: listen on that address only.
      UA_Array_delete(cfg.serverUrls, cfg.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
      cfg.serverUrls = nullptr;
      cfg.serverUrlsSize = 0;
      const std::string url = endpoint_url(opt.address, listen_port);
      UA_String url_text = UA_STRING(const_cast<char*>(url.c_str()));
      st = UA_Array_copy(&url_text, 1, reinterpret_cast<void**>(&cfg.serverUrls),
                         &UA_TYPES[UA_TYPES_STRING]);
      if (st == UA_STATUSCODE_GOOD) cfg.serverUrlsSize = 1;
    }
    if (st != UA_STATUSCODE_GOOD) {
      UA_ServerConfig_clean(&cfg);
      throw std::runtime_error("plant server: configuration failed: " + status_text(st));
    }
    cfg.maxNodesPerRead = opt.max_nodes_per_read;
    if (opt.refuse_register_nodes) cfg.maxNodesPerRegisterNodes = 1;
    if (opt.max_sessions != 0) {
      const auto cap = static_cast<UA_UInt16>(std::min<uint32_t>(opt.max_sessions, 65535));
      cfg.maxSessions = cap;
      cfg.maxSecureChannels = cap;
    }
    if (opt.max_message_bytes != 0) {
      // The library checks the message size as it joins chunks: chunks of
      // at most that size make every larger request fail.
      cfg.tcpMaxMsgSize = opt.max_message_bytes;
      if (cfg.tcpBufSize == 0 || cfg.tcpBufSize > opt.max_message_bytes)
        cfg.tcpBufSize = opt.max_message_bytes;
    }
    // Closed sessions leave the bookkeeping of the reads.
    cfg.context = this;
    default_close_session = cfg.accessControl.closeSession;
    cfg.accessControl.closeSession = &Impl::on_close_session;
    UA_Server* s = UA_Server_newWithConfig(&cfg);
    if (!s) throw std::runtime_error("plant server: cannot create the server");

    {
      std::lock_guard<std::mutex> lock(mu);
      building = true;
    }
    st = add_nodes(s);
    if (st == UA_STATUSCODE_GOOD && opt.hide_max_nodes_per_read)
      st = UA_Server_deleteNode(
          s, UA_NODEID_NUMERIC(0, UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD),
          true);
    {
      std::lock_guard<std::mutex> lock(mu);
      building = false;
    }
    if (st != UA_STATUSCODE_GOOD) {
      UA_Server_delete(s);
      throw std::runtime_error("plant server: adding the points failed: " + add_error);
    }
    return s;
  }

  // What the server thread reports once it listens or has given up.
  struct Started {
    std::string error;  // empty: listening
    uint16_t port = 0;
  };

  // The server thread owns the server from creation to deletion, so that
  // all of open62541's work on it happens on this one thread: it builds the
  // server, starts listening and reports how that went, serves until told
  // to stop or to go down, then closes everything and frees the server.
  void run(uint16_t listen_port, std::promise<Started> started) {
    UA_Server* server = nullptr;
    try {
      server = build(listen_port);
    } catch (const std::exception& e) {
      started.set_value({e.what(), 0});
      return;
    }
    const UA_StatusCode st = UA_Server_run_startup(server);
    if (st != UA_STATUSCODE_GOOD) {
      UA_Server_delete(server);
      started.set_value({"plant server: cannot listen on " + opt.address + ":" +
                             std::to_string(listen_port) + ": " + status_text(st),
                         0});
      return;
    }
    const uint16_t actual =
        listen_port != 0 ? listen_port : listened_port(UA_Server_getConfig(server));
    if (actual != 0) {
      {
        std::lock_guard<std::mutex> lock(mu);
        server_port = actual;
        if (!opt.close_above_request_bytes) port = actual;
        state = State::Running;
      }
      started.set_value({std::string(), actual});
      serve_until_stopped(server);
    }
    // Closes the connections and the listening socket.
    UA_Server_run_shutdown(server);
    UA_Server_delete(server);
    if (actual == 0) {
      started.set_value({"plant server: the listening port is unknown", 0});
      return;
    }
    std::lock_guard<std::mutex> lock(mu);
    state = State::Down;
    close_requested = false;
    cv.notify_all();
  }

  void serve_until_stopped(UA_Server* server) {
    UA_EventLoop* el = UA_Server_getConfig(server)->eventLoop;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu);
        if (stop_requested || down_pending) return;
        if (silent) {
          parked = true;
          cv.notify_all();
          cv.wait(lock, [this] { return !silent || stop_requested || down_pending; });
          parked = false;
          continue;
        }
      }
      el->run(el, kLoopWaitMs);
      close_noted_sessions(server);
      const std::size_t open = UA_Server_getStatistics(server).ss.currentSessionCount;
      std::lock_guard<std::mutex> lock(mu);
      open_session_count = open;
    }
  }

  void start() {
    std::lock_guard<std::mutex> control(control_mu);
    uint16_t listen_port = 0;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (state == State::Running) throw std::logic_error("plant server: already running");
      listen_port = port != 0 ? port : opt.port;
    }
    if (thread.joinable()) teardown();  // it went down by itself
    if (listen_port != 0 && port_taken(opt.address, listen_port))
      throw std::runtime_error("plant server: cannot listen on " + opt.address + ":" +
                               std::to_string(listen_port) + ": the port is in use");
    {
      std::lock_guard<std::mutex> lock(mu);
      stop_requested = false;
      down_pending = false;
    }
    const bool relayed = opt.close_above_request_bytes != 0;
    std::promise<Started> promise;
    std::future<Started> started = promise.get_future();
    thread = std::thread(&Impl::run, this, relayed ? 0 : listen_port, std::move(promise));
    const Started result = started.get();
    if (!result.error.empty()) {
      thread.join();
      throw std::runtime_error(result.error);
    }
    if (!relayed) return;
    RelayOptions ro;
    ro.address = opt.address;
    ro.port = listen_port;
    ro.target_address = opt.address;
    ro.target_port = result.port;
    ro.close_above_request_bytes = opt.close_above_request_bytes;
    relay = std::make_unique<Relay>(ro);
    try {
      relay->start();
    } catch (...) {
      relay.reset();
      teardown();
      throw;
    }
    std::lock_guard<std::mutex> lock(mu);
    port = relay->port();
  }

  // Ends the relay and the server thread, if any; caller holds control_mu.
  void teardown() {
    if (relay) relay->stop();
    {
      std::lock_guard<std::mutex> lock(mu);
      stop_requested = true;
      cv.notify_all();
    }
    if (thread.joinable()) thread.join();
    std::lock_guard<std::mutex> lock(mu);
    forget_sessions();
    open_session_count = 0;
    close_requested = false;
    cv.notify_all();
    state = State::Stopped;
    stop_requested = false;
    down_pending = false;
    silent = false;
    silence_countdown = 0;
    stop_countdown = 0;
  }

  void stop() {
    std::lock_guard<std::mutex> control(control_mu);
    teardown();
  }
};

PlantServer::PlantServer(PlantOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PlantServer::~PlantServer() { stop(); }

void PlantServer::start() { impl_->start(); }

void PlantServer::stop() { impl_->stop(); }

bool PlantServer::running() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->state == State::Running;
}

uint16_t PlantServer::port() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->port;
}

std::string PlantServer::endpoint() const {
  return endpoint_url(impl_->opt.address, port());
}

void PlantServer::rename(std::size_t index, const std::string& node_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->renamed[checked(index)] = node_id;
}

std::string PlantServer::node_id(std::size_t index) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const std::string& id = impl_->renamed[checked(index)];
  return id.empty() ? quorlin_points[index].name : id;
}

std::size_t PlantServer::count() { return kQuorlinPointCount; }

std::optional<std::size_t> PlantServer::index_of(std::string_view name) {
  static const std::unordered_map<std::string_view, std::size_t> by_name = [] {
    std::unordered_map<std::string_view, std::size_t> m;
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) m.emplace(quorlin_points[i].name, i);
    return m;
  }();
  const auto it = by_name.find(name);
  if (it == by_name.end()) return std::nullopt;
  return it->second;
}

void PlantServer::set_raw(std::size_t index, uint32_t raw) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->points[checked(index)].raw = raw;
}

void PlantServer::set_bool(std::size_t index, bool value) { set_raw(index, value ? 1u : 0u); }

void PlantServer::set_byte(std::size_t index, uint8_t value) { set_raw(index, value); }

void PlantServer::set_int16(std::size_t index, int16_t value) {
  set_raw(index, static_cast<uint16_t>(value));
}

void PlantServer::set_uint32(std::size_t index, uint32_t value) { set_raw(index, value); }

void PlantServer::set_float(std::size_t index, float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  set_raw(index, bits);
}

void PlantServer::set_all_raw(const std::vector<uint32_t>& raws) {
  if (raws.size() != kQuorlinPointCount)
    throw std::invalid_argument("plant server: " + std::to_string(raws.size()) +
                                " values for " + std::to_string(kQuorlinPointCount) + " points");
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) impl_->points[i].raw = raws[i];
}

void PlantServer::fill_distinct(uint32_t seed) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    Point& p = impl_->points[i];
    const uint32_t n = static_cast<uint32_t>(i);
    switch (p.type) {
      case ValueType::Boolean: p.raw = (n + seed) & 1u; break;
      case ValueType::Byte: p.raw = (n * 7u + seed) & 0xffu; break;
      case ValueType::Int16:
      case ValueType::UInt16: p.raw = (n * 31u + seed * 17u + 1u) & 0xffffu; break;
      case ValueType::Int32:
      case ValueType::UInt32: p.raw = (n + 1u) * 2654435761u ^ seed; break;
      case ValueType::Float: {
        // Multiples of 0.25 below 2^20: exact, finite and distinct per point.
        const float f = static_cast<float>(n) * 0.5f + static_cast<float>(seed % 1000u) + 0.25f;
        std::memcpy(&p.raw, &f, sizeof f);
        break;
      }
    }
  }
}

uint32_t PlantServer::raw(std::size_t index) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->points[checked(index)].raw;
}

std::array<uint8_t, 4> PlantServer::value_bytes(std::size_t index) const {
  Point p;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    p = impl_->points[checked(index)];
  }
  std::array<uint8_t, 4> bytes{};
  if (p.type == ValueType::Boolean) {
    bytes[0] = (p.raw & 0xffu) != 0 ? 1 : 0;
    return bytes;
  }
  const std::size_t size = ua_type(p.type)->memSize;
  for (std::size_t k = 0; k < size && k < bytes.size(); ++k)
    bytes[k] = static_cast<uint8_t>(p.raw >> (8 * k));
  return bytes;
}

void PlantServer::set_type(std::size_t index, ValueType type) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->points[checked(index)].type = type;
}

ValueType PlantServer::type(std::size_t index) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->points[checked(index)].type;
}

void PlantServer::set_fault(std::size_t index, Fault fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->points[checked(index)].fault = fault;
}

Fault PlantServer::fault(std::size_t index) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->points[checked(index)].fault;
}

void PlantServer::set_status(std::size_t index, uint32_t status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->points[checked(index)].status = status;
}

void PlantServer::stop_after(uint64_t n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (n == 0) {
    if (impl_->state == State::Running) impl_->down_pending = true;
    impl_->stop_countdown = 0;
  } else {
    impl_->stop_countdown = n;
  }
  impl_->cv.notify_all();
}

void PlantServer::set_silent(bool silent) {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->silent = silent;
  impl_->cv.notify_all();
  if (silent) {
    Impl& im = *impl_;
    im.cv.wait(lock, [&im] { return im.parked || !im.silent || im.state != State::Running; });
  }
}

void PlantServer::clear_faults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (Point& p : impl_->points) {
    p.fault = Fault::None;
    p.status = UA_STATUSCODE_GOOD;
  }
  impl_->silent = false;
  impl_->silence_countdown = 0;
  impl_->stop_countdown = 0;
  impl_->read_delay = std::chrono::microseconds{0};
  impl_->cv.notify_all();
}

void PlantServer::silent_after(uint64_t n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->silence_countdown = n + 1;
}

void PlantServer::set_read_delay(std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->read_delay = delay;
}

uint64_t PlantServer::closed_on_size() const {
  std::lock_guard<std::mutex> control(impl_->control_mu);
  return impl_->relay ? impl_->relay->closed_on_size() : 0;
}

uint64_t PlantServer::sessions() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sessions;
}

uint64_t PlantServer::reading_sessions() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->reading_sessions.size();
}

uint64_t PlantServer::open_sessions() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->open_session_count;
}

void PlantServer::close_sessions() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  if (impl_->state != State::Running) return;
  impl_->close_requested = true;
  impl_->cv.wait(lock, [this] { return !impl_->close_requested; });
}

uint64_t PlantServer::reads() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->reads;
}

void PlantServer::reset_reads() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->reads = 0;
}

std::vector<std::size_t> PlantServer::take_trace() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<std::size_t> out;
  out.swap(impl_->trace);
  return out;
}

}  // namespace plant
