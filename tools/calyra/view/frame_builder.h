// Turns the rows the view receives into display frames: each electrode
// filtered for the filter switch, reduced to (min, max) buckets of a few
// samples (about 125 per second, enough for a 10 s window drawn on a wide
// screen, and every spike still shows), and an amplitude spectrum of every
// electrode once per second of signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "view/display_filter.h"
#include "view/display_tap.h"
#include "view/frame_codec.h"

namespace calyra::view {

// Samples per bucket at `rate_hz`: 2 at 250 Hz, 4 at 500 Hz.
unsigned bucket_samples(unsigned rate_hz);

// The spectrum covers 0 Hz up to here.
inline constexpr double spectrum_top_hz = 60.0;

class frame_builder {
 public:
  frame_builder(std::size_t channels, unsigned rate_hz);

  void add(const display_rows& rows);

  // The buckets completed since the last call, as runs of consecutive
  // buckets (more than one only when rows were dropped in between).
  std::vector<bucket_set> take_buckets();

  // Once per second of signal: the amplitude spectrum of each electrode
  // over the last two seconds (Hann window), bins up to spectrum_top_hz.
  bool spectrum_due() const { return rows_since_spectrum_ >= rate_ && history_rows_ >= rate_; }
  std::vector<std::vector<float>> take_spectrum(float& bin_hz);

 private:
  void close_bucket();

  std::size_t channels_;
  unsigned rate_;
  unsigned per_bucket_;
  display_filter filter_;
  std::vector<double> filtered_;  // the rows being added, filtered, channel-major

  std::uint64_t next_row_ = 0;
  // The bucket being filled.
  std::uint64_t bucket_index_ = 0;
  unsigned bucket_fill_ = 0;
  std::uint8_t bucket_flags_ = 0;
  std::vector<double> raw_min_, raw_max_, filtered_min_, filtered_max_;
  std::vector<bucket_set> done_;

  // The last two seconds of raw samples, for the spectrum.
  std::vector<std::deque<double>> history_;
  std::size_t history_rows_ = 0;
  std::size_t rows_since_spectrum_ = 0;
};

}  // namespace calyra::view
