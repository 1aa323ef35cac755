#include "lsl/sample_outlet.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace calyra::lsl {

sample_outlet::sample_outlet(const api& library, const clock_link& clock_link,
                             headset_streams_description description)
    : library_(library),
      clock_link_(clock_link),
      description_(std::move(description)),
      max_held_rows_(static_cast<std::size_t>(max_held_seconds * std::max(1u, description_.rate_hz))) {
  for (auto& plan : plan_kinds(description_)) {
    owned_streaminfo info = make_signal_info(library_, description_, plan);
    if (!info) throw std::runtime_error("liblsl could not describe the stream \"" + plan.name + "\"");
    owned_outlet out(library_.create_outlet(info.get(), 0, max_buffered_seconds), library_.destroy_outlet);
    if (!out) throw std::runtime_error("liblsl could not create the stream \"" + plan.name + "\"");
    owned_streaminfo created(library_.get_info(out.get()), library_.destroy_streaminfo);
    identities_.push_back({plan.name, plan.type, created ? copy_string(library_.get_uid(created.get())) : ""});
    streams_.push_back({std::move(plan), std::move(out), {}});
  }
}

bool sample_outlet::have_consumers() const {
  return std::any_of(streams_.begin(), streams_.end(),
                     [&](const kind_stream& s) { return library_.have_consumers(s.outlet.get()) != 0; });
}

void sample_outlet::push(const recording::sample_block& block, const stream::sample_clock& clock) {
  hold(block);
  release(clock);
  // Only what the clock cannot place yet is bounded; once it is known,
  // everything held goes out.
  if (held_numbers_.size() > max_held_rows_) drop_oldest(held_numbers_.size() - max_held_rows_);
}

void sample_outlet::hold(const recording::sample_block& block) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  held_numbers_.insert(held_numbers_.end(), block.sample_numbers.begin(), block.sample_numbers.end());
  for (auto& stream : streams_) {
    const std::size_t channels = stream.plan.signals.size();
    std::size_t at = stream.values.size();
    stream.values.resize(at + block.size() * channels);
    for (std::size_t row = 0; row < block.size(); ++row) {
      const bool filler = block.streaming[row] == 0;
      for (std::size_t signal : stream.plan.signals) {
        stream.values[at++] = filler ? nan : static_cast<float>(block.signals[signal][row]);
      }
    }
  }
}

void sample_outlet::drop_oldest(std::size_t rows) {
  held_numbers_.erase(held_numbers_.begin(), held_numbers_.begin() + static_cast<std::ptrdiff_t>(rows));
  for (auto& stream : streams_) {
    const auto values = static_cast<std::ptrdiff_t>(rows * stream.plan.signals.size());
    stream.values.erase(stream.values.begin(), stream.values.begin() + values);
  }
  dropped_unclocked_ += rows;
}

void sample_outlet::release(const stream::sample_clock& clock) {
  if (held_numbers_.empty()) return;
  timestamps_.clear();
  // Half a sample period: the least step kept between two timestamps. The
  // published times already increase; this guards the outlet across a new
  // stream, whose clock starts afresh.
  const double least_step = 0.5 / std::max(1u, description_.rate_hz);
  double last = last_timestamp_;
  bool any = any_pushed_;
  std::uint64_t held_back = 0;
  // The clock's published times, one call per run of consecutive samples:
  // they move onto an improved estimate gradually instead of stepping.
  host_times_.resize(held_numbers_.size());
  for (std::size_t run = 0, i = 1; i <= held_numbers_.size(); ++i) {
    if (i < held_numbers_.size() && held_numbers_[i] == held_numbers_[i - 1] + 1) continue;
    if (!clock.host_times_of(static_cast<std::int64_t>(held_numbers_[run]), i - run, host_times_.data() + run)) {
      return;  // not known yet: everything stays held
    }
    run = i;
  }
  for (const std::int64_t host_time : host_times_) {
    double t = clock_link_.lsl_time_of(host_time);
    if (any && t < last + least_step) {
      t = last + least_step;
      ++held_back;
    }
    timestamps_.push_back(t);
    last = t;
    any = true;
  }
  last_timestamp_ = last;
  any_pushed_ = true;
  held_back_ += held_back;
  for (auto& stream : streams_) {
    library_.push_chunk_ftnp(stream.outlet.get(), stream.values.data(), stream.values.size(), timestamps_.data(), 1);
    stream.values.clear();
  }
  pushed_ += held_numbers_.size();
  held_numbers_.clear();
}

}  // namespace calyra::lsl
