#include "splash_screen.h"

#include "text.h"

namespace calyra::launcher {

void splash_screen::close(launch_log& log) {
  if (const std::error_code failure = process_.kill()) {
    log.error("Failed to kill splash screen: " + describe(failure));
    return;
  }
  closed_ = true;
  log.info("Splash screen exited successfully.");
}

}  // namespace calyra::launcher
