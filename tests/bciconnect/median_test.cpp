#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "median.h"
#include "test_signals.h"

namespace {

using calyra::bciconnect::median_in_place;
using calyra::bciconnect::quick_sort;

// The sort as first written: last-element pivot, `<=` partition, recursion on
// the left part and a loop over the right one.
void recursive_sort(double* v, int lo, int hi) {
  while (lo < hi) {
    const double pivot = v[hi];
    int j = lo - 1;
    for (int i = lo; i < hi; ++i) {
      if (v[i] <= pivot) {
        ++j;
        std::swap(v[i], v[j]);
      }
    }
    std::swap(v[j + 1], v[hi]);
    recursive_sort(v, lo, j);
    lo = j + 2;
  }
}

double reference_median(std::vector<double> v) {
  recursive_sort(v.data(), 0, static_cast<int>(v.size()) - 1);
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5;
}

// Random channels with repeated values, NaNs and zeros of both signs.
std::vector<double> awkward_channel(std::mt19937& engine, std::size_t n, bool with_nan,
                                    bool with_zeros) {
  std::uniform_int_distribution<int> pick(0, 19);
  std::vector<double> v(n);
  for (double& x : v) {
    const int k = pick(engine);
    if (with_nan && k == 0) {
      x = std::numeric_limits<double>::quiet_NaN();
    } else if (with_zeros && k < 4) {
      x = k % 2 ? -0.0 : 0.0;
    } else {
      x = static_cast<double>(pick(engine) - 10) * 0.5;
    }
  }
  return v;
}

TEST(MedianSort, OrdersExactlyLikeTheRecursiveSort) {
  std::mt19937 engine(11);
  for (std::size_t n : {1u, 2u, 3u, 10u, 101u, 1000u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<double> v = awkward_channel(engine, n, round % 2 == 0, true);
      std::vector<double> expected = v;
      recursive_sort(expected.data(), 0, static_cast<int>(n) - 1);
      quick_sort(v.data(), 0, static_cast<std::ptrdiff_t>(n) - 1);
      ASSERT_TRUE(bci_test::bitwise_equal(v, expected)) << "n = " << n << ", round " << round;
    }
  }
}

TEST(MedianSort, MedianIsTheSortsMiddleEvenWithNaNAndSignedZeros) {
  std::mt19937 engine(12);
  for (std::size_t n : {1u, 2u, 5u, 6u, 99u, 100u, 2001u}) {
    for (int round = 0; round < 40; ++round) {
      const bool with_nan = round % 3 == 0;
      const bool with_zeros = round % 2 == 0;
      std::vector<double> v = awkward_channel(engine, n, with_nan, with_zeros);
      const double expected = reference_median(v);
      const double actual = median_in_place(v.data(), n);
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual));
      } else {
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << "n = " << n;
      }
    }
  }
}

struct sort_job {
  std::vector<double>* values;
};

void* sort_on_small_stack(void* argument) {
  std::vector<double>& v = *static_cast<sort_job*>(argument)->values;
  quick_sort(v.data(), 0, static_cast<std::ptrdiff_t>(v.size()) - 1);
  return nullptr;
}

TEST(MedianSort, OrderedChannelWithNaNSortsOnASmallStack) {
  // Ascending data peels one element off per partition. Recursing once per
  // element would take 20 000 frames, far more than the 256 KiB stack the
  // sort gets here; the bounded sort needs about log2(20 000) of them.
  const std::size_t n = 20000;
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = static_cast<double>(i);
  }
  v[n / 3] = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> expected = v;
  recursive_sort(expected.data(), 0, static_cast<int>(n) - 1);

  sort_job job{&v};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, sort_on_small_stack, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_TRUE(bci_test::bitwise_equal(v, expected));
}

}  // namespace
