#include "detrend.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <dlib/optimization/optimization_least_squares.h>
#include <dlib/optimization/optimization_stop_strategies.h>

namespace calyra::bciconnect {

namespace {

using input_vector = dlib::matrix<double, 2, 1>;  // (t, 1.0)
using parameters = dlib::matrix<double, 2, 1>;    // (slope, offset)
using training_sample = std::pair<input_vector, double>;

double residual(const training_sample& sample, const parameters& p) {
  const input_vector& in = sample.first;
  return (in(1) * p(1) + in(0) * p(0)) - sample.second;
}

// The model is linear in p: the gradient of the residual is the input itself.
input_vector residual_derivative(const training_sample& sample, const parameters& /*p*/) {
  return sample.first;
}

// Running mean of the first ceil(5 %) samples (at least one), the offset the
// solver starts from.
double starting_offset(const double* channel, std::size_t n_samples) {
  const double limit = 0.05 * static_cast<double>(n_samples);
  double mean = 0.0;
  for (std::size_t j = 0; static_cast<double>(j) < limit; ++j) {
    const double before = static_cast<double>(j);
    const double count = static_cast<double>(j + 1);
    mean = (mean * before) / count + channel[j] / count;
  }
  return mean;
}

}  // namespace

void detrend(const double* data, block_shape shape, double* out) {
  if (shape.n_samples == 0) {
    return;
  }
  std::vector<training_sample> samples(shape.n_samples);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    const double* channel = data + ch * shape.n_samples;
    bool finite = true;
    for (std::size_t t = 0; t < shape.n_samples; ++t) {
      input_vector in;
      in(0) = static_cast<double>(static_cast<std::int32_t>(t));
      in(1) = 1.0;
      samples[t] = {in, channel[t]};
      finite = finite && std::isfinite(channel[t]);
    }

    parameters p;
    if (finite) {
      p(0) = 1.0;
      p(1) = starting_offset(channel, shape.n_samples);
      // Five accepted steps from a radius of 1 do not always reach the
      // least-squares line; the channel then keeps whatever trend remains.
      dlib::solve_least_squares(dlib::objective_delta_stop_strategy(1e-6, 5), residual,
                                residual_derivative, samples, p);
    } else {
      // A NaN or infinity has no line through it. The solver would give up at
      // its first step and leave its starting line (slope 1) behind, making
      // the channel look finite and steeply trending; the whole channel comes
      // out NaN instead.
      p(0) = std::numeric_limits<double>::quiet_NaN();
      p(1) = std::numeric_limits<double>::quiet_NaN();
    }

    // The targets live on in `samples`, so out may overwrite the channel.
    double* result = out + ch * shape.n_samples;
    for (std::size_t t = 0; t < shape.n_samples; ++t) {
      const input_vector& in = samples[t].first;
      const double fitted = (p(1) * in(1)) + (p(0) * in(0));
      result[t] = samples[t].second - fitted;
    }
  }
}

}  // namespace calyra::bciconnect
