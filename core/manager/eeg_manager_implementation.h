// The one implementation of eeg_manager. Its operations are split by concern
// over the .cpp files of this folder (lifecycle, settings, connect, stream
// start/stop, decode, chunks, disconnect, battery, configuration upload,
// annotations, firmware update); this header is the single place where the
// state lives, each field with the lock that guards it. The stream decoder
// (stream_decoder.h) is an object of its own with its own lock: it holds the
// chunk buffers, the stream position and the gap filling.
//
// Threads that enter a manager: host threads (every public operation), the
// backend's notification thread (stream, battery and firmware-update
// notifications) and its event thread (link loss).
// The channel settings, the callback slots, the battery cache and the
// annotation store are objects of their own, each hiding its lock.
// Lock order where two are held together:
//   stream_operation_mutex -> stream_mutex -> the decoder's lock
//     -> the chunk callback's slot -> (whatever the host's callback takes:
//        the channel settings' lock, the stream counts' lock) -> logger mutex
//   stream_operation_mutex -> peripheral_mutex
//   the decoder's lock -> its stream_stats counter's lock (a leaf)
// Nothing may hold stream_mutex while unsubscribing from stream_data or
// clearing peripheral hooks: those wait for a running handler, and the
// stream handler takes stream_mutex.
// Nothing may hold stream_operation_mutex while removing the link-loss hook:
// removing it waits for a running link-loss callback, and the host's
// disconnect callback may connect, disconnect or free this manager, which
// take stream_operation_mutex (lock_operations_without_link_hook).
//
// Life of a manager: connect -> (start ... stop)* -> disconnect or link loss
// -> connect again. Connect on a manager holding a link first closes it the
// way disconnect does; a failed connect leaves no link and no handler; the
// link-loss handler ends the local stream itself, so after a loss the manager
// is neither connected nor streaming. All handlers are this manager's own
// (owner_token): another manager on the same headset is never touched.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <queue>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ble/peripheral.h"
#include "capabilities/device_features.h"
#include "clock/stream_clock.h"
#include "cycore/stream_clock.h"
#include "manager/annotation_store.h"
#include "manager/battery_cache.h"
#include "manager/callback_slot.h"
#include "manager/channel_settings.h"
#include "manager/eeg_manager.h"
#include "manager/stream_decoder.h"
#include "manager/stream_stats.h"
#include "protocol/gatt_map.h"
#include "runtime/last_error.h"
#include "runtime/logger.h"

namespace calyra::core {

class eeg_manager_implementation final : public eeg_manager {
 public:
  eeg_manager_implementation();
  // Disconnects, then makes sure no handler of this manager can still run:
  // stream, battery and firmware-update subscriptions are ended and the
  // link-loss hook is cleared, waiting for a handler that is running.
  ~eeg_manager_implementation() override;
  eeg_manager_implementation(const eeg_manager_implementation&) = delete;
  eeg_manager_implementation& operator=(const eeg_manager_implementation&) = delete;

  // ---- connection (connect.cpp, device_setup.cpp) ----
  error connect(const char* name, connect_callback callback, void* user_data) override;
  bool is_connected() override;
  // ---- disconnect and link loss (disconnect.cpp) ----
  void disconnect() override;

  // ---- stream (stream_start.cpp, stream_stop.cpp) ----
  error start_stream(completion_callback callback, void* user_data) override;
  error stop_stream(completion_callback callback, void* user_data) override;
  bool is_streaming() const override;

  // ---- settings (settings.cpp) ----
  void set_channel_enabled(std::uint16_t channel, bool enabled) override;
  void set_channel_gain(std::uint16_t channel, gain_mode mode) override;
  void set_channel_bias(std::uint16_t channel, polarity p) override;
  void set_impedance_mode(impedance_measurement_mode mode) override;
  error set_data_stream_rate(calyra::core::data_stream_rate rate) override;
  std::int64_t get_channel_index(std::uint16_t channel) const override;
  std::uint8_t get_sample_frequency() const override;
  // Clears enabled channels, gains, biases and the impedance mode, and the
  // frozen stream channels and gains; the rate stays.
  void reset_stream_settings();
  const channel_settings& settings() const { return settings_; }

  // ---- object, callbacks (lifecycle.cpp) ----
  const cy_device_info* get_device_info() const override;
  void set_callback_chunk(chunk_callback_fn callback, void* user_data) override;
  void set_callback_battery(battery_callback_fn callback, void* user_data) override;
  void set_callback_disconnect(disconnect_callback_fn callback, void* user_data) override;

