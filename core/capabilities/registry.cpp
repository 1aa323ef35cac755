#include <array>

#include "capabilities/device_features.h"

namespace calyra::core::capabilities {

namespace {
// Constant-initialised, so they exist before any other code of the library
// runs and stay until it is unloaded.
constinit const wren_1_0_1 wren_1_0_1_instance;
constinit const finch finch_instance;
constinit const heron heron_instance;
constinit const plover plover_instance;
constinit const kestrel kestrel_instance;
constinit const kestrel_v2 kestrel_v2_instance;

constinit const std::array<const device_features_internal*, max_model_code + 1> by_model_code = {
    &wren_1_0_1_instance, &finch_instance,   &heron_instance,
    &plover_instance,     &kestrel_instance, &kestrel_v2_instance,
};
constinit const std::array<const char*, max_model_code + 1> names_by_model_code = {
    "WREN", "FINCH", "HERON", "PLOVER", "KESTREL", "KESTREL v2",
};
}  // namespace

const device_features_internal* for_model_code(std::uint8_t code) {
  return code <= max_model_code ? by_model_code[code] : nullptr;
}

const char* model_name(std::uint8_t code) {
  return code <= max_model_code ? names_by_model_code[code] : "unknown model";
}

}  // namespace calyra::core::capabilities
