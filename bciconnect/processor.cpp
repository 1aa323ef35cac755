// The exported C functions: each forwards to the C++ routine that does the
// work. The routines throw nothing but std::bad_alloc; with no status to
// report it through, running out of memory ends the process rather than let
// an exception cross into C or leave half-written outputs behind.
#include "cybciconnect.h"
#include "detrend.h"
#include "spectrum.h"
#include "statistics.h"
#include "zero_phase_filter.h"

using calyra::bciconnect::block_shape;

namespace {

constexpr cy_version library_version = {2, 4, 0};

template <class Work>
void guarded(Work&& work) noexcept {
  work();
}

template <class Filter, class... Frequencies>
void run_filter(double* data, size_t n_channels, size_t n_samples, int order,
                Frequencies... frequencies) {
  // The design runs on every call, also for an empty block.
  Filter filter;
  filter.setup(order, frequencies...);
  calyra::bciconnect::filter_zero_phase(filter, data, n_channels, n_samples);
}

}  // namespace

extern "C" {

const cy_version* cy_bci_connect_get_version(void) {
  return &library_version;
}

void cy_bci_connect_median(const double* data, size_t n_channels, size_t n_samples,
                           double* out) {
  guarded([&] {
    calyra::bciconnect::median(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_mad(const double* data, size_t n_channels, size_t n_samples, double* out) {
  guarded([&] {
    calyra::bciconnect::median_absolute_deviation(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_minmax(const double* data, size_t n_channels, size_t n_samples,
                           double* out_min, double* out_max) {
  guarded([&] {
    calyra::bciconnect::min_max(data, block_shape{n_channels, n_samples}, out_min, out_max);
  });
}

void cy_bci_connect_mean(const double* data, size_t n_channels, size_t n_samples, double* out) {
  guarded([&] {
    calyra::bciconnect::mean(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_std(const double* data, size_t n_channels, size_t n_samples, double* out) {
  guarded([&] {
    calyra::bciconnect::standard_deviation(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_demean(const double* data, size_t n_channels, size_t n_samples,
                           double* out) {
  guarded([&] {
    calyra::bciconnect::demean(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_standartize(const double* data, size_t n_channels, size_t n_samples,
                                double* out) {
  guarded([&] {
    calyra::bciconnect::standardize(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_ewma(const double* data, size_t n_channels, size_t n_samples, double* out,
                         double alpha) {
  guarded([&] {
    calyra::bciconnect::ewma(data, block_shape{n_channels, n_samples}, out, alpha);
  });
}

void cy_bci_connect_ewma_standartize(const double* data, size_t n_channels, size_t n_samples,
                                     double* out, double alpha, double epsilon) {
  guarded([&] {
    calyra::bciconnect::ewma_standardize(data, block_shape{n_channels, n_samples}, out, alpha,
                                         epsilon);
  });
}

void cy_bci_connect_detrend(const double* data, size_t n_channels, size_t n_samples,
                            double* out) {
  guarded([&] {
    calyra::bciconnect::detrend(data, block_shape{n_channels, n_samples}, out);
  });
}

void cy_bci_connect_fft(const double* data, size_t n_channels, size_t n_samples,
                        double* magnitude, double* phase, double /*sampling_rate*/) {
  guarded([&] {
    calyra::bciconnect::fft(data, block_shape{n_channels, n_samples}, magnitude, phase);
  });
}

void cy_bci_connect_get_signal_quality(const double* data, size_t n_channels, size_t n_samples,
                                       double* quality, double sampling_rate) {
  guarded([&] {
    calyra::bciconnect::signal_quality(data, block_shape{n_channels, n_samples}, quality,
                                       sampling_rate);
  });
}

void cy_bci_connect_filter_lowpass(double* data, size_t n_channels, size_t n_samples,
                                   double sampling_rate, double cutoff) {
  guarded([&] {
    run_filter<calyra::bciconnect::low_pass_filter>(data, n_channels, n_samples, 5, sampling_rate,
                                                    cutoff);
  });
}

void cy_bci_connect_filter_highpass(double* data, size_t n_channels, size_t n_samples,
                                    double sampling_rate, double cutoff) {
  guarded([&] {
    run_filter<calyra::bciconnect::high_pass_filter>(data, n_channels, n_samples, 5,
                                                     sampling_rate, cutoff);
  });
}

void cy_bci_connect_filter_bandpass(double* data, size_t n_channels, size_t n_samples,
                                    double sampling_rate, double low, double high) {
  guarded([&] {
    const double width = high - low;
    const double centre = high - width * 0.5;
    run_filter<calyra::bciconnect::band_pass_filter>(data, n_channels, n_samples, 4,
                                                     sampling_rate, centre, width);
  });
}

void cy_bci_connect_filter_notch(double* data, size_t n_channels, size_t n_samples,
                                 double sampling_rate, double center, double width) {
  guarded([&] {
    run_filter<calyra::bciconnect::band_stop_filter>(data, n_channels, n_samples, 4,
                                                     sampling_rate, center, width);
  });
}

}  // extern "C"
