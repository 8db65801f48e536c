// Times sampling rounds of the driver in both read modes against the
// in-process plant server, directly and through a relay that delays each
// direction (a network's latency): wall time and the calling thread's CPU
// time per round, as medians, with the single/batched ratios. Also the
// single mode against the bare client sequence it has to perform, and the
// read phase alone with one request or several in flight. With --security:
// rounds and connects with SignAndEncrypt against None. With --keep: batched
// rounds on a session per round, on a kept session, and the bare read on a
// session open throughout, without and with SignAndEncrypt, directly and
// through the relay.
#include "certificates.h"
#include "endpoint.h"
#include "host_stub.h"
#include "plant_server.h"
#include "point_table.h"
#include "quorlin.h"
#include "relay.h"
#include "value_copy.h"
#include "security.h"

#include <open62541/client_config_default.h>
#include <open62541/client_highlevel.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double wall_ms;
  double cpu_ms;
};

double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Wall and this thread's CPU time of one call.
Sample timed(const std::function<void()>& f) {
  const double cpu = thread_cpu_ms();
  const auto t = Clock::now();
  f();
  return {std::chrono::duration<double, std::milli>(Clock::now() - t).count(),
          thread_cpu_ms() - cpu};
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Medians {
  double wall_ms = 0;
  double cpu_ms = 0;
};

Medians medians(const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const Sample& s : samples) {
    wall.push_back(s.wall_ms);
    cpu.push_back(s.cpu_ms);
  }
  return {median(wall), median(cpu)};
}

Json::Value settings_for(bool batch, bool keep = false) {
  Json::Value settings(Json::objectValue);
  if (batch) settings["appSetting"]["read_mode"] = "batch";
  if (keep) settings["appSetting"]["session"] = "keep";
  return settings;
}

class BenchDevice : public Quorlin {
 public:
  BenchDevice(uint16_t port, bool batch, bool keep = false) {
    device_id_ = 1;
    server_ip_ = "127.0.0.1";
    server_port_ = port;
    apply_read_settings(settings_for(batch, keep));
  }
  // The read phase alone, on a session connected beforehand.
  Sample read_phase() {
    ClientSession session;
    session.connect(endpoint_url("127.0.0.1", server_port_));
    WorkingRecord work;
    return timed([&] { round().read_points(session, work); });
  }
  void secure(const Json::Value& settings) { round().security().configure(settings, device_id_); }
};

// Copies each batched result into a record as the device would.
struct CopySink final : PointSink {
  Quorlin_Data_t record{};
  Step take(std::size_t i, UA_StatusCode status, UA_DataValue& value) override {
    if (!UA_StatusCode_isBad(status))
      copy_value_to_field(value.value, reinterpret_cast<unsigned char*>(&record) +
                                           quorlin_points[i].offset,
                          quorlin_points[i].width);
    UA_DataValue_clear(&value);
    return Step::Next;
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

// The round trip of a one-node read on an open session.
double read_rtt_ms(uint16_t port, int count) {
  ClientSession session;
  session.connect(endpoint_url("127.0.0.1", port));
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    UA_DataValue dv;
    UA_DataValue_init(&dv);
    const UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(quorlin_points[0].name));
    ms.push_back(timed([&] { session.read_value(node, &dv); }).wall_ms);
    UA_DataValue_clear(&dv);
  }
  return median(ms);
}

struct PathResult {
  Medians round[2];  // single, batched
  Medians reads[2];
  Medians window[2];  // batched read phase: one request in flight, all
  double rtt_ms = 0;
};

