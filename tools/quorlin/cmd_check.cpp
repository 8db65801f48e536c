// quorlin check: commissions a controller against the point table. Connects
// as the driver does, reads every point once as a round does, sorts each read
// into a class and browses the server for ids close to the ones it lacks.
#include "check_report.h"
#include "commands.h"
#include "device_entry.h"
#include "endpoint.h"
#include "opcua_session.h"
#include "point_table.h"
#include "security_options.h"

#include <open62541/client.h>

#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr const char* kName = "quorlin check";

// The browse looks at no more than this many references and objects, and
// stops after this long; a controller is not scanned without end.
constexpr std::size_t kBrowseMaxReferences = 200000;
constexpr std::size_t kBrowseMaxObjects = 2000;
constexpr auto kBrowseTimeBound = std::chrono::seconds(30);
constexpr UA_UInt32 kReferencesPerReply = 1000;
constexpr std::string_view kPointPrefix = "t|D3";

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// How to reach the controller; connection options of the driver go here.
struct Connection {
  std::string address;
  unsigned long port = 0;        // 0: not given, 4840
  unsigned long timeout_ms = 0;  // 0: the driver's client default
  cli::ClientSecurityOptions security;  // the device settings' "opcua" keys
  std::string config, device;    // or all of it from qrn-host's configuration
};

struct CheckOptions {
  Connection connection;
  bool json = false;
  bool no_browse = false;
};

void add_connection_options(CLI::App& app, Connection& c) {
  cli::add_address(app, c.address, "the controller's host name, IPv4 or IPv6 address");
  cli::add_number(app, "--port", c.port, 1, 65535, "1 to 65535",
                  "the controller's OPC UA port (default 4840)");
  cli::add_number(app, "--timeout-ms", c.timeout_ms, 1, 3600000, "1 to 3600000 milliseconds",
                  "how long to wait for the connection and for each reply "
                  "(default: the driver's, 5000)");
  c.security.add_to(app);
  app.add_option("--config", c.config,
                 "instead of the connection options: qrn-host's configuration file,\n"
                 "whose device --device gives the address, port and \"opcua\" settings")
      ->type_name("FILE");
  app.add_option("--device", c.device, "the device id in --config")->type_name("ID");
}

// The endpoint and security from the options or from the device's entry.
bool resolve(const Connection& c, DeviceConnection& out, std::string& error) {
  const cli::ClientSecurityOptions none;
  const auto& s = c.security;
  const bool security_given = s.mode != none.mode || s.policy != none.policy ||
                              s.certificate != none.certificate ||
                              s.private_key != none.private_key ||
                              s.trusted_servers != none.trusted_servers || s.user != none.user ||
                              s.password_file != none.password_file || s.trust_any_server;
  if (c.config.empty() != c.device.empty())
    throw cli::UsageError("--config and --device go together");
  if (!c.config.empty()) {
    if (!c.address.empty() || c.port != 0 || security_given)
      throw cli::UsageError("give either --config and --device or the connection options");
    return device_connection(c.config, c.device, out, error);
  }
  if (c.address.empty()) throw cli::UsageError("--address is required (or --config and --device)");
  out.address = c.address;
  out.port = static_cast<uint16_t>(c.port == 0 ? 4840 : c.port);
  // Checked and loaded as the driver loads a device's "opcua" settings.
  out.security = s.load();
  return true;
}

// The library's own log would interleave with the report on standard output;
// failures reach the report through status codes instead.
void silent_log(void*, UA_LogLevel, UA_LogCategory, const char*, va_list) {}
UA_Logger silent_logger = {&silent_log, nullptr, nullptr};

void configure(ClientSession& session, const Connection& c) {
  UA_ClientConfig* cfg = session.config();
  if (c.timeout_ms != 0) cfg->timeout = static_cast<UA_UInt32>(c.timeout_ms);
}

std::string text_of(const UA_String& s) {
  return s.length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(s.data), s.length);
}

