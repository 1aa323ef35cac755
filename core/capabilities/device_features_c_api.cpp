// The cy_core_device_features_ family: thin dispatch to the capability
// objects. The C type cy_device_features is the C view of
// abi_0::device_features; pointers cross the boundary unchanged.
#include "capabilities/device_features.h"
#include "cycore/device_features.h"

namespace {

using calyra::core::device_features;
using calyra::core::device_features_internal;

const device_features_internal& internal(const cy_device_features* features) {
  // Every pointer handed out came from a device_features_internal instance.
  return static_cast<const device_features_internal&>(
      *reinterpret_cast<const device_features*>(features));
}

}  // namespace

extern "C" {

CYCORE_API const cy_device_features* cy_core_device_features_get(const cy_device_info* info) {
  if (info == nullptr) return nullptr;
  const device_features* features = calyra::core::capabilities::for_model_code(info->id);
  return reinterpret_cast<const cy_device_features*>(features);
}

CYCORE_API const char* cy_core_device_model_name(uint8_t model_code) {
  return calyra::core::capabilities::model_name(model_code);
}

CYCORE_API bool cy_core_device_features_has_accel(const cy_device_features* features) {
  return internal(features).has_accel();
}

CYCORE_API bool cy_core_device_features_has_gyro(const cy_device_features* features) {
  return internal(features).has_gyro();
}

CYCORE_API bool cy_core_device_features_is_bipolar(const cy_device_features* features) {
  return internal(features).is_bipolar();
}

CYCORE_API uint8_t cy_core_device_features_electrode_count(const cy_device_features* features) {
  return internal(features).electrode_count();
}

CYCORE_API bool cy_core_device_features_supports_ota(const cy_device_features* features) {
  return internal(features).supports_ota();
}

}  // extern "C"
