// Median of one channel, as the result of sorting a copy with the library's
// last-element-pivot quicksort.
#pragma once

#include <cstddef>

namespace calyra::bciconnect {

// In-place ascending quicksort of values[lo..hi] with the last element as
// pivot and a `<=` partition (false for NaN, which decides where NaNs end
// up). The result is that of the plain recursive sort; recursion goes into the
// smaller part only, so the stack depth stays logarithmic.
void quick_sort(double* values, std::ptrdiff_t lo, std::ptrdiff_t hi);

// Median of `values` (n >= 1), which is used as scratch and reordered.
// Channels without NaN (and without zeros of both signs) take a linear-time
// selection, which picks the very values the sort would put in the middle.
double median_in_place(double* values, std::size_t n);

}  // namespace calyra::bciconnect
