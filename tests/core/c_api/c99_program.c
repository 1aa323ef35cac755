/*
 * A host written in C99 with -pedantic-errors: keeps the public header valid
 * C and checks that the record layouts a C compiler sees are the ones the
 * library was built with.
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "cycore.h"

static int failures = 0;

#define CHECK(cond)                                          \
  do {                                                       \
    if (!(cond)) {                                           \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                            \
    }                                                        \
  } while (0)

int main(void) {
  const cy_version* version = cy_core_get_version();
  cy_version other;
  cy_core_config config;
  cy_device_info info;
  const cy_device_features* features;

  CHECK(sizeof(cy_core_config) == 432);
  CHECK(offsetof(cy_core_config, log_path) == 8);
  CHECK(offsetof(cy_core_config, log_level) == 208);
  CHECK(offsetof(cy_core_config, logging_enabled) == 224);
  CHECK(offsetof(cy_core_config, update_path) == 225);
  CHECK(sizeof(cy_device_info) == 24);
  CHECK(sizeof(cy_version) == 3);

  CHECK(version->major == 3 && version->minor == 6 && version->patch == 1);
  other = *version;
  other.patch = 200;
  CHECK(cy_is_version_compatible(version, &other));
  other.minor = 5;
  CHECK(!cy_is_version_compatible(version, &other));

  CHECK(cy_core_get_config(&config) == CY_NOT_INITIALIZED);
  CHECK(cy_core_init() == CY_OK);
  CHECK(cy_core_init() == CY_PRECONDITION_FAILED);
  memset(&config, 0, sizeof config);
  CHECK(cy_core_get_config(&config) == CY_OK);
  CHECK(config.chunk_size == 25 && config.log_buffer_size == 512);
  CHECK(strcmp(config.log_path, "cycore.log") == 0);
  CHECK(config.log_level == CY_LOG_LEVEL_INFO && !config.logging_enabled);
  config.chunk_size = 50;
  CHECK(cy_core_set_config(&config) == CY_OK);
  config.chunk_size = 0;
  CHECK(cy_core_get_config(&config) == CY_OK && config.chunk_size == 50);
  CHECK(cy_core_close() == CY_OK);

  memset(&info, 0, sizeof info);
  info.id = 3;
  features = cy_core_device_features_get(&info);
  CHECK(features != NULL);
  CHECK(features != NULL && cy_core_device_features_has_gyro(features));
  CHECK(features != NULL && cy_core_device_features_electrode_count(features) == 4);
  info.id = 6;
  CHECK(cy_core_device_features_get(&info) == NULL);

  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
