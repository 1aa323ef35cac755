#include "simulator/model_shapes.h"

namespace calyra::simulator {
namespace {

// 3.9 milli-g per count.
constexpr float counts_per_g_3_9_mg = 1000.0f / 3.9f;
// ±4 g over 16 bits.
constexpr float counts_per_g_4g_full_scale = 8192.0f;

}  // namespace

model_shape shape_for_model(std::uint8_t model_code) {
  switch (model_code) {
    case 0: return {{8, 30, 12, true}, counts_per_g_3_9_mg};
    case 1: return {{16, 15, 12, true}, counts_per_g_3_9_mg};
    case 2: return {{32, 10, 12, true}, counts_per_g_3_9_mg};
    case 3: return {{4, 10, 12, true}, counts_per_g_4g_full_scale};
    case 5: return {{4, 50, 12, false}, counts_per_g_3_9_mg};
    case 4:
    default: return {{4, 50, 12, true}, counts_per_g_3_9_mg};
  }
}

}  // namespace calyra::simulator
