#include "runtime/console.h"

#include <iostream>
#include <string>

#include "runtime/state.h"

namespace calyra::core::console {

void write_line(channel to, std::string_view line, std::optional<log_level> instead,
                std::string_view log_prefix) {
  if (!stdout_diagnostics_enabled()) {
    if (instead) logger::log(*instead, [&](std::ostream& out) { out << log_prefix << line; });
    return;
  }
  // One write per line, so that lines of several threads do not interleave.
  std::string text(line);
  text += '\n';
  std::ostream& out = to == channel::standard_output ? std::cout : std::cerr;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
}

}  // namespace calyra::core::console
