// Several channels side by side in vector lanes: one double per channel in a
// GCC vector, so that each arithmetic operation works on all of them at once.
// Element-wise vector arithmetic rounds exactly like the scalar operation (and
// the library is built without fused multiply-add), so every lane reproduces
// the one-channel result bit for bit, whatever instruction set runs it.
#pragma once

#include <cstddef>
#include <type_traits>

namespace calyra::bciconnect {

template <int Lanes>
struct lane_of {
  typedef double type __attribute__((vector_size(Lanes * sizeof(double))));
};
template <>
struct lane_of<1> {
  using type = double;
};

// The kernels are always inlined so that each entry point compiled for its
// own instruction set (target attribute) gets its own copy.
#define CALYRA_KERNEL __attribute__((always_inline)) inline

template <class Lane>
CALYRA_KERNEL void splat(Lane& out, double value) {
  if constexpr (std::is_same_v<Lane, double>) {
    out = value;
  } else {
    for (std::size_t l = 0; l < sizeof(Lane) / sizeof(double); ++l) {
      out[l] = value;
    }
  }
}

// Sample `index` of each lane's channel.
template <int Lanes, class Lane, class Pointer>
CALYRA_KERNEL void load(Lane& out, const Pointer* channels, std::size_t index) {
  if constexpr (Lanes == 1) {
    out = channels[0][index];
  } else {
    for (int l = 0; l < Lanes; ++l) {
      out[l] = channels[l][index];
    }
  }
}

template <int Lanes, class Lane>
CALYRA_KERNEL void store(double* const* channels, std::size_t index, const Lane& value) {
  if constexpr (Lanes == 1) {
    channels[0][index] = value;
  } else {
    for (int l = 0; l < Lanes; ++l) {
      channels[l][index] = value[l];
    }
  }
}

}  // namespace calyra::bciconnect
