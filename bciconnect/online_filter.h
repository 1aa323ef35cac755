// A causal cascade of second-order sections that carries its state, per
// channel, from one chunk of a stream to the next.
#pragma once

#include <cstddef>
#include <vector>

#include "butterworth_sections.h"
#include "zero_phase_filter.h"

namespace calyra::bciconnect {

class online_filter {
 public:
  online_filter(std::vector<sos_section> sections, std::size_t n_channels);

  // Channel-major blocks of channels() x n_samples; out may equal in.
  void process(const double* in, std::size_t n_samples, double* out);
  // The same with the given lane width (every width gives the same bits).
  void process(const double* in, std::size_t n_samples, double* out, lane_width lanes);

  void reset(cy_bci_filter_initial initial);

  std::size_t channels() const { return n_channels_; }
  const std::vector<sos_section>& sections() const { return sections_; }

 private:
  void start_steady(const double* in, std::size_t n_samples);

  std::vector<sos_section> sections_;
  std::size_t n_channels_;
  // z1 and z2 of every section and channel: state_[(2 * s + k) * n_channels_
  // + ch], so that neighbouring channels sit side by side for the lanes.
  std::vector<double> state_;
  std::vector<double> unit_steady_;  // the steady state for a constant 1
  bool steady_pending_ = false;
};

}  // namespace calyra::bciconnect
