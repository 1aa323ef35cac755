// Test helper: what the manager's tests and benches set or read inside a
// manager that has no radio behind it (the state a connect or a stream start
// would leave), through the one friend the manager grants.
#pragma once

#include <mutex>
#include <utility>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

struct manager_test_access {
  using manager = eeg_manager_implementation;

  static void set_connected(manager& m, bool connected) { m.connected = connected; }
  // A link as connect leaves it: the peripheral held and the flag set.
  static void attach(manager& m, ble::Peripheral link) {
    m.peripheral = std::move(link);
    m.connected = true;
  }
  // The local half of a stream start, under the stream lock as a start takes it.
  static void begin_stream(manager& m) {
    std::lock_guard lock(m.stream_mutex);
    m.begin_stream_layout();
  }
  static void set_streaming(manager& m, bool streaming) {
    std::lock_guard lock(m.stream_mutex);
    m.streaming = streaming;
  }
  // Payloads go to the decoder and chunks out of it under the stream lock,
  // as the notification handler and a stop do.
  template <class Action>
  static void under_stream_lock(manager& m, Action&& action) {
    std::lock_guard lock(m.stream_mutex);
    action();
  }
  // The stream's timing as the arrival fit leaves it.
  static void set_stream_timing(manager& m, double origin_ms, std::int64_t start_ms) {
    m.stream_time_origin = origin_ms;
    m.stream_start_time = start_ms;
    m.stream_timing_known = true;
  }
  static void set_difference_mask(manager& m, std::int32_t mask) { m.difference_mask = mask; }
  static const device_features_internal& model(const manager& m) { return *m.features; }
  static ble::NotifyCallback enable_ota_update(manager& m) { return m.enable_ota_update(); }
  static bool ota_acknowledged(const manager& m) { return m.ota_acknowledged; }
  static void set_ota_acknowledged(manager& m, bool acknowledged) { m.ota_acknowledged = acknowledged; }
};

}  // namespace calyra::core
