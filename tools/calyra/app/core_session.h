// The core library's lifetime for one command: backend selection,
// configuration and cy_core_init, then cy_core_close.
#pragma once

#include <cstdint>
#include <string>

#include "cli/options.h"

namespace calyra::app {

struct core_settings {
  std::uint64_t chunk_size = 0;  // 0: keep the library default
  std::string update_path;       // empty: keep the library default
};

class core_session {
 public:
  // With --virtual, selects the virtual headsets unless CYCORE_BLE_BACKEND is
  // already set; with --log, logs at INFO into that file. Throws
  // command_failure when a path does not fit the configuration record or the
  // library refuses to start.
  core_session(const cli::global_options& global, const core_settings& settings);
  ~core_session();

  core_session(const core_session&) = delete;
  core_session& operator=(const core_session&) = delete;
};

}  // namespace calyra::app
