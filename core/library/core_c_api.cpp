// The cy_core_ state functions and the version exports.
#include "backend_choice/backend_choice.h"
#include "ble/backend.h"
#include "cycore/core.h"
#include "runtime/c_boundary.h"
#include "library/config_report.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/last_error.h"
#include "runtime/log_output.h"
#include "runtime/logger.h"
#include "scan/scan_table.h"
#include "library/state.h"
#include "library/version.h"

namespace {

using namespace calyra::core;

cy_error code(error e) { return to_code(e); }

error not_initialized(const char* function) {
  return fail(error::NOT_INITIALIZED, [function](std::ostream& out) {
    out << function << ": the library is not initialised (call cy_core_init first)";
  });
}

}  // namespace

extern "C" {

CYCORE_API cy_error cy_core_init(void) {
  return code(guard_c_call("cy_core_init", error::PRECONDITION_FAILED, [] {
    if (is_initialized()) {
      return fail(error::PRECONDITION_FAILED,
                  "cy_core_init: the library is already initialised (call cy_core_close before "
                  "initialising it again)");
    }
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
  return code(guard_c_call("cy_core_close", error::PRECONDITION_FAILED, [] {
    if (!is_initialized()) {
      console::write_line(console::channel::standard_output,
                          "Core not initialized. Please initialize core and try again.", log_level::WARNING);
      return fail(error::NOT_INITIALIZED,
                  "cy_core_close: the library is not initialised (cy_core_init was not called, or "
                  "cy_core_close was called already)");
    }
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
  return code(guard_c_call("cy_core_get_config", error::PRECONDITION_FAILED, [config] {
    if (!is_initialized()) return not_initialized("cy_core_get_config");
    if (config == nullptr) return fail(error::PRECONDITION_FAILED, "cy_core_get_config: config is null");
    *config = current_config();
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_set_config(const cy_core_config* config) {
  return code(guard_c_call("cy_core_set_config", error::PRECONDITION_FAILED, [config] {
    if (!is_initialized()) return not_initialized("cy_core_set_config");
    if (config == nullptr) return fail(error::PRECONDITION_FAILED, "cy_core_set_config: config is null");
    state::store_config(*config);
    logger::apply_config(current_config());
    print_config(current_config());
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_set_log_handler(cy_log_handler handler, cy_log_level min_level, void* user_data) {
  return code(guard_c_call("cy_core_set_log_handler", error::PRECONDITION_FAILED, [&] {
    if (min_level > CY_LOG_LEVEL_ERROR) {
      return fail(error::PRECONDITION_FAILED, [min_level](std::ostream& out) {
        out << "cy_core_set_log_handler: level " << unsigned{min_level} << " is above CY_LOG_LEVEL_ERROR (4)";
      });
    }
    if (!logger::set_handler(handler, static_cast<log_level>(min_level), user_data)) {
      return fail(error::PRECONDITION_FAILED,
                  "cy_core_set_log_handler: called from inside the log handler, which would wait for itself");
    }
    return error::OK;
  }));
}

CYCORE_API cy_error cy_core_set_stdout_diagnostics(bool enabled) {
  console::set_enabled(enabled);
  return code(error::OK);
}

CYCORE_API const char* cy_core_last_error_text(void) { return last_error::text(); }

CYCORE_API const cy_version* cy_core_get_version(void) { return &library_version; }

CYCORE_API bool cy_is_version_compatible(const cy_version* a, const cy_version* b) {
  return is_compatible(*a, *b);
}

}  // extern "C"
