// The splash screen's process and the rule for closing it.
#pragma once

#include "child_process.h"
#include "launch_log.h"

namespace calyra::launcher {

class splash_screen {
 public:
  explicit splash_screen(child_process process) noexcept : process_(process) {}

  // Kills the splash unless it has already been waited for, and logs
  // "Splash screen exited successfully." or the failure at ERROR.
  void close(launch_log& log);

  // Waits for the splash process to end; a failure of the wait is ignored.
  void wait() noexcept { (void)process_.wait(); }

  // True until a close succeeded or the process was waited for.
  bool open() const noexcept { return !closed_ && !process_.waited(); }

 private:
  child_process process_;
  bool closed_ = false;
};

}  // namespace calyra::launcher
