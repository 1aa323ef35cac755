// Decoding of stream_data notifications into samples: arrival-time fit, gap
// detection and filling, 24-bit and 12-bit value decoding, scaling, and the
// per-sample delivery decisions.
//
// A whole notification is decoded under stream_mutex, so flushes from stop
// and disconnect, their change of current_sample and the decoder never
// interleave. Steady streaming allocates nothing: every value goes straight
// into a buffer reserved at stream start.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "manager/arrival_fit.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/console.h"
#include "manager/packet_codec.h"
#include "runtime/state.h"

namespace calyra::core {

namespace {

// A counter jump beyond this many samples is a corrupt or wrapped counter,
// not lost packets: it is reported but not filled.
constexpr std::uint64_t max_filled_gap = 65536;

// This first sample number never counts as a gap.
constexpr std::uint64_t never_a_gap = 0x80000001u;

}  // namespace

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

void eeg_manager_implementation::drop_undecodable(std::size_t payload_size) {
  if (undecodable_packets++ != 0) return;
  const std::size_t streamed = plan.electrodes.size();
  if (streamed == 0 || plan.max_samples == 0) {
    log(log_level::WARNING, [&](std::ostream& out) {
      out << "Dropping undecodable stream packets (first: " << payload_size
          << " bytes; no streamed electrode to decode)";
    });
    return;
  }
  const auto size_of = [&](std::size_t samples) {
    return packet_codec::payload_size(samples, streamed, static_cast<std::size_t>(electrode_count),
                                      plan.has_accel, impedance_mode.load(std::memory_order_relaxed) != 0);
  };
  log(log_level::WARNING, [&](std::ostream& out) {
    out << "Dropping undecodable stream packets (first: " << payload_size << " bytes for " << streamed
        << " streamed electrodes, where a packet of 1 to " << plan.max_samples << " samples has "
        << size_of(1) << " to " << size_of(plan.max_samples) << " bytes)";
  });
}

void eeg_manager_implementation::report_missed_packet() {
  std::string line = peripheral_name;
  line += "|||||MISSED||||| " + std::to_string(missed_packet_count) + "last: " +
          std::to_string(next_expected_sample) + " current: " + std::to_string(current_sample);
  console::write_line(console::channel::standard_output, line, log_level::WARNING, log_prefix);
}

void eeg_manager_implementation::append_filler_sample(std::uint64_t sample_number,
                                                      float accel_zero) {
  const bool impedance = impedance_mode.load(std::memory_order_relaxed) != 0;
  for (const electrode_slot& slot : plan.electrodes) {
    if (slot.measurement) slot.measurement->push_back(impedance ? last_measurements[slot.electrode] : 0.0);
    if (slot.contact) slot.contact->push_back(impedance ? 1 : 0);
  }
  if (plan.has_accel) {
    for (auto* axis : plan.accel) {
      if (axis) axis->push_back(accel_zero);
    }
  }
  if (plan.sample_number) plan.sample_number->push_back(sample_number);
  if (plan.streaming_flag) plan.streaming_flag->push_back(0);
}

// Besides the delivery points of the sample counters, both deliver as soon as
// the chunk is full, whatever mix of filler and decoded samples it holds: a
// chunk next to a gap would otherwise carry up to twice chunk_size samples,
// and hosts size their buffers by chunk_size.
void eeg_manager_implementation::after_filler_sample() {
  ++chunk_sample_count;
  ++next_expected_sample;
  if (current_sample - next_expected_sample >= plan.chunk_size ||
      chunk_sample_count >= plan.chunk_size) {
    service_chunks();
  }
}

void eeg_manager_implementation::after_decoded_sample() {
  ++chunk_sample_count;
  ++current_sample;
  if (current_sample - last_delivered_sample >= plan.chunk_size ||
      chunk_sample_count >= plan.chunk_size) {
    service_chunks();
  }
  next_expected_sample = current_sample;
}

void eeg_manager_implementation::sample_to_buffer(const ble::ByteArray& payload,
                                                  std::optional<std::int64_t> arrival_ns) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const std::size_t size = payload.size();
  const bool impedance = impedance_mode.load(std::memory_order_relaxed) != 0;
  const std::size_t streamed = plan.electrodes.size();

