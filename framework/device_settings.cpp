#include "device_settings.h"

void apply_device_settings(const Json::Value&, uint32_t, DeviceSettingsTarget) {}
