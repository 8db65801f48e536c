// Host framework device interface, as the plug-in module sees it.
//
// The virtual operations are declared in the host's slot order; the module's
// vtables must match the host's byte for byte, so never reorder them.
// Bodies marked "host" live in the host library (host/ for our stand-in);
// the small inline bodies below are the defaults the module compiles in.
#pragma once

#include "round_stamp.h"

#include <boost/asio/buffer.hpp>
#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Host classes keep default visibility so that the module, built with hidden
// visibility, still binds their type information and bodies to the host's.
#define QRN_HOST_API __attribute__((visibility("default")))

class QRNController;
class QRNVDevice;

// One threshold rule as the host tests it in a batch.
struct QRN_HOST_API rule_value {
  std::string name;
  double value = 0.0;
  int level = 0;
};

// The round stamp (round_stamp.h) for `t`.
QRN_HOST_API RoundStamp get_ttime(boost::posix_time::ptime t);

class QRN_HOST_API VDeviceInterface {
 public:
  // slot 0: a device of this kind offers no named values.
  virtual double Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
  }
  // slot 1
  virtual int LoadFromCache(const std::string& bytes) {
    // A length beyond int's range is passed as -1, which every device refuses.
    const std::size_t n = bytes.size();
    return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                         n > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(n));
  }
  // slot 2
  virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
  // slot 3
  virtual unsigned int DataId() const { return device_id_; }
  // slot 4
  virtual const std::string& DeviceType() const { return device_type_; }
  // slot 5
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& returned) = 0;
  // slot 6
  virtual void RoundDone() = 0;
  // slot 7
  virtual bool UseControllerDb() { return use_controller_db_; }
  // slots 8, 9
  virtual ~VDeviceInterface();

  uint32_t device_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

class QRN_HOST_API QRNVDevice : public VDeviceInterface {
 public:
  QRNVDevice();
  ~QRNVDevice() override;

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& returned) override;                                   // host
  virtual void Reset();                                                          // slot 10, host
  virtual bool InitV(QRNVDevice* parent, unsigned int id, const Json::Value& cfg);  // 11, host
  virtual bool Init(std::weak_ptr<QRNController> controller, unsigned int id,
                    const Json::Value& cfg);                                     // 12, host
  virtual int InitSetting(const Json::Value& settings);                          // 13, host
  virtual bool IsSupportDevice(const std::string& type) const;                   // 14, host
  // slot 15: a device has no children.
  virtual std::shared_ptr<QRNVDevice> GetChildVDevice(unsigned int) { return {}; }
  // slot 16
  virtual std::vector<std::shared_ptr<QRNVDevice>> GetAllChildVDevices() { return {}; }
  virtual int SendSP(int data_id, const unsigned char* data, unsigned int size, bool flag);  // 17
  virtual int SendDelayData(int delay);                                          // 18, host
  virtual int SendDoData(int channel, char value);                               // 19, host
  virtual int ReadDi(int channel);                                               // 20, host
  virtual double ReadAi(int channel);                                            // 21, host
  virtual double Get_SP_Value(unsigned int index, const std::string& name);      // 22, host

  // Non-virtual host services used by round completion.
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  int SaveDeviceHistory(const unsigned char* data, unsigned int size);

  int16_t round_state_ = 0;
  boost::posix_time::ptime round_time_;
  bool data_ready_ = false;
  std::vector<rule_value> rules_;
  bool alarm_flag_ = false;
  std::map<std::string, int> alarm_levels_;
  std::map<std::string, float> alarm_values_;
};

class QRN_HOST_API QRNSocketDevice : public QRNVDevice {
 public:
  QRNSocketDevice();
  ~QRNSocketDevice() override;

  bool Init(std::weak_ptr<QRNController> controller, unsigned int id,
            const Json::Value& cfg) override;                                    // 12, host
  virtual int process(int socket, unsigned char* data, int length);              // 23, host
  virtual int process_data(int socket, unsigned char* data, int length) = 0;     // 24
  virtual void OnConnected(int socket);                                          // 25, host
  virtual int RefreshStatus();                                                   // 26, host
  virtual int StartSocket(const std::string& ip, unsigned short port);           // 27, host
  virtual void CloseSocket(int socket);                                          // 28, host
  // slot 29: sends on the device's own socket.
  virtual int SendSocketData(const unsigned char* data, unsigned int length) {
    return QRNSocketDevice::SendSocketData(socket_id_, data, length);
  }
  virtual int SendSocketData(int socket, const unsigned char* data, unsigned int length);  // 30
  // slot 31
  virtual int SendSocketData(const std::vector<boost::asio::const_buffer>& buffers) {
    return QRNSocketDevice::SendSocketData(socket_id_, buffers);
  }
  virtual int SendSocketData(int socket, const std::vector<boost::asio::const_buffer>& buffers);  // 32
  virtual void RunCheckThreshold();                                              // 33

  int32_t socket_id_ = -1;
  std::string server_ip_;
  uint16_t server_port_ = 0;
  bool socket_option_ = false;
};

// Root of the plug-in's factories.
class QRN_HOST_API Provider {
 public:
  virtual ~Provider();
};

class QRN_HOST_API QRNSocketDeviceProvider : public Provider {
 public:
  virtual QRNSocketDevice* create() const = 0;
};
