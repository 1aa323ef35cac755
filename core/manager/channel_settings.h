// A manager's channel settings: which channels are enabled, their gains and
// bias polarities, the impedance mode and the sample-rate code, as the host
// set them, and the channel layout and gains a stream start froze from them.
// Memory only: the configuration upload sends them, the start freezes them.
//
// Host threads set them while a start, an upload or the decoder reads them,
// so every member is read and written under the one mutex inside (a leaf:
// nothing is called while it is held). The impedance mode and the rate are
// also readable without it, since the decoder reads the mode per packet.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "runtime/stream_types.h"

namespace calyra::core {

class channel_settings {
 public:
  using gain_table = std::unordered_map<std::uint16_t, gain_mode>;

  // The channels and gains one stream runs with, fixed at its start.
  struct frozen_layout {
    std::vector<std::uint16_t> channels;  // ascending
    gain_table gains;
  };

  // What a configuration record is built from: the enabled electrode
  // measurements with the gain each is uploaded with, the biased
  // electrodes, the mode and the rate.
  struct upload_view {
    std::vector<gain_mode> electrode_gains;  // per electrode; meaningful where enabled
    std::vector<bool> electrode_enabled;
    std::vector<bool> electrode_biased;
    std::uint8_t impedance_mode = 0;
    std::uint8_t rate = 0;
  };

  void set_enabled(std::uint16_t channel, bool enabled);
  void set_gain(std::uint16_t channel, gain_mode mode);
  // p == 0 removes the channel's bias.
  void set_bias(std::uint16_t channel, polarity p);
  void set_impedance_mode(impedance_measurement_mode mode);
  void set_rate(std::uint8_t rate_code);

  impedance_measurement_mode impedance_mode() const { return impedance_mode_.load(std::memory_order_relaxed); }
  std::uint8_t rate() const { return rate_.load(std::memory_order_relaxed); }
  // The enabled channels, ascending.
  std::vector<std::uint16_t> enabled_channels() const;
  // The bias of `channel`; 0 when it has none.
  polarity bias_of(std::uint16_t channel) const;
  // The gain set for `channel`; none when it has none.
  std::optional<gain_mode> gain_of(std::uint16_t channel) const;

  // Fixes the enabled channels and their gains as the stream's layout.
  frozen_layout freeze_for_stream();
  // Position of `channel` in the frozen layout; -1 when it is not streamed.
  std::int64_t index_in_stream(std::uint16_t channel) const;

  // The settings of electrode measurements 0 .. electrodes - 1 for a
  // configuration record. With keep_default_gains an enabled electrode
  // without a gain keeps the default it is uploaded with, so the next start
  // decodes it that way.
  upload_view for_upload(std::size_t electrodes, bool keep_default_gains);

  // Clears enabled channels, gains, biases, the impedance mode and the
  // frozen layout; the rate stays.
  void reset();

 private:
  mutable std::mutex mutex_;
  std::set<std::uint16_t> enabled_;
  gain_table gains_;
  std::unordered_map<std::uint16_t, polarity> bias_;
  std::vector<std::uint16_t> stream_channels_;  // the frozen layout's, ascending
  // Written under mutex_; atomic for the readers that do not take it.
  std::atomic<std::uint8_t> impedance_mode_{0};
  std::atomic<std::uint8_t> rate_{6};
};

}  // namespace calyra::core
