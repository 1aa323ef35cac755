#include "library/state.h"

#include <atomic>
#include <cstring>

namespace calyra::core {

namespace {

void copy_path(char (&destination)[CY_CONFIG_PATH_SIZE], const char* text) {
  std::strncpy(destination, text, CY_CONFIG_PATH_SIZE - 1);
  destination[CY_CONFIG_PATH_SIZE - 1] = '\0';
}

cy_core_config& config_record() {
  static cy_core_config record = default_config();
  return record;
}

// Atomic only so that a BLE callback thread asking during start-up or
// shut-down reads a defined value; the host still must not race init/close.
std::atomic<bool> initialized{false};

}  // namespace

cy_core_config default_config() {
  cy_core_config config{};
  config.log_buffer_size = 512;
  copy_path(config.log_path, "cycore.log");
  config.log_level = CY_LOG_LEVEL_INFO;
  config.append_logs = false;
  config.timestamps_enabled = true;
  config.autoflush = false;
  config.thread_ids_enabled = true;
  config.chunk_size = 25;
  config.logging_enabled = false;
  copy_path(config.update_path, "../updates/firmware_KESTREL.bin");
  config.adapter_index = 0;
  return config;
}

const cy_core_config& current_config() { return config_record(); }

bool is_initialized() { return initialized.load(); }

namespace state {

void store_config(const cy_core_config& config) {
  cy_core_config& record = config_record();
  record = config;
  // A caller's path that fills all 200 bytes has no terminator; every reader
  // of the record treats the paths as C strings.
  record.log_path[CY_CONFIG_PATH_SIZE - 1] = '\0';
  record.update_path[CY_CONFIG_PATH_SIZE - 1] = '\0';
}

void set_initialized(bool value) { initialized.store(value); }

}  // namespace state
}  // namespace calyra::core