// Application name and URI from the server's endpoints; product, version and
// the read limit from its address space, each only when served.
check::ServerIdentity identify(ClientSession& session, const std::string& url) {
  check::ServerIdentity id;
  UA_GetEndpointsRequest endpoints;
  UA_GetEndpointsRequest_init(&endpoints);
  endpoints.endpointUrl = UA_STRING(const_cast<char*>(url.c_str()));
  UA_GetEndpointsResponse found;
  UA_GetEndpointsResponse_init(&found);
  if (session.call(&endpoints, &UA_TYPES[UA_TYPES_GETENDPOINTSREQUEST], &found,
                   &UA_TYPES[UA_TYPES_GETENDPOINTSRESPONSE]) == UA_STATUSCODE_GOOD &&
      found.endpointsSize > 0) {
    id.application_name = text_of(found.endpoints[0].server.applicationName.text);
    id.application_uri = text_of(found.endpoints[0].server.applicationUri);
  }
  UA_GetEndpointsResponse_clear(&found);

  const UA_UInt32 nodes[] = {UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_PRODUCTNAME,
                             UA_NS0ID_SERVER_SERVERSTATUS_BUILDINFO_SOFTWAREVERSION,
                             UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD};
  UA_ReadValueId items[3];
  for (std::size_t k = 0; k < 3; ++k) {
    UA_ReadValueId_init(&items[k]);
    items[k].nodeId = UA_NODEID_NUMERIC(0, nodes[k]);
    items[k].attributeId = UA_ATTRIBUTEID_VALUE;
  }
  UA_ReadRequest request;
  UA_ReadRequest_init(&request);
  request.nodesToRead = items;
  request.nodesToReadSize = 3;
  request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
  UA_ReadResponse response;
  UA_ReadResponse_init(&response);
  if (session.call(&request, &UA_TYPES[UA_TYPES_READREQUEST], &response,
                   &UA_TYPES[UA_TYPES_READRESPONSE]) == UA_STATUSCODE_GOOD &&
      response.resultsSize == 3) {
    auto served = [&](std::size_t k, const UA_DataType* type) -> const void* {
      const UA_DataValue& v = response.results[k];
      const bool good = !v.hasStatus || !UA_StatusCode_isBad(v.status);
      return good && UA_Variant_hasScalarType(&v.value, type) ? v.value.data : nullptr;
    };
    if (const void* p = served(0, &UA_TYPES[UA_TYPES_STRING]))
      id.product_name = text_of(*static_cast<const UA_String*>(p));
    if (const void* p = served(1, &UA_TYPES[UA_TYPES_STRING]))
      id.software_version = text_of(*static_cast<const UA_String*>(p));
    if (const void* p = served(2, &UA_TYPES[UA_TYPES_UINT32]))
      id.max_nodes_per_read = *static_cast<const UA_UInt32*>(p);
  }
  UA_ReadResponse_clear(&response);
  return id;
}

// Every point once, in table order, each with its own single-node Read as
// the round does. Stops as the round does when the session is gone.
bool read_points(ClientSession& session, check::Report& report, std::string& error) {
  std::vector<double> each;
  each.reserve(kQuorlinPointCount);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
    const QuorlinPoint& point = quorlin_points[i];
    UA_DataValue value;
    UA_DataValue_init(&value);
    const auto before = Clock::now();
    const UA_StatusCode st =
        session.read_value(UA_NODEID_STRING(1, const_cast<char*>(point.name)), &value);
    each.push_back(ms_since(before));
    report.points.push_back(check::classify(i, point.width, st, value.value));
    UA_DataValue_clear(&value);
    if (UA_StatusCode_isBad(st) && (session_lost_status(st) || !session.activated())) {
      session.mark_lost();
      error = "session lost at point " + std::to_string(i + 1) + " " + point.name + ": " +
              check::status_name(st);
      return false;
    }
  }
  check::Timing& t = report.timing;
  t.reads_ms = ms_since(start);
  t.read_max_ms = *std::max_element(each.begin(), each.end());
  std::nth_element(each.begin(), each.begin() + each.size() / 2, each.end());
  t.read_median_ms = each[each.size() / 2];
  return true;
}

