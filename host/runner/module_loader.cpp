#include "module_loader.h"

#include "host_log.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

}  // namespace

std::string default_plugin() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return QRN_INSTALLED_PLUGIN;
  const std::filesystem::path dir = std::filesystem::path(std::string(self, n)).parent_path();
  std::error_code ec;
  const std::filesystem::path beside = dir / "libquorlin.so";
  if (std::filesystem::is_regular_file(beside, ec)) return beside.string();
  const std::filesystem::path installed = dir.parent_path() / QRN_PLUGIN_SUBDIR / "libquorlin.so";
  if (std::filesystem::is_regular_file(installed, ec)) return installed.string();
  return QRN_INSTALLED_PLUGIN;
}

PluginModule::~PluginModule() {
  providers_.clear();
  if (handle_) dlclose(handle_);
}

bool PluginModule::load(const std::string& plugin, const std::string& log_level) {
  // The module reads the library's log level when it logs; set before it loads
  // and before any thread exists.
  ::setenv("QRN_LOG_LEVEL", log_level.c_str(), 1);
  // A bare file name means a file here, not a search of the library path.
  given_ = plugin.empty() ? default_plugin() : plugin;
  const std::string path = given_.find('/') == std::string::npos ? "./" + given_ : given_;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    say(std::string("cannot load plug-in: ") + dlerror(), LogPriority::Error);
    return false;
  }
  entry_ = dlsym(handle_, "get_providers");
  if (entry_ == nullptr) {
    say("plug-in " + given_ + " has no get_providers", LogPriority::Error);
    return false;
  }
  return true;
}

QRNSocketDeviceProvider* PluginModule::socket_device_factory() {
  providers_ = reinterpret_cast<GetProvidersFn>(entry_)();
  QRNSocketDeviceProvider* factory = nullptr;
  for (const auto& p : providers_)
    if (!factory) factory = dynamic_cast<QRNSocketDeviceProvider*>(p.get());
  if (factory == nullptr)
    say("plug-in " + given_ + " offers no socket-device provider", LogPriority::Error);
  return factory;
}
