/*
 * A host written in C99 with -pedantic-errors: keeps the public header valid
 * C, checks that the record layouts a C compiler sees are the ones the
 * library was built with, and that each capability query reaches its own
 * operation for every model.
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "cycore.h"

static int failures = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

/* model code -> accel, gyro, electrodes (none is bipolar, all take updates) */
static const struct { bool accel, gyro; uint8_t electrodes; } models[6] = {
    {true, false, 8}, {true, false, 16}, {true, false, 32},
    {true, true, 4},  {true, false, 4},  {false, false, 4}};

int main(void) {
  const cy_version* version = cy_core_get_version();
  cy_core_config config;
  cy_device_info info;
  uint8_t id;

  CHECK(offsetof(cy_core_config, log_path) == 8);
  CHECK(offsetof(cy_core_config, log_level) == 208);
  CHECK(offsetof(cy_core_config, logging_enabled) == 224);
  CHECK(offsetof(cy_core_config, update_path) == 225);
  CHECK(offsetof(cy_device_info, firmware_version) == 4);

  CHECK(version->major == 3 && version->minor == 6 && version->patch == 1);
  CHECK(cy_core_get_config(&config) == CY_NOT_INITIALIZED);
  CHECK(cy_core_init() == CY_OK);
  memset(&config, 0, sizeof config);
  CHECK(cy_core_get_config(&config) == CY_OK);
  CHECK(config.chunk_size == 25 && strcmp(config.log_path, "cycore.log") == 0);
  config.chunk_size = 50;
  CHECK(cy_core_set_config(&config) == CY_OK);
  config.chunk_size = 0;
  CHECK(cy_core_get_config(&config) == CY_OK && config.chunk_size == 50);
  CHECK(cy_core_close() == CY_OK);

  memset(&info, 0, sizeof info);
  for (id = 0; id < 6; ++id) {
    const cy_device_features* features;
    info.id = id;
    features = cy_core_device_features_get(&info);
    CHECK(features != NULL);
    if (features == NULL) continue;
    CHECK(cy_core_device_features_has_accel(features) == models[id].accel);
    CHECK(cy_core_device_features_has_gyro(features) == models[id].gyro);
    CHECK(cy_core_device_features_electrode_count(features) == models[id].electrodes);
    CHECK(!cy_core_device_features_is_bipolar(features));
    CHECK(cy_core_device_features_supports_ota(features));
  }
  info.id = 6;
  CHECK(cy_core_device_features_get(&info) == NULL);
  CHECK(cy_core_device_features_get(NULL) == NULL);

  {
    /* A new manager has no stream clock yet. */
    cy_eeg_manager* manager = cy_eeg_manager_new();
    cy_clock_info clock_info;
    double sample = 1.0;
    CHECK(offsetof(cy_clock_info, drift_ppm) == 8);
    CHECK(offsetof(cy_clock_info, packets_fitted) == 48);
    CHECK(manager != NULL);
    if (manager != NULL) {
      memset(&clock_info, 0xFF, sizeof clock_info);
      CHECK(cy_eeg_manager_get_clock_info(manager, &clock_info) == CY_OK);
      CHECK(clock_info.state == CY_CLOCK_UNKNOWN && clock_info.packets_fitted == 0);
      CHECK(cy_eeg_manager_sample_at(manager, 0, &sample) == CY_NOT_STREAMING);
      cy_eeg_manager_free(manager);
    }
  }

  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
