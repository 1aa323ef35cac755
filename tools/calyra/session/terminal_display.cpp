#include "session/terminal_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace calyra::session {
namespace {

int terminal_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

terminal_display::terminal_display(unsigned rate_hz)
    : terminal_(isatty(STDOUT_FILENO) != 0),
      capture_(terminal_),
      view_(capture_.display(), terminal_, terminal_columns()),
      rate_hz_(rate_hz),
      next_line_at_(rate_hz) {}

void terminal_display::show_library_lines() {
  for (const std::string& line : capture_.lines()) view_.message(line);
}

}  // namespace calyra::session
