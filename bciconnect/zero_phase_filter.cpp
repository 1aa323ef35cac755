#include "zero_phase_filter.h"

#include "lanes.h"

namespace calyra::bciconnect {

namespace {

constexpr int max_stages = 4;

struct section {
  double a1;
  double a2;
  double b0;
  double b1;
  double b2;
};

// One pass over the channels from zero state, each sample through every
// stage as a Direct Form II section. Walking the samples from the end gives
// exactly what reversing the channel, filtering it and reversing it back
// gives, without moving any data.
template <int Lanes, int Stages, bool Backward>
CALYRA_KERNEL void run_pass(const section (&sections)[max_stages], double* const* channels,
                            std::size_t n_samples, double& nv) {
  using lane = typename lane_of<Lanes>::type;

  lane a1[Stages], a2[Stages], b0[Stages], b1[Stages], b2[Stages];
  lane w1[Stages], w2[Stages];
  for (int s = 0; s < Stages; ++s) {
    splat(a1[s], sections[s].a1);
    splat(a2[s], sections[s].a2);
    splat(b0[s], sections[s].b0);
    splat(b1[s], sections[s].b1);
    splat(b2[s], sections[s].b2);
    splat(w1[s], 0.0);
    splat(w2[s], 0.0);
  }
  // Later stages add +0.0 where the first adds the offset; the addition is
  // kept because it turns a -0.0 into +0.0.
  lane zero;
  splat(zero, 0.0);

  for (std::size_t k = 0; k < n_samples; ++k) {
    const std::size_t i = Backward ? n_samples - 1 - k : k;
    lane x;
    load<Lanes>(x, channels, i);

    nv = -nv;
    lane offset;
    splat(offset, nv);

    // Unrolled, the stage state stays in registers.
#pragma GCC unroll 4
    for (int s = 0; s < Stages; ++s) {
      const lane w = ((x - a1[s] * w1[s]) - a2[s] * w2[s]) + (s == 0 ? offset : zero);
      const lane y = (b0[s] * w + b1[s] * w1[s]) + b2[s] * w2[s];
      w2[s] = w1[s];
      w1[s] = w;
      x = y;
    }
    store<Lanes>(channels, i, x);
  }
}

template <int Lanes, int Stages>
CALYRA_KERNEL void run_group(const section (&sections)[max_stages], double* first_channel,
                             std::size_t n_samples, double& nv) {
  double* channels[Lanes];
  for (int l = 0; l < Lanes; ++l) {
    channels[l] = first_channel + static_cast<std::size_t>(l) * n_samples;
  }
  // Each channel flips the offset's sign twice per sample, an even number of
  // times, so every channel starts where a channel filtered alone would.
  run_pass<Lanes, Stages, false>(sections, channels, n_samples, nv);
  run_pass<Lanes, Stages, true>(sections, channels, n_samples, nv);
}

// Filters channels [ch, n_channels) in groups of `Lanes` for as long as whole
// groups remain; returns the first channel left over.
template <int Lanes>
CALYRA_KERNEL std::size_t run_groups(int stages, const section (&sections)[max_stages],
                                     double* data, std::size_t ch, std::size_t n_channels,
                                     std::size_t n_samples, double& nv) {
  for (; ch + Lanes <= n_channels; ch += Lanes) {
    double* first = data + ch * n_samples;
    switch (stages) {
      case 1:
        run_group<Lanes, 1>(sections, first, n_samples, nv);
        break;
      case 2:
        run_group<Lanes, 2>(sections, first, n_samples, nv);
        break;
      case 3:
        run_group<Lanes, 3>(sections, first, n_samples, nv);
        break;
      case 4:
        run_group<Lanes, 4>(sections, first, n_samples, nv);
        break;
      default:
        // The filter objects hold at most four stages; a design always
        // fills at least one.
        break;
    }
  }
  return ch;
}

std::size_t run_single(int stages, const section (&sections)[max_stages], double* data,
                       std::size_t ch, std::size_t n_channels, std::size_t n_samples,
                       double& nv) {
  return run_groups<1>(stages, sections, data, ch, n_channels, n_samples, nv);
}

// Two lanes fill one SSE2 register; wider vectors would not fit the stage
// state into the sixteen registers and spill on every sample.
std::size_t run_pairs(int stages, const section (&sections)[max_stages], double* data,
                      std::size_t ch, std::size_t n_channels, std::size_t n_samples,
                      double& nv) {
  return run_groups<2>(stages, sections, data, ch, n_channels, n_samples, nv);
}

__attribute__((target("avx"))) std::size_t run_quads(int stages,
                                                     const section (&sections)[max_stages],
                                                     double* data, std::size_t ch,
                                                     std::size_t n_channels,
                                                     std::size_t n_samples, double& nv) {
  return run_groups<4>(stages, sections, data, ch, n_channels, n_samples, nv);
}

bool has_avx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}

}  // namespace

lane_width widest_lane_width() {
  static const bool avx = has_avx();
  return avx ? lane_width::four : lane_width::two;
}

void filter_zero_phase(const Dsp::Cascade& cascade, double* data, std::size_t n_channels,
                       std::size_t n_samples, lane_width lanes) {
  const int stages = cascade.getNumStages();
  section sections[max_stages] = {};
  for (int s = 0; s < stages && s < max_stages; ++s) {
    const Dsp::Biquad& stage = cascade[s];
    sections[s] = {stage.a1(), stage.a2(), stage.b0(), stage.b1(), stage.b2()};
  }
  if (lanes == lane_width::four && widest_lane_width() != lane_width::four) {
    lanes = lane_width::two;
  }

  double nv = 1e-8;
  std::size_t ch = 0;
  if (lanes == lane_width::four) {
    ch = run_quads(stages, sections, data, ch, n_channels, n_samples, nv);
  }
  if (lanes != lane_width::one) {
    ch = run_pairs(stages, sections, data, ch, n_channels, n_samples, nv);
  }
  run_single(stages, sections, data, ch, n_channels, n_samples, nv);
}

void filter_zero_phase(const Dsp::Cascade& cascade, double* data, std::size_t n_channels,
                       std::size_t n_samples) {
  filter_zero_phase(cascade, data, n_channels, n_samples, widest_lane_width());
}

}  // namespace calyra::bciconnect
