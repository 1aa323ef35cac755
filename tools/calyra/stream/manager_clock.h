// A manager's stream clock as the recording uses it: host times of samples,
// and its state for the summary and the JSON sidecar. After a link loss the
// stream goes on on another manager whose samples are numbered from 0 again:
// the clock then follows that manager, shifted onto the recording's axis.
#pragma once

#include <cycore.h>

#include <string>

#include "recording/json_sidecar.h"
#include "stream/sample_clock.h"

namespace calyra::stream {

class manager_clock final : public sample_clock {
 public:
  explicit manager_clock(cy_eeg_manager* manager) : manager_(manager) {}

  // `sample` on the recording's axis.
  std::optional<std::int64_t> host_time_of(double sample) const override;
  // The fractional sample, on the recording's axis, acquired at `host_time_ns`.
  std::optional<double> sample_at(std::int64_t host_time_ns) const;
  // The library's published times: they slew onto an improved estimate.
  bool host_times_of(std::int64_t first, std::size_t count, std::int64_t* out) const override;
  // All zero and CY_CLOCK_UNKNOWN while the clock is not known.
  cy_clock_info info() const;

  // From now on reads `manager` (null: none, the clock is not known), whose sample n is the recording's sample
  // `first_sample` + n. Called on the session's thread, as every reader.
  void follow(cy_eeg_manager* manager, std::int64_t first_sample) {
    manager_ = manager;
    first_sample_ = first_sample;
  }

 private:
  cy_eeg_manager* manager_;
  std::int64_t first_sample_ = 0;
};

// "+48 ppm, jitter p99 0.4 ms", or why there is nothing to say.
std::string clock_summary(const cy_clock_info& info);

// The clock's state as the JSON sidecar records it.
recording::clock_description describe_clock(const cy_clock_info& info);

}  // namespace calyra::stream
