// The stream decoder: turns stream_data payloads into samples in per-channel
// chunk buffers, fills the samples of lost packets, and hands full chunks
// out. Set up at every stream start from the frozen layout, then called once
// per notification. It knows nothing of links, callbacks or logging: what it
// reports goes through the hooks it was built with.
//
// Threads: every member takes the decoder's own lock, which it holds while a
// hook runs (a chunk reaches the host under it, so replacing the host's
// chunk callback can wait for one in delivery). A hook must not call back
// into the decoder. The manager calls it under stream_mutex:
// stream_mutex -> the decoder's lock -> the hooks' own locks.
//
// Steady streaming allocates nothing: every value goes straight into a
// buffer reserved at start.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capabilities/device_features.h"
#include "manager/stream_stats.h"
#include "runtime/logger.h"
#include "runtime/stream_types.h"

namespace calyra::core {

// What a stream start freezes for the decoder.
struct decoder_layout {
  // The streamed channel ids, ascending, and each one's type code
  // (NO_CHANNEL_DATA_TYPE for an id the model does not produce).
  std::vector<std::uint16_t> channels;
  std::vector<std::uint8_t> types;
  // Gain per measurement channel; a channel without one is scaled as X8.
  std::unordered_map<std::uint16_t, gain_mode> gains;
  // The connected model (not owned); null decodes nothing.
  const device_features_internal* model = nullptr;
  // Mask of a packet's sample differences (0xFFF for 11-bit, 0x1FFF for 12-bit).
  std::int32_t difference_mask = 0xFFF;
  std::size_t chunk_size = 25;
};

class stream_decoder {
 public:
  struct hooks {
    // A chunk for the host: one pointer per streamed channel (the layout's
    // order; null for a channel of no type), each holding `count` values.
    std::function<void(const void* const* channels, std::size_t count)> deliver;
    // A gap in the packet counter outside impedance mode: the gaps seen so
    // far (this one included), the sample number expected and the one that came.
    std::function<void(std::int32_t gaps, std::uint64_t expected, std::uint64_t received)> gap;
    // A packet's counter and arrival time (steady clock, ns), before any of
    // its samples goes out.
    std::function<void(std::uint32_t counter, std::int64_t arrival_ns)> packet_arrived;
    // A line for the log.
    std::function<void(log_level level, const std::string& text)> log;
  };

  explicit stream_decoder(hooks h);
  stream_decoder(const stream_decoder&) = delete;
  stream_decoder& operator=(const stream_decoder&) = delete;

  // Rebuilds the buffers and the decoding plan for `layout` and starts
  // counting the stream's samples from 0 (a gap before the first packet is
  // filled from there). Buffered samples of an earlier stream are dropped.
  void start(decoder_layout layout);

  // Decodes one payload and appends its samples, delivering each chunk that
  // fills up; `impedance` tells which packet format the headset sends.
  void decode(std::string_view payload, bool impedance, std::optional<std::int64_t> arrival_ns = std::nullopt);

  // Delivers the buffered samples, if any, as one (shorter) chunk.
  void flush();

  // The stream ended: returns the last sample number decoded and rewinds the
  // position to 0, so that the final flush and the next start count afresh.
  std::uint64_t end();

  // Drops buffered samples without delivering them and rewinds to 0.
  void discard();

  // Gaps seen since this decoder was made (outside impedance mode).
  std::int32_t missed_packets() const;
  // The counts of the current (or last) stream; its own leaf lock, so
  // callable from inside a chunk delivery.
  cy_stream_stats stats() const { return stats_.snapshot(); }
  // The streamed electrodes (0-based), ascending.
  std::vector<std::uint8_t> streamed_electrodes() const;
  // The type code of every streamed channel. The reference stays valid, its
  // contents unchanged, until the next start.
  const std::vector<std::uint8_t>& channel_types() const { return layout_.types; }

 private:
  struct electrode_slot {
    std::uint8_t electrode = 0;
    std::vector<double>* measurement = nullptr;    // null: not streamed
    std::vector<std::uint8_t>* contact = nullptr;  // null: not streamed
    double full_scale = 4.5 / 8.0;                 // 4.5 / gain multiplier
  };
  struct plan {
    std::vector<electrode_slot> electrodes;  // ascending electrode order
    std::array<std::vector<float>*, 3> accel{};
    std::vector<std::uint64_t>* sample_number = nullptr;
    std::vector<std::uint8_t>* streaming_flag = nullptr;
    bool has_accel = false;
    std::size_t max_samples = 0;  // the model's samples per packet
  };

  void build_plan();
  void flush_locked();
  void append_filler_sample(std::uint64_t sample_number, float accel_zero, bool impedance);
  void after_filler_sample();
  void after_decoded_sample();
  void drop_undecodable(std::size_t payload_size, bool impedance);
  void log(log_level level, const std::string& text) const;

  const hooks hooks_;
  mutable std::mutex mutex_;
  decoder_layout layout_;                  // guard: mutex_
  plan plan_;                              // guard: mutex_
  // Chunk buffers, one per streamed channel of each type, in stream order.
  std::vector<std::vector<float>> float32_;     // guard: mutex_
  std::vector<std::vector<std::uint8_t>> uint8_;   // guard: mutex_
  std::vector<std::vector<std::uint64_t>> uint64_;  // guard: mutex_
  std::vector<std::vector<double>> float64_;    // guard: mutex_
  std::vector<const void*> pointers_;      // guard: mutex_ (reused per delivery)
  std::size_t chunk_samples_ = 0;          // guard: mutex_
  std::uint64_t current_sample_ = 0;       // guard: mutex_
  std::uint64_t last_delivered_sample_ = 0;  // guard: mutex_
  std::uint64_t next_expected_sample_ = 0;   // guard: mutex_
  std::int32_t missed_packets_ = 0;        // guard: mutex_ (for the decoder's life)
  std::uint64_t undecodable_ = 0;          // guard: mutex_ (per stream)
  // Running value per electrode while differences are added up, and the last
  // value decoded, which fills the gaps of impedance mode. Per decoder: one
  // manager's values never reach another's stream.
  std::vector<std::int32_t> running_;      // guard: mutex_
  std::vector<double> last_values_;        // guard: mutex_
  stream_stats_counter stats_;             // its own leaf lock
};

}  // namespace calyra::core
