#include "runtime/console.h"

#include <iostream>
#include <string>

#include <atomic>

namespace calyra::core::console {

namespace {
// Read by the decoder on BLE threads while a host thread may switch it.
std::atomic<bool> console_enabled{true};
}  // namespace

bool enabled() { return console_enabled.load(std::memory_order_relaxed); }

void set_enabled(bool value) { console_enabled.store(value, std::memory_order_relaxed); }

void write_line(channel to, std::string_view line, std::optional<log_level> instead,
                std::string_view log_prefix) {
  if (!enabled()) {
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
