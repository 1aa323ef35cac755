// The cy_core_ state functions and the version exports.
#include <cstdio>

#include "ble/backend.h"
#include "cycore/core.h"
#include "runtime/c_boundary.h"
#include "runtime/config_report.h"
#include "runtime/error.h"
#include "runtime/log_output.h"
#include "runtime/logger.h"
#include "runtime/scan/scan_table.h"
#include "runtime/state.h"
#include "runtime/version.h"

namespace {

using namespace calyra::core;

cy_error code(error e) { return to_code(e); }

}  // namespace

extern "C" {

CYCORE_API cy_error cy_core_init(void) {
  if (is_initialized()) return code(error::PRECONDITION_FAILED);
  return code(guard_c_call("cy_core_init", error::PRECONDITION_FAILED, [] {
    logger::apply_config(current_config());
    try {
      scan_table_create();
    } catch (...) {
      scan_table_destroy();
      throw;
    }
    print_config(current_config());
    // After the configuration report, which hosts read as the first lines of
    // a session; the choice of backend and its reason follow it.
    ble::select_backend_from_environment();
    state::set_initialized(true);
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_close(void) {
  if (!is_initialized()) {
    std::fputs("Core not initialized. Please initialize core and try again.\n", stdout);
    return code(error::NOT_INITIALIZED);
  }
  return code(guard_c_call("cy_core_close", error::PRECONDITION_FAILED, [] {
    logger::write_last_line_and_stop(log_level::INFO, "Calyra Core is closing");
    scan_table_destroy();
    // No bus connection outlives the library's use (nor reaches static
    // destruction, where D-Bus objects cannot be destroyed safely).
    ble::release_backend();
    logger::close_file();
    state::set_initialized(false);
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_get_config(cy_core_config* config) {
  if (!is_initialized()) return code(error::NOT_INITIALIZED);
  if (config == nullptr) return code(error::PRECONDITION_FAILED);
  *config = current_config();
  return code(error::OK);
}

CYCORE_API cy_error cy_core_set_config(const cy_core_config* config) {
  if (!is_initialized()) return code(error::NOT_INITIALIZED);
  if (config == nullptr) return code(error::PRECONDITION_FAILED);
  return code(guard_c_call("cy_core_set_config", error::PRECONDITION_FAILED, [config] {
    state::store_config(*config);
    logger::apply_config(current_config());
    print_config(current_config());
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_set_stdout_diagnostics(bool enabled) {
  state::set_stdout_diagnostics(enabled);
  return code(error::OK);
}

CYCORE_API const cy_version* cy_core_get_version(void) { return &library_version; }

CYCORE_API bool cy_is_version_compatible(const cy_version* a, const cy_version* b) {
  return is_compatible(*a, *b);
}

}  // extern "C"
