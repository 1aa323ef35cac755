#include "app/interrupt.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace calyra::app {
namespace {

// The handler may run on any thread (the library's threads too): lock-free
// atomics are safe both in a handler and across threads.
std::atomic<int> interrupts{0};
std::atomic<int> recording{0};
std::atomic<int> first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr int max_discarded = 128;
std::atomic<const char*> discard_paths[max_discarded];

void on_signal(int number) {
  int none = 0;
  first_signal.compare_exchange_strong(none, number);
  const int count = interrupts.fetch_add(1) + 1;
  if (count >= 2 && recording.load() == 0) {
    // Only async-signal-safe calls here.
    for (auto& slot : discard_paths) {
      const char* path = slot.load();
      if (path != nullptr) unlink(path);
    }
    _exit(130);
  }
}

}  // namespace

void install_interrupt_handlers() {
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed terminal window must not cut a recording off either.
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void discard_on_exit(const char* path) {
  for (auto& slot : discard_paths) {
    const char* expected = nullptr;
    if (slot.compare_exchange_strong(expected, path)) return;
  }
}

void keep_on_exit(const char* path) {
  for (auto& slot : discard_paths) {
    const char* expected = path;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

void recording_started() {
  recording = 1;
  for (auto& slot : discard_paths) slot.store(nullptr);
}

bool interrupt_requested() { return interrupts >= 1; }

bool interrupt_insisted() { return interrupts >= 2; }

std::string interrupt_reason() {
  switch (first_signal) {
    case SIGINT: return "stopped by Ctrl-C";
    case SIGTERM: return "stopped by SIGTERM";
    case SIGHUP: return "stopped: the terminal was closed";
    default: return "stopped by a signal";
  }
}

}  // namespace calyra::app
