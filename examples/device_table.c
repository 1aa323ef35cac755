/*
 * Initialises libcycore with logging on, prints its version and the
 * capabilities of every headset model, closes the library and shows the log
 * it wrote.
 *
 * Usage: device_table [log-file]   (default: cycore-demo.log)
 */
#include <stdio.h>
#include <string.h>

#include <cycore.h>

static const char* yes_no(bool value) { return value ? "yes" : "no"; }

static int print_file(const char* path) {
  char line[512];
  FILE* file = fopen(path, "r");
  if (file == NULL) {
    fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  while (fgets(line, sizeof line, file) != NULL) fputs(line, stdout);
  fclose(file);
  return 0;
}

int main(int argc, char** argv) {
  const char* log_path = argc > 1 ? argv[1] : "cycore-demo.log";
  const cy_version* version = cy_core_get_version();
  cy_core_config config;
  cy_device_info info;
  uint8_t id;

  if (strlen(log_path) >= sizeof config.log_path) {
    fprintf(stderr, "log path too long\n");
    return 2;
  }
  if (cy_core_init() != CY_OK) return 1;
  /* Logging is off by default: switch it on, keeping the other settings. */
  cy_core_get_config(&config);
  config.logging_enabled = true;
  config.log_level = CY_LOG_LEVEL_VERBOSE;
  strcpy(config.log_path, log_path);
  if (cy_core_set_config(&config) != CY_OK) return 1;

  printf("libcycore %u.%u.%u\n\n", (unsigned)version->major, (unsigned)version->minor,
         (unsigned)version->patch);
  printf("%-4s %-10s %10s %5s %4s %7s %4s\n", "code", "model", "electrodes", "accel", "gyro",
         "bipolar", "ota");
  memset(&info, 0, sizeof info);
  for (id = 0; id <= 6; ++id) {
    const cy_device_features* features;
    info.id = id;
    features = cy_core_device_features_get(&info);
    if (features == NULL) {
      printf("%-4u (no model with this code)\n", (unsigned)id);
      continue;
    }
    printf("%-4u %-10s %10u %5s %4s %7s %4s\n", (unsigned)id, cy_core_device_model_name(id),
           (unsigned)cy_core_device_features_electrode_count(features),
           yes_no(cy_core_device_features_has_accel(features)),
           yes_no(cy_core_device_features_has_gyro(features)),
           yes_no(cy_core_device_features_is_bipolar(features)),
           yes_no(cy_core_device_features_supports_ota(features)));
  }

  if (cy_core_close() != CY_OK) return 1;
  printf("\n--- %s ---\n", log_path);
  return print_file(log_path);
}
