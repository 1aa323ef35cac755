// Annotations: host texts stamped with the stream sample number reached at
// the moment of the call, estimated from the stream's timing.
//
// The records live in a deque (appending never moves one); the host receives
// annotation_array, a contiguous mirror of a prefix of it that a fetch
// extends. Texts are owned by annotation_texts and shared by both.
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

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
      steady_clock_ms(), stream_start_time.load(), stream_time_origin, data_stream_rate.load());
  return store_annotation(sample_number, text);
}

error eeg_manager_implementation::store_annotation(std::int64_t sample_number, const char* text) {
  const std::size_t length = std::strlen(text);
  auto copy = std::make_unique<char[]>(length + 1);
  std::memcpy(copy.get(), text, length + 1);

  // Both containers grow first, so a failed allocation leaves neither changed.
  std::lock_guard lock(annotations_mutex);
  annotation_texts.emplace_back();
  try {
    annotations.push_back(cy_annotation{sample_number, copy.get()});
  } catch (...) {
    annotation_texts.pop_back();
    throw;
  }
  annotation_texts.back() = std::move(copy);
  return error::OK;
}

void eeg_manager_implementation::get_annotations(cy_annotation** out, std::size_t* count) const {
  std::lock_guard lock(annotations_mutex);
  const std::size_t stored = annotations.size();
  annotation_array.reserve(stored);
  for (std::size_t i = annotation_array.size(); i < stored; ++i) {
    annotation_array.push_back(annotations[i]);
  }
  if (out != nullptr) *out = annotation_array.empty() ? nullptr : annotation_array.data();
  if (count != nullptr) *count = stored;
}

void eeg_manager_implementation::clear_annotations() {
  std::lock_guard lock(annotations_mutex);
  annotation_array.clear();
  annotations.clear();
  annotation_texts.clear();
}

}  // namespace calyra::core
