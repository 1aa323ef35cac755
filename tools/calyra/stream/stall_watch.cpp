#include "stream/stall_watch.h"

#include <sstream>

#include "display/progress_bar.h"

namespace calyra::stream {

stall_watch::stall_watch(double timeout_seconds, clock::time_point start)
    : timeout_(std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(timeout_seconds))),
      last_(start) {}

std::string stall_watch::check(const recording_pipeline& pipeline, unsigned rate_hz, clock::time_point now) {
  // Filler samples for lost packets are rows too, but nothing decoded.
  const std::uint64_t decoded = pipeline.samples() - pipeline.lost_samples();
  if (decoded != decoded_) {
    decoded_ = decoded;
    rows_at_last_ = pipeline.samples();
    last_ = now;
  }
  if (timeout_.count() == 0 || now - last_ < timeout_) return {};
  std::ostringstream text;
  text << "the headset delivered no decodable sample for " << std::chrono::duration<double>(timeout_).count()
       << " s (";
  if (decoded == 0) {
    text << "none since the stream started";
  } else {
    text << "the last at " << display::format_seconds(static_cast<double>(rows_at_last_) / rate_hz)
         << " of stream";
  }
  if (pipeline.lost_samples() > 0) text << "; packets were missed";
  text << ")";
  return text.str();
}

}  // namespace calyra::stream
