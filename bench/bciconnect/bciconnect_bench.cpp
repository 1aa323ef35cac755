// Run with OPENBLAS_NUM_THREADS=1 for figures that do not depend on the
// machine's idle cores. Block shapes: 32 channels x 15 000 samples (one
// minute at 250 Hz) and 64 x 100 000.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cybciconnect.h"
#include "zero_phase_filter.h"

namespace {

std::vector<double> eeg_block(std::size_t channels, std::size_t samples) {
  std::mt19937 engine(7);
  std::normal_distribution<double> noise(0.0, 10.0);
  std::vector<double> block(channels * samples);
  for (std::size_t ch = 0; ch < channels; ++ch) {
    for (std::size_t i = 0; i < samples; ++i) {
      const double t = static_cast<double>(i) / 250.0;
      block[ch * samples + i] = 20 * std::sin(2 * 3.141592653589793 * 10 * t) +
                                5 * std::sin(2 * 3.141592653589793 * 50 * t) + noise(engine);
    }
  }
  return block;
}

std::size_t channels_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}
std::size_t samples_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(1));
}

void count_samples(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

// In-place routines get a fresh copy of the block each round, outside the
// timing.
template <class Filter>
void run_in_place(benchmark::State& state, Filter filter) {
  const std::vector<double> source = eeg_block(channels_of(state), samples_of(state));
  std::vector<double> block(source.size());
  for (auto _ : state) {
    state.PauseTiming();
    block = source;
    state.ResumeTiming();
    filter(block.data(), channels_of(state), samples_of(state));
    benchmark::DoNotOptimize(block.data());
  }
  count_samples(state);
}

void BM_LowPass(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    cy_bci_connect_filter_lowpass(d, c, n, 250, 30);
  });
}

// The same low-pass, one channel after the other: the baseline the lanes are
// measured against.
void BM_LowPassOneChannelAtATime(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    calyra::bciconnect::low_pass_filter filter;
    filter.setup(5, 250, 30);
    calyra::bciconnect::filter_zero_phase(filter, d, c, n, calyra::bciconnect::lane_width::one);
  });
}

// Two lanes: what runs on processors without AVX.
void BM_LowPassTwoLanes(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    calyra::bciconnect::low_pass_filter filter;
    filter.setup(5, 250, 30);
    calyra::bciconnect::filter_zero_phase(filter, d, c, n, calyra::bciconnect::lane_width::two);
  });
}

void BM_HighPass(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    cy_bci_connect_filter_highpass(d, c, n, 250, 1);
  });
}

void BM_BandPass(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    cy_bci_connect_filter_bandpass(d, c, n, 250, 1, 40);
  });
}

void BM_Notch(benchmark::State& state) {
  run_in_place(state, [](double* d, std::size_t c, std::size_t n) {
    cy_bci_connect_filter_notch(d, c, n, 250, 50, 4);
  });
}

void BM_Fft(benchmark::State& state) {
  const std::vector<double> block = eeg_block(channels_of(state), samples_of(state));
  const std::size_t bins = samples_of(state) / 2 + 1;
  std::vector<double> magnitude(channels_of(state) * bins), phase(magnitude.size());
  for (auto _ : state) {
    cy_bci_connect_fft(block.data(), channels_of(state), samples_of(state), magnitude.data(),
                       phase.data(), 250);
    benchmark::DoNotOptimize(magnitude.data());
  }
  count_samples(state);
}

void BM_Detrend(benchmark::State& state) {
  const std::vector<double> block = eeg_block(channels_of(state), samples_of(state));
  std::vector<double> out(block.size());
  for (auto _ : state) {
    cy_bci_connect_detrend(block.data(), channels_of(state), samples_of(state), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  count_samples(state);
}

template <void (*Routine)(const double*, size_t, size_t, double*)>
void BM_PerChannel(benchmark::State& state) {
  const std::vector<double> block = eeg_block(channels_of(state), samples_of(state));
  std::vector<double> out(channels_of(state));
  for (auto _ : state) {
    Routine(block.data(), channels_of(state), samples_of(state), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  count_samples(state);
}

void BM_SignalQuality(benchmark::State& state) {
  const std::vector<double> block = eeg_block(channels_of(state), samples_of(state));
  std::vector<double> quality(channels_of(state));
  for (auto _ : state) {
    cy_bci_connect_get_signal_quality(block.data(), channels_of(state), samples_of(state),
                                      quality.data(), 250);
    benchmark::DoNotOptimize(quality.data());
  }
  count_samples(state);
}

// A 4th-order band-pass 1-40 Hz run online: one chunk of channels x
// samples per iteration, the state carried from each chunk to the next (a
// stream). bench/bciconnect/online_filter_vs_scipy.py runs this beside
// SciPy's sosfilt on the same shapes.
void BM_OnlineBandPass(benchmark::State& state) {
  const std::vector<double> chunk = eeg_block(channels_of(state), samples_of(state));
  std::vector<double> out(chunk.size());
  cy_bci_online_filter* filter = cy_bci_online_filter_new(
      CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, channels_of(state), nullptr);
  cy_bci_online_filter_reset(filter, CY_BCI_FILTER_INITIAL_STEADY);
  for (auto _ : state) {
    cy_bci_online_filter_process(filter, chunk.data(), samples_of(state), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  cy_bci_online_filter_free(filter);
  count_samples(state);
}

void block_shapes(benchmark::internal::Benchmark* b) {
  b->Args({32, 15000})->Args({64, 100000})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_LowPass)->Apply(block_shapes);
BENCHMARK(BM_LowPassTwoLanes)->Apply(block_shapes);
BENCHMARK(BM_LowPassOneChannelAtATime)->Apply(block_shapes);
BENCHMARK(BM_HighPass)->Apply(block_shapes);
BENCHMARK(BM_BandPass)->Apply(block_shapes);
BENCHMARK(BM_Notch)->Apply(block_shapes);
BENCHMARK(BM_Fft)->Apply(block_shapes);
BENCHMARK(BM_Detrend)->Apply(block_shapes);
BENCHMARK_TEMPLATE(BM_PerChannel, cy_bci_connect_median)->Name("BM_Median")->Apply(block_shapes);
BENCHMARK_TEMPLATE(BM_PerChannel, cy_bci_connect_mad)->Name("BM_Mad")->Apply(block_shapes);
BENCHMARK(BM_SignalQuality)->Apply(block_shapes);
BENCHMARK(BM_OnlineBandPass)->Args({32, 25})->Args({32, 250})->Args({64, 100000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
