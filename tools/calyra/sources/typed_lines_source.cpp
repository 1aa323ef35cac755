#include "sources/typed_lines_source.h"

#include <unistd.h>

namespace calyra::sources {

void typed_lines_source::begin() {
  const bool read_input = isatty(STDIN_FILENO) == 0 || tcgetpgrp(STDIN_FILENO) == getpgrp();
  typing_echoes_ = isatty(STDOUT_FILENO) != 0 && isatty(STDIN_FILENO) != 0;
  input_.emplace(read_input ? STDIN_FILENO : -1);
}

void typed_lines_source::deliver(const session::place_event& place) {
  const std::vector<stream::timed_line> lines = input_->take();
  if (typing_echoes_) echoed_(static_cast<int>(lines.size()));
  for (const stream::timed_line& line : lines) place({line.arrival_ns, line.text, "stdin"});
}

void typed_lines_source::deliver_last(const session::place_event& place) {
  for (const stream::timed_line& line : input_->take()) place({line.arrival_ns, line.text, "stdin"});
}

}  // namespace calyra::sources