  // ---- battery.cpp, config_upload.cpp, annotations.cpp,
  //      firmware_update.cpp ----
  error start_ota_update(ota_progress_callback callback, void* user_data) override;
  error load_config(completion_callback callback, void* user_data) override;
  cy_battery_info get_battery_info() override;
  cy_charging_settings get_charging_settings() override;
  bool set_charging_settings(cy_charging_settings settings) override;
  error get_full_battery_info(full_battery_callback callback, void* user_data) override;
  error annotate(const char* text) override;
  void get_annotations(cy_annotation** out, std::size_t* count) const override;
  void clear_annotations() override;
  // Reads battery_status, battery_energy and battery_health and decodes them;
  // no log line, no cache update. Throws the BLE layer's runtime errors.
  cy_full_battery_info read_full_battery_info();
  // Stores level, charger flag and (charge_state == 1) in the battery cache.
  void store_battery_cache(const cy_full_battery_info& info);
  // The battery_status notification handler (notification thread).
  void on_battery_notification(const ble::ByteArray& payload);

  // ---- chunks (chunks.cpp) ----
  // Delivers the buffered samples to the chunk callback (if any) and empties
  // the buffers. Caller holds stream_mutex.
  void service_chunks() { decoder_.flush(); }
  // Runs the queued join jobs in order, then empties the queue. Caller holds
  // stream_mutex.
  void service_joins();
  // Position of a streamed channel among the streamed channels of its own
  // data type: the index of its buffer within that type's family.
  std::size_t get_channel_index_of_type(std::uint16_t channel) const;
  // The type code of every streamed channel; valid until the next start.
  const std::vector<std::uint8_t>& stream_data_types() const { return decoder_.channel_types(); }
  // The streamed electrodes of the current (or last) stream, ascending.
  std::vector<std::uint8_t> streamed_electrodes() const { return decoder_.streamed_electrodes(); }
  // Gaps reported since this manager was made (outside impedance mode).
  std::int32_t missed_packets() const { return decoder_.missed_packets(); }

  // ---- decoding (decode.cpp) ----
  // The stream_data notification handler: arrival-time fit, then decoding of
  // the whole payload under stream_mutex. arrival_ns: steady clock (ns) when
  // the backend first saw the notification, so that no queue between the
  // radio and this handler shifts the stream's clock.
  void handle_stream_notification(const ble::ByteArray& payload, std::int64_t arrival_ns);
  // Decodes one stream_data payload and appends its samples; with an arrival
  // time the stream clock learns the packet first, so a chunk callback
  // already finds its samples on the clock. Caller holds stream_mutex.
  void sample_to_buffer(const ble::ByteArray& payload,
                        std::optional<std::int64_t> arrival_ns = std::nullopt) {
    decoder_.decode(payload, settings_.impedance_mode() != 0, arrival_ns);
  }

  // Sample number of an annotation made at now_ms (steady clock, ms), for a
  // stream started at stream_start_ms whose fitted origin is
  // stream_time_origin_ms; 0 for a rate code without a frequency.
  static std::int64_t annotation_sample_number(std::int64_t now_ms, std::int64_t stream_start_ms,
                                               double stream_time_origin_ms,
                                               std::uint8_t rate_code);

  // ---- the stream clock (clock_queries.cpp) ----
  // Each returns PRECONDITION_FAILED for a null or unusable argument and
  // NOT_STREAMING while no clock is known; annotate_at also CONNECTION_ERROR
  // when not connected.
  error sample_at(std::int64_t host_time_ns, double* sample_number) const;
  error time_of_sample(double sample_number, std::int64_t* host_time_ns) const;
  error published_times(std::int64_t first_sample, std::size_t count, std::int64_t* host_times_ns) const;
  error annotate_at(const char* text, std::int64_t host_time_ns);
  error get_clock_info(cy_clock_info* info) const;
  // PRECONDITION_FAILED for a null `stats`; takes only the counter's leaf
  // lock, so it may run inside a chunk callback (stream_stats.cpp).
  error get_stream_stats(cy_stream_stats* stats) const;

  // ---- local halves of connect step 12 and of the start sequence ----
  // Takes the model and sizes the decoder and the channel tables for it
  // (connect step 12).
  void configure_for_model(const device_features_internal& model);
  // Freezes the layout from the settings, starts the decoder on it (buffers,
  // decoding plan, counters), restarts the clock and marks the stream
  // running: every step of a start that does not talk to the device. Caller
  // holds stream_mutex.
  void begin_stream_layout();

  // ---- GATT primitives (gatt_io.cpp) ----
  // Both throw the BLE layer's runtime errors and catch nothing.
  ble::ByteArray read_characteristic(const std::string& service, const std::string& characteristic);
  void write_characteristic(const std::string& service, const std::string& characteristic,
                            const std::vector<std::uint8_t>& bytes);
  ble::ByteArray read_characteristic(gatt::role role);
  void write_characteristic(gatt::role role, const std::vector<std::uint8_t>& bytes);

