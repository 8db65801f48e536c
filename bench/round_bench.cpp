// Times one full sampling round of the driver against the bare client
// sequence the round has to perform (connect, one read per point, delete),
// alternately against the same in-process plant server.
#include "host_stub.h"
#include "plant_server.h"
#include "point_table.h"
#include "quorlin.h"

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class BenchDevice : public Quorlin {
 public:
  explicit BenchDevice(uint16_t port) {
    device_id_ = 1;
    server_ip_ = "127.0.0.1";
    server_port_ = port;
  }
};

bool bare_round(const std::string& endpoint) {
  UA_Client* client = UA_Client_new();
  UA_ClientConfig_setDefault(UA_Client_getConfig(client));
  if (UA_Client_connect(client, endpoint.c_str()) != UA_STATUSCODE_GOOD) {
    UA_Client_delete(client);
    return false;
  }
  for (const QuorlinPoint& p : quorlin_points) {
    UA_Variant v;
    UA_Variant_init(&v);
    UA_Client_readValueAttribute(client, UA_NODEID_STRING(1, const_cast<char*>(p.name)), &v);
    UA_Variant_clear(&v);
  }
  UA_Client_delete(client);
  return true;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  qrn_host::set_recording(false);
  // The round's own "rvSize" line is not part of what is measured here.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;

  plant::PlantServer server;
  server.fill_distinct(1);
  server.start();
  const std::string endpoint = server.endpoint();
  BenchDevice device(server.port());

  std::vector<double> driver_ms, bare_ms;
  device.do_sample();  // warm-up: first connection, page faults
  bare_round(endpoint);
  for (int i = 0; i < pairs; ++i) {
    auto t = Clock::now();
    device.do_sample();
    driver_ms.push_back(ms_since(t));
    t = Clock::now();
    bare_round(endpoint);
    bare_ms.push_back(ms_since(t));
  }
  server.stop();

  const double d = median(driver_ms), b = median(bare_ms);
  std::fprintf(stderr,
               "rounds: %d pairs, %zu reads each\n"
               "driver round  median %8.1f ms\n"
               "bare sequence median %8.1f ms\n"
               "ratio driver/bare    %8.3f\n",
               pairs, kQuorlinPointCount, d, b, d / b);
  return 0;
}
