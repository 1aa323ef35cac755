#include "butterworth_sections.h"

#include <cmath>
#include <complex>
#include <type_traits>

#include "zero_phase_filter.h"

namespace calyra::bciconnect {

namespace {

// Room for the highest order: N analog poles; 2N digital poles and N
// sections for a band.
constexpr int max_order = CY_BCI_FILTER_MAX_ORDER;
using low_pass_design =
    butterworth_filter<Dsp::Butterworth::LowPassBase, (max_order + 1) / 2, max_order, max_order>;
using high_pass_design =
    butterworth_filter<Dsp::Butterworth::HighPassBase, (max_order + 1) / 2, max_order, max_order>;
using band_pass_design =
    butterworth_filter<Dsp::Butterworth::BandPassBase, max_order, max_order, 2 * max_order>;
using band_stop_design =
    butterworth_filter<Dsp::Butterworth::BandStopBase, max_order, max_order, 2 * max_order>;

bool in_open_band(double f, double nyquist) {
  return std::isfinite(f) && f > 0.0 && f < nyquist;
}

cy_bci_filter_error check_frequencies(const cy_bci_filter_stage& stage, double nyquist) {
  const bool band = stage.kind == CY_BCI_FILTER_BANDPASS || stage.kind == CY_BCI_FILTER_BANDSTOP;
  if (!in_open_band(stage.f1, nyquist)) {
    return CY_BCI_FILTER_BAD_FREQUENCY;
  }
  if (band ? !(in_open_band(stage.f2, nyquist) && stage.f1 < stage.f2) : stage.f2 != 0.0) {
    return CY_BCI_FILTER_BAD_FREQUENCY;
  }
  return CY_BCI_FILTER_OK;
}

// Inside the stability triangle of a second-order denominator: both poles
// strictly within the unit circle.
bool stable(const sos_section& s) {
  const bool finite = std::isfinite(s.b0) && std::isfinite(s.b1) && std::isfinite(s.b2) &&
                      std::isfinite(s.a1) && std::isfinite(s.a2);
  return finite && std::abs(s.a2) < 1.0 && std::abs(s.a1) < 1.0 + s.a2;
}

template <class Design, class... Frequencies>
void design_into(std::vector<sos_section>& out, int order, double rate,
                 Frequencies... frequencies) {
  Design design;
  design.setup(order, rate, frequencies...);
  for (int i = 0; i < design.getNumStages(); ++i) {
    const Dsp::Biquad& biquad = design[i];
    out.push_back({biquad.b0(), biquad.b1(), biquad.b2(), biquad.a1(), biquad.a2()});
  }
  // The design scales by the magnitude of the response only; a first-order
  // high-pass section comes out as -(1 - z^-1), which the zero-phase filters
  // run twice and so never see. Run once, it would invert the signal.
  const std::complex<double> reference = design.response(0.5);
  if (std::is_same_v<Design, high_pass_design> && reference.real() < 0.0) {
    sos_section& first_order = out.back();
    first_order.b0 = -first_order.b0;
    first_order.b1 = -first_order.b1;
    first_order.b2 = -first_order.b2;
  }
}

}  // namespace

cy_bci_filter_error append_butterworth_sections(const cy_bci_filter_stage& stage,
                                                double sampling_rate,
                                                std::vector<sos_section>& sections) {
  if (stage.kind < CY_BCI_FILTER_LOWPASS || stage.kind > CY_BCI_FILTER_BANDSTOP) {
    return CY_BCI_FILTER_BAD_KIND;
  }
  if (stage.order < 1 || stage.order > max_order) {
    return CY_BCI_FILTER_BAD_ORDER;
  }
  if (!std::isfinite(sampling_rate) || !(sampling_rate > 0.0)) {
    return CY_BCI_FILTER_BAD_RATE;
  }
  if (const cy_bci_filter_error e = check_frequencies(stage, sampling_rate * 0.5)) {
    return e;
  }

  std::vector<sos_section> designed;
  const double width = stage.f2 - stage.f1;
  const double centre = stage.f2 - width * 0.5;
  switch (stage.kind) {
    case CY_BCI_FILTER_LOWPASS:
      design_into<low_pass_design>(designed, stage.order, sampling_rate, stage.f1);
      break;
    case CY_BCI_FILTER_HIGHPASS:
      design_into<high_pass_design>(designed, stage.order, sampling_rate, stage.f1);
      break;
    case CY_BCI_FILTER_BANDPASS:
      design_into<band_pass_design>(designed, stage.order, sampling_rate, centre, width);
      break;
    case CY_BCI_FILTER_BANDSTOP:
      design_into<band_stop_design>(designed, stage.order, sampling_rate, centre, width);
      break;
  }
  for (const sos_section& s : designed) {
    if (!stable(s)) {
      return CY_BCI_FILTER_UNSTABLE;
    }
  }
  sections.insert(sections.end(), designed.begin(), designed.end());
  return CY_BCI_FILTER_OK;
}

std::vector<double> unit_steady_state(const std::vector<sos_section>& sections) {
  std::vector<double> state;
  state.reserve(2 * sections.size());
  // Worked out in extended precision: with poles close to 1 the system is
  // ill-conditioned, and an offset of tens of millivolts multiplies every
  // rounding error of the unit state.
  long double scale = 1.0L;
  for (const sos_section& s : sections) {
    const long double b0 = s.b0, b1 = s.b1, b2 = s.b2, a1 = s.a1, a2 = s.a2;
    // Solves (I - A^T) z = b[1:] - a[1:] b0 for the companion matrix A of
    // the denominator, as SciPy's lfilter_zi does, in closed form.
    const long double d1 = b1 - a1 * b0;
    const long double d2 = b2 - a2 * b0;
    const long double z1 = (d1 + d2) / (1.0L + a1 + a2);
    const long double z2 = d2 - a2 * z1;
    state.push_back(static_cast<double>(scale * z1));
    state.push_back(static_cast<double>(scale * z2));
    scale *= (b0 + b1 + b2) / (1.0L + a1 + a2);
  }
  return state;
}

}  // namespace calyra::bciconnect
