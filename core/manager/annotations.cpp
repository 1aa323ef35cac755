// Annotations: host texts stamped with the stream sample number reached at
// the moment of the call, estimated from the stream's timing, and kept in
// the manager's annotation store.
#include <chrono>
#include <cmath>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {
namespace {

std::int64_t steady_clock_ms() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return ns.count() / 1000000;
}

}  // namespace

std::int64_t eeg_manager_implementation::annotation_sample_number(std::int64_t now_ms,
                                                                std::int64_t stream_start_ms,
                                                                double stream_time_origin_ms,
                                                                std::uint8_t rate_code) {
  const std::int64_t elapsed_ms =
      now_ms - stream_start_ms - static_cast<std::int64_t>(std::llround(stream_time_origin_ms));
  const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
  // llround: halves away from zero, so 499.5 samples is sample 500.
  return static_cast<std::int64_t>(std::llround(seconds * sample_frequency_hz(rate_code)));
}

error eeg_manager_implementation::annotate(const char* text) {
  if (text == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to annotate - the text is null");
  if (!connected) return fail(error::CONNECTION_ERROR, "Unable to annotate - no connection to device");
  // The fit may legitimately put the origin at exactly 0.0, so whether timing
  // is known is its own flag. Once set, the origin never changes again.
  if (!stream_timing_known.load(std::memory_order_acquire)) {
    return fail(error::NOT_STREAMING,
                "Unable to annotate - the stream's timing is not known yet (start a stream and wait for its "
                "first notifications)");
  }

  const std::int64_t sample_number = annotation_sample_number(
      steady_clock_ms(), stream_start_time.load(), stream_time_origin, settings_.rate());
  return store_annotation(sample_number, text);
}

error eeg_manager_implementation::store_annotation(std::int64_t sample_number, const char* text) {
  annotations_.append(sample_number, text);
  return error::OK;
}

void eeg_manager_implementation::get_annotations(cy_annotation** out, std::size_t* count) const {
  annotations_.read(out, count);
}

void eeg_manager_implementation::clear_annotations() { annotations_.clear(); }

}  // namespace calyra::core
