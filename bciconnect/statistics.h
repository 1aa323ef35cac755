// Per-channel statistics and normalisation over channel-major blocks. Sums
// run sequentially in index order from 0.0: the results are reproducible to
// the last bit.
#pragma once

#include <cstddef>

namespace calyra::bciconnect {

// A block of n_channels channels of n_samples contiguous doubles each.
struct block_shape {
  std::size_t n_channels;
  std::size_t n_samples;

  std::size_t size() const { return n_channels * n_samples; }
};

void median(const double* data, block_shape shape, double* out);
void median_absolute_deviation(const double* data, block_shape shape, double* out);
void min_max(const double* data, block_shape shape, double* out_min, double* out_max);
void mean(const double* data, block_shape shape, double* out);
void standard_deviation(const double* data, block_shape shape, double* out);
void demean(const double* data, block_shape shape, double* out);
void standardize(const double* data, block_shape shape, double* out);
void ewma(const double* data, block_shape shape, double* out, double alpha);
void ewma_standardize(const double* data, block_shape shape, double* out, double alpha,
                      double epsilon);

}  // namespace calyra::bciconnect