  const auto layout = packet_codec::compute_layout(size, streamed, static_cast<std::size_t>(electrode_count),
                                                   plan.has_accel, impedance, plan.max_samples);
  if (!layout) {
    stream_stats.count_undecodable();
    drop_undecodable(size);
    return;
  }

  const std::uint32_t counter = packet_codec::read_u32le(bytes + layout->counter_offset);
  if (arrival_ns) stream_clock_.add_packet(counter, *arrival_ns);
  sample_bits = impedance ? 24.0 : 12.0;
  samples_per_packet = static_cast<std::int32_t>(layout->samples);
  const std::uint32_t first = counter + 1u - static_cast<std::uint32_t>(layout->samples);
  current_sample = first;

  const float accel_zero = plan.has_accel ? features->convert_accel(0) : 0.0f;
  const bool gap = current_sample != next_expected_sample && current_sample != never_a_gap;
  const bool fill = gap && current_sample > next_expected_sample &&
                    current_sample - next_expected_sample <= max_filled_gap;
  // Counted before any sample of the packet goes out: a chunk callback that
  // receives a filler sample finds it in the stats already.
  const std::uint64_t filled = fill ? current_sample - next_expected_sample : 0;
  stream_stats.count_packet((filled + layout->samples - 1) / layout->samples, filled);
  if (gap) {
    if (!impedance) {
      ++missed_packet_count;
      report_missed_packet();
    }
    if (current_sample > next_expected_sample) {
      if (fill) {
        for (std::uint64_t s = next_expected_sample; s < current_sample;) {
          append_filler_sample(s, accel_zero);
          after_filler_sample();
          s = next_expected_sample;
        }
      } else {
        log(log_level::WARNING, [&](std::ostream& out) {
          out << "Sample counter jumped from " << next_expected_sample << " to " << current_sample
              << "; the gap is not filled";
        });
      }
    }
  }

  // Every sample of a packet carries the same accelerometer reading.
  float accel[3] = {0.0f, 0.0f, 0.0f};
  if (plan.has_accel) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      accel[axis] = features->convert_accel(packet_codec::read_i16le(bytes + layout->accel_offset + 2 * axis));
    }
  }

  const std::uint8_t* status = bytes + layout->status_offset;
  packet_codec::twelve_bit_reader differences(bytes + 3 * streamed);
  const std::int32_t mask = difference_mask;

  for (std::size_t s = 0; s < layout->samples; ++s) {
    for (std::size_t k = 0; k < streamed; ++k) {
      const electrode_slot& slot = plan.electrodes[k];
      const std::uint8_t e = slot.electrode;
      double value;
      if (impedance) {
        value = packet_codec::decode_int24(bytes + 3 * streamed * s + 3 * k);
      } else {
        if (s == 0) {
          prev[e] = packet_codec::decode_int24(bytes + 3 * k);
        } else {
          prev[e] += packet_codec::decode_difference(differences.next(), mask);
        }
        value = packet_codec::to_microvolts(prev[e], slot.full_scale);
      }
      if (slot.measurement) slot.measurement->push_back(value);
      if (slot.contact) {
        slot.contact->push_back(impedance ? 1 : static_cast<std::uint8_t>((status[e / 8] >> (e % 8)) & 1));
      }
      last_measurements[e] = value;
    }
    if (plan.has_accel) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (plan.accel[axis]) plan.accel[axis]->push_back(accel[axis]);
      }
    }
    if (plan.sample_number) plan.sample_number->push_back(current_sample);
    if (plan.streaming_flag) plan.streaming_flag->push_back(1);
    after_decoded_sample();
  }
}

}  // namespace calyra::core
