/* A host that connects to a headset and returns from main() without
 * closing the library. Exit status 0 when the connect worked. */
#include <stdio.h>

#include "cycore.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (cy_core_init() != CY_OK) return 3;
  cy_eeg_manager* manager = cy_eeg_manager_new();
  if (cy_eeg_manager_connect(manager, argv[1], NULL, NULL) != CY_OK) return 4;
  return 0;
}
