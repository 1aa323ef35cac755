/* A C99 host of libcybciconnect: includes only the public header, calls every
 * function once on a small block and checks a few results. Exit status 0 on
 * success. */
#include <math.h>
#include <stdio.h>

#include "cybciconnect.h"

#define CHANNELS 2
#define SAMPLES 256

static int failures = 0;

static void check(int condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  static double block[CHANNELS * SAMPLES];
  static double out[CHANNELS * SAMPLES];
  static double magnitude[CHANNELS * (SAMPLES / 2 + 1)];
  static double phase[CHANNELS * (SAMPLES / 2 + 1)];
  double per_channel[CHANNELS], other[CHANNELS];
  const double pi = 3.14159265358979323846;
  const cy_version* version = cy_bci_connect_get_version();
  size_t i;

  for (i = 0; i < SAMPLES; ++i) {
    block[i] = 20.0 * sin(2.0 * pi * 10.0 * (double)i / 250.0);
    block[SAMPLES + i] = (double)(i % 7);
  }

  check(version->major == 2 && version->minor == 4 && version->patch == 0, "version 2.4.0");

  cy_bci_connect_mean(block, CHANNELS, SAMPLES, per_channel);
  check(fabs(per_channel[1] - 2.9765625) < 1e-12, "mean");
  cy_bci_connect_std(block, CHANNELS, SAMPLES, per_channel);
  cy_bci_connect_median(block, CHANNELS, SAMPLES, per_channel);
  check(per_channel[1] == 3.0, "median");
  cy_bci_connect_mad(block, CHANNELS, SAMPLES, per_channel);
  cy_bci_connect_minmax(block, CHANNELS, SAMPLES, per_channel, other);
  check(per_channel[1] == 0.0 && other[1] == 6.0, "minmax");

  cy_bci_connect_demean(block, CHANNELS, SAMPLES, out);
  cy_bci_connect_standartize(block, CHANNELS, SAMPLES, out);
  cy_bci_connect_ewma(block, CHANNELS, SAMPLES, out, 0.1);
  check(out[SAMPLES] == 0.0, "ewma restarts per channel");
  cy_bci_connect_ewma_standartize(block, CHANNELS, SAMPLES, out, 0.1, 1e-6);
  cy_bci_connect_detrend(block, CHANNELS, SAMPLES, out);

  cy_bci_connect_fft(block, CHANNELS, SAMPLES, magnitude, phase, 250.0);
  check(fabs(magnitude[SAMPLES / 2 + 1] - 2.9765625) < 1e-12, "fft DC bin of channel 1");
  cy_bci_connect_get_signal_quality(block, CHANNELS, SAMPLES, per_channel, 250.0);
  check(per_channel[0] == 0.0 || per_channel[0] == 1.0 || per_channel[0] == 2.0, "grade");

  cy_bci_connect_filter_lowpass(block, CHANNELS, SAMPLES, 250.0, 30.0);
  cy_bci_connect_filter_highpass(block, CHANNELS, SAMPLES, 250.0, 1.0);
  cy_bci_connect_filter_bandpass(block, CHANNELS, SAMPLES, 250.0, 1.0, 40.0);
  cy_bci_connect_filter_notch(block, CHANNELS, SAMPLES, 250.0, 50.0, 4.0);
  check(isfinite(block[SAMPLES / 2]), "filters give finite output");

  {
    cy_bci_filter_error error = CY_BCI_FILTER_NO_MEMORY;
    cy_bci_filter_stage chain[2];
    cy_bci_online_filter* online;
    chain[0].kind = CY_BCI_FILTER_BANDPASS;
    chain[0].order = 4;
    chain[0].f1 = 1.0;
    chain[0].f2 = 40.0;
    chain[1].kind = CY_BCI_FILTER_BANDSTOP;
    chain[1].order = 2;
    chain[1].f1 = 48.0;
    chain[1].f2 = 52.0;
    online = cy_bci_online_filter_new_chain(chain, 2, 250.0, CHANNELS, &error);
    check(online != NULL && error == CY_BCI_FILTER_OK, "online filter chain");
    check(cy_bci_online_filter_reset(online, CY_BCI_FILTER_INITIAL_STEADY) == CY_BCI_FILTER_OK,
          "steady start");
    cy_bci_online_filter_process(online, block, SAMPLES, out);
    check(isfinite(out[SAMPLES + 3]), "online filter gives finite output");
    cy_bci_online_filter_free(online);
    check(cy_bci_online_filter_new(CY_BCI_FILTER_LOWPASS, 9, 250.0, 30.0, 0.0, 1, &error) == NULL &&
              error == CY_BCI_FILTER_BAD_ORDER,
          "order 9 refused");
  }

  if (failures == 0) {
    puts("c99 host: all checks passed");
  }
  return failures == 0 ? 0 : 1;
}
