// Zero-phase Butterworth filtering of channel-major blocks: each channel runs
// through the cascade forward, then backward, from zero state both times.
#pragma once

#include <cstddef>

#include "dsp/butterworth.h"

namespace calyra::bciconnect {

// A Butterworth setup together with the pair and stage slots it designs into.
// Lives on the caller's stack: no heap memory is involved.
template <class Setup, int MaxStages, int AnalogMaxPoles, int DigitalMaxPoles>
class butterworth_filter : public Setup {
 public:
  static constexpr int max_stages = MaxStages;

  butterworth_filter() {
    this->setStorage(Dsp::LayoutBase(AnalogMaxPoles, analog_pairs_),
                     Dsp::LayoutBase(DigitalMaxPoles, digital_pairs_),
                     Dsp::Cascade::Storage(MaxStages, stages_));
  }

  butterworth_filter(const butterworth_filter&) = delete;
  butterworth_filter& operator=(const butterworth_filter&) = delete;

 private:
  Dsp::Biquad stages_[MaxStages];
  Dsp::PoleZeroPair analog_pairs_[(AnalogMaxPoles + 1) / 2];
  Dsp::PoleZeroPair digital_pairs_[(DigitalMaxPoles + 1) / 2];
};

// Fifth-order low-pass and high-pass, fourth-order band-pass and band-stop.
using low_pass_filter = butterworth_filter<Dsp::Butterworth::LowPassBase, 3, 5, 5>;
using high_pass_filter = butterworth_filter<Dsp::Butterworth::HighPassBase, 3, 5, 5>;
using band_pass_filter = butterworth_filter<Dsp::Butterworth::BandPassBase, 4, 4, 8>;
using band_stop_filter = butterworth_filter<Dsp::Butterworth::BandStopBase, 4, 4, 8>;

// How many channels run side by side. One lane is the plain channel-by-
// channel loop; every width gives bit-identical results.
enum class lane_width { one = 1, four = 4, eight = 8 };

// Filters every channel of `data` forward and backward through `cascade`
// (at most four stages) in place. The cascade's first stage adds an offset of
// 1e-8 with alternating sign to every sample it sees, starting with -1e-8,
// to keep the recursion clear of denormals.
void filter_zero_phase(const Dsp::Cascade& cascade, double* data, std::size_t n_channels,
                       std::size_t n_samples, lane_width lanes = lane_width::eight);

}  // namespace calyra::bciconnect
