// The manager interface: everything a host can do with one headset. The C
// API (cycore/eeg_manager.h and the family headers it includes) flattens it;
// eeg_manager_implementation is the only implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cycore/annotations.h"
#include "cycore/battery.h"
#include "cycore/types.h"
#include "runtime/error.h"
#include "runtime/stream_types.h"

namespace calyra::core {
inline namespace abi_0 {

class eeg_manager {
 public:
  using connect_callback = void (*)(bool compatible, void* user_data);
  using completion_callback = void (*)(void* user_data);
  using ota_progress_callback = void (*)(void* user_data, std::size_t total, std::size_t sent);
  using full_battery_callback = void (*)(const cy_full_battery_info* info, void* user_data);
  using chunk_callback_fn = void (*)(const void* const* channel_data, std::size_t sample_count,
                                     void* user_data);
  using battery_callback_fn = void (*)(const cy_battery_info* info, void* user_data);
  using disconnect_callback_fn = void (*)(void* user_data);

  virtual ~eeg_manager() = default;

  // The slot order below is part of the interface: do not reorder.
  virtual error connect(const char* name, connect_callback callback, void* user_data) = 0;
  virtual void disconnect() = 0;
  virtual bool is_connected() = 0;
  virtual error start_stream(completion_callback callback, void* user_data) = 0;
  virtual error start_ota_update(ota_progress_callback callback, void* user_data) = 0;
  virtual error stop_stream(completion_callback callback, void* user_data) = 0;
  virtual bool is_streaming() const = 0;
  virtual error load_config(completion_callback callback, void* user_data) = 0;
  virtual cy_battery_info get_battery_info() = 0;
  virtual cy_charging_settings get_charging_settings() = 0;
  virtual bool set_charging_settings(cy_charging_settings settings) = 0;
  virtual error get_full_battery_info(full_battery_callback callback, void* user_data) = 0;
  virtual void set_channel_enabled(std::uint16_t channel, bool enabled) = 0;
  virtual void set_channel_gain(std::uint16_t channel, gain_mode mode) = 0;
  virtual void set_channel_bias(std::uint16_t channel, polarity p) = 0;
  virtual void set_impedance_mode(impedance_measurement_mode mode) = 0;
  virtual error set_data_stream_rate(data_stream_rate rate) = 0;
  virtual const cy_device_info* get_device_info() const = 0;
  virtual std::int64_t get_channel_index(std::uint16_t channel) const = 0;
  virtual std::uint8_t get_sample_frequency() const = 0;
  virtual void set_callback_chunk(chunk_callback_fn callback, void* user_data) = 0;
  virtual void set_callback_battery(battery_callback_fn callback, void* user_data) = 0;
  virtual void set_callback_disconnect(disconnect_callback_fn callback, void* user_data) = 0;
  virtual error annotate(const char* text) = 0;
  virtual void get_annotations(cy_annotation** out, std::size_t* count) const = 0;
  virtual void clear_annotations() = 0;
};

}  // namespace abi_0
}  // namespace calyra::core
