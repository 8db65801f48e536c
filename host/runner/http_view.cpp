#include "http_view.h"

#include "decimal.h"
#include "history_reader.h"
#include "host_stub.h"
#include "http_server.h"
#include "point_table.h"
#include "record.h"
#include "record_json.h"
#include "record_view.h"
#include "report_json.h"
#include "web_assets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <json/value.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

LiveView::Reply json_reply(int status, const Json::Value& body) {
  return {status, kJson, json_text(body)};
}

LiveView::Reply error_reply(int status, const std::string& text) {
  Json::Value body(Json::objectValue);
  body["error"] = printable_utf8(text);
  return json_reply(status, body);
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Descriptors each device may hold at once (its session's socket, a
// reconnect's, name resolution) and those the host keeps for itself
// (standard streams, the module, history and dump files).
constexpr std::size_t kDescriptorsPerDevice = 4;
constexpr std::size_t kHostDescriptors = 32;

std::size_t open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::size_t n = 0;
  while (const dirent* e = readdir(dir)) n += e->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return n > 0 ? n - 1 : 0;  // not the listing's own
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string own_host_name() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace

bool parse_listen_address(const std::string& text, std::string& address, int& port,
                          std::string& error) {
  error = "--http takes ADDRESS:PORT (e.g. 127.0.0.1:8080, [::1]:0), not '" + text + "'";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
    in6_addr a6{};
    if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) return false;
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  const auto number = parse_decimal(text.substr(colon + 1), 65535);
  if (!number) return false;
  address = host;
  port = static_cast<int>(*number);
  error.clear();
  return true;
}

bool is_loopback_address(const std::string& address) {
  if (address == "localhost") return true;
  in_addr a4{};
  if (inet_pton(AF_INET, address.c_str(), &a4) == 1)
    return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  return inet_pton(AF_INET6, address.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

bool is_allowed_host(const std::string& header, const std::string& listen_address,
                     const std::string& own_name) {
  if (header.empty()) return true;
  std::string host = header;
  if (host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return false;
    const std::string rest = host.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !parse_decimal(rest.substr(1), 65535))) return false;
    in6_addr a6{};
    return inet_pton(AF_INET6, host.substr(1, close - 1).c_str(), &a6) == 1;
  }
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    if (!parse_decimal(host.substr(colon + 1), 65535)) return false;
    host.erase(colon);
  }
  host = lower(host);
  if (!host.empty() && host.back() == '.') host.pop_back();
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return true;
  return !host.empty() &&
         (host == "localhost" || host == lower(listen_address) || host == lower(own_name));
}

std::string printable_utf8(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  std::size_t from = 0;
  for (std::size_t bad; (bad = invalid_utf8_at(text, from)) != std::string::npos; from = bad + 1) {
    out.append(text, from, bad - from);
    const auto byte = static_cast<unsigned char>(text[bad]);
    out += "\\x";
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 15]);
  }
  out.append(text, from, std::string::npos);
  return out;
}

std::size_t live_view_connection_budget(std::size_t devices) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // The listening socket and the poller's pipe come on top of the connections.
  const unsigned long long used =
      open_descriptors() + 3 + kHostDescriptors + kDescriptorsPerDevice * devices;
  const unsigned long long total =
      limit.rlim_cur == RLIM_INFINITY ? ~0ull : static_cast<unsigned long long>(limit.rlim_cur);
  const unsigned long long spare = total > used ? total - used : 0;
  return static_cast<std::size_t>(
      std::min<unsigned long long>(HttpView::kMostConnections, spare / 2));
}

LiveView::LiveView(const std::vector<DeviceConfig>& devices, std::string history_path)
    : history_path_(std::move(history_path)) {
  for (const DeviceConfig& config : devices) {
    devices_.emplace_back();
    devices_.back().config = config;
    devices_.back().config.settings = Json::Value();  // not shown, not kept
  }
}

void LiveView::set_devices(const std::vector<DeviceConfig>& devices) {
  std::vector<Device> next(devices.size());
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    for (Device& d : devices_)
      if (d.config.id == devices[i].id) next[i] = std::move(d);
    next[i].config = devices[i];
    next[i].config.settings = Json::Value();
  }
  devices_.swap(next);  // the removed ones go with `next`, after the lock
}

void LiveView::handed_over(uint32_t device_id, const std::vector<unsigned char>& record,
                           Clock::time_point at) {
  std::shared_ptr<const std::vector<unsigned char>> copy;
  if (record.size() == qrn_record::kSize)
    copy = std::make_shared<const std::vector<unsigned char>>(record);
  std::shared_ptr<const std::string> old_json;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  for (Device& d : devices_) {
    if (d.config.id != device_id) continue;
    ++d.records;
    if (d.last_at) d.last_interval = at - *d.last_at;
    d.last_at = at;
    d.restored = false;
    d.record_wall = std::chrono::system_clock::now();
    if (copy) {
      d.record = std::move(copy);
      old_json = std::move(d.json);
    }
    return;
  }
}

