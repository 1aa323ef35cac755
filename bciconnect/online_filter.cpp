#include "online_filter.h"

#include <algorithm>

#include "lanes.h"

namespace calyra::bciconnect {

namespace {

// Sections run in passes of at most four over the chunk: four keep their
// coefficients and state in registers. Each section sees the same input
// sequence either way, so the passes change no bit of the result.
constexpr std::size_t sections_per_pass = 4;

// One pass of `Stages` sections over the chunk for `Lanes` channels starting
// at `ch`, each section in transposed direct form II with the operations in
// the order SciPy's sosfilt performs them.
template <int Lanes, int Stages>
CALYRA_KERNEL void run_group(const sos_section* sections, double* state, std::size_t n_channels,
                             std::size_t ch, const double* in, double* out,
                             std::size_t n_samples) {
  using lane = typename lane_of<Lanes>::type;

  lane b0[Stages], b1[Stages], b2[Stages], a1[Stages], a2[Stages], z1[Stages], z2[Stages];
  for (int s = 0; s < Stages; ++s) {
    splat(b0[s], sections[s].b0);
    splat(b1[s], sections[s].b1);
    splat(b2[s], sections[s].b2);
    splat(a1[s], sections[s].a1);
    splat(a2[s], sections[s].a2);
    const double* z1_row = state + (2 * static_cast<std::size_t>(s)) * n_channels + ch;
    const double* z2_row = z1_row + n_channels;
    if constexpr (Lanes == 1) {
      z1[s] = *z1_row;
      z2[s] = *z2_row;
    } else {
      for (int l = 0; l < Lanes; ++l) {
        z1[s][l] = z1_row[l];
        z2[s][l] = z2_row[l];
      }
    }
  }

  const double* source[Lanes];
  double* target[Lanes];
  for (int l = 0; l < Lanes; ++l) {
    source[l] = in + (ch + static_cast<std::size_t>(l)) * n_samples;
    target[l] = out + (ch + static_cast<std::size_t>(l)) * n_samples;
  }
  for (std::size_t k = 0; k < n_samples; ++k) {
    lane x;
    load<Lanes>(x, source, k);
#pragma GCC unroll 4
    for (int s = 0; s < Stages; ++s) {
      const lane y = b0[s] * x + z1[s];
      z1[s] = (b1[s] * x - a1[s] * y) + z2[s];
      z2[s] = b2[s] * x - a2[s] * y;
      x = y;
    }
    store<Lanes>(target, k, x);
  }

  for (int s = 0; s < Stages; ++s) {
    double* z1_row = state + (2 * static_cast<std::size_t>(s)) * n_channels + ch;
    double* z2_row = z1_row + n_channels;
    if constexpr (Lanes == 1) {
      *z1_row = z1[s];
      *z2_row = z2[s];
    } else {
      for (int l = 0; l < Lanes; ++l) {
        z1_row[l] = z1[s][l];
        z2_row[l] = z2[s][l];
      }
    }
  }
}

// Runs channels [ch, n_channels) in groups of `Lanes` while whole groups
// remain; returns the first channel left over.
template <int Lanes>
CALYRA_KERNEL std::size_t run_groups(const sos_section* sections, std::size_t stages,
                                     double* state, std::size_t n_channels, std::size_t ch,
                                     const double* in, double* out, std::size_t n_samples) {
  for (; ch + Lanes <= n_channels; ch += Lanes) {
    switch (stages) {
      case 1:
        run_group<Lanes, 1>(sections, state, n_channels, ch, in, out, n_samples);
        break;
      case 2:
        run_group<Lanes, 2>(sections, state, n_channels, ch, in, out, n_samples);
        break;
      case 3:
        run_group<Lanes, 3>(sections, state, n_channels, ch, in, out, n_samples);
        break;
      default:
        run_group<Lanes, 4>(sections, state, n_channels, ch, in, out, n_samples);
        break;
    }
  }
  return ch;
}

std::size_t run_single(const sos_section* sections, std::size_t stages, double* state,
                       std::size_t n_channels, std::size_t ch, const double* in, double* out,
                       std::size_t n_samples) {
  return run_groups<1>(sections, stages, state, n_channels, ch, in, out, n_samples);
}

std::size_t run_pairs(const sos_section* sections, std::size_t stages, double* state,
                      std::size_t n_channels, std::size_t ch, const double* in, double* out,
                      std::size_t n_samples) {
  return run_groups<2>(sections, stages, state, n_channels, ch, in, out, n_samples);
}

__attribute__((target("avx"))) std::size_t run_quads(const sos_section* sections,
                                                     std::size_t stages, double* state,
                                                     std::size_t n_channels, std::size_t ch,
                                                     const double* in, double* out,
                                                     std::size_t n_samples) {
  return run_groups<4>(sections, stages, state, n_channels, ch, in, out, n_samples);
}

}  // namespace

online_filter::online_filter(std::vector<sos_section> sections, std::size_t n_channels)
    : sections_(std::move(sections)),
      n_channels_(n_channels),
      state_(2 * sections_.size() * n_channels, 0.0),
      unit_steady_(unit_steady_state(sections_)) {}

void online_filter::reset(cy_bci_filter_initial initial) {
  std::fill(state_.begin(), state_.end(), 0.0);
  steady_pending_ = initial == CY_BCI_FILTER_INITIAL_STEADY;
}

void online_filter::start_steady(const double* in, std::size_t n_samples) {
  for (std::size_t ch = 0; ch < n_channels_; ++ch) {
    const double x0 = in[ch * n_samples];
    for (std::size_t i = 0; i < unit_steady_.size(); ++i) {
      state_[i * n_channels_ + ch] = unit_steady_[i] * x0;
    }
  }
  steady_pending_ = false;
}

void online_filter::process(const double* in, std::size_t n_samples, double* out) {
  process(in, n_samples, out, widest_lane_width());
}

void online_filter::process(const double* in, std::size_t n_samples, double* out,
                            lane_width lanes) {
  if (n_samples == 0) {
    return;
  }
  if (steady_pending_) {
    start_steady(in, n_samples);
  }
  if (lanes == lane_width::four && widest_lane_width() != lane_width::four) {
    lanes = lane_width::two;
  }
  const double* source = in;
  for (std::size_t first = 0; first < sections_.size(); first += sections_per_pass) {
    const std::size_t stages = std::min(sections_per_pass, sections_.size() - first);
    const sos_section* pass = sections_.data() + first;
    double* state = state_.data() + 2 * first * n_channels_;
    std::size_t ch = 0;
    if (lanes == lane_width::four) {
      ch = run_quads(pass, stages, state, n_channels_, ch, source, out, n_samples);
    }
    if (lanes != lane_width::one) {
      ch = run_pairs(pass, stages, state, n_channels_, ch, source, out, n_samples);
    }
    run_single(pass, stages, state, n_channels_, ch, source, out, n_samples);
    // Later passes continue on what the earlier ones wrote.
    source = out;
  }
}

}  // namespace calyra::bciconnect
