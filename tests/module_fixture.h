#pragma once

// Loads the real plug-in module the way a host does and hands out its devices.
#include "host_stub.h"
#include "qrn_device.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

class LoadedModule : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QRN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    void* entry = dlsym(handle_, "get_providers");
    ASSERT_NE(entry, nullptr) << dlerror();
    get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
    qrn_host::clear_events();
  }
  void TearDown() override {
    devices_.clear();
    if (handle_) dlclose(handle_);
  }

  // A new device from a fresh provider, owned by the fixture.
  QRNSocketDevice* create_device(unsigned id, const std::string& address = "",
                                 unsigned port = 0) {
    auto providers = get_providers_();
    auto* factory = dynamic_cast<QRNSocketDeviceProvider*>(providers.at(0).get());
    if (factory == nullptr) return nullptr;
    QRNSocketDevice* device = factory->create();
    Json::Value cfg(Json::objectValue);
    cfg["address"] = address;
    cfg["port"] = port;
    device->Init(std::weak_ptr<QRNController>(), id, cfg);
    devices_.emplace_back(device);
    return device;
  }

  // Destroys a device early (the fixture would otherwise do it at tear-down).
  void destroy(QRNSocketDevice* device) {
    for (auto& d : devices_)
      if (d.get() == device) d.reset();
  }

  void* handle_ = nullptr;
  GetProvidersFn get_providers_ = nullptr;
  std::vector<std::unique_ptr<QRNSocketDevice>> devices_;
};

// Lines of captured output that the device wrote, without the OPC UA
// library's own log lines (those start with a bracketed time stamp).
inline std::vector<std::string> device_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line[0] != '[') lines.push_back(line);
    start = end + 1;
  }
  return lines;
}
