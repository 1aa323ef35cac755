// The stream_data notification handler: the start-of-stream arrival fit, then
// the decoder (stream_decoder.cpp), and what the decoder reports back.
//
// A whole notification is decoded under stream_mutex, so flushes from stop
// and disconnect, their end of the stream position and the decoder never
// interleave.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "manager/arrival_fit.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/console.h"
#include "library/state.h"

namespace calyra::core {

void eeg_manager_implementation::handle_stream_notification(const ble::ByteArray& payload,
                                                            std::int64_t arrival_ns) {
  // Whole milliseconds of the steady clock, as the start-of-stream fit has
  // always used them (truncated like a duration_cast).
  const std::int64_t now_ms = arrival_ns / 1000000;
  try {
    std::lock_guard lock(stream_mutex);
    // A notification that raced a stop, a failed start or a link loss finds
    // the stream ended: its samples belong to no stream.
    if (!streaming) return;
    record_arrival_time(now_ms);
    sample_to_buffer(payload, arrival_ns);
  } catch (const std::exception& e) {
    // Nothing may escape into the BLE layer's thread.
    log(log_level::ERROR, [&](std::ostream& out) { out << "Error while decoding a packet: " << e.what(); });
  }
}

void eeg_manager_implementation::record_arrival_time(std::int64_t now_ms) {
  // Made once in a manager's life, from its first 11 notifications.
  if (packet_arrival_times.size() >= arrival_fit_points) return;
  packet_arrival_times.push_back(now_ms - stream_start_time.load(std::memory_order_relaxed));
  if (packet_arrival_times.size() < arrival_fit_points) return;
  std::array<std::int64_t, arrival_fit_points> times{};
  std::copy(packet_arrival_times.begin(), packet_arrival_times.end(), times.begin());
  stream_time_origin = fit_stream_time_origin(times);
  stream_timing_known.store(true, std::memory_order_release);
}

void eeg_manager_implementation::report_missed_packet(std::int32_t gaps, std::uint64_t expected,
                                                      std::uint64_t received) {
  std::string line = peripheral_name;
  line += "|||||MISSED||||| " + std::to_string(gaps) + "last: " + std::to_string(expected) +
          " current: " + std::to_string(received);
  console::write_line(console::channel::standard_output, line, log_level::WARNING, log_prefix);
}

stream_decoder::hooks eeg_manager_implementation::decoder_hooks() {
  return {
      .deliver =
          [this](const void* const* channels, std::size_t count) { chunk_callback_.call_holding(channels, count); },
      .gap = [this](std::int32_t gaps, std::uint64_t expected,
                    std::uint64_t received) { report_missed_packet(gaps, expected, received); },
      .packet_arrived = [this](std::uint32_t counter,
                               std::int64_t arrival_ns) { stream_clock_.add_packet(counter, arrival_ns); },
      .log = [this](log_level level, const std::string& text) { log_text(level, text); },
  };
}

}  // namespace calyra::core
