#pragma once

#include "qrn_device.h"

#include <memory>
#include <vector>

// Makes the cooling-plant driver devices.
class QuorlinProvider : public QRNSocketDeviceProvider {
 public:
  QRNSocketDevice* create() const override;
};

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
// The module's entry point: the host looks it up by this name.
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
