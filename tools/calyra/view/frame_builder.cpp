#include "view/frame_builder.h"

#include <cybciconnect.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace calyra::view {
namespace {

constexpr double pi = 3.14159265358979323846;
// Keeps a frame well inside its 16-bit bucket count.
constexpr std::size_t max_frame_buckets = 4096;

}  // namespace

unsigned bucket_samples(unsigned rate_hz) { return std::max(1U, rate_hz / 125U); }

frame_builder::frame_builder(std::size_t channels, unsigned rate_hz)
    : channels_(channels),
      rate_(std::max(1U, rate_hz)),
      per_bucket_(bucket_samples(rate_hz)),
      filter_(channels, rate_),
      raw_min_(channels),
      raw_max_(channels),
      filtered_min_(channels),
      filtered_max_(channels),
      history_(channels) {
}

void frame_builder::close_bucket() {
  if (done_.empty() || done_.back().size() >= max_frame_buckets ||
      done_.back().first_bucket + done_.back().size() != bucket_index_) {
    bucket_set next;
    next.first_bucket = static_cast<std::uint32_t>(bucket_index_);
    next.raw.assign(channels_, {});
    next.filtered.assign(channels_, {});
    done_.push_back(std::move(next));
  }
  bucket_set& b = done_.back();
  b.flags.push_back(bucket_flags_);
  for (std::size_t ch = 0; ch < channels_; ++ch) {
    b.raw[ch].push_back(static_cast<float>(raw_min_[ch]));
    b.raw[ch].push_back(static_cast<float>(raw_max_[ch]));
    b.filtered[ch].push_back(static_cast<float>(filtered_min_[ch]));
    b.filtered[ch].push_back(static_cast<float>(filtered_max_[ch]));
  }
  ++bucket_index_;
  bucket_fill_ = 0;
  bucket_flags_ = 0;
}

void frame_builder::add(const display_rows& rows) {
  if (rows.first_row != next_row_) {
    // Rows were dropped on the way here: the partial bucket is abandoned
    // and the buckets restart at the first whole one of these rows.
    bucket_fill_ = 0;
    bucket_flags_ = 0;
    bucket_index_ = (rows.first_row + per_bucket_ - 1) / per_bucket_;
    next_row_ = rows.first_row;
  }
  filter_.process(rows, filtered_);
  for (std::size_t i = 0; i < rows.size(); ++i, ++next_row_) {
    const bool in_bucket = next_row_ >= bucket_index_ * per_bucket_;
    if (in_bucket && bucket_fill_ == 0) {
      std::fill(raw_min_.begin(), raw_min_.end(), std::numeric_limits<double>::infinity());
      std::fill(raw_max_.begin(), raw_max_.end(), -std::numeric_limits<double>::infinity());
      std::fill(filtered_min_.begin(), filtered_min_.end(), std::numeric_limits<double>::infinity());
      std::fill(filtered_max_.begin(), filtered_max_.end(), -std::numeric_limits<double>::infinity());
    }
    if (rows.streaming[i] == 0) bucket_flags_ |= 1;
    for (std::size_t ch = 0; ch < channels_; ++ch) {
      const double v = rows.channels[ch][i];
      const double f = filtered_[ch * rows.size() + i];
      history_[ch].push_back(v);
      if (history_[ch].size() > 2 * rate_) history_[ch].pop_front();
      if (!in_bucket) continue;
      raw_min_[ch] = std::min(raw_min_[ch], v);
      raw_max_[ch] = std::max(raw_max_[ch], v);
      filtered_min_[ch] = std::min(filtered_min_[ch], f);
      filtered_max_[ch] = std::max(filtered_max_[ch], f);
    }
    history_rows_ = history_.empty() ? 0 : history_.front().size();
    ++rows_since_spectrum_;
    if (in_bucket && ++bucket_fill_ == per_bucket_) close_bucket();
  }
}

std::vector<bucket_set> frame_builder::take_buckets() {
  std::vector<bucket_set> out;
  std::swap(out, done_);
  return out;
}

std::vector<std::vector<float>> frame_builder::take_spectrum(float& bin_hz) {
  rows_since_spectrum_ = 0;
  const std::size_t n = history_rows_ & ~static_cast<std::size_t>(1);
  bin_hz = static_cast<float>(rate_) / static_cast<float>(n);
  const std::size_t bins_out =
      std::min(n / 2 + 1, static_cast<std::size_t>(spectrum_top_hz * n / rate_) + 1);
  // Demeaned and windowed, channel-major as the library wants it.
  std::vector<double> block(channels_ * n);
  for (std::size_t ch = 0; ch < channels_; ++ch) {
    const auto& h = history_[ch];
    const std::size_t skip = h.size() - n;
    double mean = 0;
    for (std::size_t i = 0; i < n; ++i) mean += h[skip + i];
    mean /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double hann = 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / static_cast<double>(n));
      block[ch * n + i] = (h[skip + i] - mean) * hann;
    }
  }
  const std::size_t bins = n / 2 + 1;
  std::vector<double> magnitude(channels_ * bins), phase(channels_ * bins);
  cy_bci_connect_fft(block.data(), channels_, n, magnitude.data(), phase.data(), rate_);
  // |X_k| / N of a sinusoid of amplitude A is A / 2, halved again by the
  // window's mean of 0.5: four times the magnitude is the amplitude.
  std::vector<std::vector<float>> out(channels_, std::vector<float>(bins_out));
  for (std::size_t ch = 0; ch < channels_; ++ch) {
    for (std::size_t k = 0; k < bins_out; ++k) {
      out[ch][k] = static_cast<float>(4.0 * magnitude[ch * bins + k]);
    }
  }
  return out;
}

}  // namespace calyra::view
