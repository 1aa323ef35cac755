#include "median.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace calyra::bciconnect {

namespace {

// Lomuto partition around values[hi]; returns the pivot's final index.
std::ptrdiff_t partition(double* values, std::ptrdiff_t lo, std::ptrdiff_t hi) {
  const double pivot = values[hi];
  std::ptrdiff_t j = lo - 1;
  for (std::ptrdiff_t i = lo; i < hi; ++i) {
    if (values[i] <= pivot) {
      ++j;
      std::swap(values[i], values[j]);
    }
  }
  std::swap(values[j + 1], values[hi]);
  return j + 1;
}

// Whether selection gives the sort's result: NaNs compare false everywhere,
// so their placement (and what lands in the middle) depends on the sort's
// exact steps; and -0.0 == +0.0, so with both present the sort alone decides
// which sign ends up in the middle.
bool selection_matches_sort(const double* values, std::size_t n) {
  bool negative_zero = false;
  bool positive_zero = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = values[i];
    if (std::isnan(v)) {
      return false;
    }
    if (v == 0) {
      (std::signbit(v) ? negative_zero : positive_zero) = true;
    }
  }
  return !(negative_zero && positive_zero);
}

}  // namespace

void quick_sort(double* values, std::ptrdiff_t lo, std::ptrdiff_t hi) {
  // The two parts are disjoint and each is sorted by the same deterministic
  // steps whatever the order they are visited in, so looping over the larger
  // part instead of the right one leaves the result unchanged.
  while (lo < hi) {
    const std::ptrdiff_t p = partition(values, lo, hi);
    if (p - lo < hi - p) {
      quick_sort(values, lo, p - 1);
      lo = p + 1;
    } else {
      quick_sort(values, p + 1, hi);
      hi = p - 1;
    }
  }
}

double median_in_place(double* values, std::size_t n) {
  const std::size_t mid = n / 2;
  if (selection_matches_sort(values, n)) {
    std::nth_element(values, values + mid, values + n);
    if (n % 2 == 1) {
      return values[mid];
    }
    // nth_element leaves everything before mid no greater than values[mid].
    const double lower = *std::max_element(values, values + mid);
    return (lower + values[mid]) * 0.5;
  }

  quick_sort(values, 0, static_cast<std::ptrdiff_t>(n) - 1);
  if (n % 2 == 1) {
    return values[mid];
  }
  return (values[mid - 1] + values[mid]) * 0.5;
}

}  // namespace calyra::bciconnect
