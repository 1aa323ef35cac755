// The core library's lifetime for one command: backend selection,
// configuration and cy_core_init, then cy_core_close.
#pragma once

#include <cstdint>
#include <string>


namespace calyra::library {

// The command line's choices that concern the library (--virtual, --log).
struct library_options {
  bool use_virtual = false;  // --virtual
  std::string log_path;      // --log FILE, empty: no core logging
};

struct core_settings {
  std::uint64_t chunk_size = 0;  // 0: keep the library default
  std::string update_path;       // empty: keep the library default
};

// With --virtual, selects the virtual headsets, whatever CYCORE_BLE_BACKEND
// says. With the virtual headsets (from --virtual or the environment),
// checks CYCORE_VIRTUAL_DEVICES. Throws usage_failure with the library's
// reason for a malformed device list.
void select_backend(const library_options& global);

class core_session {
 public:
  // Selects the backend (select_backend); with --log, logs at INFO into that
  // file. Throws usage_failure for a malformed device list or a log file
  // that cannot be written, command_failure when a path does not fit the
  // configuration record or the library refuses to start.
  core_session(const library_options& global, const core_settings& settings);
  ~core_session();

  core_session(const core_session&) = delete;
  core_session& operator=(const core_session&) = delete;
};

}  // namespace calyra::library
