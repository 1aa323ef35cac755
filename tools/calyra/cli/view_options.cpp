#include "cli/view_options.h"

namespace calyra::cli {

void add_view_options(CLI::App& sub, stream_options& s, bool view_command) {
  view::view_settings& v = s.view;
  if (view_command) {
    sub.get_option("--seconds")->description("Recording length in seconds; 0 streams until Ctrl-C")->default_str("0");
  } else {
    sub.add_flag("--view", v.enabled, "Also show the stream live in the browser (as calyra view)");
  }
  sub.add_option("--port", v.port, "Port of the live view; 0 picks a free one")
      ->check(CLI::Range(0U, 65535U))
      ->capture_default_str();
  sub.add_option("--listen", v.listen,
                 "Address the live view listens on; any other than 127.0.0.1 lets other machines "
                 "in with the token")
      ->capture_default_str();
  sub.add_flag("--open", v.open, "Open the live view in the desktop's browser (xdg-open)");
}

void finish_view_options(const CLI::App& sub, stream_options& s, bool view_command) {
  if (view_command) {
    s.view.enabled = true;
    if (sub.count("--seconds") == 0) s.seconds = 0.0;
  }
  if (s.view.enabled) return;
  for (const char* option : {"--port", "--listen", "--open"}) {
    if (sub.count(option) > 0) throw CLI::ValidationError(option, "needs --view");
  }
}

}  // namespace calyra::cli
