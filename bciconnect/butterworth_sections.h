// Second-order sections of checked Butterworth designs, for the online
// filters: the same design classes the zero-phase filters run, any order from
// 1 to 8, with the arguments validated and the result checked for stability.
#pragma once

#include <vector>

#include "cybciconnect/online_filter.h"

namespace calyra::bciconnect {

// One section normalised to a0 = 1.
struct sos_section {
  double b0;
  double b1;
  double b2;
  double a1;
  double a2;
};

// Appends the sections of `stage` at `sampling_rate` to `sections`; on an
// error returns its code and leaves `sections` as it was.
cy_bci_filter_error append_butterworth_sections(const cy_bci_filter_stage& stage,
                                                double sampling_rate,
                                                std::vector<sos_section>& sections);

// Initial state (z1, z2 per section, two doubles each) of the transposed
// direct form II for a constant input of 1: the steady state SciPy's
// sosfilt_zi gives, each section scaled by the DC gain of those before it.
std::vector<double> unit_steady_state(const std::vector<sos_section>& sections);

}  // namespace calyra::bciconnect
