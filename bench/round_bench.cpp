// Times one full sampling round of the driver against the bare client
// sequence the round has to perform (connect, one read per point, delete),
// alternately against the same in-process plant server.
#include "certificates.h"
#include "host_stub.h"
#include "plant_server.h"
#include "point_table.h"
#include "quorlin.h"
#include "security.h"

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>

namespace {

using Clock = std::chrono::steady_clock;

class BenchDevice : public Quorlin {
 public:
  explicit BenchDevice(uint16_t port) {
    device_id_ = 1;
    server_ip_ = "127.0.0.1";
    server_port_ = port;
  }
  void secure(const Json::Value& settings) { security_.configure(settings, device_id_); }
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

// A certificate and key made for the run, written where the settings find them.
std::string write_identity(const std::string& dir, const char* name, const char* uri,
                           std::string& key_path) {
  Bytes cert, key;
  if (!create_certificate(uri, 1, cert, key).empty()) return {};
  const std::string cert_path = dir + "/" + name + "-cert.der";
  key_path = dir + "/" + name + "-key.der";
  for (const auto& [path, bytes] : {std::make_pair(cert_path, &cert), std::make_pair(key_path, &key)}) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return {};
    std::fwrite(bytes->data(), 1, bytes->size(), f);
    std::fclose(f);
  }
  return cert_path;
}

// Rounds with SignAndEncrypt (Basic256Sha256, user name) against rounds
// without security, alternately on one plant server offering both, and the
// connect alone (session open and close) of each.
int security_bench(int pairs) {
  char pattern[] = "/tmp/qrn-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  std::string client_key, server_key;
  const std::string client_cert = write_identity(dir, "client", "urn:quorlin:bench:client", client_key);
  const std::string server_cert = write_identity(dir, "plant", "urn:quorlin:bench:plant", server_key);
  std::filesystem::create_directory(dir + "/trusted");
  std::filesystem::copy_file(server_cert, dir + "/trusted/plant.der");

  plant::PlantOptions options;
  options.security.certificate = server_cert;
  options.security.private_key = server_key;
  options.security.policies = {"None", "Basic256Sha256"};
  options.security.sign = false;
  options.security.users = {{"bench", "bench-password"}};
  plant::PlantServer server(options);
  server.fill_distinct(1);
  server.start();

  Json::Value settings(Json::objectValue);
  Json::Value& opcua = settings["opcua"];
  opcua["security_mode"] = "SignAndEncrypt";
  opcua["security_policy"] = "Basic256Sha256";
  opcua["certificate"] = client_cert;
  opcua["private_key"] = client_key;
  opcua["trusted_servers"] = dir + "/trusted";
  opcua["user"] = "bench";
  opcua["password"] = "bench-password";
  const SecurityLoad load = load_session_security(settings);
  BenchDevice plain(server.port()), secure(server.port());
  secure.secure(settings);
  if (!load.security) {
    std::fprintf(stderr, "security settings refused: %s\n", load.problems.front().c_str());
    return 1;
  }

  const std::string endpoint = server.endpoint();
  auto connect_ms = [&](const SessionSecurity* security) {
    const auto t = Clock::now();
    ClientSession session;
    const bool ok = connect_secure(session, endpoint, security) == UA_STATUSCODE_GOOD;
    session.close();
    return ok ? ms_since(t) : -1.0;
  };
  std::vector<double> plain_ms, secure_ms, plain_connect, secure_connect;
  plain.do_sample();  // warm-up
  secure.do_sample();
  std::size_t sent = 0;
  qrn_host::set_hook([&sent](const qrn_host::Event& e) {
    if (e.kind == qrn_host::EventKind::SendSP) ++sent;
  });
  for (int i = 0; i < pairs; ++i) {
    auto t = Clock::now();
    plain.do_sample();
    plain_ms.push_back(ms_since(t));
    t = Clock::now();
    secure.do_sample();
    secure_ms.push_back(ms_since(t));
    plain_connect.push_back(connect_ms(nullptr));
    secure_connect.push_back(connect_ms(load.security.get()));
  }
  qrn_host::set_hook(nullptr);
  server.stop();
  std::filesystem::remove_all(dir);
  const bool failed =
      std::count(plain_connect.begin(), plain_connect.end(), -1.0) +
          std::count(secure_connect.begin(), secure_connect.end(), -1.0) >
      0;
  if (failed || sent != static_cast<std::size_t>(2 * pairs)) {
    std::fprintf(stderr, "a round or connect failed (%zu of %d rounds handed over)\n", sent,
                 2 * pairs);
    return 1;
  }
  const double p = median(plain_ms), s = median(secure_ms);
  const double pc = median(plain_connect), sc = median(secure_connect);
  std::fprintf(stderr,
               "rounds: %d pairs, %zu reads each, one plant server offering both\n"
               "None round                     median %8.1f ms\n"
               "SignAndEncrypt round           median %8.1f ms\n"
               "ratio SignAndEncrypt/None             %8.3f\n"
               "None connect+close             median %8.2f ms\n"
               "SignAndEncrypt connect+close   median %8.2f ms\n",
               pairs, kQuorlinPointCount, p, s, s / p, pc, sc);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // --security: SignAndEncrypt against None instead of driver against bare client.
  const bool security = argc > 1 && std::strcmp(argv[argc - 1], "--security") == 0;
  if (security) --argc;
  const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  qrn_host::set_recording(false);
  // The round's own "rvSize" line is not part of what is measured here.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  if (security) return security_bench(pairs);

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