// Walks the server's objects outside namespace 0 from the Objects folder and
// collects the variables whose string id starts with the points' prefix.
class Browser {
 public:
  explicit Browser(ClientSession& session) : session_(session) {
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) table_.insert(quorlin_points[i].name);
  }

  check::BrowseResult run() {
    result_.ran = true;
    const auto start = Clock::now();
    deadline_ = start + kBrowseTimeBound;
    std::deque<UA_NodeId> queue{UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER)};
    std::size_t objects = 0;
    while (!queue.empty() && result_.stopped.empty()) {
      if (objects == kBrowseMaxObjects) {
        result_.stopped = "browsed " + std::to_string(objects) + " objects";
        break;
      }
      UA_NodeId node = queue.front();
      queue.pop_front();
      ++objects;
      browse(node, queue);
      UA_NodeId_clear(&node);
    }
    for (UA_NodeId& n : queue) UA_NodeId_clear(&n);
    std::sort(result_.extra.begin(), result_.extra.end());
    result_.ms = ms_since(start);
    return std::move(result_);
  }

 private:
  bool over_bounds() {
    if (references_ > kBrowseMaxReferences)
      result_.stopped = "more than " + std::to_string(kBrowseMaxReferences) + " references";
    else if (Clock::now() >= deadline_)
      result_.stopped = "time bound of " +
                        std::to_string(std::chrono::seconds(kBrowseTimeBound).count()) + " s";
    return !result_.stopped.empty();
  }

  void browse(const UA_NodeId& node, std::deque<UA_NodeId>& queue) {
    UA_BrowseDescription what;
    UA_BrowseDescription_init(&what);
    what.nodeId = node;
    what.browseDirection = UA_BROWSEDIRECTION_FORWARD;
    what.referenceTypeId = UA_NODEID_NUMERIC(0, UA_NS0ID_HIERARCHICALREFERENCES);
    what.includeSubtypes = true;
    what.nodeClassMask = UA_NODECLASS_OBJECT | UA_NODECLASS_VARIABLE;
    what.resultMask = UA_BROWSERESULTMASK_NODECLASS;
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.requestedMaxReferencesPerNode = kReferencesPerReply;
    request.nodesToBrowse = &what;
    request.nodesToBrowseSize = 1;
    UA_BrowseResponse response;
    UA_BrowseResponse_init(&response);
    UA_ByteString continuation = UA_BYTESTRING_NULL;
    const UA_StatusCode st = session_.call(&request, &UA_TYPES[UA_TYPES_BROWSEREQUEST], &response,
                                           &UA_TYPES[UA_TYPES_BROWSERESPONSE]);
    if (st != UA_STATUSCODE_GOOD || response.resultsSize != 1) {
      result_.stopped = "Browse failed: " + check::status_name(st);
    } else {
      take(response.results[0], queue, continuation);
    }
    UA_BrowseResponse_clear(&response);

    // The rest of a long list comes in pieces, one continuation point at a time.
    while (continuation.length > 0) {
      const bool release = over_bounds();
      UA_BrowseNextRequest next;
      UA_BrowseNextRequest_init(&next);
      next.releaseContinuationPoints = release;
      next.continuationPoints = &continuation;
      next.continuationPointsSize = 1;
      UA_BrowseNextResponse more;
      UA_BrowseNextResponse_init(&more);
      const UA_StatusCode nst = session_.call(&next, &UA_TYPES[UA_TYPES_BROWSENEXTREQUEST], &more,
                                              &UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
      UA_ByteString_clear(&continuation);
      if (nst != UA_STATUSCODE_GOOD || more.resultsSize != 1) {
        if (result_.stopped.empty()) result_.stopped = "BrowseNext failed: " + check::status_name(nst);
      } else if (!release) {
        take(more.results[0], queue, continuation);
      }
      UA_BrowseNextResponse_clear(&more);
    }
  }

  // Takes one result's references; its continuation point is moved out.
  void take(UA_BrowseResult& result, std::deque<UA_NodeId>& queue, UA_ByteString& continuation) {
    if (UA_StatusCode_isBad(result.statusCode)) return;  // this node only
    for (std::size_t k = 0; k < result.referencesSize; ++k) {
      ++references_;
      const UA_ReferenceDescription& ref = result.references[k];
      if (ref.nodeId.serverIndex != 0) continue;
      const UA_NodeId& id = ref.nodeId.nodeId;
      if (!seen_.insert(key(id)).second) continue;
      if (ref.nodeClass == UA_NODECLASS_OBJECT && id.namespaceIndex != 0) {
        UA_NodeId copy;
        if (UA_NodeId_copy(&id, &copy) == UA_STATUSCODE_GOOD) queue.push_back(copy);
      } else if (ref.nodeClass == UA_NODECLASS_VARIABLE &&
                 id.identifierType == UA_NODEIDTYPE_STRING) {
        const std::string name = text_of(id.identifier.string);
        if (name.compare(0, kPointPrefix.size(), kPointPrefix) != 0) continue;
        ++result_.variables;
        if (id.namespaceIndex == 1 && table_.count(name) > 0) continue;
        result_.extra.push_back(id.namespaceIndex == 1
                                    ? name
                                    : "ns=" + std::to_string(id.namespaceIndex) + ";s=" + name);
      }
    }
    continuation = result.continuationPoint;
    UA_ByteString_init(&result.continuationPoint);
    over_bounds();
  }

  // Identifies a node for the seen-set.
  static std::string key(const UA_NodeId& id) {
    UA_String printed = UA_STRING_NULL;
    UA_NodeId_print(&id, &printed);
    std::string out = text_of(printed);
    UA_String_clear(&printed);
    return out;
  }

  ClientSession& session_;
  std::unordered_set<std::string_view> table_;
  std::set<std::string> seen_;
  check::BrowseResult result_;
  std::size_t references_ = 0;
  Clock::time_point deadline_;
};

