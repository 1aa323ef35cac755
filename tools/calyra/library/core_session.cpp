#include "library/core_session.h"

#include <cycore.h>
#include <cycore_virtual.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/failure.h"

namespace calyra::library {

using app::command_failure;
using app::usage_failure;
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

// The library opens its log only when it first writes, and a log it cannot
// open is silently missing: check the path up front.
void check_log_path(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw usage_failure("--log: cannot write " + path + ": " + std::strerror(errno));
  ::close(fd);
}

}  // namespace

void select_backend(const library_options& global) {
  // --virtual is asked for on this command line: it wins over the environment.
  if (global.use_virtual) setenv("CYCORE_BLE_BACKEND", "virtual", /*overwrite=*/1);
  const char* backend = std::getenv("CYCORE_BLE_BACKEND");
  if (backend == nullptr || std::strcmp(backend, "virtual") != 0) return;
  char reason[512];
  if (cy_virtual_check_devices(std::getenv("CYCORE_VIRTUAL_DEVICES"), reason, sizeof reason) != CY_OK) {
    throw usage_failure(std::string("CYCORE_VIRTUAL_DEVICES is malformed: ") + reason);
  }
}

core_session::core_session(const library_options& global, const core_settings& settings) {
  select_backend(global);
  if (!global.log_path.empty()) check_log_path(global.log_path);

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

}  // namespace calyra::library