PathResult measure(uint16_t port, int single_rounds, int batch_rounds) {
  PathResult r;
  r.rtt_ms = read_rtt_ms(port, 51);
  for (int b = 0; b < 2; ++b) {
    BenchDevice device(port, b == 1);
    const int rounds = b ? batch_rounds : single_rounds;
    device.do_sample();  // warm-up: first connection, page faults, learned sizes
    std::vector<Sample> round, reads;
    for (int i = 0; i < rounds; ++i) {
      round.push_back(timed([&] { device.do_sample(); }));
      reads.push_back(device.read_phase());
    }
    r.round[b] = medians(round);
    r.reads[b] = medians(reads);
  }
  for (int w = 0; w < 2; ++w) {
    BatchReader reader;
    reader.set_window(w == 0 ? 1 : BatchReader::kMaxWindow);
    std::vector<Sample> reads;
    for (int i = 0; i <= batch_rounds; ++i) {
      ClientSession session;
      session.connect(endpoint_url("127.0.0.1", port));
      CopySink sink;
      const Sample s = timed([&] { reader.read(session, kDefaultMaxNodesPerRead, 1, sink); });
      if (i > 0) reads.push_back(s);  // the first one warms up
    }
    r.window[w] = medians(reads);
  }
  return r;
}

void print(const char* path, const PathResult& r, int single_rounds, int batch_rounds) {
  std::fprintf(stderr, "\n%s (one-node read round trip, median %.3f ms)\n", path, r.rtt_ms);
  std::fprintf(stderr, "  %-24s %7s %12s %12s\n", "", "rounds", "wall ms", "client cpu ms");
  const char* names[2] = {"single", "batch"};
  for (int b = 0; b < 2; ++b) {
    const int rounds = b ? batch_rounds : single_rounds;
    std::fprintf(stderr, "  %-24s %7d %12.3f %12.3f\n",
                 (std::string(names[b]) + " round").c_str(), rounds, r.round[b].wall_ms,
                 r.round[b].cpu_ms);
    std::fprintf(stderr, "  %-24s %7d %12.3f %12.3f\n",
                 (std::string(names[b]) + " read phase").c_str(), rounds, r.reads[b].wall_ms,
                 r.reads[b].cpu_ms);
  }
  std::fprintf(stderr, "  %-24s %7d %12.3f %12.3f\n", "batch reads, 1 in flight", batch_rounds,
               r.window[0].wall_ms, r.window[0].cpu_ms);
  std::fprintf(stderr, "  %-24s %7d %12.3f %12.3f\n", "batch reads, 7 in flight", batch_rounds,
               r.window[1].wall_ms, r.window[1].cpu_ms);
  std::fprintf(stderr, "  ratio single/batch: round wall %.1f, round cpu %.1f; read phase wall %.1f, cpu %.1f\n",
               r.round[0].wall_ms / r.round[1].wall_ms, r.round[0].cpu_ms / r.round[1].cpu_ms,
               r.reads[0].wall_ms / r.reads[1].wall_ms, r.reads[0].cpu_ms / r.reads[1].cpu_ms);
  std::fprintf(stderr, "  ratio 1/7 in flight: wall %.2f\n", r.window[0].wall_ms / r.window[1].wall_ms);
  std::fprintf(stderr, "  batch read phase %.3f ms against 2 RTT + 3 ms = %.3f ms; cpu per round %.3f ms\n",
               r.reads[1].wall_ms, 2 * r.rtt_ms + 3, r.round[1].cpu_ms);
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

// A plant server offering None and SignAndEncrypt (Basic256Sha256, user
// name), its identities in a temporary folder, and the client settings for
// its secure side. Stops the server and removes the folder when done.
struct SecurePlant {
  std::string dir;
  Json::Value settings{Json::objectValue};
  std::unique_ptr<plant::PlantServer> server;

  SecurePlant() {
    char pattern[] = "/tmp/qrn-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    std::string client_key, server_key;
    const std::string client_cert =
        write_identity(dir, "client", "urn:quorlin:bench:client", client_key);
    const std::string server_cert =
        write_identity(dir, "plant", "urn:quorlin:bench:plant", server_key);
    std::filesystem::create_directory(dir + "/trusted");
    std::filesystem::copy_file(server_cert, dir + "/trusted/plant.der");
    plant::PlantOptions options;
    options.security.certificate = server_cert;
    options.security.private_key = server_key;
    options.security.policies = {"None", "Basic256Sha256"};
    options.security.sign = false;
    options.security.users = {{"bench", "bench-password"}};
    server = std::make_unique<plant::PlantServer>(options);
    server->fill_distinct(1);
    server->start();
    Json::Value& opcua = settings["opcua"];
    opcua["security_mode"] = "SignAndEncrypt";
    opcua["security_policy"] = "Basic256Sha256";
    opcua["certificate"] = client_cert;
    opcua["private_key"] = client_key;
    opcua["trusted_servers"] = dir + "/trusted";
    opcua["user"] = "bench";
    opcua["password"] = "bench-password";
  }
  ~SecurePlant() {
    if (server) server->stop();
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  SecurePlant(const SecurePlant&) = delete;
  SecurePlant& operator=(const SecurePlant&) = delete;
};

// Rounds with SignAndEncrypt (Basic256Sha256, user name) against rounds
// without security, alternately on one plant server offering both, in both
// read modes, and the session's connect and close alone for each.
int security_bench(int rounds) {
  SecurePlant bench;
  if (!bench.server) return 1;
  plant::PlantServer& server = *bench.server;
  const Json::Value& settings = bench.settings;
  const SecurityLoad load = load_session_security(settings);
  if (!load.security) {
    std::fprintf(stderr, "security settings refused: %s\n", load.problems.front().c_str());
    return 1;
  }
  const std::string endpoint = server.endpoint();
  std::size_t sent = 0;
  qrn_host::set_hook([&sent](const qrn_host::Event& e) {
    if (e.kind == qrn_host::EventKind::SendSP) ++sent;
  });
  // [batch][secure]: rounds, alternately plain and secure, per read mode.
  std::vector<Sample> round[2][2];
  for (int batch = 0; batch < 2; ++batch) {
    BenchDevice plain(server.port(), batch == 1), secure(server.port(), batch == 1);
    secure.secure(settings);
    plain.do_sample();  // warm-up
    secure.do_sample();
    for (int i = 0; i < rounds; ++i) {
      round[batch][0].push_back(timed([&] { plain.do_sample(); }));
      round[batch][1].push_back(timed([&] { secure.do_sample(); }));
    }
  }
  // The session's connect and close alone.
  std::vector<Sample> connect[2];
  bool connected = true;
  for (int i = 0; i < rounds; ++i) {
    for (int sec = 0; sec < 2; ++sec) {
      connect[sec].push_back(timed([&] {
        ClientSession session;
        connected &= connect_secure(session, endpoint, sec ? load.security.get() : nullptr) ==
                     UA_STATUSCODE_GOOD;
        session.close();
      }));
    }
  }
  qrn_host::set_hook(nullptr);
  const std::size_t expected = 4 * static_cast<std::size_t>(rounds + 1);
  if (!connected || sent != expected) {
    std::fprintf(stderr, "a round or connect failed (%zu of %zu rounds handed over)\n", sent,
                 expected);
    return 1;
  }
  std::fprintf(stderr,
               "SignAndEncrypt (Basic256Sha256, user name) against None, one plant server "
               "offering both, %d rounds each\n  %-28s %12s %14s\n",
               rounds, "", "wall ms", "client cpu ms");
  const char* modes[2] = {"single", "batch"};
  for (int batch = 0; batch < 2; ++batch) {
    const Medians none = medians(round[batch][0]), secure = medians(round[batch][1]);
    std::fprintf(stderr, "  %-28s %12.3f %14.3f\n", (std::string(modes[batch]) + " round, None").c_str(),
                 none.wall_ms, none.cpu_ms);
    std::fprintf(stderr, "  %-28s %12.3f %14.3f\n",
                 (std::string(modes[batch]) + " round, SignAndEncrypt").c_str(), secure.wall_ms,
                 secure.cpu_ms);
    std::fprintf(stderr, "  %-28s %12.2f %14.2f\n", "  ratio SignAndEncrypt/None",
                 secure.wall_ms / none.wall_ms, secure.cpu_ms / none.cpu_ms);
  }
  const Medians none = medians(connect[0]), secure = medians(connect[1]);
  std::fprintf(stderr, "  %-28s %12.3f %14.3f\n  %-28s %12.3f %14.3f\n",
               "connect+close, None", none.wall_ms, none.cpu_ms, "connect+close, SignAndEncrypt",
               secure.wall_ms, secure.cpu_ms);
  return 0;
}

// Batched rounds on a session per round and on a kept session, alternately,
// against the bare read on a session open throughout (the floor).
void keep_compare(const char* path, uint16_t port, int rounds, const Json::Value& opcua,
                  const SessionSecurity* security) {
  BenchDevice per_round(port, true), kept(port, true, true);
  per_round.secure(opcua);
  kept.secure(opcua);
  ClientSession open;
  const bool connected =
      connect_secure(open, endpoint_url("127.0.0.1", port), security) == UA_STATUSCODE_GOOD;
  BatchReader reader;
  per_round.do_sample();  // warm-up; the kept device opens its session here
  kept.do_sample();
  std::vector<Sample> r, k, f;
  for (int i = 0; i < rounds; ++i) {
    r.push_back(timed([&] { per_round.do_sample(); }));
    k.push_back(timed([&] { kept.do_sample(); }));
    CopySink sink;
    f.push_back(timed([&] { reader.read(open, kDefaultMaxNodesPerRead, 1, sink); }));
  }
  const Medians mr = medians(r), mk = medians(k), mf = medians(f);
  std::fprintf(stderr, "\n%s, %s, %d rounds each%s\n  %-28s %12s %14s\n", path,
               security ? "SignAndEncrypt" : "None", rounds, connected ? "" : " (no open session!)",
               "", "wall ms", "client cpu ms");
  std::fprintf(stderr, "  %-28s %12.3f %14.3f\n", "batch round, session per round", mr.wall_ms,
               mr.cpu_ms);
  std::fprintf(stderr, "  %-28s %12.3f %14.3f\n", "batch round, kept session", mk.wall_ms,
               mk.cpu_ms);
  std::fprintf(stderr, "  %-28s %12.3f %14.3f\n", "bare read, open session", mf.wall_ms,
               mf.cpu_ms);
  std::fprintf(stderr, "  ratio kept/bare wall %.2f; per-round/kept wall %.2f, cpu %.2f\n",
               mk.wall_ms / mf.wall_ms, mr.wall_ms / mk.wall_ms, mr.cpu_ms / mk.cpu_ms);
}

// Deepest stack use of `f` run on a thread of its own, in KiB: the thread's
// stack is painted before and scanned after (it grows downwards).
double stack_used_kib(const std::function<void()>& f) {
  constexpr std::size_t kBytes = 4u << 20;  // room even for sanitizer builds
  void* mem = nullptr;
  if (posix_memalign(&mem, 1 << 16, kBytes) != 0) return -1;
  std::memset(mem, 0xA5, kBytes);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mem, kBytes);
  pthread_t thread;
  const bool ran = pthread_create(&thread, &attr, [](void* g) -> void* {
    (*static_cast<const std::function<void()>*>(g))();
    return nullptr;
  }, const_cast<std::function<void()>*>(&f)) == 0;
  if (ran) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const auto* bytes = static_cast<const unsigned char*>(mem);
  std::size_t untouched = 0;
  while (untouched < kBytes && bytes[untouched] == 0xA5) ++untouched;
  std::free(mem);
  return ran ? static_cast<double>(kBytes - untouched) / 1024 : -1;
}

// The sampling thread's stack need: three rounds of each kind on a thread of
// their own, against its stack size.
void stack_need(uint16_t port, const Json::Value& opcua) {
  std::fprintf(stderr, "\nsampling thread stack (%zu KiB given to each device)\n",
               kSamplerStackBytes / 1024);
  const Json::Value plain(Json::objectValue);
  for (const bool batch : {false, true})
    for (const bool keep : {false, true})
      for (const bool secure : {false, true}) {
        const double kib = stack_used_kib([&] {
          BenchDevice device(port, batch, keep);
          device.secure(secure ? opcua : plain);
          for (int i = 0; i < 3; ++i) device.do_sample();
        });
        std::fprintf(stderr, "  %-6s %-6s %-15s %8.1f KiB used\n", batch ? "batch" : "single",
                     keep ? "kept" : "round", secure ? "SignAndEncrypt" : "None", kib);
      }
}

// keep_compare without and with security, directly and through the relay.
int keep_bench(int rounds, long delay_us) {
  SecurePlant bench;
  if (!bench.server) return 1;
  plant::PlantServer& server = *bench.server;
  const Json::Value& secure = bench.settings;
  const SecurityLoad load = load_session_security(secure);
  const Json::Value plain(Json::objectValue);
  keep_compare("direct", server.port(), rounds, plain, nullptr);
  keep_compare("direct", server.port(), rounds, secure, load.security.get());
  stack_need(server.port(), secure);
  plant::RelayOptions ro;
  ro.target_port = server.port();
  ro.delay = std::chrono::microseconds(delay_us);
  plant::Relay relay(ro);
  relay.start();
  const std::string path = "relay " + std::to_string(delay_us) + " us each way";
  keep_compare(path.c_str(), relay.port(), rounds, plain, nullptr);
  keep_compare(path.c_str(), relay.port(), rounds, secure, load.security.get());
  relay.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // --security (anywhere): SignAndEncrypt against None instead.
  bool security = false, keep = false;
  std::vector<char*> args(argv, argv + argc);
  for (auto it = args.begin() + 1; it != args.end();) {
    if (std::strcmp(*it, "--security") == 0 || std::strcmp(*it, "--keep") == 0) {
      (std::strcmp(*it, "--keep") == 0 ? keep : security) = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  argc = static_cast<int>(args.size());
  argv = args.data();
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const long delay_us = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1000;
  const int delayed_single = std::min(rounds, 3);  // about 6 s each at 1 ms
  qrn_host::set_recording(false);
  // The rounds' own lines are not part of what is measured here.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  if (security) return security_bench(rounds);
  if (keep) return keep_bench(rounds, delay_us);

  plant::PlantServer server;
  server.fill_distinct(1);
  server.start();
  const std::string endpoint = server.endpoint();

  // The single mode against the bare client sequence, alternately.
  std::vector<double> driver_ms, bare_ms;
  {
    BenchDevice device(server.port(), false);
    device.do_sample();
    bare_round(endpoint);
    for (int i = 0; i < rounds; ++i) {
      driver_ms.push_back(timed([&] { device.do_sample(); }).wall_ms);
      bare_ms.push_back(timed([&] { bare_round(endpoint); }).wall_ms);
    }
  }
  const double d = median(driver_ms), b = median(bare_ms);
  std::fprintf(stderr,
               "single mode against the bare sequence: %d pairs, %zu reads each\n"
               "  driver round  median %8.1f ms\n"
               "  bare sequence median %8.1f ms\n"
               "  ratio driver/bare    %8.3f\n",
               rounds, kQuorlinPointCount, d, b, d / b);

  const PathResult direct = measure(server.port(), rounds, rounds);
  print("direct", direct, rounds, rounds);

  plant::RelayOptions ro;
  ro.target_port = server.port();
  ro.delay = std::chrono::microseconds(delay_us);
  plant::Relay relay(ro);
  relay.start();
  const PathResult delayed = measure(relay.port(), delayed_single, rounds);
  const std::string path = "through a relay delaying each direction by " +
                           std::to_string(delay_us) + " us";
  print(path.c_str(), delayed, delayed_single, rounds);
  relay.stop();
  server.stop();
  return 0;
}
