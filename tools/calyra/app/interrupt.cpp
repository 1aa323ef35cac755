#include "app/interrupt.h"

#include <csignal>

namespace calyra::app {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void on_signal(int) { interrupted = 1; }

}  // namespace

void install_interrupt_handlers() {
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the next signal takes the default action
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupt_requested() { return interrupted != 0; }

}  // namespace calyra::app
