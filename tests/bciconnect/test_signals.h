// Signals and comparisons shared by the signal-processing tests.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace bci_test {

inline constexpr double pi = 3.14159265358979323846;

inline std::vector<double> sine(std::size_t n, double frequency, double rate,
                                double amplitude = 1.0, double phase = 0.0) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = amplitude * std::sin(2 * pi * frequency * static_cast<double>(i) / rate + phase);
  }
  return x;
}

inline std::vector<double> noise(std::size_t n, double sigma, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  std::vector<double> x(n);
  for (double& v : x) {
    v = normal(engine);
  }
  return x;
}

inline std::vector<double> concat(const std::vector<std::vector<double>>& channels) {
  std::vector<double> block;
  for (const auto& channel : channels) {
    block.insert(block.end(), channel.begin(), channel.end());
  }
  return block;
}

inline std::vector<double> channel_of(const std::vector<double>& block, std::size_t ch,
                                      std::size_t n_samples) {
  return {block.begin() + static_cast<std::ptrdiff_t>(ch * n_samples),
          block.begin() + static_cast<std::ptrdiff_t>((ch + 1) * n_samples)};
}

// Equal to the last bit (NaNs with equal payloads included).
inline bool bitwise_equal(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Amplitude and phase (of a sine) at a known frequency over samples
// [first, last), by least squares on sine and cosine at that frequency.
struct tone {
  double amplitude;
  double phase;
};

inline tone measure_tone(const std::vector<double>& x, double frequency, double rate,
                         std::size_t first, std::size_t last) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (std::size_t i = first; i < last; ++i) {
    const double w = 2 * pi * frequency * static_cast<double>(i) / rate;
    const double s = std::sin(w);
    const double c = std::cos(w);
    ss += s * s;
    sc += s * c;
    cc += c * c;
    xs += x[i] * s;
    xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det;  // sine weight
  const double b = (xc * ss - xs * sc) / det;  // cosine weight
  return {std::hypot(a, b), std::atan2(b, a)};
}

}  // namespace bci_test
