// spb_collect: a Sparkplug B subscriber for tests, the benchmark and users.
// Subscribes to spBv1.0/# on a broker and prints one JSON line per message
// (with its arrival time); with --records DIR it rebuilds each device's
// record from its DBIRTH and DDATA and writes it after each as
// DIR/<device>-<round_time_ms>.bin. With
// --verify it prints, once stopped, each device's records by "Round/Seq"
// (gaps, duplicates, out of order) instead, and exits 1 on any gap.
//
//   spb_collect HOST:PORT [--records DIR] [--count N] [--topic FILTER] [--verify]
#include "record.h"
#include "sparkplug_payload.h"

#include <json/writer.h>
#include <mosquitto.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// What one device's DBIRTH and DDATA said about its records, by "Round/Seq".
// A birth states a record: one seen again in a birth or a DDATA is no
// duplicate; a DDATA repeating one an earlier DDATA carried is.
struct DeviceTally {
  bool has_alias = false;  // Round/Seq's alias, from the last DBIRTH
  uint64_t alias = 0;
  std::set<uint64_t> records;  // every Round/Seq seen
  std::set<uint64_t> data;     // the ones DDATA carried
  uint64_t duplicates = 0;
  uint64_t out_of_order = 0;  // first copies below their stream's newest
  uint64_t without_seq = 0;   // DBIRTH and DDATA without a readable Round/Seq
  uint64_t newest[2] = {0, 0};  // per stream: live, historical
  bool any[2] = {false, false};
};

struct Collector {
  std::string filter = "spBv1.0/#";
  bool verify = false;  // tally by Round/Seq instead of printing each message
  std::map<std::string, DeviceTally> tallies;  // by group/node/device
  std::string records_dir;  // empty: no records written
  long count = -1;          // messages to print before exiting; -1: no limit
  std::map<std::string, std::vector<unsigned char>> images;  // by group/node/device
  bool subscribed = false;
  Json::StreamWriterBuilder writer;
};

