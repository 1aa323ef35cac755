#include <stdio.h>
#include <cycore.h>

int main(void) {
  const cy_version* v = cy_core_get_version();
  if (cy_core_init() != CY_OK) return 1;
  printf("libcycore %u.%u.%u\n", (unsigned)v->major, (unsigned)v->minor, (unsigned)v->patch);

  cy_device_info info = {0};
  info.id = 4; /* model code of a KESTREL headset */
  const cy_device_features* kestrel = cy_core_device_features_get(&info);
  printf("KESTREL electrodes: %u\n", (unsigned)cy_core_device_features_electrode_count(kestrel));
  return cy_core_close() == CY_OK ? 0 : 1;
}
