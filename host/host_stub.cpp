// Stand-in for the host framework library: the bodies of the host's base
// classes and services, recording what devices hand over.
#include "host_stub.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <condition_variable>
#include <mutex>
#include <utility>

namespace qrn_host {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> log;
  bool recording = true;
  std::mutex hook_mutex;
  Hook hook;
  bool batch_result = false;
  int init_setting_result = 1;
};

State& state() {
  static State s;
  return s;
}

void record(Event event) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.hook_mutex);
    if (s.hook) s.hook(event);
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.recording) s.log.push_back(std::move(event));
  s.changed.notify_all();
}

Event make_event(EventKind kind, const QRNVDevice* device) {
  Event e;
  e.kind = kind;
  e.device = device;
  e.device_id = device ? device->device_id_ : 0;
  return e;
}

}  // namespace

void set_hook(Hook hook) {
  std::lock_guard<std::mutex> lock(state().hook_mutex);
  state().hook = std::move(hook);
}

void set_recording(bool on) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().recording = on;
  if (!on) state().log.clear();
}

std::vector<Event> events() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().log;
}

void clear_events() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().log.clear();
}

bool wait_for(const std::function<bool(const std::vector<Event>&)>& pred,
              std::chrono::milliseconds timeout) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_for(lock, timeout, [&] { return pred(s.log); });
}

std::size_t count(EventKind kind, const QRNVDevice* device) {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::size_t n = 0;
  for (const Event& e : state().log)
    if (e.kind == kind && (device == nullptr || e.device == device)) ++n;
  return n;
}

void set_batch_result(bool result) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().batch_result = result;
}

void set_init_setting_result(int result) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().init_setting_result = result;
}

}  // namespace qrn_host

using qrn_host::Event;
using qrn_host::EventKind;

// Year as 16-bit little-endian, then month, day, hour, minute, second.
RoundStamp get_ttime(boost::posix_time::ptime t) {
  RoundStamp stamp{};
  if (t.is_special()) return stamp;
  const auto date = t.date();
  const auto tod = t.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  stamp.bytes[0] = static_cast<unsigned char>(year & 0xff);
  stamp.bytes[1] = static_cast<unsigned char>(year >> 8);
  stamp.bytes[2] = static_cast<unsigned char>(date.month().as_number());
  stamp.bytes[3] = static_cast<unsigned char>(date.day().as_number());
  stamp.bytes[4] = static_cast<unsigned char>(tod.hours());
  stamp.bytes[5] = static_cast<unsigned char>(tod.minutes());
  stamp.bytes[6] = static_cast<unsigned char>(tod.seconds());
  return stamp;
}

VDeviceInterface::~VDeviceInterface() = default;

QRNVDevice::QRNVDevice() = default;
QRNVDevice::~QRNVDevice() = default;

int QRNVDevice::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
  returned = 0;
  return 0;
}

void QRNVDevice::Reset() { qrn_host::record(qrn_host::make_event(EventKind::Reset, this)); }

bool QRNVDevice::InitV(QRNVDevice*, unsigned int id, const Json::Value&) {
  device_id_ = id;
  return true;
}

// The stand-in's own configuration keys: "address" and "port".
bool QRNVDevice::Init(std::weak_ptr<QRNController>, unsigned int id, const Json::Value&) {
  device_id_ = id;
  return true;
}

int QRNVDevice::InitSetting(const Json::Value&) {
  qrn_host::record(qrn_host::make_event(EventKind::InitSetting, this));
  std::lock_guard<std::mutex> lock(qrn_host::state().mutex);
  return qrn_host::state().init_setting_result;
}

bool QRNVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_; }

int QRNVDevice::SendSP(int data_id, const unsigned char* data, unsigned int size, bool flag) {
  Event e = qrn_host::make_event(EventKind::SendSP, this);
  e.data_id = data_id;
  e.size = size;
  e.flag = flag;
  e.bytes.assign(data, data + size);
  qrn_host::record(std::move(e));
  return 1;
}

int QRNVDevice::SendDelayData(int) { return 0; }
int QRNVDevice::SendDoData(int, char) { return 0; }
int QRNVDevice::ReadDi(int) { return 0; }
double QRNVDevice::ReadAi(int) { return 0.0; }
double QRNVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0.0; }

// Tests only the rules handed in; the host's alarm maps are not read here.
bool QRNVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  Event e = qrn_host::make_event(EventKind::BatchCheck, this);
  e.rule_count = rules.size();
  bool result;
  {
    std::lock_guard<std::mutex> lock(qrn_host::state().mutex);
    result = qrn_host::state().batch_result;
  }
  e.flag = result;
  qrn_host::record(std::move(e));
  return result;
}

int QRNVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
  Event e = qrn_host::make_event(EventKind::SaveHistory, this);
  e.size = size;
  e.bytes.assign(data, data + size);
  qrn_host::record(std::move(e));
  return 1;
}

QRNSocketDevice::QRNSocketDevice() = default;
QRNSocketDevice::~QRNSocketDevice() = default;

bool QRNSocketDevice::Init(std::weak_ptr<QRNController>, unsigned int id, const Json::Value& cfg) {
  device_id_ = id;
  if (!cfg.isObject()) return true;
  const Json::Value& address = cfg["address"];
  if (address.isString()) server_ip_ = address.asString();
  const Json::Value& port = cfg["port"];
  if (port.isIntegral() && port.asLargestInt() >= 0 && port.asLargestInt() <= 65535)
    server_port_ = static_cast<uint16_t>(port.asLargestInt());
  return true;
}

int QRNSocketDevice::process(int socket, unsigned char* data, int length) {
  return process_data(socket, data, length);
}
void QRNSocketDevice::OnConnected(int socket) { socket_id_ = socket; }
int QRNSocketDevice::RefreshStatus() { return 0; }
int QRNSocketDevice::StartSocket(const std::string& ip, unsigned short port) {
  server_ip_ = ip;
  server_port_ = port;
  return 0;
}
void QRNSocketDevice::CloseSocket(int) { socket_id_ = -1; }

int QRNSocketDevice::SendSocketData(int socket, const unsigned char* data, unsigned int length) {
  Event e = qrn_host::make_event(EventKind::SocketSend, this);
  e.data_id = socket;
  e.size = length;
  e.bytes.assign(data, data + length);
  qrn_host::record(std::move(e));
  return static_cast<int>(length);
}

int QRNSocketDevice::SendSocketData(int socket,
                                    const std::vector<boost::asio::const_buffer>& buffers) {
  Event e = qrn_host::make_event(EventKind::SocketSend, this);
  e.data_id = socket;
  for (const auto& b : buffers) {
    const auto* p = static_cast<const unsigned char*>(b.data());
    e.bytes.insert(e.bytes.end(), p, p + b.size());
  }
  e.size = static_cast<unsigned int>(e.bytes.size());
  const int sent = static_cast<int>(e.size);
  qrn_host::record(std::move(e));
  return sent;
}

void QRNSocketDevice::RunCheckThreshold() {}

Provider::~Provider() = default;