  // ---- error wrapper ----
  // Runs `operation` (returning error) and converts what it throws: the BLE
  // layer's runtime errors into CONNECTION_ERROR with the ERROR line
  // "Caught connection error: " + message; anything else into
  // CONNECTION_ERROR with its own ERROR line, so that nothing crosses the C
  // boundary.
  template <class Operation>
  error handle_errors(Operation&& operation) noexcept;

  // ---- logging: every manager line starts with "[eeg_manager] (<address>): " ----
  template <class Writer>
  void log(log_level level, Writer&& write_body) const {
    logger::log(level, [&](std::ostream& out) {
      out << log_prefix;
      write_body(out);
    });
  }
  void log_text(log_level level, std::string_view text) const {
    log(level, [text](std::ostream& out) { out << text; });
  }
  // Writes `write_body` as one manager line at `level` and records the same
  // sentence (without the prefix) as the thread's last error text; returns
  // `code`. The text is formatted even when the line is not written.
  template <class Writer>
  error fail_logged(log_level level, error code, Writer&& write_body) const {
    log(level, write_body);
    return fail(code, write_body);
  }

 private:
  // stream_start.cpp
  // Runs with stream_mutex held. A failure ends the local stream again and
  // leaves stream_rollback_pending for finish_start_rollback; it rethrows.
  void run_start_sequence(completion_callback callback, void* user_data);
  // Ends the subscription of a start that failed. Caller holds
  // stream_operation_mutex but not stream_mutex.
  void finish_start_rollback() noexcept;
  // stream_link_fit.cpp
  // The electrodes whose measurement or contact channel is in `channels`
  // (sorted), ascending.
  std::vector<std::uint8_t> electrodes_streamed_by(const std::vector<std::uint16_t>& channels) const;
  // PRECONDITION_FAILED (ERROR line) when not even a one-sample packet of the
  // enabled electrodes fits a notification of the link (MTU - 3 bytes); OK
  // with a WARNING line when only the model's full packet does not. Caller
  // holds stream_operation_mutex.
  error check_packets_fit_link();
  // decode.cpp
  void record_arrival_time(std::int64_t now_ms);
  // annotations.cpp: appends one record (text copied). Nothing is stored
  // when an allocation fails, which propagates.
  error store_annotation(std::int64_t sample_number, const char* text);
  // The MISSED line of a gap: on standard output, or in the log at WARNING
  // when the host turned the standard-output diagnostics off.
  void report_missed_packet(std::int32_t gaps, std::uint64_t expected, std::uint64_t received);
  // The decoder's hooks, bound to this manager.
  stream_decoder::hooks decoder_hooks();
  // stream_stop.cpp
  void complete_stop(completion_callback callback, void* user_data);
  // connect.cpp, device_setup.cpp
  // Finds the headset, opens the link and initialises; throws on failures
  // after the link was opened. Caller holds stream_operation_mutex.
  error open_link(const char* name);
  void reset_streaming_state();
  void initialise_device();
  void read_device_information(std::uint8_t model_code);
  void report_chips();
  void on_link_lost();
  // disconnect.cpp
  // Takes stream_operation_mutex at a moment when no link-loss hook of this
  // manager is registered (removing one first, without the lock).
  std::unique_lock<std::mutex> lock_operations_without_link_hook();
  // Waits for a running link-loss callback unless called from inside it.
  static void remove_link_hook(ble::Peripheral link) noexcept;
  // Ends the local stream (the final chunk delivered), releases this
  // manager's subscriptions, closes its hold on the link and clears the
  // annotations. Caller holds stream_operation_mutex and no other lock.
  void close_link() noexcept;
  void unsubscribe_quietly(gatt::role role) noexcept;
  // Drops starts queued behind a stream that can no longer end with a stop.
  // Caller holds stream_mutex.
  void drop_queued_starts(const char* reason);

 private:
  // Tests and benches drive a manager without a radio through this.
  friend struct manager_test_access;

  // Fields, in declaration order. "guard" is the lock that protects a field;
  // "-" means only the thread that owns the operation touches it.

  // This manager's identity towards the BLE layer: its link hold and every
  // subscription and hook it registers carry it.
  const ble::owner_token owner = ble::new_owner_token();
  // Written by connect under stream_operation_mutex and peripheral_mutex;
  // operations that do not take stream_operation_mutex use a copy.
  ble::Peripheral peripheral;               // guard: peripheral_mutex (see above)
  mutable std::mutex peripheral_mutex;
  ble::Peripheral current_peripheral() const;
  std::atomic<bool> connected{false};       // atomic (read by any host thread)


