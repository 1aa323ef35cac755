// The exported C functions of the online filters. Only construction
// allocates; running out of memory there is reported, never thrown across
// the boundary.
#include <new>
#include <stdexcept>
#include <vector>

#include "cybciconnect.h"
#include "online_filter.h"

struct cy_bci_online_filter {
  calyra::bciconnect::online_filter filter;
};

namespace {

using calyra::bciconnect::online_filter;
using calyra::bciconnect::sos_section;

cy_bci_online_filter* fail(cy_bci_filter_error* error, cy_bci_filter_error code) {
  if (error != nullptr) {
    *error = code;
  }
  return nullptr;
}

}  // namespace

extern "C" {

cy_bci_online_filter* cy_bci_online_filter_new_chain(const cy_bci_filter_stage* stages,
                                                     size_t n_stages, double sampling_rate,
                                                     size_t n_channels,
                                                     cy_bci_filter_error* error) {
  if (stages == nullptr || n_stages == 0 || n_stages > CY_BCI_FILTER_MAX_CHAIN || n_channels == 0) {
    return fail(error, CY_BCI_FILTER_BAD_ARGUMENT);
  }
  try {
    std::vector<sos_section> sections;
    for (size_t i = 0; i < n_stages; ++i) {
      const cy_bci_filter_error e =
          calyra::bciconnect::append_butterworth_sections(stages[i], sampling_rate, sections);
      if (e != CY_BCI_FILTER_OK) {
        return fail(error, e);
      }
    }
    auto* filter = new cy_bci_online_filter{online_filter(std::move(sections), n_channels)};
    if (error != nullptr) {
      *error = CY_BCI_FILTER_OK;
    }
    return filter;
  } catch (const std::bad_alloc&) {
    return fail(error, CY_BCI_FILTER_NO_MEMORY);
  } catch (const std::length_error&) {
    return fail(error, CY_BCI_FILTER_NO_MEMORY);
  }
}

cy_bci_online_filter* cy_bci_online_filter_new(cy_bci_filter_kind kind, int order,
                                               double sampling_rate, double f1, double f2,
                                               size_t n_channels, cy_bci_filter_error* error) {
  const cy_bci_filter_stage stage = {kind, order, f1, f2};
  return cy_bci_online_filter_new_chain(&stage, 1, sampling_rate, n_channels, error);
}

void cy_bci_online_filter_process(cy_bci_online_filter* filter, const double* in,
                                  size_t n_samples, double* out) {
  if (filter != nullptr) {
    filter->filter.process(in, n_samples, out);
  }
}

cy_bci_filter_error cy_bci_online_filter_reset(cy_bci_online_filter* filter,
                                               cy_bci_filter_initial initial) {
  if (filter == nullptr ||
      (initial != CY_BCI_FILTER_INITIAL_ZERO && initial != CY_BCI_FILTER_INITIAL_STEADY)) {
    return CY_BCI_FILTER_BAD_ARGUMENT;
  }
  filter->filter.reset(initial);
  return CY_BCI_FILTER_OK;
}

size_t cy_bci_online_filter_sections(const cy_bci_online_filter* filter) {
  return filter == nullptr ? 0 : filter->filter.sections().size();
}

size_t cy_bci_online_filter_channels(const cy_bci_online_filter* filter) {
  return filter == nullptr ? 0 : filter->filter.channels();
}

void cy_bci_online_filter_get_sos(const cy_bci_online_filter* filter, double* sos) {
  if (filter == nullptr) {
    return;
  }
  for (const sos_section& s : filter->filter.sections()) {
    *sos++ = s.b0;
    *sos++ = s.b1;
    *sos++ = s.b2;
    *sos++ = 1.0;
    *sos++ = s.a1;
    *sos++ = s.a2;
  }
}

void cy_bci_online_filter_free(cy_bci_online_filter* filter) {
  delete filter;
}

const char* cy_bci_online_filter_error_text(cy_bci_filter_error error) {
  switch (error) {
    case CY_BCI_FILTER_OK:
      return "no error";
    case CY_BCI_FILTER_BAD_KIND:
      return "unknown filter kind (low-pass, high-pass, band-pass or band-stop)";
    case CY_BCI_FILTER_BAD_ORDER:
      return "filter order outside 1 to 8";
    case CY_BCI_FILTER_BAD_RATE:
      return "sampling rate must be a finite number above 0";
    case CY_BCI_FILTER_BAD_FREQUENCY:
      return "frequencies must lie strictly between 0 and half the sampling rate, a band's "
             "lower edge below its upper one, and a low-pass or high-pass takes one frequency";
    case CY_BCI_FILTER_UNSTABLE:
      return "the design is not stable in double precision (an edge too close to 0 or to half "
             "the sampling rate for this order)";
    case CY_BCI_FILTER_BAD_ARGUMENT:
      return "missing filter, stages or channels, or more than 8 stages in a chain";
    case CY_BCI_FILTER_NO_MEMORY:
      return "out of memory";
  }
  return "unknown error code";
}

}  // extern "C"
