// Numeric vocabulary shared by the filter-design classes.
#pragma once

#include <complex>
#include <limits>

namespace Dsp {

using complex_t = std::complex<double>;

// Written out rather than computed so every design starts from the same bits.
inline constexpr double doublePi = 3.141592653589793;
inline constexpr double doublePi2 = 6.283185307179586;
inline constexpr double doublePi_2 = 1.5707963267948966;
// Band edges are kept strictly inside (0, pi) so the tangents stay finite.
inline constexpr double bandEdgeLow = 1e-8;
inline constexpr double bandEdgeHigh = 3.141592643589793;

// The analog prototype's zeros lie at infinity, written as (+inf, 0).
inline complex_t infinity() {
  return complex_t(std::numeric_limits<double>::infinity(), 0.0);
}

inline bool isInfinity(const complex_t& c) {
  return c == infinity();
}

}  // namespace Dsp
