// Lines typed on standard input as annotations, each timed when it arrived.
#pragma once

#include <functional>
#include <optional>

#include "session/event_source.h"
#include "stream/timed_lines.h"

namespace calyra::sources {

class typed_lines_source final : public session::event_source {
 public:
  // `echoed` hears how many lines a terminal echoed below the live block
  // (so that the next redraw clears them too).
  explicit typed_lines_source(std::function<void(int)> echoed) : echoed_(std::move(echoed)) {}

  // Starts reading, unless the program runs in the background of its
  // terminal: reading the terminal would stop it.
  void begin() override;
  void deliver(const session::place_event& place) override;
  void deliver_last(const session::place_event& place) override;

 private:
  std::function<void(int)> echoed_;
  bool typing_echoes_ = false;
  std::optional<stream::timed_lines> input_;
};

}  // namespace calyra::sources
