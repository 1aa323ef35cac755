// Publishes calyra's annotations as an LSL marker stream ("<EEG stream
// name> Markers", type Markers, one string channel, irregular rate), each
// at its sample's time. Pushes never wait for consumers; each consumer's
// buffer holds the last max_buffered_markers markers.
//
// Thread-safe: annotations come from the main thread and from the marker
// sources' threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "lsl/handles.h"
#include "lsl/lsl_clock.h"

namespace calyra::lsl {

class marker_outlet {
 public:
  // liblsl counts an irregular stream's buffer in hundreds of samples.
  static constexpr std::int32_t max_buffered_markers = 10000;

  // Throws std::runtime_error when liblsl refuses to create the stream.
  marker_outlet(const api& library, const clock_link& clock_link, const std::string& eeg_name,
                const std::string& eeg_source_id);

  // `host_time_ns`: CLOCK_MONOTONIC ns of the sample the marker belongs to.
  void push(std::int64_t host_time_ns, const std::string& text);

  const std::string& name() const { return name_; }
  // The stream's unique id; a marker source excludes it, so that calyra
  // does not read back its own markers.
  const std::string& uid() const { return uid_; }

 private:
  const api& library_;
  const clock_link& clock_link_;
  owned_outlet outlet_;
  std::string name_;
  std::string uid_;
  std::mutex mutex_;
};

}  // namespace calyra::lsl