LiveView::Reply LiveView::get(const std::string& path,
                              const std::multimap<std::string, std::string>& query,
                              Clock::time_point now) const {
  if (const WebAsset* asset = find_web_asset(path == "/" ? "/index.html" : path))
    return {200, asset->content_type,
            std::string(reinterpret_cast<const char*>(asset->data), asset->size)};
  const std::vector<std::string> parts = split_path(path);
  if (path == "/metrics") return metrics_reply();
  if (parts.size() < 2 || parts[0] != "api" || parts[1] != "devices")
    return error_reply(404, "no such page: " + path);
  if (parts.size() == 2) return devices_reply(now);

  const auto id = parse_decimal(parts[2], 4294967295ull);
  bool known = false;
  if (id) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Device& d : devices_) known = known || d.config.id == *id;
  }
  if (!known) return error_reply(404, "no device " + parts[2]);
  const auto device_id = static_cast<uint32_t>(*id);
  if (parts.size() == 4 && parts[3] == "record") return record_reply(device_id);
  if (parts.size() == 6 && parts[3] == "points" && parts[5] == "history") {
    const auto index = parse_decimal(parts[4], kQuorlinPointCount);
    if (!index || *index == 0)
      return error_reply(404, "device " + parts[2] + " has no point " + parts[4] + " (1 to " +
                                  std::to_string(kQuorlinPointCount) + ")");
    return history_reply(device_id, static_cast<std::size_t>(*index), query);
  }
  return error_reply(404, "no such page: " + path);
}

LiveView::Reply LiveView::devices_reply(Clock::time_point now) const {
  Json::Value root(Json::objectValue);
  root["history"] = !history_path_.empty();
  // Outside the lock: the gauges' own source takes a lock of its own.
  if (!history_path_.empty()) root["history_space"] = history_space_json();
  Json::Value& list = root["devices"] = Json::Value(Json::arrayValue);
  std::function<PublishStatus()> publish_status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    publish_status = publish_status_;
  }
  // The broker's state and each device's backlog, when publishing.
  PublishStatus published;
  if (publish_status) published = publish_status();
  if (published.enabled) {
    Json::Value& broker = root["broker"] = Json::Value(Json::objectValue);
    broker["connected"] = published.connected;
    broker["server"] = published.server;
    broker["primary_host_online"] = published.primary_host_online;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Device& d : devices_) {
    Json::Value v(Json::objectValue);
    v["id"] = Json::UInt(d.config.id);
    v["address"] = d.config.address;
    v["port"] = d.config.port;
    v["records"] = Json::UInt64(d.records);
    v["last_stamp"] = d.record ? Json::Value(qrn_record::stamp_text(d.record->data())) : Json::Value();
    if (d.last_at) {
      const Clock::duration period = std::max<Clock::duration>(kNominalPeriod, d.last_interval);
      const Clock::duration age = now - *d.last_at;
      v["state"] = age > 2 * period ? "stale" : d.restored ? "restored" : "live";
      v["age_seconds"] = std::chrono::duration<double>(age).count();
      v["period_seconds"] = std::chrono::duration<double>(period).count();
    } else {
      v["state"] = "no record yet";
      v["age_seconds"] = Json::Value();
      v["period_seconds"] = std::chrono::duration<double>(kNominalPeriod).count();
    }
    health_json(d, v);
    for (const PublishStatus::Device& p : published.devices)
      if (p.id == d.config.id) v["backlog"] = Json::UInt64(p.backlog);
    list.append(std::move(v));
  }
  return json_reply(200, root);
}

LiveView::Reply LiveView::record_reply(uint32_t id) const {
  std::shared_ptr<const std::vector<unsigned char>> record;
  std::shared_ptr<const std::string> json;
  std::shared_ptr<const qrn_report::RoundReport> report;
  std::vector<std::string> read_at;
  std::vector<uint32_t> statuses;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Device& d : devices_)
      if (d.config.id == id) {
        record = d.record;
        json = d.json;
        report = d.report;
        if (!json) {
          read_at = d.read_at;
          statuses = report ? report->statuses : d.stored_statuses;
        }
      }
  }
  if (!record) return error_reply(404, "device " + std::to_string(id) + " has no record yet");
  if (!json) {
    // Made outside the lock; the first request after a record keeps it for
    // the others unless a newer record or report came in the meantime.
    Json::Value doc = record_json(record->data(), read_points(record->data()));
    add_point_quality(doc, statuses.empty() ? nullptr : &statuses, &read_at);
    json = std::make_shared<const std::string>(json_text(doc));
    std::lock_guard<std::mutex> lock(mutex_);
    for (Device& d : devices_)
      if (d.config.id == id && d.record == record && d.report == report && !d.json) d.json = json;
  }
  return {200, kJson, *json};
}

