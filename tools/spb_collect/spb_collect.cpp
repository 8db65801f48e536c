// spb_collect: a Sparkplug B subscriber for tests, the benchmark and users.
// Subscribes to spBv1.0/# on a broker and prints one JSON line per message;
// with --records DIR it rebuilds each device's record from its DBIRTH and
// DDATA and writes it after each as DIR/<device>-<round_time_ms>.bin.
//
//   spb_collect HOST:PORT [--records DIR] [--count N] [--topic FILTER]
#include "record.h"
#include "sparkplug_payload.h"

#include <json/writer.h>
#include <mosquitto.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Collector {
  std::string filter = "spBv1.0/#";
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
  if (c.records_dir.empty() || !round) return;
  const std::string path =
      c.records_dir + "/" + parts[4] + "-" + std::to_string(round->number) + ".bin";
  if (write_file(path, it->second))
    line["record"] = path;
  else
    line["record_error"] = "cannot write " + path;
}

void print(Collector& c, const Json::Value& line) {
  const std::string text = Json::writeString(c.writer, line);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
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
  if (const sparkplug::Metric* round = sparkplug::round_time_metric(payload))
    line["round_time"] = Json::UInt64(round->number);
  if (const sparkplug::Metric* round_seq = sparkplug::round_seq_metric(payload))
    line["round_seq"] = Json::UInt64(round_seq->number);
  std::size_t historical = 0;
  for (const sparkplug::Metric& m : payload.metrics) historical += m.historical ? 1 : 0;
  line["historical"] = historical > 0;
  line["historical_metrics"] = Json::UInt64(historical);
  if (parts.size() == 5 && (type == "DBIRTH" || type == "DDATA"))
    rebuild(c, parts, type, payload, line);
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
               "[--topic FILTER]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Collector c;
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
    } else if (address.empty() && arg.rfind("--", 0) != 0) {
      address = arg;
    } else {
      return usage(("unexpected argument " + arg).c_str());
    }
  }
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return usage("give the broker as HOST:PORT");
  const std::string host = address.substr(0, colon);
  char* end = nullptr;
  const long port = std::strtol(address.c_str() + colon + 1, &end, 10);
  if (*end || port < 1 || port > 65535) return usage("the port is 1 to 65535");
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
  return 0;
}
