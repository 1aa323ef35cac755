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

// How many channels run side by side in vector lanes. One lane is the plain
// channel-by-channel loop; every width gives bit-identical results. Two lanes
// fill an SSE2 register, four an AVX one.
enum class lane_width { one = 1, two = 2, four = 4 };

// The widest width this processor runs: four with AVX, else two.
lane_width widest_lane_width();

// Filters every channel of `data` forward and backward through `cascade`
// (at most four stages) in place. The cascade's first stage adds an offset of
// 1e-8 with alternating sign to every sample it sees, starting with -1e-8,
// to keep the recursion clear of denormals. A width the processor lacks is
// narrowed to the widest it has.
void filter_zero_phase(const Dsp::Cascade& cascade, double* data, std::size_t n_channels,
                       std::size_t n_samples, lane_width lanes);

// The same with the widest lanes available.
void filter_zero_phase(const Dsp::Cascade& cascade, double* data, std::size_t n_channels,
                       std::size_t n_samples);

}  // namespace calyra::bciconnect
