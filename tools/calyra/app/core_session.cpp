#include "app/core_session.h"

#include <cycore.h>

#include <cstdlib>
#include <cstring>

#include "app/failure.h"

namespace calyra::app {
namespace {

void copy_path(char (&target)[CY_CONFIG_PATH_SIZE], const std::string& path, const char* what) {
  // The record keeps 199 characters; a cut path would silently name another file.
  if (path.size() >= CY_CONFIG_PATH_SIZE) {
    throw command_failure(std::string(what) + " path is longer than " +
                          std::to_string(CY_CONFIG_PATH_SIZE - 1) + " characters: " + path);
  }
  std::memset(target, 0, sizeof target);
  std::memcpy(target, path.data(), path.size());
}

}  // namespace

core_session::core_session(const cli::global_options& global, const core_settings& settings) {
  if (global.use_virtual) setenv("CYCORE_BLE_BACKEND", "virtual", /*overwrite=*/0);

  const cy_error init = cy_core_init();
  if (init != CY_OK) throw command_failure::from_code(init, "starting the core library");

  cy_core_config config{};
  cy_error result = cy_core_get_config(&config);
  try {
    if (!global.log_path.empty()) {
      copy_path(config.log_path, global.log_path, "log file");
      config.logging_enabled = true;
      config.log_level = CY_LOG_LEVEL_INFO;
    }
    if (!settings.update_path.empty()) copy_path(config.update_path, settings.update_path, "image");
    if (settings.chunk_size > 0) config.chunk_size = settings.chunk_size;
  } catch (...) {
    cy_core_close();
    throw;
  }
  if (result == CY_OK) result = cy_core_set_config(&config);
  if (result != CY_OK) {
    cy_core_close();
    throw command_failure::from_code(result, "configuring the core library");
  }
}

core_session::~core_session() { cy_core_close(); }

}  // namespace calyra::app
