// The cy_eeg_manager_ functions of the object, connection, stream, settings
// and callback families: each forwards to the manager, behind a guard.
#include "cycore/eeg_manager.h"

#include <new>

#include "manager/c_api_support.h"
#include "manager/conversions.h"
#include "runtime/c_boundary.h"

using calyra::core::eeg_manager_implementation;
using calyra::core::error;
using calyra::core::from_handle;
using calyra::core::guard_c_call;
using calyra::core::guard_c_value;
using calyra::core::guard_c_void;

namespace {

cy_error code(error e) { return static_cast<cy_error>(e); }

}  // namespace

extern "C" {

CYCORE_API cy_eeg_manager* cy_eeg_manager_new(void) {
  // Out of memory yields NULL rather than ending the process.
  return guard_c_value("cy_eeg_manager_new", static_cast<cy_eeg_manager*>(nullptr), [] {
    return reinterpret_cast<cy_eeg_manager*>(new eeg_manager_implementation());
  });
}

CYCORE_API void cy_eeg_manager_free(cy_eeg_manager* manager) {
  if (manager == nullptr) return;
  guard_c_void("cy_eeg_manager_free", [&] { delete &from_handle(manager); });
}

CYCORE_API cy_error cy_eeg_manager_connect(cy_eeg_manager* manager, const char* device_name,
                                           cy_connect_callback callback, void* user_data) {
  return code(guard_c_call("cy_eeg_manager_connect", error::CONNECTION_ERROR,
                           [&] { return from_handle(manager).connect(device_name, callback, user_data); }));
}

CYCORE_API void cy_eeg_manager_disconnect(cy_eeg_manager* manager) {
  guard_c_void("cy_eeg_manager_disconnect", [&] { from_handle(manager).disconnect(); });
}

CYCORE_API bool cy_eeg_manager_is_connected(cy_eeg_manager* manager) {
  return guard_c_value("cy_eeg_manager_is_connected", false,
                       [&] { return from_handle(manager).is_connected(); });
}

CYCORE_API const cy_device_info* cy_eeg_manager_get_device_info(cy_eeg_manager* manager) {
  return from_handle(manager).get_device_info();
}

CYCORE_API cy_error cy_eeg_manager_start_stream(cy_eeg_manager* manager,
                                                cy_completion_callback callback, void* user_data) {
  return code(guard_c_call("cy_eeg_manager_start_stream", error::CONNECTION_ERROR,
                           [&] { return from_handle(manager).start_stream(callback, user_data); }));
}

CYCORE_API cy_error cy_eeg_manager_stop_stream(cy_eeg_manager* manager,
                                               cy_completion_callback callback, void* user_data) {
  return code(guard_c_call("cy_eeg_manager_stop_stream", error::CONNECTION_ERROR,
                           [&] { return from_handle(manager).stop_stream(callback, user_data); }));
}

CYCORE_API bool cy_eeg_manager_is_streaming(cy_eeg_manager* manager) {
  return guard_c_value("cy_eeg_manager_is_streaming", false,
                       [&] { return from_handle(manager).is_streaming(); });
}

CYCORE_API void cy_eeg_manager_get_stream_channel_data_types(cy_eeg_manager* manager,
                                                             const uint8_t** out, size_t* count) {
  const auto& types = from_handle(manager).stream_data_types();
  *out = types.data();
  *count = types.size();
}

CYCORE_API void cy_eeg_manager_set_callback_chunk(cy_eeg_manager* manager,
                                                  cy_chunk_callback callback, void* user_data) {
  guard_c_void("cy_eeg_manager_set_callback_chunk",
               [&] { from_handle(manager).set_callback_chunk(callback, user_data); });
}

CYCORE_API void cy_eeg_manager_set_callback_battery(cy_eeg_manager* manager,
                                                    cy_battery_callback callback,
                                                    void* user_data) {
  guard_c_void("cy_eeg_manager_set_callback_battery",
               [&] { from_handle(manager).set_callback_battery(callback, user_data); });
}

CYCORE_API void cy_eeg_manager_set_callback_disconnect(cy_eeg_manager* manager,
                                                       cy_disconnect_callback callback,
                                                       void* user_data) {
  guard_c_void("cy_eeg_manager_set_callback_disconnect",
               [&] { from_handle(manager).set_callback_disconnect(callback, user_data); });
}

CYCORE_API void cy_eeg_manager_set_channel_enabled(cy_eeg_manager* manager, uint16_t channel,
                                                   bool enabled) {
  guard_c_void("cy_eeg_manager_set_channel_enabled",
               [&] { from_handle(manager).set_channel_enabled(channel, enabled); });
}

CYCORE_API void cy_eeg_manager_set_channel_gain(cy_eeg_manager* manager, uint16_t channel,
                                                cy_gain_mode mode) {
  guard_c_void("cy_eeg_manager_set_channel_gain", [&] {
    from_handle(manager).set_channel_gain(channel, static_cast<calyra::core::gain_mode>(mode));
  });
}

CYCORE_API void cy_eeg_manager_set_channel_bias(cy_eeg_manager* manager, uint16_t channel) {
  // The C entry always asks for polarity 2 (stored as 1 on models that are
  // not bipolar).
  guard_c_void("cy_eeg_manager_set_channel_bias",
               [&] { from_handle(manager).set_channel_bias(channel, 2); });
}

CYCORE_API void cy_eeg_manager_set_impedance_mode(cy_eeg_manager* manager, cy_impedance_mode mode) {
  guard_c_void("cy_eeg_manager_set_impedance_mode",
               [&] { from_handle(manager).set_impedance_mode(mode); });
}

CYCORE_API cy_error cy_eeg_manager_set_data_stream_rate(cy_eeg_manager* manager,
                                                        cy_data_stream_rate rate) {
  return code(guard_c_call("cy_eeg_manager_set_data_stream_rate", error::UNSUPPORTED_SAMPLE_RATE, [&] {
    return from_handle(manager).set_data_stream_rate(static_cast<calyra::core::data_stream_rate>(rate));
  }));
}

CYCORE_API int64_t cy_eeg_manager_get_channel_index(cy_eeg_manager* manager, uint16_t channel) {
  return guard_c_value("cy_eeg_manager_get_channel_index", int64_t{-1},
                       [&] { return from_handle(manager).get_channel_index(channel); });
}

CYCORE_API uint8_t cy_eeg_manager_get_sample_frequency(cy_eeg_manager* manager) {
  return from_handle(manager).get_sample_frequency();
}

CYCORE_API int cy_gain_mode_to_multiplier(cy_gain_mode mode) {
  return calyra::core::gain_mode_to_multiplier(static_cast<calyra::core::gain_mode>(mode));
}

CYCORE_API cy_gain_mode cy_multiplier_to_gain_mode(int multiplier) {
  return static_cast<cy_gain_mode>(calyra::core::multiplier_to_gain_mode(multiplier));
}

}  // extern "C"