LiveView::Reply LiveView::history_reply(uint32_t id, std::size_t index,
                                        const std::multimap<std::string, std::string>& query) const {
  int minutes = 60;
  const auto given = query.find("minutes");
  if (given != query.end()) {
    const auto number = parse_decimal(given->second, kMaxMinutes);
    if (!number || *number == 0)
      return error_reply(400, "minutes takes a whole number from 1 to " +
                                  std::to_string(kMaxMinutes) + ", not '" + given->second + "'");
    minutes = static_cast<int>(*number);
  }
  if (history_path_.empty())
    return error_reply(404, "no history: qrn-host runs without --history");

  const QuorlinPoint& point = quorlin_points[index - 1];
  std::vector<std::pair<std::string, Json::Value>> rows;
  auto take = [&](const std::string& saved_at, const unsigned char* bytes) {
    PointReading reading;
    reading.index = index - 1;
    reading.point = &point;
    reading.value = field_value(point.width, bytes);
    rows.emplace_back(saved_at, point_value_json(reading));
  };
  std::string error;
  bool timed_out = false;
  if (!read_point_trend(history_path_, id, point.offset, point.width,
                        qrn_record::local_time_ago(std::chrono::minutes(minutes)), take, error,
                        timed_out))
    return error_reply(timed_out ? 503 : 500, error);

  Json::Value root(Json::objectValue);
  root["device_id"] = Json::UInt(id);
  root["index"] = Json::UInt64(index);
  root["name"] = point.name;
  root["width"] = Json::UInt(point.width);
  root["minutes"] = minutes;
  Json::Value& values = root["values"] = Json::Value(Json::arrayValue);
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    Json::Value pair(Json::arrayValue);
    pair.append(it->first);
    pair.append(std::move(it->second));
    values.append(std::move(pair));
  }
  return json_reply(200, root);
}

HttpView::HttpView(const std::vector<DeviceConfig>& devices, const std::string& history_path)
    : view_(devices, history_path), devices_(devices.size()) {}

HttpView::~HttpView() { stop(); }

bool HttpView::start(const std::string& listen, std::string& error) {
  std::string address;
  int port = 0;
  if (!parse_listen_address(listen, address, port, error)) return false;

  HttpLimits limits;
  limits.max_connections = live_view_connection_budget(devices_);
  // An eighth per client address, but two at least (a page and its API calls).
  limits.max_per_address =
      std::min(limits.max_connections, std::max<std::size_t>(2, limits.max_connections / 8));
  if (limits.max_connections == 0) {
    error = "cannot serve the live view on " + listen +
            ": the descriptor limit leaves none to spare beside " + std::to_string(devices_) +
            " devices (raise it with ulimit -n)";
    return false;
  }
  server_ = std::make_unique<BoundedHttpServer>(limits);
  BoundedHttpServer& server = *server_;
  server.set_payload_max_length(65536);  // the view takes no bodies
  const std::string own_name = own_host_name();
  // Before routing: a page of another site gets nothing, not even an error
  // page that shows what the view serves.
  server.set_pre_routing_handler([address, own_name](const httplib::Request& req,
                                                     httplib::Response& res) {
    if (is_allowed_host(req.get_header_value("Host"), address, own_name))
      return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    Json::Value body(Json::objectValue);
    body["error"] = "host " + printable_utf8(req.get_header_value("Host")) +
                    " is not this live view's address";
    res.set_content(json_text(body), kJson);
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    const LiveView::Reply reply = view_.get(req.path, req.params, LiveView::Clock::now());
    res.status = reply.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(reply.body, reply.content_type.c_str());
  });
  // Routes that match no GET (other methods): the same JSON error.
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    Json::Value body(Json::objectValue);
    body["error"] = printable_utf8(req.method + " " + req.path + ": status " +
                                   std::to_string(res.status));
    res.set_content(json_text(body), kJson);
  });

  const int bound = server.listen_on(address, port);
  if (bound < 0) {
    error = "cannot listen on " + listen + ": " + std::strerror(errno);
    server_.reset();
    return false;
  }
  server.start_serving();
  serving_ = true;

  const bool v6 = address.find(':') != std::string::npos;
  const std::string shown = v6 ? "[" + address + "]" : address;
  std::string lines;
  if (!is_loopback_address(address))
    lines += "http: the live view has no authentication: whoever reaches " + shown + ":" +
             std::to_string(bound) + " can read it\n";
  lines += "http: live view at http://" + shown + ":" + std::to_string(bound) + "/\n";
  std::fputs(lines.c_str(), stdout);
  std::fflush(stdout);
  return true;
}

void HttpView::on_event(const qrn_host::Event& e) {
  if (!serving_ || e.kind != qrn_host::EventKind::SendSP) return;
  if (e.data_id == qrn_record::kDataId)
    view_.handed_over(e.device_id, e.bytes, LiveView::Clock::now());
  else
    view_.reported(e.device_id, e.bytes);
}

void HttpView::restored(uint32_t device_id, const std::vector<unsigned char>& stored,
                        std::vector<uint32_t> statuses, std::vector<std::string> read_at) {
  if (serving_) view_.restored(device_id, stored, std::move(statuses), std::move(read_at));
}

void HttpView::stop() {
  serving_ = false;
  if (!server_) return;
  server_->stop_serving();
  server_.reset();
}
