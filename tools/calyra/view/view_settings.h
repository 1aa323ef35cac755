// What the command line asks of the live view in the browser.
#pragma once

#include <string>

namespace calyra::view {

inline constexpr const char* default_listen_address = "127.0.0.1";

struct view_settings {
  bool enabled = false;                          // `calyra view`, or `stream --view`
  unsigned port = 0;                             // 0: any free port
  std::string listen = default_listen_address;  // --listen ADDR
  bool open = false;                             // --open: hand the URL to xdg-open
};

}  // namespace calyra::view