  // Stream timing. The fit writes stream_time_origin once and then releases
  // stream_timing_known; readers check the flag first (origin 0.0 is a valid fit).
  std::atomic<bool> stream_timing_known{false};
  double stream_time_origin = 0.0;                  // ms; see stream_timing_known
  std::vector<std::int64_t> packet_arrival_times;   // guard: stream_mutex
  std::atomic<std::int64_t> stream_start_time{0};   // ms of the steady clock; atomic
  // The drift-tracking clock of the current (or last) stream: fed and
  // restarted under stream_mutex, read by any thread through its snapshot.
  // Lock order: stream_mutex -> the clock's own lock (a leaf).
  clock::stream_clock stream_clock_;

  // Serialises start, stop and the local half of disconnect, so that a start
  // cannot subscribe between another thread's unsubscription and its
  // "streaming = false". Never taken by a BLE thread.
  std::mutex stream_operation_mutex;
  mutable std::mutex stream_mutex;
  bool streaming = false;                                // guard: stream_mutex
  std::queue<std::function<void()>> join_jobs;           // guard: stream_mutex
  // stream_data is subscribed with this manager's handler.
  bool stream_subscribed = false;                        // guard: stream_mutex
  // A start failed after subscribing; the subscription still has to end.
  bool stream_rollback_pending = false;                  // guard: stream_mutex
  // The link dropped since the current connect registered its hook.
  bool link_lost_during_connect = false;                 // guard: stream_mutex
  // The link-loss hook is registered with the peripheral.
  bool link_hook_registered = false;                     // guard: stream_operation_mutex
  std::uint64_t link_hook_generation = 0;                // guard: stream_operation_mutex

  // ---- battery, configuration upload, annotations, firmware update ----
  // Firmware-update acknowledgement: written by the ota_status handler
  // (notification thread), cleared and read by start_ota_update.
  std::atomic<bool> ota_acknowledged{false};             // atomic

  // The configuration record of the current settings (config_upload.cpp).
  // With record_default_gains, an enabled electrode without a gain keeps the
  // default it was uploaded with, so the next start decodes it that way.
  std::vector<std::uint8_t> build_config_record(bool record_default_gains = true);
  // A WARNING when the settings a start freezes differ from what the headset
  // was last sent: it would stream data the decoder reads differently.
  void warn_if_settings_not_uploaded();
  void forget_uploaded_config();
  std::mutex uploaded_config_mutex;
  std::vector<std::uint8_t> uploaded_config;             // guard: uploaded_config_mutex
  // firmware_update.cpp: the ota_status handler bound to this manager, and
  // what it does with one acknowledgement (notification thread).
  ble::NotifyCallback enable_ota_update();
  void on_ota_status(const ble::ByteArray& payload);
  // Writes the image in blocks of block_size bytes, reporting progress.
  error send_firmware_image(const char* path, std::uint64_t image_size,
                            std::uint16_t block_size, ota_progress_callback callback,
                            void* user_data);
  // ---- end of battery, configuration upload, annotations, firmware update ----

  cy_device_info device_info{};                          // - (connect)
  std::uint8_t chip_status = 0;                          // - (connect): bit0 ADS, bit1 battery manager, bit2 motion
  const device_features_internal* features = nullptr;    // - (connect); not owned
  std::int32_t electrode_count = 0;                      // - (connect)
  std::int32_t difference_mask = 0xFFF;                  // - (connect), handed to the decoder at start
  std::vector<std::uint16_t> electrode_channels;         // - (connect)
  std::vector<std::uint16_t> contact_channels;           // - (connect)
  std::unordered_map<std::uint16_t, channel_data_type> channel_data_type_map;  // - (connect)

 private:
  // The parts that hide their own lock: leaves, but for the chunk slot,
  // under which the host's callback runs (see the lock order above).
  channel_settings settings_;
  callback_slot<chunk_callback_fn> chunk_callback_;
  callback_slot<battery_callback_fn> battery_callback_;
  callback_slot<disconnect_callback_fn> disconnect_callback_;
  battery_cache battery_;
  annotation_store annotations_;

  bool compatible = false;                    // - (connect)
  std::string peripheral_name;                // - (connect); for the MISSED line
  std::string log_prefix;                     // const after construction
  // Declared last: its hooks reach the fields above, all built by then.
  stream_decoder decoder_{decoder_hooks()};
};

template <class Operation>
error eeg_manager_implementation::handle_errors(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::runtime_error& e) {
    fail_logged(log_level::ERROR, error::CONNECTION_ERROR,
                [&](std::ostream& out) { out << "Caught connection error: " << e.what(); });
  } catch (const std::exception& e) {
    fail_logged(log_level::ERROR, error::CONNECTION_ERROR,
                [&](std::ostream& out) { out << "Caught unexpected error: " << e.what(); });
  } catch (...) {
    fail_logged(log_level::ERROR, error::CONNECTION_ERROR,
                [](std::ostream& out) { out << "Caught unexpected error of unknown type"; });
  }
  return error::CONNECTION_ERROR;
}

}  // namespace calyra::core