int write_out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("quorlin check: writing standard output");
    return 1;
  }
  return 0;
}

int run_check(const CheckOptions& o) {
  check::Report report;
  DeviceConnection target;
  std::string error;
  if (!resolve(o.connection, target, error)) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  report.endpoint = endpoint_url(target.address, target.port);
  const std::shared_ptr<const SessionSecurity>& security = target.security;
  ClientSession session(nullptr, &silent_logger);
  if (session.client() == nullptr) {
    std::fprintf(stderr, "%s: cannot create an OPC UA client\n", kName);
    return 1;
  }
  configure(session, o.connection);

  auto start = Clock::now();
  std::string problem;
  const UA_StatusCode st = connect_secure(session, report.endpoint, security.get(), &problem);
  report.timing.connect_ms = ms_since(start);
  if (st != UA_STATUSCODE_GOOD) {
    if (problem.empty()) problem = check::status_name(st);
    std::fprintf(stderr, "%s: cannot connect to %s: %s\n", kName, report.endpoint.c_str(),
                 problem.c_str());
    return 1;
  }
  report.server = identify(session, report.endpoint);
  report.points.reserve(kQuorlinPointCount);
  if (!read_points(session, report, error)) {
    std::fprintf(stderr, "%s: %s: %s\n", kName, report.endpoint.c_str(), error.c_str());
    return 1;
  }
  if (!o.no_browse) {
    report.browse = Browser(session).run();
    check::suggest(report);
  }
  start = Clock::now();
  session.close();
  report.timing.close_ms = ms_since(start);

  std::string out;
  if (o.json) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    builder["precision"] = 3;  // milliseconds to the microsecond
    builder["precisionType"] = "decimal";
    out = Json::writeString(builder, check::json(report)) + "\n";
  } else {
    out = check::text(report);
  }
  const int written = write_out(out);
  return written != 0 ? written : check::all_ok(report) ? 0 : 1;
}

}  // namespace

CommandRun define_check(CLI::App& app) {
  auto o = std::make_shared<CheckOptions>();
  add_connection_options(app, o->connection);
  app.add_flag("--json", o->json, "one JSON document instead of the text report");
  app.add_flag("--no-browse", o->no_browse,
               "do not browse the server for ids close to the points it lacks");
  return [o] { return run_check(*o); };
}
