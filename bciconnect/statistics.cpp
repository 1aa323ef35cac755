#include "statistics.h"

#include <cmath>
#include <vector>

#include "median.h"

namespace calyra::bciconnect {

namespace {

double channel_sum(const double* channel, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += channel[i];
  }
  return sum;
}

std::vector<double> channel_means(const double* data, block_shape shape) {
  std::vector<double> means(shape.n_channels);
  mean(data, shape, means.data());
  return means;
}

}  // namespace

void median(const double* data, block_shape shape, double* out) {
  if (shape.n_samples == 0) {
    return;
  }
  std::vector<double> scratch(shape.n_samples);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* channel = data + ch * shape.n_samples;
    scratch.assign(channel, channel + shape.n_samples);
    out[ch] = median_in_place(scratch.data(), shape.n_samples);
  }
}

void median_absolute_deviation(const double* data, block_shape shape, double* out) {
  if (shape.n_samples == 0) {
    return;
  }
  // One channel at a time through one scratch channel: the same medians as
  // a whole block of deviations would give, in a fraction of the memory.
  std::vector<double> scratch(shape.n_samples);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* channel = data + ch * shape.n_samples;
    scratch.assign(channel, channel + shape.n_samples);
    const double centre = median_in_place(scratch.data(), shape.n_samples);
    for (std::size_t i = 0; i < shape.n_samples; ++i) {
      scratch[i] = std::fabs(channel[i] - centre);
    }
    out[ch] = median_in_place(scratch.data(), shape.n_samples);
  }
}

void min_max(const double* data, block_shape shape, double* out_min, double* out_max) {
  if (shape.n_samples == 0) {
    return;
  }
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* channel = data + ch * shape.n_samples;
    // Comparisons with NaN are false: a NaN never replaces a number, but a
    // NaN first sample is never replaced either.
    double lowest = channel[0];
    double highest = channel[0];
    for (std::size_t i = 0; i < shape.n_samples; ++i) {
      const double v = channel[i];
      if (lowest > v) {
        lowest = v;
      }
      if (v > highest) {
        highest = v;
      }
    }
    out_min[ch] = lowest;
    out_max[ch] = highest;
  }
}

void mean(const double* data, block_shape shape, double* out) {
  const double count = static_cast<double>(shape.n_samples);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    out[ch] = channel_sum(data + ch * shape.n_samples, shape.n_samples) / count;
  }
}

void standard_deviation(const double* data, block_shape shape, double* out) {
  const std::vector<double> means = channel_means(data, shape);
  const double count = static_cast<double>(shape.n_samples);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* channel = data + ch * shape.n_samples;
    double sum = 0.0;
    for (std::size_t i = 0; i < shape.n_samples; ++i) {
      const double d = channel[i] - means[ch];
      sum += d * d;
    }
    out[ch] = std::sqrt(sum / count);
  }
}

void demean(const double* data, block_shape shape, double* out) {
  const std::vector<double> means = channel_means(data, shape);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const std::size_t first = ch * shape.n_samples;
    for (std::size_t i = first; i < first + shape.n_samples; ++i) {
      out[i] = data[i] - means[ch];
    }
  }
}

void standardize(const double* data, block_shape shape, double* out) {
  const std::vector<double> means = channel_means(data, shape);
  std::vector<double> deviations(shape.n_channels);
  standard_deviation(data, shape, deviations.data());
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const std::size_t first = ch * shape.n_samples;
    for (std::size_t i = first; i < first + shape.n_samples; ++i) {
      out[i] = (data[i] - means[ch]) / deviations[ch];
    }
  }
}

void ewma(const double* data, block_shape shape, double* out, double alpha) {
  if (shape.n_samples == 0) {
    return;
  }
  const double q = 1.0 - alpha;
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* x = data + ch * shape.n_samples;
    double* y = out + ch * shape.n_samples;
    double numerator = x[0];
    double denominator = 1.0;
    y[0] = x[0];
    for (std::size_t k = 1; k < shape.n_samples; ++k) {
      numerator = numerator * q + x[k];
      // pow rather than a running product: the weights must be exactly
      // pow(q, k), which a product drifts away from in the last bits.
      denominator = denominator + std::pow(q, static_cast<double>(k));
      y[k] = numerator / denominator;
    }
  }
}

void ewma_standardize(const double* data, block_shape shape, double* out, double alpha,
                      double epsilon) {
  if (shape.n_samples == 0) {
    return;
  }
  // Every scratch step finishes before the first output element is written,
  // so out may be data itself.
  std::vector<double> deviation(shape.size());
  ewma(data, shape, deviation.data(), alpha);
  std::vector<double> variance(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const double d = data[i] - deviation[i];
    deviation[i] = d;
    variance[i] = d * d;
  }
  ewma(variance.data(), shape, variance.data(), alpha);

  for (std::size_t i = 0; i < shape.size(); ++i) {
    const double spread = std::sqrt(variance[i]);
    out[i] = deviation[i] / (spread > epsilon ? spread : epsilon);
  }
}

}  // namespace calyra::bciconnect