std::vector<std::string> split(const std::string& topic) {
  std::vector<std::string> parts(1);
  for (char c : topic) {
    if (c == '/')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// The device id a device name stands for: its decimal digits, else 0.
uint32_t device_id_of(const std::string& name) {
  if (name.empty() || name.size() > 10 || name.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const unsigned long long v = std::strtoull(name.c_str(), nullptr, 10);
  return v > 0xffffffffULL ? 0 : static_cast<uint32_t>(v);
}

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The rebuilt record of a DBIRTH (from zeros) or DDATA (over the last one),
// written when the message carries a round time. Its path, or why not.
void rebuild(Collector& c, const std::vector<std::string>& parts, const std::string& type,
             const sparkplug::Payload& payload, Json::Value& line) {
  const std::string key = parts[1] + "/" + parts[3] + "/" + parts[4];
  auto it = c.images.find(key);
  if (type == "DBIRTH") {
    it = c.images.insert_or_assign(key, std::vector<unsigned char>(qrn_record::kSize, 0)).first;
  } else if (it == c.images.end()) {
    line["record_error"] = "no DBIRTH seen";
    return;
  }
  std::string error;
  if (!sparkplug::apply_to_record(payload, device_id_of(parts[4]), it->second.data(), error)) {
    line["record_error"] = error;
    c.images.erase(it);  // no longer the device's record
    return;
  }
  const sparkplug::Metric* round = sparkplug::round_time_metric(payload);
  if (c.records_dir.empty() || !round || round->is_null) return;  // null: no record yet
  const std::string path =
      c.records_dir + "/" + parts[4] + "-" + std::to_string(round->number) + ".bin";
  if (write_file(path, it->second))
    line["record"] = path;
  else
    line["record_error"] = "cannot write " + path;
}

// A DBIRTH's "Round/Seq" (by name; its alias is learned for the DDATA that
// follow, also from a null one) or a DDATA's (by that alias, or by name);
// null when absent or not a number.
const sparkplug::Metric* round_seq_metric(DeviceTally& t, const std::string& type,
                                          const sparkplug::Payload& payload) {
  const bool birth = type == "DBIRTH";
  if (birth) t.has_alias = false;
  for (const sparkplug::Metric& m : payload.metrics) {
    const bool named = m.name == "Round/Seq";
    if (!named && !(t.has_alias && m.has_alias && m.alias == t.alias)) continue;
    if (birth && m.has_alias) {
      t.has_alias = true;
      t.alias = m.alias;
    }
    if (m.is_null || m.kind == sparkplug::ValueKind::Long || m.kind == sparkplug::ValueKind::Int)
      return &m;
    return nullptr;
  }
  return nullptr;
}

// Tallies a device's DBIRTH or DDATA; its Round/Seq goes into `line` and
// leaves the payload, which then holds the record's metrics alone.
void tally(Collector& c, const std::string& key, const std::string& type,
           sparkplug::Payload& payload, Json::Value& line) {
  DeviceTally& t = c.tallies[key];
  const sparkplug::Metric* m = round_seq_metric(t, type, payload);
  if (m && m->is_null) {
    // A birth before the device's first record numbers nothing; one with a
    // record saved before rows were numbered carries a record without one.
    const sparkplug::Metric* round = sparkplug::round_time_metric(payload);
    if (round && !round->is_null) ++t.without_seq;
    payload.metrics.erase(payload.metrics.begin() + (m - payload.metrics.data()));
    return;
  }
  if (!m) {
    ++t.without_seq;
    return;
  }
  const uint64_t seq = m->number;
  const bool historical = m->historical;
  payload.metrics.erase(payload.metrics.begin() + (m - payload.metrics.data()));
  line["round_seq"] = Json::UInt64(seq);
  const bool first = t.records.insert(seq).second;
  if (type != "DDATA") return;
  if (!t.data.insert(seq).second) {
    ++t.duplicates;
    return;
  }
  const int stream = historical ? 1 : 0;
  if (first && t.any[stream] && seq < t.newest[stream]) ++t.out_of_order;
  if (!t.any[stream] || seq > t.newest[stream]) t.newest[stream] = seq;
  t.any[stream] = true;
}

struct Totals {
  uint64_t devices = 0, records = 0, gaps = 0, missing = 0, duplicates = 0, out_of_order = 0,
           without_seq = 0;
};

// One device's line: its records, the gaps between its lowest and highest
// Round/Seq (the first ten as ranges), duplicates, out of order.
void print_tally(const std::string& key, const DeviceTally& t, Totals& sum) {
  uint64_t gaps = 0, missing = 0;
  std::string ranges;
  uint64_t expected = t.records.empty() ? 0 : *t.records.begin();
  for (uint64_t seq : t.records) {
    if (seq != expected) {
      ++gaps;
      missing += seq - expected;
      if (gaps <= 10)
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(expected) +
                  (seq - 1 > expected ? "-" + std::to_string(seq - 1) : "");
    }
    expected = seq + 1;
  }
  std::string span = t.records.empty() ? "" :
      " (Round/Seq " + std::to_string(*t.records.begin()) + " to " +
      std::to_string(*t.records.rbegin()) + ")";
  std::printf("%s: %zu records%s, %llu gaps (%llu missing%s%s), %llu duplicates, "
              "%llu out of order, %llu without Round/Seq\n",
              key.c_str(), t.records.size(), span.c_str(),
              static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(missing),
              ranges.empty() ? "" : ": ", ranges.c_str(),
              static_cast<unsigned long long>(t.duplicates),
              static_cast<unsigned long long>(t.out_of_order),
              static_cast<unsigned long long>(t.without_seq));
  ++sum.devices;
  sum.records += t.records.size();
  sum.gaps += gaps;
  sum.missing += missing;
  sum.duplicates += t.duplicates;
  sum.out_of_order += t.out_of_order;
  sum.without_seq += t.without_seq;
}

// Every device's line and the totals. 0 when records came and none is
// missing and every DBIRTH and DDATA carried Round/Seq; 1 otherwise.
int print_verification(const Collector& c) {
  Totals sum;
  for (const auto& [key, t] : c.tallies) print_tally(key, t, sum);
  const bool complete = sum.records > 0 && sum.missing == 0 && sum.without_seq == 0;
  std::printf("total: %llu devices, %llu records, %llu gaps (%llu missing), %llu duplicates, "
              "%llu out of order, %llu without Round/Seq: %s\n",
              static_cast<unsigned long long>(sum.devices),
              static_cast<unsigned long long>(sum.records), static_cast<unsigned long long>(sum.gaps),
              static_cast<unsigned long long>(sum.missing),
              static_cast<unsigned long long>(sum.duplicates),
              static_cast<unsigned long long>(sum.out_of_order),
              static_cast<unsigned long long>(sum.without_seq),
              complete ? "complete" : sum.records == 0 ? "nothing to verify" : "INCOMPLETE");
  std::fflush(stdout);
  return complete ? 0 : 1;
}

void print(Collector& c, const Json::Value& line) {
  if (!c.verify) {
    const std::string text = Json::writeString(c.writer, line);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  if (c.count > 0 && --c.count == 0) g_stop = 1;
}

void on_message(struct mosquitto*, void* obj, const struct mosquitto_message* msg) {
  Collector& c = *static_cast<Collector*>(obj);
  const std::string topic = msg->topic ? msg->topic : "";
  const auto* bytes = static_cast<const unsigned char*>(msg->payload);
  const std::size_t size = msg->payloadlen > 0 ? static_cast<std::size_t>(msg->payloadlen) : 0;
  const std::vector<std::string> parts = split(topic);
  Json::Value line;
  line["topic"] = topic;
  // Arrival, ms since the epoch: the benchmark's lags include the link's.
  line["received"] = Json::UInt64(std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch()).count());
  if (parts.size() == 3 && parts[0] == "spBv1.0" && parts[1] == "STATE") {
    line["type"] = "STATE";
    line["host"] = parts[2];
    line["payload"] = std::string(bytes ? reinterpret_cast<const char*>(bytes) : "", size);
    print(c, line);
    return;
  }
  if (parts.size() < 4 || parts.size() > 5 || parts[0] != "spBv1.0") {
    line["error"] = "not a Sparkplug B topic";
    print(c, line);
    return;
  }
  const std::string& type = parts[2];
  line["type"] = type;
  line["group"] = parts[1];
  line["node"] = parts[3];
  if (parts.size() == 5) line["device"] = parts[4];
  sparkplug::Payload payload;
  if (!sparkplug::decode_payload(bytes, size, payload)) {
    line["error"] = "undecodable payload";
    print(c, line);
    return;
  }
  if (payload.has_seq) line["seq"] = Json::UInt64(payload.seq);
  if (payload.has_timestamp) line["timestamp"] = Json::UInt64(payload.timestamp);
  line["metrics"] = Json::UInt64(payload.metrics.size());
  if (const sparkplug::Metric* bd = payload.metric("bdSeq"))
    line["bdSeq"] = Json::UInt64(bd->number);
  const sparkplug::Metric* round = sparkplug::round_time_metric(payload);
  if (round && !round->is_null) line["round_time"] = Json::UInt64(round->number);
  const sparkplug::Metric* round_seq = sparkplug::round_seq_metric(payload);
  if (round_seq && !round_seq->is_null) line["round_seq"] = Json::UInt64(round_seq->number);
  std::size_t historical = 0;
  for (const sparkplug::Metric& m : payload.metrics) historical += m.historical ? 1 : 0;
  line["historical"] = historical > 0;
  line["historical_metrics"] = Json::UInt64(historical);
  if (parts.size() == 5 && (type == "DBIRTH" || type == "DDATA")) {
    tally(c, parts[1] + "/" + parts[3] + "/" + parts[4], type, payload, line);
    rebuild(c, parts, type, payload, line);
  }
  print(c, line);
}

void on_connect(struct mosquitto* mosq, void* obj, int rc) {
  Collector& c = *static_cast<Collector*>(obj);
  if (rc != 0) {
    std::fprintf(stderr, "spb_collect: connection refused: %s\n", mosquitto_connack_string(rc));
    return;
  }
  const int sub = mosquitto_subscribe(mosq, nullptr, c.filter.c_str(), 1);
  if (sub != MOSQ_ERR_SUCCESS)
    std::fprintf(stderr, "spb_collect: subscribing: %s\n", mosquitto_strerror(sub));
}

void on_subscribe(struct mosquitto*, void* obj, int, int, const int*) {
  Collector& c = *static_cast<Collector*>(obj);
  // Tests wait for this line before they publish.
  std::fprintf(stderr, "spb_collect: subscribed to %s\n", c.filter.c_str());
  c.subscribed = true;
}

int usage(const char* why) {
  std::fprintf(stderr,
               "spb_collect: %s\nusage: spb_collect HOST:PORT [--records DIR] [--count N] "
               "[--topic FILTER] [--verify]\n",
               why);
  return 2;
}

// The options into `c`, the broker into host and port; 0, or usage()'s 2.
int parse_args(int argc, char** argv, Collector& c, std::string& host, long& port) {
  std::string address;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--records" && has_value) {
      c.records_dir = argv[++i];
    } else if (arg == "--count" && has_value) {
      char* end = nullptr;
      c.count = std::strtol(argv[++i], &end, 10);
      if (*end || c.count <= 0) return usage("--count takes a positive number");
    } else if (arg == "--topic" && has_value) {
      c.filter = argv[++i];
    } else if (arg == "--verify") {
      c.verify = true;
    } else if (address.empty() && arg.rfind("--", 0) != 0) {
      address = arg;
    } else {
      return usage(("unexpected argument " + arg).c_str());
    }
  }
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return usage("give the broker as HOST:PORT");
  host = address.substr(0, colon);
  char* end = nullptr;
  port = std::strtol(address.c_str() + colon + 1, &end, 10);
  if (*end || port < 1 || port > 65535) return usage("the port is 1 to 65535");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Collector c;
  std::string host;
  long port = 0;
  if (const int bad = parse_args(argc, argv, c, host, port)) return bad;
  const std::string address = host + ":" + std::to_string(port);
  c.writer["indentation"] = "";
  c.writer["emitUTF8"] = true;

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  mosquitto_lib_init();
  const std::string client_id = "spb_collect-" + std::to_string(getpid());
  struct mosquitto* mosq = mosquitto_new(client_id.c_str(), true, &c);
  if (!mosq) {
    std::fprintf(stderr, "spb_collect: cannot make an MQTT client\n");
    mosquitto_lib_cleanup();
    return 1;
  }
  mosquitto_connect_callback_set(mosq, on_connect);
  mosquitto_subscribe_callback_set(mosq, on_subscribe);
  mosquitto_message_callback_set(mosq, on_message);
  // One line per change between connected and not, however long it lasts.
  bool connected = false, said_down = false;
  int rc = mosquitto_connect(mosq, host.c_str(), static_cast<int>(port), 30);
  while (!g_stop) {
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop(mosq, 100, 1);
    if (rc == MOSQ_ERR_SUCCESS) {
      connected = true;
      said_down = false;
      continue;
    }
    if (connected || !said_down)
      std::fprintf(stderr, "spb_collect: not connected to %s: %s\n", address.c_str(),
                   mosquitto_strerror(rc));
    connected = false;
    said_down = true;
    c.subscribed = false;
    for (int t = 0; t < 10 && !g_stop; ++t) usleep(100 * 1000);
    if (!g_stop) rc = mosquitto_reconnect(mosq);
  }
  mosquitto_disconnect(mosq);
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
  return c.verify ? print_verification(c) : 0;
}
